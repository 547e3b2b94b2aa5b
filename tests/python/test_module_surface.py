"""What Python sees of the module: members, names, docstrings, signatures,
class properties and the module object's life."""

import gc
import importlib.metadata
import inspect
import io
import pydoc
import sysconfig
import types
import weakref

import pytest

from veltrano import _korvex_core as core

from support import project_version

MEMBERS = [
    "PyFormulasRegistry",
    "PyQuarkRegistry",
    "PyCKMMatrix",
    "py_list_constants",
    "py_list_quarks",
    "py_get_constant",
    "__version__",
]

Py_TPFLAGS_HEAPTYPE = 1 << 9
Py_TPFLAGS_BASETYPE = 1 << 10
Py_TPFLAGS_HAVE_GC = 1 << 14


def test_all_lists_the_members_in_registration_order():
    assert core.__all__ == MEMBERS
    assert type(core.__all__) is list
    for name in MEMBERS:
        assert hasattr(core, name)


def test_version_is_the_distributions():
    assert core.__version__ == project_version()
    assert importlib.metadata.version("veltrano") == core.__version__
    assert core.PyFormulasRegistry.version() == core.__version__
    assert core.PyFormulasRegistry().version() == core.__version__
    assert not hasattr(core.PyFormulasRegistry, "__version__")


def test_module_identity():
    assert core.__name__ == "veltrano._korvex_core"
    assert core.__doc__ == "PyO3 module entry point. Wired as `veltrano._korvex_core`."


FUNCTION_DOCS = [
    (
        "py_list_constants",
        "()",
        "Rust-accelerated twin of `veltrano.list_constants`.\n\n"
        "Returns all known constant names from the FormulasRegistry.",
    ),
    (
        "py_list_quarks",
        "()",
        "Rust-accelerated twin of `veltrano.list_quarks`.\n\nReturns all SM quark names from the QuarkRegistry.",
    ),
    (
        "py_get_constant",
        "(name)",
        "Rust-accelerated twin of `veltrano.Get` for the constants branch.\n\n"
        "Returns a JSON-serialised dict with `name`, `value`, `units`,\n"
        "`uncertainty`, and `status` fields \u2014 matching the Python constant\n"
        "datasheet schema so callers don't need to branch.\n\n"
        "Raises `PyKeyError` when `name` is not in the registry.",
    ),
    ("PyFormulasRegistry.get", "($self, name)", "Retrieve the numeric value for `name`."),
    ("PyFormulasRegistry.version", "()", "Library-version round-trip helper."),
    ("PyCKMMatrix.from_topology", "()", "Build the CKM matrix from the underlying topology."),
    ("PyCKMMatrix.is_unitary", "($self, tol)", "`True` when the matrix is unitary within `tol`."),
    ("PyCKMMatrix.jarlskog", "($self)", "CP-violation Jarlskog invariant J."),
]


def member(path):
    obj = core
    for part in path.split("."):
        obj = getattr(obj, part)
    return obj


@pytest.mark.parametrize("path, signature, doc", FUNCTION_DOCS, ids=[d[0] for d in FUNCTION_DOCS])
def test_function_docstrings_and_text_signatures(path, signature, doc):
    assert member(path).__text_signature__ == signature
    assert member(path).__doc__ == doc


CLASSES = [
    ("PyFormulasRegistry", "()", "Python wrapper for [`FormulasRegistry`]."),
    ("PyQuarkRegistry", "()", "Python wrapper for [`QuarkRegistry`]."),
    ("PyCKMMatrix", None, "Python wrapper for [`CKMMatrix`]."),
]


@pytest.mark.parametrize("name, signature, doc", CLASSES, ids=[c[0] for c in CLASSES])
def test_class_docstrings_and_text_signatures(name, signature, doc):
    cls = getattr(core, name)
    assert cls.__doc__ == doc
    assert cls.__text_signature__ == signature


