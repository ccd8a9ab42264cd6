"""Keeping a store in shape: how big it is, removing old results, removing strays.

- `stats()` counts the results of the store (per simulation type, design kit
  and status), their bytes and dates, the files named like results that
  cannot be read, the temporary files that interrupted saves left and the
  lock files and leases of simulations.
- `prune(...)` removes the results that its options select (by age, status,
  type, kit, component, count or size); `clear(...)` every result that the
  listing filters select.
- `tidy(...)` removes stray temporary files older than a safe age, lock
  files that no one holds and leases that expired.

All three work on the store that `lumora.settings.get_simulations_dir()`
names, on the local disk or on an object store. Each removal takes the very
file that was read and judged, by its path, and only if it is still that
file right before: one saved again meanwhile stays. Files that cannot be read
are reported, never removed; `tidy` removes nothing but temporary files,
lock files and leases.
"""

from __future__ import annotations

import re
import time
from collections import Counter
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass, field, replace
from datetime import UTC, datetime, timedelta
from decimal import Decimal
from typing import TYPE_CHECKING, Any, Literal, TypeVar, cast

from lumora import _reclaim as reclaim
from lumora._lease import LeaseRecord
from lumora._lockfile import lock_file, remove_lock_file
from lumora.layout import LEASE_FILE, LOCK_FILE, RESULT_SUFFIX, TEMPORARY_FILE
from lumora.logger import one_line
from lumora.paths import DirEntry, Stamp, StoreDir, local_stamp
from lumora.progress import progress
from lumora.settings import get_simulations_dir
from lumora.summaries import ParseFailure, Summary, collector_paused, summarize

if TYPE_CHECKING:
    from lumora.models import SimulationStatus  # pydantic's import is no part of the command line's start-up

__all__ = [
    "DEFAULT_TIDY_AGE",
    "FileProblem",
    "PruneReport",
    "ResultFile",
    "StoreStats",
    "TemporaryFile",
    "TidyReport",
    "TypeStats",
    "clear",
    "parse_age",
    "parse_size",
    "prune",
    "stats",
    "tidy",
]

# Older than any save still in progress: a save writes its temporary file and
# moves it into place within a second, even on an object store.
DEFAULT_TIDY_AGE = timedelta(hours=1)

# What became of a file that upkeep set out to remove.
_Outcome = Literal["removed", "vanished", "changed"]


# --- what the reports hold ----------------------------------------------------


@dataclass(frozen=True, slots=True)
class ResultFile:
    """One stored result as upkeep sees it: its record's key fields and its file."""

    simulation_id: str
    simulation_type: str  # the type directory it lies in, as listings filter it
    component_name: str
    factory_name: str
    pdk_name: str | None
    status: SimulationStatus
    simulation_date: str
    bytes: int
    path: str
    # simulation_date as a moment in UTC; None when it is no ISO 8601 date.
    moment: datetime | None = field(default=None, repr=False, compare=False)


@dataclass(frozen=True, slots=True)
class FileProblem:
    """A file that could not be read as a result (it is never removed) or could not be removed."""

    path: str
    reason: str


@dataclass(frozen=True, slots=True)
class TemporaryFile:
    """A temporary file left by a save, or a simulation's lock file or lease, found beside the results."""

    path: str
    bytes: int
    modified: datetime | None  # None where the file system does not tell


@dataclass(frozen=True, slots=True)
class TypeStats:
    results: int
    bytes: int


@dataclass(frozen=True)
class StoreStats:
    """What a store holds. Dates are the stored `simulation_date` texts."""

    root: str
    results: int
    bytes: int  # of the result files
    by_type: dict[str, TypeStats]
    by_pdk: dict[str | None, int]  # None: results saved without a design kit
    by_status: dict[str, int]
    oldest: str | None
    newest: str | None
    unreadable: int
    temporary_files: int
    temporary_bytes: int
    unreadable_files: tuple[FileProblem, ...] = ()
    lock_files: int = 0  # on the local disk: of simulations running, or of holders that died
    lease_files: int = 0  # on object stores: of simulations running, or expired

    def to_json(self) -> dict[str, Any]:
        """The figures as JSON-ready values; a missing design kit is keyed "-"."""
        return {
            "root": self.root,
            "results": self.results,
            "bytes": self.bytes,
            "by_type": {name: {"results": t.results, "bytes": t.bytes} for name, t in self.by_type.items()},
            "by_pdk": {("-" if pdk is None else pdk): count for pdk, count in self.by_pdk.items()},
            "by_status": dict(self.by_status),
            "oldest": self.oldest,
            "newest": self.newest,
            "unreadable": self.unreadable,
            "unreadable_files": [{"path": u.path, "reason": u.reason} for u in self.unreadable_files],
            "temporary_files": self.temporary_files,
            "temporary_bytes": self.temporary_bytes,
            "lock_files": self.lock_files,
            "lease_files": self.lease_files,
        }


