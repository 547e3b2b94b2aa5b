"""Every entry point of the module on every path it can take (its answer,
each error it raises, a fault), as one table: tests/python/test_leaks.py
measures each for growth of memory over many calls, and
tests/memcheck/smoke.py runs each under valgrind."""

import functools
import json  # noqa: F401 - imported, so that with_json has a module to put back
import sys
from types import SimpleNamespace

from veltrano import _korvex_core as core

from support import (FloatLike, RaisesTypeErrorWithCause, RaisesValueError, failing_loads, float_conversion_error,
                     no_arguments_message)

REGISTRY = core.PyFormulasRegistry()
QUARKS = core.PyQuarkRegistry()
MATRIX = core.PyCKMMatrix.from_topology()
P = functools.partial
LONE_SURROGATE = "b3\udc80"
PHI = P(core.py_get_constant, "phi")


def type_error(function, tail):
    return TypeError, f"{function}{tail}"


def key_error(name):
    return KeyError, f"constant `{name}` not found in registry"


def with_json(stand_in, call):
    """call() while sys.modules holds stand_in (None: not importable) as the
    json module, which py_get_constant imports on every call: any object with
    a loads does."""
    saved = sys.modules["json"]
    sys.modules["json"] = stand_in
    try:
        return call()
    finally:
        sys.modules["json"] = saved


