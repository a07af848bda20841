"""The WebAssembly checks, run by `make test-pyodide` on the host against
build-pyodide/, the pinned Pyodide runtime and the page in Chromium.

They need the Pyodide build, Emscripten's tools, the runtime and a browser, so
the main suite leaves them out: without ZORVALIND_PYODIDE_BUILD_DIR nothing
here is collected (and inside Pyodide, where the main suite runs, neither).
The tests here take what they need as fixtures and import nothing from this
file: the main suite's modules import its own conftest by name.
"""

import os
import pathlib

import pytest

PYODIDE_BUILD = os.environ.get("ZORVALIND_PYODIDE_BUILD_DIR")
if not PYODIDE_BUILD:
    collect_ignore_glob = ["test_*.py"]


def _setting(name):
    value = os.environ.get(name)
    if not value:
        pytest.fail(f"{name} is not set; `make test-pyodide` sets it")
    return pathlib.Path(value)


@pytest.fixture(scope="session")
def source_root():
    return pathlib.Path(__file__).resolve().parents[2]


@pytest.fixture(scope="session")
def build_dir():
    return pathlib.Path(PYODIDE_BUILD)


@pytest.fixture(scope="session")
def runtime():
    """The Pyodide runtime's folder (pyodide.asm.wasm is its main module)."""
    return _setting("ZORVALIND_PYODIDE_RUNTIME")


@pytest.fixture(scope="session")
def objdump():
    """LLVM's disassembler from the Emscripten root."""
    bin_dir = _setting("ZORVALIND_EMSCRIPTEN_DIR").parent.parent / "bin"
    found = sorted(bin_dir.glob("llvm-objdump*"))
    assert found, f"no llvm-objdump in {bin_dir}"
    return found[0]


@pytest.fixture(scope="session")
def web_tools():
    """The page test's programs: the npm packages' folder, Chromium, the wheel."""
    return {
        "npm_modules": _setting("ZORVALIND_NPM_MODULES"),
        "chromium": _setting("ZORVALIND_CHROMIUM"),
        "wheel": _setting("ZORVALIND_PYODIDE_WHEEL"),
    }
