"""PyO3 module entry point. Wired as `veltrano._korvex_core`."""

from typing import Literal, Never, SupportsFloat, SupportsIndex, TypedDict, final, type_check_only

__all__ = [
    "PyFormulasRegistry",
    "PyQuarkRegistry",
    "PyCKMMatrix",
    "py_list_constants",
    "py_list_quarks",
    "py_get_constant",
    "__version__",
]

__version__: str

@type_check_only
class ConstantDatasheet(TypedDict):
    """The dict that `py_get_constant` returns (a name for type checkers only).

    `value` and `uncertainty` are None where the constant has no finite
    number; `uncertainty` is None too when the constant carries none.
    """

    name: str
    status: Literal["Seed", "Cached", "Pending", "External"]
    uncertainty: float | None
    units: str
    value: float | None

@final
class PyFormulasRegistry:
    """Python wrapper for [`FormulasRegistry`]."""

    def __new__(cls) -> PyFormulasRegistry: ...
    def __len__(self) -> int: ...
    def get(self, /, name: str) -> float:
        """Retrieve the numeric value for `name`."""

    @staticmethod
    def version() -> str:
        """Library-version round-trip helper."""

@final
class PyQuarkRegistry:
    """Python wrapper for [`QuarkRegistry`]."""

    def __new__(cls) -> PyQuarkRegistry: ...
    def __len__(self) -> int: ...

@final
class PyCKMMatrix:
    """Python wrapper for [`CKMMatrix`]."""

    # The class has no constructor: calling it raises TypeError, and
    # from_topology() is the only way to get an instance. No value is a
    # Never, so a type checker rejects every call of the class too.
    def __new__(cls, no_constructor_use_from_topology: Never, /) -> PyCKMMatrix: ...
    @staticmethod
    def from_topology() -> PyCKMMatrix:
        """Build the CKM matrix from the underlying topology."""

    def is_unitary(self, /, tol: SupportsFloat | SupportsIndex) -> bool:
        """`True` when the matrix is unitary within `tol`."""

    def jarlskog(self, /) -> float:
        """CP-violation Jarlskog invariant J."""

def py_list_constants() -> list[str]:
    """Rust-accelerated twin of `veltrano.list_constants`.

    Returns all known constant names from the FormulasRegistry.
    """

def py_list_quarks() -> list[str]:
    """Rust-accelerated twin of `veltrano.list_quarks`.

    Returns all SM quark names from the QuarkRegistry.
    """

def py_get_constant(name: str) -> ConstantDatasheet:
    """Rust-accelerated twin of `veltrano.Get` for the constants branch.

    Returns a JSON-serialised dict with `name`, `value`, `units`,
    `uncertainty`, and `status` fields — matching the Python constant
    datasheet schema so callers don't need to branch.

    Raises `PyKeyError` when `name` is not in the registry.
    """
