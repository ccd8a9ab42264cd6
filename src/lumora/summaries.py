"""Summaries of stored results: everything but their data, listed without reading it.

A result's summary holds its identity fields, its metadata and the sizes of
its ``result`` and ``wavelengths``. `list_summaries` answers what
`list_simulation_results` answers (same filters, newest first, the same files
skipped), plus conditions on any identity field, and `load_records` reads
the full records of the summaries the caller then wants.

Each file is parsed once per version: its summary is kept in the store's
catalog (`lumora._catalog`) under the stamp that the store's listing gives
it (local disk: device, inode, size, modification and change times in ns;
object stores: size and ETag). A listing uses a kept summary only while the
file still shows that stamp; a new or changed file is read again and a
vanished one dropped, so an answer always equals a fresh parse of every file.
A process that lists a store more than once also keeps in memory the rows
its last listing of it found (up to 128 MB in all): a listing again in which
every file shows the stamp so kept is answered without opening the catalog.
LUMORA_CATALOG=0 turns the catalog, and this, off.

Conditions (`where`) are texts ``FIELD OP VALUE``: OP one of ``=`` (or
``==``), ``!=``, ``<``, ``<=``, ``>``, ``>=``; FIELD a member of the
settings (``gap``: component_settings, then model_parameters), a path into
them (``component_settings.length``, ``model_parameters.neff``,
``hyperparameters.mesh_resolution``, ``component_settings.xs.width``), or a
field of the summary (``component_name``, ``pdk_name``, ``status``...).
VALUE is read as JSON where it is JSON (``0.2``, ``true``, ``null``,
``"0.2"``), otherwise as text. Numbers compare as numbers (``5 == 5.0``);
``<`` and the like compare numbers with numbers and text with text. A result
that lacks the field matches no condition on it; one whose value is of
another kind differs from it (matches ``!=``, nothing else).
"""

from __future__ import annotations

import contextlib
import gc
import itertools
import operator
import os
import re
import threading
import zlib
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import orjson

from lumora._catalog import (
    CRC_SIZE,
    DATE_AT,
    INTACT,
    PROBLEM_KIND,
    SUMMARY_KIND,
    Catalog,
    Fetched,
    Row,
    payload,
    row_key,
)
from lumora.layout import RESULT_SUFFIX
from lumora.logger import get_logger, one_line
from lumora.observe import observe
from lumora.paths import DirEntry, StoreDir, note_read_failure
from lumora.settings import get_catalog_dir, get_simulations_dir

if TYPE_CHECKING:
    from lumora.models import StoredSimulationResult

__all__ = [
    "MISSING",
    "SETTINGS",
    "Condition",
    "ParseFailure",
    "Summary",
    "collector_paused",
    "fields_of",
    "list_summaries",
    "load_records",
    "parse_condition",
    "result_files",
    "summarize",
    "varying_among",
]

# What the store logs for each file that a listing skips (as the extension words it).
SKIPPED = "Failed to parse simulation file: "

_FIELDS = (
    "simulation_id",
    "simulation_type",
    "component_name",
    "factory_name",
    "component_settings",
    "model_parameters",
    "hyperparameters",
    "pdk_name",
    "pdk_version",
    "simulation_date",
    "lumora_version",
    "execution_time_seconds",
    "status",
    "error_message",
)
_INDEX = {name: i for i, name in enumerate(_FIELDS)}
_DATE = _INDEX["simulation_date"]
_SECTIONS = ("component_settings", "model_parameters", "hyperparameters")


