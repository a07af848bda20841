"""Allocation-failure sweep: every allocation of every scenario fails in turn.

    python sweep.py --build-dir build --label release [--step 1] [--jobs 2]
                    [--repeats 0] [--timeout 60] [--sanitizer-reports DIR]
                    [--only SUBSTRING] [--heap-library PATH]

For each scenario (scenarios.py) a first child runs it without injection; that
gives the outcome to compare with and the number of allocations A of the call.
Then, in both modes, N goes from 1 to A + 1 (every STEP-th N, and always A + 1,
the run that must meet no failure): "one" makes only allocation N fail, "from"
makes every allocation from N on fail. Each run is a fresh child with a
timeout. Its outcome must be one of: the correct result, the error of the
uninjected run, MemoryError, PanicException with a fixed message, or an abort by
the fault boundary's trap while a PanicException record is raised outside the
guard. Anything else is a defect, and so is a module that misbehaves once the
hooks are gone, reference or block growth across every repeated run (debug
interpreter, --repeats), or a sanitizer report (--sanitizer-reports).

With --heap-library (tests/native/heap_faults.cpp, built) the sweep runs a
second time with the modules' own C-heap calls failing instead of the
interpreter's; there the allowed outcomes are the correct result, the error of
the uninjected run and MemoryError: a PanicException the uninjected run does
not raise, and any abort, are defects.

Prints a table per scenario and ends with "<label>: N passed, N failed"
(runs); exits 1 on any defect.
"""

import argparse
import ast
import collections
import concurrent.futures
import json
import os
import re
import pathlib
import signal
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import scenarios  # noqa: E402

TRAP = "uncaught panic at ffi boundary"
REPORT_PREFIX = "zorvalind: internal fault: "
RESUME_BANNER = "--- zorvalind is resuming a panic after fetching a PanicException from Python. ---"
MODES = ("one", "from")
# The debug interpreter's own assertion when an allocation fails while Python
# code raises and an object is freed mid-instruction; plain Python code with no
# native module in it ends the same way (a __del__ whose list cannot be made,
# or the traceback display of PyErr_PrintEx meeting the failure).
KNOWN_INTERPRETER_ASSERTION = (
    "_Py_Dealloc: Assertion `tstate->current_frame == NULL || tstate->current_frame->stackpointer != NULL' failed."
)


def window(mode, n):
    """set_nomemory arguments: allocations after the first `start` fail up to `stop`."""
    return (n - 1, n) if mode == "one" else (n - 1, 0)


class Runner:
    def __init__(self, args):
        self.args = args
        self.python = sys.executable
        self.build_dir = str(pathlib.Path(args.build_dir).resolve())
        self.reports = pathlib.Path(args.sanitizer_reports).resolve() if args.sanitizer_reports else None

    def run(self, name, start, stop, repeats=0, heap=False):
        command = [self.python, "-S", str(HERE / "scenarios.py"), self.build_dir, name, str(start), str(stop), str(repeats)]
        if heap:
            command.append(str(pathlib.Path(self.args.heap_library).resolve()))
        env = dict(os.environ, PYTHONHASHSEED="0", PYTHONDONTWRITEBYTECODE="1")
        began = time.monotonic()
        process = subprocess.Popen(
            command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env, start_new_session=True
        )
        try:
            stdout, stderr = process.communicate(timeout=self.args.timeout)
            timed_out = False
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            stdout, stderr = process.communicate()
            timed_out = True
        found = []
        if self.reports is not None:
            found = sorted(self.reports.glob(f"*.{process.pid}"))
        return Run(
            name, start, stop, process.returncode, stdout, stderr, timed_out, found, time.monotonic() - began
        )


class Run:
    def __init__(self, name, start, stop, returncode, stdout, stderr, timed_out, sanitizer_files, seconds):
        self.name = name
        self.start = start
        self.stop = stop
        self.returncode = returncode
        self.stdout = stdout
        self.stderr = stderr
        self.timed_out = timed_out
        self.sanitizer_files = sanitizer_files
        self.seconds = seconds
        self.report = None
        self.growth = None
        for line in stdout.splitlines():
            if line.startswith("OUTCOME "):
                self.report = ast.literal_eval(line[len("OUTCOME ") :])
            elif line.startswith("GROWTH "):
                self.growth = ast.literal_eval(line[len("GROWTH ") :])

    @property
    def met_no_failure(self):
        return self.report is not None and self.report["injected"]["failures"] == 0


def signature(outcome):
    """What must match the uninjected run (allocation counts aside)."""
    return json.dumps(outcome["parts"], sort_keys=True)


def panic_message_is_fixed(message, scenario):
    if message in scenarios.FIXED_PANIC_MESSAGES:
        return True
    return any(message.startswith(prefix) for prefix in scenarios.FIXED_PANIC_PREFIXES + scenario.panic_prefixes)


PLACEHOLDER = re.compile(r"<unprintable (?:[^<>]* )?object>")


