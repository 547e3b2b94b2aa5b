"""Helpers shared by the test modules."""

import contextlib
import gc
import math
import os
import re
import sys
from pathlib import Path


class FloatLike:
    """Converts to a float through __float__ (which may return anything)."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class IndexLike:
    """Converts to an integer through __index__ only."""

    def __init__(self, value=0):
        self.value = value

    def __index__(self):
        return self.value


# The doubles below make a new exception on every call, so that a reference
# the module kept to one shows in a leak count; the last one is kept, for
# tests that compare it with what the caller received.

class RaisesTypeErrorWithCause:
    """__float__ raises TypeError("inner") caused by KeyError("root")."""

    def __float__(self):
        self.cause = KeyError("root")
        raise TypeError("inner") from self.cause


class RaisesValueError:
    """__float__ raises ValueError("not a number today")."""

    def __float__(self):
        self.error = ValueError("not a number today")
        raise self.error


def failing_loads(text):
    """A json.loads that refuses every text."""
    failing_loads.error = ValueError("refused by the replacement")
    raise failing_loads.error


def panic_type():
    """The type of the module's internal fault, which an empty constant name
    raises."""
    from veltrano import _korvex_core as core

    try:
        core.py_get_constant("")
    except BaseException as fault:  # noqa: B036 - the fault's type is what we want
        return type(fault)
    raise AssertionError("py_get_constant('') answered")


# Messages that the interpreter itself writes (its conversion of an object to
# a float, its refusal of arguments by a method that takes none) change from
# one CPython version to the next; the tests take them from the interpreter
# that runs them.

def float_conversion_error(value):
    """The error the interpreter's own conversion of value to a C double
    raises (math.ldexp converts its first argument with that routine)."""
    try:
        math.ldexp(value, 0)
    except BaseException as error:  # noqa: B036 - any error is what is compared
        return error
    raise AssertionError(f"{value!r} converts to a float")


def no_arguments_message(name, given):
    """The interpreter's message for a method of no parameters called with
    `given` positional arguments (or with a keyword, when given is None),
    for the method named `name`."""
    try:
        [].copy(*range(given)) if given is not None else [].copy(x=1)
    except TypeError as error:
        return str(error).replace("list.copy", name, 1)
    raise AssertionError("list.copy accepted arguments")


@contextlib.contextmanager
def standard_error_discarded():
    """Every internal fault is reported on standard error; thousands of
    reports from a loop are not worth keeping."""
    sys.stderr.flush()
    saved = os.dup(2)
    try:
        with open(os.devnull, "w") as devnull:
            os.dup2(devnull.fileno(), 2)
        yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)


def project_version():
    """The version written once in CMakeLists.txt's project(), which the
    build compiles into the module and writes into the package's metadata.
    A copy of this folder run outside the source tree (as against an
    installed wheel) has only that metadata to read."""
    cmake = Path(__file__).resolve().parents[2] / "CMakeLists.txt"
    if not cmake.is_file():
        import importlib.metadata

        return importlib.metadata.version("veltrano")
    return re.search(r"project\([^)]*\bVERSION\s+([0-9][0-9.]*)", cmake.read_text())[1]


def resident_bytes():
    """The process's resident set size."""
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def resident_bytes_per_instance(make, count):
    """The growth of the resident set per instance with `count` results of
    make() held at once, in a list allocated beforehand. A few made and
    dropped first leave one-time set-up (the module's first use) uncounted,
    and too little free for reuse to matter. Meant for a fresh interpreter,
    whose heap holds nothing else of note."""
    warm_up = [make() for _ in range(10)]
    size = len(warm_up[0])
    del warm_up
    held = [None] * count
    gc.collect()
    before = resident_bytes()
    for i in range(count):
        held[i] = make()
    gc.collect()
    after = resident_bytes()
    assert size and all(len(r) == size for r in held[:: max(1, count // 100)])
    return (after - before) / count