class Summary:
    """A stored result without its data: the record's fields but `result` and
    `wavelengths`, whose sizes `result_size` and `wavelengths_size` give; and
    its file (`path`, `bytes`, and `directory`, the type directory it lies in)."""

    # The fields stay one JSON text (within the catalog's payload, see
    # `lumora._catalog.payload`) until first asked for: most of a large
    # listing is only sorted by date and counted, or shown in part.
    __slots__ = ("_payload", "_parsed", "_entry", "directory", "_date")

    def __init__(
        self, payload: bytes, entry: DirEntry, directory: str, date: bytes, values: list[Any] | None = None
    ) -> None:
        self._payload = payload
        self._parsed = values
        self._entry = entry
        self.directory = directory
        self._date = date

    @property
    def _values(self) -> list[Any]:
        values = self._parsed
        if values is None:
            values = self._parsed = orjson.loads(self._text)
        return values

    @property
    def _text(self) -> memoryview:
        return memoryview(self._payload)[DATE_AT + len(self._date) : -CRC_SIZE]

    def __repr__(self) -> str:
        return f"Summary({self.simulation_id!r}, {self.component_name!r}, {self.simulation_date!r})"

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Summary) and (self._values, self.directory) == (other._values, other.directory)

    __hash__ = None  # type: ignore[assignment]

    # fmt: off
    @property
    def simulation_id(self) -> str: return str(self._values[0])
    @property
    def simulation_type(self) -> str: return str(self._values[1])
    @property
    def component_name(self) -> str: return str(self._values[2])
    @property
    def factory_name(self) -> str: return str(self._values[3])
    @property
    def component_settings(self) -> dict[str, Any]: return dict(self._values[4])
    @property
    def model_parameters(self) -> dict[str, Any]: return dict(self._values[5])
    @property
    def hyperparameters(self) -> dict[str, Any]: return dict(self._values[6])
    @property
    def pdk_name(self) -> str | None: return self._values[7]  # type: ignore[no-any-return]
    @property
    def pdk_version(self) -> str: return str(self._values[8])
    @property
    def simulation_date(self) -> str: return self._date.decode()
    @property
    def lumora_version(self) -> str: return str(self._values[10])
    @property
    def execution_time_seconds(self) -> float: return float(self._values[11])
    @property
    def status(self) -> str: return str(self._values[12])
    @property
    def error_message(self) -> str: return str(self._values[13])
    @property
    def result_size(self) -> int: return int(self._values[14])
    @property
    def wavelengths_size(self) -> int: return int(self._values[15])
    # fmt: on

    @property
    def path(self) -> StoreDir:
        # Not the entry's own cached path: the entry may be one that the
        # process keeps between listings, and would grow by it.
        entry = self._entry
        return entry.parent / entry.name

    @property
    def bytes(self) -> int:
        return self._entry.size

    @property
    def entry(self) -> DirEntry:
        """The store's listing entry of the file, with its stamp."""
        return self._entry

    def field(self, name: str) -> Any:
        """The value of one of the record's fields but result and wavelengths."""
        return self._values[_INDEX[name]]

    def load(self) -> StoredSimulationResult:
        """The full record, read from the file now (OSError if it cannot be read)."""
        return _record(self.path.read_bytes())


def _record(data: bytes) -> StoredSimulationResult:
    # Imported here: a listing that its catalog answers needs no pydantic.
    from lumora.models import StoredSimulationResult

    # What the extension does with each file it lists.
    return StoredSimulationResult.model_validate(orjson.loads(data))


def _summary_values(record: StoredSimulationResult) -> list[Any]:
    values = [getattr(record, name) for name in _FIELDS]
    values[_INDEX["hyperparameters"]] = record.hyperparameters.model_dump()
    return [*values, len(record.result), len(record.wavelengths)]


# --- conditions on identity fields ------------------------------------------------

_CONDITION = re.compile(r"\s*(?P<field>[^\s=!<>]+)\s*(?P<op>==|!=|<=|>=|=|<|>)\s*(?P<value>.*?)\s*", re.DOTALL)
_OPERATORS: dict[str, Callable[[Any, Any], bool]] = {
    "=": operator.eq,
    "==": operator.eq,
    "!=": operator.ne,
    "<": operator.lt,
    "<=": operator.le,
    ">": operator.gt,
    ">=": operator.ge,
}
# Where a summary has no such field.
MISSING: Any = type("Missing", (), {"__repr__": lambda self: "MISSING"})()


def _is_number(value: object) -> bool:
    return isinstance(value, int | float) and not isinstance(value, bool)


