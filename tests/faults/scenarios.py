"""Scenarios of the allocation-failure sweep, and the child process that runs one.

    python scenarios.py BUILD_DIR SCENARIO START STOP REPEATS [HEAP_LIBRARY]

runs SCENARIO once with allocation failures injected from START to STOP (the
interpreter's set_nomemory: allocations after the first START fail, up to
STOP, 0 meaning no end; START -1 injects nothing) and prints a line of plain data:
the outcome of the injected run, the outcome of the same action repeated after
the hooks are gone and whether mysum(2, 3) still gives 5; under a debug
interpreter a second line holds the reference and block deltas of REPEATS
further injected runs (and of the scenario's control, if it has one).

With HEAP_LIBRARY (tests/native/heap_faults.cpp, built) the failures are the
modules' own C-heap calls instead, numbered alike.

The window is opened and closed by the test-only module right around the call
(testing/injection_probes.cpp), so none of the interpreter's own work around a
Python-level call uses up the failure.
"""

import gc
import os
import sys

# Fixed messages of internal faults that an injected failure may surface.
FIXED_PANIC_MESSAGES = (
    "Python API call failed",
    "Once instance has previously been poisoned",
    "Re-entrant normalization of PyErrState detected",
    "Cannot normalize a PyErr while already normalizing it.",
    "exception missing after writing to the interpreter",
    "internal error: entered unreachable code",
    "PyErr state should never be invalid outside of normalization",
    "Unwrapped panic from Python code",
)
FIXED_PANIC_PREFIXES = (
    "Failed to initialize new exception type.: PyErr { ",
    "could not append __name__ to __all__: PyErr { ",
)

PANIC_TYPE_NAME = "zorvalind_runtime.PanicException"


class Scenario:
    """`make(env)` returns action(start, stop) -> (ok, value, calls, failures).

    `warm` runs the action once without injection before the measured run
    (first-use paths are the subject of the scenarios that do not warm up).
    `panic_prefixes` lists further PanicException texts that the scenario's own
    probe produces. `control(env)` makes the same Python-level work without
    the module, whose allocations are numbered alike up to the point where the
    module's own begin: the interpreter itself keeps one object when an
    allocation fails while Python code raises (operator.index of an object
    whose __index__ raises shows it too), and the growth check discounts what
    the control run shows.
    """

    def __init__(self, name, make, *, warm=True, panic_prefixes=(), control=None):
        self.name = name
        self.make = make
        self.warm = warm
        self.panic_prefixes = tuple(panic_prefixes)
        self.control = control


def call(positional=(), keywords=None, callable_name="mysum"):
    keywords = keywords or {}

    def make(env):
        target = env.mysum if callable_name == "mysum" else getattr(env.t, callable_name)
        names = tuple(keywords) or None
        values = tuple(keywords.values())

        def action(start, stop):
            return env.t.injected_vectorcall(start, stop, target, tuple(positional), names, values)

        return action

    return make


def native_keywords(positional, names, values):
    def make(env):
        def action(start, stop):
            return env.t.injected_vectorcall(start, stop, env.mysum, positional, names, values)

        return action

    return make


class IndexRaisesWithCause:
    def __index__(self):
        raise TypeError("boom") from ValueError("the cause")


class IndexRaisesValueError:
    def __index__(self):
        raise ValueError("not today")


def panic_raiser(env):
    panic = env.panic_type

    class IndexRaisesPanic:
        def __index__(self):
            raise panic("panic from __index__")

    return IndexRaisesPanic()


def index_raises_panic(env):
    return call((panic_raiser(env), 1))(env)


def index_raises_panic_control(env):
    return index_control(panic_raiser(env))(env)


def index_control(argument):
    """operator.index(argument): the conversion's own Python-level work."""
    import operator

    def make(env):
        def action(start, stop):
            return env.t.injected_vectorcall(start, stop, operator.index, (argument,), None, ())

        return action

    return make


def first_creation(env):
    address = env.entry_address()

    def action(start, stop):
        return env.t.injected_init(start, stop, address)

    return action


def refusal_in_second_interpreter(env):
    address = env.entry_address()
    claimed = env.t.injected_init(-1, 0, address)
    assert claimed[0], claimed

    def action(start, stop):
        return env.t.injected_init_in_subinterpreter(start, stop, address)

    return action


def two_threads(env):
    def action(start, stop):
        return env.t.examine_from_two_threads(start, stop, "examined from two threads")

    return action


class Dying:
    """Allocates while it is finalised by a deferred release."""

    log = []

    def __del__(self):
        Dying.log.append(["finalised", len(Dying.log)])
        del Dying.log[:]


def deferred_release(env):
    t = env.t

    def released_later():
        item = Dying()
        t.defer_release(item)
        del item
        # The next entry applies the pending release.
        return t.pending_release_count()

    def action(start, stop):
        return t.injected_vectorcall(start, stop, released_later, (), None, ())

    return action


