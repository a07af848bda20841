"""The generic fast-call binder: slot placement, failure order and exact
TypeError texts, checked against CPython's own binding of an equivalent `def`
and through the real mysum."""

import collections
import re
import sys
from dataclasses import dataclass

import pytest
from hypothesis import given, settings, strategies as st

import _zorvalind_testing as testing

MISSING = testing.MISSING
PanicException = testing.panic_exception_type()

try:
    from _zorvalind import mysum
except ImportError:  # the shipped module may not be built in every tree
    mysum = None


@dataclass(frozen=True)
class Shape:
    positional: tuple
    posonly: int
    required: int
    keyword_only: tuple  # (name, required) pairs
    function_name: str = "f"
    class_name: str | None = None

    def binder(self):
        return testing.make_binder(
            self.function_name,
            self.class_name,
            list(self.positional),
            self.posonly,
            self.required,
            [name for name, _ in self.keyword_only],
            [required for _, required in self.keyword_only],
        )

    def python_twin(self):
        """The same parameters as a plain def; unfilled parameters default to
        MISSING so a successful call returns exactly the binder's slots."""
        params = []
        for i, name in enumerate(self.positional):
            params.append(name if i < self.required else f"{name}=MISSING")
            if i + 1 == self.posonly:
                params.append("/")
        if self.keyword_only:
            params.append("*")
            params += [name if required else f"{name}=MISSING" for name, required in self.keyword_only]
        names = list(self.positional) + [name for name, _ in self.keyword_only]
        returned = "".join(name + ", " for name in names)
        source = f"def {self.function_name}({', '.join(params)}):\n    return ({returned})\n"
        namespace = {"MISSING": MISSING}
        exec(source, namespace)
        function = namespace[self.function_name]
        if self.class_name is not None:
            function.__qualname__ = f"{self.class_name}.{self.function_name}"
        return function


MYSUM = Shape(("a", "b"), 0, 2, (), "mysum")


def outcome(target, args=(), kwnames=None, kwvalues=()):
    """("ok", result) or ("error", message) of a native fast call; any failure
    must be a bare TypeError with nothing chained to it."""
    try:
        return "ok", testing.vectorcall(target, tuple(args), kwnames, tuple(kwvalues))
    except TypeError as error:
        assert type(error) is TypeError
        assert error.__cause__ is None and error.__context__ is None
        return "error", str(error)


def quoted(names):
    names = [f"'{name}'" for name in names]
    if len(names) <= 2:
        return " and ".join(names)
    return ", ".join(names[:-1]) + ", and " + names[-1]


# ---- mysum ---------------------------------------------------------------------

MYSUM_CALLS = [
    ((1, 2), {}, None),
    ((), {"b": 2, "a": 1}, None),
    ((1,), {"b": 2}, None),
    ((), {}, "mysum() missing 2 required positional arguments: 'a' and 'b'"),
    ((1,), {}, "mysum() missing 1 required positional argument: 'b'"),
    ((), {"b": 2}, "mysum() missing 1 required positional argument: 'a'"),
    ((1, 2, 3), {}, "mysum() takes 2 positional arguments but 3 were given"),
    ((1, 2, 3), {"c": 4}, "mysum() takes 2 positional arguments but 3 were given"),
    ((1,), {"a": 2}, "mysum() got multiple values for argument 'a'"),
    ((1,), {"c": 2}, "mysum() got an unexpected keyword argument 'c'"),
    ((1,), {"c": 2, "a": 3}, "mysum() got an unexpected keyword argument 'c'"),
    ((1,), {"a": 3, "c": 2}, "mysum() got multiple values for argument 'a'"),
    ((1,), {"A": 2}, "mysum() got an unexpected keyword argument 'A'"),
]


@pytest.mark.parametrize("target", ["binder", "mysum"])
@pytest.mark.parametrize("args, kwargs, message", MYSUM_CALLS)
def test_mysum_calls_bind_or_fail_with_exact_text(target, args, kwargs, message):
    if target == "mysum":
        if mysum is None:
            pytest.skip("_zorvalind is not built")
        function, success = mysum, 3
    else:
        function, success = MYSUM.binder(), (1, 2)
    if message is None:
        assert function(*args, **kwargs) == success
    else:
        with pytest.raises(TypeError) as info:
            function(*args, **kwargs)
        assert type(info.value) is TypeError
        assert str(info.value) == message


