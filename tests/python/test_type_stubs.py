"""The type stubs installed beside the extension: shipped, complete, and
saying what the module does. (./dev test also runs mypy's stubtest and
mypy --strict; these cover what those tools do not look at.)"""

import ast
import types
import typing
from pathlib import Path

import pytest

import veltrano
from veltrano import _korvex_core as core

# The package's own folder, where the stub and the marker are. In a normal
# install the extension is there too; an editable install
# (pip install -Ceditable.rebuild=true -e .) leaves the Python files and the
# stub in python/veltrano and puts only the extension into site-packages.
PACKAGE = Path(veltrano.__file__).parent
STUB = PACKAGE / "_korvex_core.pyi"
EDITABLE = Path(core.__file__).parent.resolve() != PACKAGE.resolve()


@pytest.fixture(scope="module")
def stub():
    return ast.parse(STUB.read_text(encoding="utf-8"), filename=str(STUB))


def classes_of(tree):
    return {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}


def declared_names(body):
    names = set()
    for node in body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign):
            names.add(node.target.id)
        elif isinstance(node, ast.Assign):
            names.update(target.id for target in node.targets)
    return names


def test_the_package_ships_its_type_information():
    assert STUB.is_file()
    assert (PACKAGE / "py.typed").is_file()


@pytest.mark.skipif(EDITABLE, reason="an editable install keeps the stub in python/veltrano, apart from the extension")
def test_the_stub_stands_beside_the_imported_extension():
    assert Path(core.__file__).parent.resolve() == PACKAGE.resolve()
    assert any(PACKAGE.glob("_korvex_core.*.so"))


def test_stub_declares_what_the_module_exports(stub):
    exported = set(core.__all__)
    assert declared_names(stub.body) - exported == {"__all__", "ConstantDatasheet"}
    assert exported <= declared_names(stub.body)


@pytest.mark.parametrize("name", ["PyFormulasRegistry", "PyQuarkRegistry", "PyCKMMatrix"])
def test_stub_classes_declare_every_runtime_attribute(stub, name):
    # Includes the slot methods (__len__, __new__), which stubtest skips.
    runtime = set(vars(getattr(core, name))) - {"__doc__", "__module__"}
    assert declared_names(classes_of(stub)[name].body) == runtime


def documented(stub):
    """{runtime path: stub docstring} for the module and each member."""
    docs = {"": ast.get_docstring(stub)}
    for node in stub.body:
        if isinstance(node, ast.FunctionDef):
            docs[node.name] = ast.get_docstring(node)
        elif isinstance(node, ast.ClassDef) and node.name != "ConstantDatasheet":
            docs[node.name] = ast.get_docstring(node)
            for method in node.body:
                if isinstance(method, ast.FunctionDef) and not method.name.startswith("__"):
                    docs[f"{node.name}.{method.name}"] = ast.get_docstring(method)
    return docs


def runtime_object(path):
    obj = core
    for part in filter(None, path.split(".")):
        obj = getattr(obj, part)
    return obj


def test_stub_docstrings_are_the_runtime_docstrings(stub):
    docs = documented(stub)
    classes = [name for name in core.__all__ if isinstance(getattr(core, name), type)]
    members = {""} | (set(core.__all__) - {"__version__"})
    members |= {f"{cls}.{name}" for cls in classes for name in vars(getattr(core, cls)) if not name.startswith("__")}
    assert set(docs) == members
    for path, doc in docs.items():
        assert doc == runtime_object(path).__doc__, path


def datasheet_fields(stub):
    node = classes_of(stub)["ConstantDatasheet"]
    namespace = dict(vars(typing))
    return {
        item.target.id: eval(ast.unparse(item.annotation), namespace)
        for item in node.body
        if isinstance(item, ast.AnnAssign)
    }


def conforms(value, annotation):
    origin = typing.get_origin(annotation)
    if origin is typing.Literal:
        return value in typing.get_args(annotation)
    if origin in (typing.Union, types.UnionType):
        return any(conforms(value, arm) for arm in typing.get_args(annotation))
    if annotation is type(None):
        return value is None
    return type(value) is annotation


def test_datasheet_typeddict_describes_every_datasheet(stub):
    fields = datasheet_fields(stub)
    assert list(fields) == ["name", "status", "uncertainty", "units", "value"]
    for name in core.py_list_constants():
        sheet = core.py_get_constant(name)
        assert list(sheet) == list(fields), name
        for key, annotation in fields.items():
            assert conforms(sheet[key], annotation), (name, key, sheet[key], annotation)


def test_datasheet_typeddict_allows_null_only_for_the_numbers(stub):
    # The datasheet writes null for a value or an uncertainty that is absent
    # or not finite, which no seeded constant shows; no other field is null.
    fields = datasheet_fields(stub)
    assert {key for key, annotation in fields.items() if conforms(None, annotation)} == {"uncertainty", "value"}
    # A whole number still arrives as a float, and the status is one of four.
    assert not conforms(3, fields["value"])
    assert not conforms("Unknown", fields["status"])
