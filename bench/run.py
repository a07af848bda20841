"""Benchmark of mysum(a, b): zorvalind against the hand-written floor and peers.

Run by `make bench`, which builds everything first; can be run by hand too:

    python bench/run.py --zorvalind-dir build --peer-dir build-bench/modules

Measures, side by side in one run:
  * wall time per call: every implementation timed in turn inside each repeat
    (the order rotates between repeats), minimum and median over the repeats;
  * instructions per call under callgrind: the same loop run N times and 0
    times, each region counted on its own (client requests in bench/worker.py),
    so interpreter start-up and the warm-up never enter the count;
  * memory per call: allocated blocks and tracemalloc over a million calls;
  * the first import: wall time and instructions, in fresh interpreters.

Every figure includes the Python-level loop around the call, identical for all
implementations, so ratios to the floor understate relative differences a
little. Results go to bench/RESULTS.md and standard output.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import datetime
import glob
import json
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
WORKER = os.path.join(HERE, "worker.py")

sys.path.insert(0, HERE)
from cases import (  # noqa: E402
    CASES,
    CONTRACT_BOUND,
    FLOOR,
    IMPLS,
    REFERENCE,
    WARM_CALLS,
    WRAPPED,
    add_paths,
    applies,
    mysum_of,
)


# ---------------------------------------------------------------------------
# Contract check: a peer that does not honour the contract is marked in the
# results; the floors and both builds of zorvalind must honour it or the run
# fails.


def check_contract(paths):
    add_paths(paths)
    deviations = {}  # (impl label, case label) -> note
    for label, module_name in IMPLS:
        f = mysum_of(module_name)
        for case in CASES:
            if not applies(label, case):
                continue
            try:
                got = f(*case.args, **case.kwargs)
            except Exception as exc:  # noqa: BLE001 - any deviation is recorded
                if case.error is not None and isinstance(exc, case.error):
                    continue
                note = f"raises {type(exc).__name__}: {str(exc).splitlines()[0]}"
            else:
                if case.error is None and got == case.expect and type(got) is int:
                    continue
                if case.error is not None:
                    note = f"returns {got!r} instead of raising {case.error.__name__}"
                else:
                    note = f"returns {got!r} instead of {case.expect!r}"
            deviations[(label, case.label)] = note
    for must in CONTRACT_BOUND:
        broken = {k: v for k, v in deviations.items() if k[0] == must}
        if broken:
            raise SystemExit(f"bench: {must} breaks the mysum contract: {broken}")
    return deviations


# ---------------------------------------------------------------------------
# Running workers.


def worker_env():
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    # Same string hashes in every process, so callgrind counts repeat exactly.
    env["PYTHONHASHSEED"] = "0"
    return env


def run_worker(*args, prefix=()):
    cmd = [*prefix, sys.executable, WORKER, *map(str, args)]
    proc = subprocess.run(cmd, capture_output=True, text=True, env=worker_env())
    if proc.returncode != 0:
        raise SystemExit(f"bench: worker {' '.join(cmd)} failed:\n{proc.stderr}")
    return proc


def callgrind_regions(*args, keep=None):
    """Runs a worker under callgrind; {region label: instructions}.

    The worker marks its regions with client requests; nothing outside them
    is counted. With `keep`, the dumps are copied there for callgrind_annotate.
    """
    out_dir = tempfile.mkdtemp(prefix="zorvalind-bench-")
    try:
        run_worker(
            *args,
            prefix=(
                "valgrind",
                "--tool=callgrind",
                "--instr-atstart=no",
                "--collect-atstart=no",
                f"--callgrind-out-file={out_dir}/cg.out",
            ),
        )
        regions = {}
        for path in glob.glob(os.path.join(out_dir, "cg.out.*")):
            with open(path) as dump:
                text = dump.read()
            label = re.search(r"^desc: Trigger: Client Request: (.*)$", text, re.M).group(1)
            regions[label] = int(re.search(r"^totals: (\d+)$", text, re.M).group(1))
            if keep is not None:
                os.makedirs(keep, exist_ok=True)
                name = re.sub(r"[^A-Za-z0-9=,.-]+", "_", f"{args[1]}-{label}")
                shutil.copy(path, os.path.join(keep, f"{name}.callgrind"))
        return regions
    finally:
        shutil.rmtree(out_dir, ignore_errors=True)


def log(message):
    # One line per step, in the form of the make targets' own steps.
    print(f"-- {message}", file=sys.stderr, flush=True)


# ---------------------------------------------------------------------------
# Measures.


def measure_time(paths_arg, meta):
    samples = json.loads(
        run_worker(
            "time", meta["time_repeats"], meta["time_calls_success"], meta["time_calls_failure"], paths_arg
        ).stdout
    )
    return {
        case: {label: {"min": min(v), "median": statistics.median(v)} for label, v in per_impl.items()}
        for case, per_impl in samples.items()
    }


def measure_instructions(paths_arg, meta, jobs, keep):
    calls_success, calls_failure = meta["cg_calls_success"], meta["cg_calls_failure"]
    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
        futures = {
            label: pool.submit(
                callgrind_regions, "cg-loops", module_name, calls_success, calls_failure, paths_arg, keep=keep
            )
            for label, module_name in IMPLS
        }
        regions = {label: future.result() for label, future in futures.items()}
    per_call = {}
    for label, _ in IMPLS:
        for case in CASES:
            if not applies(label, case):
                continue
            calls = calls_success if case.success else calls_failure
            counted = regions[label]
            per_call[(label, case.label)] = (counted[f"{case.label}|{calls}"] - counted[f"{case.label}|0"]) / calls
    return per_call


def measure_memory(paths_arg, meta):
    return json.loads(run_worker("memory", meta["mem_calls"], meta["mem_calls_failure"], paths_arg).stdout)


def measure_import(paths_arg, meta, jobs):
    impls = [(label, module_name) for label, module_name in IMPLS if label != REFERENCE]
    times = {label: [] for label, _ in impls}
    # Warm the file cache (and the plain peer's bytecode cache) first.
    for _, module_name in impls:
        run_worker("import", module_name, paths_arg)
    repeats = meta["import_repeats"]
    for rep in range(repeats):
        shift = rep % len(impls)
        for label, module_name in impls[shift:] + impls[:shift]:
            times[label].append(int(run_worker("import", module_name, paths_arg).stdout))
    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
        futures = {
            (label, preload): pool.submit(callgrind_regions, "cg-import", module_name, preload, paths_arg)
            for preload in (0, 1)
            for label, module_name in impls
        }
        counts = {key: future.result() for key, future in futures.items()}
    out = {}
    for label, _ in impls:
        cold, warm = counts[(label, 0)], counts[(label, 1)]
        out[label] = {
            "min_us": min(times[label]) / 1000,
            "median_us": statistics.median(times[label]) / 1000,
            "instructions": cold["import"] - cold["empty"],
            "instructions_cxx_loaded": warm["import"] - warm["empty"],
        }
    return out


def ratio(value, floor):
    return f"×{value / floor:.2f}" if floor else "–"


def render(meta, deviations, timing, instructions, memory, imports):
    labels = [label for label, _ in IMPLS]
    marks = {}
    notes = []
    for (label, case_label), note in sorted(deviations.items()):
        mark = "†" * (len(notes) + 1)
        marks[(label, case_label)] = mark
        notes.append(f"{mark} {label}, `{case_label}`: {note}")

    lines = ["# mysum benchmark", ""]
    lines.append(
        f"Generated by `make bench` on {meta['date']} at zorvalind commit `{meta['commit']}`: "
        f"Python {meta['python']}, {meta['cxx']}, {meta['valgrind']}, {meta['cpu']} "
        f"({meta['cores']} cores, shared with other work while measuring)."
    )
    lines.append("")
    lines.append(
        "Every figure includes the `for _ in range(n)` loop around the call (and a `try`/`except TypeError` "
        "on the failure cases), the same for every implementation. Ratios are to the hand-written C floor built "
        "like the shipped module, against the limited API of CPython 3.14 (the stable ABI); "
        "`floor (C, full API)` is the same C against the full API, `zorvalind, 3.14 only` the module built for "
        "CPython 3.14 alone (`-DZORVALIND_STABLE_ABI=OFF`), which is not shipped. "
        "The binding errors' texts differ between peers; only zorvalind's and the floor's follow the contract's "
        "exact texts. `operator.add` is the interpreter's own addition, a reference for the cost of the call "
        "itself: it takes no keywords (–) and keeps no 64-bit contract. Where zorvalind's instructions go: "
        "bench/PROFILE.md (`make bench-profile`)."
    )
    lines.append("")

    def table(title, intro, cell):
        lines.append(f"## {title}")
        lines.append("")
        lines.extend(intro)
        lines.append("")
        lines.append("| case | " + " | ".join(labels) + " |")
        lines.append("| --- | " + " | ".join("---:" for _ in labels) + " |")
        for case in CASES:
            cells = [cell(label, case) + marks.get((label, case.label), "") for label in labels]
            lines.append(f"| `{case.label}` | " + " | ".join(cells) + " |")
        lines.append("")

    def time_cell(label, case):
        if not applies(label, case):
            return "–"
        entry = timing[case.label][label]
        floor = timing[case.label][FLOOR]
        return f"{entry['min']:.1f} / {entry['median']:.1f} ({ratio(entry['min'], floor['min'])})"

    table(
        "Wall time per call",
        [
            f"Nanoseconds per call, minimum / median over {meta['time_repeats']} repeats of "
            f"{meta['time_calls_success']:,} calls (failure cases: {meta['time_calls_failure']:,}); "
            "implementations interleaved within each repeat. The ratio compares minima."
        ],
        time_cell,
    )

    def instr_cell(label, case):
        if not applies(label, case):
            return "–"
        value = instructions[(label, case.label)]
        return f"{value:,.0f} ({ratio(value, instructions[(FLOOR, case.label)])})"

    table(
        "Instructions per call (callgrind)",
        [
            f"(instructions for N calls − instructions for 0 calls) / N, N = {meta['cg_calls_success']:,} "
            f"(failure cases: {meta['cg_calls_failure']:,}). Each implementation runs in its own fresh process; "
            "the N-call and 0-call loops are counted as separate regions (callgrind client requests), after "
            f"{WARM_CALLS:,} warm-up calls that are not counted."
        ],
        instr_cell,
    )

    lines.append("## Memory per call")
    lines.append("")
    lines.append(
        f"Over {meta['mem_calls']:,} calls (failure cases: {meta['mem_calls_failure']:,}) with an allocation-free "
        "loop (`itertools.repeat`), after a garbage collection at both ends: change of "
        "`sys.getallocatedblocks()`, and tracemalloc's growth and peak above the starting point, in bytes; "
        "each less the same measure taken over 0 calls, so only the calls' own memory is left. A result that is not a cached small int is allocated and freed by "
        f"every call: `sys.getsizeof(2**62 + 2**62)` is {sys.getsizeof(WRAPPED)} bytes. A growth of a few "
        "bytes that does not scale with the number of calls is a cache the interpreter keeps (the last "
        "exception's state, for instance), not a leak: a leak of one block per call would show as "
        "hundreds of thousands of blocks."
    )
    lines.append("")
    lines.append("| case | " + " | ".join(labels) + " |")
    lines.append("| --- | " + " | ".join("---:" for _ in labels) + " |")
    for case in CASES:
        cells = []
        for label in labels:
            if not applies(label, case):
                cells.append("–")
                continue
            entry = memory[f"{label}|{case.label}"]
            cells.append(f"blocks {entry['blocks']:+d}, growth {entry['growth']:+d} B, peak {entry['peak']} B")
        lines.append(f"| `{case.label}` | " + " | ".join(cells) + " |")
    lines.append("")

    lines.append("## First import")
    lines.append("")
    lines.append(
        f"`import` of the module in a fresh interpreter (warm file cache): wall time minimum / median over "
        f"{meta['import_repeats']} processes, and instructions (callgrind: the `import` statement counted as a "
        "region, less an empty region of the same process). The last row "
        "repeats the instruction count with the C++ runtime (libstdc++) already loaded, which separates "
        "the module's own start-up from loading that runtime."
    )
    lines.append("")
    lines.append("| measure | " + " | ".join(labels) + " |")
    lines.append("| --- | " + " | ".join("---:" for _ in labels) + " |")
    floor = imports[FLOOR]

    def import_cells(cell):
        return " | ".join(cell(imports[l]) if l in imports else "–" for l in labels)

    lines.append(
        "| wall time, µs | "
        + import_cells(lambda i: f"{i['min_us']:.0f} / {i['median_us']:.0f} ({ratio(i['min_us'], floor['min_us'])})")
        + " |"
    )
    lines.append(
        "| instructions | "
        + import_cells(lambda i: f"{i['instructions']:,} ({ratio(i['instructions'], floor['instructions'])})")
        + " |"
    )
    lines.append(
        "| instructions, C++ runtime loaded | "
        + import_cells(
            lambda i: f"{i['instructions_cxx_loaded']:,} "
            f"({ratio(i['instructions_cxx_loaded'], floor['instructions_cxx_loaded'])})"
        )
        + " |"
    )
    lines.append("")

    if notes:
        lines.append("## Contract deviations of peers")
        lines.append("")
        lines.append("Measured all the same; a marked cell is not the same work as the floor's.")
        lines.append("")
        lines.extend(f"- {note}" for note in notes)
        lines.append("")
    return "\n".join(lines)


def tool_version(cmd):
    try:
        return subprocess.run(cmd, capture_output=True, text=True).stdout.splitlines()[0].strip()
    except (OSError, IndexError):
        return "unknown"


def git_commit():
    try:
        out = subprocess.run(["git", "-C", REPO, "rev-parse", "--short", "HEAD"], capture_output=True, text=True)
        dirty = subprocess.run(["git", "-C", REPO, "status", "--porcelain", "--", "src"], capture_output=True, text=True)
        return out.stdout.strip() + ("+src-changes" if dirty.stdout.strip() else "")
    except OSError:
        return "unknown"


def cpu_name():
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--zorvalind-dir", default=os.path.join(REPO, "build"))
    parser.add_argument("--peer-dir", default=os.path.join(REPO, "build-bench", "modules"))
    parser.add_argument("--out", default=os.path.join(HERE, "RESULTS.md"))
    parser.add_argument("--json", metavar="FILE", help="also write the instructions per call as JSON (for bench/chart.py)")
    parser.add_argument("--quick", action="store_true", help="fewer calls and repeats: a smoke run")
    parser.add_argument("--jobs", type=int, default=2, help="callgrind processes at once")
    parser.add_argument(
        "--keep-callgrind", metavar="DIR", help="keep each counted loop's callgrind dump in DIR (for callgrind_annotate)"
    )
    opts = parser.parse_args()

    paths = [os.path.abspath(opts.zorvalind_dir), os.path.abspath(opts.peer_dir)]
    paths_arg = os.pathsep.join(paths)
    quick = opts.quick
    meta = {
        "date": datetime.date.today().isoformat(),
        "commit": git_commit(),
        "python": platform.python_version(),
        "cxx": tool_version(["g++", "--version"]),
        "valgrind": tool_version(["valgrind", "--version"]),
        "cpu": cpu_name(),
        "cores": os.cpu_count(),
        "time_repeats": 5 if quick else 25,
        "time_calls_success": 20_000 if quick else 200_000,
        "time_calls_failure": 2_000 if quick else 20_000,
        "cg_calls_success": 10_000 if quick else 100_000,
        "cg_calls_failure": 2_000 if quick else 20_000,
        "mem_calls": 50_000 if quick else 1_000_000,
        "mem_calls_failure": 5_000 if quick else 100_000,
        "import_repeats": 5 if quick else 25,
    }

    log("checking the contract of every implementation")
    deviations = check_contract(paths)

    started = time.monotonic()
    log("measuring wall time")
    timing = measure_time(paths_arg, meta)
    log(f"counting instructions (callgrind, {opts.jobs} at once)")
    instructions = measure_instructions(paths_arg, meta, opts.jobs, opts.keep_callgrind)
    log("measuring memory")
    memory = measure_memory(paths_arg, meta)
    log("measuring the first import")
    imports = measure_import(paths_arg, meta, opts.jobs)
    log(f"measured in {time.monotonic() - started:.0f} s")

    text = render(meta, deviations, timing, instructions, memory, imports)
    with open(opts.out, "w") as out:
        out.write(text + "\n")
    if opts.json:
        with open(opts.json, "w") as out:
            json.dump(
                {
                    "commit": meta["commit"],
                    "floor": FLOOR,
                    "implementations": [label for label, _ in IMPLS],
                    "cases": [case.label for case in CASES],
                    "instructions": {f"{label}|{case}": value for (label, case), value in instructions.items()},
                    "deviations": [f"{label}|{case}" for label, case in deviations],
                },
                out,
                indent=1,
            )
    print(text)


if __name__ == "__main__":
    main()
