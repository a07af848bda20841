"""mysum: binding through the real function, wrap-around, conversion and the
attribution of conversion errors to their parameter."""

import inspect
import sys
import threading

import pytest
from hypothesis import given, settings, strategies as st

import _zorvalind
from _zorvalind import mysum
from arguments import INT64_MAX, INT64_MIN, IndexRaises, conversion_message, wrap
from arguments import IndexReturns as Index
from platforms import needs_threads


def test_function_metadata():
    assert mysum.__text_signature__ == "(a, b)"
    assert str(inspect.signature(mysum)) == "(a, b)"
    assert mysum.__doc__ is None
    assert _zorvalind.__all__ == ["mysum"]


@pytest.mark.parametrize(
    "call",
    [
        lambda: mysum(1, 2),
        lambda: mysum(1, b=2),
        lambda: mysum(a=1, b=2),
        lambda: mysum(b=2, a=1),
        lambda: mysum(*[1], **{"b": 2}),
    ],
)
def test_positional_and_keyword_calls_bind_the_same(call):
    assert call() == 3


@pytest.mark.parametrize(
    "a, b, expected",
    [
        (INT64_MAX, 1, INT64_MIN),
        (INT64_MIN, -1, INT64_MAX),
        (INT64_MAX, INT64_MAX, -2),
        (INT64_MIN, INT64_MIN, 0),
        (-1, -1, -2),
        (2**62, 2**62, INT64_MIN),
        (0, 0, 0),
    ],
)
def test_sum_wraps_around_at_the_limits(a, b, expected):
    assert mysum(a, b) == expected


@pytest.mark.parametrize(
    "a, b, expected",
    [(True, True, 2), (False, True, 1)],
)
def test_result_is_always_plain_int(a, b, expected):
    result = mysum(a, b)
    assert type(result) is int and result == expected


class BigIntSubclass(int):
    pass


@pytest.mark.parametrize(
    "value, expected",
    [
        (Index(7), 7),
        (Index(-1), -1),
        (BigIntSubclass(5), 5),
        (BigIntSubclass(INT64_MAX), INT64_MAX),
        (2**40, 2**40),
        (INT64_MIN, INT64_MIN),
    ],
    ids=["index", "index-minus-one", "int-subclass", "int-subclass-max", "large", "min"],
)
def test_general_conversion_path_accepts_integers(value, expected):
    assert mysum(value, 0) == expected
    assert mysum(0, value) == expected


# Exact ints of two and three 30-bit digits are read from their digits; these
# sit on every digit and range boundary of that reading.
DIGIT_BOUNDARIES = [
    2**30 - 1, 2**30, 2**60 - 1, 2**60, 2**62, 2**63 - 2**33, INT64_MAX,
    -(2**30), -(2**30) - 1, -(2**60), -(2**62), INT64_MIN + 1, INT64_MIN,
]


@pytest.mark.parametrize("value", DIGIT_BOUNDARIES)
def test_multi_digit_ints_convert_exactly(value):
    assert mysum(value, 0) == value
    assert mysum(0, value) == value
    assert mysum(value, value) == wrap(2 * value)


@pytest.mark.parametrize("value", [INT64_MAX + 1, INT64_MIN - 1, 2**64, -(2**64), 2**90, -(2**90)])
def test_multi_digit_ints_out_of_range_overflow(value):
    with pytest.raises(OverflowError):
        mysum(value, 0)


class ShownStr(str):
    def __str__(self):
        return "shown"


@pytest.mark.parametrize(
    "a, b, message",
    [
        (1.5, 2, "argument 'a': " + conversion_message(1.5)),
        (2.0, 2, "argument 'a': " + conversion_message(2.0)),
        (1, "2", "argument 'b': " + conversion_message("2")),
        (1, None, "argument 'b': " + conversion_message(None)),
        (1.5, 2.5, "argument 'a': " + conversion_message(1.5)),
        (Index(1.5), 0, "argument 'a': " + conversion_message(Index(1.5))),
        (IndexRaises(TypeError("boom")), 0, "argument 'a': boom"),
        (0, IndexRaises(TypeError()), "argument 'b': "),
        # The exception's text, read directly when its one argument is an
        # exact str: any other argument goes through str(), and a text that
        # is not ASCII must be decoded, not copied as if it were.
        (IndexRaises(TypeError("non-ascii é ✓ 😀")), 0, "argument 'a': non-ascii é ✓ 😀"),
        (IndexRaises(TypeError(ShownStr("hidden"))), 0, "argument 'a': shown"),
        (IndexRaises(TypeError("x", 1)), 0, "argument 'a': ('x', 1)"),
        (IndexRaises(TypeError(42)), 0, "argument 'a': 42"),
        # Texts around the sizes at which the message copy changes its moves,
        # and one beyond the on-stack buffer.
        *[(IndexRaises(TypeError("x" * n)), 0, "argument 'a': " + "x" * n) for n in (1, 2, 3, 5, 9, 17, 18, 34, 300)],
    ],
)
def test_plain_type_error_is_attributed_to_its_parameter(a, b, message):
    with pytest.raises(TypeError) as info:
        mysum(a, b)
    assert type(info.value) is TypeError
    assert str(info.value) == message
    assert info.value.__cause__ is None
    assert info.value.__suppress_context__ is True
    assert info.value.__context__ is None


def test_attributed_error_carries_the_cause_of_the_original():
    root = KeyError("root")
    original = TypeError("boom")
    original.__cause__ = root
    with pytest.raises(TypeError) as info:
        mysum(IndexRaises(original), 0)
    assert str(info.value) == "argument 'a': boom"
    assert info.value.__cause__ is root
    assert info.value is not original


class TypeErrorSubclass(TypeError):
    pass


