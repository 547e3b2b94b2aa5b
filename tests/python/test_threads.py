"""Eight threads calling every entry point at once, on shared instances and
on fresh ones, must get exactly the answers (and errors) one thread gets."""

import math
import sys
import threading
import time
from functools import partial

from veltrano import _korvex_core as core

from support import standard_error_discarded

THREADS = 8
DURATION = 3.0  # seconds for the whole run
# Switching threads every few microseconds instead of every five
# milliseconds interleaves the calls far more finely, json.loads included.
SWITCH_INTERVAL = 1e-5

REGISTRY = core.PyFormulasRegistry()
QUARKS = core.PyQuarkRegistry()
MATRIX = core.PyCKMMatrix.from_topology()


def comparable(value):
    """A form of a result that compares equal exactly when the results are
    the same: floats by their bits (NaN and -0.0 included), containers in
    order, new instances by what they answer."""
    if type(value) is float:
        return ("float", value.hex() if not math.isnan(value) else "nan")
    if type(value) is bool:
        return ("bool", value)
    if type(value) is dict:
        return ("dict", tuple((key, comparable(item)) for key, item in value.items()))
    if type(value) is list:
        return ("list", tuple(comparable(item) for item in value))
    if type(value) is core.PyFormulasRegistry:
        return ("PyFormulasRegistry", len(value), value.get("phi"), value.get("n_gen_sq"))
    if type(value) is core.PyQuarkRegistry:
        return ("PyQuarkRegistry", len(value), bool(value))
    if type(value) is core.PyCKMMatrix:
        return ("PyCKMMatrix", value.is_unitary(0.0), value.is_unitary(-1e-300), value.jarlskog().hex())
    return (type(value).__name__, value)


def outcome(call):
    try:
        return ("returned", comparable(call()))
    except BaseException as error:  # noqa: B036 - faults are outcomes too
        return ("raised", type(error), error.args)


ENTRIES = [
    ("PyFormulasRegistry()", core.PyFormulasRegistry),
    ("PyFormulasRegistry(1)", partial(core.PyFormulasRegistry, 1)),
    ("len(registry)", partial(len, REGISTRY)),
    ("version()", core.PyFormulasRegistry.version),
    ("PyQuarkRegistry()", core.PyQuarkRegistry),
    ("len(quarks)", partial(len, QUARKS)),
    ("py_list_quarks()", core.py_list_quarks),
    ("py_list_constants()", core.py_list_constants),
    ("PyCKMMatrix()", core.PyCKMMatrix),
    ("from_topology()", core.PyCKMMatrix.from_topology),
    ("jarlskog()", MATRIX.jarlskog),
]


def label(value):
    text = repr(value)
    return text if len(text) <= 16 else text[:12] + "...'"


for name in ["b3", "phi", "gamma_em", "n_gen_sq", "v_higgs_mev", "w0_central", "N_GEN", "", "x" * 300, "b3\udc80", 7]:
    ENTRIES.append((f"get({label(name)})", partial(REGISTRY.get, name)))
    ENTRIES.append((f"py_get_constant({label(name)})", partial(core.py_get_constant, name)))
ENTRIES.append(("get(name=)", partial(REGISTRY.get, name="chi_eff")))
ENTRIES.append(("py_get_constant(name=)", partial(core.py_get_constant, name="m_tau_mev")))
for tol in [0.5, 0, -1e-300, float("nan"), "0.1", 10**400]:
    ENTRIES.append((f"is_unitary({label(tol) if tol != 10**400 else '10**400'})", partial(MATRIX.is_unitary, tol)))


def test_eight_threads_get_the_single_threaded_answers():
    with standard_error_discarded():
        expected = [outcome(call) for _, call in ENTRIES]
    # The table covers answers and every kind of error.
    kinds = {result[1] if result[0] == "raised" else None for result in expected}
    assert {None, KeyError, TypeError, UnicodeEncodeError, OverflowError} <= kinds
    assert any(kind is not None and kind.__name__ == "PanicException" for kind in kinds)

    counts = [[0] * len(ENTRIES) for _ in range(THREADS)]
    mismatches = []
    crashes = []
    start = threading.Barrier(THREADS)
    deadline = [0.0]

    def worker(index):
        try:
            start.wait()
            mine = counts[index]
            # Each thread walks the table from its own place, so that at any
            # moment different threads are in different entries.
            position = index * len(ENTRIES) // THREADS
            while time.monotonic() < deadline[0]:
                for _ in range(len(ENTRIES)):
                    position = (position + 1) % len(ENTRIES)
                    got = outcome(ENTRIES[position][1])
                    mine[position] += 1
                    if got != expected[position] and len(mismatches) < 20:
                        mismatches.append((ENTRIES[position][0], got, expected[position]))
        except BaseException as error:  # noqa: B036 - reported below
            crashes.append(repr(error))

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
    previous_interval = sys.getswitchinterval()
    deadline[0] = time.monotonic() + DURATION
    with standard_error_discarded():
        sys.setswitchinterval(SWITCH_INTERVAL)
        try:
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join(DURATION + 60)
        finally:
            sys.setswitchinterval(previous_interval)

    assert not any(thread.is_alive() for thread in threads)
    assert crashes == []
    assert mismatches == []
    per_thread = [sum(row) for row in counts]
    per_entry = [sum(row[i] for row in counts) for i in range(len(ENTRIES))]
    print(f"\n{THREADS} threads, {DURATION} s, {sum(per_thread)} calls; per thread: {per_thread}")
    print("per entry: " + ", ".join(f"{name} {count}" for (name, _), count in zip(ENTRIES, per_entry)))
    # Every thread ran, and every entry was called from several threads.
    assert all(count > 0 for count in per_thread)
    assert all(sum(1 for row in counts if row[i] > 0) >= 2 for i in range(len(ENTRIES)))

    # The shared instances answer as before.
    assert len(REGISTRY) == 17 and REGISTRY.get("b3") == 24.0
    assert len(QUARKS) == 0 and MATRIX.is_unitary(0.0) is True


def test_one_registry_read_by_threads_while_others_use_everything_else():
    """Readers of one shared registry keep getting its answers while other
    threads make and drop registries and call every other entry. Without
    the interpreter lock (free-threaded builds) all of them run at once."""
    shared = core.PyFormulasRegistry()
    names = core.py_list_constants()
    expected = [shared.get(name) for name in names]
    deadline = time.monotonic() + 2.0
    wrong = []
    counts = []
    start = threading.Barrier(6)

    def reader():
        start.wait()
        rounds = 0
        while time.monotonic() < deadline:
            if [shared.get(name) for name in names] != expected or len(shared) != 17:
                wrong.append("reader")
            rounds += 1
        counts.append(rounds)

    def churner():
        start.wait()
        rounds = 0
        while time.monotonic() < deadline:
            registry = core.PyFormulasRegistry()
            results = (len(registry), registry.get("b3"), core.py_list_constants() == names,
                       core.py_get_constant("phi")["value"], core.py_list_quarks()[0], len(core.PyQuarkRegistry()),
                       core.PyCKMMatrix.from_topology().is_unitary(0.0))
            if results != (17, 24.0, True, 1.618033988749895, "bottom", 0, True):
                wrong.append(results)
            del registry
            rounds += 1
        counts.append(rounds)

    threads = [threading.Thread(target=reader) for _ in range(3)] + [threading.Thread(target=churner) for _ in range(3)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
    assert not any(thread.is_alive() for thread in threads)
    assert wrong == []
    assert len(counts) == 6 and min(counts) > 0