P = inspect.Parameter
SIGNATURES = [
    ("py_list_constants", []),
    ("py_list_quarks", []),
    ("py_get_constant", [("name", P.POSITIONAL_OR_KEYWORD)]),
    ("PyFormulasRegistry", []),
    ("PyQuarkRegistry", []),
    ("PyFormulasRegistry.get", [("self", P.POSITIONAL_ONLY), ("name", P.POSITIONAL_OR_KEYWORD)]),
    ("PyFormulasRegistry.version", []),
    ("PyCKMMatrix.from_topology", []),
    ("PyCKMMatrix.is_unitary", [("self", P.POSITIONAL_ONLY), ("tol", P.POSITIONAL_OR_KEYWORD)]),
    ("PyCKMMatrix.jarlskog", [("self", P.POSITIONAL_ONLY)]),
    ("PyFormulasRegistry.__len__", [("self", P.POSITIONAL_ONLY)]),
    ("PyQuarkRegistry.__len__", [("self", P.POSITIONAL_ONLY)]),
]


@pytest.mark.parametrize("path, parameters", SIGNATURES, ids=[s[0] for s in SIGNATURES])
def test_inspect_signature_sees_the_parameters(path, parameters):
    signature = inspect.signature(member(path))
    assert [(p.name, p.kind) for p in signature.parameters.values()] == parameters
    assert all(p.default is P.empty for p in signature.parameters.values())


def test_bound_methods_hide_self():
    registry = core.PyFormulasRegistry()
    matrix = core.PyCKMMatrix.from_topology()
    assert list(inspect.signature(registry.get).parameters) == ["name"]
    assert list(inspect.signature(matrix.is_unitary).parameters) == ["tol"]
    assert list(inspect.signature(matrix.jarlskog).parameters) == []


def test_the_class_without_constructor_has_no_signature():
    with pytest.raises(ValueError, match="no signature found"):
        inspect.signature(core.PyCKMMatrix)


def help_lines():
    """help(module) as the reader sees it, each line without its indentation
    or the ' |' margin of class blocks."""
    out = io.StringIO()
    pydoc.Helper(output=out).help(core)
    return [line.strip().removeprefix("|").strip() for line in out.getvalue().splitlines()]


METHODS, STATIC = "Methods defined here:", "Static methods defined here:"
# (class or None for a module function, member path, the signature help shows, its section)
HELP_ENTRIES = [
    ("PyFormulasRegistry", "PyFormulasRegistry.get", "get(self, /, name)", METHODS),
    ("PyFormulasRegistry", "PyFormulasRegistry.version", "version()", STATIC),
    ("PyFormulasRegistry", "PyFormulasRegistry.__len__", "__len__(self, /)", METHODS),
    ("PyQuarkRegistry", "PyQuarkRegistry.__len__", "__len__(self, /)", METHODS),
    ("PyCKMMatrix", "PyCKMMatrix.from_topology", "from_topology()", STATIC),
    ("PyCKMMatrix", "PyCKMMatrix.is_unitary", "is_unitary(self, /, tol)", METHODS),
    ("PyCKMMatrix", "PyCKMMatrix.jarlskog", "jarlskog(self, /)", METHODS),
    (None, "py_list_constants", "py_list_constants()", "FUNCTIONS"),
    (None, "py_list_quarks", "py_list_quarks()", "FUNCTIONS"),
    (None, "py_get_constant", "py_get_constant(name)", "FUNCTIONS"),
]


def block_of(lines, owner):
    """The line range of one class's block, or of the module functions."""
    if owner is None:
        start = lines.index("FUNCTIONS")
    else:
        start = next(i for i, line in enumerate(lines) if line.startswith(f"class {owner}("))
    ends = (i for i in range(start + 1, len(lines)) if lines[i].startswith("class ") or lines[i].isupper())
    return start, next(ends, len(lines))


