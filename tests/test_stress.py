"""Concurrency stress: many threads through mysum's success and failure paths
at once, the first import raced, and one pending-error record examined from
many threads. Each runs in a fresh interpreter so that a crash or a hang is
reported as such instead of taking the test session down.

Run directly (`python tests/test_stress.py [seconds]`) the file is the stress
driver and prints its totals as JSON.
"""

import collections
import json
import os
import random
import sys
import textwrap
import threading
import time
import pytest
from arguments import INT64_MAX, INT64_MIN, IndexRaises, wrap

THREADS = 8
SECONDS = float(os.environ.get("ZORVALIND_STRESS_SECONDS", "4"))


# ---- the driver (runs in the subprocess) -----------------------------------------


class IndexCallsMysum:
    """A nested entry: converting this argument enters mysum twice more, once
    through a failure that releases the interpreter lock while it is built."""

    def __init__(self, mysum, value):
        self.mysum = mysum
        self.value = value

    def __index__(self):
        try:
            self.mysum(self.value, "not an int")
        except TypeError as error:
            if not str(error).startswith("argument 'b': "):
                raise AssertionError(f"nested failure mislabelled: {error}") from None
        return self.mysum(self.value, 0)


def make_call(rng, mysum):
    """Returns (category, call, expected type, expected result or message prefix)."""
    a = rng.choice([rng.randint(INT64_MIN, INT64_MAX), rng.randint(-1000, 1000), INT64_MAX, INT64_MIN])
    b = rng.choice([rng.randint(INT64_MIN, INT64_MAX), rng.randint(-1000, 1000), 1, -1])
    kind = rng.randrange(9)
    if kind == 0:
        return "good", lambda: mysum(a, b), int, wrap(a + b)
    if kind == 1:
        return "good_keywords", lambda: mysum(b=b, a=a), int, wrap(a + b)
    if kind == 2:
        bad = rng.choice(["text", 1.5, None, [a]])
        return "wrong_type_a", lambda: mysum(bad, b), TypeError, "argument 'a': "
    if kind == 3:
        bad = rng.choice(["text", 2.5, b"bytes", {}])
        return "wrong_type_b", lambda: mysum(a, bad), TypeError, "argument 'b': "
    if kind == 4:
        call, text = rng.choice(
            [
                (lambda: mysum(a, b, c=1), "mysum() got an unexpected keyword argument 'c'"),
                (lambda: mysum(a, a=b), "mysum() got multiple values for argument 'a'"),
                (lambda: mysum(a), "mysum() missing 1 required positional argument: 'b'"),
                (lambda: mysum(a, b, a), "mysum() takes 2 positional arguments but 3 were given"),
            ]
        )
        return "keyword_error", call, TypeError, text
    if kind == 5:
        return "nested", lambda: mysum(IndexCallsMysum(mysum, a), b), int, wrap(a + b)
    if kind == 6:
        return "index_raises_value_error", lambda: mysum(a, IndexRaises(ValueError("v"))), ValueError, "v"
    if kind == 7:
        return "index_raises_type_error", lambda: mysum(IndexRaises(TypeError("t")), b), TypeError, "argument 'a': t"
    big = rng.choice([2**64, -(2**64), 2**200])
    return "overflow", lambda: mysum(big, b), OverflowError, "int too big to convert"


def worker(index, deadline, mysum, testing, start, out):
    rng = random.Random(1000 + index)
    sent = collections.Counter()
    outcomes = collections.Counter()
    mismatches = []
    start.wait()
    while time.monotonic() < deadline:
        category, call, expected_type, expected = make_call(rng, mysum)
        sent[category] += 1
        try:
            result = call()
        except BaseException as error:  # a PanicException is counted, not fatal
            outcomes[type(error).__name__] += 1
            if type(error) is not expected_type or not str(error).startswith(expected):
                mismatches.append(f"{category}: {type(error).__name__}: {error}")
        else:
            outcomes["result"] += 1
            if expected_type is not int or result != expected:
                mismatches.append(f"{category}: returned {result!r}")
    out[index] = {
        "sent": dict(sent),
        "outcomes": dict(outcomes),
        "mismatches": mismatches[:10],
        "mismatch_count": len(mismatches),
        # Inside an entry the depth is exactly that one entry.
        "depth_after": testing.attach_depth(),
        "exception_after": repr(sys.exception()),
    }


def drive(seconds):
    import _zorvalind
    import _zorvalind_testing as testing

    baseline_threads = threading.active_count()
    start = threading.Barrier(THREADS + 1)
    out = [None] * THREADS
    began = time.monotonic()
    deadline = began + seconds
    threads = [
        threading.Thread(target=worker, args=(i, deadline, _zorvalind.mysum, testing, start, out))
        for i in range(THREADS)
    ]
    for thread in threads:
        thread.start()
    start.wait()
    for thread in threads:
        thread.join(timeout=seconds + 60)
    hung = sum(thread.is_alive() for thread in threads)
    elapsed = time.monotonic() - began
    return {
        "threads": THREADS,
        "seconds": elapsed,
        "hung": hung,
        "workers": out,
        "threads_left": threading.active_count() - baseline_threads,
        "pending_releases": testing.pending_release_count(),
        "depth_after": testing.attach_depth(),
        "sum_after": _zorvalind.mysum(INT64_MAX, 1),
    }


