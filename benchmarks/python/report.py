"""The Python benchmarks' figures as a Markdown table and a PNG chart.

Reads the JSON files that bench.py writes (--json FILE), one per
interpreter, and writes into the folder given by --out:

  benchmarks.md   a table of every figure (rows) on every native interpreter
                  (columns), with each figure's bound (the one bench.py
                  checks), misses marked and the spread across rounds; then
                  the emulated interpreters' figures apart, not judged
  benchmarks.png  the same as grouped horizontal bars, one bar per
                  interpreter with the spread across rounds as a whisker:
                  per-call ratios and two threads against one side by side,
                  each figure's bound drawn across its group; the emulated
                  runs in panels of their own, without bounds

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
    """The figure's bound, and where it holds when not every run has the
    same one: a bound given in words (one relative to another figure of the
    run) or as a number, with the runs it holds for when there are several."""
    def bound(figure):
        return figure.get("bound") or f"{'≤' if figure['better'] == 'lower' else '≥'} {figure['goal']:g}×"

    judged = [(run, bound(figure)) for run in runs if (figure := find(run, name)) and figure.get("goal") is not None]
    if not judged:
        return "—"
    texts = sorted({text for _, text in judged})
    if len(texts) > 1:
        return "; ".join(f"{text} ({', '.join(run['label'] for run, its in judged if its == text)})" for text in texts)
    measured = [run for run in runs if find(run, name)]
    if len(judged) < len(measured):
        where = "free-threaded" if all(run["python"]["free_threaded"] for run, _ in judged) else "where set"
        return f"{texts[0]} ({where})"
    return texts[0]


def spread(figure: dict) -> tuple[float, float] | None:
    """The lowest and highest of the rounds' own ratios."""
    rounds = figure.get("round_ratios") or []
    return (min(rounds), max(rounds)) if rounds else None


def cell(figure: dict | None, judged: bool) -> str:
    if figure is None:
        return "—"
    text = ratio_text(figure["ratio"])
    if judged and figure.get("met") is False:
        text += f" {MISSED}"
    if (low_high := spread(figure)) is not None:
        text += f" ({ratio_text(low_high[0])[:-1]}–{ratio_text(low_high[1])})"
    return text


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


def table(runs: list[dict], judged: bool) -> list[str]:
    names = figure_names(runs)
    bound = ["bound"] if judged else []
    lines = ["| figure | against | " + " | ".join(bound + [run["label"] for run in runs]) + " |",
             "| --- | --- | " + " | ".join(["---"] * len(bound) + ["---:" for _ in runs]) + " |"]
    for name in names:
        kind = next(figure["baseline_kind"] for run in runs if (figure := find(run, name)))
        lines.append(f"| `{name}` | {kind} | "
                     + " | ".join([goal_text(runs, name)] * judged + [cell(find(run, name), judged) for run in runs])
                     + " |")
    return lines + [""]


def markdown(runs: list[dict], machine: str) -> str:
    """The native runs' table, judged against the bounds; the emulated
    runs' apart, not judged; what they show, on what and when."""
    native = [run for run in runs if not run["emulated"]]
    emulated = [run for run in runs if run["emulated"]]
    module = runs[0]["module"]
    lines = [
        f"{module['name']} {module['version']}, measured on {machine}, {date_text(runs)}. "
        "Each figure is the module's time per call divided by its baseline's, both timed side by side in one "
        "process (below 1× the module is faster); the last rows are two threads' calls per second against one "
        "thread's (above 1× they share the work). Each cell is the ratio of the best times over the rounds, "
        "then the lowest and highest of the rounds' own ratios; the bound is the one `./dev bench` checks.",
        "",
    ]
    if native:
        lines += table(native, judged=True)
        if any(figure.get("met") is False for run in native for figure in run["figures"]):
            lines += [f"{MISSED} marks a figure outside its bound.", ""]
    if emulated:
        lines += ["Emulated (qemu on this machine), not judged: the interpreter's own loop slows down more than the "
                  "module's compiled code, so these ratios say little about a real processor of that kind.", ""]
        lines += table(emulated, judged=False)
    details = []
    for run in runs:
        python = run["python"]
        build = "free-threaded" if python["free_threaded"] else "with the interpreter lock"
        details.append(f"{run['label']}: {python['implementation']} {python['version']} ({build}), "
                       f"{python['libc']}, {python['machine']}, {run['processors']} processors seen")
    lines.append("Interpreters: " + "; ".join(details) + ".")
    return "\n".join(lines) + "\n"