class _Removal:
    """The byte counts of a report's selected and removed files."""

    selected: tuple[ResultFile | TemporaryFile, ...]
    removed: tuple[ResultFile | TemporaryFile, ...]

    @property
    def selected_bytes(self) -> int:
        return sum(item.bytes for item in self.selected)

    @property
    def removed_bytes(self) -> int:
        return sum(item.bytes for item in self.removed)


@dataclass(frozen=True)
class PruneReport(_Removal):
    """What prune selected and what became of it.

    `selected` is what the options chose, oldest first; after a dry run or a
    declined confirmation `removed` is empty. `vanished` were removed by
    someone else meanwhile; `changed` were saved again (or otherwise
    changed) since they were read, and are left in place.
    """

    selected: tuple[ResultFile, ...]
    removed: tuple[ResultFile, ...]
    vanished: tuple[ResultFile, ...]
    failed: tuple[FileProblem, ...]
    unreadable: tuple[FileProblem, ...]
    results: int  # readable results the store held before
    dry_run: bool
    changed: tuple[ResultFile, ...] = ()


@dataclass(frozen=True)
class TidyReport(_Removal):
    """What tidy selected (temporary files old enough, lock files no one holds, leases expired)
    and what became of it.

    `changed`: changed since they were judged (a lock file taken meanwhile),
    left in place.
    """

    selected: tuple[TemporaryFile, ...]
    removed: tuple[TemporaryFile, ...]
    vanished: tuple[TemporaryFile, ...]
    failed: tuple[FileProblem, ...]
    # Temporary files younger than the age, lock files held and leases not
    # expired: perhaps saves or simulations in progress.
    recent: int
    dry_run: bool
    changed: tuple[TemporaryFile, ...] = ()


# --- sizes and ages -----------------------------------------------------------

_SIZE = re.compile(r"\s*(\d+(?:\.\d*)?|\.\d+)\s*([a-z]*)\s*", re.IGNORECASE)
# fmt: off
_SIZE_UNITS = {
    "": 1, "b": 1,
    "kb": 10**3, "mb": 10**6, "gb": 10**9, "tb": 10**12, "pb": 10**15,
    "kib": 2**10, "mib": 2**20, "gib": 2**30, "tib": 2**40, "pib": 2**50,
}
# fmt: on
_AGE = re.compile(r"\s*(\d+(?:\.\d*)?|\.\d+)\s*([a-z]+)\s*", re.IGNORECASE)
_AGE_UNITS = {"s": 1, "m": 60, "h": 3600, "d": 86400, "w": 7 * 86400}


def parse_size(text: str) -> int:
    """Bytes from "5GB" (decimal units), "500MiB" (binary units) or "1048576".

    Raises ValueError naming what is accepted.
    """
    match = _SIZE.fullmatch(text)
    unit = match.group(2).lower() if match else ""
    if match is None or unit not in _SIZE_UNITS:
        raise ValueError(
            f"invalid size {text!r}: give bytes, or a number with a unit such as 5GB, 500MB, 2GiB or 500MiB"
        )
    return int(Decimal(match.group(1)) * _SIZE_UNITS[unit])  # exact, however long the number


def parse_age(text: str) -> timedelta:
    """A timedelta from "90d", "12h", "30m", "45s" or "2w".

    Raises ValueError naming what is accepted.
    """
    match = _AGE.fullmatch(text)
    if match is None or match.group(2).lower() not in _AGE_UNITS:
        raise ValueError(f"invalid age {text!r}: give a number with a unit, such as 90d, 12h, 30m, 45s or 2w")
    seconds = float(match.group(1)) * _AGE_UNITS[match.group(2).lower()]
    # Beyond what timedelta holds, an age means "older than anything" all the same.
    return timedelta(seconds=min(seconds, timedelta.max.total_seconds() - 86400))


