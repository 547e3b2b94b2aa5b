"""benchmarks/python/report.py: the table of the figures of two interpreters,
its place in a README, and the chart where matplotlib is installed."""

import json
import subprocess
import sys
from pathlib import Path

import pytest

REPORT = Path(__file__).resolve().parents[2] / "benchmarks" / "python" / "report.py"


def run_of(name, version, free_threaded, ratios, measured="2026-12-10T08:00:00+00:00", emulated=False, goal=0.5):
    """A run as bench.py --json writes it: per-call figures (bound GOAL, lower
    is better) with the given ratios, whose rounds ranged from 0.9 to 1.2
    times that, and one thread figure whose bound only a free-threaded build
    has."""
    figures = [{"name": f"call_{index}() / twin", "baseline_kind": "twin", "ratio": ratio,
                "round_ratios": [ratio * 1.2, ratio, ratio * 0.9], "goal": goal, "better": "lower",
                "met": ratio <= goal} for index, ratio in enumerate(ratios)]
    figures.append({"name": "two threads / one: call_0()", "baseline_kind": "one thread", "ratio": 1.5,
                    "round_ratios": [1.5, 1.4], "goal": 1.8 if free_threaded else None, "better": "higher",
                    "met": False if free_threaded else None})
    return {"format": 1, "name": name, "emulated": emulated, "measured": measured,
            "python": {"implementation": "CPython", "version": version, "free_threaded": free_threaded,
                       "gil_enabled": not free_threaded, "libc": "glibc 2.36", "machine": "x86_64"},
            "module": {"name": "veltrano._korvex_core", "version": "2.3.0"}, "processors": 2, "figures": figures}


def report(tmp_path, runs, *options):
    paths = []
    for index, content in enumerate(runs):
        path = tmp_path / f"run{index}.json"
        path.write_text(json.dumps(content))
        paths.append(str(path))
    result = subprocess.run([sys.executable, str(REPORT), *paths, "--out", str(tmp_path / "out"),
                             "--machine", "a test machine", *options], capture_output=True, text=True)
    return result


def table_rows(markdown):
    rows = [line for line in markdown.splitlines() if line.startswith("| ")]
    return [[cell.strip() for cell in row.strip("|").split("|")] for row in rows]


def test_a_row_per_figure_a_column_per_interpreter_and_misses_marked(tmp_path):
    # Given newest first, the columns still come in version order.
    runs = [run_of("3.13t", "3.13.5", True, [0.4, 0.7]), run_of("3.12", "3.12.1", False, [0.6, 0.3])]
    result = report(tmp_path, runs, "--no-chart")
    assert result.returncode == 0, result.stderr
    text = (tmp_path / "out" / "benchmarks.md").read_text()
    header, rule, *rows = table_rows(text)
    assert header == ["figure", "against", "bound", "3.12", "3.13t"]
    assert len(rule) == len(header)
    assert [row[0] for row in rows] == ["`call_0() / twin`", "`call_1() / twin`", "`two threads / one: call_0()`"]
    # The best ratio, a miss marked, then the spread over the rounds.
    assert rows[0][2:] == ["≤ 0.5×", "0.60× ✗ (0.54–0.72×)", "0.40× (0.36–0.48×)"]
    assert rows[1][2:] == ["≤ 0.5×", "0.30× (0.27–0.36×)", "0.70× ✗ (0.63–0.84×)"]
    # The thread bound holds for the free-threaded build alone.
    assert rows[2][1:] == ["one thread", "≥ 1.8× (free-threaded)", "1.50× (1.40–1.50×)", "1.50× ✗ (1.40–1.50×)"]
    assert "a test machine, 2026-12-10" in text
    assert "✗ marks a figure outside its bound" in text


