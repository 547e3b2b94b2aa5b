"""Every entry point of veltrano._korvex_core on every path, a few hundred
times each: run under valgrind memcheck by check.py, which looks for memory
the module loses. The paths are the table the leak tests measure
(tests/python/leak_cases.py)."""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "python"))

from leak_cases import CASES  # noqa: E402
from veltrano import _korvex_core as core  # noqa: E402

ROUNDS = 200


def main():
    outcomes = 0
    for _ in range(ROUNDS):
        for _, call, _ in CASES:
            try:
                call()
            except BaseException:  # noqa: B036 - every path is wanted, faults included
                pass
            outcomes += 1
    print(f"{core.__file__}\n{outcomes} calls")


if __name__ == "__main__":
    main()
