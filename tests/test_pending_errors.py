"""Pending-error records: lazy and normalised states, exchange with the
interpreter, normalisation from several threads, and the texts of the error
model."""

import sys
import threading

import pytest

import _zorvalind_testing as t
from arguments import StrRaises, StrReturnsNonStr
from conftest import race
from platforms import needs_threads


def test_fetch_with_nothing_raised_gives_system_error():
    with pytest.raises(SystemError) as info:
        t.fetch_pending_when_none()
    assert str(info.value) == "attempted to fetch exception but none was set"
    assert t.take_pending_when_none() is False


def test_taken_back_exception_is_raised_again_as_the_same_instance():
    original = ValueError("kept")

    def fail():
        raise original

    with pytest.raises(ValueError) as info:
        t.roundtrip(fail)
    assert info.value is original
    frames = []
    tb = info.value.__traceback__
    while tb is not None:
        frames.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    assert "fail" in frames


def test_exception_class_given_as_object_raises_new_instance_without_arguments():
    with pytest.raises(KeyError) as info:
        t.raise_from_object(KeyError)
    assert info.value.args == ()


@pytest.mark.parametrize("not_an_exception", [42, "text", int])
def test_object_that_is_no_exception_class_raises_type_error(not_an_exception):
    with pytest.raises(TypeError, match="^exceptions must derive from BaseException$"):
        t.raise_from_object(not_an_exception)
    record = t.record_from_object(not_an_exception)
    assert t.record_type(record) is TypeError


def test_lazy_record_normalises_once_and_keeps_its_instance():
    record = t.new_lazy_record(LookupError, "missing thing")
    first = t.record_value(record)
    assert type(first) is LookupError and first.args == ("missing thing",)
    assert t.record_value(record) is first
    assert t.record_type(record) is LookupError
    with pytest.raises(LookupError) as info:
        t.record_raise(record)
    assert info.value is first


@needs_threads
def test_lazy_record_examined_from_many_threads_yields_one_instance():
    record = t.new_lazy_record(RuntimeError, "shared")
    seen = race(8, lambda: t.record_value(record))
    assert len(seen) == 8
    assert all(value is seen[0] for value in seen)


def _fault_of(action):
    try:
        action()
    except BaseException as error:  # PanicException derives from BaseException
        assert type(error).__name__ == "PanicException", error
        return str(error)
    raise AssertionError("the examination did not fault")


def _on_new_thread(action):
    outcome = []
    thread = threading.Thread(target=lambda: outcome.append(action()))
    thread.start()
    thread.join()
    return outcome[0]


@needs_threads
@pytest.mark.parametrize(
    "examiners, message",
    [
        # While the thread whose normalisation faulted lives, it is told it re-entered.
        ("the faulted thread", "Re-entrant normalization of PyErrState detected"),
        # Threads started after it ended get its thread-local block back; none
        # of them may be taken for it.
        ("threads started after it ended", "Once instance has previously been poisoned"),
    ],
)
def test_record_whose_normalisation_faulted_is_poisoned_for_every_other_thread(examiners, message):
    record = t.faulting_record()
    examine = lambda: _fault_of(lambda: t.record_value(record))  # noqa: E731
    if examiners == "the faulted thread":
        seen = _on_new_thread(lambda: [examine(), examine()])
    else:
        seen = [_on_new_thread(examine)] + [_on_new_thread(examine) for _ in range(20)]
    assert seen[0] == "recipe fault"
    assert set(seen[1:]) == {message}


def test_cause_is_read_and_set_with_suppressed_context():
    root = OSError("root")
    try:
        raise ValueError("outer") from root
    except ValueError as exc:
        with_cause = exc
    record = t.record_from_object(with_cause)
    assert t.record_cause(record) is root
    t.record_set_cause(record, None)
    assert with_cause.__cause__ is None
    assert with_cause.__suppress_context__ is True
    t.record_set_cause(record, KeyError("new"))
    assert isinstance(with_cause.__cause__, KeyError)


def test_matches_type_accepts_subclasses():
    record = t.record_from_object(FileNotFoundError("x"))
    assert t.record_matches(record, OSError)
    assert t.record_matches(record, FileNotFoundError)
    assert not t.record_matches(record, KeyError)


