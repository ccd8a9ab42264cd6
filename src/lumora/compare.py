"""Why a look-up missed, and how two stored results differ.

``explain_miss`` says which stored results come closest to a set of identity
fields and how each differs; ``diff_results`` compares two stored records.

Comparisons are made on the text that the simulation ID is hashed from (the
standard library's ``json.dumps(..., sort_keys=True)`` of each identity field),
so a difference shown is a difference hashed, and ``5`` against ``5.0`` is
one: the two are written differently and give different IDs.
"""

from __future__ import annotations

import enum
import json
import re
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any, NamedTuple

import orjson

from lumora.cache import IDENTITY_FIELDS, _identity, _stored_record
from lumora.core import simulation_storage as storage
from lumora.models import SimulationHyperparameters, SimulationType, StoredSimulationResult
from lumora.summaries import Summary, list_summaries

__all__ = [
    "METADATA_FIELDS",
    "MISSING",
    "Difference",
    "MissReport",
    "NearResult",
    "ResultDiff",
    "check_storable",
    "diff_results",
    "explain_miss",
    "format_value",
]

# What a stored record carries about its run beyond the identity.
METADATA_FIELDS = ("pdk_name", "pdk_version", "lumora_version", "simulation_date", "status")


# --- differences ------------------------------------------------------------------


class _Missing(enum.Enum):
    MISSING = "MISSING"

    def __repr__(self) -> str:
        return "MISSING"


MISSING = _Missing.MISSING
"""Stands for a value on the side of a difference where its key does not exist."""


def _json_type(value: Any) -> str:
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "boolean"
    if isinstance(value, int):
        return "integer"
    if isinstance(value, float):
        return "float"
    if isinstance(value, str):
        return "string"
    if isinstance(value, list):
        return "array"
    return "object"


def _text(value: Any) -> str:
    """A canonical value as the identity text writes it."""
    return "(missing)" if value is MISSING else json.dumps(value, sort_keys=True)


def format_value(value: Any, width: int = 60) -> str:
    """A canonical value as one line of JSON, cut to width; MISSING as "(missing)"."""
    text = _text(value)
    return text if len(text) <= width else text[: width - 3] + "..."


@dataclass(frozen=True, slots=True)
class Difference:
    """One place where two sets of identity fields (or two records) differ.

    ``stored`` and ``given`` are the values in their canonical form (tuples as
    lists, keys as text), or ``MISSING`` where the key exists on one side
    only. ``type_only``: the values are equal as numbers but of another JSON
    type (``5`` against ``5.0``, ``True`` against ``1``), which is hashed
    differently. ``order_only``: the same keys in another order, which only
    keys that are not strings can cause (they are sorted before they become
    text).
    """

    path: str
    stored: Any
    given: Any
    type_only: bool = False
    order_only: bool = False

    @property
    def note(self) -> str:
        """What kind of difference this is, when the values alone do not say it."""
        if self.type_only:
            return f"same number, JSON {_json_type(self.stored)} against {_json_type(self.given)}: hashed differently"
        if self.order_only:
            return "the same keys in another order"
        return ""

    def describe(self, left: str = "stored", right: str = "given") -> str:
        """One line: the path, both values and the note."""
        line = f"{self.path}: {left} {format_value(self.stored)}, {right} {format_value(self.given)}"
        return f"{line} ({self.note})" if self.note else line

    def as_json(self, left: str = "stored", right: str = "given") -> dict[str, Any]:
        """A JSON-ready dict; a MISSING side is left out."""
        out: dict[str, Any] = {"path": self.path}
        if self.stored is not MISSING:
            out[left] = self.stored
        if self.given is not MISSING:
            out[right] = self.given
        out["type_only"] = self.type_only
        if self.order_only:
            out["order_only"] = True
        return out


_IDENTIFIER = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")


def _member_path(path: str, key: str) -> str:
    return f"{path}.{key}" if _IDENTIFIER.fullmatch(key) else f"{path}[{json.dumps(key)}]"


def _same_number(a: Any, b: Any) -> bool:
    numbers = (int, float)  # bool is an int
    return isinstance(a, numbers) and isinstance(b, numbers) and a == b


def _compare(path: str, stored: Any, given: Any, out: list[Difference]) -> None:
    """Appends the differences between two canonical values, depth first."""
    if isinstance(stored, dict) and isinstance(given, dict):
        common_stored = [k for k in stored if k in given]
        common_given = [k for k in given if k in stored]
        if common_stored != common_given:
            out.append(Difference(path, list(stored), list(given), order_only=True))
        for key in sorted(stored.keys() | given.keys()):
            _compare(_member_path(path, key), stored.get(key, MISSING), given.get(key, MISSING), out)
    elif isinstance(stored, list) and isinstance(given, list):
        for i in range(max(len(stored), len(given))):
            s = stored[i] if i < len(stored) else MISSING
            g = given[i] if i < len(given) else MISSING
            _compare(f"{path}[{i}]", s, g, out)
    elif _text(stored) != _text(given):
        out.append(Difference(path, stored, given, type_only=_same_number(stored, given)))


def _canonical(value: Any) -> Any:
    """The value as the ID's text holds it: written by json.dumps(sort_keys=True), read back.

    Reading keeps the member order of the text, so dicts come back in the
    order in which they were hashed.
    """
    return json.loads(json.dumps(value, sort_keys=True))


