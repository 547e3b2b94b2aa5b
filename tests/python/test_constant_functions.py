"""py_get_constant (a constant's datasheet through json.loads) and
py_list_constants (every constant's name, sorted)."""

import json
import sys
import types

import pytest

from veltrano import _korvex_core as core

from expected_constants import BY_NAME
from support import failing_loads

# Ascending by the names' bytes, a name before its extensions.
SORTED_NAMES = sorted(BY_NAME, key=str.encode)


class Recorder:
    """Stands in for json.loads: remembers each text and parses it."""

    def __init__(self, parse=json.loads):
        self.texts = []
        self.parse = parse

    def __call__(self, *args, **kwargs):
        assert not kwargs and len(args) == 1
        self.texts.append(args[0])
        return self.parse(args[0])


@pytest.fixture
def recorder(monkeypatch):
    recorder = Recorder()
    monkeypatch.setattr(json, "loads", recorder)
    return recorder


# The expected table checked against the module, entry by entry: the rest
# of the suite relies on it.
@pytest.mark.parametrize("name", BY_NAME)
def test_datasheet_dict(name):
    sheet = core.py_get_constant(name)
    assert type(sheet) is dict
    assert list(sheet) == ["name", "status", "uncertainty", "units", "value"]
    assert sheet == BY_NAME[name].datasheet()
    assert type(sheet["value"]) is float
    assert sheet["value"].hex() == BY_NAME[name].value.hex()


@pytest.mark.parametrize("name", BY_NAME)
def test_datasheet_text_handed_to_json_loads(recorder, name):
    entry = BY_NAME[name]
    core.py_get_constant(name)
    expected = (f'{{"name":"{name}","status":"{entry.status}","uncertainty":null,"units":"{entry.units}",'
                f'"value":{entry.value_text}}}')
    assert recorder.texts == [expected]
    assert type(recorder.texts[0]) is str


def test_name_by_keyword(recorder):
    assert core.py_get_constant(name="n_gen") == core.py_get_constant("n_gen")
    assert recorder.texts[0] == recorder.texts[1]


def test_two_calls_give_equal_but_distinct_dicts():
    first, second = core.py_get_constant("phi"), core.py_get_constant("phi")
    assert first == second and first is not second


def test_loads_result_passes_unchanged(monkeypatch):
    sentinel = object()
    monkeypatch.setattr(json, "loads", lambda text: sentinel)
    assert core.py_get_constant("b3") is sentinel


def test_loads_exception_passes_unchanged(monkeypatch):
    monkeypatch.setattr(json, "loads", failing_loads)
    with pytest.raises(ValueError) as excinfo:
        core.py_get_constant("b3")
    assert excinfo.value is failing_loads.error


def test_json_is_imported_on_every_call(monkeypatch):
    stand_in = types.ModuleType("json")
    stand_in.loads = lambda text: ("stand-in", text)
    assert core.py_get_constant("n_gen")["value"] == 3.0
    monkeypatch.setitem(sys.modules, "json", stand_in)
    assert core.py_get_constant("n_gen")[0] == "stand-in"
    monkeypatch.undo()
    assert core.py_get_constant("n_gen")["value"] == 3.0


def test_a_replaced_builtin_import_is_honoured(monkeypatch):
    import builtins

    seen = []
    original = builtins.__import__

    def recording_import(name, *args, **kwargs):
        seen.append(name)
        return original(name, *args, **kwargs)

    monkeypatch.setattr(builtins, "__import__", recording_import)
    assert core.py_get_constant("b3")["value"] == 24.0
    assert seen == ["json"]

    def refusing_import(name, *args, **kwargs):
        raise ImportError(f"no {name} today")

    monkeypatch.setattr(builtins, "__import__", refusing_import)
    with pytest.raises(ImportError, match="no json today"):
        core.py_get_constant("b3")


def test_import_failure_passes_unchanged(monkeypatch):
    monkeypatch.setitem(sys.modules, "json", None)
    with pytest.raises(ModuleNotFoundError, match="json"):
        core.py_get_constant("b3")


def fault_of(call):
    try:
        call()
    except Exception as error:  # a fault must not be caught here
        pytest.fail(f"caught by except Exception: {error!r}")
    except BaseException as fault:
        return fault
    pytest.fail("no exception")


def test_errors_come_in_order(recorder):
    # Encoding first: a lone surrogate is not even an empty-name fault.
    with pytest.raises(UnicodeEncodeError):
        core.py_get_constant("\udc80")
    fault = fault_of(lambda: core.py_get_constant(""))
    assert type(fault).__name__ == "PanicException"
    assert fault.args == ("py_get_constant: name must be non-empty",)
    assert fault_of(lambda: core.py_get_constant(name="")).args == fault.args
    # A blank name is not empty: it is looked up and missed.
    with pytest.raises(KeyError):
        core.py_get_constant(" ")
    assert recorder.texts == []  # json is not touched by any of these


MISSES = ["N_GEN", " n_gen", "n_gen ", "no_such_constant", " ", "a`b", "\u03c6", "n\x00gen", "x" * 1000]


