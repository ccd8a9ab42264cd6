"""Why a look-up missed, and how two stored results differ.

``explain_miss`` says which stored results come closest to a set of identity
fields and how each differs; ``diff_results`` compares two stored records,
their curves too; ``varying_paths`` names what differs among several.

Comparisons are made on the text that the simulation ID is hashed from (the
standard library's ``json.dumps(..., sort_keys=True)`` of each identity field),
so a difference shown is a difference hashed, and ``5`` against ``5.0`` is
one: the two are written differently and give different IDs.
"""

from __future__ import annotations

import enum
import json
import re
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from typing import Any, NamedTuple

import orjson

from lumora.cache import IDENTITY_FIELDS, _identity, _stored_record
from lumora.core import simulation_storage as storage
from lumora.models import SimulationHyperparameters, SimulationType, StoredSimulationResult
from lumora.series import Series, interpolate, result_series
from lumora.summaries import Summary, list_summaries

__all__ = [
    "METADATA_FIELDS",
    "MISSING",
    "CurveDifference",
    "Difference",
    "MissReport",
    "NearResult",
    "ResultDiff",
    "check_storable",
    "diff_results",
    "explain_miss",
    "format_value",
    "identity_leaves",
    "varying_paths",
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
    # Of a number, the only values that differ in JSON type alone.
    if isinstance(value, bool):
        return "boolean"
    return "integer" if isinstance(value, int) else "float"


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


def _table(differences: Sequence[Difference], width: int) -> list[str]:
    """One aligned line per difference (path, first value, second value), its note
    after it, or on a line of its own when the line would not fit in width."""
    path_width = max(len(d.path) for d in differences)
    room = max((width - path_width - 6) // 2, 12)
    rows = [(d.path, format_value(d.stored, room), format_value(d.given, room), d.note) for d in differences]
    first_width = max(len(row[1]) for row in rows)
    lines = []
    for path, first, second, note in rows:
        line = f"  {path.ljust(path_width)}  {first.ljust(first_width)}  {second}".rstrip()
        if note and len(line) + len(note) + 4 <= width:
            line += f"  ({note})"
        elif note:
            line += f"\n    ({note})"
        lines.append(line)
    return lines


def _count(count: int, what: str) -> str:
    return f"{'no' if count == 0 else count} {what}{'' if count == 1 else 's'}"


def _number(value: float) -> str:
    return f"{value:.3g}"


@dataclass(frozen=True, slots=True)
class CurveDifference:
    """The largest difference between one series of two results.

    For ``[re, im]`` series, ``largest`` is in dB of the power ``|s|^2``
    (levels below DB_FLOOR taken as it) and ``largest_magnitude`` the largest
    difference of ``|s|``; for real numbers ``largest`` is the largest
    absolute difference and ``largest_magnitude`` is None. ``wavelength``:
    where ``largest`` is, in micrometres.
    """

    key: str
    largest: float
    wavelength: float
    largest_magnitude: float | None = None

    def describe(self) -> str:
        if self.largest_magnitude is None:
            size = _number(self.largest)
        else:
            size = f"{self.largest:.2f} dB (|s| by {_number(self.largest_magnitude)})"
        return f"{size} at {self.wavelength:.6g} µm"

    def as_json(self) -> dict[str, Any]:
        out: dict[str, Any] = {"series": self.key, "wavelength": self.wavelength}
        if self.largest_magnitude is None:
            out["largest"] = self.largest
        else:
            out["largest_db"] = self.largest
            out["largest_magnitude"] = self.largest_magnitude
        return out


class ResultDiff(NamedTuple):
    """How two stored records differ: in their identity, in what the ID leaves out, and in their curves."""

    identity: tuple[Difference, ...]
    metadata: tuple[Difference, ...]
    curves: tuple[CurveDifference, ...] = ()
    grid: tuple[float, ...] = ()
    """The wavelengths that the curves were compared at, ascending: empty when none are common."""
    interpolated: bool = False
    """Whether the two results have other wavelengths, interpolated onto ``grid``."""
    unmatched: tuple[str, ...] = ()
    """Series that only one of the two holds (or not at the same kind of values)."""

    def __str__(self) -> str:
        return self.format()

    def format(self, width: int = 80) -> str:
        """The differences as text, lines of at most width columns where the values allow."""
        lines = []
        for title, differences in (
            ("Identity (hashed into the ID)", self.identity),
            ("Metadata (not part of the ID)", self.metadata),
        ):
            lines.append(f"{title}: {_count(len(differences), 'difference')}")
            if differences:
                lines.extend(_table(differences, width))
        if self.curves:
            lines.append(f"Curves ({self._grid_words()}): largest difference per series")
            key_width = max(len(curve.key) for curve in self.curves)
            lines.extend(f"  {curve.key.ljust(key_width)}  {curve.describe()}" for curve in self.curves)
        elif self.interpolated:
            lines.append("Curves: no wavelengths in common, not compared")
        if self.unmatched:
            lines.append(f"Series in one result only: {', '.join(self.unmatched)}")
        return "\n".join(lines)

    def _grid_words(self) -> str:
        if not self.interpolated:
            return f"the same {len(self.grid)} wavelengths"
        return f"interpolated onto {len(self.grid)} wavelengths, {self.grid[0]:.6g} to {self.grid[-1]:.6g} µm"

    def as_json(self, left: str = "first", right: str = "second") -> dict[str, Any]:
        return {
            "identity": [d.as_json(left, right) for d in self.identity],
            "metadata": [d.as_json(left, right) for d in self.metadata],
            "curves": {
                "wavelengths": len(self.grid),
                "interpolated": self.interpolated,
                "series": [curve.as_json() for curve in self.curves],
                "unmatched": list(self.unmatched),
            },
        }


def _ascending(wavelengths: Sequence[float], values: Sequence[float]) -> tuple[list[float], list[float]]:
    order = sorted(range(len(wavelengths)), key=lambda i: wavelengths[i])
    return [wavelengths[i] for i in order], [values[i] for i in order]


def _levels(series: Series) -> tuple[list[float], list[float] | None]:
    """What is compared: levels (dB for [re, im]) and, for [re, im], the magnitudes."""
    magnitudes = [abs(value) for value in series.values] if series.is_complex else None
    return list(series.levels()), magnitudes


def _grid(first: list[float], second: list[float]) -> list[float]:
    """The wavelengths to compare at: the same, or those of both within their common range."""
    if first == second:
        return first
    low, high = max(first[0], second[0]), min(first[-1], second[-1])
    return sorted({w for w in first + second if low <= w <= high})


def _curves(first: StoredSimulationResult, second: StoredSimulationResult) -> ResultDiff:
    """A ResultDiff of the curves alone."""
    ours = {series.key: series for series in result_series(first)} if first.status == "success" else {}
    theirs = {series.key: series for series in result_series(second)} if second.status == "success" else {}
    keys = [k for k in ours if k in theirs and ours[k].is_complex == theirs[k].is_complex]
    unmatched = tuple(k for k in {**ours, **theirs} if k not in keys)
    if not keys:
        return ResultDiff((), (), unmatched=unmatched)
    first_wl, second_wl = sorted(first.wavelengths), sorted(second.wavelengths)
    grid = _grid(first_wl, second_wl)
    found = []
    for key in keys if grid else ():
        sides = []
        for record, series in ((first, ours[key]), (second, theirs[key])):
            levels, magnitudes = _levels(series)
            wavelengths, levels = _ascending(record.wavelengths, levels)
            if magnitudes is not None:
                magnitudes = _ascending(record.wavelengths, magnitudes)[1]
                magnitudes = interpolate(wavelengths, magnitudes, grid)
            sides.append((interpolate(wavelengths, levels, grid), magnitudes))
        (a, a_mag), (b, b_mag) = sides
        gaps = [abs(x - y) for x, y in zip(a, b, strict=True)]
        where = max(range(len(gaps)), key=gaps.__getitem__)
        magnitude = None
        if a_mag is not None and b_mag is not None:
            magnitude = max(abs(x - y) for x, y in zip(a_mag, b_mag, strict=True))
        found.append(CurveDifference(key, gaps[where], grid[where], magnitude))
    return ResultDiff((), (), tuple(found), tuple(grid), first_wl != second_wl, unmatched)


def diff_results(first: StoredSimulationResult, second: StoredSimulationResult, *, dates: bool = False) -> ResultDiff:
    """The differences between two records; ``stored`` is the first's side, ``given`` the second's.

    The simulation dates are compared only with ``dates``: two runs always
    differ there. Series that both hold are compared at the same wavelengths,
    or interpolated onto the wavelengths of both within their common range.
    """
    identity = _differences(
        _canonical_identity(_record_identity(first)), _canonical_identity(_record_identity(second)), IDENTITY_FIELDS
    )
    names = [name for name in METADATA_FIELDS if dates or name != "simulation_date"]
    metadata = _differences(
        {name: _canonical(getattr(first, name)) for name in names},
        {name: _canonical(getattr(second, name)) for name in names},
        names,
    )
    return _curves(first, second)._replace(identity=tuple(identity), metadata=tuple(metadata))


# --- what differs among several ---------------------------------------------------


def _leaves(path: str, value: Any, out: dict[str, Any]) -> None:
    if isinstance(value, dict) and value:
        for key, member in value.items():
            _leaves(_member_path(path, key), member, out)
    elif isinstance(value, list) and value:
        for index, member in enumerate(value):
            _leaves(f"{path}[{index}]", member, out)
    else:
        out[path] = value


def identity_leaves(record: StoredSimulationResult) -> dict[str, Any]:
    """The identity of ``record`` as one value per path (``component_settings.gap``), as hashed."""
    out: dict[str, Any] = {}
    for name, value in _canonical_identity(_record_identity(record)).items():
        _leaves(name, value, out)
    return out


def varying_paths(records: Iterable[StoredSimulationResult]) -> list[str]:
    """The identity paths whose values are not the same in all of ``records`` (missing in some counts),
    in the order in which they first appear."""
    leaves = [identity_leaves(record) for record in records]
    paths = dict.fromkeys(path for leaf in leaves for path in leaf)
    return [path for path in paths if len({_text(leaf.get(path, MISSING)) for leaf in leaves}) > 1]