def _as_age(value: timedelta | str | None, name: str) -> timedelta | None:
    age = parse_age(value) if isinstance(value, str) else value
    if age is not None and age < timedelta(0):
        raise ValueError(f"{name} must not be negative")
    return age


# --- walking the store --------------------------------------------------------


@dataclass
class _Scan:
    """The store's type directories and what lies in them, from one listing each."""

    root: StoreDir
    types: list[str] = field(default_factory=list)
    result_files: list[tuple[str, DirEntry]] = field(default_factory=list)  # (type, entry)
    temporaries: list[DirEntry] = field(default_factory=list)
    locks: list[DirEntry] = field(default_factory=list)  # only where there are OS locks: on the local disk
    leases: list[DirEntry] = field(default_factory=list)


def _scan(root: StoreDir, only: str | None = None) -> _Scan:
    """The store below root; only the type directory named only, when given."""
    scan = _Scan(root)
    local = root.local_path() is not None
    for directory in root.entries():
        if directory.kind != "directory" or only not in (None, directory.name):
            continue  # files beside the type directories are not part of the store; nor types not asked for
        scan.types.append(directory.name)
        for entry in directory.path.entries():
            if entry.name.endswith(RESULT_SUFFIX):
                scan.result_files.append((directory.name, entry))
            elif entry.kind == "file" and TEMPORARY_FILE.fullmatch(entry.name):
                scan.temporaries.append(entry)
            elif entry.kind == "file" and not entry.size and local and LOCK_FILE.fullmatch(entry.name):
                scan.locks.append(entry)
            elif entry.kind == "file" and LEASE_FILE.fullmatch(entry.name):
                scan.leases.append(entry)
    return scan


# --- reading results ----------------------------------------------------------


@dataclass(frozen=True, slots=True)
class _Judged:
    """A file as it was when upkeep judged it: what removal checks again right before it."""

    path: StoreDir
    stamp: Stamp
    lock: bool = False  # a lock file, which is removed only by taking its lock


_Fetched = tuple[str, DirEntry, tuple[bytes, _Judged] | BaseException]


def _fetch(root: StoreDir, files: list[tuple[str, DirEntry]]) -> Iterator[_Fetched]:
    """(type, entry, its content and the file as read, or why it could not be read) of each file."""
    read = root.read_stamped([entry.path for _, entry in files if entry.kind == "file"])
    for simulation_type, entry in files:
        if entry.kind != "file":
            what = "a directory" if entry.kind == "directory" else "a special file"
            yield simulation_type, entry, OSError(f"not a regular file but {what}")
            continue
        outcome = next(read)
        if isinstance(outcome, BaseException):
            yield simulation_type, entry, outcome
        else:
            yield simulation_type, entry, (outcome[0], _Judged(entry.path, outcome[1]))


def _moment(text: str) -> datetime | None:
    try:
        moment = datetime.fromisoformat(text)
    except ValueError:
        return None
    return moment if moment.tzinfo else moment.replace(tzinfo=UTC)


def _result_file(simulation_type: str, entry: DirEntry, record: Summary) -> ResultFile:
    return ResultFile(
        simulation_id=record.simulation_id,
        simulation_type=simulation_type,
        component_name=record.component_name,
        factory_name=record.factory_name,
        pdk_name=record.pdk_name,
        status=cast("SimulationStatus", record.status),
        simulation_date=record.simulation_date,
        bytes=entry.size,
        path=str(entry.path),
        moment=_moment(record.simulation_date),
    )


def _read(scan: _Scan) -> tuple[list[ResultFile], list[FileProblem], dict[str, _Judged]]:
    """The readable results, the unreadable files, and each result's file as judged (by its path).

    Summaries are enough: a file is read only when the catalog has none for
    its present stamp, and it is judged by that stamp.
    """
    results: list[ResultFile] = []
    unreadable: list[FileProblem] = []
    judged: dict[str, _Judged] = {}
    summaries = summarize(scan.root, scan.result_files, None)
    for simulation_type, entry, outcome in progress(
        summaries, total=len(scan.result_files), description="Reading results"
    ):
        if not isinstance(outcome, Summary):
            reason = outcome.reason if isinstance(outcome, ParseFailure) else one_line(outcome)
            unreadable.append(FileProblem(str(entry.path), reason))
            continue
        assert entry.stamp is not None  # a regular file's
        result = _result_file(simulation_type, entry, outcome)
        results.append(result)
        judged[result.path] = _Judged(entry.path, entry.stamp)
    return results, unreadable, judged


