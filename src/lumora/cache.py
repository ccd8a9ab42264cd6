"""The store as a cache: look up or simulate in one call, and why a look-up missed.

``get_or_simulate`` wraps what every caller of the store writes around a
simulation: find the stored result; otherwise run the simulation, time it and
save its outcome (a failure too, unless told not to). ``explain_miss`` says
which stored results come closest to a set of identity fields and how each
differs; ``diff_results`` compares two stored records.

Comparisons are made on the text that the simulation ID is hashed from (the
standard library's ``json.dumps(..., sort_keys=True)`` of each identity field),
so a difference shown is a difference hashed, and ``5`` against ``5.0`` is
one: the two are written differently and give different IDs.
"""

from __future__ import annotations

import enum
import json
import os
import re
import time
from collections.abc import Callable, Iterator, Sequence
from contextlib import AbstractContextManager, contextmanager, nullcontext, suppress
from dataclasses import dataclass
from pathlib import Path
from typing import Any, NamedTuple

import orjson

from lumora._lockfile import lock_file, remove_lock_file
from lumora.core import simulation_storage as storage
from lumora.logger import get_logger
from lumora.models import (
    SerializedSimulationResult,
    SimulationHyperparameters,
    SimulationType,
    StoredSimulationResult,
)
from lumora.settings import get_simulations_dir

__all__ = [
    "IDENTITY_FIELDS",
    "METADATA_FIELDS",
    "MISSING",
    "Difference",
    "MissReport",
    "NearResult",
    "ResultDiff",
    "SimulationOutput",
    "check_storable",
    "diff_results",
    "explain_miss",
    "format_value",
    "get_or_simulate",
]

# The six fields the simulation ID is computed from, in the order the module takes them.
IDENTITY_FIELDS = (
    "component_name",
    "factory_name",
    "component_settings",
    "model_parameters",
    "hyperparameters",
    "simulation_type",
)
# What a stored record carries about its run beyond the identity.
METADATA_FIELDS = ("pdk_name", "pdk_version", "lumora_version", "simulation_date", "status")


def _identity(*values: Any) -> dict[str, Any]:
    """The six identity fields, given in the order of IDENTITY_FIELDS, as keyword arguments."""
    return dict(zip(IDENTITY_FIELDS, values, strict=True))


class SimulationOutput(NamedTuple):
    """What ``simulate`` returns to ``get_or_simulate``: any 2-tuple will do."""

    result: SerializedSimulationResult
    wavelengths: Sequence[float]


# --- the cached look-up -----------------------------------------------------------


def _storable_names(simulation_type: str, component_name: str) -> bool:
    """Whether these names can be part of a result's path at all.

    The module refuses to save anything else, so no file of such names exists
    and none is looked for (nor is a path built from them).
    """
    names = simulation_type + component_name
    return simulation_type not in ("", ".", "..") and not ("/" in names or "\\" in names or "\0" in names)


def _stored_record(
    identity: dict[str, Any], simulation_id: str, *, anywhere: bool = True
) -> StoredSimulationResult | None:
    """The stored result of these identity fields, or None.

    The ID hashes the simulation type and the component name, so the result
    can only be the file that the layout names for them: reading it directly
    costs the same at any store size, where the module's look-up scans every
    type directory. A file moved elsewhere by hand is still found by that
    look-up, the fallback, unless not ``anywhere``. The record is built as
    the module's load builds it.
    """
    simulation_type, component_name = identity["simulation_type"], identity["component_name"]
    if not _storable_names(simulation_type, component_name):
        return None
    path = get_simulations_dir() / simulation_type / f"{component_name}_{simulation_id}.json"
    try:
        content = path.read_bytes()
    except (FileNotFoundError, NotADirectoryError):
        return storage.find_simulation_result(**identity) if anywhere else None
    try:
        return StoredSimulationResult.model_validate(orjson.loads(content))
    except Exception as exc:
        exc.add_note(f"while reading the stored result {path}")
        raise


def _usable(record: StoredSimulationResult | None, rerun_errors: bool) -> StoredSimulationResult | None:
    if record is not None and rerun_errors and record.status == "error":
        return None
    return record


def _local_path(path: object) -> Path | None:
    """The operating-system path of a store path, None off the local disk."""
    if isinstance(path, Path):
        return path
    if getattr(path, "protocol", None) in ("file", "local"):
        return Path(str(getattr(path, "path")))  # noqa: B009 (not an attribute of every path type)
    return None


# Bytes in one file name on the file systems the store runs on.
_NAME_MAX = 255


