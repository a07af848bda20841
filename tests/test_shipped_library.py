"""The shipped library as the loader sees it: a dynamic TLS model (no
STATIC_TLS flag), so it loads even where other libraries have used up the
loader's static TLS reserve, a C library floor low enough for the
manylinux tag that `make wheel` gives, and, for the stable ABI build, no
interpreter name outside CPython's list of the stable ABI.

Needs binutils (readelf, objdump) and, for the reserve test, a C compiler;
without them the tests are skipped with the reason.
"""

import functools
import hashlib
import os
import pathlib
import platform
import re
import shutil
import subprocess
import sys
import textwrap

import pytest

from arguments import conversion_message
from conftest import MODULE_DIR, MODULE_FILE
from platforms import MACHINE, STABLE_ABI_MISSING, WHEEL_GLIBC, WHEEL_TAG, stable_abi_names

ROOT = pathlib.Path(__file__).resolve().parent.parent
FILLER_SOURCE = ROOT / "tests" / "native" / "tls_filler.c"
gnu_libc = pytest.mark.skipif(
    WHEEL_TAG is None or platform.libc_ver()[0] != "glibc",
    reason=f"the TLS model and the C library floor are set for the GNU C library on the wheels' "
    f"architectures, not {MACHINE} with {platform.libc_ver()[0] or 'another C library'}",
)


def _tool(name):
    path = shutil.which(name)
    if path is None:
        pytest.skip(f"{name} (binutils) is needed to read the library")
    return path


@functools.cache
def _read(tool, option, path):
    """`tool option path`'s output; the files read do not change during a run."""
    return subprocess.run([_tool(tool), option, path], capture_output=True, text=True, check=True).stdout


@pytest.fixture(scope="module")
def library():
    found = sorted(MODULE_DIR.glob("_zorvalind.*.so"))
    assert len(found) == 1, found
    return found[0]


def test_the_module_imported_is_the_file_built(library):
    # A module of another kind left beside it would be imported first; a run
    # of one build under another interpreter names the bytes it must run.
    assert MODULE_FILE == library.resolve()
    expected = os.environ.get("ZORVALIND_MODULE_SHA256")
    if expected:
        assert hashlib.sha256(library.read_bytes()).hexdigest() == expected


def test_every_interpreter_name_is_in_the_stable_abi(library):
    # The limited API's headers keep the sources from naming anything else,
    # but only this shows what the linked file asks of the interpreter.
    if not library.name.endswith(".abi3.so"):
        pytest.skip(f"{library.name} is not a stable ABI build")
    _skip_sanitizer_build(library)
    names = stable_abi_names()
    if names is None:
        pytest.skip(STABLE_ABI_MISSING)
    out = _read("objdump", "-T", library)
    # Unversioned references: the interpreter's (versioned ones are the C library's).
    wanted = {
        fields[-1]
        for fields in (line.split() for line in out.splitlines() if "*UND*" in line)
        if fields[1] != "w" and fields[-2] == "Base"
    }
    assert wanted and wanted <= names, sorted(wanted - names)


def _dynamic_section(path):
    return _read("readelf", "-d", path)


def _skip_sanitizer_build(library):
    if re.search(r"\[lib(a|ub|t)san\.so", _dynamic_section(library)):
        pytest.skip("a sanitizer build keeps the runtime's own references (its interceptors need them)")


def _dynamic_flags(path):
    return " ".join(line for line in _dynamic_section(path).splitlines() if "FLAGS" in line)


# A dynamic relocation to an offset in the static TLS block (initial-exec
# model), on any architecture: R_X86_64_TPOFF64, R_AARCH64_TLS_TPREL64,
# R_390_TLS_TPOFF, ...; not the DTPOFF/DTPREL of the dynamic models. Not every
# linker marks such a library STATIC_TLS (aarch64's does not).
STATIC_TLS_RELOCATION = re.compile(r"\bR_\w*(?<!D)TP(?:REL|OFF)\w*")


