"""What the command groups of lumora-results share: messages, filters, formatting."""

from __future__ import annotations

import argparse
import json
import logging
import os
import re
import sys
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from datetime import UTC, datetime
from typing import Any

from lumora.logger import get_logger
from lumora.logger import one_line as one_line  # shared with the library's reports
from lumora.models import StoredSimulationResult

PROG = "lumora-results"

# The extension reads these through the settings at every call, so setting
# them around a call is how one invocation points it elsewhere.
STORE_ENV = "LUMORA_SIMULATIONS_DIR"
PDK_ENV = "LUMORA_PDK"

_ID_PATTERN = re.compile(r"[0-9a-f]{16}")


# --- plumbing -----------------------------------------------------------------


@contextmanager
def environ(name: str, value: str | None) -> Iterator[None]:
    """Set one environment variable for the duration of a block; None leaves it alone."""
    if value is None:
        yield
        return
    previous = os.environ.get(name)
    os.environ[name] = value
    try:
        yield
    finally:
        if previous is None:
            os.environ.pop(name, None)
        else:
            os.environ[name] = previous


class _OneLineFormatter(logging.Formatter):
    def format(self, record: logging.LogRecord) -> str:
        return f"{PROG}: {record.levelname.lower()}: {record.getMessage()}"


@contextmanager
def log_to_stderr(debug: bool) -> Iterator[None]:
    """Show the store's messages on stderr while the command runs.

    The library only installs a NullHandler; a command-line tool decides where
    messages go. Everything is put back afterwards so that repeated calls of
    main() in one process (tests, embedding) do not pile up handlers.
    """
    logger = get_logger()
    level = logging.DEBUG if debug else logging.WARNING
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(_OneLineFormatter())
    handler.setLevel(level)
    previous_level = logger.level
    if logger.getEffectiveLevel() > level:
        logger.setLevel(level)
    logger.addHandler(handler)
    try:
        yield
    finally:
        logger.removeHandler(handler)
        logger.setLevel(previous_level)


def complain(message: str) -> None:
    print(f"{PROG}: {message}", file=sys.stderr)


def stdin_is_terminal() -> bool:
    try:
        return sys.stdin is not None and sys.stdin.isatty()
    except (AttributeError, ValueError, OSError):
        return False


def confirm(question: str) -> bool:
    """Ask a yes/no question on the terminal; only "y" or "yes" is a yes."""
    print(question, end="", flush=True)
    return sys.stdin.readline().strip().lower() in ("y", "yes")


# --- presentation -------------------------------------------------------------

_COLUMNS = ("ID", "TYPE", "COMPONENT", "FACTORY", "PDK", "STATUS", "DATE (UTC)", "TIME")


def format_date(value: object) -> str:
    """ISO text as stored, shown to the second in UTC; anything unexpected as is."""
    moment = value
    if isinstance(value, str):
        try:
            moment = datetime.fromisoformat(value)
        except ValueError:
            return value
    if isinstance(moment, datetime):
        if moment.tzinfo is not None:
            moment = moment.astimezone(UTC)
        return moment.strftime("%Y-%m-%d %H:%M:%S")
    return str(value)


def format_seconds(seconds: float) -> str:
    return f"{seconds:.2f} s"


def _row(record: StoredSimulationResult) -> tuple[str, ...]:
    return (
        record.simulation_id,
        str(record.simulation_type),
        record.component_name,
        record.factory_name,
        record.pdk_name if record.pdk_name is not None else "-",
        str(record.status),
        format_date(record.simulation_date),
        format_seconds(record.execution_time_seconds),
    )


def format_table(records: Sequence[StoredSimulationResult]) -> str:
    """The records as a plain aligned table, one line per record, in the given order."""
    return align([_COLUMNS, *(_row(record) for record in records)])


def align(rows: Sequence[Sequence[str]]) -> str:
    """Rows of cells (the first a header) as aligned columns; the last column is a number."""
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    lines = []
    for row in rows:
        cells = [cell.ljust(width) for cell, width in zip(row[:-1], widths[:-1], strict=True)]
        cells.append(row[-1].rjust(widths[-1]))  # numbers line up on the right
        lines.append("  ".join(cells).rstrip())
    return "\n".join(lines)


def dump(value: Any) -> str:
    return json.dumps(value, indent=2, ensure_ascii=False)


# --- arguments ----------------------------------------------------------------


def simulation_id(text: str) -> str:
    """An argparse type: a well-formed ID, lower-cased.

    A look-up matches file names with a glob, so "*" would pick an arbitrary
    result: only well-formed IDs get through.
    """
    candidate = text.strip().lower()
    if not _ID_PATTERN.fullmatch(candidate):
        raise argparse.ArgumentTypeError(f"{text!r} is not a simulation ID (16 hexadecimal digits)")
    return candidate


def add_filters(parser: argparse.ArgumentParser, *, status: bool) -> None:
    parser.add_argument("--type", dest="simulation_type", metavar="TYPE", help="only this simulation type")
    parser.add_argument("--component", dest="component_name", metavar="NAME", help="only this component")
    parser.add_argument("--factory", dest="factory_name", metavar="NAME", help="only this factory")
    parser.add_argument("--pdk", dest="pdk_name", metavar="NAME", help="only this design kit")
    if status:
        parser.add_argument("--status", choices=("success", "error"), help="only results with this status")


def filters(args: argparse.Namespace, *, status: bool) -> dict[str, str | None]:
    """The filter options as keyword arguments of the store's listing functions."""
    chosen: dict[str, str | None] = {
        "component_name": args.component_name,
        "factory_name": args.factory_name,
        "simulation_type": args.simulation_type,
        "pdk_name": args.pdk_name,
    }
    if status:
        chosen["status"] = args.status
    return chosen
