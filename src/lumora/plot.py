"""Plots of stored simulation results against wavelength.

``plot_results`` draws every series of one or more results on matplotlib axes
and returns them, for notebooks; ``lumora-results plot`` draws with it too.
A series is a member of a record's ``result`` holding one value per
wavelength: plain numbers are drawn as they are, ``[re, im]`` pairs (complex
S-parameters) as the power ``|s|^2`` in dB, or as the magnitude ``|s|``.

Needs matplotlib, which comes with the optional extra: ``pip install 'lumora[plot]'``.
"""

from __future__ import annotations

import sys
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from datetime import UTC, datetime
from itertools import cycle
from typing import TYPE_CHECKING, Any, Literal, overload

from lumora.models import StoredSimulationResult
from lumora.text import printable

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

__all__ = [
    "INSTALL_HINT",
    "PlotError",
    "Series",
    "drawable_series",
    "new_figure",
    "plot_results",
    "require_matplotlib",
]

INSTALL_HINT = "pip install 'lumora[plot]'"

Records = StoredSimulationResult | Mapping[str, Any] | Iterable[StoredSimulationResult | Mapping[str, Any]]

# Results are told apart by line style, series by colour.
_LINE_STYLES = ("-", "--", ":", "-.")
# Up to this many wavelengths each sample gets a marker: a coarse sweep
# should not pass for a smooth curve.
_MARKER_LIMIT = 30
# Inches; at 100 dots per inch a PNG of 1100 x 500 pixels (1100 x 750 with the phase).
_FIGURE_SIZE = (11.0, 5.0)
_PHASE_FIGURE_SIZE = (11.0, 7.5)
# Inches taken by one legend entry at the "small" font, and by the rest of
# the panel around the legend.
_LEGEND_ROW = 0.2
_LEGEND_MARGIN = 0.8
# More real series than this and the y label stops naming them.
_NAMED_KEYS_LIMIT = 3
# Names are anyone's text: drawn as written, never as mathtext or TeX.
_LITERAL: dict[str, Any] = {"parse_math": False, "usetex": False}
# Axes lay values out in float64 arithmetic on their span, margins and tick
# steps, which overflows (and matplotlib fails) for values near the largest
# double; an eighth of it still draws, this leaves room to spare.
_LARGEST = sys.float_info.max / 16


class PlotError(ValueError):
    """Nothing sensible to draw: a failed simulation, a result without series, a series not there."""


@dataclass(frozen=True)
class Series:
    """One drawable member of a result: real numbers, or complex values from ``[re, im]`` pairs."""

    key: str
    values: tuple[float, ...] | tuple[complex, ...]
    is_complex: bool


def require_matplotlib() -> None:
    """Raise ImportError, naming the extra to install, when matplotlib is missing."""
    try:
        import matplotlib  # noqa: F401
    except ImportError as exc:
        raise ImportError(
            f"plotting needs matplotlib, which is not installed; install it with: {INSTALL_HINT}"
        ) from exc


def _is_number(value: object) -> bool:
    # bool is an int to Python, but True is no sample of a curve.
    return isinstance(value, int | float) and not isinstance(value, bool)


def _as_series(key: str, value: object, count: int) -> Series | None:
    if not isinstance(value, list | tuple) or len(value) != count or count == 0:
        return None
    if all(_is_number(item) for item in value):
        return Series(key, tuple(float(item) for item in value), is_complex=False)
    if all(isinstance(item, list | tuple) and len(item) == 2 and all(map(_is_number, item)) for item in value):
        return Series(key, tuple(complex(re, im) for re, im in value), is_complex=True)
    return None


def _where(record: StoredSimulationResult) -> str:
    return f"{record.simulation_id} ({record.component_name}, {record.simulation_type})"


def drawable_series(record: StoredSimulationResult, keys: Iterable[str] | None = None) -> list[Series]:
    """The series of ``record`` that can be drawn against its wavelengths, in result order.

    ``keys`` keeps only the members of those names. Raises PlotError when the
    record is a failed simulation or nothing of it can be drawn.
    """
    wanted = None if keys is None else set(keys)
    where = _where(record)
    if record.status == "error":
        reason = f": {record.error_message}" if record.error_message else ""
        raise PlotError(f"{where} is a failed simulation, nothing to draw{reason}")
    count = len(record.wavelengths)
    if count == 0:
        raise PlotError(f"{where} has no wavelengths to draw against")
    found = []
    for key, value in record.result.items():
        if wanted is not None and key not in wanted:
            continue
        series = _as_series(key, value, count)
        if series is not None:
            found.append(series)
    if not found:
        which = "" if wanted is None else f" {', '.join(sorted(wanted))}"
        raise PlotError(f"{where} has no series{which} of {count} numbers or [re, im] pairs, one per wavelength")
    return found


