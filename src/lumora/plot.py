"""Plots of stored simulation results against wavelength.

``plot_results`` draws every series of one or more results on matplotlib axes
and returns them, for notebooks; ``lumora-results plot`` draws with it too.
A series is a member of a record's ``result`` holding one value per
wavelength: plain numbers are drawn as they are, ``[re, im]`` pairs (complex
S-parameters) as the power ``|s|^2`` in dB, or as the magnitude ``|s|``.

Needs matplotlib, which comes with the optional extra: ``pip install 'lumora[plot]'``.
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from datetime import UTC, datetime
from typing import TYPE_CHECKING, Any, Literal, overload

from lumora.models import StoredSimulationResult

if TYPE_CHECKING:
    from matplotlib.axes import Axes

__all__ = ["INSTALL_HINT", "PlotError", "Series", "drawable_series", "plot_results", "require_matplotlib"]

INSTALL_HINT = "pip install 'lumora[plot]'"

Records = StoredSimulationResult | Mapping[str, Any] | Iterable[StoredSimulationResult | Mapping[str, Any]]

# Results are told apart by line style, series by colour.
_LINE_STYLES = ("-", "--", ":", "-.")
# Up to this many wavelengths each sample gets a marker: a coarse sweep
# should not pass for a smooth curve.
_MARKER_LIMIT = 30
# More real series than this and the y label stops naming them.
_NAMED_KEYS_LIMIT = 3


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
        raise ImportError(f"plotting needs matplotlib, which is not installed; install it with: {INSTALL_HINT}") from exc


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


def drawable_series(record: StoredSimulationResult, keys: Iterable[str] | None = None) -> list[Series]:
    """The series of ``record`` that can be drawn against its wavelengths, in result order.

    ``keys`` keeps only the members of those names. Raises PlotError when the
    record is a failed simulation or nothing of it can be drawn.
    """
    wanted = None if keys is None else set(keys)
    where = f"{record.simulation_id} ({record.component_name}, {record.simulation_type})"
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
        what = "a series" if wanted is None else f"any of the series {', '.join(sorted(wanted))}"
        raise PlotError(f"{where} has not {what} of {count} numbers or [re, im] pairs, one per wavelength")
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


def _y_label(drawn: Sequence[Series], linear: bool) -> str:
    parts = []
    if any(series.is_complex for series in drawn):
        parts.append("|s|" if linear else "|s|² (dB)")
    real_keys = list(dict.fromkeys(series.key for series in drawn if not series.is_complex))
    if real_keys:
        parts.append(", ".join(real_keys) if len(real_keys) <= _NAMED_KEYS_LIMIT else "value")
    return "; ".join(parts)


def _new_axes(phase: bool) -> list[Axes]:
    import matplotlib.pyplot as plt

    if phase:
        _, (top, bottom) = plt.subplots(2, 1, sharex=True, layout="constrained", figsize=(9, 7.5))
        return [top, bottom]
    _, ax = plt.subplots(layout="constrained", figsize=(9, 5))
    return [ax]


def _given_axes(ax: Axes | Sequence[Axes], phase: bool) -> list[Axes]:
    given = list(ax) if isinstance(ax, Sequence) else [ax]
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
    series) or when something asked for is drawn nowhere; nothing is drawn then.
    """
    require_matplotlib()
    import numpy as np

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

    axes = _new_axes(phase) if ax is None else _given_axes(ax, phase)
    main = axes[0]
    for index, (record, found) in enumerate(plan):
        style = _LINE_STYLES[index % len(_LINE_STYLES)]
        marker = "o" if len(record.wavelengths) <= _MARKER_LIMIT else None
        for series in found:
            label = f"{record.component_name} {record.simulation_type} {record.simulation_id}: {series.key}"
            values = np.asarray(series.values)
            if series.is_complex and not linear:
                with np.errstate(divide="ignore"):  # |s| = 0 is -inf dB: a gap in the curve
                    values = 10 * np.log10(np.abs(values) ** 2)
            elif series.is_complex:
                values = np.abs(values)
            (line,) = main.plot(record.wavelengths, values, linestyle=style, marker=marker, markersize=3, label=label)
            if phase and series.is_complex:
                axes[1].plot(
                    record.wavelengths,
                    np.unwrap(np.angle(np.asarray(series.values))),
                    color=line.get_color(),
                    linestyle=style,
                    marker=marker,
                    markersize=3,
                    label=label,
                )

    main.set_title(_title(chosen))
    main.set_ylabel(_y_label(drawn, linear))
    main.legend(fontsize="small")
    main.grid(True, alpha=0.3)
    axes[-1].set_xlabel("Wavelength (µm)")
    if phase:
        axes[1].set_ylabel("Unwrapped phase (rad)")
        axes[1].grid(True, alpha=0.3)
        return axes[0], axes[1]
    return main
