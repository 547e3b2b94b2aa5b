"""Python-level benchmarks of veltrano._korvex_core, each against a baseline.

Every figure is the ratio of the module's per-call time to a baseline's,
both measured in this process and in this run: the machine is shared and
noisy, so only ratios taken side by side mean anything. Candidate and
baseline are measured alternately over several rounds (their order flipped
every round), and the best per-call time of each is kept.

Before timing, each baseline is checked to give the same answer as the
module, so that the two sides do equal work.

    python benchmarks/python/bench.py [--rounds N] [--min-time SECONDS] [--strict]
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import sys
import sysconfig
import threading
import time
import timeit
from dataclasses import dataclass, field

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import twins  # noqa: E402
from veltrano import _korvex_core as core  # noqa: E402


def shard_count_by_rule() -> int:
    """The module's shard count: four per available processor, rounded up
    to a power of two (four when the count is unknown)."""
    try:
        processors = len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        processors = os.cpu_count() or 0
    if processors <= 0:
        return 4
    return 1 << (4 * processors - 1).bit_length()


def capture_datasheet_text(name: str) -> str:
    """The exact text py_get_constant hands to json.loads, recorded by
    standing in for json.loads during one call."""
    seen: list = []
    real_loads = json.loads

    def recorder(text, *args, **kwargs):
        seen.append(text)
        return real_loads(text, *args, **kwargs)

    json.loads = recorder
    try:
        result = core.py_get_constant(name)
    finally:
        json.loads = real_loads
    assert len(seen) == 1, f"json.loads was called {len(seen)} times, expected once"
    assert result == real_loads(seen[0])
    return seen[0]


def check_equal_work(datasheet_text: str) -> None:
    """Each twin answers what the module answers."""
    assert core.py_list_constants() == twins.list_constants()
    assert core.py_list_quarks() == twins.list_quarks()

    native, twin = core.PyFormulasRegistry(), twins.TwinRegistry()
    assert len(native) == len(twin) == 17
    for name in twins.list_constants():
        value = native.get(name)
        assert type(value) is float
        assert value == twin.get(name), name
    for registry in (native, twin):
        try:
            registry.get("B3")
        except KeyError as error:
            assert error.args == ("constant `B3` not found in registry",), error.args
        else:
            raise AssertionError("get('B3') did not raise KeyError")

    # The datasheet carries the twin's record, less formula and dependencies.
    record = twins.build_constants()["phi"]
    expected = {key: record[key] for key in ("name", "status", "uncertainty", "units", "value")}
    assert core.py_get_constant("phi") == expected
    assert json.loads(datasheet_text) == expected


@dataclass
class Figure:
    label: str
    candidate: str
    baseline: str
    goal: float
    env: dict
    loops: list[int] = field(default_factory=lambda: [0, 0])
    best: list[float] = field(default_factory=lambda: [float("inf"), float("inf")])

    def timer(self, side: int) -> timeit.Timer:
        return timeit.Timer((self.candidate, self.baseline)[side], globals=self.env)


def calibrate(timer: timeit.Timer, min_time: float) -> int:
    """Loops needed for one measurement to take at least min_time."""
    loops = 1
    while True:
        for step in (1, 2, 5):
            number = loops * step
            if timer.timeit(number) >= min_time:
                return number
        loops *= 10


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=7, help="alternating measurements of each side (7)")
    parser.add_argument("--min-time", type=float, default=0.05, help="seconds per measurement, at least (0.05)")
    parser.add_argument("--strict", action="store_true", help="exit with status 1 when a goal is missed")
    args = parser.parse_args()

    text = capture_datasheet_text("phi")
    check_equal_work(text)

    native_registry = core.PyFormulasRegistry()
    twin_registry = twins.TwinRegistry()
    values = {name: twin_registry.get(name) for name in twins.list_constants()}
    env = {
        "core": core,
        "twins": twins,
        "json": json,
        "text": text,
        "reg": native_registry,
        "twin_reg": twin_registry,
        "values": values,
    }
    figures = [
        Figure("py_get_constant('phi') / json.loads(text)", "core.py_get_constant('phi')", "json.loads(text)", 1.3, env),
        Figure("py_list_constants() / twin", "core.py_list_constants()", "twins.list_constants()", 0.25, env),
        Figure("PyFormulasRegistry() / twin", "core.PyFormulasRegistry()", "twins.TwinRegistry()", 0.25, env),
        Figure("reg.get('phi') / dict.get", "reg.get('phi')", "values.get('phi')", 2.0, env),
        Figure("len(reg) / len(twin)", "len(reg)", "len(twin_reg)", 1.0, env),
        Figure("py_list_quarks() / twin", "core.py_list_quarks()", "twins.list_quarks()", 0.25, env),
    ]

    for figure in figures:
        for side in (0, 1):
            figure.loops[side] = calibrate(figure.timer(side), args.min_time)
    empty = timeit.Timer("pass")
    empty_loops = calibrate(empty, args.min_time)
    empty_best = float("inf")

    for round_index in range(args.rounds):
        order = (0, 1) if round_index % 2 == 0 else (1, 0)
        for figure in figures:
            for side in order:
                elapsed = figure.timer(side).timeit(figure.loops[side])
                figure.best[side] = min(figure.best[side], elapsed / figure.loops[side])
        empty_best = min(empty_best, empty.timeit(empty_loops) / empty_loops)

    print(f"Python {platform.python_version()} ({sys.executable})")
    print(f"{core.__name__} {core.__version__}; shard count by the module's rule: {shard_count_by_rule()}")
    print(f"best of {args.rounds} alternating rounds, each >= {args.min_time * 1000:.0f} ms; "
          f"per-call times include the timing loop's own {empty_best * 1e9:.1f} ns")
    header = ("figure", "candidate ns", "baseline ns", "ratio", "goal", "result")
    rows = []
    missed = 0
    for figure in figures:
        candidate_ns, baseline_ns = (t * 1e9 for t in figure.best)
        ratio = candidate_ns / baseline_ns
        met = ratio <= figure.goal
        missed += not met
        rows.append((figure.label, f"{candidate_ns:.1f}", f"{baseline_ns:.1f}", f"{ratio:.3f}x",
                     f"<= {figure.goal:g}x", "met" if met else "MISSED"))
    widths = [max(len(row[i]) for row in [header, *rows]) for i in range(len(header))]
    align = ["<", ">", ">", ">", "<", "<"]

    def line(row):
        return " | ".join(f"{cell:{a}{w}}" for cell, a, w in zip(row, align, widths)).rstrip()

    print(line(header))
    print("-+-".join("-" * w for w in widths))
    for row in rows:
        print(line(row))
    print(f"{len(figures) - missed} of {len(figures)} goals met")
    missed += parallel_figures(args.rounds, native_registry)
    return 1 if args.strict and missed else 0


def calls_per_second(call, threads: int, seconds: float) -> float:
    """Calls of `call` per second, made by `threads` threads at once."""
    counts = [0] * threads
    start = threading.Barrier(threads + 1)
    stop = [0.0]

    def work(index):
        start.wait()
        done = 0
        while time.perf_counter() < stop[0]:
            for _ in range(200):
                call()
            done += 200
        counts[index] = done

    workers = [threading.Thread(target=work, args=(i,)) for i in range(threads)]
    for worker in workers:
        worker.start()
    began = time.perf_counter()
    stop[0] = began + seconds
    start.wait()
    for worker in workers:
        worker.join()
    return sum(counts) / (time.perf_counter() - began)


def parallel_figures(rounds: int, registry) -> int:
    """Throughput of two threads against one, on one shared registry and on
    the listing; on a free-threaded build two cores should nearly double it.
    Returns the number of goals missed (only free-threaded builds have one)."""
    free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"two threads against one ({'free-threaded, lock ' + ('on' if gil else 'off') if free_threaded else 'with the interpreter lock'}); "
          f"best of {rounds} alternating rounds of 0.3 s")
    missed = 0
    for label, call in (("reg.get('phi'), one shared registry", lambda: registry.get("phi")),
                        ("py_list_constants()", core.py_list_constants)):
        best = {1: 0.0, 2: 0.0}
        for round_index in range(rounds):
            for threads in ((1, 2) if round_index % 2 == 0 else (2, 1)):
                best[threads] = max(best[threads], calls_per_second(call, threads, 0.3))
        ratio = best[2] / best[1]
        goal = ""
        if free_threaded:
            met = ratio >= 1.8
            missed += not met
            goal = f"  goal >= 1.8x  {'met' if met else 'MISSED'}"
        print(f"  {label:40s} {best[1] / 1e6:6.2f} M/s -> {best[2] / 1e6:6.2f} M/s  {ratio:.2f}x{goal}")
    return missed


if __name__ == "__main__":
    sys.exit(main())
