"""Resident memory per PyFormulasRegistry instance with 100,000 held at once,
measured as the memory benchmark does (benchmarks/python/memory.py): each
figure in a fresh interpreter. Not timed; only the bytes count."""

import json
import os
import subprocess
import sys

import pytest

pytestmark = pytest.mark.skipif(
    os.environ.get("KORVEX_SANITIZER") in ("address", "thread"),
    reason="KORVEX_SANITIZER=address: ASan's redzones and quarantine inflate every allocation; "
    "KORVEX_SANITIZER=thread: TSan's allocator and the shadow memory behind every heap byte count "
    "in the resident size (about 16 KiB per instance)",
)

COUNT = 100_000
# Every instance owns a full registry. Up to sixteen shards its shard tables
# and records fit the registry's own inline buffer (at sixteen, rarely
# spilling), so an instance stays within 3 KiB; beyond that the shard
# pointers and shards spill into heap chunks of 2 KiB, and the figure is
# reported without being held to this bound.
MAX_BYTES_PER_INSTANCE = 3 * 1024
BOUNDED_UP_TO_SHARDS = 16
GOAL_SHARDS = 8
PROCESSORS_FOR_GOAL = 2  # four shards per processor

# The child narrows its processor affinity first when asked (the module
# reads the processor count once, on its first registry), warms up, then
# holds COUNT instances in a list allocated beforehand and reports the
# growth of its resident set per instance.
CHILD = """
import gc, json, os, sys
count, processors = int(sys.argv[1]), int(sys.argv[2])
if processors:
    os.sched_setaffinity(0, sorted(os.sched_getaffinity(0))[:processors])
from veltrano._korvex_core import PyFormulasRegistry

def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

warm_up = [PyFormulasRegistry() for _ in range(10)]
del warm_up
held = [None] * count
gc.collect()
before = resident_bytes()
for i in range(count):
    held[i] = PyFormulasRegistry()
gc.collect()
after = resident_bytes()
assert all(len(r) == 17 for r in held[:: max(1, count // 100)])
print(json.dumps({"bytes_per_instance": (after - before) / count, "processors": len(os.sched_getaffinity(0))}))
"""


def shard_count(processors):
    """The module's rule: four shards per processor, rounded up to a power
    of two."""
    return 1 << (4 * processors - 1).bit_length()


def measure(processors=0):
    """(bytes per instance, processors the child could run on)."""
    result = subprocess.run([sys.executable, "-c", CHILD, str(COUNT), str(processors)], check=True,
                            capture_output=True, text=True)
    figures = json.loads(result.stdout.strip().splitlines()[-1])
    return figures["bytes_per_instance"], figures["processors"]


def test_resident_memory_per_registry_instance():
    own, processors = measure()
    shards = shard_count(processors)
    print(f"\n{COUNT} PyFormulasRegistry instances: {own:.0f} B each at {shards} shards "
          f"({processors} processors available)")
    assert own > 16, "the measurement saw no memory at all"
    checked = []
    if shards <= BOUNDED_UP_TO_SHARDS:
        assert own <= MAX_BYTES_PER_INSTANCE
        checked.append(shards)
    if shards != GOAL_SHARDS and processors >= PROCESSORS_FOR_GOAL:
        at_goal, narrowed = measure(PROCESSORS_FOR_GOAL)
        assert shard_count(narrowed) == GOAL_SHARDS
        print(f"{COUNT} PyFormulasRegistry instances: {at_goal:.0f} B each at {GOAL_SHARDS} shards "
              f"(affinity narrowed to {narrowed} processors)")
        assert at_goal <= MAX_BYTES_PER_INSTANCE
        checked.append(GOAL_SHARDS)
    assert checked, "no shard count within the bound could be measured"
