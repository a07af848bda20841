"""An application that embeds the interpreter and starts it again in the same
process: the module stays with the runtime that first loaded it, and every
later runtime is refused with an ImportError instead of being handed the
finished runtime's objects.

The program (tests/native/embed_rounds.c) is built against the library of the
interpreter running the suite (the debug one under `make test-debug`) and run
with the suite's environment, so under `make test-asan` it runs with the
sanitizers preloaded and any report fails that run.
"""

import os
import pathlib
import shutil
import struct
import subprocess
import sys
import sysconfig

import pytest

from conftest import IMPORT_DIRS
from platforms import EMULATED, WEBASSEMBLY, needs_subprocesses

ROOT = pathlib.Path(__file__).resolve().parent.parent
SOURCE = ROOT / "tests" / "native" / "embed_rounds.c"
REINITIALISED = (
    "ImportError: zorvalind modules cannot be loaded again after the interpreter that first loaded them "
    "was finalized in this process"
)
TABLE_FULL = (
    "ImportError: zorvalind modules cannot be loaded: the interpreter's table of exit functions (Py_AtExit) "
    "is full, and without a place in it a later interpreter in this process could not be told from this one"
)

pytestmark = [
    needs_subprocesses,
    pytest.mark.thread_unsafe(reason="runs the embedding program as a child process"),
    pytest.mark.skipif(
        bool(EMULATED) or WEBASSEMBLY or sys.platform != "linux",
        reason="the embedding program is built by the host's C compiler for the host's interpreter",
    ),
]


def _program_interpreter(executable):
    """The loader an ELF executable names (PT_INTERP), or None."""
    data = pathlib.Path(executable).read_bytes()
    if data[:4] != b"\x7fELF" or data[4] != 2 or data[5] != 1:
        return None  # only 64-bit little-endian files are read
    phoff, = struct.unpack_from("<Q", data, 0x20)
    phentsize, phnum = struct.unpack_from("<HH", data, 0x36)
    for index in range(phnum):
        kind, _, offset, _, _, size = struct.unpack_from("<IIQQQQ", data, phoff + index * phentsize)
        if kind == 3:  # PT_INTERP
            return data[offset : offset + size].rstrip(b"\0").decode()
    return None


@pytest.fixture(scope="module")
def embed_program(tmp_path_factory):
    cc = shutil.which(os.environ.get("CC", "cc"))
    if cc is None:
        pytest.skip("a C compiler (cc) is needed to build the embedding program")
    # The interpreter's library in its own root (a provisioned one is not where
    # its build configuration says).
    libdir = pathlib.Path(sys.base_prefix, "lib", sysconfig.get_config_var("MULTIARCH") or "")
    ldversion = sysconfig.get_config_var("LDVERSION")
    if not (libdir / f"libpython{ldversion}.so").exists():
        libdir = pathlib.Path(sysconfig.get_config_var("LIBDIR"))
    if not (libdir / f"libpython{ldversion}.so").exists():
        pytest.skip(f"this interpreter has no shared library libpython{ldversion}.so")
    loader = _program_interpreter(sys.executable)
    program = tmp_path_factory.mktemp("embed") / "embed_rounds"
    # The headers' own folder, and the root above it for the architecture's
    # pyconfig.h. Debian's debug headers are symlinks into the release ones:
    # GCC must not resolve them, or Python.h finds the release configuration.
    include = sysconfig.get_path("include")
    command = [cc, "-O1", "-g", "-fno-canonical-system-headers", f"-I{include}", f"-I{pathlib.Path(include).parent}"]
    command += [str(SOURCE), "-o", str(program)]
    # An old-style run path (DT_RPATH) also serves the library's own dependencies.
    command += [f"-L{libdir}", f"-lpython{ldversion}", f"-Wl,-rpath,{libdir}", "-Wl,--disable-new-dtags"]
    # The library may need a newer C library than the compiler's; at run time
    # the interpreter's own loader finds the one beside it.
    command += ["-Wl,--allow-shlib-undefined"] + ([f"-Wl,--dynamic-linker={loader}"] if loader else [])
    # The compiler runs without the preloaded sanitizer runtimes; the program keeps them.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    built = subprocess.run(command, capture_output=True, text=True, env=env, timeout=120)
    if built.returncode != 0 and "canonical-system-headers" in built.stderr:
        command.remove("-fno-canonical-system-headers")  # not GCC; nothing resolves the symlinks
        built = subprocess.run(command, capture_output=True, text=True, env=env, timeout=120)
    assert built.returncode == 0, built.stderr
    return program


def _run(program, *args):
    env = dict(os.environ)
    env["PYTHONHOME"] = sys.base_prefix
    env["PYTHONPATH"] = os.pathsep.join(IMPORT_DIRS)
    return subprocess.run([str(program), *args], capture_output=True, text=True, env=env, timeout=120)


@pytest.mark.parametrize(
    "args, rounds",
    [
        # The first runtime has the module; every later one is refused.
        (["3"], ["5 42", REINITIALISED, REINITIALISED]),
        # With no place for the exit function the first runtime is refused
        # before any module exists, so the next runtime is the first to have
        # one, and the one after it is refused.
        (["3", "--fill-exit-table"], [TABLE_FULL, "5 42", REINITIALISED]),
    ],
    ids=["rounds", "exit-table-full"],
)
def test_new_runtime_in_the_same_process_is_refused(embed_program, args, rounds):
    result = _run(embed_program, *args)
    assert result.returncode == 0, (result.returncode, result.stdout, result.stderr)
    assert result.stdout.splitlines() == [f"round {n}: {line}" for n, line in enumerate(rounds, 1)], result.stderr