# --- stats --------------------------------------------------------------------


def _age_order(result: ResultFile) -> tuple[datetime, str]:
    # Oldest first; a record without a readable date sorts as the newest, so
    # that limits remove it last.
    return (result.moment or datetime.max.replace(tzinfo=UTC), result.path)


def stats() -> StoreStats:
    """Count what the store holds, reading every result once."""
    root = get_simulations_dir()
    scan = _scan(root)
    results, unreadable, _ = _read(scan)
    by_type = {name: TypeStats(0, 0) for name in sorted(scan.types)}
    for r in results:
        t = by_type[r.simulation_type]
        by_type[r.simulation_type] = TypeStats(t.results + 1, t.bytes + r.bytes)
    dated = sorted((r for r in results if r.moment is not None), key=_age_order)
    return StoreStats(
        root=str(root),
        results=len(results),
        bytes=sum(r.bytes for r in results),
        by_type=by_type,
        by_pdk=dict(Counter(r.pdk_name for r in results).most_common()),
        by_status=dict(Counter(r.status for r in results).most_common()),
        oldest=dated[0].simulation_date if dated else None,
        newest=dated[-1].simulation_date if dated else None,
        unreadable=len(unreadable),
        temporary_files=len(scan.temporaries),
        temporary_bytes=sum(t.size for t in scan.temporaries),
        unreadable_files=tuple(unreadable),
        lock_files=len(scan.locks),
        lease_files=len(scan.leases),
    )


# --- prune --------------------------------------------------------------------


def _select(
    results: list[ResultFile],
    *,
    older_than: timedelta | None = None,
    status: str | None = None,
    simulation_type: str | None = None,
    pdk_name: str | None = None,
    component_name: str | None = None,
    factory_name: str | None = None,
    max_count: int | None = None,
    max_size: int | None = None,
) -> list[ResultFile]:
    """What the options remove, oldest first; every result without options."""
    cutoff = None  # "0d" selects everything
    if older_than:
        try:
            cutoff = datetime.now(UTC) - older_than
        except OverflowError:  # before the first year: nothing is that old
            cutoff = datetime.min.replace(tzinfo=UTC)

    def chosen(r: ResultFile) -> bool:
        if cutoff is not None and (r.moment is None or r.moment >= cutoff):
            return False  # an undated record is never taken for old
        wanted = (status, simulation_type, pdk_name, component_name, factory_name)
        actual = (r.status, r.simulation_type, r.pdk_name, r.component_name, r.factory_name)
        return all(w is None or w == a for w, a in zip(wanted, actual, strict=True))

    selected = sorted(filter(chosen, results), key=_age_order)
    if max_count is None and max_size is None:
        return selected
    doomed = selected[: max(len(selected) - max_count, 0)] if max_count is not None else []
    if max_size is not None:
        left = sum(r.bytes for r in results) - sum(r.bytes for r in doomed)
        for r in selected[len(doomed) :]:
            if left <= max_size:
                break
            doomed.append(r)
            left -= r.bytes
    return doomed


def _remove_lock(judged: _Judged, *, remove: bool = True) -> _Outcome | None:
    """Takes the lock of a lock file without waiting, removing the file if remove.

    "changed" while someone holds it; "vanished" if it is no longer the file
    judged; None if it is free (and removed, if remove).
    """
    path = judged.path.local_path()
    assert path is not None  # lock files are looked for on the local disk only
    with lock_file(path) as held:
        if held is None:
            return "changed"
        if local_stamp(held) != judged.stamp:
            # Taking the lock made the file anew, or someone did who does not
            # hold it yet: as its holder, take it away again.
            remove_lock_file(path, held)
            return "vanished"
        if remove:
            remove_lock_file(path, held)
        return None


