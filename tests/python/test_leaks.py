"""Reference and memory leaks: every entry point, on every path it can take
(its answer, each error it raises, a fault), called many times over must
leave the interpreter's allocated blocks and the process's resident memory
where they were."""

import functools
import gc
import json
import os
import sys

import pytest

from veltrano import _korvex_core as core

from support import float_conversion_error, no_arguments_message, standard_error_discarded

pytestmark = pytest.mark.skipif(
    os.environ.get("KORVEX_SANITIZER") == "address",
    reason="KORVEX_SANITIZER=address: ASan keeps freed memory in quarantine, so the resident size measures "
    "that, and under PYTHONMALLOC=malloc sys.getallocatedblocks() counts nothing; the ordinary run "
    "measures leaks (and valgrind the module's own heap)",
)

ITERATIONS = 100_000
# Enough calls for every cache that fills on first use (the panic type, the
# json import, method caches, free lists) to be filled before measuring.
WARM_UP = 2_000
# Leaking one object per call would add ITERATIONS blocks; one per hundred
# calls, a thousand. The allowance only absorbs blocks that an unrelated
# part of the interpreter happens to keep during the loop.
MAX_BLOCK_GROWTH = 50
# The smallest heap block is 16 bytes (pymalloc) or 32 (malloc), so anything
# leaked per call grows the resident set by at least 1.6 MB over ITERATIONS.
# Half a megabyte absorbs the allocator touching a few fresh pages.
MAX_RESIDENT_GROWTH = 512 * 1024

PAGE_SIZE = os.sysconf("SC_PAGE_SIZE")


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE_SIZE


class RaisesTypeErrorWithCause:
    def __float__(self):
        raise TypeError("inner") from KeyError("root")


class RaisesValueError:
    def __float__(self):
        raise ValueError("not a number today")


class ReturnsStr:
    def __float__(self):
        return "0.5"


REGISTRY = core.PyFormulasRegistry()
QUARKS = core.PyQuarkRegistry()
MATRIX = core.PyCKMMatrix.from_topology()
P = functools.partial
LONE_SURROGATE = "b3\udc80"


def panic_type():
    try:
        core.py_get_constant("")
    except BaseException as fault:  # noqa: B036 - the fault type is what we want
        return type(fault)


def type_error(function, tail):
    return TypeError, f"{function}{tail}"


def key_error(name):
    return KeyError, f"constant `{name}` not found in registry"


# (id, call, None for an answer or (exception type, args[0] or None to skip
# the message check)). The messages are written out here, not taken from the
# module.
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
    ("is_unitary(__float__ str)", P(MATRIX.is_unitary, ReturnsStr()),
     type_error("argument 'tol': ", str(float_conversion_error(ReturnsStr())))),
    ("is_unitary(TypeError with cause)", P(MATRIX.is_unitary, RaisesTypeErrorWithCause()),
     type_error("argument 'tol': ", "inner")),
    ("is_unitary(ValueError)", P(MATRIX.is_unitary, RaisesValueError()), (ValueError, "not a number today")),
    ("is_unitary(huge int)", P(MATRIX.is_unitary, 10**400), (OverflowError, "int too large to convert to float")),
    ("jarlskog()", MATRIX.jarlskog, None),
]


def failing_loads(text):
    raise ValueError("refused by the replacement")


def loop(call, expected_error, count):
    if expected_error is None:
        for _ in range(count):
            call()
    else:
        for _ in range(count):
            try:
                call()
            except expected_error:
                pass


def check_once(call, expected):
    """The call does what the table says (so the loop measures that path)."""
    if expected is None:
        call()
        return None
    error_type, message = expected
    if error_type == "panic":
        error_type = panic_type()
    with pytest.raises(BaseException) as excinfo:  # noqa: B017 - the type is checked exactly below
        call()
    assert type(excinfo.value) is error_type
    if message is not None:
        assert excinfo.value.args == (message,)
    return error_type


def measure(call, expected):
    error_type = check_once(call, expected)
    with standard_error_discarded():
        loop(call, error_type, WARM_UP)
        gc.collect()
        blocks_before, resident_before = sys.getallocatedblocks(), resident_bytes()
        loop(call, error_type, ITERATIONS)
        gc.collect()
        blocks_after, resident_after = sys.getallocatedblocks(), resident_bytes()
    check_once(call, expected)  # and still does
    return blocks_after - blocks_before, resident_after - resident_before


def assert_no_growth(case_id, blocks, resident):
    print(f"{case_id}: {ITERATIONS} calls, blocks {blocks:+d}, resident {resident:+d} B")
    assert blocks <= MAX_BLOCK_GROWTH, f"{blocks} more allocated blocks after {ITERATIONS} calls"
    assert resident <= MAX_RESIDENT_GROWTH, f"resident memory grew by {resident} bytes over {ITERATIONS} calls"


@pytest.mark.parametrize("case_id, call, expected", CASES, ids=[case[0] for case in CASES])
def test_no_growth(case_id, call, expected):
    assert_no_growth(case_id, *measure(call, expected))


def test_no_growth_when_json_loads_is_replaced(monkeypatch):
    # A replacement that answers, then one that raises: what the module hands
    # it and what it hands back must be released on both paths.
    sentinel = object()
    monkeypatch.setattr(json, "loads", lambda text: sentinel)
    assert core.py_get_constant("phi") is sentinel
    assert_no_growth("py_get_constant(loads replaced)", *measure(P(core.py_get_constant, "phi"), None))

    monkeypatch.setattr(json, "loads", failing_loads)
    assert_no_growth(
        "py_get_constant(loads raises)",
        *measure(P(core.py_get_constant, "phi"), (ValueError, "refused by the replacement")),
    )


def test_no_growth_when_json_cannot_be_imported(monkeypatch):
    monkeypatch.setitem(sys.modules, "json", None)
    assert_no_growth(
        "py_get_constant(import fails)", *measure(P(core.py_get_constant, "phi"), (ModuleNotFoundError, None))
    )
