"""Text for people: escaping, widths on a terminal, dates, tables and JSON.

Names come from files that anyone may have written; whatever shows them (the
command line, the demonstration, plot labels) escapes them here first.
"""

from __future__ import annotations

import functools
import json
import re
import textwrap
import unicodedata
from collections.abc import Sequence
from datetime import UTC, date, datetime
from typing import TYPE_CHECKING, Any, NamedTuple, Protocol

# The record models (pydantic) are loaded by the one view that needs them:
# every command imports this module at start-up.
if TYPE_CHECKING:
    from lumora.models import StoredSimulationResult

__all__ = [
    "ELLIPSIS",
    "LISTED_FIELDS",
    "PROG",
    "align",
    "display_width",
    "dump",
    "format_date",
    "format_seconds",
    "format_fields",
    "format_listing",
    "format_table",
    "printable",
    "shorten",
    "summary",
]

# The command line's name, in its own messages and in the demonstration's hints.
PROG = "lumora-results"


def printable(text: str) -> str:
    """text with every character that a terminal would act on or not show
    (controls, format characters such as bidirectional overrides, separators
    other than the space, unassigned and private code points, surrogates)
    escaped as Python writes it: \\x1b, \\u202e, \\U000e0001.

    Names come from files that anyone may have written; an escape sequence in
    a component name must not recolour, retitle or rewrite the terminal.
    Backslashes are kept as they are, so that paths read as usual; --json
    gives the exact text.
    """
    if text.isprintable():
        return text
    return "".join(char if char.isprintable() else repr(char)[1:-1] for char in text)


@functools.cache  # a table's cells repeat the same few characters
def _char_width(char: str) -> int:
    if unicodedata.combining(char) or unicodedata.category(char) in ("Mn", "Me"):
        return 0  # drawn over the character before
    return 2 if unicodedata.east_asian_width(char) in ("W", "F") else 1


def display_width(text: str) -> int:
    """The columns text takes on a terminal: wide and fullwidth East Asian
    characters two, combining marks none, the rest one."""
    if text.isascii():
        return len(text)
    others = text.translate(_ASCII_DROPPED)  # in C: a cut name has just its ellipsis left
    return len(text) - len(others) + sum(_char_width(char) for char in others)


_ASCII_DROPPED = dict.fromkeys(range(128))


ELLIPSIS = "\u2026"


def shorten(text: str, width: int) -> str:
    """text cut to at most width columns, the cut marked by an ellipsis."""
    if text.isascii():
        return text if len(text) <= width else text[: max(width - 1, 0)] + ELLIPSIS
    if display_width(text) <= width:
        return text
    kept: list[str] = []
    used = 0
    for char in text:
        used += _char_width(char)
        if used > width - 1:
            break
        kept.append(char)
    return "".join(kept) + ELLIPSIS


def _pad(text: str, width: int, *, right: bool = False) -> str:
    room = " " * max(width - display_width(text), 0)
    return room + text if right else text + room


def _lines_of(pattern: str, flags: int = 0) -> re.Pattern[str]:
    """A pattern that lines, each matching pattern, match as a whole: one match
    for a column, joined by line breaks, rather than one per cell."""
    return re.compile(f"(?:(?:{pattern})\n)*(?:{pattern})", flags)


def _every(lines: re.Pattern[str], cells: Sequence[str]) -> bool:
    """Whether each of cells matches the pattern that lines was made from (_lines_of)."""
    text = "\n".join(cells)
    return text.count("\n") == len(cells) - 1 and lines.fullmatch(text) is not None


# --- tables -------------------------------------------------------------------

