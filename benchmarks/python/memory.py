"""Resident memory per PyFormulasRegistry instance, against the Python twin,
and at several host sizes.

Each measurement runs in a fresh interpreter, so that neither side inherits
the other's heap. The child warms up (a few instances made and dropped, so
that one-time set-up such as the module's first use is not counted),
collects garbage, reads its resident set size, makes the instances and
holds them in a list allocated beforehand, collects again and reads the
resident size once more. The difference over the instance count is the
figure.

A registry has four shards per processor the process may use. Larger hosts
are shown to the child through its affinity mask (tests/python/affinity.py);
the goal holds at every host size: at most 3 KiB per instance.

    python benchmarks/python/memory.py [--count N]
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(HERE)), "tests", "python"))

import affinity  # noqa: E402
from support import resident_bytes_per_instance  # noqa: E402

GOAL_BYTES = 3 * 1024
PROCESSORS = (1, 2, 8, 64, 256, 1024)


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


def child(kind: str, count: int) -> None:
    if kind == "native":
        from veltrano._korvex_core import PyFormulasRegistry as make
    else:
        sys.path.insert(0, HERE)
        from twins import TwinRegistry as make

    print(json.dumps({
        "kind": kind,
        "count": count,
        "bytes_per_instance": resident_bytes_per_instance(make, count),
        "processors": available_processors(),
    }))


def measure(kind: str, count: int, processors: int | None = None) -> dict:
    """The child's figures; with `processors`, on a host of that size."""
    command = [sys.executable, os.path.abspath(__file__), "--child", kind, "--count", str(count)]
    env = None if processors is None else affinity.environment(processors)
    result = subprocess.run(command, check=True, capture_output=True, text=True, env=env)
    figures = json.loads(result.stdout.strip().splitlines()[-1])
    if processors is not None and figures["processors"] != processors:
        raise RuntimeError(f"the child saw {figures['processors']} processors, not {processors}")
    return figures


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=100_000, help="instances held at once (100000)")
    parser.add_argument("--child", choices=("native", "twin"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child, args.count)
        return 0

    processors = available_processors()
    native = measure("native", args.count)["bytes_per_instance"]
    twin = measure("twin", args.count)["bytes_per_instance"]
    print(f"Python {platform.python_version()} ({sys.executable})")
    print(f"resident memory per instance, {args.count} instances held, each side in a fresh process")
    print(f"  PyFormulasRegistry, this host ({processors} processors, "
          f"{shard_count_by_rule(processors)} shards): {native:8.0f} B")
    print(f"  Python twin registry:                           {twin:8.0f} B")
    print(f"  ratio native / twin:                            {native / twin:8.3f}x")

    figures = {processors: native}
    reason = affinity.unavailable_reason()
    if reason:
        print(f"  other host sizes: not measured ({reason})")
    else:
        print("  PyFormulasRegistry on larger and smaller hosts, shown through the affinity mask:")
        for size in PROCESSORS:
            figures[size] = measure("native", args.count, size)["bytes_per_instance"]
            print(f"    {size:5d} processors ({shard_count_by_rule(size):5d} shards): {figures[size]:8.0f} B")
    over = {size: bytes_ for size, bytes_ in figures.items() if bytes_ > GOAL_BYTES}
    sizes = ", ".join(str(size) for size in sorted(figures))
    if over:
        print(f"goal <= {GOAL_BYTES} B at {sizes} processors: MISSED at "
              + ", ".join(f"{size} ({bytes_:.0f} B)" for size, bytes_ in sorted(over.items())))
    else:
        print(f"goal <= {GOAL_BYTES} B at {sizes} processors: met")
    return 0


if __name__ == "__main__":
    sys.exit(main())