def deferred_release_control(env):
    # The finaliser runs inside a C call here too: when it fails that way the
    # interpreter keeps one object, also with no native module involved.
    import operator

    holder = {}

    def released_in_a_call():
        holder["item"] = Dying()
        operator.delitem(holder, "item")
        return 0

    def action(start, stop):
        return env.t.injected_vectorcall(start, stop, released_in_a_call, (), None, ())

    return action


def once_cell(method):
    def make(env):
        t = env.t

        def init():
            return ["cell value", 7]

        def action(start, stop):
            cell = t.new_once_cell()
            outcome = t.injected_vectorcall(start, stop, getattr(t, method), (cell, init), None, ())
            # An empty cell must take a later initialisation.
            again = getattr(t, method)(cell, init)
            if again != ["cell value", 7] or not t.once_cell_is_set(cell):
                raise AssertionError(f"once-cell not usable after the run: {again!r}")
            return outcome

        return action

    return make


def fault_in_body(env):
    def action(start, stop):
        return env.t.injected_vectorcall(start, stop, env.t.fault, ("owned",), None, ())

    return action


SCENARIOS = [
    Scenario("first-creation", first_creation, warm=False),
    Scenario("refusal-in-second-interpreter", refusal_in_second_interpreter),
    Scenario("mysum(1, 2)", call((1, 2))),
    Scenario("mysum(a=1, b=2)", call((), {"a": 1, "b": 2})),
    Scenario("mysum(b=2, a=1)", call((), {"b": 2, "a": 1})),
    Scenario("mysum(2**62, 2**62)", call((2**62, 2**62))),
    Scenario("mysum(2**63 - 1, 1)", call((2**63 - 1, 1))),
    Scenario("missing one: mysum(1)", call((1,))),
    Scenario("missing two: mysum()", call(())),
    Scenario("surplus: mysum(1, 2, 3)", call((1, 2, 3))),
    Scenario("multiple values: mysum(1, a=2)", call((1,), {"a": 2})),
    Scenario("unexpected keyword: mysum(1, c=2)", call((1,), {"c": 2})),
    Scenario("non-str keyword name (native call)", native_keywords((1,), (1,), (2,))),
    Scenario("mysum(1.5, 2)", call((1.5, 2))),
    Scenario(
        "__index__ TypeError with __cause__",
        call((IndexRaisesWithCause(), 2)),
        control=index_control(IndexRaisesWithCause()),
    ),
    Scenario("mysum(2**63, 0)", call((2**63, 0))),
    Scenario(
        "__index__ ValueError", call((IndexRaisesValueError(), 2)), control=index_control(IndexRaisesValueError())
    ),
    Scenario("__index__ PanicException (take-back)", index_raises_panic, control=index_raises_panic_control),
    Scenario("record examined from two threads", two_threads),
    Scenario("deferred release", deferred_release, control=deferred_release_control),
    Scenario("once-cell get_or_try_init retry", once_cell("once_cell_get_or_try_init")),
    Scenario(
        "once-cell get_or_init retry",
        once_cell("once_cell_get_or_init"),
        panic_prefixes=("once-cell initialiser failed: PyErr { ",),
    ),
    Scenario("fault in a body", fault_in_body),
]
BY_NAME = {scenario.name: scenario for scenario in SCENARIOS}


# ---- the child --------------------------------------------------------------------


def text_of(value):
    try:
        return str(value)
    except BaseException as error:  # noqa: BLE001 - any failure is shown, not raised
        return f"<str failed: {type(error).__name__}>"


def describe_exception(error):
    kind = type(error)
    name = kind.__qualname__ if kind.__module__ == "builtins" else f"{kind.__module__}.{kind.__qualname__}"
    cause = error.__cause__
    return {
        "ok": False,
        "type": name,
        "message": text_of(error),
        "cause": None if cause is None else f"{type(cause).__name__}: {text_of(cause)}",
    }


def describe_value(value):
    if isinstance(value, BaseException):
        # A record examined into an instance hands the instance back.
        described = describe_exception(value)
        described["returned"] = True
        return described
    if type(value).__name__ == "module":
        shown = f"module {value.__name__} __all__={getattr(value, '__all__', None)!r}"
    else:
        shown = repr(value)
    return {"ok": True, "value": shown}


def describe_outcome(outcome):
    """The probe's (ok, value, calls, failures) as plain data."""
    ok, value, calls, failures = outcome
    if isinstance(value, tuple) and len(value) == 2 and all(isinstance(item, tuple) for item in value):
        parts = [describe_single(*item) for item in value]  # one per thread
    else:
        parts = [describe_single(ok, value)]
    return {"parts": parts, "calls": calls, "failures": failures}


def describe_single(ok, value):
    if ok:
        return describe_value(value)
    if isinstance(value, str):  # "Type: message" from a second interpreter
        kind, _, message = value.partition(": ")
        return {"ok": False, "type": kind, "message": message, "cause": None}
    return describe_exception(value)


