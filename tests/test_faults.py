"""The fault boundary: internal faults become PanicException, faults outside
the guard end the process, and a PanicException coming back from Python code is
reported and raised anew."""

import signal

import pytest

import _zorvalind
import _zorvalind_testing as t


def panic_type():
    return t.panic_exception_type()


@pytest.mark.parametrize(
    "kind, message",
    [
        ("owned", "owned fault text 42"),
        ("static", "static fault text"),
        ("other", "An internal fault occurred in native code."),
    ],
)
def test_fault_in_body_raises_panic_exception(kind, message, capfd):
    with pytest.raises(BaseException) as info:
        t.fault(kind)
    error = info.value
    assert type(error) is panic_type()
    assert str(error) == message
    assert error.args == (message,)
    assert not isinstance(error, Exception)
    assert type(error).__mro__ == (panic_type(), BaseException, object)
    assert f"zorvalind: internal fault: {message}" in capfd.readouterr().err
    assert t.attach_depth() == 1


def test_panic_exception_type_is_shared_and_not_a_module_attribute():
    errors = []
    for _ in range(2):
        try:
            t.fault("static")
        except BaseException as exc:  # noqa: B036 - the type derives from BaseException
            errors.append(exc)
    assert errors[0] is not errors[1]
    assert type(errors[0]) is type(errors[1])
    kind = type(errors[0])
    assert kind.__module__ == "zorvalind_runtime"
    assert kind.__name__ == "PanicException"
    assert kind.__doc__.startswith("\n") and kind.__doc__.endswith("\n")
    assert "BaseException" in kind.__doc__
    assert not hasattr(_zorvalind, "PanicException")


def test_except_exception_does_not_catch_panic():
    with pytest.raises(BaseException) as info:
        try:
            t.fault("static")
        except Exception:  # the clause must not match
            pytest.fail("PanicException was caught by except Exception")
    assert type(info.value).__name__ == "PanicException"


def test_import_already_created_panic_type():
    names = [cls.__name__ for cls in BaseException.__subclasses__()]
    assert "PanicException" in names


def test_fault_in_detached_section_reattaches_before_the_boundary():
    with pytest.raises(BaseException, match="fault while detached"):
        t.fault_in_detached_section()
    assert t.attach_depth() == 1
    assert _zorvalind.mysum(1, 2) == 3


def test_fault_in_once_initialiser_leaves_cell_empty():
    cell = t.new_once_cell()
    with pytest.raises(BaseException, match="fault in once-cell initialiser"):
        t.fault_in_once_initialiser(cell)
    assert not t.once_cell_is_set(cell)
    assert t.once_cell_get_or_init(cell, lambda: "second try") == "second try"
    assert t.attach_depth() == 1


@pytest.mark.parametrize(
    "call, report",
    [
        ("t.fault_outside_guard()", "fault while raising a record"),
        ("t.foreign_exception()", "an exception that is not an internal fault reached the fault boundary"),
        (
            "t.enter_with_depth(-1)",
            "Attaching a thread to the interpreter is prohibited while a __traverse__ implementation is running.",
        ),
        ("t.enter_with_depth(-2)", "Attaching a thread to the interpreter is currently prohibited."),
    ],
    ids=["fault-outside-guard", "foreign-exception", "traverse-depth", "forbidden-depth"],
)
def test_fault_escaping_the_guard_ends_the_process(run_subprocess, call, report):
    result = run_subprocess(
        f"""
        import _zorvalind_testing as t
        {call}
        print("survived")
        """
    )
    assert result.returncode == -signal.SIGABRT
    assert "survived" not in result.stdout
    assert report in result.stderr
    if "foreign" not in call:
        assert "uncaught panic at ffi boundary" in result.stderr


TAKE_BACK = """
import io, sys, traceback
import _zorvalind, _zorvalind_testing as t
Panic = [c for c in BaseException.__subclasses__() if c.__name__ == "PanicException"][0]

class Raises:
    def __init__(self, error):
        self.error = error
    def __index__(self):
        raise self.error

class BadStr:
    def __str__(self):
        raise RuntimeError("no text")

class SubPanic(Panic):
    pass

sys.stderr = captured = io.StringIO()
original = {make_error}
try:
    _zorvalind.mysum(Raises(original), 1)
except BaseException as exc:
    result = exc
sys.stderr = sys.__stderr__
print("TYPE", type(result).__name__, type(result) is Panic)
print("SAME", result is original)
print("STR", str(result))
print("FRAMES", [f.name for f in traceback.extract_tb(result.__traceback__)])
print("CAPTURED", repr(captured.getvalue()))
"""


def run_take_back(run_subprocess, make_error):
    result = run_subprocess(TAKE_BACK.format(make_error=make_error))
    assert result.returncode == 0, result.stderr
    lines = dict(line.split(" ", 1) for line in result.stdout.strip().splitlines())
    return lines, result.stderr


def test_panic_from_python_is_reported_and_raised_anew(run_subprocess):
    lines, stderr = run_take_back(run_subprocess, 'Panic("from python")')
    assert lines["TYPE"] == "PanicException True"
    assert lines["SAME"] == "False"
    assert lines["STR"] == "from python"
    # Only the frames from the mysum call outward.
    assert lines["FRAMES"] == "['<module>']"
    # The two fixed lines go to the process's standard error, not sys.stderr;
    # the interpreter's display of the exception goes to the replaced stream.
    assert stderr.startswith(
        "--- zorvalind is resuming a panic after fetching a PanicException from Python. ---\n"
        "Python stack trace below:\n"
    )
    assert "PanicException: from python" in lines["CAPTURED"]
    assert "__index__" in lines["CAPTURED"]


def test_panic_whose_text_fails_is_resumed_with_fixed_message(run_subprocess):
    lines, _ = run_take_back(run_subprocess, "Panic(BadStr())")
    assert lines["STR"] == "Unwrapped panic from Python code"
    assert lines["TYPE"] == "PanicException True"


def test_subclass_of_panic_is_an_ordinary_error(run_subprocess):
    lines, stderr = run_take_back(run_subprocess, 'SubPanic("plain")')
    assert lines["TYPE"] == "SubPanic False"
    assert lines["SAME"] == "True"
    assert "resuming a panic" not in stderr
    assert lines["CAPTURED"] == "''"
