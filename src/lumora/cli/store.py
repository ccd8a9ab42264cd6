"""list, show, delete, clear: the store's own operations at the command line."""

from __future__ import annotations

import argparse
import logging
import os
import re
import sys
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any

import orjson

from lumora.cli._arguments import add_filters, add_where, filters, simulation_id
from lumora.cli._messages import complain, not_stored, store_is_missing
from lumora.cli._terminal import confirm, stdin_is_terminal, terminal_width
from lumora.cli.upkeep import report_failures, report_left, report_unreadable
from lumora.layout import RESULT_FILE, RESULT_SUFFIX
from lumora.logger import get_logger, one_line
from lumora.paths import read_failures
from lumora.progress import progress_shown, store_progress
from lumora.settings import get_simulations_dir
from lumora.summaries import (
    MISSING,
    SETTINGS,
    Summary,
    collector_paused,
    fields_of,
    list_summaries,
    load_records,
    varying_among,
)
from lumora.text import LISTED_FIELDS, dump, format_fields, summary

if TYPE_CHECKING:
    from lumora import upkeep

# The extension and lumora.upkeep are imported by the commands that use them:
# loading the extension (and the record models it brings) would double what a
# listing of summaries takes.

# What the store logs, as a warning, for each file a listing skips, whether
# it could not be read or not be parsed; the command line says the first so.
_SKIPPED = "Failed to parse simulation file: "
_UNREAD = "Could not read simulation file: "


READING = "Reading results"


def _files_to_read(simulation_type: str | None) -> int | None:
    """How many files a listing reads, where the store can tell cheaply; otherwise None.

    On local disk that is one directory scan per type, a small fraction of
    the reading; elsewhere it would be more requests, so the count stays open.
    Only a bar's total: a file added or removed meanwhile makes it off by one.
    """
    if not progress_shown():
        return None
    root = get_simulations_dir().local_path()
    if root is None:
        return None
    try:
        if simulation_type is not None:
            type_dirs = [root / simulation_type]
        else:
            type_dirs = [entry for entry in root.iterdir() if entry.is_dir()]
        return sum(_json_names(type_dir) for type_dir in type_dirs if type_dir.is_dir())
    except OSError:  # the listing itself says what is wrong
        return None


def _json_names(directory: Path) -> int:
    # What the listing's glob("*.json") finds there.
    with os.scandir(directory) as entries:
        return sum(1 for entry in entries if entry.name.endswith(RESULT_SUFFIX))


def _cell(value: Any) -> str:
    if value is MISSING:
        return "-"
    return value if isinstance(value, str) else orjson.dumps(value).decode()


def _print_records(summaries: list[Summary]) -> None:
    """The full records as one JSON array, each read and written in turn (a store's
    worth of records never in memory at once)."""
    if not summaries:
        print("[]")
        return
    print("[")
    for index, record in enumerate(load_records(summaries)):
        text = dump(record.model_dump(mode="json")).replace("\n", "\n  ")
        print(("  " if index == 0 else ",\n  ") + text, end="")
    print("\n]")


def _cmd_list(args: argparse.Namespace) -> int:
    if store_is_missing():
        return 1
    if args.json:
        summaries = _summaries(args)
        with store_progress(("read", READING, len(summaries))):
            _print_records(summaries)
        return 0
    # Held off until the summaries are dropped: many small objects, no cycles,
    # which the collector would otherwise go through once or twice for nothing.
    with collector_paused():
        _print_table(_summaries(args), wide=args.wide)
    return 0


def _summaries(args: argparse.Namespace) -> list[Summary]:
    with _skipped_files() as skipped, store_progress(("read", READING, None)):
        summaries = list_summaries(**filters(args, status=True), where=args.where)
    if said := skipped.said("skipped"):
        complain(said)
    return summaries


def _print_table(summaries: list[Summary], *, wide: bool) -> None:
    if not summaries:
        print("No simulation results.")
        return
    *fields, settings, parameters = fields_of(summaries, (*LISTED_FIELDS, *SETTINGS))
    extra = [(name, [_cell(value) for value in values]) for name, values in varying_among(settings, parameters)]
    table, hidden = format_fields(fields, extra, width=None if wide else terminal_width())
    sys.stdout.write(table + "\n")  # one write of the whole table
    if hidden:
        complain(f"{hidden} more setting(s) vary among these results; --wide shows them")


def _cmd_show(args: argparse.Namespace) -> int:
    from lumora.core import simulation_storage as storage

    if store_is_missing():
        return 1
    record = storage.load_simulation_result(args.simulation_id)
    if record is None:
        not_stored(args.simulation_id)
        return 1
    if args.json:
        print(dump(record.model_dump(mode="json")))
    else:
        print(summary(record, width=terminal_width()))
    return 0


def _cmd_delete(args: argparse.Namespace) -> int:
    from lumora.core import simulation_storage as storage

    if store_is_missing():
        return 1
    if not storage.delete_simulation_result(args.simulation_id):
        not_stored(args.simulation_id)
        return 1
    print(f"Deleted simulation result {args.simulation_id}.")
    return 0


