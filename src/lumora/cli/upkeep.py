"""stats, prune, tidy: keeping a store in shape at the command line (see lumora.upkeep)."""

from __future__ import annotations

import argparse
import sys
from collections.abc import Callable, Iterable
from datetime import timedelta
from typing import TYPE_CHECKING

from lumora.cli._arguments import add_filters, filters
from lumora.cli._messages import complain, store_is_missing
from lumora.cli._terminal import confirm, stdin_is_terminal
from lumora.settings import get_simulations_dir
from lumora.text import PROG, align, dump, format_date, printable

# lumora.upkeep (its locks and leases) is imported by these commands when they
# run, so that the others start without it.
if TYPE_CHECKING:
    from lumora import upkeep

_SELECTING = ("--older-than", "--status", "--type", "--pdk", "--component", "--factory", "--max-count", "--max-size")


# --- arguments and presentation -----------------------------------------------


def _argument(parse: Callable[[str], object]) -> Callable[[str], object]:
    """An argparse type from a parser that raises ValueError: bad input is a usage error."""

    def convert(text: str) -> object:
        try:
            return parse(text)
        except ValueError as exc:
            raise argparse.ArgumentTypeError(str(exc)) from None

    convert.__name__ = parse.__name__.removeprefix("parse_")  # argparse names it in messages
    return convert


def _count(text: str) -> int:
    if not text.strip().isdigit():
        raise ValueError(f"invalid count {text!r}: give a whole number, 0 or more")
    return int(text)


def format_bytes(size: int) -> str:
    """Bytes in decimal units, three significant figures: "950 B", "4.37 kB", "12.3 MB"."""
    if size < 1000:
        return f"{size} B"
    value = float(size)
    for unit in ("kB", "MB", "GB", "TB", "PB"):
        value /= 1000
        if value < 999.5 or unit == "PB":
            return f"{value:.3g} {unit}" if value < 100 else f"{value:.0f} {unit}"
    raise AssertionError("unreachable")


def _tally(counts: Iterable[tuple[str, str]]) -> str:
    return ", ".join(f"{name} {figure}" for name, figure in counts) or "-"


def report_unreadable(files: tuple[upkeep.FileProblem, ...]) -> None:
    for item in files:
        complain(f"warning: cannot read {item.path} ({item.reason}); left in place")


def report_failures(failures: tuple[upkeep.FileProblem, ...]) -> int:
    for failure in failures:
        complain(f"error: could not remove {failure.path}: {failure.reason}")
    return 1 if failures else 0


def format_age(age: timedelta) -> str:
    """An age in the largest unit that divides it: "90d", "12h", "30m", "45s"."""
    seconds = age.total_seconds()
    for unit, length in (("d", 86400), ("h", 3600), ("m", 60)):
        if seconds and seconds % length == 0:
            return f"{seconds / length:.0f}{unit}"
    return f"{seconds:g}s"


def _asker(yes: bool) -> tuple[Callable[[str, str], bool], list[str]]:
    """A yes/no for the library's confirm hook, and where it notes a refusal or a no."""
    outcome: list[str] = []

    def ask(what: str, question: str) -> bool:
        if yes:
            return True
        # As clear: an answer waiting on a script's stdin must not count.
        if not stdin_is_terminal():
            complain(f"refusing to remove {what} without confirmation; use --yes")
            outcome.append("refused")
            return False
        if not confirm(question):
            print("Nothing removed.")
            outcome.append("declined")
            return False
        return True

    return ask, outcome


# --- commands -----------------------------------------------------------------


def _cmd_stats(args: argparse.Namespace) -> int:
    from lumora import upkeep

    if store_is_missing():
        return 1
    figures = upkeep.stats()
    if args.json:
        print(dump(figures.to_json()))
        return 0
    by_type = [(name, f"{t.results} ({format_bytes(t.bytes)})") for name, t in figures.by_type.items()]
    lines = [f"Store: {figures.root}", f"Results: {figures.results} ({format_bytes(figures.bytes)})"]
    if figures.oldest is not None and figures.newest is not None:
        lines.append(f"  dates (UTC): {format_date(figures.oldest)} to {format_date(figures.newest)}")
    lines += [
        f"  by type:     {_tally(by_type)}",
        f"  by kit:      {_tally(('-' if k is None else k, str(n)) for k, n in figures.by_pdk.items())}",
        f"  by status:   {_tally((s, str(n)) for s, n in figures.by_status.items())}",
        f"Unreadable files: {figures.unreadable}",
    ]
    lines += [f"  {item.path}: {item.reason}" for item in figures.unreadable_files]
    hint = "; remove old ones with: lumora-results tidy" if figures.temporary_files else ""
    lines.append(f"Temporary files: {figures.temporary_files} ({format_bytes(figures.temporary_bytes)}){hint}")
    lines.append(f"Lock files: {figures.lock_files}")
    if figures.lease_files:
        lines.append(f"Leases: {figures.lease_files}")
    # Line by line, so that a newline in a name is shown escaped too.
    print("\n".join(map(printable, lines)))
    return 0


def _result_table(results: Iterable[upkeep.ResultFile]) -> str:
    rows = [("ID", "TYPE", "COMPONENT", "PDK", "STATUS", "DATE (UTC)", "SIZE")]
    rows += [
        (
            r.simulation_id,
            r.simulation_type,
            r.component_name,
            "-" if r.pdk_name is None else r.pdk_name,
            r.status,
            format_date(r.simulation_date),
            format_bytes(r.bytes),
        )
        for r in results
    ]
    return align(rows)


