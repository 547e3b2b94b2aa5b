"""Instructions per call of the registry's entry points at several host sizes.

A registry has four shards per processor the process may use, so what a
call costs could follow the host. Each host size is shown to a fresh
interpreter through its affinity mask (tests/python/affinity.py), and
callgrind counts the instructions it executes: the same count whatever
else the shared machine is doing. A figure is the count of a run making
CALLS calls less that of a run making none, over CALLS, less the timing
loop's own instructions per round (a run whose loop body is `pass`). Every
run makes one call before counting starts, so that one-time work (the
first import of json) falls outside the figure.

The goal: at every host size, each figure within 10% of the figure at two
processors.

    python benchmarks/python/instructions.py [--calls N] [--processors 2,8,...] [--strict]
"""

from __future__ import annotations

import argparse
import os
import platform
import re
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tests" / "python"))

import affinity  # noqa: E402

PROCESSORS = (2, 8, 64, 256, 1024)
REFERENCE = 2
GOAL = 1.10
CALLS = {
    "py_get_constant('phi')": "core.py_get_constant('phi')",
    "py_list_constants()": "core.py_list_constants()",
    "PyFormulasRegistry()": "core.PyFormulasRegistry()",
    "reg.get('phi')": "reg.get('phi')",
}
EMPTY = "pass"

CHILD = """
import sys
from veltrano import _korvex_core as core
reg = core.PyFormulasRegistry()
statement, calls, warm_up = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
namespace = {"core": core, "reg": reg}
for each in warm_up:
    exec(each, namespace)
exec(compile("for _ in range(calls):\\n    " + statement, "<loop>", "exec"), {**namespace, "calls": calls})
"""


def instructions(statement: str, calls: int, processors: int) -> int:
    """Instructions executed by a whole run of CHILD."""
    env = affinity.environment(processors)
    env["PYTHONHASHSEED"] = "0"
    command = ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", sys.executable, "-c", CHILD,
               statement, str(calls), *CALLS.values()]
    completed = subprocess.run(command, env=env, capture_output=True, text=True, check=True)
    found = re.search(r"Collected\s*:\s*(\d+)", completed.stderr)
    if found is None:
        raise RuntimeError(f"callgrind printed no count:\n{completed.stderr[-2000:]}")
    return int(found.group(1))


def per_call(processors: int, calls: int, pool: ThreadPoolExecutor) -> dict[str, float]:
    statements = [EMPTY, *CALLS.values()]
    counted = {s: pool.submit(instructions, s, calls, processors) for s in statements}
    uncounted = pool.submit(instructions, EMPTY, 0, processors)
    start = uncounted.result()
    loop = (counted[EMPTY].result() - start) / calls
    return {label: (counted[s].result() - start) / calls - loop for label, s in CALLS.items()}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=2000, help="calls counted per figure (2000)")
    parser.add_argument("--processors", default=",".join(map(str, PROCESSORS)),
                        help="host sizes, comma-separated (2,8,64,256,1024); 2 is always measured")
    parser.add_argument("--strict", action="store_true", help="exit with status 1 when a goal is missed")
    args = parser.parse_args()
    sizes = sorted({REFERENCE, *(int(p) for p in args.processors.split(","))})

    reason = affinity.unavailable_reason()
    if reason:
        print(f"instructions per call: not measured ({reason})")
        return 0
    with ThreadPoolExecutor(max_workers=os.cpu_count() or 1) as pool:
        figures = {p: per_call(p, args.calls, pool) for p in sizes}

    print(f"Python {platform.python_version()} ({sys.executable})")
    print(f"instructions per call (callgrind), {args.calls} calls less none, less the loop's own; "
          f"goal: within {GOAL - 1:.0%} of the figure at {REFERENCE} processors")
    header = ["processors (shards)", *CALLS]
    rows = [[f"{p} ({1 << (4 * p - 1).bit_length()})", *(f"{figures[p][label]:,.0f}" for label in CALLS)]
            for p in sizes]
    widths = [max(len(row[i]) for row in [header, *rows]) for i in range(len(header))]
    for row in [header, *rows]:
        print("  " + " | ".join(cell.ljust(w) if i == 0 else cell.rjust(w) for i, (cell, w) in
                                enumerate(zip(row, widths))))
    missed = []
    for p in sizes:
        for label in CALLS:
            ratio = figures[p][label] / figures[REFERENCE][label]
            if ratio > GOAL:
                missed.append(f"{label} at {p} processors: {ratio:.3f}x")
    print("goal " + ("met" if not missed else "MISSED: " + "; ".join(missed)))
    return 1 if args.strict and missed else 0


if __name__ == "__main__":
    sys.exit(main())