# ---- differential against CPython ------------------------------------------------

PARAMETER_NAMES = ["a", "b", "c", "d", "e", "g", "é"]
# Near misses of real names: case, prefix, NFD form of "é", empty, non-BMP.
UNKNOWN_NAMES = ["A", "aa", "x", "e\u0301", "", "\U0001f600"]
DID_YOU_MEAN = re.compile(r"\. Did you mean '[^']*'\?$")
POSONLY_TEXT = "got some positional-only arguments passed as keyword arguments: "


@st.composite
def shapes(draw):
    positional_count = draw(st.integers(0, 4))
    keyword_count = draw(st.integers(0, 3))
    names = draw(st.permutations(PARAMETER_NAMES))[: positional_count + keyword_count]
    flags = draw(st.lists(st.booleans(), min_size=keyword_count, max_size=keyword_count))
    return Shape(
        positional=tuple(names[:positional_count]),
        posonly=draw(st.integers(0, positional_count)),
        required=draw(st.integers(0, positional_count)),
        keyword_only=tuple(zip(names[positional_count:], flags)),
        function_name=draw(st.sampled_from(["f", "mysum"])),
        class_name=draw(st.sampled_from([None, "K"])),
    )


@st.composite
def calls(draw, shape):
    nargs = draw(st.integers(0, len(shape.positional) + 1))
    known = list(shape.positional) + [name for name, _ in shape.keyword_only]
    name = st.sampled_from(known) if known else st.nothing()
    kwnames = draw(st.lists(st.one_of(name, name, st.sampled_from(UNKNOWN_NAMES)), max_size=4))
    if kwnames:
        kwnames = tuple(kwnames)
    else:
        kwnames = draw(st.sampled_from([None, ()]))
    return tuple(range(nargs)), kwnames, tuple(100 + j for j in range(len(kwnames or ())))


def expected_from_cpython(shape, twin, args, kwnames, kwvalues):
    """CPython's outcome for the twin, carried over to the binder's contract.
    Returns None where the two differ by design in which error comes first."""
    if len(args) > len(shape.positional):
        # The binder fails on the count before reading keywords, and never
        # counts keyword-only arguments in the text: CPython's answer for the
        # positional arguments alone. "arguments" stays plural for one.
        kind, text = outcome(twin, args)
        return kind, text.replace(" 1 positional argument but", " 1 positional arguments but")
    kind, text = outcome(twin, args, kwnames, kwvalues)
    if kind == "ok":
        return kind, text
    if POSONLY_TEXT in text:
        # CPython stops at the first keyword that matches nothing and lists
        # positional-only names in parameter order as one quoted string; the
        # binder reads every keyword first, so a later unexpected keyword or
        # repeated value wins, and names are listed in keyword order.
        return None
    text = DID_YOU_MEAN.sub("", text)  # the binder offers no spelling hints
    return kind, text.replace("required keyword-only argument", "required keyword argument")


@settings(max_examples=300, derandomize=True, database=None, deadline=None)
@given(data=st.data(), shape=shapes())
def test_binder_agrees_with_cpython_on_equivalent_def(data, shape):
    args, kwnames, kwvalues = data.draw(calls(shape))
    got = outcome(shape.binder(), args, kwnames, kwvalues)
    twin = shape.python_twin()
    expected = expected_from_cpython(shape, twin, args, kwnames, kwvalues)
    if expected is not None:
        assert got == expected
        return
    kind, text = got
    assert kind == "error"
    posonly_names = set(shape.positional[: shape.posonly])
    named = [name for name in kwnames if name in posonly_names]
    if POSONLY_TEXT in text:
        # Same names as CPython counts them, but in keyword order.
        full_name, listed = outcome(twin, args, kwnames, kwvalues)[1].split(POSONLY_TEXT)
        assert text == full_name + POSONLY_TEXT + quoted(named)
        assert collections.Counter(listed.strip("'").split(", ")) == collections.Counter(named)
    else:
        assert "unexpected keyword argument" in text or "multiple values" in text


