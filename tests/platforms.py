"""What each wheel's tag promises, by the interpreter's platform.machine()
(mk/arch.mk's WHEEL_PLAT table)."""

import os
import platform
import sys

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


def mypy_missing_reason(hint):
    """Why the mypy tests skip: left to the host under emulation, else `hint`."""
    if EMULATED:
        return f"the stub is checked on the host: mypy is not provisioned for {MACHINE} under emulation"
    return f"mypy not provisioned; {hint}"