def _records(records: Records) -> list[StoredSimulationResult]:
    if isinstance(records, StoredSimulationResult | Mapping):
        records = [records]
    return [
        record if isinstance(record, StoredSimulationResult) else StoredSimulationResult.model_validate(record)
        for record in records
    ]


def _day(date: str) -> str:
    try:
        return datetime.fromisoformat(date).astimezone(UTC).date().isoformat()
    except ValueError:
        return date


def _title(records: Sequence[StoredSimulationResult]) -> str:
    kits = dict.fromkeys(
        " ".join(part for part in (record.pdk_name or "unnamed", record.pdk_version) if part) for record in records
    )
    days = sorted(set(_day(record.simulation_date) for record in records))
    when = days[0] if len(days) == 1 else f"{days[0]} to {days[-1]}"
    return f"Design kit{'s' if len(kits) > 1 else ''} {', '.join(kits)} · simulated {when}"


def _power_label(linear: bool) -> str:
    return "|s|" if linear else "|s|² (dB)"


def _values_label(drawn: Sequence[Series]) -> str:
    keys = list(dict.fromkeys(series.key for series in drawn if not series.is_complex))
    return ", ".join(keys) if len(keys) <= _NAMED_KEYS_LIMIT else "value"


def _drawn_values(series: Series, linear: bool) -> Any:
    import numpy as np

    values = np.asarray(series.values)
    if not series.is_complex:
        return values
    # |s| beyond the largest double is inf, which _check_placeable refuses;
    # 20 log10 |s| rather than 10 log10 |s|^2, which would overflow sooner.
    with np.errstate(over="ignore"):
        magnitudes = np.abs(values)
    if linear:
        return magnitudes
    with np.errstate(divide="ignore"):  # |s| = 0 is -inf dB: a gap in the curve
        return 20 * np.log10(magnitudes)


def _check_placeable(record: StoredSimulationResult, found: Sequence[Series], linear: bool) -> None:
    """Raise PlotError for a wavelength or drawn value too large for axes to place."""
    import numpy as np

    arrays = [("wavelength", record.wavelengths, np.asarray(record.wavelengths))]
    arrays += [(series.key, record.result[series.key], _drawn_values(series, linear)) for series in found]
    for name, given, drawn in arrays:
        # -inf is |s| = 0 in dB, drawn as a gap; NaN compares false.
        beyond = np.flatnonzero((np.abs(drawn) > _LARGEST) & (drawn != -np.inf))
        if beyond.size:
            raise PlotError(f"{_where(record)}: {name} holds {given[beyond[0]]}, too large to place on a plot")


def new_figure(*, phase: bool = False, curves: int = 0, pyplot: bool = True) -> tuple[Figure, list[Axes]]:
    """A figure sized for ``plot_results`` and its axes (two with ``phase``).

    ``curves``: how many the legend will list; the figure grows taller when
    the legend beside the axes would not fit. Made through pyplot by default,
    so that notebooks show it and ``plt.show()`` opens it; ``pyplot=False``
    gives a standalone figure for writing a file, which needs no display and
    leaves pyplot's state alone.
    """
    require_matplotlib()
    width, height = _PHASE_FIGURE_SIZE if phase else _FIGURE_SIZE
    # The legend sits beside the upper panel only.
    panels = 2 if phase else 1
    size = (width, max(height, panels * (_LEGEND_MARGIN + _LEGEND_ROW * curves)))
    if pyplot:
        import matplotlib.pyplot as plt

        figure = plt.figure(figsize=size, layout="constrained")
    else:
        from matplotlib.figure import Figure

        figure = Figure(figsize=size, layout="constrained")
    axes = list(figure.subplots(2, 1, sharex=True)) if phase else [figure.subplots()]
    return figure, axes


def _given_axes(ax: Axes | Sequence[Axes], phase: bool) -> list[Axes]:
    from matplotlib.axes import Axes

    # Not a test for Sequence: plt.subplots gives a numpy array of axes.
    given = [ax] if isinstance(ax, Axes) else list(ax)
    if len(given) != (2 if phase else 1):
        need = "two axes (magnitude, phase)" if phase else "one axes"
        raise ValueError(f"plot_results with phase={phase} draws on {need}; {len(given)} given")
    return given


