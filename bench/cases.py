"""What the benchmark runs: the implementations, the cases and the call loop.

Imported by the driver and by the measuring workers, so it imports nothing
heavy: every import here is paid again in each fresh worker process.
"""

import sys

# (label, module). The floor comes first: every ratio is against it.
IMPLS = [
    ("floor (C)", "_bench_floor"),
    ("zorvalind", "_zorvalind"),
    ("Cython", "_bench_cython"),
    ("nanobind", "_bench_nanobind"),
    ("pybind11", "_bench_pybind11"),
    ("Python", "_bench_pyfunc"),
    ("operator.add", "_bench_operator"),
]
FLOOR = IMPLS[0][0]
MODULE_OF = dict(IMPLS)
# A reference rather than a peer: a built-in that takes no keywords, so it
# runs only the positional cases, and has no module of its own to import.
REFERENCE = "operator.add"

BIG = 2**62
WRAPPED = -(2**63)  # 2**62 + 2**62 wraps to the most negative value


class Case:
    def __init__(self, label, call, args, kwargs, expect, error=None):
        self.label = label
        self.call = call  # source text of the call, as written in the loop
        self.args = args
        self.kwargs = kwargs
        self.expect = expect  # result on success
        self.error = error  # exception type the contract demands, or None

    @property
    def success(self):
        return self.error is None


CASES = [
    Case("mysum(1, 2)", "f(1, 2)", (1, 2), {}, 3),
    Case("mysum(a=1, b=2)", "f(a=1, b=2)", (), {"a": 1, "b": 2}, 3),
    Case("mysum(b=2, a=1)", "f(b=2, a=1)", (), {"b": 2, "a": 1}, 3),
    Case("mysum(2**62, 2**62)", f"f({BIG}, {BIG})", (BIG, BIG), {}, WRAPPED),
    Case("mysum(1.5, 2)", "f(1.5, 2)", (1.5, 2), {}, None, TypeError),
    Case("mysum(1)", "f(1)", (1,), {}, None, TypeError),
]
CASE_BY_LABEL = {case.label: case for case in CASES}


def applies(label, case):
    """Whether the implementation runs the case (every one but the reference's keyword cases)."""
    return label != REFERENCE or not case.kwargs


def cases_of(module_name):
    label = next(label for label, module in IMPLS if module == module_name)
    return [case for case in CASES if applies(label, case)]

# A warm-up run first lets the interpreter specialise the call site, so the
# measured calls are steady-state ones.
WARM_CALLS = 2000


def loop_source(case, iterator="range(n)"):
    # The exception handler is only there on failure cases; a success loop is
    # just the call, so the floor's figure is as close to the call as it gets.
    if case.success:
        body = f"        {case.call}\n"
    else:
        body = f"        try:\n            {case.call}\n        except TypeError:\n            pass\n"
    return f"def loop(f, n):\n    for _ in {iterator}:\n{body}"


def make_loop(case, allocation_free=False):
    """loop(f, n) makes the case's call n times.

    The default iterates over range(n), the loop anyone would write. The
    allocation-free variant iterates over itertools.repeat, whose items are all
    the same object, for the memory measure.
    """
    namespace = {}
    if allocation_free:
        import itertools

        namespace["_repeat"] = itertools.repeat
        src = loop_source(case, "_repeat(None, n)")
    else:
        src = loop_source(case)
    exec(compile(src, f"<loop {case.label}>", "exec"), namespace)
    return namespace["loop"]


def add_paths(paths):
    for path in reversed(paths):
        if path not in sys.path:
            sys.path.insert(0, path)


def mysum_of(module_name):
    return __import__(module_name).mysum