def panel(ax, runs: list[dict], names: list[str], judged: bool, colours: dict, title: str) -> None:
    """Grouped horizontal bars: one group per figure, one bar per run with
    the rounds' spread as a whisker; the bound as a dashed line across its
    group when judged, and a grey line at 1×."""
    group = 0.8
    height = group / len(runs)
    largest = 1.0
    for index, run in enumerate(runs):
        ys, ratios, whiskers = [], [], [[], []]
        for row, name in enumerate(names):
            figure = find(run, name)
            if figure is None:
                continue
            ys.append(row - group / 2 + height * (index + 0.5))
            ratios.append(figure["ratio"])
            low, high = spread(figure) or (figure["ratio"], figure["ratio"])
            whiskers[0].append(max(0.0, figure["ratio"] - low))
            whiskers[1].append(max(0.0, high - figure["ratio"]))
            largest = max(largest, high)
        bars = ax.barh(ys, ratios, height=height * 0.9, color=colours[run["label"]], label=run["label"],
                       xerr=whiskers, error_kw={"elinewidth": 0.8, "capsize": 2, "ecolor": "#333333"})
        for text in ax.bar_label(bars, labels=[ratio_text(r) for r in ratios], padding=3, fontsize=7):
            # Readable where a bound line passes behind it.
            text.set_bbox({"facecolor": "white", "edgecolor": "none", "pad": 0.6})
            text.set_zorder(4)
    if judged:
        drawn = False
        for row, name in enumerate(names):
            goals = {figure["goal"] for run in runs if (figure := find(run, name)) and figure["goal"] is not None}
            for goal in goals:
                ax.vlines(goal, row - group / 2 - 0.04, row + group / 2 + 0.04, colors="black", linestyles="--",
                          linewidth=1.6, label=None if drawn else "bound")
                drawn = True
                largest = max(largest, goal)
    ax.axvline(1.0, color="grey", linewidth=1, zorder=0, label="as fast as the baseline")
    ax.set_yticks(range(len(names)))
    ax.set_yticklabels([name.replace(" / ", "\nagainst ").replace(": ", ":\n") for name in names], fontsize=8)
    ax.invert_yaxis()
    ax.set_xlim(0, largest * 1.22)
    ax.set_title(title, fontsize=10)
    ax.grid(axis="x", color="#dddddd", linewidth=0.6)
    ax.set_axisbelow(True)
    ax.legend(loc="lower right", fontsize=7, framealpha=0.95)


def chart(runs: list[dict], machine: str, path: Path) -> None:
    """Per-call ratios (lower is faster) and two threads against one (higher
    shares the work) side by side; native runs judged against their bounds,
    emulated runs in a row of panels of their own, not judged."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    names = figure_names(runs)
    kinds = [[name for name in names if all(figure["better"] == better for run in runs if (figure := find(run, name)))]
             for better in ("lower", "higher")]
    groups = [(rows, judged) for rows, judged in (([run for run in runs if not run["emulated"]], True),
                                                   ([run for run in runs if run["emulated"]], False)) if rows]
    palette = plt.get_cmap("tab10").colors
    colours = {run["label"]: palette[index % len(palette)] for index, run in enumerate(runs)}
    titles = ["time per call ÷ baseline's (lower is faster)", "two threads' calls ÷ one's (higher shares the work)"]
    columns = [(names, title) for names, title in zip(kinds, titles) if names]
    tall = [max(len(names) for names, _ in columns) * max(0.9, 0.22 * len(rows)) + 1.0 for rows, _ in groups]
    fig, axes = plt.subplots(len(groups), len(columns), figsize=(14, sum(tall) + 0.8), dpi=100, squeeze=False,
                             gridspec_kw={"height_ratios": tall, "width_ratios": [3, 2][: len(columns)]})
    for (rows, judged), row_axes in zip(groups, axes):
        where = "native, judged against the bounds" if judged else "emulated (qemu), not judged"
        for ax, (names, title) in zip(row_axes, columns):
            panel(ax, rows, names, judged, colours, f"{title}:\n{where}")
    module = runs[0]["module"]
    fig.suptitle(f"{module['name']} {module['version']}: {machine}, {date_text(runs)}; "
                 "whiskers: lowest to highest ratio over the rounds", fontsize=11)
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
    image = "" if args.no_chart else "\n![The ratios per interpreter, with their bounds]({})\n"
    (out / "benchmarks.md").write_text("# Benchmarks\n\n" + table + image.format(png.name), encoding="utf-8")
    print(f"wrote {out / 'benchmarks.md'}" + ("" if args.no_chart else f" and {png}"))
    if args.readme:
        readme = Path(args.readme)
        put_into(readme, table + image.format(Path(os.path.relpath(png, readme.parent)).as_posix()))
        print(f"updated {readme}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
