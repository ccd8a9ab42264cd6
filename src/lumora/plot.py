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
from typing import TYPE_CHECKING, Any, Literal

from lumora.compare import MISSING, format_value, identity_leaves, varying_paths
from lumora.models import StoredSimulationResult
from lumora.series import Series, result_series
from lumora.text import display_width, printable, shorten

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

__all__ = [
    "INSTALL_HINT",
    "PlotError",
    "Series",
    "curve_labels",
    "drawable_series",
    "new_figure",
    "plot_figure",
    "plot_results",
    "require_matplotlib",
]

INSTALL_HINT = "pip install 'lumora[plot]'"

Records = (
    StoredSimulationResult | Mapping[str, Any] | None | Iterable[StoredSimulationResult | Mapping[str, Any] | None]
)

# With more curves than colours, line styles tell them apart.
_LINE_STYLES = ("-", "--", ":", "-.")
# Up to this many wavelengths each sample gets a marker: a coarse sweep
# should not pass for a smooth curve.
_MARKER_LIMIT = 30
# Inches; at 100 dots per inch a PNG of 1100 x 500 pixels for one row of
# panels, 250 pixels more for each further row.
_WIDTH = 11.0
_ROW_HEIGHT = 2.5
# The legend goes below the panels, in as many columns as its entries fit
# across the figure: beside them, a sweep's labels would take the panels'
# width. Inches of one row of it at the "small" font; characters of an
# entry (its line included) across the figure; characters of the longest entry.
_LEGEND_ROW = 0.2
_LEGEND_CHARACTERS = 150
_LABEL_WIDTH = 60
# More real series than this and the y label stops naming them.
_NAMED_KEYS_LIMIT = 3
# Names are anyone's text: drawn as written, never as mathtext or TeX.
_LITERAL: dict[str, Any] = {"parse_math": False, "usetex": False}
# Axes lay values out in float64 arithmetic on their span, margins and tick
# steps, which overflows (and matplotlib fails) for values near the largest
# double; an eighth of it still draws, this leaves room to spare.
_LARGEST = sys.float_info.max / 16


class PlotError(ValueError):
    """Nothing sensible to draw: a result not stored, a failed simulation, a result without series, a series not there."""


@dataclass(frozen=True)
class _Panel:
    """One panel: ``kind`` power (of [re, im] series), values or phase; ``key``
    the series it holds, or None for every series of its kind."""

    kind: Literal["power", "values", "phase"]
    key: str | None = None


def require_matplotlib() -> None:
    """Raise ImportError, naming the extra to install, when matplotlib is missing."""
    try:
        import matplotlib  # noqa: F401
    except ImportError as exc:
        raise ImportError(
            f"plotting needs matplotlib, which is not installed; install it with: {INSTALL_HINT}"
        ) from exc


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
    found = result_series(record, wanted)
    if not found:
        which = "" if wanted is None else f" {', '.join(sorted(wanted))}"
        raise PlotError(f"{where} has no series{which} of {count} numbers or [re, im] pairs, one per wavelength")
    return found


def _records(records: Records) -> list[StoredSimulationResult]:
    if records is None or isinstance(records, StoredSimulationResult | Mapping):
        records = [records]
    chosen = list(records)
    if any(record is None for record in chosen):
        where = "" if len(chosen) == 1 else f" (number {[r is None for r in chosen].index(True) + 1} of {len(chosen)})"
        raise PlotError(f"a result to draw is not stored{where}: load_simulation_result gave None for its ID")
    return [
        record if isinstance(record, StoredSimulationResult) else StoredSimulationResult.model_validate(record)
        for record in chosen
        if record is not None
    ]


def _setting(path: str) -> str:
    # Settings are what a sweep varies: named bare, the other fields in short.
    return _NAMES.get(path, path.removeprefix("component_settings."))


_NAMES = {"component_name": "component", "factory_name": "factory", "simulation_type": "type"}


def _shown(value: Any) -> str:
    # A name reads better bare than as JSON text; numbers as hashed (20 is not 20.0).
    return shorten(value, 24) if isinstance(value, str) else format_value(value, 24)


def curve_labels(records: Sequence[StoredSimulationResult]) -> list[str]:
    """A label per record from the identity values that differ among them
    (``gap=0.2, length=20``); the ID where nothing differs."""
    paths = varying_paths(records)
    if not paths:
        return [record.simulation_id for record in records]
    labels = []
    for record in records:
        leaves = identity_leaves(record)
        labels.append(", ".join(f"{_setting(path)}={_shown(leaves.get(path, MISSING))}" for path in paths))
    return labels


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
    text = f"Design kit{'s' if len(kits) > 1 else ''} {', '.join(kits)} · simulated {when}"
    if len(records) == 1:
        record = records[0]
        text = f"{record.component_name} {record.simulation_type} {record.simulation_id} · {text}"
    return text


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