@settings(max_examples=100, derandomize=True, database=None, deadline=None)
@given(call=calls(MYSUM))
def test_real_mysum_binds_like_its_descriptor(call):
    if mysum is None:
        pytest.skip("_zorvalind is not built")
    kind, result = outcome(MYSUM.binder(), *call)
    expected = (kind, sum(result)) if kind == "ok" else (kind, result)
    assert outcome(mysum, *call) == expected


# ---- texts the binder owns -------------------------------------------------------

CONTRACT_TEXTS = [
    pytest.param(Shape((), 0, 0, ()), (1,), None, "f() takes 0 positional arguments but 1 was given", id="none-taken"),
    pytest.param(
        Shape(("a", "b", "c"), 0, 1, ()),
        (1, 2, 3, 4),
        None,
        "f() takes from 1 to 3 positional arguments but 4 were given",
        id="range-of-counts",
    ),
    pytest.param(
        Shape(("a", "b"), 0, 2, (), "m", "Cls"),
        (),
        ("a",),
        "Cls.m() missing 1 required positional argument: 'b'",
        id="class-prefix",
    ),
    pytest.param(
        Shape(("a", "b", "c", "d"), 0, 3, ()),
        (),
        ("d",),
        "f() missing 3 required positional arguments: 'a', 'b', and 'c'",
        id="three-missing",
    ),
    pytest.param(
        Shape(("a", "b", "c", "d"), 0, 4, ()),
        (),
        None,
        "f() missing 4 required positional arguments: 'a', 'b', 'c', and 'd'",
        id="four-missing",
    ),
    pytest.param(
        Shape(("a", "b", "c"), 0, 3, ()),
        (1,),
        ("c",),
        "f() missing 1 required positional argument: 'b'",
        id="missing-skips-filled-by-keyword",
    ),
    pytest.param(
        Shape(("a", "b"), 1, 2, ()),
        (1, 2),
        ("a",),
        "f() got some positional-only arguments passed as keyword arguments: 'a'",
        id="positional-only-also-given-by-position",
    ),
    pytest.param(
        Shape(("a", "b"), 0, 1, (("k", True), ("l", False), ("m", True))),
        (1,),
        ("l",),
        "f() missing 2 required keyword arguments: 'k' and 'm'",
        id="missing-keyword-only",
    ),
    pytest.param(
        Shape(("a",), 0, 1, (("k", True),)),
        (),
        None,
        "f() missing 1 required positional argument: 'a'",
        id="missing-positional-before-missing-keyword-only",
    ),
    pytest.param(
        Shape(("a",), 0, 0, (("k", False),)),
        (),
        ("k", "k"),
        "f() got multiple values for argument 'k'",
        id="keyword-only-repeated",
    ),
    pytest.param(
        Shape(("a", "b"), 0, 2, ()), (1,), ("b", "b"), "f() got multiple values for argument 'b'", id="keyword-repeated"
    ),
    pytest.param(MYSUM, (1,), (), "mysum() missing 1 required positional argument: 'b'", id="empty-kwnames"),
]


@pytest.mark.parametrize("shape, args, kwnames, message", CONTRACT_TEXTS)
def test_binder_reports_exact_text(shape, args, kwnames, message):
    kwvalues = tuple(range(100, 100 + len(kwnames or ())))
    assert outcome(shape.binder(), args, kwnames, kwvalues) == ("error", message)


POSONLY_AB = Shape(("a", "b"), 2, 0, ())
POSONLY_THEN_C = Shape(("a", "b", "c"), 2, 0, ())