def _lock_state(judged: _Judged) -> _Outcome | None:
    """As _remove_lock, removing nothing; one out of this process's reach counts as held."""
    try:
        return _remove_lock(judged, remove=False)
    except OSError:
        return "changed"


def _remove(judged: _Judged) -> _Outcome:
    """Removes the file by its path, if it is still the file judged."""
    try:
        if judged.lock:
            return _remove_lock(judged) or "removed"
        return "removed" if judged.path.remove_if_unchanged(judged.stamp) else "changed"
    except FileNotFoundError:
        return "vanished"


_Removable = TypeVar("_Removable", ResultFile, TemporaryFile)


def _remove_all(
    items: Iterable[_Removable], judged: dict[str, _Judged], description: str
) -> tuple[list[_Removable], list[_Removable], list[_Removable], list[FileProblem]]:
    """Remove each item; (removed, vanished meanwhile, changed meanwhile, failed)."""
    outcomes: dict[_Outcome, list[_Removable]] = {"removed": [], "vanished": [], "changed": []}
    failed: list[FileProblem] = []
    for item in progress(items, description=description):
        try:
            outcomes[_remove(judged[item.path])].append(item)
        except OSError as exc:
            failed.append(FileProblem(item.path, one_line(exc)))
    reclaim.settle()  # the space is back when the report says the files went
    return outcomes["removed"], outcomes["vanished"], outcomes["changed"], failed


def _asks(confirm: Callable[[Any], bool] | None, plan: Any) -> bool:
    return confirm is None or bool(confirm(plan))


_Report = TypeVar("_Report", PruneReport, TidyReport)


def _done(plan: _Report, outcome: tuple[list[Any], list[Any], list[Any], list[FileProblem]]) -> _Report:
    removed, vanished, changed, failed = map(tuple, outcome)
    return replace(plan, removed=removed, vanished=vanished, changed=changed, failed=failed, dry_run=False)


def prune(
    *,
    older_than: timedelta | str | None = None,
    status: SimulationStatus | None = None,
    simulation_type: str | None = None,
    pdk_name: str | None = None,
    component_name: str | None = None,
    factory_name: str | None = None,
    max_count: int | None = None,
    max_size: int | str | None = None,
    dry_run: bool = False,
    confirm: Callable[[PruneReport], bool] | None = None,
) -> PruneReport:
    """Remove the results that the options select; they combine.

    older_than (a timedelta or "90d", "12h", "30m"; "0d" selects everything)
    selects by `simulation_date`; status, simulation_type, pdk_name,
    component_name and factory_name select by equality. Of what they select,
    max_count keeps the newest N and max_size (bytes, or "5GB", "500MiB")
    removes the oldest until the store's results take at most that much. At
    least one option must be given: prune() alone removes nothing by accident.

    dry_run removes nothing. confirm, when given, is called with the plan (a
    dry-run report) before anything is removed; a false answer removes nothing.
    Each selected file is removed by its path, if it is still the file that
    was read; one saved again since is left in place (`changed`). Files that
    cannot be read are reported, never removed.
    """
    age = _as_age(older_than, "older_than")
    limit = parse_size(max_size) if isinstance(max_size, str) else max_size
    options = (age, status, simulation_type, pdk_name, component_name, factory_name, max_count, limit)
    if all(option is None for option in options):
        raise ValueError('prune needs at least one option to select results (older_than="0d" selects all)')
    if status is not None and status not in ("success", "error"):
        raise ValueError(f"status must be 'success' or 'error', not {status!r}")
    for name, value in (("max_count", max_count), ("max_size", limit)):
        if value is not None and value < 0:
            raise ValueError(f"{name} must not be negative")

    return _remove_selected(
        _scan(get_simulations_dir()),
        dry_run,
        confirm,
        older_than=age,
        status=status,
        simulation_type=simulation_type,
        pdk_name=pdk_name,
        component_name=component_name,
        factory_name=factory_name,
        max_count=max_count,
        max_size=limit,
    )