def _style(index: int) -> dict[str, Any]:
    """Colour and line style of curve number ``index``: twenty colours, the
    first ten solid and the next ten (lighter) dashed, then again dotted."""
    from matplotlib import colormaps

    colours = colormaps["tab20"].colors  # type: ignore[attr-defined]
    ordered = colours[0::2] + colours[1::2]
    return {"color": ordered[index % len(ordered)], "linestyle": _LINE_STYLES[index // 10 % len(_LINE_STYLES)]}


def _columns(panels: Sequence[_Panel], several: bool) -> int:
    # One result: its panels stacked, sharing the wavelength axis. Several:
    # a grid, one panel per series, its phase beside it.
    if not several or len(panels) == 1:
        return 1
    return 3 if len(panels) > 8 and all(panel.kind != "phase" for panel in panels) else 2


def new_figure(
    *, panels: int = 1, columns: int = 1, legend_rows: int = 1, phase: bool = False, pyplot: bool = True
) -> tuple[Figure, list[Axes]]:
    """A figure sized for ``plot_results`` and its ``panels`` axes, in rows of ``columns``.

    ``phase`` asks for two panels at least. ``legend_rows``: the rows of the
    legend below the panels; the figure grows taller by each beyond the
    first. Made through pyplot by default, so that notebooks
    show it and ``plt.show()`` opens it; ``pyplot=False`` gives a standalone
    figure for writing a file, which needs no display and leaves pyplot's
    state alone.
    """
    require_matplotlib()
    panels = max(panels, 2 if phase else 1)
    rows = -(-panels // columns)
    size = (_WIDTH, _ROW_HEIGHT * (rows + 1) + _LEGEND_ROW * max(legend_rows - 1, 0))
    if pyplot:
        import matplotlib.pyplot as plt

        figure = plt.figure(figsize=size, layout="constrained")
    else:
        from matplotlib.figure import Figure

        figure = Figure(figsize=size, layout="constrained")
    grid = figure.subplots(rows, columns, sharex=True, squeeze=False).flatten()
    for spare in grid[panels:]:
        figure.delaxes(spare)
    return figure, list(grid[:panels])


@dataclass(frozen=True)
class _Plan:
    records: list[StoredSimulationResult]
    series: list[tuple[StoredSimulationResult, list[Series]]]
    panels: list[_Panel]
    several: bool
    labels: list[str]
    """Of the legend: one per result, or one per series of a single result."""

    @property
    def legend_columns(self) -> int:
        widest = max(display_width(label) for label in self.labels) + 6  # the line and the gap
        return max(1, min(len(self.labels), _LEGEND_CHARACTERS // widest))

    @property
    def legend_rows(self) -> int:
        return -(-len(self.labels) // self.legend_columns)


def _plan(records: Records, keys: Iterable[str] | None, phase: bool, linear: bool) -> _Plan:
    chosen = _records(records)
    if not chosen:
        raise PlotError("no results to draw")
    wanted = None if keys is None else list(dict.fromkeys(keys))
    plan = [(record, drawable_series(record, wanted)) for record in chosen]
    drawn = [series for _, found in plan for series in found]
    missing = [key for key in wanted or () if key not in {series.key for series in drawn}]
    if missing:
        raise PlotError(f"no result has the series {', '.join(missing)}")
    if phase and not any(series.is_complex for series in drawn):
        raise PlotError("a phase needs series of [re, im] pairs; these results have only real numbers")
    for record, found in plan:
        _check_placeable(record, found, linear)

    several = len(chosen) > 1
    panels: list[_Panel] = []
    if several:
        for key, is_complex in dict.fromkeys((series.key, series.is_complex) for series in drawn):
            panels.append(_Panel("power" if is_complex else "values", key))
            if phase and is_complex:
                panels.append(_Panel("phase", key))
    else:
        kinds = {series.is_complex for series in drawn}
        panels = [_Panel("power" if is_complex else "values") for is_complex in sorted(kinds, reverse=True)]
        if phase:
            panels.append(_Panel("phase"))
    if several:
        labels = curve_labels(chosen)
    else:
        labels = list(dict.fromkeys(series.key for series in drawn))
    return _Plan(chosen, plan, panels, several, [shorten(printable(label), _LABEL_WIDTH) for label in labels])


def _draw(plan: _Plan, axes: Sequence[Axes], linear: bool, ylim: tuple[float, float] | None) -> None:
    import numpy as np
    from matplotlib.lines import Line2D

    where = {(panel.kind, panel.key): ax for panel, ax in zip(plan.panels, axes, strict=True)}
    keys = list(dict.fromkeys(series.key for _, found in plan.series for series in found))
    for number, (record, found) in enumerate(plan.series):
        marker = "o" if len(record.wavelengths) <= _MARKER_LIMIT else None
        for series in found:
            colour = number if plan.several else keys.index(series.key)
            label = f"{plan.labels[number]}: {printable(series.key)}" if plan.several else plan.labels[colour]
            style = {**_style(colour), "marker": marker, "markersize": 3, "label": label}
            key = series.key if plan.several else None
            kind: Literal["power", "values"] = "power" if series.is_complex else "values"
            where[kind, key].plot(record.wavelengths, _drawn_values(series, linear), **style)
            if series.is_complex and ("phase", key) in where:
                phases = np.unwrap(np.angle(np.asarray(series.values)))
                where["phase", key].plot(record.wavelengths, phases, **style)
    handles = [Line2D([], [], **_style(i)) for i in range(len(plan.labels))]
    figure = axes[0].get_figure()
    assert figure is not None  # axes drawn on always belong to one
    shown = figure.legend(
        handles, plan.labels, loc="outside lower center", ncols=plan.legend_columns, fontsize="small", frameon=False
    )
    for text in shown.get_texts():
        text.set(**_LITERAL)
    figure.suptitle(printable(_title(plan.records)), **_LITERAL)

    spec = axes[0].get_subplotspec()
    columns = 1 if spec is None else spec.get_geometry()[1]
    for index, (panel, ax) in enumerate(zip(plan.panels, axes, strict=True)):
        if panel.kind == "phase":
            ax.set_ylabel("Unwrapped phase (rad)", **_LITERAL)
        elif panel.kind == "power":
            ax.set_ylabel(_power_label(linear), **_LITERAL)
        else:
            on_it = [series for _, found in plan.series for series in found if not series.is_complex]
            ax.set_ylabel(printable(_values_label(on_it)), **_LITERAL)
        if panel.key is not None:
            title = panel.key if panel.kind != "phase" else f"{panel.key}, phase"
            ax.set_title(printable(title), fontsize="medium", **_LITERAL)
        if ylim is not None and panel.kind != "phase":
            ax.set_ylim(*ylim)
        ax.grid(True, alpha=0.3)
        if index + columns >= len(axes):  # nothing below: its own wavelength axis
            ax.set_xlabel("Wavelength (µm)", **_LITERAL)
            ax.xaxis.set_tick_params(labelbottom=True)


def plot_figure(
    records: Records,
    *,
    linear: bool = False,
    phase: bool = False,
    keys: Iterable[str] | None = None,
    ylim: tuple[float, float] | None = None,
    pyplot: bool = True,
) -> Figure:
    """``plot_results`` on a figure of its own, sized for its panels and legend; return the figure.

    ``pyplot=False`` makes it outside pyplot, for writing a file.
    """
    require_matplotlib()
    plan = _plan(records, keys, phase, linear)
    columns = _columns(plan.panels, plan.several)
    figure, axes = new_figure(panels=len(plan.panels), columns=columns, legend_rows=plan.legend_rows, pyplot=pyplot)
    _draw(plan, axes, linear, ylim)
    return figure


def plot_results(
    records: Records,
    ax: Axes | Sequence[Axes] | None = None,
    *,
    linear: bool = False,
    phase: bool = False,
    keys: Iterable[str] | None = None,
    ylim: tuple[float, float] | None = None,
) -> Axes | tuple[Axes, ...]:
    """Draw the series of ``records`` against their wavelengths; return the axes.

    ``records``: one record or several (``StoredSimulationResult`` objects, or
    their dumps as dicts). One result is drawn on one panel per kind of
    series (``[re, im]`` pairs, plain numbers), a colour per series. Several
    are drawn on one panel per series, a colour per result, each labelled by
    the identity values that differ among them (``gap=0.2, length=20``).
    ``[re, im]`` series are drawn as ``|s|^2`` in dB, or as ``|s|`` with
    ``linear``; ``phase`` adds panels with their unwrapped phase. ``keys``
    draws only the series of those names; ``ylim`` the y range of the panels
    other than phases. ``ax``: the axes to draw on, one per panel; by default
    a new pyplot figure. Returns the axes: one, or a tuple when there are
    several panels.

    Raises PlotError when a record cannot be drawn (not stored: None, a
    failed simulation, no series, values too large for axes to place) or
    when something asked for is drawn nowhere; nothing is drawn then. Names
    are drawn as written, controls escaped, never as mathtext.
    """
    require_matplotlib()
    from matplotlib.axes import Axes

    if ax is None:
        axes = plot_figure(records, linear=linear, phase=phase, keys=keys, ylim=ylim).axes
    else:
        plan = _plan(records, keys, phase, linear)
        # Not a test for Sequence: plt.subplots gives a numpy array of axes.
        axes = [ax] if isinstance(ax, Axes) else list(ax)
        if len(axes) != len(plan.panels):
            kinds = ", ".join(panel.kind + (f" of {panel.key}" if panel.key else "") for panel in plan.panels)
            raise ValueError(
                f"plot_results draws these results on {len(plan.panels)} axes ({kinds}); {len(axes)} given"
            )
        _draw(plan, axes, linear, ylim)
    return axes[0] if len(axes) == 1 else tuple(axes)
