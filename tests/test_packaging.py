"""Packaging: pip builds the module through the CMake build with the
scikit-build-core backend, a fresh venv gets the module and its stubs, and the
wheel carries one native file that exports only the module's entry point.

The tools come from the provisioned root (`make provision-packaging`); without
them every test here is skipped with the reason.
"""

import importlib.util
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import sysconfig
import textwrap
import zipfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
STUB_SOURCE = ROOT / "python" / "_zorvalind.pyi"
EXT_SUFFIX = sysconfig.get_config_var("EXT_SUFFIX")
MODULE_FILE = "_zorvalind" + EXT_SUFFIX
PROVISION_HINT = "run `make provision-packaging` to add them to the provisioned interpreter"


def _missing(modules):
    return [name for name in modules if importlib.util.find_spec(name) is None]


_missing_tools = _missing(["pip", "scikit_build_core", "pathspec", "pyproject_metadata"])
pytestmark = [
    pytest.mark.skipif(
        bool(_missing_tools),
        reason=f"packaging tools not provisioned (missing: {', '.join(_missing_tools)}); {PROVISION_HINT}",
    ),
    pytest.mark.skipif(shutil.which("cmake") is None, reason="cmake is not on PATH"),
]
needs_mypy = pytest.mark.skipif(
    bool(_missing(["mypy"])), reason=f"mypy not provisioned; {PROVISION_HINT}"
)


def _clean_env():
    # The machine's pip settings (find-links, config files) and any import path
    # of the test run must not leak into the build or the venv.
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PIP_", "PYTHON"))}
    env.update(PIP_CONFIG_FILE=os.devnull, PIP_DISABLE_PIP_VERSION_CHECK="1", PIP_NO_INPUT="1")
    return env


def _run(args, *, cwd, timeout=900):
    result = subprocess.run(
        [str(a) for a in args], cwd=cwd, env=_clean_env(), capture_output=True, text=True, timeout=timeout
    )
    assert result.returncode == 0, f"{args} failed:\n{result.stdout}\n{result.stderr}"
    return result


@pytest.fixture(scope="module")
def venv(tmp_path_factory):
    """A fresh venv over the provisioned root, with the project pip-installed."""
    path = tmp_path_factory.mktemp("venv")
    _run([sys.executable, "-m", "venv", "--without-pip", "--system-site-packages", path], cwd=path)
    python = path / "bin" / "python"
    _run(
        [python, "-m", "pip", "install", "--no-build-isolation", "--no-index", "--no-cache-dir", "."],
        cwd=ROOT,
    )
    return python


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    out = tmp_path_factory.mktemp("wheelhouse")
    # The user's command writes to the current folder; -w keeps the tree clean.
    pip_wheel = [sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-index", "--no-deps"]
    _run([*pip_wheel, "--no-cache-dir", "-w", out, "."], cwd=ROOT)
    wheels = list(out.glob("*.whl"))
    assert len(wheels) == 1, wheels
    return wheels[0]


def _venv_python(venv, code, cwd):
    # -I: no PYTHONPATH, no script folder, no user site; cwd is outside the tree.
    result = _run([venv, "-I", "-c", textwrap.dedent(code)], cwd=cwd)
    return json.loads(result.stdout)


def test_installed_module_is_imported_from_the_venv(venv, tmp_path):
    seen = _venv_python(
        venv,
        """
        import json, sys, _zorvalind
        print(json.dumps({
            "file": _zorvalind.__file__,
            "prefix": sys.prefix,
            "wrapped": _zorvalind.mysum(2**63 - 1, 1),
            "keywords": _zorvalind.mysum(b=-5, a=2),
        }))
        """,
        tmp_path,
    )
    module = pathlib.Path(seen["file"])
    assert module.name == MODULE_FILE
    assert module.is_relative_to(seen["prefix"])
    assert not module.is_relative_to(ROOT)
    assert seen["wrapped"] == -(2**63)
    assert seen["keywords"] == -3


def test_install_puts_down_the_module_and_its_stubs_only(venv, tmp_path):
    seen = _venv_python(
        venv,
        """
        import json
        from importlib import metadata
        files = metadata.files("zorvalind")
        print(json.dumps({
            "installed": sorted(str(f) for f in files if ".dist-info/" not in str(f)),
            "stubs": {str(f): f.read_text() for f in files if str(f).endswith(".pyi")},
        }))
        """,
        tmp_path,
    )
    # No test-only module and no py.typed at the root of site-packages.
    assert seen["installed"] == sorted([MODULE_FILE, "_zorvalind.pyi", "_zorvalind-stubs/__init__.pyi"])
    expected = STUB_SOURCE.read_text()
    assert all(text == expected for text in seen["stubs"].values())


@needs_mypy
def test_mypy_finds_the_installed_stub(venv, tmp_path):
    user = tmp_path / "user.py"
    user.write_text("from _zorvalind import mysum\nreveal_type(mysum(1, 2))\nmysum(1.5, 2)\n")
    result = subprocess.run(
        [venv, "-m", "mypy", "--no-incremental", "--cache-dir", os.devnull, "--no-error-summary", user.name],
        cwd=tmp_path,
        env=_clean_env(),
        capture_output=True,
        text=True,
        timeout=300,
    )
    lines = result.stdout.splitlines()
    assert not any("import-not-found" in line or "import-untyped" in line for line in lines), result.stdout
    assert any(line.startswith("user.py:2:") and re.search(r'type is "(builtins\.)?int"', line) for line in lines), (
        result.stdout
    )
    assert any(line.startswith("user.py:3:") and "[arg-type]" in line for line in lines), result.stdout


def test_wheel_is_tagged_for_this_interpreter(wheel):
    # name-version-python-abi-platform.whl
    _, _, python_tag, abi_tag, platform_tag = wheel.stem.split("-")
    expected = f"cp{sys.version_info.major}{sys.version_info.minor}"
    # A debug interpreter's ABI carries its flags ("cp314d").
    assert (python_tag, abi_tag) == (expected, expected + sys.abiflags)
    assert platform_tag.startswith("linux")


def test_wheel_has_one_native_file_exporting_only_the_entry_point(wheel, tmp_path):
    with zipfile.ZipFile(wheel) as archive:
        native = [name for name in archive.namelist() if archive.read(name)[:4] == b"\x7fELF"]
        assert native == [MODULE_FILE]
        library = pathlib.Path(archive.extract(MODULE_FILE, tmp_path))
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm (binutils) is needed to read the dynamic symbol table")
    listing = subprocess.run([nm, "-D", "--defined-only", library], capture_output=True, text=True, check=True)
    exported = {line.split()[-1] for line in listing.stdout.splitlines() if line.strip()}
    assert exported == {"PyInit__zorvalind"}
