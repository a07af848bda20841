"""Module creation: one module per process, bound to one interpreter, and the
registration of functions with __all__."""

import types

import pytest

import _zorvalind
import _zorvalind_testing as t
from conftest import race
from platforms import needs_threads


def test_module_surface_holds_only_mysum_and_all():
    own = set(vars(_zorvalind)) - set(vars(types.ModuleType("x")))
    assert own == {"mysum", "__all__", "__file__"}
    assert _zorvalind.__all__ == ["mysum"]
    assert _zorvalind.__doc__ == ""
    assert _zorvalind.mysum.__module__ == "_zorvalind"
    assert _zorvalind.mysum.__self__ is _zorvalind
    assert _zorvalind.mysum.__name__ == "mysum"


def test_second_entry_call_returns_identical_module_without_reinitialising(run_subprocess):
    # A fresh process: call the entry point again through the import machinery
    # after dropping the module from sys.modules.
    result = run_subprocess(
        """
        import sys, importlib.util, _zorvalind
        first = _zorvalind
        del sys.modules["_zorvalind"]
        spec = importlib.util.find_spec("_zorvalind")
        second = importlib.util.module_from_spec(spec)
        assert second is first, (second, first)
        # Each entry hands out one reference of its own, the module's cell keeps its own.
        before = sys.getrefcount(first)
        third = importlib.util.module_from_spec(spec)
        assert sys.getrefcount(first) == before + 1, (sys.getrefcount(first), before)
        del third
        assert sys.getrefcount(first) == before, (sys.getrefcount(first), before)
        assert first.__all__ == ["mysum"], first.__all__
        print("ok")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


def test_import_from_second_interpreter_is_refused(run_subprocess):
    result = run_subprocess(
        """
        import _interpreters, _zorvalind
        interp = _interpreters.create(_interpreters.new_config("legacy"))
        failure = _interpreters.exec(interp, "import _zorvalind")
        _interpreters.destroy(interp)
        print(failure.type.__name__)
        print(failure.msg)
        print(_zorvalind.mysum(2, 3))
        """
    )
    assert result.returncode == 0, result.stderr
    kind, message, still_works = result.stdout.strip().splitlines()
    assert kind == "ImportError"
    assert message == (
        "zorvalind modules do not yet support subinterpreters, see "
        "https://docs.python.org/3/howto/isolating-extensions.html"
    )
    assert still_works == "5"


def test_second_interpreter_that_claims_first_owns_the_record():
    record = t.new_module_record()
    assert t.obtain_in_subinterpreter(record) is None
    assert t.module_record_owner(record) != 0
    with pytest.raises(ImportError, match="do not yet support subinterpreters"):
        t.obtain_module(record)


@pytest.mark.thread_unsafe(reason="arms the probe initialiser's process-wide failure count and counts its creations")
def test_failed_creation_is_retried_and_other_interpreters_stay_refused():
    record = t.new_module_record()
    created_before = t.probe_creations()
    t.set_probe_failures(1)
    with pytest.raises(ValueError, match="probe initialiser failed"):
        t.obtain_module(record)
    # The claim stands although no module exists yet.
    assert t.obtain_in_subinterpreter(record).startswith("ImportError: zorvalind modules")
    module = t.obtain_module(record)
    assert t.obtain_module(record) is module
    assert t.probe_creations() == created_before + 1
    assert module.__all__ == ["probe"]
    assert module.probe() == "probe called"


@needs_threads
def test_module_records_race_creates_one_module():
    record = t.new_module_record()
    results = race(6, lambda: t.obtain_module(record))
    assert len(results) == 6
    assert all(module is results[0] for module in results)
    assert results[0].__all__ == ["probe"]


class RaisingAllModule(types.ModuleType):
    def __getattr__(self, name):
        if name == "__all__":
            raise KeyError("lookup exploded")
        raise AttributeError(name)


class MissingAttributeSubclass(AttributeError):
    pass


class SubclassMissingModule(types.ModuleType):
    def __getattr__(self, name):
        raise MissingAttributeSubclass(name)


def make_module(all_value=None):
    module = types.ModuleType("host")
    if all_value is not None:
        module.__all__ = all_value
    return module


@pytest.mark.parametrize(
    "module, expected_all",
    [
        (make_module(), ["probe"]),
        (make_module(["x"]), ["x", "probe"]),
        (SubclassMissingModule("host"), ["probe"]),
    ],
    ids=["no-all", "existing-list", "attribute-error-subclass"],
)
@pytest.mark.thread_unsafe(reason="its parameters are one module object for all threads, whose __all__ each appends to")
def test_register_function_appends_name_to_all(module, expected_all):
    t.register_probe(module)
    assert module.__all__ == expected_all
    assert module.probe.__self__ is module
    assert module.probe.__module__ == "host"


@pytest.mark.parametrize(
    "module, error, message",
    [
        (make_module(("x",)), TypeError, "'tuple' object cannot be cast as 'list'"),
        (RaisingAllModule("host"), KeyError, "lookup exploded"),
    ],
    ids=["tuple-all", "lookup-raises"],
)
def test_register_function_reports_bad_all(module, error, message):
    with pytest.raises(error) as info:
        t.register_probe(module)
    assert message in str(info.value)
    assert "probe" not in vars(module)


def test_get_or_create_all_keeps_an_existing_list_object():
    existing = ["a"]
    module = make_module(existing)
    assert t.get_or_create_all(module) is existing


def test_register_function_on_object_without_name_fails_cleanly():
    # PyModule_GetNameObject rejects a module whose __name__ is missing.
    module = types.ModuleType("host")
    del module.__name__
    with pytest.raises(SystemError):
        t.register_probe(module)