def is_placeholder_of(part, baseline_part):
    """The uninjected error with one object's text replaced by the fallback
    placeholder: str() of that object met the failure, which went to the
    unraisable-exception hook, and the message shows "<unprintable T object>"."""
    if part["ok"] or baseline_part["ok"] or part["type"] != baseline_part["type"]:
        return False
    if part.get("cause") != baseline_part.get("cause"):
        return False
    match = PLACEHOLDER.search(part["message"])
    if match is None:
        return False
    head, tail = part["message"][: match.start()], part["message"][match.end() :]
    expected = baseline_part["message"]
    return expected.startswith(head) and expected.endswith(tail) and len(expected) >= len(head) + len(tail)


def classify_part(part, baseline_part, scenario, heap=False):
    """(category, defect text or None) of one part of an outcome."""
    if part == baseline_part:
        return ("correct" if part["ok"] else "uninjected error"), None
    if is_placeholder_of(part, baseline_part):
        return "placeholder text", None
    if part["ok"]:
        return "wrong result", f"wrong result {part['value']} (expected {baseline_part})"
    kind = part["type"]
    if kind == "MemoryError":
        return "MemoryError", None
    if kind == scenarios.PANIC_TYPE_NAME and heap and baseline_part.get("type") != kind:
        return "PanicException", f"PanicException where the uninjected call raises none: {part['message']!r}"
    if kind == scenarios.PANIC_TYPE_NAME:
        if panic_message_is_fixed(part["message"], scenario):
            return "PanicException", None
        return "PanicException (other text)", f"PanicException with an unexpected text: {part['message']!r}"
    return f"{kind}", f"unexpected {kind}: {part['message']!r}"


def fault_reports(stderr):
    return [line[len(REPORT_PREFIX) :] for line in stderr.splitlines() if line.startswith(REPORT_PREFIX)]


def classify_abort(stderr):
    """An abort is by design only when a PanicException record met a failure
    while it was raised outside the guard: the fault that made the record was
    reported (or a panic was resumed) before the report of the failed raise."""
    reports = fault_reports(stderr)
    if not reports or reports[-1] != TRAP:
        return "abort", "abort without the trap's report"
    before = reports[:-1]
    if len(before) >= 2:
        return "abort (trap)", None
    if len(before) == 1:
        last = stderr.rfind(REPORT_PREFIX + before[0])
        if stderr.rfind(RESUME_BANNER, 0, last) != -1:
            return "abort (trap)", None
    return "abort (trap, ordinary record)", "trap abort while an ordinary record was raised: " + " / ".join(before)


def classify_end(run, heap=False):
    """(category, defect text or None) of a child that did not exit normally."""
    if heap and run.returncode == -signal.SIGABRT:
        tail = run.stderr.strip().splitlines()[-3:]
        return "abort", f"abort: {' | '.join(tail)}"
    if run.returncode == -signal.SIGABRT and KNOWN_INTERPRETER_ASSERTION in run.stderr:
        return "interpreter assertion", None
    if run.returncode == -signal.SIGABRT:
        return classify_abort(run.stderr)
    tail = run.stderr.strip().splitlines()[-3:]
    what = f"signal {-run.returncode}" if run.returncode < 0 else f"exit {run.returncode}"
    return f"crash ({what})", f"crash ({what}): {' | '.join(tail)}"


def classify(run, baseline, scenario, repeats, heap=False):
    """(category, [defects]) of one injected run."""
    defects = []
    if run.sanitizer_files:
        texts = " ".join(path.read_text(errors="replace")[:300] for path in run.sanitizer_files)
        defects.append("sanitizer report: " + texts.replace("\n", " "))
    if run.timed_out:
        return "hang", defects + ["hang (timeout)"]
    if run.report is None:
        category, defect = classify_end(run, heap)
        return category, defects + ([defect] if defect else [])
    report = run.report
    injected = report["injected"]
    categories = []
    for part, base in zip(injected["parts"], baseline["parts"]):
        category, defect = classify_part(part, base, scenario, heap)
        categories.append(category)
        if defect:
            defects.append(defect)
    if len(injected["parts"]) != len(baseline["parts"]):
        defects.append("outcome of another shape than the uninjected one")
    if signature(report["again"]) != signature(baseline):
        defects.append(f"after the hooks were removed the call gave {report['again']['parts']}")
    if report["mysum_2_3"] != 5:
        defects.append(f"after the hooks were removed mysum(2, 3) gave {report['mysum_2_3']}")
    if run.returncode != 0:
        # The growth check's further runs ended the process.
        category, defect = classify_end(run, heap)
        if defect:
            defects.append("during the growth check: " + defect)
    growth = run.growth or {}
    deltas = growth.get("deltas")
    control = growth.get("control_deltas")
    if deltas and control:
        # What the interpreter itself keeps under the same failure is not ours.
        deltas = [(r - cr, b - cb) for (r, b), (cr, cb) in zip(deltas, control)]
    if repeats and deltas:
        if all(refs >= 1 for refs, _ in deltas):
            defects.append(f"reference growth in every repeated run: {deltas}")
        if all(blocks >= 1 for _, blocks in deltas):
            defects.append(f"block growth in every repeated run: {deltas}")
    unique = sorted(set(categories), key=categories.index)
    return "+".join(unique), defects


