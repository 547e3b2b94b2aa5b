"""Runs the core's C++ benchmarks and prints their figures and build ratios.

The benchmarks run with several repetitions, interleaved in random order
so that a noisy stretch of the shared machine does not fall on one figure
only; the best repetition of each (CPU time per iteration) is kept. The
build is then given as ratios measured in this same run: against the
straightforward registry, and at 256 and 4096 shards (the shards of a host
of 1024 processors) against 8. The absolute build
time at 8 shards is printed beside its goal as well.

    python benchmarks/cpp/summarize.py BENCHMARK_BINARY [benchmark flags...]
"""

from __future__ import annotations

import json
import statistics
import subprocess
import sys

REPETITIONS = 7
MIN_TIME_SECONDS = "0.05"

BUILD = "BM_RegistryBuild"
BUILD_AT = "BM_RegistryBuildShards/shards:{}"
STRAIGHTFORWARD = "BM_StraightforwardBuild/shards:8"

GOAL_BUILD_NS_AT_8 = 100.0
GOAL_256_OVER_8 = 2.0
GOAL_4096_OVER_8 = 1.1

UNIT_NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


def run(binary: str, extra: list[str]) -> dict:
    command = [
        binary,
        f"--benchmark_repetitions={REPETITIONS}",
        "--benchmark_enable_random_interleaving=true",
        f"--benchmark_min_time={MIN_TIME_SECONDS}s",
        "--benchmark_format=json",
        *extra,
    ]
    completed = subprocess.run(command, check=True, stdout=subprocess.PIPE, text=True)
    return json.loads(completed.stdout)


def per_benchmark_times(results: dict) -> dict[str, list[float]]:
    """The CPU time per iteration of every repetition, in nanoseconds, by
    benchmark, in the order the program registers them."""
    times: dict[str, list[float]] = {}
    order: dict[str, tuple] = {}
    for position, entry in enumerate(results["benchmarks"]):
        if entry.get("run_type", "iteration") != "iteration" or entry.get("error_occurred"):
            continue
        name = entry.get("run_name", entry["name"])
        ns = entry["cpu_time"] * UNIT_NS[entry.get("time_unit", "ns")]
        times.setdefault(name, []).append(ns)
        order.setdefault(name, (entry.get("family_index", position), entry.get("per_family_instance_index", 0)))
    return {name: times[name] for name in sorted(times, key=order.__getitem__)}


def main() -> int:
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    results = run(sys.argv[1], sys.argv[2:])
    times = per_benchmark_times(results)
    best = {name: min(values) for name, values in times.items()}
    context = results.get("context", {})
    shards = context.get("process_shard_count", "?")

    print(f"C++ core benchmarks: {len(times)} figures, {REPETITIONS} repetitions each in random interleaved "
          f"order, CPU time per iteration; process shard count {shards}")
    if not times:
        print("no benchmark ran")
        return 1
    width = max(len(name) for name in times)
    print(f"  {'benchmark':<{width}}  {'best ns':>9}  {'median ns':>9}")
    for name, values in times.items():
        print(f"  {name:<{width}}  {min(values):9.1f}  {statistics.median(values):9.1f}")

    missing = [name for name in (BUILD, BUILD_AT.format(8), BUILD_AT.format(256), BUILD_AT.format(4096),
                                 STRAIGHTFORWARD) if name not in best]
    if missing:
        print(f"\nno build figures to summarise (not run: {', '.join(missing)})")
        return 0

    print(f"\nregistry build + destroy, best of {REPETITIONS} interleaved repetitions (CPU time)")
    rows = [(f"process shard count ({shards})", best[BUILD])]
    rows += [(f"{n} shards", best[BUILD_AT.format(n)]) for n in (8, 64, 256, 4096) if BUILD_AT.format(n) in best]
    rows.append(("straightforward registry, 8 shards", best[STRAIGHTFORWARD]))
    width = max(len(label) for label, _ in rows)
    for label, ns in rows:
        print(f"  {label:<{width}}  {ns:9.1f} ns")

    at_8, at_256, baseline = best[BUILD_AT.format(8)], best[BUILD_AT.format(256)], best[STRAIGHTFORWARD]

    def verdict(met: bool) -> str:
        return "met" if met else "MISSED"

    ratio = at_256 / at_8
    ratio_4096 = best[BUILD_AT.format(4096)] / at_8
    print("ratios (same run):")
    print(f"  build@8 / straightforward@8        {at_8 / baseline:7.3f}x")
    print(f"  build@process / straightforward@8  {best[BUILD] / baseline:7.3f}x")
    print(f"  build@256 / build@8                {ratio:7.3f}x   goal <= {GOAL_256_OVER_8:g}x     "
          f"{verdict(ratio <= GOAL_256_OVER_8)}")
    print(f"  build@4096 / build@8               {ratio_4096:7.3f}x   goal <= {GOAL_4096_OVER_8:g}x     "
          f"{verdict(ratio_4096 <= GOAL_4096_OVER_8)}")
    print("absolute:")
    print(f"  build@8                            {at_8:7.1f} ns  goal <= {GOAL_BUILD_NS_AT_8:.0f} ns  "
          f"{verdict(at_8 <= GOAL_BUILD_NS_AT_8)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