@dataclass(frozen=True)
class Condition:
    """A condition on a field of the summaries (see the module's documentation)."""

    field: str
    op: str
    value: Any

    def __str__(self) -> str:
        return f"{self.field}{self.op}{orjson.dumps(self.value).decode()}"

    def value_in(self, summary: Summary) -> Any:
        """The field's value in summary; MISSING where it has none."""
        head, _, rest = self.field.partition(".")
        if head in _SECTIONS:
            return _member(summary.field(head), rest.split(".")) if rest else summary.field(head)
        if head in _INDEX and not rest:
            return summary.field(head)
        for section in ("component_settings", "model_parameters"):
            found = _member(summary.field(section), self.field.split("."))
            if found is not MISSING:
                return found
        return MISSING

    def matches(self, summary: Summary) -> bool:
        actual = self.value_in(summary)
        if actual is MISSING:
            return False
        wanted, compare = self.value, _OPERATORS[self.op]
        if _is_number(actual) and _is_number(wanted):
            return compare(actual, wanted)
        same_kind = type(actual) is type(wanted) or (actual is None and wanted is None)
        if self.op in ("=", "==", "!="):
            return compare(actual, wanted) if same_kind else self.op == "!="
        return isinstance(actual, str) and isinstance(wanted, str) and compare(actual, wanted)


def _member(value: Any, keys: Sequence[str]) -> Any:
    for key in keys:
        if not isinstance(value, dict) or key not in value:
            return MISSING
        value = value[key]
    return value


def parse_condition(text: str) -> Condition:
    """A Condition from "gap=0.2", "component_settings.length>5" and the like; ValueError if it is none."""
    match = _CONDITION.fullmatch(text)
    if match is None or not all(match["field"].split(".")):
        raise ValueError(
            f"invalid condition {text!r}: give FIELD OP VALUE, such as gap=0.2 or "
            "component_settings.length>5 (OP one of = != < <= > >=)"
        )
    raw = match["value"]
    try:
        value = orjson.loads(raw)
    except orjson.JSONDecodeError:
        value = raw
    if match["op"] not in ("=", "==", "!=") and not (_is_number(value) or isinstance(value, str)):
        raise ValueError(f"invalid condition {text!r}: {match['op']} compares numbers or text")
    return Condition(match["field"], match["op"], value)


# --- reading the store ------------------------------------------------------------

Outcome = Summary | BaseException
# The catalog's row of each file of one type directory that a listing found,
# by name: (the file's entry in that listing, the row, the summary's date or
# None for a file that does not parse).
Kept = dict[str, tuple[DirEntry, bytes, bytes | None]]


class ParseFailure(ValueError):
    """A file read whole that is no valid record; reason says why, as one line."""

    def __init__(self, reason: str) -> None:
        super().__init__(reason)
        self.reason = reason


def _store_key(root: StoreDir) -> str:
    local = root.local_path()
    return f"file:{os.path.realpath(local)}" if local is not None else str(root)


def result_files(root: StoreDir, simulation_type: str | None, likely: Iterable[str] = ()) -> list[tuple[str, DirEntry]]:
    """(type directory, entry) of each name that a listing takes for a result file, as the
    extension's listing finds them (one type directory when simulation_type is given).

    likely names type directories that the root probably holds (those of the
    catalog): they are listed together with the root, and only the others
    that the root shows after it.
    """
    return _flat(_result_groups(root, simulation_type, likely))


Groups = list[tuple[str, list[DirEntry]]]  # result_files's answer by type directory


def _flat(groups: Groups) -> list[tuple[str, DirEntry]]:
    return [(directory, entry) for directory, entries in groups for entry in entries]


def _result_groups(root: StoreDir, simulation_type: str | None, likely: Iterable[str]) -> Groups:
    if simulation_type is not None:
        directory = root / simulation_type if simulation_type else root
        return _files_in([(simulation_type, directory)], root.entries_of([directory]))
    guessed = [name for name in likely if name]
    listed = root.entries_of([root, *(root / name for name in guessed)])
    if isinstance(listed[0], OSError):
        raise listed[0]
    # Only what the root shows counts: a guess that is gone is no type directory.
    early = dict(zip(guessed, listed[1:], strict=True))
    directories = [(entry.name, entry.path) for entry in listed[0] if entry.kind == "directory"]
    late = [d for name, d in directories if name not in early]
    found = iter(root.entries_of(late) if late else [])
    return _files_in(directories, [early[name] if name in early else next(found) for name, _ in directories])