# Each case is one where CPython's message for the equivalent def differs.
KNOWN_DIFFERENCES = [
    pytest.param(
        Shape(("a",), 0, 1, ()),
        (1, 2),
        None,
        "f() takes 1 positional arguments but 2 were given",
        id="plural-arguments-for-one",
    ),
    pytest.param(
        MYSUM, (1, 2, 3), ("c",), "mysum() takes 2 positional arguments but 3 were given", id="count-before-unexpected"
    ),
    pytest.param(
        MYSUM, (1, 2, 3), ("b",), "mysum() takes 2 positional arguments but 3 were given", id="count-before-repeated"
    ),
    pytest.param(
        Shape(("a", "b"), 0, 2, (("k", False),)),
        (1, 2, 3),
        ("k",),
        "f() takes 2 positional arguments but 3 were given",
        id="count-ignores-keyword-only-given",
    ),
    pytest.param(
        POSONLY_AB,
        (),
        ("b", "a"),
        "f() got some positional-only arguments passed as keyword arguments: 'b' and 'a'",
        id="positional-only-listed-in-keyword-order",
    ),
    pytest.param(
        POSONLY_AB,
        (),
        ("a", "a"),
        "f() got some positional-only arguments passed as keyword arguments: 'a' and 'a'",
        id="positional-only-repeated-listed-twice",
    ),
    pytest.param(
        POSONLY_THEN_C,
        (),
        ("a", "b", "c"),
        "f() got some positional-only arguments passed as keyword arguments: 'a' and 'b'",
        id="positional-only-pair-before-named-c",
    ),
    pytest.param(
        Shape(("a", "b", "c"), 3, 0, ()),
        (),
        ("c", "a", "b"),
        "f() got some positional-only arguments passed as keyword arguments: 'c', 'a', and 'b'",
        id="positional-only-three-in-keyword-order",
    ),
    pytest.param(
        POSONLY_AB,
        (1,),
        ("a", "x"),
        "f() got an unexpected keyword argument 'x'",
        id="later-unexpected-beats-positional-only",
    ),
    pytest.param(
        POSONLY_THEN_C,
        (1, 2),
        ("b", "c", "c"),
        "f() got multiple values for argument 'c'",
        id="later-repeated-beats-positional-only",
    ),
    pytest.param(
        Shape((), 0, 0, (("k", True),)),
        (),
        None,
        "f() missing 1 required keyword argument: 'k'",
        id="keyword-not-keyword-only-in-missing-text",
    ),
    pytest.param(MYSUM, (1,), ("bb",), "mysum() got an unexpected keyword argument 'bb'", id="no-spelling-hint"),
    pytest.param(MYSUM, (1,), (1,), "mysum() got an unexpected keyword argument '1'", id="non-str-name"),
    pytest.param(
        MYSUM,
        (1,),
        ("b\udcff",),
        "mysum() got an unexpected keyword argument 'b\ufffd\ufffd\ufffd'",
        id="lone-surrogate",
    ),
]


@pytest.mark.parametrize("shape, args, kwnames, message", KNOWN_DIFFERENCES)
def test_binder_text_where_cpython_differs_by_design(shape, args, kwnames, message):
    kwvalues = tuple(range(100, 100 + len(kwnames or ())))
    assert outcome(shape.binder(), args, kwnames, kwvalues) == ("error", message)
    assert outcome(shape.python_twin(), args, kwnames, kwvalues) != ("error", message)


@pytest.mark.parametrize(
    "shape, args, kwnames, slots",
    [
        pytest.param(MYSUM, (7, 8), (), (7, 8), id="empty-kwnames-like-none"),
        pytest.param(Shape(("a", "b"), 0, 1, ()), (7,), (), (7, MISSING), id="empty-kwnames-optional-left-empty"),
        pytest.param(Shape(("a", "b"), 1, 0, ()), (), ("b",), (MISSING, 100), id="positional-only-untouched"),
        pytest.param(
            Shape(("a",), 0, 0, (("a", False),)), (), ("a",), (MISSING, 100), id="keyword-only-searched-first"
        ),
        pytest.param(
            Shape(("é", "b"), 0, 0, (("ü", False),)), (), ("ü", "é"), (101, MISSING, 100), id="non-ascii-names"
        ),
    ],
)
def test_binder_fills_the_right_slots(shape, args, kwnames, slots):
    kwvalues = tuple(range(100, 100 + len(kwnames or ())))
    assert outcome(shape.binder(), args, kwnames, kwvalues) == ("ok", slots)


# ---- keyword names a native caller can pass ------------------------------------------


