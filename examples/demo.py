"""A short tour of what veltrano._korvex_core answers."""

import json

from veltrano import _korvex_core as core


def main() -> None:
    print(f"{core.__name__} {core.__version__}")
    print(f"members: {', '.join(core.__all__)}")

    print("\nconstants (py_list_constants):")
    names = core.py_list_constants()
    print(f"  {len(names)} names: {', '.join(names)}")

    print("\ndatasheets (py_get_constant):")
    for name in names:
        print(f"  {json.dumps(core.py_get_constant(name))}")

    registry = core.PyFormulasRegistry()
    print(f"\nPyFormulasRegistry: len {len(registry)}, version {registry.version()}")
    for name in ("b3", "phi", "gamma_em", "n_gen_sq"):
        print(f"  get({name!r}) = {registry.get(name)!r}")
    try:
        registry.get("B3")
    except KeyError as error:
        print(f"  get('B3') raises KeyError: {error.args[0]}")

    print(f"\nquarks (py_list_quarks): {', '.join(core.py_list_quarks())}")
    print(f"  len(PyQuarkRegistry()) = {len(core.PyQuarkRegistry())}")

    matrix = core.PyCKMMatrix.from_topology()
    print("\nPyCKMMatrix.from_topology():")
    print(f"  jarlskog() = {matrix.jarlskog()!r}")
    for tol in (0.0, 1e-12, -1e-300, float("nan")):
        print(f"  is_unitary({tol!r}) = {matrix.is_unitary(tol)}")


if __name__ == "__main__":
    main()