def _files_in(directories: Sequence[tuple[str, StoreDir]], listings: Sequence[list[DirEntry] | OSError]) -> Groups:
    found = []
    for (name, _), entries in zip(directories, listings, strict=True):
        if isinstance(entries, NotADirectoryError):
            continue
        if isinstance(entries, OSError):
            raise entries
        found.append((name, [entry for entry in entries if entry.name.endswith(RESULT_SUFFIX)]))
    return found


def summarize(
    root: StoreDir, files: Sequence[tuple[str, DirEntry]], scope: str | None
) -> Iterator[tuple[str, DirEntry, Outcome]]:
    """(type directory, entry, its summary or why it has none) of each file, in order.

    files are what `result_files` gives for scope (one type directory, or
    None for all): catalog rows within scope that no file has any more are
    dropped. A file removed since the listing is left out.
    """
    for (directory, entry), outcome in zip(files, _outcomes(root, files, scope), strict=True):
        if not isinstance(outcome, FileNotFoundError):
            yield directory, entry, outcome


def _outcomes(root: StoreDir, files: Sequence[tuple[str, DirEntry]], scope: str | None) -> list[Outcome]:
    """What summarize gives for each file, FileNotFoundError for one removed since the listing."""
    catalog = Catalog.open(_store_key(root))
    try:
        return _summarize(root, files, catalog, catalog.rows(scope) if catalog is not None else None)
    finally:
        if catalog is not None:
            catalog.close()


def _summarize(
    root: StoreDir,
    files: Sequence[tuple[str, DirEntry]],
    catalog: Catalog | None,
    rows: dict[str, Fetched] | None,
    kept: dict[str, Kept] | None = None,
) -> list[Outcome]:
    """_outcomes's work, given the open catalog and its rows within the listing's scope.

    kept, when given, is filled with the rows that the catalog holds, after
    it, for the files listed."""
    known = rows or {}
    outcomes: list[Outcome | None] = []
    missed: list[int] = []
    dumps, crc32 = orjson.dumps, zlib.crc32
    no_rows: Fetched = {}
    names, names_of = no_rows, None  # the catalog's rows of the type directory at hand
    keep: Kept = {}
    # Written for speed: this loop runs once per result of every listing.
    for index, (directory, entry) in enumerate(files):
        if directory is not names_of:
            names, names_of = known.get(directory, no_rows), directory
            if kept is not None:
                keep = kept.setdefault(directory, {})
        outcome: Outcome | None = None
        if entry.kind != "file":
            what = "a directory" if entry.kind == "directory" else "a special file"
            outcome = OSError(f"not a regular file but {what}")
        elif names:
            try:
                key = dumps((entry.name, entry.stamp))
            except TypeError:
                key = row_key(entry.name, entry.stamp)
            found = names.pop(key, None)
            try:
                if found is not None and crc32(found) == INTACT:
                    outcome = _from_row(found, entry, directory)
                    if outcome is not None and kept is not None:  # else damaged: read again, its row replaced
                        keep[entry.name] = (entry, found, outcome._date if type(outcome) is Summary else None)
            except TypeError:  # a row of other types than this code writes: its file is read
                pass
        if outcome is None:
            missed.append(index)
        outcomes.append(outcome)

    put: list[tuple[str, Row]] = []
    reads = root.read_stamped([files[i][1].path for i in missed])
    for index, read in zip(missed, reads, strict=True):
        directory, entry = files[index]
        observe("read")
        if isinstance(read, BaseException):
            if not isinstance(read, FileNotFoundError):
                note_read_failure(entry.path, read if isinstance(read, OSError) else OSError(one_line(read)))
            outcomes[index] = read
            continue
        data, stamp = read
        try:
            values = _summary_values(_record(data))
            date = str(values[_DATE]).encode()
            written = payload(date, orjson.dumps(values), None)
            outcomes[index] = Summary(written, entry, directory, date, values)
        except Exception as exc:  # every kind of bad file is skipped alike
            outcomes[index] = ParseFailure(one_line(exc))
            written, date = payload(b"", None, one_line(exc)), None
        if root.known_version(entry.stamp, stamp):
            put.append((directory, Row(row_key(entry.name, entry.stamp), written)))
            if kept is not None:
                kept.setdefault(directory, {})[entry.name] = (entry, written, date)

    gone = [(d, key) for d, rows in known.items() for key in rows]
    if catalog is not None:
        catalog.update(put, gone)
    return outcomes  # type: ignore[return-value]  # each one filled in by now


