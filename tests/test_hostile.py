"""Hostile input: each case must end in its own exception (or its own result),
with no error left pending in the interpreter and no stale exception chained.
"""

import sys
import types
import warnings

import pytest
from arguments import IndexRaises, IndexReturns, StrRaises, StrReturnsNonStr, conversion_error, conversion_message

_zorvalind = pytest.importorskip("_zorvalind")
testing = pytest.importorskip("_zorvalind_testing")
mysum = _zorvalind.mysum
vectorcall = testing.vectorcall


def lossy(text):
    """How a str that is not valid UTF-8 is shown: the interpreter's own
    replacement decoding of its surrogate-preserving encoding."""
    return text.encode("utf-8", "surrogatepass").decode("utf-8", "replace")


def outcome(call, monkeypatch):
    """Runs call(); returns (exception or None, result, unraisable reports)."""
    unraisables = []
    monkeypatch.setattr(sys, "unraisablehook", unraisables.append)
    error = result = None
    try:
        result = call()
    except BaseException as caught:  # PanicException included
        error = caught
    # An entry that left an error set would show it to the next entry.
    assert testing.take_pending_when_none() is False
    assert sys.exception() is None
    if error is not None:
        assert error.__context__ is None, "a stale exception was chained"
    return error, result, unraisables


def assert_raised(error, exception_type, message):
    assert type(error) is exception_type, repr(error)
    assert str(error) == message


# ---- integers out of range and odd integer objects ------------------------------


class IntWithOddIndex(int):
    def __index__(self):
        return 99


class IntWhoseHooksRaise(int):
    def __index__(self):
        raise ValueError("never asked")

    def __int__(self):
        raise ValueError("never asked")


@pytest.mark.parametrize(
    "value",
    [2**63, -(2**63) - 1, 2**100_000, -(2**100_000), IntWithOddIndex(2**64), IndexReturns(-(2**70))],
    ids=["just-above", "just-below", "huge-positive", "huge-negative", "int-subclass", "index-returns-huge"],
)
@pytest.mark.parametrize("position", ["a", "b"])
def test_out_of_range_integer_raises_overflow_error_unattributed(value, position, monkeypatch):
    args = (value, 1) if position == "a" else (1, value)
    asked = getattr(value, "calls", 0)
    error, _, _ = outcome(lambda: mysum(*args), monkeypatch)
    assert_raised(error, OverflowError, "int too big to convert")
    # The value out of range is reported, not asked for again.
    assert getattr(value, "calls", 1) - asked == 1


@pytest.mark.parametrize(
    "value, expected",
    [(IntWithOddIndex(5), 6), (IntWhoseHooksRaise(-3), -2), (True, 2), (IndexReturns(True), 2)],
    ids=["subclass-index-ignored", "subclass-hooks-raise", "bool", "index-returns-bool"],
)
def test_int_subclass_is_read_by_value_not_through_its_hooks(value, expected, monkeypatch):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        error, result, _ = outcome(lambda: mysum(value, 1), monkeypatch)
    assert error is None
    assert result == expected and type(result) is int


@pytest.mark.parametrize(
    "returned",
    ["text", 1.5, None, IndexReturns(3)],
    ids=["str", "float", "NoneType", "IndexReturns"],
)
@pytest.mark.parametrize("position", ["a", "b"])
def test_index_returning_non_int_raises_type_error_naming_the_argument(returned, position, monkeypatch):
    args = (IndexReturns(returned), 1) if position == "a" else (1, IndexReturns(returned))
    error, _, _ = outcome(lambda: mysum(*args), monkeypatch)
    assert_raised(error, TypeError, f"argument '{position}': {conversion_message(IndexReturns(returned))}")


def test_deprecation_turned_error_by_warning_filter_passes_through_unattributed(monkeypatch):
    class IntSubclass(int):
        pass

    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        error, _, _ = outcome(lambda: mysum(IndexReturns(IntSubclass(4)), 1), monkeypatch)
        expected = conversion_error(IndexReturns(IntSubclass(4)))
    assert type(error) is DeprecationWarning and type(expected) is DeprecationWarning
    assert str(error) == str(expected)


# ---- objects that cannot be shown -----------------------------------------------------