@pytest.mark.parametrize("owner, path, signature, section", HELP_ENTRIES, ids=[e[1] for e in HELP_ENTRIES])
def test_help_shows_each_member_with_signature_and_docstring(owner, path, signature, section):
    lines = help_lines()
    start, end = block_of(lines, owner)
    at = lines.index(signature, start, end)
    headers = [line for line in lines[start:at] if line.endswith("defined here:") or line == "FUNCTIONS"]
    assert headers[-1] == section
    doc = [line.strip() for line in member(path).__doc__.splitlines()]
    assert lines[at + 1 : at + 1 + len(doc)] == doc


def test_help_shows_the_module_and_class_docstrings():
    lines = help_lines()
    assert lines[lines.index("NAME") + 1] == f"veltrano._korvex_core - {core.__doc__}"
    assert lines[lines.index("VERSION") + 1] == project_version()
    for name, _, doc in CLASSES:
        start, _ = block_of(lines, name)
        assert lines[start + 1] == doc


@pytest.mark.parametrize("name", ["py_list_constants", "py_list_quarks", "py_get_constant"])
def test_functions_are_builtins_bound_to_the_module(name):
    function = getattr(core, name)
    assert isinstance(function, types.BuiltinFunctionType)
    assert function.__name__ == name
    assert function.__qualname__ == name
    assert function.__module__ == core.__name__
    assert function.__self__ is core


def instance_of(name):
    if name == "PyCKMMatrix":
        return core.PyCKMMatrix.from_topology()
    return getattr(core, name)()


CLASS_NAMES = [c[0] for c in CLASSES]


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_class_names_and_flags(name):
    cls = getattr(core, name)
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert cls.__module__ == "builtins"
    assert repr(cls) == f"<class 'builtins.{name}'>"
    assert cls.__bases__ == (object,)
    assert cls.__flags__ & Py_TPFLAGS_HEAPTYPE
    assert not cls.__flags__ & Py_TPFLAGS_BASETYPE
    assert not cls.__flags__ & Py_TPFLAGS_HAVE_GC


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_classes_cannot_be_subclassed(name):
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (getattr(core, name),), {})


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_instances_have_no_dict_no_weakrefs_and_are_not_gc_tracked(name):
    obj = instance_of(name)
    assert not hasattr(obj, "__dict__")
    with pytest.raises(AttributeError):
        obj.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(obj)
    assert not gc.is_tracked(obj)


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_instances_use_objects_identity_repr_and_hash(name):
    first, second = instance_of(name), instance_of(name)
    assert first == first and first != second
    assert hash(first) == object.__hash__(first)
    assert repr(first) == f"<builtins.{name} object at {hex(id(first))}>"
    assert str(first) == repr(first)
    with pytest.raises(TypeError):
        iter(first)


TRUTH = [
    ("PyFormulasRegistry", 17, True),
    ("PyQuarkRegistry", 0, False),
    ("PyCKMMatrix", None, True),
]


@pytest.mark.parametrize("name, length, truth", TRUTH)
def test_length_slot_decides_truth(name, length, truth):
    obj = instance_of(name)
    assert bool(obj) is truth
    if length is None:
        with pytest.raises(TypeError):
            len(obj)
    else:
        assert len(obj) == length


def test_ckm_matrix_has_no_constructor():
    for make in (core.PyCKMMatrix, lambda: core.PyCKMMatrix.__new__(core.PyCKMMatrix)):
        with pytest.raises(TypeError) as excinfo:
            make()
        assert excinfo.value.args == ("No constructor defined for PyCKMMatrix",)


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_freeing_instances_releases_the_type(name):
    cls = getattr(core, name)
    before = len(gc.get_referrers(cls)), __import__("sys").getrefcount(cls)
    objs = [instance_of(name) for _ in range(1000)]
    assert __import__("sys").getrefcount(cls) >= before[1] + 1000
    del objs
    assert __import__("sys").getrefcount(cls) == before[1]


