"""The seventeen entries a new registry holds, read from expected_constants.tsv:
the one table the tests and the benchmarks expect the module to hold.
test_constant_functions.py checks it against the module, entry by entry."""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path

TABLE = Path(__file__).with_name("expected_constants.tsv")


@dataclass(frozen=True)
class Expected:
    name: str
    value_text: str  # as the datasheet writes it
    units: str
    status: str
    formula: str | None
    dependencies: tuple[str, ...]

    @property
    def value(self) -> float:
        return float(self.value_text)

    def datasheet(self) -> dict:
        """The dict py_get_constant returns for this entry."""
        return {"name": self.name, "status": self.status, "uncertainty": None, "units": self.units,
                "value": self.value}


def _read() -> tuple[Expected, ...]:
    entries = []
    for line in TABLE.read_text(encoding="utf-8").splitlines():
        if not line or line.startswith("#"):
            continue
        name, value, units, status, formula, dependencies = line.split("\t")
        entries.append(Expected(name, value, units, status, formula or None, tuple(dependencies.split())))
    return tuple(entries)


# In the order the registry seeds them.
ENTRIES = _read()
BY_NAME = {entry.name: entry for entry in ENTRIES}
assert len(BY_NAME) == len(ENTRIES) == 17
