"""The module's platform interfaces on Windows, under Wine: per-thread storage,
threads that sleep and are woken, internal faults unwinding (SEH with the
static C++ runtime), standard error and the abnormal end; and the shipped
module loading and unloading. Each scenario is a run of platform_check.exe of
its own (build-windows/platform-check/)."""

import subprocess

import pytest

REPORT = "zorvalind: internal fault: "
# The C runtime's abort: exit status 3, or the fast-fail status a Windows
# that has it reports instead.
ABORT_STATUSES = {3, 0xC0000409}


@pytest.fixture(scope="module")
def run_check(windows_build, wine):
    folder = windows_build / "platform-check"
    loader, env = wine

    def run(scenario):
        return subprocess.run([loader, "platform_check.exe", scenario], cwd=folder, env=env,
                              capture_output=True, text=True, timeout=300)

    return run


def reports(stderr):
    return [line for line in stderr.splitlines() if line.startswith(REPORT)]


@pytest.mark.parametrize(
    "scenario, shown",
    [
        # Depths of threads that started before the DLL was loaded, nested,
        # detached and attached from zero, interleaved.
        ("attach-depth", "attach-depth: threads 0,0,0,0, main thread 0"),
        # Releases from four detached threads wait behind the list's mutex and
        # are applied by the next attachment.
        ("releases", "releases: threads 0,0,0,0, pending 2000, count 2001 -> 1, pending after attach 0"),
        # One initialiser, which gives the lock up while it works; the other
        # threads wait in the cell, detached, asleep until woken.
        ("once-cell", "once-cell: values 42,42,42,42, initialiser runs 1"),
        # The shipped module itself: its imports resolve by name against a
        # the interpreter's DLL, its static runtimes start and stop with it.
        ("load-module", "load-module: loaded 1 (error 0), entry point 1, unloaded 1"),
    ],
)
def test_threads_and_per_thread_state(run_check, scenario, shown):
    result = run_check(scenario)
    assert result.returncode == 0, result.stdout + result.stderr
    assert shown in result.stdout
    assert reports(result.stderr) == []


def test_fault_unwinds_to_the_guard_and_is_reported(run_check):
    result = run_check("fault")
    assert result.returncode == 0, result.stdout + result.stderr
    assert "fault: guard 0, lock held afterwards 0" in result.stdout
    assert reports(result.stderr) == [REPORT + "probe fault from a once-cell initialiser"]


def test_trap_reports_and_ends_the_process_abnormally(run_check):
    result = run_check("trap")
    assert result.returncode in ABORT_STATUSES, (result.returncode, result.stdout, result.stderr)
    assert "the entry returned" not in result.stdout
    assert reports(result.stderr) == [
        REPORT + "Attaching a thread to the interpreter is currently prohibited.",
        REPORT + "uncaught panic at ffi boundary",
    ]