@pytest.mark.parametrize("name", MISSES, ids=lambda n: repr(n)[:20])
def test_misses_raise_key_error_with_the_name_verbatim(recorder, name):
    with pytest.raises(KeyError) as excinfo:
        core.py_get_constant(name)
    assert excinfo.value.args == (f"constant `{name}` not found in registry",)
    registry_error = pytest.raises(KeyError, core.PyFormulasRegistry().get, name).value
    assert registry_error.args == excinfo.value.args
    assert recorder.texts == []


@pytest.mark.parametrize("value", [b"n_gen", None, 3, ["n_gen"]], ids=repr)
def test_wrong_types_raise_type_error(value):
    with pytest.raises(TypeError, match="^argument 'name': "):
        core.py_get_constant(value)


def test_listing_is_the_sorted_names():
    names = core.py_list_constants()
    assert type(names) is list
    assert all(type(n) is str for n in names)
    assert names == SORTED_NAMES


def test_listing_is_a_fresh_list_every_call():
    first = core.py_list_constants()
    first.reverse()
    first.append("extra")
    second = core.py_list_constants()
    assert second == SORTED_NAMES
    assert second is not core.py_list_constants()


def test_every_listed_name_has_a_datasheet():
    for name in core.py_list_constants():
        assert core.py_get_constant(name)["name"] == name


# --- How json is imported --------------------------------------------------

class MappingWithImport:
    """A mapping, not a dict, that has __import__ as an attribute."""

    def __init__(self, hook):
        self.__import__ = hook

    def __getitem__(self, key):
        raise KeyError(key)


class MappingWithoutImport:
    def __getitem__(self, key):
        raise KeyError(key)


class DictFindingImport(dict):
    def __init__(self, hook):
        super().__init__()
        self.hook = hook

    def __missing__(self, key):
        if key == "__import__":
            return self.hook
        raise KeyError(key)


def builtins_for(case, hook):
    """What the calling code's globals hold as __builtins__, and Python
    code run before the calls (removing that global)."""
    import builtins
    module = types.ModuleType("custom_builtins")
    module.__import__ = hook
    return {
        "dict with a hook": ({"__import__": hook}, ""),
        "dict with the interpreter's __import__": ({"__import__": builtins.__import__}, ""),
        "dict without __import__": ({}, ""),
        "module with a hook": (module, ""),
        "the builtins module": (builtins, ""),
        "mapping with the hook as attribute": (MappingWithImport(hook), ""),
        "mapping without __import__": (MappingWithoutImport(), ""),
        "dict subclass finding the hook": (DictFindingImport(hook), ""),
        "rebound inside the calling frame": (builtins, ""),
        "removed while running": (builtins, "del __builtins__\n"),
    }[case]


IMPORT_CASES = ["dict with a hook", "dict with the interpreter's __import__", "dict without __import__", "module with a hook", "the builtins module",
                "mapping with the hook as attribute", "mapping without __import__",
                "dict subclass finding the hook", "rebound inside the calling frame", "removed while running"]


@pytest.mark.parametrize("case", IMPORT_CASES)
def test_json_is_imported_exactly_as_pyimport_import_does(monkeypatch, case):
    """From the same frame, py_get_constant and CPython's PyImport_Import get
    the same module, make the same __import__ calls and fail alike. A
    stand-in json whose loads returns its own module shows which module
    py_get_constant used; the hook's own result is not what either uses."""
    import ctypes

    pyimport_import = ctypes.pythonapi.PyImport_Import
    pyimport_import.restype = ctypes.py_object
    pyimport_import.argtypes = [ctypes.py_object]

    stand_in = types.ModuleType("json")
    stand_in.loads = lambda text: stand_in
    monkeypatch.setitem(sys.modules, "json", stand_in)
    calls = []

    def hook(name, globals=None, locals=None, fromlist=(), level=0):
        calls.append((name, fromlist, level))
        return "not the module"

    def outcome(call):
        calls.clear()
        try:
            result = call()
        except BaseException as error:  # noqa: B036 - compared below
            return ("raised", type(error), error.args, list(calls))
        return ("returned", result, list(calls))

    def before_the_call():
        # Rebinding the global once the calling frame runs leaves the
        # frame's own builtins as they were: the global is what counts.
        if case == "rebound inside the calling frame":
            namespace["__builtins__"] = {"__import__": hook}

    builtins_value, prelude = builtins_for(case, hook)
    namespace = {"__builtins__": builtins_value, "outcome": outcome, "before": before_the_call,
                 "PyImport_Import": pyimport_import, "py_get_constant": core.py_get_constant}
    # Only names of this namespace are used: the builtins may hold nothing.
    exec(prelude + "reference = outcome(lambda: (before(), PyImport_Import('json'))[1])\n"
                   "ours = outcome(lambda: (before(), py_get_constant('phi'))[1])\n", namespace)
    if case == "rebound inside the calling frame":
        assert namespace["reference"][2] == [("json", [], 0)]
    assert namespace["ours"] == namespace["reference"]
    if namespace["reference"][0] == "returned":
        assert namespace["ours"][1] is stand_in
