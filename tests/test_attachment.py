"""Attach depth, deferred releases and interpreter once-cells."""

import sys
import threading

import pytest

import _zorvalind_testing as t
from conftest import race
from platforms import needs_threads


@needs_threads
def test_entry_raises_depth_by_one_and_restores_it():
    assert t.attach_depth() == 1
    seen = []

    def on_thread():
        seen.append(t.attach_depth())

    thread = threading.Thread(target=on_thread)
    thread.start()
    thread.join()
    assert seen == [1]


def test_nested_entry_sees_depth_two_and_leaves_one():
    depths = []

    def nested():
        depths.append(t.attach_depth())
        return t.attach_depth()

    # The outer entry, then the nested one.
    assert t.roundtrip(nested) == 2
    assert depths == [2]
    assert t.attach_depth() == 1


def test_attach_from_detached_thread_goes_through_gil_state():
    assert t.call_detached_then_attached(t.attach_depth) == 2


class Tracked:
    def __init__(self, name, log):
        self.name = name
        self.log = log

    def __del__(self):
        self.log.append(self.name)


@pytest.mark.thread_unsafe(reason="the pending-release list is process-wide: another thread's entry applies it or adds to it")
def test_deferred_releases_apply_at_next_entry_in_recording_order():
    log = []
    a, b, c = (Tracked(n, log) for n in "abc")
    t.defer_release(a, b, c)
    del a, b, c
    assert log == []
    t.attach_depth()
    assert log == ["a", "b", "c"]


@needs_threads
@pytest.mark.thread_unsafe(reason="the pending-release list is process-wide: another thread's entry applies it or adds to it")
def test_release_from_native_thread_is_deferred():
    obj = object()
    before = sys.getrefcount(obj)
    # Recorded while detached, applied when the entry re-attached.
    assert t.release_on_foreign_thread(obj) == 1
    assert sys.getrefcount(obj) == before
    assert t.pending_release_count() == 0


@needs_threads
def test_once_cell_race_runs_initialiser_once():
    cell = t.new_once_cell()
    calls = []

    def init():
        calls.append(1)
        # Give the other threads time to pile up on the cell.
        threading.Event().wait(0.05)
        return object()

    results = race(6, lambda: t.once_cell_get_or_init(cell, init))
    assert len(calls) == 1
    assert len(results) == 6 and all(r is results[0] for r in results)


def test_failing_try_initialiser_leaves_cell_empty_and_next_use_retries():
    cell = t.new_once_cell()
    attempts = []

    def failing():
        attempts.append("fail")
        raise KeyError("not yet")

    with pytest.raises(KeyError):
        t.once_cell_get_or_try_init(cell, failing)
    assert not t.once_cell_is_set(cell)
    value = t.once_cell_get_or_try_init(cell, lambda: "made")
    assert value == "made"
    assert t.once_cell_get_or_try_init(cell, failing) == "made"
    assert attempts == ["fail"]


@needs_threads
def test_waiter_retries_after_failed_initialiser():
    cell = t.new_once_cell()
    started = threading.Event()
    results = []

    def slow_failure():
        started.set()
        threading.Event().wait(0.05)
        raise ValueError("first attempt fails")

    def first():
        with pytest.raises(ValueError):
            t.once_cell_get_or_try_init(cell, slow_failure)

    def second():
        started.wait()
        results.append(t.once_cell_get_or_try_init(cell, lambda: "second made it"))

    threads = [threading.Thread(target=first), threading.Thread(target=second)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == ["second made it"]