def test_reimport_returns_the_same_module_object(python_subprocess):
    result = python_subprocess(
        """
        import importlib, sys
        import veltrano._korvex_core as first
        first.marker = "kept"
        del sys.modules["veltrano._korvex_core"]
        second = importlib.import_module("veltrano._korvex_core")
        assert second is first, "a new module object was made"
        assert second.marker == "kept"
        assert second.__all__ == first.__all__ and len(second.__all__) == 7
        print("ok")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


def test_a_second_interpreter_is_refused(python_subprocess):
    # Whichever interpreter imports second must get ImportError: either the
    # module's own refusal or CPython's check for single-phase modules.
    result = python_subprocess(
        """
        import os, sys, tempfile
        _testcapi = __import__("_testcapi")
        out = tempfile.mktemp()
        code = f'''
        import sys
        sys.path[:] = {sys.path!r}
        try:
            import veltrano._korvex_core
            outcome = "imported"
        except ImportError as error:
            outcome = "ImportError: " + str(error)
        open({out!r}, "w").write(outcome)
        '''
        import textwrap
        code = textwrap.dedent(code)

        # First import inside the subinterpreter, then in the main one.
        assert _testcapi.run_in_subinterp(code) == 0
        sub_first = open(out).read()
        try:
            import veltrano._korvex_core
            main = "imported"
        except ImportError as error:
            main = "ImportError: " + str(error)
        # And once more from a new subinterpreter, the main one having it.
        assert _testcapi.run_in_subinterp(code) == 0
        sub_again = open(out).read()
        print(sub_first); print(main); print(sub_again)
        """
    )
    assert result.returncode == 0, result.stderr
    sub_first, main, sub_again = result.stdout.strip().splitlines()
    # Exactly one of the first two imports owns the module.
    assert [sub_first.startswith("ImportError"), main.startswith("ImportError")].count(True) == 1
    assert sub_again.startswith("ImportError")
    assert "subinterpreter" in sub_again


def test_instances_made_behind_a_replaced_new_are_whole(python_subprocess):
    # The classes are mutable: Python code may put a __new__ on them that
    # makes instances with object.__new__, bypassing the constructors. Such
    # instances must hold a proper value and answer every member exactly as
    # a constructed one does (and be freed safely). Replacing __new__ spoils
    # the class for the rest of the process, hence the subprocess.
    result = python_subprocess(
        """
        import gc
        from veltrano._korvex_core import PyFormulasRegistry, PyQuarkRegistry, PyCKMMatrix
        for cls in (PyFormulasRegistry, PyQuarkRegistry, PyCKMMatrix):
            cls.__new__ = staticmethod(lambda cls: object.__new__(cls))
        registry, quarks, matrix = PyFormulasRegistry(), PyQuarkRegistry(), PyCKMMatrix()
        try:
            registry.get("B3")
        except KeyError as error:
            miss = error.args[0]
        print(repr([len(registry), bool(registry), registry.get("phi"), registry.get(name="n_gen_sq"), miss,
                    registry.version(), len(quarks), bool(quarks), matrix.jarlskog(), matrix.is_unitary(0.0),
                    matrix.is_unitary(tol=-1e-300), matrix.from_topology().is_unitary(0.0)]))
        made = [cls() for cls in (PyFormulasRegistry, PyQuarkRegistry, PyCKMMatrix) for _ in range(1000)]
        del registry, quarks, matrix, made
        gc.collect()
        print("freed")
        """
    )
    assert result.returncode == 0, result.stderr
    answers, freed = result.stdout.strip().splitlines()
    assert answers == repr([17, True, 1.618033988749895, 0.0, "constant `B3` not found in registry", project_version(),
                            0, False, 0.0, True, False, True])
    assert freed == "freed"


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="a free-threaded build's behaviour")
def test_importing_leaves_the_interpreter_lock_disabled(python_subprocess):
    # A module that did not declare itself safe without the lock would turn
    # it back on for the whole process, with a RuntimeWarning.
    result = python_subprocess(
        """
        import sys, warnings
        warnings.simplefilter("error")
        import veltrano._korvex_core as core
        core.py_get_constant("phi")
        print(sys._is_gil_enabled())
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "False"
