"""A short tour of what veltrano._korvex_core answers.

It uses every member of the module, and `./dev test` type-checks it with
`mypy --strict` against the stubs shipped in the package.
"""

from __future__ import annotations

import json
from typing import TYPE_CHECKING

from veltrano import _korvex_core as core

if TYPE_CHECKING:
    from veltrano._korvex_core import ConstantDatasheet


def describe(sheet: ConstantDatasheet) -> str:
    value = "no finite value" if sheet["value"] is None else repr(sheet["value"])
    if sheet["uncertainty"] is not None:
        value += f" ± {sheet['uncertainty']!r}"
    return f"{sheet['name']} = {value} {sheet['units']} ({sheet['status']})"


def main() -> None:
    print(f"{core.__name__} {core.__version__}")
    print(f"members: {', '.join(core.__all__)}")

    print("\nconstants (py_list_constants):")
    names: list[str] = core.py_list_constants()
    print(f"  {len(names)} names: {', '.join(names)}")

    print("\ndatasheets (py_get_constant):")
    for name in names:
        print(f"  {json.dumps(core.py_get_constant(name))}")
    print(f"  read by key: {describe(core.py_get_constant('phi'))}")
    print(f"  read by key: {describe(core.py_get_constant('n_gen_sq'))}")

    registry = core.PyFormulasRegistry()
    version: str = core.PyFormulasRegistry.version()
    print(f"\nPyFormulasRegistry: len {len(registry)}, version {version}")
    for name in ("b3", "phi", "gamma_em", "n_gen_sq"):
        value: float = registry.get(name)
        print(f"  get({name!r}) = {value!r}")
    try:
        registry.get("B3")
    except KeyError as error:
        print(f"  get('B3') raises KeyError: {error.args[0]}")

    print(f"\nquarks (py_list_quarks): {', '.join(core.py_list_quarks())}")
    print(f"  len(PyQuarkRegistry()) = {len(core.PyQuarkRegistry())}")

    matrix = core.PyCKMMatrix.from_topology()
    print("\nPyCKMMatrix.from_topology():")
    jarlskog: float = matrix.jarlskog()
    print(f"  jarlskog() = {jarlskog!r}")
    for tol in (0.0, 1e-12, -1e-300, float("nan"), 0):
        unitary: bool = matrix.is_unitary(tol)
        print(f"  is_unitary({tol!r}) = {unitary}")


if __name__ == "__main__":
    main()
