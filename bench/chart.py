"""Chart of the benchmark's instructions per call: one group of bars per case,
one bar per implementation, as an SVG.

    python bench/chart.py RESULTS.json bench/instructions.svg

RESULTS.json is what `bench/run.py --json` writes. Needs matplotlib (Debian's
python3-matplotlib, provisioned by `make bench`). Text is drawn as paths and
the SVG carries no date, so the same figures give the same file.
"""

import json
import os
import sys

import matplotlib

matplotlib.use("svg")
import matplotlib.pyplot as plt  # noqa: E402

# One colour per implementation, zorvalind's the strongest.
COLOURS = {
    "floor (C)": "#4d4d4d",
    "zorvalind": "#d95f02",
    "floor (C, full API)": "#969696",
    "zorvalind, 3.14 only": "#fdae6b",
    "Cython (limited API)": "#7570b3",
    "nanobind (limited API)": "#1b9e77",
    "Cython, 3.14 only": "#bcbddc",
    "nanobind, 3.14 only": "#a1d99b",
    "pybind11": "#66a61e",
    "Python": "#e6ab02",
    "operator.add": "#a6761d",
}


def main(source, target):
    with open(source) as data:
        results = json.load(data)
    impls = results["implementations"]
    cases = results["cases"]
    counts = results["instructions"]
    deviations = set(results["deviations"])
    floor = results["floor"]

    plt.rcParams.update({"svg.fonttype": "path", "svg.hashsalt": "zorvalind", "font.size": 9})
    fig, ax = plt.subplots(figsize=(9, 7.5))
    bar = 0.8 / len(impls)
    top = max(counts.values())
    for i, label in enumerate(impls):
        ys, widths = [], []
        for j, case in enumerate(cases):
            value = counts.get(f"{label}|{case}")
            if value is None:
                continue
            ys.append(j + (i - (len(impls) - 1) / 2) * bar)
            widths.append(value)
        bars = ax.barh(ys, widths, height=bar * 0.92, color=COLOURS.get(label, "#999999"), label=label)
        for rect, case_y in zip(bars, ys):
            j = round(case_y)
            case = cases[j]
            value = rect.get_width()
            ratio = value / counts[f"{floor}|{case}"]
            text = f"{value:,.0f}  (×{ratio:.2f})"
            if f"{label}|{case}" in deviations:
                rect.set_hatch("///")
                rect.set_edgecolor("white")
                text += "  †"
            weight = "bold" if label == "zorvalind" else "normal"
            ax.text(value + top * 0.01, rect.get_y() + rect.get_height() / 2, text, va="center", fontsize=6.5,
                    fontweight=weight)
    ax.set_yticks(range(len(cases)), [f"mysum{case[len('mysum'):]}" for case in cases])
    ax.invert_yaxis()
    ax.set_xlim(0, top * 1.28)
    ax.set_xlabel("instructions per call (callgrind; the loop around the call included)")
    ax.set_title(f"mysum: instructions per call, ratio to the hand-written C floor (limited API; commit {results['commit']})")
    ax.grid(axis="x", linewidth=0.4, alpha=0.5)
    ax.set_axisbelow(True)
    ax.legend(loc="lower right", fontsize=8, frameon=False)
    if deviations:
        fig.text(0.01, 0.01, "† not the same work as the floor's (a contract deviation, listed in bench/RESULTS.md)",
                 fontsize=7)
    fig.tight_layout(rect=(0, 0.02, 1, 1))
    fig.savefig(target, metadata={"Date": None})
    print(os.path.relpath(target))


if __name__ == "__main__":
    if len(sys.argv) != 3:
        raise SystemExit(__doc__)
    main(sys.argv[1], sys.argv[2])