@contextmanager
def _identity_lock(file_path: object, simulation_id: str) -> Iterator[None]:
    """Held while one process simulates an identity; others wait for it.

    A lock file beside the result, which its holder removes when done. The
    OS lock ends with its holder's process, so a holder that died never
    blocks anyone (its file is left to ``lumora.upkeep.tidy``). Object
    stores have no such lock: there this does nothing.
    """
    local = _local_path(file_path)
    if local is None:
        yield
        return
    name = f".{local.name}.lock"
    if len(os.fsencode(name)) > _NAME_MAX:
        # A result name near the file system's limit has no room for the
        # lock's additions; the ID alone is unique within the type directory.
        name = f".{simulation_id}.lock"
    path = local.with_name(name)

    def waiting() -> None:
        get_logger().info("Waiting for another simulation of %s to finish", simulation_id)

    with lock_file(path, on_wait=waiting) as held:
        assert held is not None  # it waits
        try:
            yield
        finally:
            # Where it cannot go (Windows removes a lock file only once it is
            # let go, which filelock does), it is left, empty and harmless.
            with suppress(OSError):
                remove_lock_file(path, held)


def _error_text(exc: BaseException) -> str:
    message = str(exc)
    return f"{type(exc).__name__}: {message}" if message else type(exc).__name__


def _simulate_and_save(
    identity: dict[str, Any],
    simulate: Callable[[], tuple[SerializedSimulationResult, Sequence[float]]],
    *,
    store_errors: bool,
    pdk_version: str,
) -> StoredSimulationResult:
    start = time.perf_counter()
    try:
        output = simulate()
    except Exception as exc:
        elapsed = time.perf_counter() - start
        if store_errors:
            try:
                storage.save_simulation_result(
                    **identity,
                    result={},
                    wavelengths=[],
                    execution_time_seconds=elapsed,
                    status="error",
                    error_message=_error_text(exc),
                    pdk_version=pdk_version,
                )
            except Exception as save_exc:
                # The simulation's own failure is what the caller must see.
                get_logger().warning("Could not save the failed simulation: %s", _error_text(save_exc))
        raise
    elapsed = time.perf_counter() - start
    if not (isinstance(output, tuple) and len(output) == 2):
        got = f"a tuple of {len(output)}" if isinstance(output, tuple) else type(output).__name__
        raise TypeError(f"simulate must return a 2-tuple (result, wavelengths), got {got}")
    result, wavelengths = output
    return storage.save_simulation_result(
        **identity,
        result=result,
        wavelengths=wavelengths if type(wavelengths) is list else list(wavelengths),
        execution_time_seconds=elapsed,
        pdk_version=pdk_version,
    )


def get_or_simulate(
    *,
    component_name: str,
    factory_name: str,
    component_settings: dict[str, Any],
    model_parameters: dict[str, Any],
    hyperparameters: SimulationHyperparameters,
    simulation_type: SimulationType,
    simulate: Callable[[], tuple[SerializedSimulationResult, Sequence[float]]],
    rerun_errors: bool = False,
    store_errors: bool = True,
    pdk_version: str = "",
    lock: bool = True,
) -> StoredSimulationResult:
    """The stored result of these identity fields, simulating and saving it on a miss.

    Hit: the stored record is returned and ``simulate`` is not called; a
    stored failure (status "error") is a hit too, unless ``rerun_errors``.

    Miss: ``simulate()`` is called once and must return ``(result,
    wavelengths)``; the outcome is saved with status "success" and the run's
    time on a monotonic clock, and the stored record is returned.

    When ``simulate`` raises an ``Exception``, an "error" record (empty result
    and wavelengths, the time until the failure, the exception's type and
    message) is saved if ``store_errors``, and the exception is re-raised
    unchanged. An interruption (KeyboardInterrupt, SystemExit) saves nothing.

    ``lock``: on a store on the local disk, a process (or thread) that misses
    an identity that another one is simulating waits for it and then returns
    its record, simulating only if that one saved nothing. The lock is a
    hidden ``.<result file name>.lock`` file beside the result, removed when
    done and released by the operating system if its holder dies. Stores on
    object storage (s3:// and other URLs) have no such lock: two machines
    missing the same identity at once both simulate, and the last save wins.
    """
    identity = _identity(
        component_name, factory_name, component_settings, model_parameters, hyperparameters, simulation_type
    )
    simulation_id = storage._compute_simulation_id(**identity)
    record = _usable(_stored_record(identity, simulation_id), rerun_errors)
    if record is not None:
        return record
    # Refuses names that cannot be stored before anything runs, and makes the
    # directory that the lock file goes into.
    file_path = storage._get_simulation_file_path(simulation_type, component_name, simulation_id)
    guard: AbstractContextManager[None] = _identity_lock(file_path, simulation_id) if lock else nullcontext()
    with guard:
        if lock:
            # Whoever held the lock before us may have saved it meanwhile, and
            # a save goes where the layout says: no need to scan again.
            record = _usable(_stored_record(identity, simulation_id, anywhere=False), rerun_errors)
            if record is not None:
                return record
        return _simulate_and_save(identity, simulate, store_errors=store_errors, pdk_version=pdk_version)


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
    values["hyperparameters"] = values["hyperparameters"].model_dump()
    return {name: _canonical(values[name]) for name in IDENTITY_FIELDS}


def _record_identity(record: StoredSimulationResult) -> dict[str, Any]:
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

    record: StoredSimulationResult
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
    each with its differences. Every stored result of that type is read.
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
    for age, record in enumerate(storage.list_simulation_results(simulation_type=simulation_type)):
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
