"""The binder fuzzer's seed corpus stays what its generator writes: a seed
that drifted from the input layout would still replay cleanly while testing
something else."""

import importlib.util
import pathlib

import pytest

FUZZ_DIR = pathlib.Path(__file__).resolve().parent.parent / "fuzz"


def load_generator():
    found = importlib.util.spec_from_file_location("make_corpus", FUZZ_DIR / "make_corpus.py")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


GENERATOR = load_generator()


@pytest.mark.parametrize("name", sorted(GENERATOR.SEEDS))
def test_seed_matches_its_generator(name):
    committed = FUZZ_DIR / "corpus" / name
    assert committed.is_file(), f"seed {name} is not in fuzz/corpus; run fuzz/make_corpus.py"
    assert committed.read_bytes() == GENERATOR.SEEDS[name]


@pytest.mark.parametrize(
    "value, units",
    [
        ("", b"\x00"),
        ("a\x00", b"\x02a\x00"),
        ("\u00e9", b"\x01\x81"),  # a chosen code point by its index
        ("\U0010ffff", b"\x01\x8b"),  # beyond the planes the long form reaches
        ("\u4e2d", b"\x01\xf0\x4e\x2d"),
    ],
)
def test_text_units(value, units):
    assert GENERATOR.text(value) == units
