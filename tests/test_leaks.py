"""Reference-leak pass: every path through mysum and the fault boundary, run
repeatedly under the debug interpreter, must leave the total reference count
and the number of allocated blocks where it found them.
"""

import contextlib
import os
import sys

import pytest

import leakcheck
from arguments import IndexRaises, IndexReturns, StrRaises
from platforms import needs_threads

pytestmark = [
    pytest.mark.skipif(not leakcheck.HAS_REFCOUNT, reason="needs sys.gettotalrefcount (debug interpreter)"),
    pytest.mark.thread_unsafe(reason="counts the interpreter's references and blocks, which other threads change"),
]

_zorvalind = pytest.importorskip("_zorvalind")
testing = pytest.importorskip("_zorvalind_testing")
mysum = _zorvalind.mysum
PanicException = testing.panic_exception_type()


def expect(exception_type, function, *args, **kwargs):
    try:
        function(*args, **kwargs)
    except exception_type:
        return
    raise AssertionError(f"{function!r} did not raise {exception_type.__name__}")


class IndexRaisesWithCause:
    def __index__(self):
        try:
            raise KeyError("inner")
        except KeyError as inner:
            raise TypeError("outer") from inner


class IndexCallsMysum:
    def __index__(self):
        expect(TypeError, mysum, "x", 1)
        return mysum(20, 22)


def deferred_release():
    payload = [object()]
    testing.defer_release(payload, payload)
    # Any entry applies the pending releases on attaching.
    assert testing.pending_release_count() == 0


def foreign_thread_release():
    testing.release_on_foreign_thread([object()])
    assert testing.pending_release_count() == 0


def lazy_record_examined_and_dropped():
    record = testing.new_lazy_record(ValueError, "examined")
    assert type(testing.record_value(record)) is ValueError
    testing.record_debug_text(record)


def normalised_record_dropped_detached():
    record = testing.new_lazy_record(ValueError, "dropped detached")
    testing.record_value(record)
    testing.record_drop_detached(record)
    assert testing.pending_release_count() == 0


def nested_entry():
    assert mysum(IndexCallsMysum(), 1) == 43


SCENARIOS = {
    # success paths
    "success_positional": lambda: mysum(1, 2),
    "success_keywords": lambda: mysum(b=2, a=1),
    "success_wide_ints_wrap": lambda: mysum(2**63 - 1, 2**62),
    "success_index_objects": lambda: mysum(IndexReturns(3), IndexReturns(2**40)),
    "success_nested_entry": nested_entry,
    # every binding error
    "binding_too_many_positional": lambda: expect(TypeError, mysum, 1, 2, 3),
    "binding_missing_one": lambda: expect(TypeError, mysum, 1),
    "binding_missing_two": lambda: expect(TypeError, mysum),
    "binding_unexpected_keyword": lambda: expect(TypeError, mysum, 1, 2, c=3),
    "binding_multiple_values": lambda: expect(TypeError, mysum, 1, a=2),
    "binding_non_str_keyword": lambda: expect(TypeError, testing.vectorcall, mysum, (1,), (7,), (2,)),
    "binding_surrogate_keyword": lambda: expect(TypeError, testing.vectorcall, mysum, (1,), ("\ud800",), (2,)),
    "binding_unprintable_keyword": lambda: expect(TypeError, testing.vectorcall, mysum, (1,), (StrRaises(),), (2,)),
    "binding_duplicate_keyword": lambda: expect(TypeError, testing.vectorcall, mysum, (), ("a", "a"), (1, 2)),
    # conversion errors rewritten to name the argument
    "attributed_wrong_type_a": lambda: expect(TypeError, mysum, "x", 1),
    "attributed_wrong_type_b": lambda: expect(TypeError, mysum, 1, 1.5),
    "attributed_index_raises_type_error": lambda: expect(TypeError, mysum, IndexRaises(TypeError("t")), 1),
    "attributed_with_cause": lambda: expect(TypeError, mysum, IndexRaisesWithCause(), 1),
    "attributed_index_returns_non_int": lambda: expect(TypeError, mysum, IndexReturns("s"), 1),
    # conversion errors passed through unchanged
    "passthrough_overflow": lambda: expect(OverflowError, mysum, 2**64, 1),
    "passthrough_negative_overflow": lambda: expect(OverflowError, mysum, 1, -(2**100)),
    "passthrough_index_raises_value_error": lambda: expect(ValueError, mysum, IndexRaises(ValueError("v")), 1),
    # faults
    "panic_owned": lambda: expect(PanicException, testing.fault, "owned"),
    "panic_static": lambda: expect(PanicException, testing.fault, "static"),
    "panic_other": lambda: expect(PanicException, testing.fault, "other"),
    "panic_taken_back": lambda: expect(PanicException, mysum, IndexRaises(PanicException("back")), 1),
    # deferred releases
    "deferred_release": deferred_release,
    "deferred_release_foreign_thread": foreign_thread_release,
    "record_examined_and_dropped": lazy_record_examined_and_dropped,
    "record_dropped_detached": normalised_record_dropped_detached,
}


def record_summary(line):
    # The leak pass of `make test-debug` collects these into one report.
    path = os.environ.get("ZORVALIND_LEAK_REPORT")
    if path:
        with open(path, "a", encoding="utf-8") as report_file:
            report_file.write(line + "\n")


@contextlib.contextmanager
def quiet_reports():
    """Fault reports and unraisable hooks write text; keep them out of the
    measurement and out of the test output."""
    saved_stderr, saved_hook = sys.stderr, sys.unraisablehook
    with open(os.devnull, "w") as sink:
        sys.stderr = sink
        sys.unraisablehook = lambda unraisable: None
        try:
            yield
        finally:
            sys.stderr, sys.unraisablehook = saved_stderr, saved_hook


@pytest.mark.parametrize(
    "name",
    [pytest.param(name, marks=needs_threads if name == "deferred_release_foreign_thread" else ()) for name in SCENARIOS],
)
def test_no_reference_or_block_growth(name):
    with quiet_reports():
        report = leakcheck.check(name, SCENARIOS[name])
    record_summary(report.summary())
    assert not report.leaked, report.summary()


def test_checker_flags_a_scenario_that_keeps_what_it_makes():
    kept = []
    report = leakcheck.check("keeps", lambda: kept.append(object()), calls=10)
    assert report.leaks_references and report.leaks_blocks, report.summary()

