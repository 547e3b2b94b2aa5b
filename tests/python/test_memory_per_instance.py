"""Resident memory per PyFormulasRegistry instance with 100,000 held at once,
measured as the memory benchmark does (benchmarks/python/memory.py): each
figure in a fresh interpreter. Not timed; only the bytes count."""

import json
import os
import subprocess
import sys

import pytest

import affinity

pytestmark = pytest.mark.skipif(
    os.environ.get("KORVEX_SANITIZER") in ("address", "thread"),
    reason="KORVEX_SANITIZER=address: ASan's redzones and quarantine inflate every allocation; "
    "KORVEX_SANITIZER=thread: TSan's allocator and the shadow memory behind every heap byte count "
    "in the resident size (about 16 KiB per instance)",
)

COUNT = 100_000
# Every instance owns a full registry, whose shards are made only where its
# entries land: an instance stays within 3 KiB whatever the host's size.
MAX_BYTES_PER_INSTANCE = 3 * 1024
# Host sizes shown to the child through its affinity mask (affinity.py),
# besides this host's own: one processor, and 64 and 1024 (256 and 4096
# shards).
SHOWN_PROCESSORS = [1, 64, 1024]

# The child reports the growth of its resident set per instance with COUNT
# held (support.resident_bytes_per_instance, which the benchmark uses too).
CHILD = """
import json, os, sys
sys.path.insert(0, sys.argv[2])
from support import resident_bytes_per_instance
from veltrano._korvex_core import PyFormulasRegistry
print(json.dumps({"bytes_per_instance": resident_bytes_per_instance(PyFormulasRegistry, int(sys.argv[1])),
                  "processors": len(os.sched_getaffinity(0))}))
"""


def measure(env=None):
    """(bytes per instance, processors the child could run on)."""
    result = subprocess.run([sys.executable, "-c", CHILD, str(COUNT), os.path.dirname(os.path.abspath(__file__))],
                            check=True, capture_output=True, text=True, env=env)
    figures = json.loads(result.stdout.strip().splitlines()[-1])
    return figures["bytes_per_instance"], figures["processors"]


@pytest.mark.parametrize("shown", [None, *SHOWN_PROCESSORS], ids=lambda p: "this host" if p is None else f"{p} processors")
def test_resident_memory_per_registry_instance(shown):
    env = None
    if shown is not None:
        reason = affinity.unavailable_reason()
        if reason:
            pytest.skip(reason)
        env = affinity.environment(shown)
    own, processors = measure(env)
    assert shown is None or processors == shown
    print(f"\n{COUNT} PyFormulasRegistry instances: {own:.0f} B each ({processors} processors)")
    assert own > 16, "the measurement saw no memory at all"
    assert own <= MAX_BYTES_PER_INSTANCE