@pytest.mark.parametrize(
    "name, shown",
    [
        (1, "1"),
        (b"b", "b'b'"),
        (None, "None"),
        ("\udcff", "\ufffd" * 3),
        ("a\ud800\udfffb", "a" + "\ufffd" * 6 + "b"),
    ],
    ids=["int", "bytes", "none", "lone-surrogate", "two-surrogates"],
)
@pytest.mark.parametrize("target", ["binder", "mysum"])
def test_unreadable_name_is_unexpected_and_leaves_nothing_pending(target, name, shown, monkeypatch):
    if target == "mysum" and mysum is None:
        pytest.skip("_zorvalind is not built")
    function = mysum if target == "mysum" else MYSUM.binder()
    hooked = []
    monkeypatch.setattr(sys, "unraisablehook", hooked.append)
    assert outcome(function, (1,), (name,), (2,)) == ("error", f"mysum() got an unexpected keyword argument '{shown}'")
    assert hooked == []
    # A stale error left behind would turn this success into a SystemError.
    assert outcome(function, (1, 2))[0] == "ok"


class RaisingStr(str):
    def __str__(self):
        raise ValueError("no text")


class RaisingObject:
    def __str__(self):
        raise ValueError("no text")


@pytest.mark.parametrize("name", [RaisingStr("c"), RaisingObject()], ids=["str-subclass", "object"])
def test_name_whose_str_raises_goes_to_unraisable_hook(name, monkeypatch):
    hooked = []
    monkeypatch.setattr(sys, "unraisablehook", hooked.append)
    binder = MYSUM.binder()
    shown = f"<unprintable {type(name).__name__} object>"
    assert outcome(binder, (1,), (name,), (2,)) == ("error", f"mysum() got an unexpected keyword argument '{shown}'")
    assert [(hook.object, hook.exc_type) for hook in hooked] == [(name, ValueError)]
    assert outcome(binder, (1, 2)) == ("ok", (1, 2))


# ---- short slot arrays ----------------------------------------------------------------

@pytest.mark.parametrize(
    "shape, slot_count",
    [
        pytest.param(MYSUM, 0, id="none-for-required"),
        pytest.param(Shape((), 0, 0, (("k", True), ("m", True))), 0, id="none-for-keyword-only"),
        pytest.param(MYSUM, 1, id="one-short-required"),
        pytest.param(Shape(("a", "b"), 0, 0, ()), 1, id="one-short-optional"),
        pytest.param(
            Shape(("a",), 0, 0, (("k", False),)), 1, id="short-optional-keyword-only"
        ),
        pytest.param(
            Shape((), 0, 0, (("k", True), ("m", True))), 1, id="one-short-keyword-only"
        ),
    ],
)
def test_short_slot_array_is_a_panic_and_process_stays_healthy(shape, slot_count):
    binder = shape.binder()
    with pytest.raises(BaseException) as info:
        testing.bind_with_slot_count(binder, slot_count)
    assert type(info.value) is PanicException
    # The binder still works for full-size calls after the panic.
    args = tuple(range(len(shape.positional)))
    kwnames = tuple(name for name, _ in shape.keyword_only) or None
    kwvalues = tuple(range(100, 100 + len(shape.keyword_only)))
    assert outcome(binder, args, kwnames, kwvalues) == ("ok", args + kwvalues)


# ---- long messages ----------------------------------------------------------------

LONG_NAMES = tuple(f"parameter_number_{i:02d}" for i in range(12))


@pytest.mark.parametrize(
    "shape, args, expected",
    [
        (
            Shape(LONG_NAMES, 0, 12, (), "f" * 300, "C"),
            (),
            "C." + "f" * 300 + "() missing 12 required positional arguments: "
            + ", ".join(f"'{name}'" for name in LONG_NAMES[:-1]) + f", and '{LONG_NAMES[-1]}'",
        ),
        (
            Shape(("a",), 0, 1, (), "g" * 250),
            (1, 2),
            "g" * 250 + "() takes 1 positional arguments but 2 were given",
        ),
    ],
    ids=["many-names", "long-function-name"],
)
def test_messages_longer_than_the_stack_buffer_are_whole(shape, args, expected):
    assert outcome(shape.binder(), args) == ("error", expected)
