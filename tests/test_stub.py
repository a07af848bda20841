"""The type stub python/_zorvalind.pyi against the built module: stubtest for
names, parameter kinds and __all__, mypy for what the annotations accept, and
the signature that help() and inspect show.

The mypy-based tests need python3-mypy in the provisioned root
(`make provision-packaging`); without it they are skipped with the reason.
"""

import ast
import contextlib
import importlib.util
import inspect
import io
import os
import pathlib
import re
import subprocess
import sys
import textwrap

import pytest

import _zorvalind
from platforms import mypy_missing_reason, needs_subprocesses

STUB_DIR = pathlib.Path(__file__).resolve().parent.parent / "python"
STUB = STUB_DIR / "_zorvalind.pyi"
# stubtest must import the very module this run tests.
MODULE_DIR = pathlib.Path(_zorvalind.__file__).resolve().parent

needs_mypy = pytest.mark.skipif(
    importlib.util.find_spec("mypy") is None,
    reason=mypy_missing_reason("run `make provision-packaging` to add python3-mypy to the provisioned interpreter"),
)


def _mypy_env(stub_dir):
    env = dict(os.environ)
    env["MYPYPATH"] = str(stub_dir)
    env["PYTHONPATH"] = str(MODULE_DIR)
    return env


def _stubtest(stub_dir, cwd):
    # cwd: stubtest leaves a cache in the current folder.
    return subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "_zorvalind"],
        cwd=cwd,
        env=_mypy_env(stub_dir),
        capture_output=True,
        text=True,
        timeout=300,
    )


@needs_mypy
@needs_subprocesses
def test_stubtest_accepts_the_stub(tmp_path):
    result = _stubtest(STUB_DIR, tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


DRIFTED_STUBS = {
    "positional-only": 'def mysum(a: SupportsIndex, b: SupportsIndex, /) -> int: ...\n__all__ = ["mysum"]',
    "renamed parameter": 'def mysum(a: SupportsIndex, c: SupportsIndex) -> int: ...\n__all__ = ["mysum"]',
    "missing from __all__": "def mysum(a: SupportsIndex, b: SupportsIndex) -> int: ...\n__all__: list[str] = []",
    "function absent at run time": (
        "def mysum(a: SupportsIndex, b: SupportsIndex) -> int: ...\n"
        "def mydiff(a: SupportsIndex, b: SupportsIndex) -> int: ...\n"
        '__all__ = ["mysum", "mydiff"]'
    ),
}


# Guards the check above against passing vacuously (stub or module not found).
@needs_mypy
@needs_subprocesses
@pytest.mark.parametrize("body", DRIFTED_STUBS.values(), ids=DRIFTED_STUBS.keys())
def test_stubtest_rejects_a_drifted_stub(tmp_path, body):
    stub_dir = tmp_path / "stubs"
    stub_dir.mkdir()
    (stub_dir / "_zorvalind.pyi").write_text("from typing import SupportsIndex\n" + body + "\n")
    result = _stubtest(stub_dir, tmp_path)
    assert result.returncode != 0
    assert "_zorvalind." in result.stdout


# Each line: an expression and whether the stub should accept it. The run-time
# judgement is the same: __index__ decides.
ANNOTATION_CASES = [
    ("mysum(1, 2)", True),
    ("mysum(a=True, b=2)", True),
    ("mysum(Indexable(), 2)", True),
    ("mysum(1.5, 2)", False),
    ("mysum(1, '2')", False),
    ("mysum(None, 2)", False),
    ("mysum(1)", False),
    ("mysum(1, 2, 3)", False),
    ("mysum(1, c=2)", False),
]


@pytest.fixture(scope="module")
def mypy_errors_by_line(tmp_path_factory):
    """Runs mypy once over all annotation cases; line number -> error text."""
    folder = tmp_path_factory.mktemp("mypy")
    header = textwrap.dedent(
        """\
        from _zorvalind import mysum
        class Indexable:
            def __index__(self) -> int:
                return 3
        result: int = mysum(1, 2)
        """
    )
    first = header.count("\n") + 1
    (folder / "cases.py").write_text(header + "".join(expr + "\n" for expr, _ in ANNOTATION_CASES))
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", os.devnull, "cases.py"],
        cwd=folder,
        env=_mypy_env(STUB_DIR),
        capture_output=True,
        text=True,
        timeout=300,
    )
    errors = {}
    for line in result.stdout.splitlines():
        match = re.match(r"cases\.py:(\d+): error: (.*)", line)
        if match:
            errors.setdefault(int(match.group(1)), []).append(match.group(2))
    # Errors in the header would mean the stub itself is not found or unusable.
    assert not [n for n in errors if n < first], result.stdout
    return {index: errors.get(first + index, []) for index in range(len(ANNOTATION_CASES))}


@needs_mypy
@needs_subprocesses
@pytest.mark.parametrize(
    ("index", "accepted"),
    [(i, accepted) for i, (_, accepted) in enumerate(ANNOTATION_CASES)],
    ids=[expr for expr, _ in ANNOTATION_CASES],
)
def test_stub_annotations_match_the_runtime(mypy_errors_by_line, index, accepted):
    assert (not mypy_errors_by_line[index]) == accepted, mypy_errors_by_line[index]


def _stub_function(name):
    tree = ast.parse(STUB.read_text())
    return next(node for node in tree.body if isinstance(node, ast.FunctionDef) and node.name == name)


@pytest.mark.thread_unsafe(reason="redirects sys.stdout, which every thread shares")
def test_help_shows_the_signature():
    shown = io.StringIO()
    with contextlib.redirect_stdout(shown):
        help(_zorvalind.mysum)
    assert "mysum(a, b)" in shown.getvalue()


# Without mypy, at least the stub's parameters and __all__ follow the module.
def test_stub_agrees_with_inspect():
    runtime = inspect.signature(_zorvalind.mysum)
    assert str(runtime) == "(a, b)"
    stub = _stub_function("mysum").args
    assert not stub.posonlyargs and not stub.kwonlyargs and stub.vararg is None and stub.kwarg is None
    assert [arg.arg for arg in stub.args] == list(runtime.parameters)
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in runtime.parameters.values())
    stub_all = next(
        node.value
        for node in ast.parse(STUB.read_text()).body
        if isinstance(node, ast.Assign) and [t.id for t in node.targets if isinstance(t, ast.Name)] == ["__all__"]
    )
    assert ast.literal_eval(stub_all) == _zorvalind.__all__
