"""The Python benchmarks' figures as a Markdown table and a PNG chart.

Reads the JSON files that bench.py writes (--json FILE), one per
interpreter, and writes into the folder given by --out:

  benchmarks.md   a table of every figure (rows) on every interpreter
                  (columns), with each figure's goal, misses marked, and the
                  machine and date
  benchmarks.png  the per-call ratios as grouped horizontal bars, one bar per
                  interpreter, each figure's goal drawn across its group

With --readme FILE, the table and the chart are also put into FILE between
the lines <!-- benchmarks:start --> and <!-- benchmarks:end -->.

    python benchmarks/python/report.py build/bench/*.json --out docs [--readme README.md]

The chart needs matplotlib (benchmarks/requirements.txt); the table does not.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import platform
import re
import sys
from pathlib import Path

START, END = "<!-- benchmarks:start -->", "<!-- benchmarks:end -->"
MISSED = "✗"


def load(paths: list[str]) -> list[dict]:
    """The runs, ordered: native before emulated, then by processor,
    version, GIL before free-threaded, glibc before musl."""
    runs = []
    for path in paths:
        run = json.loads(Path(path).read_text(encoding="utf-8"))
        if run.get("format") != 1:
            raise SystemExit(f"{path}: not a file of bench.py --json (format 1)")
        run["label"] = run["name"] + (" (emulated)" if run["emulated"] and "emulated" not in run["name"] else "")
        runs.append(run)
    labels = [run["label"] for run in runs]
    if len(set(labels)) != len(labels):
        raise SystemExit(f"two runs have the same name: {labels} (give each its own with bench.py --name)")

    def key(run):
        python = run["python"]
        version = tuple(int(part) for part in re.findall(r"\d+", python["version"])[:3])
        return (run["emulated"], python["machine"], version, python["free_threaded"], python["libc"], run["label"])

    return sorted(runs, key=key)


def figure_names(runs: list[dict]) -> list[str]:
    """Every figure's name, in the order the runs first give them."""
    names: list[str] = []
    for run in runs:
        names += [figure["name"] for figure in run["figures"] if figure["name"] not in names]
    return names


def find(run: dict, name: str) -> dict | None:
    return next((figure for figure in run["figures"] if figure["name"] == name), None)


def ratio_text(ratio: float) -> str:
    """Two decimals, three below 0.1."""
    return f"{ratio:.2f}×" if ratio >= 0.1 else f"{ratio:.3f}×"


def goal_text(runs: list[dict], name: str) -> str:
    """The figure's goal, and where it holds when not every run has one."""
    with_goal = [run for run in runs if (find(run, name) or {}).get("goal") is not None]
    if not with_goal:
        return "—"
    figure = find(with_goal[0], name)
    text = f"{'≤' if figure['better'] == 'lower' else '≥'} {figure['goal']:g}×"
    measured = [run for run in runs if find(run, name)]
    if len(with_goal) < len(measured):
        text += " (free-threaded)" if all(run["python"]["free_threaded"] for run in with_goal) else " (where set)"
    return text


def cell(figure: dict | None) -> str:
    if figure is None:
        return "—"
    return ratio_text(figure["ratio"]) + (f" {MISSED}" if figure.get("met") is False else "")


def machine_description() -> str:
    """This machine: its processor's model and the processors it has."""
    model = platform.machine()
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as cpuinfo:
            found = re.search(r"^model name\s*:\s*(.+)$", cpuinfo.read(), re.M)
        if found:
            model = " ".join(found.group(1).split())
    except OSError:
        pass
    count = os.cpu_count() or 0
    return f"{model}, {count} processor{'s' if count != 1 else ''}, {platform.system()}"


def date_text(runs: list[dict]) -> str:
    days = sorted({datetime.datetime.fromisoformat(run["measured"]).date().isoformat() for run in runs})
    return days[0] if len(days) == 1 else f"{days[0]} to {days[-1]}"


def markdown(runs: list[dict], machine: str) -> str:
    """The table with what it shows, what it was measured on and when."""
    names = figure_names(runs)
    module = runs[0]["module"]
    lines = [
        f"{module['name']} {module['version']}, measured on {machine}, {date_text(runs)}. "
        "Each figure is the module's time per call divided by its baseline's, both timed side by side in one "
        "process (below 1× the module is faster); the last rows are two threads' calls per second against one "
        "thread's (above 1× they share the work).",
        "",
        "| figure | against | goal | " + " | ".join(run["label"] for run in runs) + " |",
        "| --- | --- | --- | " + " | ".join("---:" for _ in runs) + " |",
    ]
    for name in names:
        kind = next(figure["baseline_kind"] for run in runs if (figure := find(run, name)))
        lines.append(f"| `{name}` | {kind} | {goal_text(runs, name)} | "
                     + " | ".join(cell(find(run, name)) for run in runs) + " |")
    lines.append("")
    if any(figure.get("met") is False for run in runs for figure in run["figures"]):
        lines += [f"{MISSED} marks a figure that missed its goal.", ""]
    details = []
    for run in runs:
        python = run["python"]
        build = "free-threaded" if python["free_threaded"] else "with the interpreter lock"
        details.append(f"{run['label']}: {python['implementation']} {python['version']} ({build}), "
                       f"{python['libc']}, {python['machine']}, {run['processors']} processors seen")
    lines.append("Interpreters: " + "; ".join(details) + ".")
    return "\n".join(lines) + "\n"


