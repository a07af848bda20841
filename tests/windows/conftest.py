"""The Windows checks, run by `make test-windows` against build-windows/.

They need the cross build, its toolchain and Wine, so the main suite leaves
them out: without ZORVALIND_WINDOWS_BUILD_DIR nothing here is collected.
"""

import os
import pathlib
import shutil
import subprocess

import pytest

WINDOWS_BUILD = os.environ.get("ZORVALIND_WINDOWS_BUILD_DIR")
if not WINDOWS_BUILD:
    collect_ignore_glob = ["test_*.py"]

ROOT = pathlib.Path(__file__).resolve().parents[2]
TARGET = "x86_64-w64-mingw32ucrt"
# The stable ABI build: CPython on Windows imports <name>.pyd (it has no tag
# for the stable ABI), which imports from python3.dll, the DLL of every
# CPython from 3.2 on that forwards the stable ABI to python3XY.dll.
MODULE_FILE = "_zorvalind.pyd"
INTERPRETER_DLL = "python3.dll"


@pytest.fixture(scope="session")
def windows_build():
    return pathlib.Path(WINDOWS_BUILD)


@pytest.fixture(scope="session")
def module_path(windows_build):
    return windows_build / MODULE_FILE


@pytest.fixture(scope="session")
def binutil():
    """Runs one of the toolchain's binutils and returns its standard output."""
    folder = os.environ.get("MINGW_BIN", "")

    def run(tool, *args):
        program = os.path.join(folder, f"{TARGET}-{tool}") if folder else f"{TARGET}-{tool}"
        return subprocess.run([program, *map(str, args)], check=True, capture_output=True, text=True).stdout

    return run


@pytest.fixture(scope="session")
def module_objects(windows_build):
    """The module's own objects: its entry file and the core archive."""
    entry = sorted((windows_build / "src" / "CMakeFiles" / "_zorvalind.dir").rglob("*.obj"))
    assert entry, "no entry object in the Windows build"
    return [*entry, windows_build / "src" / "libzorvalind_core.a"]


@pytest.fixture(scope="session")
def wine(tmp_path_factory):
    """(wine64, environment): Wine in a prefix of its own, outside the source
    tree (a prefix holds a link to /, which no walk of the tree may meet),
    ended and removed afterwards."""
    wine_dir = "/usr/lib/wine"  # Debian 12 keeps the 64-bit loader out of PATH
    loader = shutil.which("wine64") or (f"{wine_dir}/wine64" if os.access(f"{wine_dir}/wine64", os.X_OK) else None)
    assert loader, "wine64 is missing (scripts/provision-python --mingw installs it)"
    server = shutil.which("wineserver") or f"{wine_dir}/wineserver"
    prefix = tmp_path_factory.mktemp("wine-prefix")
    env = dict(os.environ, WINEPREFIX=str(prefix), WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    yield loader, env
    subprocess.run([server, "-k"], env=env, capture_output=True, timeout=60)
    shutil.rmtree(prefix, ignore_errors=True)
