"""Daemon threads still inside the module when the interpreter exits.

At exit the interpreter ends a daemon thread that asks for the interpreter
back (on 3.12 and 3.13 by unwinding its stack with pthread_exit; later
versions park it). Whatever the thread was doing inside the module, the
process must exit cleanly: the unwind passes through untouched and nothing
on its way touches the interpreter."""

import concurrent.futures
import os
import subprocess
import sys

import pytest

# Fewer where the interpreter runs emulated, eighty times slower.
RUNS = int(os.environ.get("VELTRANO_EXIT_RUNS", "20"))

PROGRAM = """
import builtins, json, sys, threading, time
from veltrano import _korvex_core as core
{setup}
def spin():
    while True:
        {call}
sys.setswitchinterval(1e-5)
for _ in range(4):
    threading.Thread(target=spin, daemon=True).start()
time.sleep(0.05)
"""

# Each entry that can run Python code while inside the module, with the
# Python code it runs.
CASES = {
    "datasheet, builtin __import__": ("", "core.py_get_constant('phi')"),
    "datasheet, Python __import__": (
        "real = builtins.__import__\nbuiltins.__import__ = lambda *a, **k: real(*a, **k)",
        "core.py_get_constant('phi')",
    ),
    "datasheet, Python json.loads": (
        "real = json.loads\njson.loads = lambda text: real(text)",
        "core.py_get_constant('phi')",
    ),
    "datasheet, miss": ("", "try: core.py_get_constant('nope')\n        except KeyError: pass"),
    "is_unitary, Python __float__": (
        "class Tol:\n    def __float__(self): return 0.5\nmatrix, tol = core.PyCKMMatrix.from_topology(), Tol()",
        "matrix.is_unitary(tol)",
    ),
    "is_unitary, __float__ raising": (
        "class Tol:\n    def __float__(self): raise TypeError('no')\nmatrix, tol = core.PyCKMMatrix.from_topology(), Tol()",
        "try: matrix.is_unitary(tol)\n        except TypeError: pass",
    ),
    "get, str subclass": ("class Name(str): pass\nregistry, name = core.PyFormulasRegistry(), Name('phi')", "registry.get(name)"),
    "datasheet, str subclass": ("class Name(str): pass\nname = Name('phi')", "core.py_get_constant(name)"),
}


def run(code):
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    return result.returncode, result.stderr


def run_many(code, times):
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        return list(pool.map(run, [code] * times))


# Daemon threads that run only Python code. Some interpreters crash at exit
# with these alone (CPython 3.13.5 on musl, about one run in four: a daemon
# thread's drop_gil reads its thread state after finalisation freed it);
# there the module's crashes cannot be told from the interpreter's own.
CONTROL = """
import threading, time
def spin():
    while True:
        pass
for _ in range(4):
    threading.Thread(target=spin, daemon=True).start()
time.sleep(0.05)
"""


@pytest.fixture(scope="module")
def interpreter_exits_cleanly():
    runs = 2 * RUNS
    crashed = sum(code != 0 for code, _ in run_many(CONTROL, runs))
    if crashed:
        pytest.skip(f"this interpreter itself crashes at exit with daemon threads of plain Python ({crashed} of {runs} runs)")


@pytest.mark.usefixtures("interpreter_exits_cleanly")
@pytest.mark.parametrize("case", CASES)
def test_daemon_threads_inside_the_module_at_exit(case):
    setup, call = CASES[case]
    code = PROGRAM.format(setup=setup, call=call)
    outcomes = run_many(code, RUNS)
    failures = [(code, err[-800:]) for code, err in outcomes if code != 0 or "internal fault" in err]
    assert failures == [], f"{len(failures)} of {RUNS} runs failed; first: {failures[0]}"
