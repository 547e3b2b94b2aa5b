"""py_list_quarks, PyQuarkRegistry and PyCKMMatrix."""

import math

import pytest

from veltrano import _korvex_core as core

from support import FloatLike, IndexLike

QUARKS = ["bottom", "charm", "down", "strange", "top", "up"]


def test_quark_listing():
    names = core.py_list_quarks()
    assert type(names) is list and all(type(n) is str for n in names)
    assert names == QUARKS
    names.clear()
    assert core.py_list_quarks() == QUARKS
    assert core.py_list_quarks() is not core.py_list_quarks()


def test_quark_registry_starts_empty():
    registry = core.PyQuarkRegistry()
    assert len(registry) == 0
    assert not registry
    assert core.PyQuarkRegistry() is not registry


def test_quark_registry_refuses_arguments():
    with pytest.raises(TypeError) as excinfo:
        core.PyQuarkRegistry(1)
    assert excinfo.value.args == ("PyQuarkRegistry.__new__() takes 0 positional arguments but 1 was given",)


INF, NAN = float("inf"), float("nan")

# For the identity every deviation is exactly zero, so tol >= 0 decides.
TRUTH_TABLE = [
    (0.0, True), (-0.0, True), (1e-12, True), (INF, True), (5e-324, True), (1, True), (True, True),
    (False, True), (FloatLike(0.5), True), (IndexLike(0), True), (IndexLike(2), True),
    (-1e-300, False), (-5e-324, False), (-INF, False), (NAN, False), (-1, False), (FloatLike(NAN), False),
    (IndexLike(-1), False),
]


@pytest.mark.parametrize("tol, expected", TRUTH_TABLE, ids=repr)
def test_is_unitary_truth_table(tol, expected):
    matrix = core.PyCKMMatrix.from_topology()
    assert matrix.is_unitary(tol) is expected
    assert matrix.is_unitary(tol=tol) is expected


@pytest.mark.parametrize("tol", ["0.1", None, b"1", 1j], ids=repr)
def test_is_unitary_refuses_what_float_refuses(tol):
    with pytest.raises(TypeError, match="^argument 'tol': "):
        core.PyCKMMatrix.from_topology().is_unitary(tol)


def test_huge_int_tol_overflows_unchanged():
    with pytest.raises(OverflowError, match="int too large to convert to float"):
        core.PyCKMMatrix.from_topology().is_unitary(10**400)


def test_jarlskog_is_positive_zero():
    j = core.PyCKMMatrix.from_topology().jarlskog()
    assert type(j) is float
    assert j == 0.0 and math.copysign(1.0, j) == 1.0


def test_from_topology_makes_distinct_equal_matrices():
    first, second = core.PyCKMMatrix.from_topology(), core.PyCKMMatrix.from_topology()
    assert first is not second
    assert type(first) is core.PyCKMMatrix
    for tol in (0.0, -1e-300, NAN):
        assert first.is_unitary(tol) is second.is_unitary(tol)
    assert first.jarlskog() == second.jarlskog()
