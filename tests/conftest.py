"""Puts the freshly built modules on the import path.

ZORVALIND_BUILD_DIR names the build folder (the Makefile sets it); by default
the tests use ./build next to the sources. ZORVALIND_MODULE_DIR names the
folder the shipped module is imported from, when that is not the build folder:
the stable ABI module built for another interpreter version, or installed
from its wheel. The test-only module always comes from the build folder.
"""

import importlib.util
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

from platforms import needs_subprocesses

ROOT = pathlib.Path(__file__).resolve().parent.parent
BUILD_DIR = pathlib.Path(os.environ.get("ZORVALIND_BUILD_DIR", ROOT / "build")).resolve()
MODULE_DIR = pathlib.Path(os.environ.get("ZORVALIND_MODULE_DIR", BUILD_DIR)).resolve()
IMPORT_DIRS = list(dict.fromkeys([str(MODULE_DIR), str(BUILD_DIR)]))
sys.path[:0] = IMPORT_DIRS


# The shipped module's file, as the import system finds it; None before a
# build (the Windows and WebAssembly checks need none).
_spec = importlib.util.find_spec("_zorvalind")
MODULE_FILE = pathlib.Path(_spec.origin).resolve() if _spec is not None else None


def run_python(code, *, env=None, timeout=120):
    """Runs `code` in a fresh interpreter with the build folder importable."""
    full_env = dict(os.environ)
    full_env["PYTHONPATH"] = os.pathsep.join([*IMPORT_DIRS, full_env.get("PYTHONPATH", "")])
    full_env.update(env or {})
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=full_env,
        timeout=timeout,
    )


def race(count, action):
    """Calls `action()` on `count` threads released together; returns the results."""
    import threading

    barrier = threading.Barrier(count)
    results = []

    def worker():
        barrier.wait()
        results.append(action())

    threads = [threading.Thread(target=worker) for _ in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return results


@pytest.fixture
def run_subprocess():
    return run_python


# `make test-parallel` runs every test in several threads at once
# (pytest-run-parallel); this marks a test that runs single-threaded there.
# Registered here too, for runs without the plugin.
def pytest_configure(config):
    config.addinivalue_line("markers", "thread_unsafe(reason): run on one thread under --parallel-threads")


SUBPROCESS_REASON = "runs its case in a child interpreter: more threads would only start more processes"


def pytest_collection_modifyitems(items):
    for item in items:
        if "run_subprocess" in getattr(item, "fixturenames", ()):
            item.add_marker(needs_subprocesses)
            item.add_marker(pytest.mark.thread_unsafe(reason=SUBPROCESS_REASON))
