"""What each wheel's tag promises, by the interpreter's platform.machine()
(mk/arch.mk's WHEEL_PLAT table)."""

import ast
import os
import pathlib
import platform
import sys
import sysconfig

import pytest

# machine: manylinux tag
WHEEL_TAGS = {
    "x86_64": "manylinux_2_12_x86_64",
    "i686": "manylinux_2_12_i686",
    "aarch64": "manylinux_2_17_aarch64",
    "armv7l": "manylinux_2_17_armv7l",
    "ppc64le": "manylinux_2_17_ppc64le",
    "s390x": "manylinux_2_17_s390x",
    "riscv64": "manylinux_2_31_riscv64",
}
MACHINE = platform.machine()
WHEEL_TAG = WHEEL_TAGS.get(MACHINE)
WHEEL_GLIBC = tuple(int(part) for part in WHEEL_TAG.split("_")[1:3]) if WHEEL_TAG else None
# Set by `make test-arch`: the suite runs under qemu-user.
EMULATED = os.environ.get("ZORVALIND_EMULATED")
# Pyodide, CPython in WebAssembly (`make test-pyodide`), starts neither threads
# nor processes: the one condition for every test that needs either. Tests
# taking conftest's run_subprocess fixture get the second mark by themselves.
WEBASSEMBLY = sys.platform == "emscripten"
needs_threads = pytest.mark.skipif(WEBASSEMBLY, reason="Pyodide (emscripten) cannot start threads")
needs_subprocesses = pytest.mark.skipif(WEBASSEMBLY, reason="Pyodide (emscripten) cannot start processes")


def stable_abi_names():
    """CPython's own list of the stable ABI's names, from this interpreter's
    test suite (Debian's libpython3.X-testsuite, which `make
    provision-packaging` adds on the host); None where it is not installed."""
    listing = pathlib.Path(sysconfig.get_path("stdlib"), "test", "test_stable_abi_ctypes.py")
    if not listing.is_file():
        return None
    for node in ast.parse(listing.read_text()).body:
        if isinstance(node, ast.Assign) and any(getattr(t, "id", None) == "SYMBOL_NAMES" for t in node.targets):
            return frozenset(ast.literal_eval(node.value))
    raise AssertionError(f"{listing} has no SYMBOL_NAMES")


STABLE_ABI_MISSING = "CPython's list of the stable ABI is missing: `make provision-packaging` adds the interpreter's test suite"


def mypy_missing_reason(hint):
    """Why the mypy tests skip: left to the host under emulation, else `hint`."""
    if EMULATED:
        return f"the stub is checked on the host: mypy is not provisioned for {MACHINE} under emulation"
    return f"mypy not provisioned; {hint}"
