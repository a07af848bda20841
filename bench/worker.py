"""Measuring worker: one fresh interpreter per measurement, started by run.py.

    worker.py cg-loops MODULE CALLS_SUCCESS CALLS_FAILURE PATHS   (under callgrind)
    worker.py cg-import MODULE PRELOAD_CXX PATHS                  (under callgrind)
    worker.py import MODULE PATHS
    worker.py time REPEATS CALLS_SUCCESS CALLS_FAILURE PATHS
    worker.py memory CALLS CALLS_FAILURE PATHS

PATHS is the os.pathsep-joined list of folders holding the modules. Results
go to standard output as JSON (callgrind ones to callgrind's dump files).
Imports stay minimal: anything imported here is start-up cost of every run.
"""

import gc
import json
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from cases import (  # noqa: E402
    CASES,
    IMPLS,
    WARM_CALLS,
    add_paths,
    applies,
    cases_of,
    import_implementation,
    make_loop,
    prepare_import,
    mysum_of,
)


def cg_loops(module_name, calls_success, calls_failure):
    """Counts loop(f, N) and loop(f, 0) for every case, one dump each.

    Run with --instr-atstart=no --collect-atstart=no: start-up runs at full
    speed and nothing is counted outside the toggled regions. Both regions are
    entered and left by the same calls, so their difference is N calls.
    """
    import _bench_cg as cg

    f = mysum_of(module_name)
    loops = [(case, make_loop(case)) for case in cases_of(module_name)]
    for _, loop in loops:
        loop(f, WARM_CALLS)
    cg.start_instrumentation()
    toggle = cg.toggle_collect
    for case, loop in loops:
        calls = calls_success if case.success else calls_failure
        loop(f, WARM_CALLS)
        gc.collect()
        for n in (calls, 0):
            cg.zero_stats()
            toggle()
            loop(f, n)
            toggle()
            cg.dump_stats(f"{case.label}|{n}")


def cg_import(module_name, preload_cxx):
    """Counts an empty region and the first import, one dump each."""
    import _bench_cg as cg

    if preload_cxx:
        import ctypes

        ctypes.CDLL("libstdc++.so.6")
    prepare_import(module_name)
    cg.start_instrumentation()
    toggle = cg.toggle_collect
    cg.zero_stats()
    toggle()
    toggle()
    cg.dump_stats("empty")
    cg.zero_stats()
    toggle()
    import_implementation(module_name)
    toggle()
    cg.dump_stats("import")


def first_import(module_name):
    prepare_import(module_name)
    start = time.perf_counter_ns()
    import_implementation(module_name)
    return time.perf_counter_ns() - start


def wall_time(repeats, calls_success, calls_failure):
    funcs = [(label, mysum_of(module_name)) for label, module_name in IMPLS]
    out = {}
    for case in CASES:
        loop = make_loop(case)
        calls = calls_success if case.success else calls_failure
        running = [(label, f) for label, f in funcs if applies(label, case)]
        for _, f in running:
            loop(f, WARM_CALLS)
        samples = {label: [] for label, _ in running}
        gc.collect()
        for rep in range(repeats):
            # Rotate the order so no implementation always runs first or last.
            shift = rep % len(running)
            for label, f in running[shift:] + running[:shift]:
                start = time.perf_counter_ns()
                loop(f, calls)
                samples[label].append((time.perf_counter_ns() - start) / calls)
        out[case.label] = samples
    return out


def memory(calls, calls_failure):
    import tracemalloc

    def measure_once(loop, f, n):
        gc.collect()
        blocks_before = sys.getallocatedblocks()
        loop(f, n)
        gc.collect()
        blocks_after = sys.getallocatedblocks()

        tracemalloc.start()
        loop(f, WARM_CALLS)
        gc.collect()
        traced_before, _ = tracemalloc.get_traced_memory()
        tracemalloc.reset_peak()
        loop(f, n)
        _, traced_peak = tracemalloc.get_traced_memory()
        gc.collect()
        traced_after, _ = tracemalloc.get_traced_memory()
        tracemalloc.stop()
        return blocks_after - blocks_before, traced_after - traced_before, traced_peak - traced_before

    def measure(f, case, n):
        # The same steps with no call at all are the control: whatever the
        # measuring itself allocates (the counts are ints too) is subtracted.
        loop = make_loop(case, allocation_free=True)
        loop(f, WARM_CALLS)
        control = measure_once(loop, f, 0)
        blocks, growth, peak = (a - b for a, b in zip(measure_once(loop, f, n), control))
        return {"calls": n, "blocks": blocks, "growth": growth, "peak": peak}

    # A throw-away round first: the measuring code's own one-time allocations
    # (free lists filling up, tracemalloc's tables) must not land on the first
    # implementation measured.
    measure(mysum_of(IMPLS[0][1]), CASES[0], WARM_CALLS)
    out = {}
    for label, module_name in IMPLS:
        f = mysum_of(module_name)
        for case in cases_of(module_name):
            out[f"{label}|{case.label}"] = measure(f, case, calls if case.success else calls_failure)
    return out


def main(argv):
    kind, *args = argv
    add_paths(args[-1].split(os.pathsep))
    args = args[:-1]
    if kind == "cg-loops":
        cg_loops(args[0], int(args[1]), int(args[2]))
        return
    if kind == "cg-import":
        cg_import(args[0], args[1] == "1")
        return
    if kind == "import":
        result = first_import(args[0])
    elif kind == "time":
        result = wall_time(int(args[0]), int(args[1]), int(args[2]))
    elif kind == "memory":
        result = memory(int(args[0]), int(args[1]))
    else:
        raise SystemExit(f"worker: unknown measure {kind!r}")
    json.dump(result, sys.stdout)


if __name__ == "__main__":
    main(sys.argv[1:])