class Environment:
    def __init__(self, build_dir, scenario):
        # The shipped module comes from ZORVALIND_MODULE_DIR when the run names
        # one (tests/conftest.py), the test-only module from the build folder.
        self.module_dir = os.environ.get("ZORVALIND_MODULE_DIR", str(build_dir))
        sys.path[:0] = [self.module_dir, str(build_dir)]
        import _testcapi

        self.build_dir = build_dir
        self._library = None
        self.module = None
        self.panic_type = None
        if scenario.name not in ("first-creation", "refusal-in-second-interpreter"):
            import _zorvalind

            self.module = _zorvalind
            # The shipped module's type (the import took one error already);
            # taken before the test-only module makes a type of its own.
            self.panic_type = next(c for c in BaseException.__subclasses__() if c.__name__ == "PanicException")
        import _zorvalind_testing

        self.t = _zorvalind_testing
        self.t.fault_injection_configure(_testcapi.set_nomemory, _testcapi.remove_mem_hooks)

    def entry_address(self):
        import ctypes  # only here: it costs a fifth of the child's start-up

        (name,) = [n for n in os.listdir(self.module_dir) if n.startswith("_zorvalind.") and n.endswith(".so")]
        self._library = ctypes.PyDLL(os.path.join(self.module_dir, name))
        return ctypes.cast(self._library.PyInit__zorvalind, ctypes.c_void_p).value

    @property
    def mysum(self):
        if self.module is None:
            ok, module, _, _ = self.t.injected_init(-1, 0, self.entry_address())
            assert ok, module
            self.module = module
        return self.module.mysum


def forget_last_exception():
    # PyErr_Print (fail_api_call) keeps the exception in sys for post-mortems.
    for name in ("last_exc", "last_type", "last_value", "last_traceback"):
        if hasattr(sys, name):
            delattr(sys, name)


def settle():
    forget_last_exception()
    sys._clear_internal_caches()
    gc.collect()


def measure(action, start, stop):
    settle()
    refs = sys.gettotalrefcount()
    blocks = sys.getallocatedblocks()
    outcome = action(start, stop)
    del outcome
    settle()
    return sys.gettotalrefcount() - refs, sys.getallocatedblocks() - blocks


def repeated_deltas(action, start, stop, repeats, own):
    # Two unmeasured injected runs first: what the failure path itself fills
    # on first use (imports of the error display, caches) is not growth.
    for _ in range(2):
        del_outcome = action(start, stop)
        del del_outcome
    deltas = [measure(action, start, stop) for _ in range(repeats)]
    return [(refs - own[0], blocks - own[1]) for refs, blocks in deltas]


# In the C-heap sweep the measured run that injects nothing still counts.
COUNT_ONLY = 2**62


def heap_faults(env, library, action):
    """The action with the module's own C-heap calls failing instead of the
    interpreter's (tests/native/heap_faults.cpp): the window arms the library,
    and the outcome's counts are the library's."""
    import ctypes

    heap = ctypes.CDLL(library)
    heap.heap_faults_arm.argtypes = (ctypes.c_long, ctypes.c_long)
    heap.heap_faults_calls.restype = heap.heap_faults_failures.restype = ctypes.c_long
    if heap.heap_faults_install() == 0:
        raise AssertionError("no allocation call of the modules was found to hook")
    env.t.fault_injection_configure(heap.heap_faults_arm, heap.heap_faults_disarm)

    def measured(start, stop):
        ok, value, _, _ = action(start, stop)
        return ok, value, heap.heap_faults_calls(), heap.heap_faults_failures()

    return measured


def child(build_dir, name, start, stop, repeats, heap_library=None):
    gc.disable()
    scenario = BY_NAME[name]
    env = Environment(build_dir, scenario)
    action = scenario.make(env)
    if heap_library:
        action = heap_faults(env, heap_library, action)
        if start < 0:
            start = COUNT_ONLY
    if scenario.warm:
        action(-1, 0)
    injected = describe_outcome(action(start, stop))
    forget_last_exception()
    report = {"injected": injected}
    # After the hooks are gone the module works and the call behaves as without injection.
    report["again"] = describe_outcome(action(-1, 0))
    report["mysum_2_3"] = env.mysum(2, 3)
    # Plain data only: the parent reads it back with ast.literal_eval. Printed
    # before the growth check, whose further runs may end the process too.
    print("OUTCOME " + repr(report), flush=True)
    if repeats and hasattr(sys, "gettotalrefcount"):
        gc.enable()
        # The measurement's own bookkeeping (the ints it reads) is taken off.
        own = min(measure(lambda start, stop: None, start, stop) for _ in range(2))
        growth = {"deltas": repeated_deltas(action, start, stop, repeats, own)}
        if scenario.control is not None:
            growth["control_deltas"] = repeated_deltas(scenario.control(env), start, stop, repeats, own)
        print("GROWTH " + repr(growth), flush=True)


if __name__ == "__main__":
    directory, scenario_name, start_text, stop_text, repeats_text = sys.argv[1:6]
    child(directory, scenario_name, int(start_text), int(stop_text), int(repeats_text), *sys.argv[6:7])
