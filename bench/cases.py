"""What the benchmark runs: the implementations, the cases and the call loop.

Imported by the driver and by the measuring workers, so it imports nothing
heavy: every import here is paid again in each fresh worker process.
"""

import sys

# (label, module). The floor comes first: every ratio is against it. It is the
# hand-written C built like the shipped module, against the limited API of
# CPython 3.14; "floor (C, full API)" is the same C against the full API, and
# "zorvalind, 3.14 only" the module built for CPython 3.14 alone
# (-DZORVALIND_STABLE_ABI=OFF), taken from its own folder of the peers'
# ("module@folder"). Cython and nanobind are built both ways too: against the
# limited API (the like-for-like peers) and for 3.14 alone.
IMPLS = [
    ("floor (C)", "_bench_floor_limited"),
    ("zorvalind", "_zorvalind"),
    ("floor (C, full API)", "_bench_floor"),
    ("zorvalind, 3.14 only", "_zorvalind@version-specific"),
    ("Cython (limited API)", "_bench_cython_limited"),
    ("nanobind (limited API)", "_bench_nanobind_limited"),
    ("Cython, 3.14 only", "_bench_cython"),
    ("nanobind, 3.14 only", "_bench_nanobind"),
    ("pybind11", "_bench_pybind11"),
    ("Python", "_bench_pyfunc"),
    ("operator.add", "_bench_operator"),
]
FLOOR = IMPLS[0][0]
MODULE_OF = dict(IMPLS)
# Those that must honour the contract, or the run fails.
CONTRACT_BOUND = (FLOOR, "zorvalind", "floor (C, full API)", "zorvalind, 3.14 only")
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
    # A new keyword-name tuple on every call, as dict splats, **kwargs
    # forwarders and functools.partial bring.
    Case("mysum(**{'a': 1, 'b': 2})", "f(**{'a': 1, 'b': 2})", (), {"a": 1, "b": 2}, 3),
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


def prepare_import(module_name):
    """Imports what import_implementation needs for the module beforehand, so
    a measured first import counts the module's own start-up only."""
    if "@" in module_name:
        import importlib.machinery  # noqa: F401
        import importlib.util  # noqa: F401


def import_implementation(module_name):
    """The module; "name@folder" loads it from that folder of a path entry,
    without putting it into sys.modules, so a second build of a module that
    is imported by its own name too can be measured in the same process."""
    name, _, folder = module_name.partition("@")
    if not folder:
        return __import__(name)
    import importlib.machinery
    import importlib.util
    import os

    for path in sys.path:
        for suffix in importlib.machinery.EXTENSION_SUFFIXES:
            candidate = os.path.join(path, folder, name + suffix)
            if os.path.isfile(candidate):
                spec = importlib.util.spec_from_file_location(name, candidate)
                module = importlib.util.module_from_spec(spec)
                spec.loader.exec_module(module)
                return module
    raise ImportError(f"no {name} in a folder {folder} of the path")


def mysum_of(module_name):
    return import_implementation(module_name).mysum