def chart(runs: list[dict], machine: str, path: Path) -> None:
    """Grouped horizontal bars of the per-call ratios, one group per figure,
    one bar per interpreter; each figure's goal a dashed line across its
    group, and a grey line at 1× (as fast as the baseline)."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    names = [name for name in figure_names(runs)
             if all(figure["better"] == "lower" for run in runs if (figure := find(run, name)))]
    count = len(runs)
    group = 0.8
    height = group / count
    fig, ax = plt.subplots(figsize=(11, 1.0 + len(names) * max(0.9, 0.25 * count)), dpi=110)
    colours = plt.get_cmap("tab10").colors
    largest = 1.0
    for index, run in enumerate(runs):
        ys, ratios = [], []
        for row, name in enumerate(names):
            figure = find(run, name)
            if figure is None:
                continue
            ys.append(row - group / 2 + height * (index + 0.5))
            ratios.append(figure["ratio"])
        bars = ax.barh(ys, ratios, height=height * 0.9, color=colours[index % len(colours)], label=run["label"])
        for text in ax.bar_label(bars, labels=[ratio_text(r) for r in ratios], padding=3, fontsize=8):
            # Readable where a goal line passes behind it.
            text.set_bbox({"facecolor": "white", "edgecolor": "none", "pad": 0.8})
            text.set_zorder(4)
        largest = max([largest, *ratios])
    goal_drawn = False
    for row, name in enumerate(names):
        goals = {figure["goal"] for run in runs if (figure := find(run, name)) and figure["goal"] is not None}
        for goal in goals:
            ax.vlines(goal, row - group / 2 - 0.04, row + group / 2 + 0.04, colors="black", linestyles="--",
                      linewidth=1.6, label=None if goal_drawn else "goal (at most)")
            goal_drawn = True
            largest = max(largest, goal)
    ax.axvline(1.0, color="grey", linewidth=1, zorder=0, label="as fast as the baseline")
    ax.set_yticks(range(len(names)))
    ax.set_yticklabels([name.replace(" / ", "\nagainst ") for name in names], fontsize=9)
    ax.invert_yaxis()
    ax.set_xlim(0, largest * 1.18)
    ax.set_xlabel("module's time per call ÷ baseline's (lower is faster)", fontsize=10)
    ax.set_ylabel("call, against its baseline", fontsize=10)
    module = runs[0]["module"]
    ax.set_title(f"{module['name']} {module['version']}: time per call against a baseline\n"
                 f"{machine}, {date_text(runs)}", fontsize=11)
    ax.grid(axis="x", color="#dddddd", linewidth=0.6)
    ax.set_axisbelow(True)
    ax.legend(loc="lower right", fontsize=8, framealpha=0.95)
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def put_into(readme: Path, block: str) -> None:
    """BLOCK between the markers of README, replacing what was there."""
    text = readme.read_text(encoding="utf-8")
    pattern = re.compile(re.escape(START) + r"\n.*?" + re.escape(END), re.S)
    if len(pattern.findall(text)) != 1:
        raise SystemExit(f"{readme}: needs one {START} line and one {END} line after it")
    readme.write_text(pattern.sub(lambda _: f"{START}\n{block}{END}", text), encoding="utf-8")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("runs", nargs="+", metavar="FILE", help="a JSON file of bench.py --json, one per interpreter")
    parser.add_argument("--out", default="docs", help="the folder for benchmarks.md and benchmarks.png (docs)")
    parser.add_argument("--readme", help="also put the table and the chart into this file, between its markers")
    parser.add_argument("--machine", help="the machine as the title names it (this one's processor by default)")
    parser.add_argument("--no-chart", action="store_true", help="the table only (needs no matplotlib)")
    args = parser.parse_args()

    runs = load(args.runs)
    machine = args.machine or machine_description()
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    table = markdown(runs, machine)
    png = out / "benchmarks.png"
    if not args.no_chart:
        chart(runs, machine, png)
    image = "" if args.no_chart else "\n![The ratios per interpreter, with their goals]({})\n"
    (out / "benchmarks.md").write_text("# Benchmarks\n\n" + table + image.format(png.name), encoding="utf-8")
    print(f"wrote {out / 'benchmarks.md'}" + ("" if args.no_chart else f" and {png}"))
    if args.readme:
        readme = Path(args.readme)
        put_into(readme, table + image.format(Path(os.path.relpath(png, readme.parent)).as_posix()))
        print(f"updated {readme}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