# (id, call, None for an answer or (exception type, args[0] or None to skip
# the message check; "panic" for the module's fault)). The messages are
# written out here, not taken from the module.
GET = "PyFormulasRegistry.get()"
GET_CONSTANT = "py_get_constant()"
IS_UNITARY = "PyCKMMatrix.is_unitary()"
CASES = [
    ("PyFormulasRegistry()", core.PyFormulasRegistry, None),
    ("PyFormulasRegistry(1)", P(core.PyFormulasRegistry, 1),
     type_error("PyFormulasRegistry.__new__()", " takes 0 positional arguments but 1 was given")),
    ("PyFormulasRegistry(x=1)", P(core.PyFormulasRegistry, x=1),
     type_error("PyFormulasRegistry.__new__()", " got an unexpected keyword argument 'x'")),
    ("len(PyFormulasRegistry)", P(len, REGISTRY), None),
    ("get(hit)", P(REGISTRY.get, "phi"), None),
    ("get(name=hit)", P(REGISTRY.get, name="gamma_em"), None),
    ("get(miss)", P(REGISTRY.get, "no_such_constant"), key_error("no_such_constant")),
    ("get(empty)", P(REGISTRY.get, ""), key_error("")),
    ("get()", REGISTRY.get, type_error(GET, " missing 1 required positional argument: 'name'")),
    ("get(2 args)", P(REGISTRY.get, "b3", 1), type_error(GET, " takes 1 positional arguments but 2 were given")),
    ("get(twice)", P(REGISTRY.get, "b3", name="b3"), type_error(GET, " got multiple values for argument 'name'")),
    ("get(x=)", P(REGISTRY.get, x=1), type_error(GET, " got an unexpected keyword argument 'x'")),
    ("get(int)", P(REGISTRY.get, 1),
     type_error("argument 'name': ", "'int' object cannot be converted to 'PyString'")),
    ("get(surrogate)", P(REGISTRY.get, LONE_SURROGATE), (UnicodeEncodeError, None)),
    ("version()", core.PyFormulasRegistry.version, None),
    ("version(1)", P(core.PyFormulasRegistry.version, 1),
     type_error("", no_arguments_message("PyFormulasRegistry.version", 1))),
    ("PyQuarkRegistry()", core.PyQuarkRegistry, None),
    ("PyQuarkRegistry(1)", P(core.PyQuarkRegistry, 1),
     type_error("PyQuarkRegistry.__new__()", " takes 0 positional arguments but 1 was given")),
    ("PyQuarkRegistry(x=1)", P(core.PyQuarkRegistry, x=1),
     type_error("PyQuarkRegistry.__new__()", " got an unexpected keyword argument 'x'")),
    ("len(PyQuarkRegistry)", P(len, QUARKS), None),
    ("py_list_quarks()", core.py_list_quarks, None),
    ("py_list_constants()", core.py_list_constants, None),
    ("py_get_constant(hit)", P(core.py_get_constant, "n_gen"), None),
    ("py_get_constant(name=hit)", P(core.py_get_constant, name="phi"), None),
    ("py_get_constant(miss)", P(core.py_get_constant, "N_GEN"), key_error("N_GEN")),
    ("py_get_constant(empty)", P(core.py_get_constant, ""),
     ("panic", "py_get_constant: name must be non-empty")),
    ("py_get_constant(surrogate)", P(core.py_get_constant, LONE_SURROGATE), (UnicodeEncodeError, None)),
    ("py_get_constant()", core.py_get_constant,
     type_error(GET_CONSTANT, " missing 1 required positional argument: 'name'")),
    ("py_get_constant(2 args)", P(core.py_get_constant, "b3", 1),
     type_error(GET_CONSTANT, " takes 1 positional arguments but 2 were given")),
    ("py_get_constant(twice)", P(core.py_get_constant, "b3", name="b3"),
     type_error(GET_CONSTANT, " got multiple values for argument 'name'")),
    ("py_get_constant(x=)", P(core.py_get_constant, x=1),
     type_error(GET_CONSTANT, " got an unexpected keyword argument 'x'")),
    ("py_get_constant(bytes)", P(core.py_get_constant, b"b3"),
     type_error("argument 'name': ", "'bytes' object cannot be converted to 'PyString'")),
    ("PyCKMMatrix()", core.PyCKMMatrix, type_error("No constructor defined for PyCKMMatrix", "")),
    ("from_topology()", core.PyCKMMatrix.from_topology, None),
    ("is_unitary(true)", P(MATRIX.is_unitary, 0.5), None),
    ("is_unitary(false)", P(MATRIX.is_unitary, -1.0), None),
    ("is_unitary(tol=int)", P(MATRIX.is_unitary, tol=1), None),
    ("is_unitary()", MATRIX.is_unitary, type_error(IS_UNITARY, " missing 1 required positional argument: 'tol'")),
    ("is_unitary(2 args)", P(MATRIX.is_unitary, 1, 2),
     type_error(IS_UNITARY, " takes 1 positional arguments but 2 were given")),
    ("is_unitary(twice)", P(MATRIX.is_unitary, 1, tol=2),
     type_error(IS_UNITARY, " got multiple values for argument 'tol'")),
    ("is_unitary(x=)", P(MATRIX.is_unitary, x=1), type_error(IS_UNITARY, " got an unexpected keyword argument 'x'")),
    ("is_unitary(str)", P(MATRIX.is_unitary, "0.5"), type_error("argument 'tol': ", "must be real number, not str")),
    ("is_unitary(__float__ str)", P(MATRIX.is_unitary, FloatLike("0.5")),
     type_error("argument 'tol': ", str(float_conversion_error(FloatLike("0.5"))))),
    ("is_unitary(TypeError with cause)", P(MATRIX.is_unitary, RaisesTypeErrorWithCause()),
     type_error("argument 'tol': ", "inner")),
    ("is_unitary(ValueError)", P(MATRIX.is_unitary, RaisesValueError()), (ValueError, "not a number today")),
    ("is_unitary(huge int)", P(MATRIX.is_unitary, 10**400), (OverflowError, "int too large to convert to float")),
    ("jarlskog()", MATRIX.jarlskog, None),
    ("py_get_constant(loads replaced)", P(with_json, SimpleNamespace(loads=lambda text: {"text": text}), PHI), None),
    ("py_get_constant(loads raises)", P(with_json, SimpleNamespace(loads=failing_loads), PHI),
     (ValueError, "refused by the replacement")),
    ("py_get_constant(import fails)", P(with_json, None, PHI), (ModuleNotFoundError, None)),
]