@pytest.mark.parametrize(
    "call, message, unraisable_type",
    [
        (
            lambda: vectorcall(mysum, (1,), (StrRaises(),), (2,)),
            "mysum() got an unexpected keyword argument '<unprintable StrRaises object>'",
            RuntimeError,
        ),
        (
            lambda: vectorcall(mysum, (1,), (StrReturnsNonStr(),), (2,)),
            "mysum() got an unexpected keyword argument '<unprintable StrReturnsNonStr object>'",
            TypeError,
        ),
        (
            lambda: mysum(IndexRaises(TypeError(StrRaises())), 1),
            "argument 'a': <unprintable TypeError object>",
            RuntimeError,
        ),
    ],
    ids=["keyword-str-raises", "keyword-str-non-str", "conversion-error-str-raises"],
)
def test_unshowable_object_becomes_placeholder_with_one_unraisable_report(
    call, message, unraisable_type, monkeypatch
):
    error, _, unraisables = outcome(call, monkeypatch)
    assert_raised(error, TypeError, message)
    assert [type(report.exc_value) for report in unraisables] == [unraisable_type]


class ReprRaises(Exception):
    def __repr__(self):
        raise RuntimeError("no repr")


class ReprReturnsNonStr(Exception):
    def __repr__(self):
        return 3


@pytest.mark.parametrize("exception_type", [ReprRaises, ReprReturnsNonStr])
def test_record_text_of_unrepresentable_exception_uses_placeholder(exception_type, monkeypatch):
    record = testing.record_from_object(exception_type("x"))
    error, text, unraisables = outcome(lambda: testing.record_debug_text(record), monkeypatch)
    assert error is None
    assert f"value: <unprintable {exception_type.__name__} object>" in text
    assert len(unraisables) == 1


# ---- keyword names through a native fast call -------------------------------------------


class StrSubclass(str):
    pass


class PosesAsA:
    def __eq__(self, other):
        return other == "a"

    def __hash__(self):
        return hash("a")

    def __str__(self):
        return "a"


LONG = 5000


@pytest.mark.parametrize(
    "positional, names, values, message",
    [
        ((1,), ("\ud800",), (2,), f"mysum() got an unexpected keyword argument '{lossy(chr(0xD800))}'"),
        ((1,), ("b\udcff",), (2,), f"mysum() got an unexpected keyword argument '{lossy('b' + chr(0xDCFF))}'"),
        ((1,), (StrSubclass("\udc80"),), (2,), f"mysum() got an unexpected keyword argument '{lossy(chr(0xDC80))}'"),
        ((1,), (7,), (2,), "mysum() got an unexpected keyword argument '7'"),
        ((1,), (None,), (2,), "mysum() got an unexpected keyword argument 'None'"),
        ((1,), (b"b",), (2,), "mysum() got an unexpected keyword argument 'b'b''"),
        ((1,), (PosesAsA(),), (2,), "mysum() got an unexpected keyword argument 'a'"),
        ((1,), ("a\0",), (2,), "mysum() got an unexpected keyword argument 'a\0'"),
        ((), ("a", "a"), (1, 2), "mysum() got multiple values for argument 'a'"),
        ((1,), ("b", "b"), (2, 3), "mysum() got multiple values for argument 'b'"),
        ((), ("a",) * LONG, tuple(range(LONG)), "mysum() got multiple values for argument 'a'"),
        (
            (),
            tuple(f"k{i}" for i in range(LONG)) + ("a", "b"),
            tuple(range(LONG + 2)),
            "mysum() got an unexpected keyword argument 'k0'",
        ),
        ((), ("a", "b") + ("c",) * LONG, tuple(range(LONG + 2)), "mysum() got an unexpected keyword argument 'c'"),
    ],
    ids=[
        "lone-high-surrogate",
        "trailing-low-surrogate",
        "str-subclass-surrogate",
        "int-name",
        "none-name",
        "bytes-name",
        "object-posing-as-a",
        "embedded-nul",
        "duplicate-a",
        "duplicate-b-after-positional",
        "long-tuple-of-a",
        "long-tuple-unknown-first",
        "long-tuple-unknown-last",
    ],
)
def test_hostile_keyword_names_raise_binding_type_error(positional, names, values, message, monkeypatch):
    error, _, unraisables = outcome(lambda: vectorcall(mysum, positional, names, values), monkeypatch)
    assert_raised(error, TypeError, message)
    assert unraisables == []
    str(error).encode("utf-8")  # nothing unencodable leaks into the text


def test_str_subclass_keyword_names_still_bind(monkeypatch):
    error, result, _ = outcome(lambda: vectorcall(mysum, (), (StrSubclass("b"), StrSubclass("a")), (2, 40)), monkeypatch)
    assert error is None and result == 42


# ---- __all__ on module objects -----------------------------------------------------------


class ListSubclass(list):
    pass


class AllPropertyRaises(types.ModuleType):
    @property
    def __all__(self):
        raise ValueError("no __all__ today")


