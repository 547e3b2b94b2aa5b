"""PyFormulasRegistry: a registry of one's own per instance."""

import pytest

from veltrano import _korvex_core as core

from expected_constants import ENTRIES

VALUES = {entry.name: entry.value for entry in ENTRIES}


@pytest.fixture(scope="module")
def registry():
    return core.PyFormulasRegistry()


def test_length(registry):
    assert len(registry) == 17
    assert len(registry) == len(core.py_list_constants())


@pytest.mark.parametrize("name, value", VALUES.items())
def test_get_returns_the_stored_float(registry, name, value):
    for result in (registry.get(name), registry.get(name=name)):
        assert type(result) is float
        assert result == value
        assert result.hex() == value.hex()


MISSES = ["", "B3", " b3", "b3 ", "N_GEN", "a`b", "`", "\u00fcmlaut \u2211", "nul\x00b3", "no_such_constant"]


@pytest.mark.parametrize("name", MISSES, ids=repr)
def test_misses_raise_key_error_with_the_name_verbatim(registry, name):
    with pytest.raises(KeyError) as excinfo:
        registry.get(name)
    text = f"constant `{name}` not found in registry"
    assert type(excinfo.value) is KeyError
    assert excinfo.value.args == (text,)
    assert str(excinfo.value) == repr(text)
    assert excinfo.value.__cause__ is None


def test_key_error_raised_while_handling_another_is_chained_to_it(registry):
    with pytest.raises(KeyError) as excinfo:
        try:
            raise ValueError("first")
        except ValueError:
            registry.get("missing")
    assert type(excinfo.value.__context__) is ValueError


def test_instances_are_independent_with_equal_contents():
    first, second = core.PyFormulasRegistry(), core.PyFormulasRegistry()
    assert first is not second
    for name in VALUES:
        assert first.get(name) == second.get(name)
    del first
    assert second.get("phi") == VALUES["phi"]


def test_many_instances_live_side_by_side():
    registries = [core.PyFormulasRegistry() for _ in range(2000)]
    assert all(len(r) == 17 for r in registries)
    assert {r.get("gamma_em") for r in registries} == {VALUES["gamma_em"]}