def _listing(root: StoreDir, scope: str | None) -> tuple[Groups, list[Outcome]]:
    """The result files of scope and what summarize gives for each, in order,
    FileNotFoundError for one removed since the listing; a missing root has none."""
    # Opened before the listing, whose type directories it names; not made
    # for a store that turns out to have no results (a mistyped root, say).
    key = _store_key(root)
    remembered = _REMEMBERED.get(key)
    groups = None
    if remembered is not None and get_catalog_dir() is not None:
        groups = _result_groups(root, scope, remembered)
        outcomes = _recalled(key, groups, scope, remembered)
        if outcomes is not None:
            return groups, outcomes
    catalog = Catalog.open(key, make=False)
    try:
        rows = catalog.rows(scope) if catalog is not None else None
        if groups is None:
            groups = _result_groups(root, scope, rows or ())
        files = _flat(groups)
        if catalog is None and files:
            catalog = Catalog.open(key)
            rows = catalog.rows(scope) if catalog is not None else None
        # Kept from a process's second listing of a store on: one that lists
        # it once (the command line) does not pay for keeping its rows.
        kept: dict[str, Kept] | None = {} if key in _LISTED else None
        outcomes = _summarize(root, files, catalog, rows, kept)
    finally:
        if catalog is not None:
            catalog.close()
    if catalog is not None:
        if kept is None:
            _LISTED.add(key)
        else:
            _remember(key, scope, kept)
    return groups, outcomes


# The catalog's rows for the files that this process's last listing of each
# store found, by store, type directory and name: a later listing whose
# every file shows the stamp held here answers from them without opening
# the catalog. A row is what one version of one file summarizes to (its
# stamp is held with it), so none goes stale; what they take is bounded by
# _REMEMBERED_BYTES.
_REMEMBERED: dict[str, dict[str, Kept]] = {}
_REMEMBERED_SIZE: dict[str, int] = {}
_LISTED: set[str] = set()  # stores listed once in this process
_REMEMBERED_BYTES = 128 << 20
_REMEMBERING = threading.Lock()  # held to change them; a listing reads them without


def _remember(key: str, scope: str | None, kept: dict[str, Kept]) -> None:
    rows = kept if scope is None else {**_REMEMBERED.get(key, {}), scope: kept.get(scope, {})}
    # The names, rows and dates, and about 600 bytes a file for the rest
    # (the entry with its stamp, the objects around them, the dicts' slots).
    size = sum(
        len(name) + len(row) + len(date or b"") + 600
        for found in rows.values()
        for name, (_, row, date) in found.items()
    )
    with _REMEMBERING:
        _REMEMBERED.pop(key, None)
        _REMEMBERED_SIZE.pop(key, None)
        while _REMEMBERED and sum(_REMEMBERED_SIZE.values()) + size > _REMEMBERED_BYTES:
            oldest = next(iter(_REMEMBERED))
            del _REMEMBERED[oldest], _REMEMBERED_SIZE[oldest]
        if size <= _REMEMBERED_BYTES:
            _REMEMBERED[key], _REMEMBERED_SIZE[key] = rows, size


