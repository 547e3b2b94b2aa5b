"""C stack per level when json.loads calls back into py_get_constant, and
what endless re-entry ends in on threads with small stacks."""

import os
import subprocess
import sys

import pytest

pytestmark = pytest.mark.skipif(
    bool(os.environ.get("KORVEX_SANITIZER")), reason="sanitizers make every frame larger"
)

PAGE = 4096

# Recurses `levels` deep on a thread with a stack of `size` bytes, either
# through the module (json.loads calling py_get_constant) or through a plain
# Python-to-C trampoline, operator.call. Prints how it ended.
PROGRAM = """
import json, operator, sys, threading
from veltrano import _korvex_core as core
kind, levels, size = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
sys.setrecursionlimit(100_000)
depth = 0
real_loads = json.loads

def through_module(text):
    global depth
    depth += 1
    if depth < levels:
        core.py_get_constant("phi")
    return real_loads(text)

def through_trampoline():
    global depth
    depth += 1
    if depth < levels:
        operator.call(through_trampoline)

def run():
    try:
        if kind == "module":
            json.loads = through_module
            core.py_get_constant("phi")
        else:
            operator.call(through_trampoline)
        print("done", depth)
    except RecursionError:
        print("RecursionError", depth)

threading.stack_size(size)
thread = threading.Thread(target=run)
thread.start()
thread.join()
"""


def outcome(kind, levels, size):
    result = subprocess.run([sys.executable, "-c", PROGRAM, kind, str(levels), str(size)],
                            capture_output=True, text=True, timeout=60)
    return result.returncode, result.stdout.split()


def smallest_stack(kind, levels):
    """The smallest thread stack, in whole pages, on which `levels` levels
    complete: found by bisection, each try in a process of its own."""
    low, high = 8, 1024  # pages: 32 KiB always fails for 200 levels, 4 MiB suffices
    assert outcome(kind, levels, high * PAGE)[1][:1] == ["done"]
    while low < high:
        middle = (low + high) // 2
        code, words = outcome(kind, levels, middle * PAGE)
        if code == 0 and words[:1] == ["done"]:
            high = middle
        else:
            low = middle + 1
    return low * PAGE


def bytes_per_level(kind):
    return (smallest_stack(kind, 600) - smallest_stack(kind, 200)) / 400


def test_reentry_takes_little_more_stack_than_a_trampoline():
    trampoline, module = bytes_per_level("trampoline"), bytes_per_level("module")
    print(f"\nC stack per level: module {module:.0f} B, operator.call {trampoline:.0f} B, "
          f"ratio {module / trampoline:.2f}")
    assert module <= 1.3 * trampoline


@pytest.mark.parametrize("kib", [512, 128])
def test_endless_reentry_on_a_small_stack_ends_in_recursion_error(kib):
    code, words = outcome("module", 10**9, kib * 1024)
    assert code == 0 and words[:1] == ["RecursionError"], (code, words)
