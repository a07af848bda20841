"""Writes the binder fuzzer's seed corpus (fuzz/corpus/): one hand-made input
per binding outcome, in the input layout that binder_fuzzer.cpp decodes.

    python3 fuzz/make_corpus.py [folder]
"""

import pathlib
import sys

CLASS, INTERNED, NULL_ARGS, SHORT_SLOTS, SPARE_SLOTS, EMPTY_TUPLE, MYSUM_CALL = (1 << i for i in range(7))


# The harness's sixteen chosen code points, picked by 0x80 + index.
CHOSEN = [0x80, 0xE9, 0xFF, 0x100, 0x7FF, 0x800, 0x20AC, 0xFFFD, 0xFFFF, 0x10000, 0x1F600, 0x10FFFF,
          0x301, 0xC5, 0x212B, 0xDF]


def text(value):
    """A length byte and one unit per character: ASCII as itself, a chosen
    code point by its index, any other below U+100000 as 0xF0 | plane and
    its two low bytes."""
    out = bytearray()
    for ch in value:
        cp = ord(ch)
        if cp < 0x80:
            out.append(cp)
        elif cp in CHOSEN:
            out.append(0x80 + CHOSEN.index(cp))
        else:
            assert cp < 0x100000
            out += bytes([0xF0 | (cp >> 16), (cp >> 8) & 0xFF, cp & 0xFF])
    assert len(value) <= 8
    return bytes([len(value)]) + bytes(out)


# Keyword-name kinds; a selector below 0x80 picks a parameter name (positional
# names first, then keyword-only ones), 0x80 a text that follows.
def interned(i):
    return bytes([0, i])


def copy(i):
    return bytes([1, i])


def subclass(i):
    return bytes([2, i])


def fresh(value):
    return bytes([3]) + text(value)


def surrogate(prefix, suffix):
    return bytes([4]) + text(prefix) + bytes([0]) + text(suffix)


def integer(value):
    return bytes([5, value + 5])


def raising():
    return bytes([6])


def subclass_raising_text(value):
    return bytes([7, 0x80]) + text(value)


def duplicate(j):
    return bytes([8, j])


def other_text(value):
    return bytes([10, 0x80]) + text(value)


def seed(positional=(), posonly=0, required=None, keyword_only=(), nargs=0, keywords=None, flags=0,
         function="f", class_name=None, adjust=0, values=()):
    """keyword_only: (name, required) pairs; keywords: None for no tuple,
    else a list of encoded keyword names; values: with MYSUM_CALL, one
    selector byte per argument (0 the largest int64, 1 the smallest,
    5 and up the byte less 128)."""
    required = len(positional) if required is None else required
    if class_name is not None:
        flags |= CLASS
    if keywords == []:
        flags |= EMPTY_TUPLE
    out = bytearray([flags]) + text(function)
    if class_name is not None:
        out += text(class_name)
    out += bytes([len(positional)])
    for name in positional:
        out += text(name)
    out += bytes([posonly, required, len(keyword_only)])
    for name, needed in keyword_only:
        out += text(name) + bytes([int(needed)])
    out += bytes([adjust, nargs, len(keywords or [])])
    for keyword in keywords or []:
        out += keyword
    return bytes(out + bytes(values))


MYSUM = dict(positional=("a", "b"), function="mysum")