def _canonical_identity(fields: dict[str, Any]) -> dict[str, Any]:
    values = dict(fields)
    if not isinstance(values["hyperparameters"], dict):  # a summary holds them dumped already
        values["hyperparameters"] = values["hyperparameters"].model_dump()
    return {name: _canonical(values[name]) for name in IDENTITY_FIELDS}


def _record_identity(record: StoredSimulationResult | Summary) -> dict[str, Any]:
    return {name: getattr(record, name) for name in IDENTITY_FIELDS}


def _differences(stored: dict[str, Any], given: dict[str, Any], names: Sequence[str]) -> list[Difference]:
    out: list[Difference] = []
    for name in names:
        _compare(name, stored[name], given[name], out)
    return out


# --- explaining a miss ------------------------------------------------------------


def check_storable(fields: dict[str, Any]) -> None:
    """Raise ValueError when no save could store these identity fields.

    A save refuses NaN and the infinities, and writes its file with orjson,
    which holds only 64-bit integers and nests only so deep; the ID of such
    fields can be computed but never found.
    """
    values = {name: fields[name] for name in ("component_settings", "model_parameters")}
    values["hyperparameters"] = fields["hyperparameters"].model_dump()
    try:
        # Nested one level down, as in the record that a save writes.
        orjson.dumps(values)
        json.dumps(values, allow_nan=False)
    except (TypeError, ValueError) as exc:
        raise ValueError(f"no save can store these identity fields: {exc}") from None


class NearResult(NamedTuple):
    """A stored result close to the identity asked about, and how it differs."""

    record: Summary
    differences: tuple[Difference, ...]


class MissReport(NamedTuple):
    """What ``explain_miss`` found out about one set of identity fields."""

    simulation_id: str
    """The ID these identity fields give."""
    stored: bool
    """Whether a result with that ID is stored."""
    nearest: tuple[NearResult, ...]
    """Stored results of the same simulation type, fewest differences first."""
    simulation_type: str

    def __str__(self) -> str:
        verdict = "is stored" if self.stored else "is not stored"
        lines = [f"Simulation {self.simulation_id} {verdict}."]
        if not self.nearest:
            lines.append(f"No stored results of type {self.simulation_type}.")
        else:
            lines.append(f"Nearest stored results of type {self.simulation_type}:")
        for record, differences in self.nearest:
            count = len(differences)
            lines.append(
                f"  {record.simulation_id}  {record.component_name} ({record.factory_name})"
                f"  {record.simulation_date[:19].replace('T', ' ')}"
                f"  {count} difference{'' if count == 1 else 's'}"
            )
            lines.extend(f"    {difference.describe()}" for difference in differences)
        return "\n".join(lines)

    def as_json(self) -> dict[str, Any]:
        return {
            "simulation_id": self.simulation_id,
            "stored": self.stored,
            "simulation_type": self.simulation_type,
            "nearest": [
                {
                    "simulation_id": record.simulation_id,
                    "component_name": record.component_name,
                    "factory_name": record.factory_name,
                    "simulation_date": record.simulation_date,
                    "differences": [difference.as_json() for difference in differences],
                }
                for record, differences in self.nearest
            ],
        }


def explain_miss(
    *,
    component_name: str,
    factory_name: str,
    component_settings: dict[str, Any],
    model_parameters: dict[str, Any],
    hyperparameters: SimulationHyperparameters,
    simulation_type: SimulationType,
    limit: int = 3,
) -> MissReport:
    """Why these identity fields do (or do not) find a stored result.

    Gives the ID they hash to, whether it is stored, and up to ``limit``
    stored results of the same simulation type with the fewest differences
    (ties: same component name first, then same factory name, then newest),
    each with its differences, from the summaries of that type's results.
    Raises ValueError for fields that no save can store (see check_storable).
    """
    if type(limit) is not int or limit < 0:
        raise ValueError(f"limit must be a non-negative int, got {limit!r}")
    identity = _identity(
        component_name, factory_name, component_settings, model_parameters, hyperparameters, simulation_type
    )
    simulation_id = storage._compute_simulation_id(**identity)
    check_storable(identity)
    stored = _stored_record(identity, simulation_id) is not None
    given = _canonical_identity(identity)

    ranked = []
    for age, record in enumerate(list_summaries(simulation_type=simulation_type)):
        differences = _differences(_canonical_identity(_record_identity(record)), given, IDENTITY_FIELDS)
        rank = (len(differences), record.component_name != component_name, record.factory_name != factory_name, age)
        ranked.append((rank, NearResult(record, tuple(differences))))
    ranked.sort(key=lambda item: item[0])
    nearest = tuple(near for _, near in ranked[:limit])
    return MissReport(simulation_id, stored, nearest, simulation_type)


# --- comparing two records --------------------------------------------------------


class ResultDiff(NamedTuple):
    """How two stored records differ: in their identity, and in what the ID leaves out."""

    identity: tuple[Difference, ...]
    metadata: tuple[Difference, ...]


def diff_results(first: StoredSimulationResult, second: StoredSimulationResult) -> ResultDiff:
    """The differences between two records; ``stored`` is the first's side, ``given`` the second's."""
    identity = _differences(
        _canonical_identity(_record_identity(first)), _canonical_identity(_record_identity(second)), IDENTITY_FIELDS
    )
    metadata = _differences(
        {name: _canonical(getattr(first, name)) for name in METADATA_FIELDS},
        {name: _canonical(getattr(second, name)) for name in METADATA_FIELDS},
        METADATA_FIELDS,
    )
    return ResultDiff(tuple(identity), tuple(metadata))