_COLUMNS = ("ID", "TYPE", "COMPONENT", "FACTORY", "PDK", "STATUS", "DATE (UTC)", "TIME")
# The columns of names that users choose, which may be long: the ones cut to
# fit. The others have a fixed form (the ID must stay whole to be used), but
# the date may lose its time of day.
_NAMES = (1, 2, 3, 4)
_DATE = 6
_DAY = len("2026-12-08")  # also the header's width
_DATE_TIME = re.compile(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d")  # as format_date writes it
_DATE_TIMES = _lines_of(_DATE_TIME.pattern)
_READABLE = 8  # names are cut this far before the date loses its time
_NARROWEST = 4  # three characters and the ellipsis
_GAP = "  "


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
            moment = moment.astimezone(UTC).replace(tzinfo=None)
        if moment.year >= 1000:  # isoformat pads the year where strftime may not: the same text here
            return moment.isoformat(" ", "seconds")
        return moment.strftime("%Y-%m-%d %H:%M:%S")
    return str(value)


def format_seconds(seconds: float) -> str:
    return f"{seconds:.2f} s"


class Listed(Protocol):
    """What a table row shows of a result: a record or its summary."""

    @property
    def simulation_id(self) -> str: ...
    @property
    def simulation_type(self) -> str: ...
    @property
    def component_name(self) -> str: ...
    @property
    def factory_name(self) -> str: ...
    @property
    def pdk_name(self) -> str | None: ...
    @property
    def status(self) -> str: ...
    @property
    def simulation_date(self) -> str: ...
    @property
    def execution_time_seconds(self) -> float: ...


# The fields that a table shows, in the order of its columns.
LISTED_FIELDS = (
    "simulation_id",
    "simulation_type",
    "component_name",
    "factory_name",
    "pdk_name",
    "status",
    "simulation_date",
    "execution_time_seconds",
)

# A date as saves write it, in UTC or without a zone: shown by cutting it,
# at a fraction of format_date's parse. Anything else goes through that.
_STORED_DATE = r"\d{4}-\d\d-\d\dT(?:[01]\d|2[0-3]):[0-5]\d:[0-5]\d(?:\.\d{6})?(?:\+00:00)?"
_STORED_DATES = _lines_of(_STORED_DATE, re.ASCII)


@functools.cache  # a table's dates fall on a few days
def _plain_day(day: str) -> bool:
    try:
        return date.fromisoformat(day).year >= 1000
    except ValueError:
        return False


def _dates(values: Sequence[Any]) -> list[str]:
    """format_date of each value; those as saves write them by cutting them."""
    if all(type(value) is str for value in values) and _every(_STORED_DATES, values):
        if all(map(_plain_day, {value[:_DAY] for value in values})):
            return [f"{value[:_DAY]} {value[11:19]}" for value in values]
    return [format_date(value) for value in values]


def _cells(fields: Sequence[Sequence[Any]]) -> list[list[str]]:
    """The cells of the table's columns, from the values of LISTED_FIELDS, field by field."""
    ids, types, components, factories, kits, statuses, dates, seconds = fields
    return [
        [*map(str, ids)],
        [*map(str, types)],
        [*map(str, components)],
        [*map(str, factories)],
        ["-" if kit is None else kit for kit in kits],
        [*map(str, statuses)],
        _dates(dates),
        [f"{value:.2f} s" for value in seconds],  # format_seconds without a call per cell
    ]


def _narrow(widths: list[int], excess: int, floor: int) -> int:
    """Take up to excess columns off the name columns, the widest first, none
    below floor; return what is still in excess."""
    while excess > 0:
        widest = max(_NAMES, key=lambda i: widths[i])
        if widths[widest] <= floor:
            break
        widths[widest] -= 1
        excess -= 1
    return excess


def _fit(widths: list[int], width: int) -> list[int]:
    """Column widths narrowed to a table of at most width columns: the names
    cut, the widest first; the date cut to its day when names would otherwise
    go below a readable length (a terminal narrower than the fixed columns
    gets a table a little wider than itself)."""
    widths = list(widths)

    def excess() -> int:
        return sum(widths) + len(_GAP) * (len(widths) - 1) - width

    if _narrow(list(widths), excess(), _READABLE) > 0 and widths[_DATE] > _DAY:
        widths[_DATE] = _DAY
    _narrow(widths, excess(), _NARROWEST)
    return widths


def _cut(column: int, text: str, width: int) -> str:
    if column == _DATE and width == _DAY and _DATE_TIME.fullmatch(text):
        return text[:_DAY]
    return shorten(text, width)


def format_table(records: Sequence[Listed], *, width: int | None = None) -> str:
    """The records as a plain aligned table, one line per record, in the given order.

    Names are shown escaped (printable) and aligned by the columns they take
    on a terminal. With a width, long names are shortened with an ellipsis,
    and the date to its day if need be, so that lines fit in it; without,
    nothing is cut.
    """
    return format_listing(records, width=width)[0]


class _Column(NamedTuple):
    cells: list[str]  # the header first, each shown escaped (printable)
    ascii: bool
    width: int  # of the widest cell, in columns on a terminal


def _column_of(cells: list[str]) -> _Column:
    # One test of the whole column for each question: a few hundred thousand
    # cells in a listing of the whole store, nearly always printable ASCII.
    text = "".join(cells)
    if not text.isprintable():
        cells = [printable(cell) for cell in cells]
        text = "".join(cells)
    if text.isascii():
        return _Column(cells, True, max(map(len, cells)))
    return _Column(cells, False, max(map(display_width, cells)))


def format_listing(
    records: Sequence[Listed], extra: Sequence[tuple[str, Sequence[str]]] = (), *, width: int | None = None
) -> tuple[str, int]:
    """As format_table, with extra columns (a header and a cell per record) after
    the others: as many as fit in width beside names of a readable length (all
    without a width). Returns the table and how many extra columns were left out."""
    return format_fields([[getattr(record, name) for record in records] for name in LISTED_FIELDS], extra, width=width)


def format_fields(
    fields: Sequence[Sequence[Any]], extra: Sequence[tuple[str, Sequence[str]]] = (), *, width: int | None = None
) -> tuple[str, int]:
    """As format_listing, from the values of LISTED_FIELDS of each record, field by
    field, rather than from the records: one pass per column, not a call per cell."""
    columns = [_column_of([header, *cells]) for header, cells in zip(_COLUMNS, _cells(fields), strict=True)]
    widths = [column.width for column in columns]
    added = [_column_of([header, *cells]) for header, cells in extra]
    extra_widths = [column.width for column in added]
    shown = len(added)
    if width is not None:
        # Settings that tell the results apart come before the time of day.
        least = sum(min(w, _READABLE if i in _NAMES else _DAY if i == _DATE else w) for i, w in enumerate(widths))
        least += len(_GAP) * (len(widths) - 1)
        while shown and least + sum(extra_widths[:shown]) + len(_GAP) * shown > width:
            shown -= 1
        widths = _fit(widths, width - sum(extra_widths[:shown]) - len(_GAP) * shown)
    table = _lay_out([*columns, *added[:shown]], [*widths, *extra_widths[:shown]], cut=True, right=len(_COLUMNS) - 1)
    return table, len(added) - shown


def align(rows: Sequence[Sequence[str]]) -> str:
    """Rows of cells (the first a header) as aligned columns, shown escaped;
    the last column is a number."""
    columns = [_column_of([*cells]) for cells in zip(*rows, strict=True)]
    return _lay_out(columns, [column.width for column in columns])


def _cut_to(column: int, text: str, width: int) -> str:
    shown = _cut(column, text, width)
    if text.isascii() and width and len(shown) == width:
        return shown  # ASCII cut to width: it fills the column already
    return _pad(shown, width)


def _laid(shown: _Column, width: int, column: int, *, cut: bool, right: bool) -> list[str]:
    """The cells of a column padded to width; with cut, those wider cut to it (_cut)."""
    cells, ascii_ = shown.cells, shown.ascii
    if right:
        return [c.rjust(width) for c in cells] if ascii_ else [_pad(c, width, right=True) for c in cells]
    if not cut:
        return [c.ljust(width) for c in cells] if ascii_ else [_pad(c, width) for c in cells]
    if ascii_ and column == _DATE and width == _DAY and _every(_DATE_TIMES, cells[1:]):
        return [_cut_to(column, cells[0], width), *(c[:_DAY] for c in cells[1:])]
    if ascii_ and column != _DATE:  # shorten() of ASCII text, which then fills its column
        return [c.ljust(width) if len(c) <= width else c[: max(width - 1, 0)] + ELLIPSIS for c in cells]
    return [c.ljust(width) if c.isascii() and len(c) <= width else _cut_to(column, c, width) for c in cells]


def _lay_out(columns: Sequence[_Column], widths: Sequence[int], *, cut: bool = False, right: int = -1) -> str:
    """Columns of cells (each headed by its header) as aligned lines."""
    right %= len(widths)  # a column of numbers, which line up on the right
    # Column by column, whole columns at once where they are plain ASCII: a
    # listing of the whole store has a few hundred thousand cells.
    laid = [
        _laid(column, w, i, cut=cut, right=i == right)
        for i, (column, w) in enumerate(zip(columns, widths, strict=True))
    ]
    return "\n".join(map(str.rstrip, map(_GAP.join, zip(*laid, strict=True))))


def _json_escape(char: str) -> str:
    code = ord(char)
    if code > 0xFFFF:  # JSON escapes beyond the basic plane as a surrogate pair
        code -= 0x10000
        return f"\\u{0xD800 + (code >> 10):04x}\\u{0xDC00 + (code & 0x3FF):04x}"
    return f"\\u{code:04x}"


def dump(value: Any) -> str:
    """value as indented JSON, every character that printable() would escape
    written as a JSON escape instead (the same document, safe on a terminal).

    The json module escapes control characters below U+0020 itself, so what
    is left of them can only stand inside strings, where a \\u escape means
    the same character.
    """
    lines = json.dumps(value, indent=2, ensure_ascii=False).split("\n")
    return "\n".join(
        line if line.isprintable() else "".join(c if c.isprintable() else _json_escape(c) for c in line)
        for line in lines
    )


# --- one result at a glance -----------------------------------------------------

# Beyond this many series the summary counts the rest: a 16-port matrix has 256.
_SUMMARY_SERIES = 20


def _json_line(value: Any) -> str:
    return json.dumps(value, ensure_ascii=False)


def _hyperparameters(record: StoredSimulationResult) -> str:
    # Only what a run set: the defaults say nothing about this result.
    from lumora.models import SimulationHyperparameters

    defaults = SimulationHyperparameters().model_dump()
    changed = [f"{k}={_json_line(v)}" for k, v in record.hyperparameters.model_dump().items() if defaults[k] != v]
    return f"{', '.join(changed)} (the rest default)" if changed else "all default"


def _level(value: float, decibels: bool) -> str:
    return f"{value:.2f}" if decibels else f"{value:.4g}"


def summary(record: StoredSimulationResult, *, width: int = 80) -> str:
    """One stored result in a screenful: its identity, metadata, and each series with its range.

    Lines are escaped (printable) and cut to width columns; the full record
    is ``dump(record.model_dump(mode="json"))``.
    """
    kit = " ".join(part for part in (record.pdk_name or "-", record.pdk_version) if part)
    fields = [
        ("ID", record.simulation_id),
        ("Component", f"{record.component_name} (factory {record.factory_name})"),
        ("Type", str(record.simulation_type)),
        ("Status", str(record.status)),
    ]
    if record.error_message:
        fields.append(("Error", record.error_message))
    fields += [
        ("Design kit", kit),
        (
            "Simulated",
            f"{format_date(record.simulation_date)} UTC in {format_seconds(record.execution_time_seconds)}"
            f" (lumora {record.lumora_version})",
        ),
        ("Settings", _json_line(record.component_settings)),
        ("Model parameters", _json_line(record.model_parameters)),
        ("Hyperparameters", _hyperparameters(record)),
    ]
    wavelengths = record.wavelengths
    if wavelengths:
        low, high = min(wavelengths), max(wavelengths)
        fields.append(("Wavelengths", f"{len(wavelengths)} points, {low:.6g} to {high:.6g} µm"))
    label_width = max(len(label) for label, _ in fields)
    lines = []
    for label, value in fields:
        # Wrapped, not cut, where the end says something: why a run failed,
        # which hyperparameters it set. Settings are cut: --json has them whole.
        room = max(width - label_width - 2, 20)
        wrapped = textwrap.wrap(printable(value), room, max_lines=3, placeholder=f" {ELLIPSIS}")
        if label not in ("Error", "Hyperparameters") or len(wrapped) < 2:
            wrapped = [printable(value)]
        lines.append(f"{label.ljust(label_width)}  {wrapped[0]}")
        lines.extend(" " * (label_width + 2) + more for more in wrapped[1:])

    from lumora.series import result_series

    found = result_series(record)
    if found:
        unit = " ([re, im] pairs as |s|² in dB)" if any(series.is_complex for series in found) else ""
        lines.append(f"Series: {len(found)}{unit}")
        shown = found[:_SUMMARY_SERIES]
        key_width = max(display_width(printable(series.key)) for series in shown)
        for series in shown:
            levels, db = series.levels(), series.is_complex
            key = _pad(printable(series.key), key_width)
            lines.append(f"  {key}  {_level(min(levels), db)} to {_level(max(levels), db)}{' dB' if db else ''}")
        if len(found) > len(shown):
            lines.append(f"  {ELLIPSIS} and {len(found) - len(shown)} more")
    others = [key for key in record.result if key not in {series.key for series in found}]
    if others:
        lines.append(printable(f"Other members: {', '.join(others)}"))
    lines.append(f"Full record: {PROG} show --json {record.simulation_id}")
    return "\n".join(shorten(line, width) for line in lines)
