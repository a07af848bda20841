"""The allocation-failure sweep's own parts (tests/faults/): the injection
window counts and refuses exactly the allocations asked for, the classifier
tells the designed abort from the others, and a one-scenario sweep passes. The
full sweep is `make test-faults`."""

import pathlib
import subprocess
import sys

import pytest

_testcapi = pytest.importorskip("_testcapi")
import _zorvalind  # noqa: E402
import _zorvalind_testing as t  # noqa: E402
from conftest import BUILD_DIR  # noqa: E402
from platforms import needs_subprocesses  # noqa: E402

FAULTS = pathlib.Path(__file__).resolve().parent / "faults"
sys.path.insert(0, str(FAULTS))
import sweep  # noqa: E402

t.fault_injection_configure(_testcapi.set_nomemory, _testcapi.remove_mem_hooks)
BIG = 2**62  # the sum needs one allocation: its result


@pytest.mark.parametrize(
    "start, stop, failures, outcome",
    [
        (-1, 0, 0, "result"),  # counting only
        (0, 1, 1, "panic"),  # allocation 1 alone (every one from 1 on would abort: not in-process)
        (1, 2, 0, "result"),  # allocation 2 never happens
        (1, 0, 0, "result"),
    ],
)
def test_window_refuses_exactly_the_allocations_asked_for(start, stop, failures, outcome, capfd):
    ok, value, calls, refused = t.injected_vectorcall(start, stop, _zorvalind.mysum, (BIG, BIG), None, ())
    # The failure path prints the MemoryError, which allocates in turn.
    assert refused == failures and (calls == 1 if not failures else calls >= 1)
    if outcome == "result":
        assert ok and value == -(2**63)
    else:
        # from_int64 could not make the result: "Python API call failed".
        assert not ok and type(value).__name__ == "PanicException"
        assert str(value) == "Python API call failed"
    capfd.readouterr()
    assert _zorvalind.mysum(2, 3) == 5


TRAP = "zorvalind: internal fault: uncaught panic at ffi boundary"


@pytest.mark.parametrize(
    "stderr, allowed",
    [
        # A fault in the body made a PanicException record; raising it failed.
        ("zorvalind: internal fault: owned\nMemoryError\nzorvalind: internal fault: Python API call failed\n" + TRAP, True),
        # A resumed panic writes no report of its own, only the banner.
        (sweep.RESUME_BANNER + "\nzorvalind: internal fault: Python API call failed\n" + TRAP, True),
        # An ordinary record whose message could not be made.
        ("MemoryError\nzorvalind: internal fault: Python API call failed\n" + TRAP, False),
        ("zorvalind: internal fault: Python API call failed\n", False),
        ("Fatal Python error: something\n", False),
    ],
    ids=["panic-record", "resumed-panic", "ordinary-record", "no-trap", "interpreter-abort"],
)
def test_only_a_panic_record_that_cannot_be_raised_may_abort(stderr, allowed):
    _, defect = sweep.classify_abort(stderr)
    assert (defect is None) is allowed


def error(kind, message, cause=None):
    return {"ok": False, "type": kind, "message": message, "cause": cause}


BASE = error("TypeError", "mysum() got an unexpected keyword argument '1'")


@pytest.mark.parametrize(
    "part, category, is_defect",
    [
        (BASE, "uninjected error", False),
        (error("MemoryError", ""), "MemoryError", False),
        (error("TypeError", "mysum() got an unexpected keyword argument '<unprintable int object>'"), None, False),
        (error("TypeError", "mysum() got an unexpected keyword argument '<unprintable object>'"), None, False),
        (error("TypeError", "mysum() got an unexpected keyword argument '2'"), None, True),
        (error("SystemError", "attempted to fetch exception but none was set"), None, True),
        (error("zorvalind_runtime.PanicException", "Python API call failed"), "PanicException", False),
        (error("zorvalind_runtime.PanicException", "something else"), None, True),
        ({"ok": True, "value": "3"}, "wrong result", True),
    ],
    ids=["same", "memory", "placeholder", "placeholder-no-type", "other-text", "system-error", "panic", "panic-other",
         "claims-success"],
)
def test_classification_of_an_outcome(part, category, is_defect):
    scenario = sweep.scenarios.BY_NAME["non-str keyword name (native call)"]
    found, defect = sweep.classify_part(part, BASE, scenario)
    assert (defect is not None) is is_defect
    if category is not None:
        assert found == category


def test_growth_check_flags_only_growth_in_every_repeat():
    class Fake:
        sanitizer_files = []
        timed_out = False
        returncode = 0

    outcome = {"parts": [{"ok": True, "value": "3"}], "calls": 0, "failures": 0}
    scenario = sweep.scenarios.BY_NAME["mysum(1, 2)"]
    run = Fake()
    for deltas, leaks in [([(28890, 20053), (0, 0), (0, 0)], False), ([(2, 0), (1, 0), (1, 0)], True)]:
        run.report = {"injected": outcome, "again": outcome, "mysum_2_3": 5}
        run.growth = {"deltas": deltas}
        _, defects = sweep.classify(run, outcome, scenario, repeats=3)
        assert bool(defects) is leaks


@needs_subprocesses
def test_one_scenario_sweeps_clean():
    result = subprocess.run(
        [sys.executable, str(FAULTS / "sweep.py"), "--build-dir", str(BUILD_DIR), "--only", "mysum(2**62"],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.strip().splitlines()[-1] == "release: 4 passed, 0 failed"