def _recalled(key: str, groups: Groups, scope: str | None, remembered: dict[str, Kept]) -> list[Outcome] | None:
    """What _summarize gives for the files of groups from the rows remembered,
    None when a file's stamp is not among them (new or changed: the catalog
    is asked)."""
    outcomes: list[Outcome] = []
    append = outcomes.append
    no_rows: Kept = {}
    known = 0
    # Written for speed, as _summarize's loop.
    for directory, entries in groups:
        names = remembered.get(directory, no_rows)
        for entry in entries:
            if entry.kind != "file":
                what = "a directory" if entry.kind == "directory" else "a special file"
                append(OSError(f"not a regular file but {what}"))
                known -= 1  # it has no row
                continue
            found = names.get(entry.name)
            if found is None:
                return None
            seen, row, date = found
            if seen.stamp != entry.stamp or seen.mtime != entry.mtime:
                return None
            # The entry kept tells what this one does, and is no young object
            # for the collector to go through again while the caller holds it.
            outcome = Summary(row, seen, directory, date) if date is not None else _from_row(row, seen, directory)
            if outcome is None:
                return None
            append(outcome)
        known += len(entries)
    # Every file listed was found, each under its own row: rows left over in
    # scope are of files gone since (removed, or listed under a new stamp),
    # and are dropped from the catalog as a listing that reads it drops them.
    directories = list(remembered) if scope is None else [scope] if scope in remembered else []
    if sum(len(remembered[d]) for d in directories) != known:
        _drop_gone(key, groups, directories, remembered)
    return outcomes


def _from_row(row: bytes, entry: DirEntry, directory: str) -> Outcome | None:
    """What a catalog row found intact gives for entry's file; None for a row
    of a kind this code does not write."""
    kind = row[0]
    if kind == SUMMARY_KIND:
        return Summary(row, entry, directory, row[DATE_AT : DATE_AT + int.from_bytes(row[1:DATE_AT], "little")])
    if kind == PROBLEM_KIND:
        return ParseFailure(row[1:-CRC_SIZE].decode(errors="replace"))
    return None


def _drop_gone(key: str, groups: Groups, directories: list[str], remembered: dict[str, Kept]) -> None:
    present = {(d, entry.name): entry.stamp for d, entries in groups for entry in entries if entry.kind == "file"}
    with _REMEMBERING:
        gone = [
            (d, name)
            for d in directories
            for name, (seen, _, _) in remembered[d].items()
            if present.get((d, name)) != seen.stamp
        ]
        keys = [(d, row_key(name, remembered[d].pop(name)[0].stamp)) for d, name in gone]
    catalog = Catalog.open(key, make=False)
    if catalog is not None:
        try:
            catalog.update((), keys)
        finally:
            catalog.close()


def _module_filter(summary: Summary, wanted: Sequence[tuple[int, str]]) -> bool:
    values = summary._values
    return all(values[i] == value for i, value in wanted)


def list_summaries(
    *,
    component_name: str | None = None,
    factory_name: str | None = None,
    simulation_type: str | None = None,
    pdk_name: str | None = None,
    status: str | None = None,
    where: str | Condition | Iterable[str | Condition] = (),
) -> list[Summary]:
    """The summaries of the stored results that match, newest first.

    The filters are those of `list_simulation_results` (exact equality;
    simulation_type chooses the type directory); where adds conditions on
    identity fields (texts as parsed by `parse_condition`, or Conditions),
    all of which must hold. Each file that cannot be read or parsed is
    logged as a warning, as the extension logs it, and skipped.
    """
    conditions = [
        c if isinstance(c, Condition) else parse_condition(c)
        for c in ([where] if isinstance(where, str | Condition) else where)
    ]
    with collector_paused():
        return _listed(simulation_type, conditions, component_name, factory_name, pdk_name, status)


@contextlib.contextmanager
def collector_paused() -> Iterator[None]:
    """Python's cyclic garbage collector held off during the block: a listing makes
    a few objects per result, none in a cycle, and the collector would go
    through them all again and again as they pile up."""
    if not gc.isenabled():  # the caller's own choice, or an enclosing block's
        yield
        return
    gc.disable()
    try:
        yield
    finally:
        gc.enable()