def _remove_selected(
    scan: _Scan, dry_run: bool, confirm: Callable[[PruneReport], bool] | None, **options: Any
) -> PruneReport:
    """Reads the results of scan and removes what _select's options select."""
    # A record per result stays until the end: the collector would walk them all again and again.
    with collector_paused():
        results, unreadable, judged = _read(scan)
        selected = _select(results, **options)
        plan = PruneReport(tuple(selected), (), (), (), tuple(unreadable), len(results), dry_run=True)
        if dry_run or not selected or not _asks(confirm, plan):
            return replace(plan, dry_run=dry_run)
        return _done(plan, _remove_all(selected, judged, "Removing results"))


def clear(
    *,
    simulation_type: str | None = None,
    component_name: str | None = None,
    factory_name: str | None = None,
    pdk_name: str | None = None,
    confirm: Callable[[PruneReport], bool] | None = None,
) -> PruneReport:
    """Remove every result that these filters select, all of them without
    filters: what the module's ``clear_simulation_results`` selects.

    Each file is read once and removed by its path as `prune` removes, with
    `confirm` as there; files that cannot be read are reported, never removed.
    """
    scan = _scan(get_simulations_dir(), simulation_type)
    filters = {"pdk_name": pdk_name, "component_name": component_name, "factory_name": factory_name}
    return _remove_selected(scan, False, confirm, simulation_type=simulation_type, **filters)


# --- tidy ---------------------------------------------------------------------


def _read_leases(scan: _Scan) -> Iterator[tuple[str, tuple[_Judged, LeaseRecord | None]]]:
    """(path, (the lease as read, what it says)) of each lease still there."""
    files = [("", entry) for entry in scan.leases]
    for _, entry, read in _fetch(scan.root, files):
        if not isinstance(read, BaseException):
            yield str(entry.path), (read[1], LeaseRecord.parse(read[0]))


def tidy(
    *,
    older_than: timedelta | str = DEFAULT_TIDY_AGE,
    dry_run: bool = False,
    confirm: Callable[[TidyReport], bool] | None = None,
) -> TidyReport:
    """Remove the temporary files that interrupted saves left behind, unused lock files and expired leases.

    Only files named as a save names its temporary file
    (".<name>.<host>-<16 hex digits>.tmp", in a type directory) and last modified
    more than older_than ago (default one hour: a save in progress keeps its
    file) are removed; and, on the local disk, the lock files of
    simulations that no one holds (of any age: whoever takes one after it
    is removed takes a new one); and, on object stores, the leases of
    simulations whose expiry has passed (one whose content cannot be read as
    a lease goes by its age, as a temporary file). dry_run and confirm as
    for `prune`.
    """
    age = _as_age(older_than, "older_than")
    if age is None:
        raise TypeError('older_than must be an age, such as timedelta(hours=1) or "1h"')
    cutoff = time.time() - age.total_seconds()
    scan = _scan(get_simulations_dir())
    selected: list[TemporaryFile] = []
    judged: dict[str, _Judged] = {}
    recent = 0
    leases = dict(_read_leases(scan))
    found = [(e, "temporary") for e in scan.temporaries] + [(e, "lease") for e in scan.leases]
    for entry, kind in found + [(e, "lock") for e in scan.locks]:
        assert entry.stamp is not None  # a regular file's
        candidate = _Judged(entry.path, entry.stamp, lock=kind == "lock")
        record = None
        if kind == "lease":
            if str(entry.path) not in leases:
                continue  # gone, or unreadable: nothing to judge it by
            # Judged by what was read, and removed only if still that.
            candidate, record = leases[str(entry.path)]
        if kind == "lock":
            state = _lock_state(candidate)
            if state == "vanished":
                continue
            in_use = state == "changed"
        elif record is not None:
            in_use = not record.expired()
        else:
            # Where the file system gives no date the file is taken for
            # recent, unless any age will do.
            in_use = bool(age) and (entry.mtime is None or entry.mtime > cutoff)
        if in_use:
            recent += 1
            continue
        modified = datetime.fromtimestamp(entry.mtime, UTC) if entry.mtime is not None else None
        temporary = TemporaryFile(str(entry.path), entry.size, modified)
        selected.append(temporary)
        judged[temporary.path] = candidate
    plan = TidyReport(tuple(selected), (), (), (), recent, dry_run=True)
    if dry_run or not selected or not _asks(confirm, plan):
        return replace(plan, dry_run=dry_run)
    return _done(plan, _remove_all(selected, judged, "Removing temporary files"))