def test_bounds_that_differ_between_runs_name_the_runs_they_hold_for(tmp_path):
    runs = [run_of("3.12", "3.12.1", False, [0.4]), run_of("3.13", "3.13.0", False, [0.4]),
            run_of("3.14", "3.14.0", False, [0.4], goal=0.45), run_of("3.13t", "3.13.5", True, [0.4])]
    # A bound relative to another figure of the run is shown in its words.
    runs[-1]["figures"][-1].update(goal=1.3, bound="≥ the shared dict's", met=True)
    result = report(tmp_path, runs, "--no-chart")
    assert result.returncode == 0, result.stderr
    rows = table_rows((tmp_path / "out" / "benchmarks.md").read_text())[2:]
    assert rows[0][2] == "≤ 0.45× (3.14); ≤ 0.5× (3.12, 3.13, 3.13t)"
    assert rows[1][2:4] == ["≥ the shared dict's (free-threaded)", "1.50× (1.40–1.50×)"]


def test_emulated_runs_stand_apart_and_are_not_judged(tmp_path):
    runs = [run_of("arm64-3.13", "3.13.18", False, [0.9], emulated=True), run_of("3.13", "3.13.0", False, [0.2])]
    result = report(tmp_path, runs, "--no-chart")
    assert result.returncode == 0, result.stderr
    text = (tmp_path / "out" / "benchmarks.md").read_text()
    native, emulated = text.split("not judged")
    # One bound per figure, in the native table only; the emulated miss is
    # neither marked nor counted.
    assert table_rows(native)[0] == ["figure", "against", "bound", "3.13"]
    assert table_rows(native)[2][2:] == ["≤ 0.5×", "0.20× (0.18–0.24×)"]
    assert table_rows(emulated)[0] == ["figure", "against", "arm64-3.13 (emulated)"]
    assert table_rows(emulated)[2][2:] == ["0.90× (0.81–1.08×)"]
    assert "✗" not in text


def test_the_table_replaces_what_stood_between_the_readme_markers(tmp_path):
    readme = tmp_path / "README.md"
    readme.write_text("# Title\n\n<!-- benchmarks:start -->\nold table\n<!-- benchmarks:end -->\n\nAfter.\n")
    runs = [run_of("3.12", "3.12.1", False, [0.2]), run_of("3.13", "3.13.0", False, [0.3],
                                                            measured="2026-12-11T09:00:00+00:00")]
    result = report(tmp_path, runs, "--no-chart", "--readme", str(readme))
    assert result.returncode == 0, result.stderr
    text = readme.read_text()
    assert "old table" not in text
    assert text.startswith("# Title\n\n<!-- benchmarks:start -->\n") and text.endswith("<!-- benchmarks:end -->\n\nAfter.\n")
    assert "2026-12-10 to 2026-12-11" in text
    assert len(table_rows(text)) == 2 + 2


def test_runs_of_one_name_and_readmes_without_markers_are_refused(tmp_path):
    same = [run_of("3.13", "3.13.0", False, [0.2]), run_of("3.13", "3.13.1", False, [0.2])]
    result = report(tmp_path, same, "--no-chart")
    assert result.returncode != 0 and "same name" in result.stderr
    readme = tmp_path / "README.md"
    readme.write_text("no markers here\n")
    result = report(tmp_path, same[:1], "--no-chart", "--readme", str(readme))
    assert result.returncode != 0 and "benchmarks:start" in result.stderr
    assert readme.read_text() == "no markers here\n"


def test_the_chart_is_a_png(tmp_path):
    pytest.importorskip("matplotlib")
    result = report(tmp_path, [run_of("3.12", "3.12.1", False, [0.2, 1.4]), run_of("3.13", "3.13.0", False, [0.3]),
                               run_of("arm64-3.13", "3.13.18", False, [0.1], emulated=True)])
    assert result.returncode == 0, result.stderr
    png = (tmp_path / "out" / "benchmarks.png").read_bytes()
    assert png.startswith(b"\x89PNG\r\n\x1a\n") and len(png) > 10_000
    assert "![" in (tmp_path / "out" / "benchmarks.md").read_text()