SEEDS = {
    "success-positional": seed(**MYSUM, nargs=2),
    "success-interned-keywords": seed(**MYSUM, nargs=0, keywords=[interned(1), interned(0)], flags=INTERNED),
    "success-copied-keyword": seed(**MYSUM, nargs=1, keywords=[copy(1)], flags=INTERNED),
    "success-subclass-keyword": seed(**MYSUM, nargs=1, keywords=[subclass(1)]),
    "success-empty-tuple": seed(**MYSUM, nargs=2, keywords=[], flags=INTERNED),
    "success-optional-and-spare-slots": seed(positional=("a", "b", "c"), required=1, nargs=1,
                                             keyword_only=(("k", False),), flags=SPARE_SLOTS),
    "success-multibyte-names": seed(positional=("\u00e9", "\u20ac\U0001f600\u4e2d", ""), nargs=1,
                                    keywords=[copy(2), copy(1), copy(3)], keyword_only=(("\U0010ffff", True),),
                                    flags=INTERNED),
    "too-many-fixed": seed(**MYSUM, nargs=3, keywords=[fresh("c")]),
    "too-many-range": seed(positional=("a", "b", "c"), required=1, nargs=4, class_name="C"),
    "too-many-none-taken": seed(positional=(), nargs=1),
    "unexpected-text": seed(**MYSUM, nargs=1, keywords=[fresh("c"), interned(0)], flags=INTERNED),
    "unexpected-case": seed(**MYSUM, nargs=1, keywords=[fresh("A")]),
    "unexpected-int": seed(**MYSUM, nargs=1, keywords=[integer(1)]),
    "unexpected-unprintable": seed(**MYSUM, nargs=1, keywords=[raising()]),
    "unexpected-subclass-unprintable": seed(**MYSUM, nargs=1, keywords=[subclass_raising_text("z")]),
    "unexpected-surrogate": seed(**MYSUM, nargs=1, keywords=[surrogate("x", "y")]),
    "unexpected-other-text": seed(**MYSUM, nargs=0, keywords=[other_text("\u00c5"), fresh("q")]),
    "multiple-values-positional": seed(**MYSUM, nargs=1, keywords=[interned(0)], flags=INTERNED),
    "multiple-values-twice": seed(**MYSUM, nargs=1, keywords=[copy(1), duplicate(0)], flags=INTERNED),
    "multiple-values-keyword-only": seed(positional=("a",), nargs=1, keyword_only=(("k", True),),
                                         keywords=[copy(1), copy(1)]),
    "positional-only-by-keyword": seed(positional=("a", "b", "c"), posonly=2, nargs=2,
                                       keywords=[copy(0), copy(1), copy(0)], class_name="K"),
    "missing-one": seed(**MYSUM, nargs=1),
    "missing-two": seed(**MYSUM, nargs=0, flags=NULL_ARGS),
    "missing-three": seed(positional=("a", "b", "c"), nargs=0),
    "missing-nine": seed(positional=tuple("abcdefghi"), nargs=0),
    "missing-keyword-only": seed(positional=("a",), nargs=1, keyword_only=(("k", True), ("m", False), ("n", True))),
    "fault-short-slots": seed(**MYSUM, nargs=2, flags=SHORT_SLOTS),
    # Keyword names that the front would match by identity, with no array to
    # read their values from: the front once read it anyway.
    "fault-keywords-without-array": seed(**MYSUM, nargs=0, keywords=[interned(0), interned(1)],
                                         flags=INTERNED | NULL_ARGS),
    "fault-positional-without-array": seed(**MYSUM, nargs=1, flags=NULL_ARGS),
    # Through mysum's wrapper: the sum, its wrap-around, an error, a fault.
    "mysum-keywords": seed(nargs=1, keywords=[interned(1)], flags=MYSUM_CALL, values=(130, 131)),
    "mysum-wraps": seed(nargs=0, keywords=[copy(1), subclass(0)], flags=MYSUM_CALL, values=(0, 129)),
    "mysum-unexpected": seed(nargs=2, keywords=[raising()], flags=MYSUM_CALL, values=(5, 6, 7)),
    "mysum-fault-without-array": seed(nargs=0, keywords=[interned(0), interned(1)], flags=MYSUM_CALL | NULL_ARGS),
}


def main():
    folder = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parent / "corpus")
    folder.mkdir(parents=True, exist_ok=True)
    for name, data in SEEDS.items():
        (folder / name).write_bytes(data)


if __name__ == "__main__":
    main()