def _cmd_prune(args: argparse.Namespace) -> int:
    from lumora import upkeep

    options = {**filters(args, status=True), "older_than": args.older_than}
    options.update(max_count=args.max_count, max_size=args.max_size)
    if all(value is None for value in options.values()):
        # A usage error, worded as argparse words its own: removing everything
        # takes saying so (--older-than 0d).
        print(args.usage(), end="", file=sys.stderr)
        message = f"give at least one of {', '.join(_SELECTING)} (--older-than 0d selects every result)"
        print(f"{PROG} prune: error: {message}", file=sys.stderr)
        return 2
    if store_is_missing():
        return 1
    ask, outcome = _asker(args.yes)
    warned = []

    def confirm_plan(plan: upkeep.PruneReport) -> bool:
        report_unreadable(plan.unreadable)  # before the question, which they may change
        warned.append(True)
        what = f"{len(plan.selected)} simulation result(s)"
        size = format_bytes(plan.selected_bytes)
        return ask(what, f"Remove {what} ({size}) of {plan.results} from {get_simulations_dir()}? [y/N] ")

    report = upkeep.prune(**options, dry_run=args.dry_run, confirm=confirm_plan)
    if not warned:
        report_unreadable(report.unreadable)
    if report.dry_run:
        if report.selected:
            print(_result_table(report.selected))
        print(
            f"Would remove {len(report.selected)} of {report.results} simulation result(s), "
            f"{format_bytes(report.selected_bytes)}."
        )
        return 0
    if outcome:
        return 1
    if not report.selected:
        print("No simulation results to prune.")
        return 0
    print(f"Removed {len(report.removed)} simulation result(s), {format_bytes(report.removed_bytes)}.")
    report_left(report)
    return report_failures(report.failed)


def report_left(report: upkeep.PruneReport) -> None:
    if report.vanished:
        print(f"{len(report.vanished)} selected result(s) had already gone.")
    if report.changed:
        print(f"{len(report.changed)} selected result(s) changed since they were read (saved again?): left in place.")


def _cmd_tidy(args: argparse.Namespace) -> int:
    from lumora import upkeep

    if store_is_missing():
        return 1
    ask, outcome = _asker(args.yes)
    if args.older_than is None:
        args.older_than = upkeep.DEFAULT_TIDY_AGE

    def confirm_plan(plan: upkeep.TidyReport) -> bool:
        what = f"{len(plan.selected)} temporary or lock file(s)"
        size, age = format_bytes(plan.selected_bytes), format_age(args.older_than)
        return ask(what, f"Remove {what} ({size}) older than {age} from {get_simulations_dir()}? [y/N] ")

    report = upkeep.tidy(older_than=args.older_than, dry_run=args.dry_run, confirm=confirm_plan)
    recent = (
        f"; {report.recent} newer or held one(s) left, perhaps saves or simulations in progress"
        if report.recent
        else ""
    )
    if report.dry_run:
        for item in report.selected:
            print(printable(item.path))
        print(
            f"Would remove {len(report.selected)} temporary or lock file(s), {format_bytes(report.selected_bytes)}{recent}."
        )
        return 0
    if outcome:
        return 1
    if not report.selected:
        print(f"No temporary or lock files to remove{recent}.")
        return 0
    print(f"Removed {len(report.removed)} temporary or lock file(s), {format_bytes(report.removed_bytes)}{recent}.")
    return report_failures(report.failed)


def _parse_age(text: str) -> timedelta:
    from lumora.upkeep import parse_age

    return parse_age(text)


def _parse_size(text: str) -> int:
    from lumora.upkeep import parse_size

    return parse_size(text)


def register(add: Callable[[str, str], argparse.ArgumentParser]) -> None:
    age = _argument(_parse_age)

    sub = add("stats", "Count the results, bytes, dates, unreadable, temporary and lock files of the store.")
    sub.add_argument("--json", action="store_true", help="print one JSON object")
    sub.set_defaults(handler=_cmd_stats)

    sub = add("prune", "Remove the results that the options select (they combine).")
    sub.add_argument("--older-than", type=age, metavar="AGE", help="saved more than AGE ago: 90d, 12h, 30m (0d: all)")
    add_filters(sub, status=True)
    sub.add_argument("--max-count", type=_argument(_count), metavar="N", help="keep the N newest of the selection")
    sub.add_argument(
        "--max-size",
        type=_argument(_parse_size),
        metavar="SIZE",
        help="remove the oldest selected until the store's results take at most SIZE: 5GB, 500MiB, bytes",
    )
    sub.add_argument("--dry-run", action="store_true", help="list what would be removed; remove nothing")
    sub.add_argument("-y", "--yes", action="store_true", help="do not ask for confirmation")
    sub.set_defaults(handler=_cmd_prune, usage=sub.format_usage)

    sub = add(
        "tidy", "Remove temporary files that interrupted saves left behind, lock files no one holds and expired leases."
    )
    sub.add_argument(
        "--older-than",
        type=age,
        metavar="AGE",
        default=None,  # lumora.upkeep's DEFAULT_TIDY_AGE
        help="only files last modified more than AGE ago (default 1h, so that saves in progress keep theirs)",
    )
    sub.add_argument("--dry-run", action="store_true", help="list what would be removed; remove nothing")
    sub.add_argument("-y", "--yes", action="store_true", help="do not ask for confirmation")
    sub.set_defaults(handler=_cmd_tidy)