def _uses_static_tls(path):
    relocations = _read("readelf", "-rW", path)
    return "STATIC_TLS" in _dynamic_flags(path) or bool(STATIC_TLS_RELOCATION.search(relocations))


@gnu_libc
def test_shipped_library_has_no_static_tls_flag(library):
    assert not _uses_static_tls(library)


@gnu_libc
def test_c_library_references_stay_at_the_floor(library):
    _skip_sanitizer_build(library)
    out = _read("objdump", "-T", library)
    versions = {tuple(map(int, v.split("."))) for v in re.findall(r"\bGLIBC_(\d+(?:\.\d+)+)", out)}
    assert versions and max(versions) <= WHEEL_GLIBC, sorted(versions)
    # A --wrap whose stand-in is missing leaves a (weak) reference that the
    # loader resolves to null.
    assert "__wrap_" not in out
    # Before 2.34 the threads layer's entry points live in libpthread.so.0,
    # which only the module's own dependencies can be trusted to load.
    if re.search(r"\bGLIBC_[\d.]+\)?\s+(pthread_once|__pthread_key_create)$", out, re.M):
        assert "[libpthread.so.0]" in _dynamic_section(library)


def test_every_undefined_symbol_has_a_provider(library):
    # The loader finds a symbol only in a loaded object: the interpreter's
    # (Py*, _Py*) or a versioned one of a NEEDED library. Anything else, such
    # as an atomic-library call the compiler emitted on a 32-bit target, is
    # an import-time "undefined symbol". Weak references may stay unresolved.
    _skip_sanitizer_build(library)
    out = _read("objdump", "-T", library)
    orphans = [
        fields[-1]
        for fields in (line.split() for line in out.splitlines() if "*UND*" in line)
        if fields[1] != "w" and fields[-2] == "Base" and not fields[-1].startswith(("Py", "_Py"))
    ]
    assert not orphans, orphans


# ---------------------------------------------------------------------------
# The static TLS reserve, spent by a filler library before the import.


def _compile_filler(cc, size, folder):
    path = folder / f"tls_filler_{size}.so"
    if not path.exists():
        # The compiler runs without the test run's preloaded libraries (the
        # sanitizer runs preload their runtimes); the probes keep them.
        env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
        subprocess.run(
            [cc, "-shared", "-fPIC", "-O1", f"-DTLS_FILLER_SIZE={size}", FILLER_SOURCE, "-o", path],
            check=True,
            capture_output=True,
            env=env,
            timeout=60,
        )
    return path


def _loads(filler):
    # The same interpreter and imports as the import test, up to the filler.
    code = f"import ctypes; ctypes.CDLL({str(filler)!r})"
    return subprocess.run([sys.executable, "-c", code], capture_output=True, timeout=60).returncode == 0


@pytest.fixture(scope="module")
def largest_filler(tmp_path_factory):
    """The largest filler the loader still accepts: it leaves the reserve spent."""
    cc = shutil.which(os.environ.get("CC", "cc"))
    if cc is None:
        pytest.skip("a C compiler (cc) is needed to build the TLS filler library")
    folder = tmp_path_factory.mktemp("tls-filler")
    if not _uses_static_tls(_compile_filler(cc, 8, folder)):
        pytest.skip("this compiler does not give the filler the initial-exec model")
    low, high = 1, 1 << 16
    assert _loads(_compile_filler(cc, low, folder)), "the loader accepts no initial-exec block at all"
    assert not _loads(_compile_filler(cc, high, folder)), "the static TLS reserve exceeds the search range"
    while high - low > 1:
        middle = (low + high) // 2
        if _loads(_compile_filler(cc, middle, folder)):
            low = middle
        else:
            high = middle
    return _compile_filler(cc, low, folder), _compile_filler(cc, 8, folder)