@pytest.mark.parametrize(
    "error",
    [ValueError("bad value"), TypeErrorSubclass("sub"), ZeroDivisionError("zero")],
)
def test_other_conversion_errors_pass_through_unchanged(error):
    with pytest.raises(type(error)) as info:
        mysum(IndexRaises(error), 0)
    assert info.value is error


@pytest.mark.parametrize("value", [2**63, -(2**63) - 1, 10**100, -(10**100)])
def test_out_of_range_int_raises_interpreters_overflow_error(value):
    with pytest.raises(OverflowError) as info:
        mysum(value, 0)
    assert "argument" not in str(info.value)
    with pytest.raises(OverflowError):
        mysum(0, value)


def test_second_argument_is_not_converted_when_first_fails():
    second = Index(1)
    with pytest.raises(TypeError, match="^argument 'a'"):
        mysum(1.5, second)
    assert second.calls == 0


def test_binding_errors_come_before_any_conversion():
    first = Index(1)
    with pytest.raises(TypeError, match=r"takes 2 positional arguments but 3 were given"):
        mysum(first, 1, 2)
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'b'"):
        mysum(first)
    assert first.calls == 0


class KeywordName(str):
    """A keyword name that is never identical to the interned parameter name."""


@pytest.mark.parametrize(
    "positional, names, values, expected",
    [
        ((), (KeywordName("a"), KeywordName("b")), (1, 2), 3),
        ((), (KeywordName("b"), "a"), (2, 1), 3),
        ((1,), (KeywordName("b"),), (2,), 3),
        ((1,), (KeywordName("a"),), (2,), "mysum() got multiple values for argument 'a'"),
        ((), ("a", "a"), (1, 2), "mysum() got multiple values for argument 'a'"),
        ((), ("a", KeywordName("c")), (1, 2), "mysum() got an unexpected keyword argument 'c'"),
        ((), ("b",), (2,), "mysum() missing 1 required positional argument: 'a'"),
    ],
)
def test_keywords_that_are_not_the_interned_names_bind_by_text(positional, names, values, expected):
    import _zorvalind_testing

    if isinstance(expected, int):
        assert _zorvalind_testing.vectorcall(mysum, positional, names, values) == expected
    else:
        with pytest.raises(TypeError) as info:
            _zorvalind_testing.vectorcall(mysum, positional, names, values)
        assert str(info.value) == expected


def test_nested_calls_from_index():
    class Nested:
        def __index__(self):
            return mysum(20, 22)

    assert mysum(Nested(), Nested()) == 84


integers = st.one_of(
    st.integers(min_value=INT64_MIN, max_value=INT64_MAX),
    st.integers(min_value=INT64_MIN * 4, max_value=INT64_MAX * 4),
    st.sampled_from([INT64_MIN, INT64_MAX, -1, 0, 1, 2**62]),
)
arguments = st.one_of(
    integers,
    st.booleans(),
    integers.map(Index),
    st.floats(allow_nan=False),
    st.text(max_size=3),
)


@settings(max_examples=400, derandomize=True, database=None)
@given(arguments, arguments)
def test_sum_is_wrapped_or_the_named_error(a, b):
    def expected_error(value, name):
        raw = value.value if isinstance(value, Index) else value
        if isinstance(raw, bool) or isinstance(raw, int):
            if INT64_MIN <= raw <= INT64_MAX:
                return None
            return (OverflowError, None)
        return (TypeError, f"argument '{name}': {conversion_message(value)}")

    error = expected_error(a, "a") or expected_error(b, "b")
    if error is None:
        raw_a = a.value if isinstance(a, Index) else a
        raw_b = b.value if isinstance(b, Index) else b
        assert mysum(a, b) == wrap(int(raw_a) + int(raw_b))
        return
    with pytest.raises(error[0]) as info:
        mysum(a, b)
    if error[1] is not None:
        assert str(info.value) == error[1]


@needs_threads
def test_failing_calls_let_other_threads_run():
    # With a huge switch interval the waiting thread can only get the lock when
    # a call gives it up; building an attributed TypeError does.
    go = threading.Event()
    ran = threading.Event()

    def waiter():
        go.wait()
        ran.set()

    old_interval = sys.getswitchinterval()
    thread = threading.Thread(target=waiter)
    thread.start()
    sys.setswitchinterval(1000)
    try:
        go.set()
        for _ in range(200_000):
            try:
                mysum(1.5, 2)
            except TypeError:
                pass
            if ran.is_set():
                break
    finally:
        sys.setswitchinterval(old_interval)
    thread.join(timeout=10)
    assert ran.is_set()


@needs_threads
def test_failing_calls_on_many_threads_neither_deadlock_nor_mix_errors():
    errors = []
    counts = []

    def worker(index):
        bad = "x" if index % 2 else 1.5
        seen = 0
        for _ in range(2000):
            try:
                mysum(1, bad)
            except TypeError as exc:
                if not str(exc).startswith("argument 'b': "):
                    errors.append(str(exc))
                seen += 1
            assert mysum(index, 1) == index + 1
        counts.append(seen)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=60)
    assert not any(thread.is_alive() for thread in threads), "a thread is stuck"
    assert errors == []
    assert counts == [2000] * 4


@pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs the debug interpreter")
def test_million_calls_leave_reference_total_unchanged():
    import gc

    def run(count):
        for _ in range(count):
            mysum(2**40, 7)
        for index in range(count):
            try:
                mysum(1.5, 2) if index % 2 else mysum(1)
            except TypeError:
                pass

    run(1000)  # warm caches
    gc.collect()
    before = sys.gettotalrefcount()
    run(1_000_000)
    gc.collect()
    assert sys.gettotalrefcount() - before < 100
