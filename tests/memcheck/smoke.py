"""Every entry point of veltrano._korvex_core on every path, a few hundred
times each: run under valgrind memcheck by check.py, which looks for memory
the module loses."""

import json
import sys

from veltrano import _korvex_core as core

ROUNDS = 200


class RaisesTypeErrorWithCause:
    def __float__(self):
        raise TypeError("inner") from KeyError("root")


class RaisesValueError:
    def __float__(self):
        raise ValueError("not a number today")


def failing_loads(text):
    raise ValueError("refused by the replacement")


def main():
    registry = core.PyFormulasRegistry()
    quarks = core.PyQuarkRegistry()
    matrix = core.PyCKMMatrix.from_topology()
    calls = [
        core.PyFormulasRegistry, lambda: core.PyFormulasRegistry(1), lambda: core.PyFormulasRegistry(x=1),
        lambda: len(registry), lambda: registry.get("phi"), lambda: registry.get(name="b3"),
        lambda: registry.get("no_such_constant"), lambda: registry.get(""), lambda: registry.get(),
        lambda: registry.get("b3", 1), lambda: registry.get("b3", name="b3"), lambda: registry.get(x=1),
        lambda: registry.get(1), lambda: registry.get("b3\udc80"), core.PyFormulasRegistry.version,
        core.PyQuarkRegistry, lambda: core.PyQuarkRegistry(1), lambda: len(quarks), core.py_list_quarks,
        core.py_list_constants, lambda: core.py_get_constant("n_gen"), lambda: core.py_get_constant(name="phi"),
        lambda: core.py_get_constant("N_GEN"), lambda: core.py_get_constant(""),
        lambda: core.py_get_constant("b3\udc80"), lambda: core.py_get_constant(),
        lambda: core.py_get_constant(b"b3"), lambda: core.py_get_constant("b3", name="b3"),
        core.PyCKMMatrix, core.PyCKMMatrix.from_topology, lambda: matrix.is_unitary(0.5),
        lambda: matrix.is_unitary(tol=-1), lambda: matrix.is_unitary(), lambda: matrix.is_unitary("x"),
        lambda: matrix.is_unitary(RaisesTypeErrorWithCause()), lambda: matrix.is_unitary(RaisesValueError()),
        lambda: matrix.is_unitary(10**400), matrix.jarlskog,
    ]
    outcomes = 0
    for _ in range(ROUNDS):
        for call in calls:
            try:
                call()
            except BaseException:  # noqa: B036 - every path is wanted, faults included
                pass
            outcomes += 1

    original_loads = json.loads
    json.loads = failing_loads
    for _ in range(ROUNDS):
        try:
            core.py_get_constant("phi")
        except ValueError:
            outcomes += 1
    json.loads = original_loads

    sys.modules["json"] = None
    for _ in range(ROUNDS):
        try:
            core.py_get_constant("phi")
        except ImportError:
            outcomes += 1
    del sys.modules["json"]

    print(f"{core.__file__}\n{outcomes} calls")


if __name__ == "__main__":
    main()