@overload
def plot_results(
    records: Records,
    ax: Axes | None = None,
    *,
    linear: bool = False,
    phase: Literal[False] = False,
    keys: Iterable[str] | None = None,
) -> Axes: ...


@overload
def plot_results(
    records: Records,
    ax: Sequence[Axes] | None = None,
    *,
    linear: bool = False,
    phase: Literal[True],
    keys: Iterable[str] | None = None,
) -> tuple[Axes, Axes]: ...


def plot_results(
    records: Records,
    ax: Axes | Sequence[Axes] | None = None,
    *,
    linear: bool = False,
    phase: bool = False,
    keys: Iterable[str] | None = None,
) -> Axes | tuple[Axes, Axes]:
    """Draw every series of ``records`` against their wavelengths; return the axes.

    ``records``: one record or several (``StoredSimulationResult`` objects, or
    their dumps as dicts), overlaid. Each curve is labelled with the
    component, simulation type, ID and series key. ``[re, im]`` series are
    drawn as ``|s|^2`` in dB, or as ``|s|`` with ``linear``. ``phase`` adds a
    second panel with their unwrapped phase and returns both axes. ``keys``
    draws only the series of those names. ``ax``: the axes to draw on (a
    pair with ``phase``); by default a new pyplot figure.

    Raises PlotError when a record cannot be drawn (a failed simulation, no
    series, values too large for axes to place) or when something asked for
    is drawn nowhere; nothing is drawn then. Names are drawn as written,
    controls escaped, never as mathtext.
    """
    require_matplotlib()
    import numpy as np
    from matplotlib import rcParams

    chosen = _records(records)
    if not chosen:
        raise PlotError("no results to draw")
    wanted = None if keys is None else list(dict.fromkeys(keys))
    plan = [(record, drawable_series(record, wanted)) for record in chosen]
    drawn = [series for _, found in plan for series in found]
    missing = [key for key in wanted or () if key not in {series.key for series in drawn}]
    if missing:
        raise PlotError(f"no result has the series {', '.join(missing)}")
    has_power = any(series.is_complex for series in drawn)
    has_values = not all(series.is_complex for series in drawn)
    if phase and not has_power:
        raise PlotError("a phase needs series of [re, im] pairs; these results have only real numbers")
    for record, found in plan:
        _check_placeable(record, found, linear)

    axes = new_figure(phase=phase, curves=len(drawn))[1] if ax is None else _given_axes(ax, phase)
    main = axes[0]
    # Powers in dB and plain numbers share no scale: the numbers get their own
    # y axis on the right.
    values_ax = main.twinx() if has_power and has_values else main
    # Set explicitly so that the twin axis does not start the colours over.
    colours = cycle(rcParams["axes.prop_cycle"].by_key().get("color", ["C0"]))
    handles = []
    for index, (record, found) in enumerate(plan):
        style: dict[str, Any] = {
            "linestyle": _LINE_STYLES[index % len(_LINE_STYLES)],
            "marker": "o" if len(record.wavelengths) <= _MARKER_LIMIT else None,
            "markersize": 3,
        }
        for series in found:
            label = printable(f"{record.component_name} {record.simulation_type} {record.simulation_id}: {series.key}")
            colour = next(colours)
            target = main if series.is_complex else values_ax
            values = _drawn_values(series, linear)
            handles += target.plot(record.wavelengths, values, color=colour, label=label, **style)
            if phase and series.is_complex:
                phases = np.unwrap(np.angle(np.asarray(series.values)))
                axes[1].plot(record.wavelengths, phases, color=colour, label=label, **style)

    main.set_title(printable(_title(chosen)), **_LITERAL)
    if has_power:
        main.set_ylabel(_power_label(linear), **_LITERAL)
    if has_values:
        values_ax.set_ylabel(printable(_values_label(drawn)), **_LITERAL)
    # Beside the axes (and beyond a right-hand y axis): curves against
    # wavelength fill the panel, and a legend inside would hide some of them.
    beside = 1.01 if values_ax is main else 1.12
    legend = main.legend(
        handles=handles, fontsize="small", loc="upper left", bbox_to_anchor=(beside, 1.0), borderaxespad=0.0
    )
    for text in legend.get_texts():
        text.set(**_LITERAL)
    main.grid(True, alpha=0.3)
    axes[-1].set_xlabel("Wavelength (µm)", **_LITERAL)
    if phase:
        axes[1].set_ylabel("Unwrapped phase (rad)", **_LITERAL)
        axes[1].grid(True, alpha=0.3)
        return axes[0], axes[1]
    return main
