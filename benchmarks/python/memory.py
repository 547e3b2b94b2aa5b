"""Resident memory per PyFormulasRegistry instance, against the Python twin.

Each measurement runs in a fresh interpreter, so that neither side inherits
the other's heap. The child warms up (a few instances made and dropped, so
that one-time set-up such as the module's first use is not counted),
collects garbage, reads its resident set size, makes the instances and
holds them in a list allocated beforehand, collects again and reads the
resident size once more. The difference over the instance count is the
figure.

    python benchmarks/python/memory.py [--count N]
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import platform
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
GOAL_BYTES = 3 * 1024
GOAL_SHARDS = 8


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        resident_pages = int(statm.read().split()[1])
    return resident_pages * os.sysconf("SC_PAGE_SIZE")


def available_processors() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 0


def shard_count_by_rule(processors: int) -> int:
    """Four shards per processor, rounded up to a power of two; four when
    the processor count is unknown."""
    if processors <= 0:
        return 4
    return 1 << (4 * processors - 1).bit_length()


def child(kind: str, count: int, processors: int | None) -> None:
    # The module reads its processor count once, on the first registry, so
    # the affinity must be narrowed before anything is built.
    if processors is not None:
        os.sched_setaffinity(0, sorted(os.sched_getaffinity(0))[:processors])
    if kind == "native":
        from veltrano._korvex_core import PyFormulasRegistry as make
    else:
        sys.path.insert(0, HERE)
        from twins import TwinRegistry as make

    # A few instances only: what they leave free for reuse is then a
    # negligible part of the figure.
    warm_up = [make() for _ in range(10)]
    assert len(warm_up[0]) == 17
    del warm_up
    held = [None] * count
    gc.collect()
    before = resident_bytes()
    for i in range(count):
        held[i] = make()
    gc.collect()
    after = resident_bytes()
    assert all(len(r) == 17 for r in held[:: max(1, count // 100)])
    print(json.dumps({
        "kind": kind,
        "count": count,
        "bytes_per_instance": (after - before) / count,
        "processors": available_processors(),
    }))


def measure(kind: str, count: int, processors: int | None = None) -> dict:
    command = [sys.executable, os.path.abspath(__file__), "--child", kind, "--count", str(count)]
    if processors is not None:
        command += ["--processors", str(processors)]
    result = subprocess.run(command, check=True, capture_output=True, text=True)
    return json.loads(result.stdout.strip().splitlines()[-1])


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=100_000, help="instances held at once (100000)")
    parser.add_argument("--child", choices=("native", "twin"), help=argparse.SUPPRESS)
    parser.add_argument("--processors", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child, args.count, args.processors)
        return 0

    processors = available_processors()
    shards = shard_count_by_rule(processors)
    native = measure("native", args.count)
    twin = measure("twin", args.count)
    print(f"Python {platform.python_version()} ({sys.executable})")
    print(f"resident memory per instance, {args.count} instances held, each side in a fresh process")
    print(f"processors available: {processors}; shard count by the module's rule: {shards}")
    native_bytes, twin_bytes = native["bytes_per_instance"], twin["bytes_per_instance"]
    print(f"  PyFormulasRegistry ({shards} shards): {native_bytes:8.0f} B")
    print(f"  Python twin registry:     {twin_bytes:8.0f} B")
    print(f"  ratio native / twin:      {native_bytes / twin_bytes:8.3f}x")

    # The goal is stated at eight shards. On a host whose rule gives another
    # count, the module is measured again with its affinity narrowed to the
    # two processors that give eight, when the host has two to give.
    at_goal = native_bytes if shards == GOAL_SHARDS else None
    if at_goal is None and processors >= 2:
        at_goal = measure("native", args.count, processors=2)["bytes_per_instance"]
        print(f"  PyFormulasRegistry ({GOAL_SHARDS} shards, 2 processors): {at_goal:8.0f} B")
    if at_goal is None:
        print(f"goal <= {GOAL_BYTES} B at {GOAL_SHARDS} shards: not measurable on this host")
    else:
        verdict = "met" if at_goal <= GOAL_BYTES else "MISSED"
        print(f"goal <= {GOAL_BYTES} B at {GOAL_SHARDS} shards: {at_goal:.0f} B, {verdict}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