# ---- the tests -----------------------------------------------------------------------

EXPECTED_OUTCOME = {
    "good": "result",
    "good_keywords": "result",
    "nested": "result",
    "wrong_type_a": "TypeError",
    "wrong_type_b": "TypeError",
    "keyword_error": "TypeError",
    "index_raises_type_error": "TypeError",
    "index_raises_value_error": "ValueError",
    "overflow": "OverflowError",
}


def test_threads_mixing_successes_failures_and_nested_entries_lose_or_swap_no_outcome(run_subprocess):
    completed = run_subprocess(
        f"""
        import json, sys
        sys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r})
        import test_stress
        print(json.dumps(test_stress.drive({SECONDS})))
        """,
        timeout=SECONDS + 120,
    )
    assert completed.returncode == 0, completed.stderr
    # No fault report, unraisable error or sanitizer text either.
    assert completed.stderr == ""
    report = json.loads(completed.stdout)
    assert report["hung"] == 0
    workers = report["workers"]

    sent = collections.Counter()
    outcomes = collections.Counter()
    for worker_report in workers:
        sent.update(worker_report["sent"])
        outcomes.update(worker_report["outcomes"])
        assert worker_report["mismatch_count"] == 0, worker_report["mismatches"]
        assert worker_report["depth_after"] == 1
        assert worker_report["exception_after"] == "None"
    expected = collections.Counter()
    for category, count in sent.items():
        expected[EXPECTED_OUTCOME[category]] += count
    assert outcomes == expected
    assert set(sent) == set(EXPECTED_OUTCOME), "every kind of call was made"
    assert report["threads_left"] == 0
    assert report["pending_releases"] == 0
    assert report["depth_after"] == 1
    assert report["sum_after"] == INT64_MIN
    print(
        f"stress: {sum(sent.values())} calls, {report['threads']} threads, {report['seconds']:.1f} s, "
        f"outcomes {dict(outcomes)}"
    )


RACED_FIRST_USE = """
import sys, threading
count = 8
start = threading.Barrier(count)
results = [None] * count

def run(index):
    start.wait()
    results[index] = use(index)

threads = [threading.Thread(target=run, args=(i,)) for i in range(count)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
assert all(result is results[0] for result in results), results
"""


@pytest.mark.parametrize(
    "use, check",
    [
        pytest.param(
            """
            import _imp, importlib.util
            found = importlib.util.find_spec("_zorvalind")
            def use(index):
                if index % 2:
                    import _zorvalind as module
                    return module
                return _imp.create_dynamic(found)
            """,
            """
            assert sys.modules["_zorvalind"] is results[0]
            assert results[0].__all__ == ["mysum"], results[0].__all__
            assert results[0].mysum(2, 3) == 5
            """,
            id="module",
        ),
        pytest.param(
            """
            import _zorvalind_testing as testing
            def use(index):
                return testing.panic_exception_type()
            """,
            """
            assert [c for c in BaseException.__subclasses__() if c.__name__ == "PanicException"] == [results[0]]
            """,
            id="PanicException type",
        ),
    ],
)
def test_first_use_raced_from_threads_creates_one_object(use, check, run_subprocess):
    completed = run_subprocess(textwrap.dedent(use) + RACED_FIRST_USE + textwrap.dedent(check))
    assert completed.returncode == 0, completed.stderr
    assert completed.stderr == ""


def test_lazy_record_examined_from_threads_at_once_yields_one_instance(run_subprocess):
    completed = run_subprocess(
        """
        import threading
        import _zorvalind_testing as testing
        count, rounds = 8, 200
        records = [testing.new_lazy_record(ValueError, f"record {i}") for i in range(rounds)]
        start = threading.Barrier(count)
        seen = [[None] * rounds for _ in range(count)]

        def examine(index):
            for round_index, record in enumerate(records):
                start.wait()
                if index % 4 == 3:
                    testing.record_debug_text(record)
                seen[index][round_index] = testing.record_value(record)

        threads = [threading.Thread(target=examine, args=(i,)) for i in range(count)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        for round_index in range(rounds):
            first = seen[0][round_index]
            assert type(first) is ValueError and str(first) == f"record {round_index}", first
            assert all(seen[i][round_index] is first for i in range(count)), round_index
            assert testing.record_value(records[round_index]) is first
        assert testing.pending_release_count() == 0
        """
    )
    assert completed.returncode == 0, completed.stderr
    assert completed.stderr == ""


if __name__ == "__main__":
    sys.path[:0] = [os.environ.get("ZORVALIND_MODULE_DIR", os.environ.get("ZORVALIND_BUILD_DIR", "build")),
                    os.environ.get("ZORVALIND_BUILD_DIR", "build")]
    print(json.dumps(drive(float(sys.argv[1]) if len(sys.argv) > 1 else SECONDS), indent=1))
