"""Pure-Python twins of the native calls, doing the same work per call.

Each twin builds its records afresh on every call, exactly as the native
module builds a fresh seeded registry per call: nothing is cached between
calls. They are the baselines the benchmarks compare the module against,
so they are written the way a plain Python package would write them: a
dict of dicts keyed by name.
"""

from __future__ import annotations

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                                "tests", "python"))

from expected_constants import ENTRIES  # noqa: E402

# The arguments of each entry's constructor, taken once from the tests'
# table of the seventeen entries, in their order.
_SEEDED = tuple((e.name, e.value, e.units) for e in ENTRIES if e.formula is None)
_DERIVED = tuple((e.name, e.formula, e.units, e.dependencies) for e in ENTRIES if e.formula is not None)
assert [name for name, *_ in _SEEDED + _DERIVED] == [e.name for e in ENTRIES]


def _seeded(name: str, value: float, units: str) -> dict:
    return {
        "name": name,
        "value": value,
        "units": units,
        "uncertainty": None,
        "status": "Seed",
        "formula": None,
        "dependencies": [],
    }


def _derived(name: str, formula: str, units: str, dependencies: list[str]) -> dict:
    return {
        "name": name,
        "value": 0.0,
        "units": units,
        "uncertainty": None,
        "status": "Pending",
        "formula": formula,
        "dependencies": dependencies,
    }


def build_constants() -> dict[str, dict]:
    """The seventeen records, built anew: ten seeded, seven derived."""
    records = {}
    for name, value, units in _SEEDED:
        records[name] = _seeded(name, value, units)
    for name, formula, units, dependencies in _DERIVED:
        records[name] = _derived(name, formula, units, list(dependencies))
    return records


def list_constants() -> list[str]:
    """The sorted names of a freshly built set of constants."""
    return sorted(build_constants())


class TwinRegistry:
    """A registry of the seventeen constants: built complete, then read."""

    def __init__(self) -> None:
        self._records = build_constants()

    def __len__(self) -> int:
        return len(self._records)

    def get(self, name: str) -> float:
        record = self._records.get(name)
        if record is None:
            raise KeyError(f"constant `{name}` not found in registry")
        return record["value"]


REFERENCE_ENERGY_MEV = 246220.0


def _quark(name: str, generation: int, phi_power: int, mass_ratio: float, mass_mev: float) -> dict:
    return {
        "name": name,
        "properties": {},
        "mass_mev": mass_mev,
        "mass_ratio": mass_ratio,
        "phi_power": phi_power,
        "generation": generation,
    }


def build_quarks() -> dict[str, dict]:
    """The six Standard-Model quarks, built anew."""
    records = {}
    for record in (
        _quark("up", 1, 12, 0.003105620015141857, 764.665760128228),
        _quark("down", 1, 11, 0.005024998740641489, 1237.2551899207474),
        _quark("strange", 2, 8, 0.02128623625220818, 5241.0970900186985),
        _quark("charm", 2, 5, 0.09016994374947422, 22201.643549995544),
        _quark("bottom", 3, 4, 0.14589803375031543, 35923.013870002665),
        _quark("top", 3, 0, 1.0, 246220.0),
    ):
        records[record["name"]] = record
    return records


def list_quarks() -> list[str]:
    """The sorted names of a freshly built set of quarks."""
    return sorted(build_quarks())