def _describe(chosen: dict[str, str | None]) -> str:
    labels = {"simulation_type": "type", "component_name": "component", "factory_name": "factory", "pdk_name": "kit"}
    given = [f"{labels[key]} {value}" for key, value in chosen.items() if value is not None]
    return f" ({', '.join(given)})" if given else ""


@dataclass
class _Skipped:
    """The files that listings skipped, as the store names them."""

    unread: set[str] = field(default_factory=set)
    unparsed: set[str] = field(default_factory=set)

    def said(self, what: str, component_name: str | None = None) -> str:
        """How many files were skipped, as "<n> file(s) <what>: " and the
        count of each kind, of those that could hold a result of
        component_name when one is given; "" when there are none."""
        unread, unparsed = (
            [p for p in paths if _may_match(p, component_name)] for paths in (self.unread, self.unparsed)
        )
        if not unread and not unparsed:
            return ""
        kinds = [f"{len(paths)} could not be {how}" for paths, how in ((unread, "read"), (unparsed, "parsed")) if paths]
        return f"{len(unread) + len(unparsed)} file(s) {what}: {', '.join(kinds)}"


@contextmanager
def _skipped_files() -> Iterator[_Skipped]:
    """Collects the files that listings within the block skip.

    The store words each as a parse failure; one whose read failed (after
    the object store's retries) is shown as a read failure instead, with why.
    """
    skipped = _Skipped()
    logger = get_logger()

    def sort_out(record: logging.LogRecord) -> bool | logging.LogRecord:
        message = record.getMessage()
        if not message.startswith(_SKIPPED):
            return True
        path = message.removeprefix(_SKIPPED)
        failure = failures.pop(path, None)  # the store says so right after the read
        if failure is None:
            skipped.unparsed.add(path)
            return True
        skipped.unread.add(path)
        shown = logging.makeLogRecord(record.__dict__)
        shown.msg, shown.args = f"{_UNREAD}{path}: {failure.strerror or one_line(failure)}", None
        return shown

    with read_failures() as failures:
        logger.addFilter(sort_out)
        try:
            yield skipped
        finally:
            logger.removeFilter(sort_out)


def _may_match(path: str, component_name: str | None) -> bool:
    """Whether an unreadable result file could be one that the filters select:
    its name tells its component (its directory, the simulation type, is
    already the filter's when one is given), nothing tells its factory or kit."""
    match = RESULT_FILE.fullmatch(re.split(r"[\\/]", path)[-1])
    return component_name is None or match is None or match["component"] == component_name


def _cmd_clear(args: argparse.Namespace) -> int:
    from lumora import upkeep

    chosen = filters(args, status=False)
    if store_is_missing():
        return 1
    refused: list[bool] = []

    def confirm_plan(plan: upkeep.PruneReport) -> bool:
        report_unreadable(plan.unreadable)  # before the question, which they may change
        count = len(plan.selected)
        if args.yes:
            return True
        refused.append(True)
        if not stdin_is_terminal():
            # A script that forgot --yes must not wipe a store because some
            # input happened to be waiting on its stdin.
            complain(f"refusing to clear {count} simulation result(s) without confirmation; use --yes")
            return False
        if not confirm(f"Delete {count} simulation result(s){_describe(chosen)} from {get_simulations_dir()}? [y/N] "):
            print("Nothing deleted.")
            return False
        refused.clear()
        return True

    # Each file is read once and removed by its path, if it is still the file read.
    report = upkeep.clear(**chosen, confirm=confirm_plan)
    if refused:
        return 1
    if not report.selected:
        report_unreadable(report.unreadable)
        print("No simulation results to clear.")
    else:
        print(f"Removed {len(report.removed)} simulation result(s).")
        report_left(report)
    # Those unreadable are no results, so their staying is said but is no
    # failure: a bare count of what went would pass for an emptied store.
    stayed = _Skipped(unread={item.path for item in report.unreadable})
    if said := stayed.said("stayed in the store", chosen["component_name"]):
        complain(said)
    return report_failures(report.failed)


def register(add: Callable[[str, str], argparse.ArgumentParser]) -> None:
    sub = add("list", "List stored results, newest first, with the settings that vary among them.")
    add_filters(sub, status=True)
    add_where(sub)
    sub.add_argument("--json", action="store_true", help="print a JSON array of the records")
    sub.add_argument(
        "--wide", action="store_true", help="show names whole (by default they are shortened to fit the terminal)"
    )
    sub.set_defaults(handler=_cmd_list)

    sub = add("show", "Summarise one stored result: identity, metadata and the range of each series.")
    sub.add_argument("simulation_id", metavar="ID", type=simulation_id)
    sub.add_argument("--json", action="store_true", help="print the whole record as JSON")
    sub.set_defaults(handler=_cmd_show)

    sub = add("delete", "Delete one stored result.")
    sub.add_argument("simulation_id", metavar="ID", type=simulation_id)
    sub.set_defaults(handler=_cmd_delete)

    sub = add("clear", "Delete every result that matches the filters (all of them without filters).")
    add_filters(sub, status=False)
    sub.add_argument("-y", "--yes", action="store_true", help="do not ask for confirmation")
    sub.set_defaults(handler=_cmd_clear)