def _listed(
    simulation_type: str | None,
    conditions: list[Condition],
    component_name: str | None,
    factory_name: str | None,
    pdk_name: str | None,
    status: str | None,
) -> list[Summary]:
    root = get_simulations_dir()
    wanted = [
        (_INDEX[name], value)
        for name, value in (
            ("component_name", component_name),
            ("factory_name", factory_name),
            ("pdk_name", pdk_name),
            ("status", status),
        )
        if value is not None
    ]
    groups, outcomes = _listing(root, simulation_type)
    summaries = [outcome for outcome in outcomes if type(outcome) is Summary]
    if len(summaries) != len(outcomes):
        logger = get_logger()
        for (_, entry), outcome in zip(_flat(groups), outcomes, strict=True):
            # What is removed since the listing is no failure.
            if type(outcome) is not Summary and not isinstance(outcome, FileNotFoundError):
                logger.warning(f"{SKIPPED}{entry.path}")
    if wanted or conditions:  # else no summary needs parsing here
        summaries = [s for s in summaries if _module_filter(s, wanted) and all(c.matches(s) for c in conditions)]
    summaries.sort(key=operator.attrgetter("_date"), reverse=True)
    return summaries


def fields_of(summaries: Sequence[Summary], names: Sequence[str]) -> list[list[Any]]:
    """The values of the named fields (as `Summary.field` gives them) in each summary,
    field by field: a table's columns at one access per summary, not per cell.

    Fields that a summary has not parsed yet are parsed for this alone and
    not kept in it: a large listing's table then holds its columns only, and
    each summary's other fields are freed while they are still in the cache.
    """
    if not summaries or not names:
        return [[] for _ in names]
    pick = operator.itemgetter(*map(_INDEX.__getitem__, names), 0)  # 0: a tuple even for one name
    loads = orjson.loads
    picked = [
        pick(s._parsed if s._parsed is not None else loads(memoryview(s._payload)[DATE_AT + len(s._date) : -CRC_SIZE]))
        for s in summaries
    ]  # _text written out: a property call per summary is a fifth of this
    return [list(column) for column in itertools.islice(zip(*picked, strict=True), len(names))]


def _same_as(value: Any) -> bytes:
    """What tells values apart as their JSON does (5 from 5.0, 1 from true)."""
    return b"" if value is MISSING else orjson.dumps(value, option=orjson.OPT_SORT_KEYS)


# Values of these types that are == and of the same type have the same JSON,
# but for 0.0 and -0.0 (parsed JSON holds no NaN).
_PLAIN = frozenset({str, int, float, bool, type(None)})


def _all_same(values: list[Any]) -> bool:
    first = values[0]
    kind = type(first)
    if kind in _PLAIN and not (kind is float and first == 0.0):
        return values.count(first) == len(values) and len(set(map(type, values))) == 1
    # Each text compared with the first, none kept: orjson's hold a few KB each.
    text = _same_as(first)
    return all(_same_as(value) == text for value in values)


SETTINGS = ("component_settings", "model_parameters")


def varying_among(
    component_settings: Sequence[dict[str, Any]], model_parameters: Sequence[dict[str, Any]]
) -> list[tuple[str, list[Any]]]:
    """The settings (members of component_settings, then of model_parameters) whose
    values are not the same in all summaries, given those two fields of each
    (`SETTINGS`, as `fields_of` gives them, in one pass with the other fields
    a table shows): each as a field name that `parse_condition` takes (bare
    where no other varying setting has the key) and its value in each summary
    (`MISSING` where it has none)."""
    found: list[tuple[str, str, list[Any]]] = []
    for section, members in zip(SETTINGS, (component_settings, model_parameters), strict=True):
        for key in dict.fromkeys(itertools.chain.from_iterable(members)):
            values = [m.get(key, MISSING) for m in members]
            if not _all_same(values):
                found.append((section, key, values))
    bare = [key for _, key, _ in found]
    return [(key if bare.count(key) == 1 else f"{section}.{key}", values) for section, key, values in found]


def load_records(summaries: Sequence[Summary]) -> Iterator[StoredSimulationResult]:
    """The full records of summaries, read now, in order; a file that cannot be read
    or parsed any more is logged as a warning and skipped."""
    root: StoreDir = get_simulations_dir()
    logger = get_logger()
    for summary, read in zip(summaries, root.read_stamped([s.path for s in summaries]), strict=True):
        observe("read")
        try:
            if isinstance(read, BaseException):
                raise read
            yield _record(read[0])
        except Exception:
            logger.warning(f"{SKIPPED}{summary.path}")
