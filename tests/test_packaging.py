"""Packaging: pip builds the module through the CMake build with the
scikit-build-core backend, a fresh venv gets the module and its stubs from the
unpacked source distribution alone, the wheel is the stable ABI's (cp314-abi3)
whichever CPython builds it, pip installs it into this interpreter, it carries
one native file that exports only the module's entry point, auditwheel accepts
it for the manylinux tag `make wheel` gives, and the licence ships in the wheel
before and after auditwheel and in the source distribution, declared in their
metadata. The source distribution builds with warnings shown and not fatal,
as on a user's machine whose compiler warns more; the wheel's module is
compiled with the very flags of the build the suite tests; every link of the
README and the documentation resolves inside the unpacked source distribution.

The tools come from the provisioned root (`make provision-packaging`); without
them every test here is skipped with the reason.
"""

import importlib.util
import json
import os
import pathlib
import re
import shlex
import shutil
import subprocess
import sys
import tarfile
import textwrap
import zipfile

import pytest

from platforms import MACHINE, WHEEL_TAG, mypy_missing_reason, needs_subprocesses
from test_docs import link_problems

ROOT = pathlib.Path(__file__).resolve().parent.parent
STUB_SOURCE = ROOT / "python" / "_zorvalind.pyi"
# The stable ABI's file name, for every interpreter version.
MODULE_FILE = "_zorvalind.abi3.so"
PROVISION_HINT = "run `make provision-packaging` to add them to the provisioned interpreter"


def _missing(modules):
    return [name for name in modules if importlib.util.find_spec(name) is None]


_missing_tools = _missing(["pip", "scikit_build_core", "pathspec", "pyproject_metadata"])
pytestmark = [
    needs_subprocesses,
    pytest.mark.skipif(
        bool(_missing_tools),
        reason=f"packaging tools not provisioned (missing: {', '.join(_missing_tools)}); {PROVISION_HINT}",
    ),
    pytest.mark.skipif(shutil.which("cmake") is None, reason="cmake is not on PATH"),
]
needs_mypy = pytest.mark.skipif(
    bool(_missing(["mypy"])),
    reason=mypy_missing_reason(PROVISION_HINT),
)
needs_auditwheel = pytest.mark.skipif(
    bool(_missing(["auditwheel", "elftools"])), reason=f"auditwheel not provisioned; {PROVISION_HINT}"
)
# mk/arch.mk's WHEEL_PLAT for this architecture.
MANYLINUX_PLAT = WHEEL_TAG
# What the build reads, and folders no build needs.
SDIST_NEEDED = {
    "PKG-INFO", "pyproject.toml", "README.md", "LICENSE", "CMakeLists.txt", "src/CMakeLists.txt",
    "src/module/entry.cpp", "src/compat/glibc_floor.cpp", "cmake/exports.map", "python/_zorvalind.pyi",
    "CHANGELOG.md", "docs/platforms.md",
}
SDIST_UNWANTED = (
    "tests/", "testing/", "bench/run.py", "bench/peers/", "examples/", "scripts/", "mk/", ".ci/", ".toolchain/",
    "build",
)
# A warning today's sources give (padding inside the core's records), which
# the project's own flags do not ask for: a user's compiler may well warn more.
USER_WARNING_FLAG = "-Wpadded"
# The project's own build: warnings are errors (the Makefile's OWN_PIP_ARGS).
OWN_PIP_ARGS = ["-Ccmake.define.ZORVALIND_WERROR=ON"]
BUILD_DIR = pathlib.Path(os.environ.get("ZORVALIND_BUILD_DIR", ROOT / "build")).resolve()


def _clean_env():
    # The machine's pip settings (find-links, config files) and any import path
    # of the test run must not leak into the build or the venv.
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PIP_", "PYTHON"))}
    env.update(PIP_CONFIG_FILE=os.devnull, PIP_DISABLE_PIP_VERSION_CHECK="1", PIP_NO_INPUT="1")
    env.setdefault("CMAKE_BUILD_PARALLEL_LEVEL", "2")
    return env


def _run(args, *, cwd, timeout=900, env=None):
    result = subprocess.run(
        [str(a) for a in args], cwd=cwd, env={**_clean_env(), **(env or {})}, capture_output=True, text=True,
        timeout=timeout,
    )
    assert result.returncode == 0, f"{args} failed:\n{result.stdout}\n{result.stderr}"
    return result


@pytest.fixture(scope="module")
def sdist(tmp_path_factory):
    """The source distribution, written by the backend's own hook."""
    out = tmp_path_factory.mktemp("sdist")
    code = "import sys, scikit_build_core.build as b; print(b.build_sdist(sys.argv[1]))"
    name = _run([sys.executable, "-c", code, out], cwd=ROOT).stdout.split()[-1]
    return out / name


@pytest.fixture(scope="module")
def sdist_tree(sdist, tmp_path_factory):
    """The unpacked source distribution, alone in a folder outside the git tree."""
    folder = tmp_path_factory.mktemp("unpacked")
    with tarfile.open(sdist) as archive:
        archive.extractall(folder, filter="data")
    (tree,) = folder.iterdir()
    assert not (tree / ".git").exists() and not tree.resolve().is_relative_to(ROOT)
    return tree