@gnu_libc
def test_module_imports_where_the_static_tls_reserve_is_spent(largest_filler, run_subprocess):
    filler, probe = largest_filler
    result = run_subprocess(
        textwrap.dedent(
            f"""
            import ctypes, threading
            ctypes.CDLL({str(filler)!r})
            # The reserve is spent: a further initial-exec block is refused.
            try:
                ctypes.CDLL({str(probe)!r})
            except OSError as error:
                print("PROBE", "refused" if "static TLS" in str(error) else error)
            else:
                print("PROBE loaded")
            import _zorvalind
            print("SUM", _zorvalind.mysum(2**63 - 1, 1), _zorvalind.mysum(b=2, a=3))
            try:
                _zorvalind.mysum(1.5, 2)
            except TypeError as error:
                print("ERROR", error)
            # Threads started now get their blocks from the dynamic area.
            results = []
            threads = [threading.Thread(target=lambda: results.append(_zorvalind.mysum(1, 2))) for _ in range(4)]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()
            print("THREADS", results)
            """
        ),
        timeout=120,
    )
    assert result.returncode == 0, result.stderr
    lines = dict(line.split(" ", 1) for line in result.stdout.strip().splitlines())
    assert lines["PROBE"] == "refused"
    assert lines["SUM"] == f"{-(2**63)} 5"
    assert lines["ERROR"] == "argument 'a': " + conversion_message(1.5)
    assert lines["THREADS"] == "[3, 3, 3, 3]"


# ---------------------------------------------------------------------------
# Vector registers and TLS descriptor calls. The loader's slow path for a
# module that found no static TLS room does not preserve the vector registers
# in C libraries before 2.40, so no vector value may be live across a
# descriptor call. The build keeps every descriptor call in a function of its
# own that uses no vector register at all (src/attach/per_thread.cpp); callers
# reach those through ordinary calls, across which they keep none live.

VECTOR_REGISTER = re.compile(r"%[xyz]mm\d+\b")


def _tls_descriptor_slots(library):
    out = _read("readelf", "-rW", library)
    return {int(line.split()[0], 16) for line in out.splitlines() if "R_X86_64_TLSDESC" in line}


def _unwind_ranges(library):
    # Every function, and every part split off one, has an unwind entry; the
    # ranges hold for a stripped library too.
    out = _read("readelf", "-wf", library)
    return [tuple(int(x, 16) for x in m) for m in re.findall(r"\bFDE\b.*\bpc=([0-9a-f]+)\.\.([0-9a-f]+)", out)]


def _instructions(library):
    out = subprocess.run(
        [_tool("objdump"), "-d", "-w", "--no-show-raw-insn", library], capture_output=True, text=True, check=True
    ).stdout
    return [(int(m[1], 16), m[2]) for m in re.finditer(r"^\s*([0-9a-f]+):\t(.*)$", out, re.M)]


def test_no_vector_register_in_a_function_with_a_tls_descriptor_call(library):
    if MACHINE != "x86_64":
        pytest.skip(f"the check reads x86-64 code and its descriptor relocations; this is {MACHINE}")
    slots = _tls_descriptor_slots(library)
    if not slots:
        pytest.skip("this build reaches its thread-locals without TLS descriptors")
    code = _instructions(library)
    ranges = _unwind_ranges(library)
    sites = []
    for index, (address, text) in enumerate(code):
        target = re.fullmatch(r"lea\s+\S+\(%rip\),%rax\s+# ([0-9a-f]+).*", text)
        if target and int(target[1], 16) in slots:
            # The call follows, maybe after frame set-up scheduled between.
            following = [later for _, later in code[index + 1 : index + 8]]
            assert any(re.fullmatch(r"call\s+\*\(%rax\)", later) for later in following), (hex(address), following)
            sites.append(address)
    assert sites, "TLS descriptors are relocated but never called"
    offending = {}
    for site in sites:
        enclosing = [(low, high) for low, high in ranges if low <= site < high]
        assert len(enclosing) == 1, f"no single unwind entry holds the descriptor call at {site:#x}"
        low, high = enclosing[0]
        used = [f"{a:#x}: {t}" for a, t in code if low <= a < high and VECTOR_REGISTER.search(t)]
        if used:
            offending[f"{site:#x}"] = used
    assert not offending, offending
