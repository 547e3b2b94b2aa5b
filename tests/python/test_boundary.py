"""The call boundary: internal faults, and what happens when CPython cannot
allocate a result."""

import pytest

from veltrano import _korvex_core as core

PANIC_DOC = (
    "\nThe exception raised when Rust code called from Python panics.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n"
)


def raise_fault():
    with pytest.raises(BaseException) as excinfo:
        core.py_get_constant("")
    return excinfo.value


def test_faults_raise_the_panic_exception():
    fault = raise_fault()
    panic = type(fault)
    assert panic.__name__ == "PanicException"
    assert panic.__module__ == "pyo3_runtime"
    assert panic.__qualname__ == "PanicException"
    assert panic.__bases__ == (BaseException,)
    assert not issubclass(panic, Exception)
    assert panic.__doc__ == PANIC_DOC and len(panic.__doc__) == 235
    assert fault.args == ("py_get_constant: name must be non-empty",)
    assert type(raise_fault()) is panic  # one type for the whole process


def test_except_exception_does_not_catch_a_fault():
    caught_by = None
    try:
        try:
            core.py_get_constant("")
        except Exception:
            caught_by = "Exception"
    except BaseException:
        caught_by = "BaseException"
    assert caught_by == "BaseException"


def test_faults_are_reported_on_standard_error(capfd):
    raise_fault()
    err = capfd.readouterr().err
    assert "py_get_constant: name must be non-empty" in err
    assert "src/pyfacade/" in err  # where it happened


# Fails the k-th allocation only, for k over a range, around one call; every
# outcome must be the right answer, CPython's MemoryError, or the fault for a
# result CPython could not allocate, and the process must survive them all.
ALLOCATION_SWEEP = """
import sys
_testcapi = __import__("_testcapi")
from functools import partial
from veltrano import _korvex_core as core
registry = core.PyFormulasRegistry()
matrix = core.PyCKMMatrix.from_topology()
calls = {calls}

def describe(box):
    if box[1] is None:
        return "returned " + repr(box[0])
    if type(box[1]) is MemoryError:
        return "MemoryError"
    return type(box[1]).__name__ + ": " + str(box[1].args)

def attempt(call, box):
    # Nothing here allocates beyond the call itself.
    box[0] = box[1] = None
    try:
        box[0] = call()
    except BaseException as error:
        box[1] = error

outcomes = {{}}
box = [None, None]
for name, call in calls.items():
    attempt(call, box)
    expected = describe(box)
    if expected.startswith("returned <builtins.PyFormulasRegistry"):
        expected = "returned a registry"
    seen = set()
    for k in range(60):
        _testcapi.set_nomemory(k, k + 1)
        try:
            attempt(call, box)
        finally:
            _testcapi.remove_mem_hooks()
        result = describe(box)
        if result.startswith("returned <builtins.PyFormulasRegistry"):
            result = "returned a registry"
        seen.add("expected" if result == expected else result)
    outcomes[name] = sorted(seen)
    attempt(call, box)
    assert describe(box).startswith(expected.split(" a registry")[0])
print(repr(outcomes))
"""


def test_allocation_failures_never_crash_and_map_to_faults(python_subprocess):
    calls = {
        "version": "core.PyFormulasRegistry.version",
        "list_constants": "core.py_list_constants",
        "list_quarks": "core.py_list_quarks",
        "get": "partial(registry.get, 'phi')",
        "len": "partial(len, registry)",
        "is_unitary": "partial(matrix.is_unitary, 0.5)",
        "registry": "core.PyFormulasRegistry",
        "datasheet": "partial(core.py_get_constant, 'phi')",
        "miss": "partial(registry.get, 'x' * 40)",
    }
    code = ALLOCATION_SWEEP.format(calls="{" + ", ".join(f"{k!r}: {v}" for k, v in calls.items()) + "}")
    result = python_subprocess(code, timeout=600)
    assert result.returncode == 0, result.stderr[-3000:]
    outcomes = eval(result.stdout)  # noqa: S307 - our own repr of dicts and strings
    api_fault = "PanicException: ('Python API call failed',)"
    # CPython itself turns a failed allocation while it unwinds an exception
    # through a frame into this SystemError (a plain dict miss does the same).
    unwinding = "SystemError: ('error return without exception set',)"
    # json.loads, whose errors pass unchanged, may report a failed allocation
    # while it reads the number this way (seen on free-threaded builds).
    number_unread = "ValueError: (\"could not convert string to float: b'1.618033988749895'\",)"
    for name, seen in outcomes.items():
        allowed = {"expected", "MemoryError", api_fault, unwinding} | ({number_unread} if name == "datasheet" else set())
        assert set(seen) <= allowed, (name, seen)
    # A str result that cannot be allocated is the fault, after CPython's
    # error has been printed.
    assert api_fault in outcomes["version"]
    assert api_fault in outcomes["list_constants"]
    assert "MemoryError" in result.stderr


def test_initialisation_that_fails_part_way_can_be_retried(python_subprocess):
    # Calls the module's init function directly (as the import system does),
    # failing one allocation at a time further and further into it. Until
    # one attempt succeeds, every attempt must fail cleanly and cache
    # nothing, so the module finally made is complete.
    result = python_subprocess(
        """
        import ctypes, importlib.util
        _testcapi = __import__("_testcapi")
        origin = importlib.util.find_spec("veltrano._korvex_core").origin
        init = ctypes.PyDLL(origin).PyInit__korvex_core
        init.restype = ctypes.py_object
        init.argtypes = []
        failures = {}
        box = [None, None]
        for k in range(3000):
            box[0] = box[1] = None
            try:
                _testcapi.set_nomemory(k, k + 1)
                box[0] = init()
            except BaseException as error:
                box[1] = error
            finally:
                _testcapi.remove_mem_hooks()
            if box[1] is not None:
                failures.setdefault(type(box[1]).__name__ + ": " + str(box[1].args), k)
            elif k > 400:
                break
        module = init()
        assert init() is module
        import veltrano._korvex_core as imported
        assert imported is module
        print(sorted(failures))
        print(module.__all__)
        print(module.PyFormulasRegistry().get("b3"), module.py_list_quarks()[0])
        """
    )
    assert result.returncode == 0, result.stderr[-3000:]
    failures, members, answers = result.stdout.strip().splitlines()
    assert "MemoryError" in failures
    assert "PanicException: ('Python API call failed',)" in failures
    assert members == repr(
        ["PyFormulasRegistry", "PyQuarkRegistry", "PyCKMMatrix", "py_list_constants", "py_list_quarks",
         "py_get_constant", "__version__"]
    )
    assert answers == "24.0 bottom"
