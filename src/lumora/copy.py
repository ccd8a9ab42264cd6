"""Copying result files from one store to another, byte for byte.

A result re-saved elsewhere would get the saving machine's design-kit
version, lumora version and date; a copy keeps the file as it is, so that a
team's store holds exactly what was computed on a laptop. Results are
selected by listing the source store with the usual filters; their files are
then read and written whole through the stores' path classes, local disk and
object storage alike.

Each file is written to a temporary name beside its result name (the shape
that `lumora.upkeep.tidy` removes when a copy dies half-way) and moved onto
the result name in one step, so the target shows the old file or the new
one, whole, never part of one.
"""

from __future__ import annotations

import os
from dataclasses import dataclass, field
from typing import TYPE_CHECKING

from lumora import layout
from lumora.layout import result_name, storable
from lumora.logger import one_line
from lumora.paths import DirEntry
from lumora.progress import progress, store_progress
from lumora.settings import STORE_ENV, environ, get_simulations_dir
from lumora.summaries import list_summaries

if TYPE_CHECKING:
    from lumora.paths import LocalStorePath
    from lumora.remote import StorePath

    Root = LocalStorePath | StorePath

__all__ = ["CopyReport", "copy_results", "store_at"]

READING = "Reading results"
COPYING = "Copying results"


@dataclass(frozen=True)
class CopyReport:
    """What a copy did, each file named by its path below the store root
    ("<simulation type>/<file name>")."""

    source: str
    target: str
    copied: tuple[str, ...] = ()
    skipped: tuple[str, ...] = ()  # the target already held the same bytes
    refused: tuple[str, ...] = ()  # the target holds a different file of that name
    failed: tuple[tuple[str, str], ...] = ()  # (file, why)

    @property
    def complete(self) -> bool:
        """Whether every selected file is now in the target as in the source."""
        return not self.refused and not self.failed


@dataclass
class _Tally:
    copied: list[str] = field(default_factory=list)
    skipped: list[str] = field(default_factory=list)
    refused: list[str] = field(default_factory=list)
    failed: list[tuple[str, str]] = field(default_factory=list)


def store_at(where: str | os.PathLike[str] | None) -> Root:
    """The store root that where names (a path or a URL), as LUMORA_SIMULATIONS_DIR
    would; None for the store the settings name.

    ImportError without the packages a URL needs, ValueError for a URL that
    names no store.
    """
    with environ(STORE_ENV, _text(where)):
        return get_simulations_dir()


def copy_results(
    to: str | os.PathLike[str],
    *,
    source: str | os.PathLike[str] | None = None,
    overwrite: bool = False,
    simulation_type: str | None = None,
    component_name: str | None = None,
    factory_name: str | None = None,
    pdk_name: str | None = None,
    status: str | None = None,
) -> CopyReport:
    """Copy the result files that the filters select from source (default: the
    store the settings name) to the store at to, byte for byte.

    A file that the target already holds with the same bytes is skipped; one
    that the target holds with other bytes is refused unless overwrite is
    given. A file that cannot be read or written is reported as failed and
    the others are still copied. Filters as for list_simulation_results.
    """
    source_root, target_root = store_at(source), store_at(to)
    with environ(STORE_ENV, _text(source)), store_progress(("read", READING, None)):
        # Summaries, from the catalog where it is current: the bytes are read
        # below anyway, and a full parse of every record would read each twice.
        records = list_summaries(
            simulation_type=simulation_type,
            component_name=component_name,
            factory_name=factory_name,
            pdk_name=pdk_name,
            status=status,
        )
    tally = _Tally()
    files: set[tuple[str, str]] = set()
    for record in records:
        name = result_name(record.component_name, record.simulation_id)
        if storable(record.simulation_type, record.component_name):
            files.add((record.simulation_type, name))
        else:
            # A hand-written record whose names would lead out of its type directory.
            tally.failed.append((f"{record.simulation_type}/{name}", "names that no result file can have"))
    # What each target directory holds, from one listing of it when its first file comes.
    listed: dict[str, dict[str, DirEntry] | Exception] = {}
    for directory, name in progress(sorted(files), total=len(files), description=COPYING):
        shown = f"{directory}/{name}"
        try:
            if directory not in listed:
                listed[directory] = _prepare(target_root / directory)
            present = listed[directory]
            if isinstance(present, Exception):
                raise present
            data = (source_root / directory / name).read_bytes()
            verdict = _judge(data, present.get(name), overwrite)
            if verdict == "write":
                _write_atomically(target_root / directory / name, data)
                tally.copied.append(shown)
            else:
                getattr(tally, verdict).append(shown)
        except Exception as exc:
            tally.failed.append((shown, one_line(exc)))
    return CopyReport(
        str(source_root),
        str(target_root),
        tuple(tally.copied),
        tuple(tally.skipped),
        tuple(tally.refused),
        tuple(tally.failed),
    )


def _text(where: str | os.PathLike[str] | None) -> str | None:
    return None if where is None else os.fspath(where)


def _prepare(directory: Root) -> dict[str, DirEntry] | Exception:
    """The entries of a target type directory, made if missing; or why it cannot be written to."""
    try:
        present = {entry.name: entry for entry in directory.entries()}
        directory.mkdir(parents=True, exist_ok=True)
    except Exception as exc:
        return exc
    return present


def _judge(data: bytes, there: DirEntry | None, overwrite: bool) -> str:
    """What becomes of data about to be copied where there stands: "write", "skipped" or "refused"."""
    if there is None:
        return "write"
    if there.kind != "file":
        raise FileExistsError("the target holds a directory or special file of that name")
    # Sizes first: a different size needs no read of the target.
    if there.size == len(data) and there.path.read_bytes() == data:
        return "skipped"
    return "write" if overwrite else "refused"


def _write_atomically(path: Root, data: bytes) -> None:
    temporary = path.with_name(layout.temporary_name(path.name))
    try:
        temporary.write_bytes(data)
        temporary.replace(path)  # type: ignore[arg-type]  # both of one class, which mypy cannot see
    except BaseException:
        # An interruption (^C) included: nothing half-written stays behind.
        try:
            temporary.unlink(missing_ok=True)
        except Exception:
            pass  # tidy removes it later by its name
        raise