class RefusesAttributes(types.ModuleType):
    def __setattr__(self, name, value):
        raise PermissionError(name)


def module_with(**attributes):
    module = types.ModuleType("hostile_probe")
    for name, value in attributes.items():
        setattr(module, name, value)
    return module


def module_getattr_raises_key_error(name):
    raise KeyError(name)


def registered_then_deleted():
    module = module_with()
    testing.register_probe(module)
    del module.__all__
    return module


@pytest.mark.parametrize(
    "make_module, expected_all",
    [
        (module_with, ["probe"]),
        (lambda: module_with(__all__=["x"]), ["x", "probe"]),
        (lambda: module_with(__all__=ListSubclass(["x"])), ["x", "probe"]),
        (registered_then_deleted, ["probe"]),
        (lambda: module_with(__getattr__=lambda name: (_ for _ in ()).throw(AttributeError(name))), ["probe"]),
    ],
    ids=["absent", "list", "list-subclass", "deleted-after-use", "module-getattr-attribute-error"],
)
def test_probe_registers_into_whatever_list_all_is(make_module, expected_all, monkeypatch):
    module = make_module()
    error, _, _ = outcome(lambda: testing.register_probe(module), monkeypatch)
    assert error is None
    assert list(module.__all__) == expected_all
    assert module.probe() == "probe called"


@pytest.mark.parametrize(
    "make_module, exception_type, message",
    [
        (lambda: module_with(__all__=("x",)), TypeError, "'tuple' object cannot be cast as 'list'"),
        (lambda: module_with(__all__=None), TypeError, "'NoneType' object cannot be cast as 'list'"),
        (lambda: module_with(__all__="probe"), TypeError, "'str' object cannot be cast as 'list'"),
        (lambda: module_with(__all__={"probe": 1}), TypeError, "'dict' object cannot be cast as 'list'"),
        (lambda: AllPropertyRaises("p"), ValueError, "no __all__ today"),
        (lambda: module_with(__getattr__=module_getattr_raises_key_error), KeyError, "'__all__'"),
        (lambda: RefusesAttributes("r"), PermissionError, "__all__"),
    ],
    ids=["tuple", "none", "str", "dict", "property-raises", "module-getattr-key-error", "setattr-refused"],
)
def test_unusable_all_fails_with_its_error_and_registers_nothing(make_module, exception_type, message, monkeypatch):
    module = make_module()
    error, _, _ = outcome(lambda: testing.register_probe(module), monkeypatch)
    assert_raised(error, exception_type, message)
    assert "probe" not in vars(module)


@pytest.mark.parametrize("replacement", ["deleted", ("mysum",), None])
def test_real_module_with_deleted_or_replaced_all_keeps_working(replacement, monkeypatch):
    if replacement == "deleted":
        monkeypatch.delattr(_zorvalind, "__all__")
    else:
        monkeypatch.setattr(_zorvalind, "__all__", replacement)
    error, all_list, _ = outcome(lambda: testing.get_or_create_all(_zorvalind), monkeypatch)
    if replacement == "deleted":
        assert error is None and all_list == [] and _zorvalind.__all__ is all_list
    else:
        assert_raised(error, TypeError, f"'{type(replacement).__name__}' object cannot be cast as 'list'")
    assert mysum(40, 2) == 42


# ---- a second interpreter ---------------------------------------------------------------

SUBINTERPRETER_REFUSAL = (
    "zorvalind modules do not yet support subinterpreters, see "
    "https://docs.python.org/3/howto/isolating-extensions.html"
)


@pytest.mark.parametrize("main_imports_first", [True, False], ids=["main-first", "subinterpreter-first"])
def test_legacy_subinterpreter_import_raises_import_error_and_main_keeps_working(main_imports_first, run_subprocess):
    completed = run_subprocess(
        f"""
        import _interpreters
        if {main_imports_first}:
            import _zorvalind
        interpreter = _interpreters.create("legacy")
        failure = _interpreters.exec(interpreter, "import _zorvalind")
        _interpreters.destroy(interpreter)
        assert failure is not None, "the subinterpreter imported the module"
        assert failure.type.__name__ == "ImportError", failure.formatted
        assert failure.msg == {SUBINTERPRETER_REFUSAL!r}, failure.msg
        import _zorvalind, _zorvalind_testing
        assert _zorvalind.mysum(1, 2) == 3
        assert _zorvalind_testing.take_pending_when_none() is False
        print("ok")
        """
    )
    assert completed.returncode == 0, completed.stderr
    assert completed.stdout == "ok\n"
