"""Failure paths that a caller's mistake plus bad luck can reach: finalisation,
native callers with odd argument vectors, allocation failures while an error
is raised or while the module is first created. Anything that could crash or
hang runs in a subprocess with a timeout."""

import importlib.util
import json

import pytest

from conftest import MODULE_FILE

NOT_INITIALISED = (
    "assertion failed: `Py_IsInitialized() != 0`: The Python interpreter is not initialized and "
    "automatic initialization is not enabled.\n\nConsider calling `Py_Initialize()` before "
    "attempting to use Python APIs."
)
TRAP_REPORT = "uncaught panic at ffi boundary"

needs_testcapi = pytest.mark.skipif(
    importlib.util.find_spec("_testcapi") is None, reason="the interpreter's _testcapi is not provisioned"
)

# Prints one JSON line per outcome: [type name, message] or ["ok", repr].
OUTCOME = """
import json
def outcome(call):
    try:
        return ["ok", repr(call())]
    except BaseException as error:
        return [type(error).__name__, str(error)]
def show(value):
    print(json.dumps(value), flush=True)
def raised(call):
    try:
        call()
        return "no error"
    except BaseException as error:
        return type(error).__name__
"""


def outcomes(result):
    return [json.loads(line) for line in result.stdout.splitlines()]


def test_normalisation_while_finalising_takes_the_attach_checks(run_subprocess):
    # Rewording the TypeError normalises a lazy record, which attaches from a
    # depth of zero. While the interpreter finalises, that attachment is
    # refused with its fixed fault; the interpreter reports itself as no longer
    # initialised from the moment it starts finalising, so that check is the
    # one that speaks. A plain call needs no attachment and still works.
    result = run_subprocess(
        OUTCOME
        + """
import os
from _zorvalind import mysum

class CallsWhileFinalising:
    def __init__(self):
        self.mysum, self.show, self.outcome = mysum, show, outcome
    def __del__(self):
        self.show(self.outcome(lambda: self.mysum(1, 2)))
        self.show(self.outcome(lambda: self.mysum(1.5, 2)))

holder = CallsWhileFinalising()
""",
        timeout=60,
    )
    assert result.returncode == 0, result.stderr
    assert outcomes(result) == [["ok", "3"], ["PanicException", NOT_INITIALISED]]
    assert f"zorvalind: internal fault: {NOT_INITIALISED}" in result.stderr


# The function's own vectorcall entry, called with no argument array: the
# interpreter's PyObject_Vectorcall would refuse some of these shapes itself
# (in its debug build), but a native caller can reach the entry directly.
DIRECT_CALL = """
import ctypes
from _zorvalind import mysum
entry_type = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object)
find = ctypes.pythonapi.PyVectorcall_Function
find.argtypes = [ctypes.py_object]
find.restype = ctypes.c_void_p
entry = entry_type(find(mysum))
def call_without_array(nargs, kwnames):
    return entry(mysum, None, nargs, kwnames if kwnames is not None else ctypes.py_object())
"""


@pytest.mark.parametrize(
    "nargs, kwnames, message",
    [
        (0, ("a", "b"), "keyword names were given without an argument array"),
        (0, ("b", "a"), "keyword names were given without an argument array"),
        (0, ("a", "c"), "keyword names were given without an argument array"),
        (1, ("b",), "positional arguments were counted without an argument array"),
        (2, None, "positional arguments were counted without an argument array"),
        (1, None, "positional arguments were counted without an argument array"),
    ],
)
def test_native_call_without_argument_array_is_a_fault(nargs, kwnames, message, run_subprocess):
    result = run_subprocess(
        OUTCOME
        + DIRECT_CALL
        + f"""
show(outcome(lambda: call_without_array({nargs}, {kwnames!r})))
show(outcome(lambda: mysum(2, b=3)))
""",
        timeout=60,
    )
    assert result.returncode == 0, result.stderr
    assert outcomes(result) == [["PanicException", message], ["ok", "5"]]


@pytest.mark.parametrize("kwnames", [None, ()])
def test_native_call_without_any_argument_is_an_ordinary_error(kwnames, run_subprocess):
    result = run_subprocess(OUTCOME + DIRECT_CALL + f"show(outcome(lambda: call_without_array(0, {kwnames!r})))\n")
    assert outcomes(result) == [["TypeError", "mysum() missing 2 required positional arguments: 'a' and 'b'"]]


def test_initialiser_asking_for_its_own_once_cell_faults_instead_of_waiting(run_subprocess):
    result = run_subprocess(
        OUTCOME
        + """
import _zorvalind_testing as t
cell = t.new_once_cell()
show(outcome(lambda: t.once_cell_get_or_init(cell, lambda: t.once_cell_get_or_init(cell, object))))
show(outcome(lambda: t.once_cell_get_or_init(cell, lambda: 7)))
""",
        timeout=60,
    )
    assert result.returncode == 0, result.stderr
    assert outcomes(result) == [
        ["PanicException", "a once-cell was asked for its value by its own initialiser"],
        ["ok", "7"],
    ]


@needs_testcapi
@pytest.mark.parametrize("first_failing", [0, 3, 8, 20])
def test_first_creation_under_allocation_failure_ends_without_hanging(first_failing, run_subprocess):
    # Every allocation from `first_failing` on fails while PyInit__zorvalind
    # runs: creating the PanicException type fails, and so do the texts of
    # its fault. The call must end: a raised exception, or, where raising the
    # PanicException fails as well, the boundary's abort.
    result = run_subprocess(
        OUTCOME
        + f"""
import ctypes, sysconfig, _testcapi
so = {str(MODULE_FILE)!r}
init = ctypes.PyDLL(so).PyInit__zorvalind
init.restype = ctypes.py_object
_testcapi.set_nomemory({first_failing}, 0)
seen = raised(init)
_testcapi.remove_mem_hooks()
show(seen)
show(outcome(lambda: init().mysum(2, 3)))
""",
        timeout=60,
    )
    if result.returncode == 0:
        seen, after = outcomes(result)
        assert seen in ("no error", "MemoryError", "PanicException")
        assert after == ["ok", "5"]
    else:
        assert result.returncode == -6, result.stderr
        assert f"zorvalind: internal fault: {TRAP_REPORT}" in result.stderr


REFUSAL = "".join(
    [
        "import _zorvalind_testing as t\n",
        "record = t.new_module_record()\n",
        "assert t.obtain_in_subinterpreter(record) is None\n",
        "call = lambda: t.obtain_module(record)\n",
    ]
)


@needs_testcapi
@pytest.mark.parametrize(
    "setup",
    [
        "call = lambda: mysum(1)",
        "call = lambda: mysum(1, 2, 3)",
        "call = lambda: mysum(1, a=2)",
        "call = lambda: mysum(1, 2, c=3)",
        REFUSAL,
    ],
    ids=["missing", "surplus", "multiple", "unexpected", "second-interpreter"],
)
def test_error_raised_under_one_failed_allocation_becomes_memory_error(setup, run_subprocess):
    result = run_subprocess(
        OUTCOME
        + "import _testcapi\nfrom _zorvalind import mysum\n"
        + setup
        + """
usual = outcome(call)
_testcapi.set_nomemory(0, 1)
seen = raised(call)
_testcapi.remove_mem_hooks()
show(seen)
show(outcome(call) == usual)
show(outcome(lambda: mysum(2, 3)))
""",
        timeout=60,
    )
    assert result.returncode == 0, result.stderr
    assert outcomes(result) == ["MemoryError", True, ["ok", "5"]]
    assert result.stderr == ""