def sweep_points(allocations, step):
    last = allocations + 1
    points = list(range(1, last + 1, step))
    if points[-1] != last:
        points.append(last)
    return points


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--label", default="release")
    parser.add_argument("--step", type=int, default=1)
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--repeats", type=int, default=0, help="repeated injected runs for the growth check")
    parser.add_argument("--timeout", type=float, default=60)
    parser.add_argument("--sanitizer-reports")
    parser.add_argument("--only", help="run only scenarios whose name contains this text")
    parser.add_argument("--counts-file", help="appends '<label> <passed> <failed>' to this file")
    parser.add_argument("--heap-library", help="also sweep the modules' own C-heap calls with this library")
    parser.add_argument("--max-extra", type=int, default=200, help="N beyond A + 1 tried before giving up")
    args = parser.parse_args()

    try:
        import _testcapi

        _testcapi.set_nomemory, _testcapi.remove_mem_hooks  # noqa: B018 - both are needed
    except (ImportError, AttributeError) as missing:
        print(f"{args.label}: this interpreter has no usable _testcapi ({missing})", file=sys.stderr)
        return 2
    runner = Runner(args)
    chosen = [s for s in scenarios.SCENARIOS if not args.only or args.only in s.name]
    began = time.monotonic()
    passed = failed = 0
    all_defects = []
    pool = concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs)
    kinds = [False, True] if args.heap_library else [False]
    heap_runs = collections.Counter()
    for heap in kinds:
        label = f"{args.label}, C heap" if heap else args.label
        # Uninjected runs first, all together.
        baselines = dict(
            zip([s.name for s in chosen], pool.map(lambda s: runner.run(s.name, -1, 0, heap=heap), chosen))
        )
        for scenario in chosen:
            base_run = baselines[scenario.name]
            if base_run.report is None or base_run.returncode != 0:
                failed += 1
                all_defects.append((label, scenario.name, "-", 0, [f"uninjected run failed (exit {base_run.returncode})"]))
                print(f"{scenario.name}: uninjected run failed\n{base_run.stderr[-2000:]}", file=sys.stderr)
                continue
            baseline = base_run.report["injected"]
            allocations = baseline["calls"]
            rows = {}
            for mode in MODES:
                counts = collections.Counter()
                points = sweep_points(allocations, args.step)
                tried = 0
                pending = list(points)
                while pending:
                    runs = list(
                        pool.map(
                            lambda n: (n, runner.run(scenario.name, *window(mode, n), args.repeats, heap=heap)), pending
                        )
                    )
                    pending = []
                    for n, run in runs:
                        tried += 1
                        heap_runs[heap] += 1
                        category, defects = classify(run, baseline, scenario, args.repeats, heap)
                        if run.met_no_failure and category in ("correct", "uninjected error") and not defects:
                            category = "no failure met"
                        counts[category] += 1
                        if defects:
                            failed += 1
                            all_defects.append((label, scenario.name, mode, n, defects))
                        else:
                            passed += 1
                    # The last point must meet no failure; otherwise the call
                    # took more allocations than uninjected, and the sweep goes on.
                    n_last, run_last = runs[-1]
                    if not run_last.met_no_failure and n_last < allocations + 1 + args.max_extra:
                        pending = [n_last + 1]
                rows[mode] = (tried, counts)
            print_table(label, scenario, allocations, baseline, rows)
    pool.shutdown()

    elapsed = time.monotonic() - began
    if all_defects:
        print(f"\n== {args.label}: defects ==")
        for label, name, mode, n, defects in all_defects:
            for defect in defects:
                print(f"DEFECT [{label}] {name} mode={mode} N={n}: {defect}")
    print(f"\n{args.label}: {len(chosen)} scenarios, step {args.step}, {elapsed:.0f} s")
    if args.heap_library:
        print(f"{args.label}: {heap_runs[False]} runs with interpreter allocations failing, {heap_runs[True]} with C-heap ones")
    print(f"{args.label}: {passed} passed, {failed} failed")
    if args.counts_file:
        with open(args.counts_file, "a", encoding="utf-8") as counts:
            counts.write(f"{args.label} {passed} {failed}\n")
    return 1 if failed else 0


def short(outcome):
    parts = []
    for part in outcome["parts"]:
        if part["ok"]:
            parts.append(part["value"])
        else:
            parts.append(f"{part['type']}: {part['message']}"[:70])
    return " / ".join(parts)


def print_table(label, scenario, allocations, baseline, rows):
    print(f"\n[{label}] {scenario.name} -- uninjected: {short(baseline)} ({allocations} allocations)")
    categories = []
    for _, counts in rows.values():
        for category in counts:
            if category not in categories:
                categories.append(category)
    header = f"  {'mode':<5} {'N tried':>7}  " + "  ".join(f"{c}" for c in categories)
    print(header)
    for mode, (tried, counts) in rows.items():
        cells = "  ".join(f"{counts.get(c, 0):>{len(c)}}" for c in categories)
        print(f"  {mode:<5} {tried:>7}  {cells}")
    sys.stdout.flush()


if __name__ == "__main__":
    sys.exit(main())
