"""Where mysum's instructions go: callgrind_annotate reports per case.

    python bench/profile.py [--impl zorvalind --impl "floor (C)"] --out build-bench/profile

Counts the same loops as run.py (N calls, after the warm-up), keeps each
region's callgrind dump, and writes for every implementation and case:
  <impl>-<case>.exclusive.txt   callgrind_annotate, self cost per function
  <impl>-<case>.inclusive.txt   callgrind_annotate --inclusive=yes
and summary.md: the top functions of each, in instructions per call. Needs a
module built with debug information (`make build` is RelWithDebInfo).
"""

from __future__ import annotations

import argparse
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, HERE)

from cases import CASES, MODULE_OF  # noqa: E402
from run import callgrind_regions  # noqa: E402

LINE = re.compile(r"^\s*([\d,]+)\s+\(\s*[\d.]+%\)\s+(.*)$")


def annotate(dump, inclusive):
    cmd = ["callgrind_annotate", "--threshold=99.9", f"--inclusive={'yes' if inclusive else 'no'}", "--auto=no", dump]
    return subprocess.run(cmd, capture_output=True, text=True, check=True).stdout


def top_functions(report, calls, limit):
    rows = []
    for line in report.splitlines():
        match = LINE.match(line)
        if match is None or "PROGRAM TOTALS" in line:
            continue
        count = int(match.group(1).replace(",", ""))
        where = re.sub(r"\s+\[[^\]]*\]$", "", match.group(2))
        # Shorten paths to what tells the reader where the code lives.
        where = where.replace(REPO + "/", "").replace(os.path.join(REPO, ".toolchain", "root"), "<root>")
        rows.append((count / calls, where))
        if len(rows) == limit:
            break
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--zorvalind-dir", default=os.path.join(REPO, "build"))
    parser.add_argument("--peer-dir", default=os.path.join(REPO, "build-bench", "modules"))
    parser.add_argument("--out", default=os.path.join(REPO, "build-bench", "profile"))
    parser.add_argument("--impl", action="append", help="implementation label (default: zorvalind and the floor)")
    parser.add_argument("--calls", type=int, default=100_000, help="calls per success case")
    parser.add_argument("--failure-calls", type=int, default=20_000, help="calls per failure case")
    parser.add_argument("--top", type=int, default=25, help="functions per summary table")
    opts = parser.parse_args()

    impls = opts.impl or ["zorvalind", "floor (C)"]
    paths_arg = os.pathsep.join([os.path.abspath(opts.zorvalind_dir), os.path.abspath(opts.peer_dir)])
    os.makedirs(opts.out, exist_ok=True)
    dumps_dir = os.path.join(opts.out, "dumps")

    summary = ["# mysum profile", "", "Instructions per call (the loop around the call included), top functions.", ""]
    for label in impls:
        module_name = MODULE_OF[label]
        print(f"profile: {label}", file=sys.stderr, flush=True)
        regions = callgrind_regions(
            "cg-loops", module_name, opts.calls, opts.failure_calls, paths_arg, keep=dumps_dir
        )
        for case in CASES:
            calls = opts.calls if case.success else opts.failure_calls
            per_call = (regions[f"{case.label}|{calls}"] - regions[f"{case.label}|0"]) / calls
            dump_name = re.sub(r"[^A-Za-z0-9=,.-]+", "_", f"{module_name}-{case.label}|{calls}")
            dump = os.path.join(dumps_dir, f"{dump_name}.callgrind")
            stem = re.sub(r"[^A-Za-z0-9=,.-]+", "_", f"{label}-{case.label}")
            summary += [f"## {label}: `{case.label}` — {per_call:,.0f} instructions per call", ""]
            for inclusive in (False, True):
                report = annotate(dump, inclusive)
                kind = "inclusive" if inclusive else "exclusive"
                with open(os.path.join(opts.out, f"{stem}.{kind}.txt"), "w") as out:
                    out.write(report)
                summary += [f"{kind.capitalize()}:", "", "| per call | function |", "| ---: | --- |"]
                summary += [f"| {count:,.1f} | `{where}` |" for count, where in top_functions(report, calls, opts.top)]
                summary.append("")
    path = os.path.join(opts.out, "summary.md")
    with open(path, "w") as out:
        out.write("\n".join(summary) + "\n")
    print(path)


if __name__ == "__main__":
    main()