def test_dropping_record_unattached_defers_the_release():
    instance = ValueError("deferred")
    record = t.record_from_object(instance)
    before = sys.getrefcount(instance)
    t.record_drop_detached(record)
    # The entry that dropped it ended; the decrement waits for the next entry.
    assert sys.getrefcount(instance) == before
    t.attach_depth()
    assert sys.getrefcount(instance) == before - 1


def test_debug_text_without_traceback():
    record = t.new_lazy_record(ValueError, "bad")
    assert t.record_debug_text(record) == (
        "PyErr { type: <class 'ValueError'>, value: ValueError('bad'), traceback: None }"
    )


def test_debug_text_renders_traceback_as_one_escaped_line():
    try:
        raise KeyError('quote " and \\ backslash')
    except KeyError as exc:
        caught = exc
    text = t.record_debug_text(t.record_from_object(caught))
    assert "\n" not in text
    assert text.startswith("PyErr { type: <class 'KeyError'>, value: KeyError(")
    assert ', traceback: Some("Traceback (most recent call last):\\n  File \\"' in text
    assert text.endswith('\\n") }')


@needs_threads
def test_debug_text_from_a_thread_that_is_not_attached():
    record = t.new_lazy_record(ValueError, "elsewhere")
    text = t.record_debug_text_from_native_thread(record)
    assert text == "PyErr { type: <class 'ValueError'>, value: ValueError('elsewhere'), traceback: None }"


@pytest.mark.parametrize(
    "text, literal",
    [
        ("plain", '"plain"'),
        ('a"b\\c', '"a\\"b\\\\c"'),
        ("\n\r\t\0", '"\\n\\r\\t\\0"'),
        ("\x01\x1f\x7f", '"\\u{1}\\u{1f}\\u{7f}"'),
        ("é", '"é"'),
        # C1 controls are escaped; U+00A0 and up, which share their UTF-8
        # lead byte, are not.
        ("\x80x\x9f", '"\\u{80}x\\u{9f}"'),
        ("\x85\xa0\xff", '"\\u{85}\xa0\xff"'),
    ],
)
def test_quoted_literal_escapes(text, literal):
    assert t.quoted_literal(text) == literal


def test_display_text_falls_back_and_reports_unraisable(monkeypatch):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    subject = StrRaises()
    assert t.display_text(subject) == "<unprintable StrRaises object>"
    assert t.repr_text(subject) == "<unprintable StrRaises object>"
    assert t.display_text(StrReturnsNonStr()) == "<unprintable StrReturnsNonStr object>"
    assert [type(r.exc_value) for r in reports] == [RuntimeError, RuntimeError, TypeError]
    assert reports[0].object is subject


def test_lossy_text_replaces_each_lone_surrogate_with_three_replacement_characters():
    assert t.lossy_text("a\ud800b\udfffc") == "a\ufffd\ufffd\ufffdb\ufffd\ufffd\ufffdc"
    assert t.display_text("x\udc80") == "x\ufffd\ufffd\ufffd"
    with pytest.raises(UnicodeEncodeError):
        t.unicode_text("\ud800")


@pytest.mark.parametrize(
    "obj, target, message",
    [
        (1, str, "'int' object cannot be cast as 'str'"),
        ((), list, "'tuple' object cannot be cast as 'list'"),
        (1, (str, bytes), "'int' object cannot be cast as 'str | bytes'"),
        (1, (), "'int' object cannot be cast as ''"),
        (1, "label", "'int' object cannot be cast as 'label'"),
    ],
)
def test_cast_error_message(obj, target, message):
    assert t.cast_error_message(type(obj), target) == message
    with pytest.raises(TypeError) as info:
        t.record_raise(t.cast_error_record(obj, target))
    assert str(info.value) == message


def test_format_traceback_matches_interpreter_display():
    import io
    import traceback

    try:
        raise ValueError("x")
    except ValueError as exc:
        tb = exc.__traceback__
    expected = io.StringIO()
    traceback.print_tb(tb, file=expected)
    assert t.format_traceback(tb) == "Traceback (most recent call last):\n" + expected.getvalue()