@pytest.fixture(scope="module")
def sdist_install(sdist_tree, tmp_path_factory):
    """A fresh venv over the provisioned root, with the project pip-installed
    from the unpacked source distribution (what `pip install zorvalind-*.tar.gz`
    does when no wheel fits), by a compiler asked for a warning the sources
    give; pip -v shows the build's output. The venv's interpreter and that output."""
    path = tmp_path_factory.mktemp("venv")
    _run([sys.executable, "-m", "venv", "--without-pip", "--system-site-packages", path], cwd=path)
    python = path / "bin" / "python"
    result = _run(
        [python, "-m", "pip", "install", "-v", "--no-build-isolation", "--no-index", "--no-cache-dir", "."],
        cwd=sdist_tree,
        env={"CXXFLAGS": USER_WARNING_FLAG},
    )
    return python, result.stdout + result.stderr


@pytest.fixture(scope="module")
def venv(sdist_install):
    return sdist_install[0]


@pytest.fixture(scope="module")
def wheel_build(tmp_path_factory):
    """The wheel as `make wheel` builds it, and the backend's build folder, kept."""
    out = tmp_path_factory.mktemp("wheelhouse")
    build_dir = tmp_path_factory.mktemp("wheel-build")
    # The user's command writes to the current folder; -w keeps the tree clean.
    pip_wheel = [sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-index", "--no-deps"]
    _run([*pip_wheel, *OWN_PIP_ARGS, f"-Cbuild-dir={build_dir}", "--no-cache-dir", "-w", out, "."], cwd=ROOT)
    wheels = list(out.glob("*.whl"))
    assert len(wheels) == 1, wheels
    return wheels[0], build_dir


@pytest.fixture(scope="module")
def wheel(wheel_build):
    return wheel_build[0]


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


def test_sdist_builds_with_the_users_warnings_shown_and_not_fatal(sdist_install):
    # The fixture's install succeeded; the compiler did warn on the way.
    _, output = sdist_install
    assert f"[{USER_WARNING_FLAG}]" in output, output[-4000:]


def _compile_flags(build_dir):
    """Each source file's compile command as CMake recorded it
    (compile_commands.json): the compiler, resolved, and every argument but
    the object, dependency and include paths, which name each build's folders."""
    commands = json.loads((build_dir / "compile_commands.json").read_text())
    flags = {}
    for entry in commands:
        args = entry["arguments"] if "arguments" in entry else shlex.split(entry["command"])
        compiler = os.path.realpath(shutil.which(args[0]) or args[0])
        kept, skip = [compiler], False
        for arg in args[1:]:
            if skip:
                skip = False
            elif arg in ("-o", "-c", "-MF", "-MT", "-MQ", "-I", "-isystem", "-idirafter"):
                skip = True
            elif not arg.startswith(("-I", "-isystem", "-idirafter", "-MD", "-MMD")):
                kept.append(arg)
        flags[os.path.realpath(entry["file"])] = kept
    return flags


def test_wheel_module_is_compiled_like_the_tested_build(wheel_build):
    # The build the suite imports and the wheel's: one build type and the same
    # flags for every source of the shipped module, as each build recorded them.
    _, wheel_build_dir = wheel_build
    tested, shipped = _compile_flags(BUILD_DIR), _compile_flags(wheel_build_dir)
    assert shipped and any(path.endswith("/src/module/entry.cpp") for path in shipped), sorted(shipped)
    assert {path: tested.get(path) for path in shipped} == shipped


def test_wheel_is_tagged_for_the_stable_abi(wheel):
    # name-version-python-abi-platform.whl: CPython 3.14's stable ABI, also
    # when a later CPython builds it.
    _, _, python_tag, abi_tag, platform_tag = wheel.stem.split("-")
    assert (python_tag, abi_tag) == ("cp314", "abi3")
    assert platform_tag.startswith("linux")


def test_pip_installs_the_wheel_into_this_interpreter(wheel, tmp_path):
    # pip takes a cp314-abi3 wheel on every CPython from 3.14 on; run under
    # a later one, this is the wheel installed there.
    venv = tmp_path / "venv"
    _run([sys.executable, "-m", "venv", "--without-pip", "--system-site-packages", venv], cwd=tmp_path)
    python = venv / "bin" / "python"
    _run([python, "-m", "pip", "install", "--no-index", "--no-deps", "--no-cache-dir", wheel], cwd=tmp_path)
    seen = _venv_python(
        python,
        """
        import json, sys, _zorvalind
        print(json.dumps({"file": _zorvalind.__file__, "prefix": sys.prefix, "sum": _zorvalind.mysum(2, b=3)}))
        """,
        tmp_path,
    )
    module = pathlib.Path(seen["file"])
    assert module.name == MODULE_FILE and module.is_relative_to(seen["prefix"])
    assert seen["sum"] == 5


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


def test_sdist_holds_what_the_build_reads_and_nothing_test_only(sdist):
    with tarfile.open(sdist) as archive:
        prefix = sdist.name.removesuffix(".tar.gz") + "/"
        members = {m.name.removeprefix(prefix) for m in archive.getmembers() if m.isfile()}
    assert SDIST_NEEDED <= members, sorted(SDIST_NEEDED - members)
    assert not [m for m in members if m.startswith(SDIST_UNWANTED) or m == "Makefile"], sorted(members)
    assert {f"docs/{page.name}" for page in (ROOT / "docs").glob("*.md")} <= members
    # Every source of the CMake build is in it.
    sources = re.findall(r"^\s+([\w/]+\.cpp)", (ROOT / "src" / "CMakeLists.txt").read_text(), re.M)
    assert sources and {f"src/{name}" for name in sources} <= members


@pytest.fixture(scope="module")
def audited_wheel(wheel, tmp_path_factory):
    out = tmp_path_factory.mktemp("audited")
    _run(
        [sys.executable, "-m", "auditwheel", "repair", "--plat", MANYLINUX_PLAT, "--only-plat", "-w", out, wheel],
        cwd=out,
    )
    wheels = list(out.glob("*.whl"))
    assert len(wheels) == 1, wheels
    return wheels[0]


@needs_auditwheel
def test_auditwheel_accepts_the_wheel_for_its_tag(audited_wheel):
    platform_tags = audited_wheel.stem.split("-")[-1].split(".")
    assert MANYLINUX_PLAT in platform_tags
    shown = _run([sys.executable, "-m", "auditwheel", "show", audited_wheel], cwd=audited_wheel.parent).stdout
    shown = " ".join(shown.split())
    # The policy it fits is this tag or an older one (a lower glibc).
    fits = re.search(rf'consistent with the following platform tag: "manylinux_2_(\d+)_{MACHINE}"', shown)
    assert fits and int(fits.group(1)) <= int(MANYLINUX_PLAT.split("_")[2]), shown
    assert "requires no external shared libraries" in shown


@needs_auditwheel
def test_audited_module_exports_the_entry_only_and_needs_the_c_library_only(audited_wheel, tmp_path):
    with zipfile.ZipFile(audited_wheel) as archive:
        native = [name for name in archive.namelist() if archive.read(name)[:4] == b"\x7fELF"]
        assert native == [MODULE_FILE]
        library = pathlib.Path(archive.extract(MODULE_FILE, tmp_path))
    from elftools.elf.dynamic import DynamicSection
    from elftools.elf.elffile import ELFFile

    with library.open("rb") as stream:
        elf = ELFFile(stream)
        needed = {
            tag.needed
            for section in elf.iter_sections()
            if isinstance(section, DynamicSection)
            for tag in section.iter_tags()
            if tag.entry.d_tag == "DT_NEEDED"
        }
        dynsym = elf.get_section_by_name(".dynsym")
        exported = {
            symbol.name
            for symbol in dynsym.iter_symbols()
            if symbol.name and symbol["st_shndx"] != "SHN_UNDEF"
        }
    # The C library, its pre-2.34 threads library and the loader.
    assert all(name in {"libc.so.6", "libpthread.so.0"} or re.fullmatch(r"ld[\w-]*\.so\.\d", name) for name in needed), needed
    assert exported == {"PyInit__zorvalind"}


@pytest.mark.parametrize("artifact", ["sdist", "wheel", pytest.param("audited_wheel", marks=needs_auditwheel)])
def test_licence_ships_with_its_metadata(artifact, request):
    path = request.getfixturevalue(artifact)
    if artifact == "sdist":
        with tarfile.open(path) as archive:
            top = path.name.removesuffix(".tar.gz")
            licence = archive.extractfile(f"{top}/LICENSE").read()
            metadata = archive.extractfile(f"{top}/PKG-INFO").read()
    else:
        with zipfile.ZipFile(path) as archive:
            (dist_info,) = {n.split("/")[0] for n in archive.namelist() if ".dist-info/" in n}
            licence = archive.read(f"{dist_info}/licenses/LICENSE")
            metadata = archive.read(f"{dist_info}/METADATA")
    assert licence == (ROOT / "LICENSE").read_bytes()
    fields = metadata.decode().split("\n\n", 1)[0].splitlines()
    assert {"License-Expression: MIT", "License-File: LICENSE"} <= set(fields), fields


def test_links_resolve_inside_the_unpacked_sdist(sdist_tree):
    # The README is the package's long description too: its links, and those
    # of the pages it leads to, need nothing outside the archive.
    pages = [*sorted(sdist_tree.glob("*.md")), *sorted(sdist_tree.glob("docs/*.md"))]
    names = [page.relative_to(sdist_tree).as_posix() for page in pages]
    assert {"README.md", "CHANGELOG.md", "docs/platforms.md"} <= set(names), names
    assert {name: link_problems(page) for name, page in zip(names, pages)} == {name: [] for name in names}
