"""plot: stored results drawn against wavelength, in a window or a file (needs lumora[plot])."""

from __future__ import annotations

import argparse
import io
import math
import os
import sys
from collections.abc import Callable
from pathlib import Path
from typing import TYPE_CHECKING

from lumora.cli._arguments import simulation_id
from lumora.cli._messages import complain, lacks_extra, not_stored
from lumora.text import printable

# The extension and its models are loaded by the plot itself, not at start-up.
if TYPE_CHECKING:
    from lumora.models import StoredSimulationResult

# The suffix of -o picks the format; these are the ones matplotlib writes
# without extra packages and that people put in reports.
FORMATS = ("png", "svg", "pdf")
DEFAULT_DPI = 100


def _format(path: Path) -> str:
    return path.suffix.lower().lstrip(".")


def _output_file(text: str) -> Path:
    path = Path(text)
    if _format(path) not in FORMATS:
        raise argparse.ArgumentTypeError(
            f"{text!r}: the file name must end in {', '.join('.' + name for name in FORMATS)}"
        )
    return path


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value <= 0:
        raise argparse.ArgumentTypeError(f"{text!r} is not a positive number")
    return value


def _display_available() -> bool:
    # Elsewhere than on X11/Wayland systems a desktop is taken to be there.
    if sys.platform in ("win32", "darwin"):
        return True
    return bool(os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY"))


def _window_backend() -> bool:
    """Whether pyplot got a backend that opens windows (not so without a GUI toolkit, or with MPLBACKEND=agg)."""
    import matplotlib.pyplot as plt
    from matplotlib.backends.registry import backend_registry

    # A GUI framework of None is a backend that only writes files.
    framework = backend_registry.resolve_backend(plt.get_backend())[1]  # type: ignore[no-untyped-call]
    return framework is not None


def _load(ids: list[str]) -> list[StoredSimulationResult] | None:
    from lumora.core import simulation_storage as storage

    records = []
    for simulation in ids:
        record = storage.load_simulation_result(simulation)
        if record is None:
            not_stored(simulation)
            return None
        records.append(record)
    return records


def _default_name(ids: list[str]) -> Path:
    # File names have a limit (255 bytes): a sweep's IDs do not all fit in one.
    if len(ids) <= 2:
        return Path("+".join(ids) + ".png")
    return Path(f"{ids[0]}-and-{len(ids) - 1}-more.png")


def _cmd_plot(args: argparse.Namespace) -> int:
    from lumora.plot import PlotError, plot_figure, require_matplotlib

    if lacks_extra(require_matplotlib):
        return 1
    import matplotlib.pyplot as plt  # picks no backend before the first figure

    ids = list(dict.fromkeys(args.simulation_ids))  # the same ID twice would draw every curve twice
    records = _load(ids)
    if records is None:
        return 1

    window = args.output is None and _display_available() and _window_backend()
    ylim = None if args.ylim is None else (min(args.ylim), max(args.ylim))
    try:
        figure = plot_figure(records, linear=args.linear, phase=args.phase, keys=args.series, ylim=ylim, pyplot=window)
    except PlotError as exc:
        complain(str(exc))
        return 1
    if window:
        plt.show()
        return 0

    path = args.output if args.output is not None else _default_name(ids)
    # Rendered in memory first: a failure while drawing leaves no half-written file.
    image = io.BytesIO()
    figure.savefig(image, format=_format(path), dpi=args.dpi)
    path.write_bytes(image.getvalue())
    print(printable(str(path)))
    return 0


def _level(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"{text!r} is not a number")
    return value


def register(add: Callable[[str, str], argparse.ArgumentParser]) -> None:
    sub = add("plot", "Draw stored results against wavelength: one panel per series, a curve per result.")
    sub.add_argument("simulation_ids", metavar="ID", nargs="+", type=simulation_id)
    sub.add_argument(
        "-o",
        "--output",
        metavar="FILE",
        type=_output_file,
        help="write the plot to FILE, as PNG, SVG or PDF by its suffix (default: a window where there is a "
        "display, otherwise ID.png in the current directory, ID1+ID2.png or ID1-and-N-more.png for several)",
    )
    sub.add_argument(
        "--linear", action="store_true", help="[re, im] series as the magnitude |s| instead of |s|^2 in dB"
    )
    sub.add_argument("--phase", action="store_true", help="a second panel with the unwrapped phase of [re, im] series")
    sub.add_argument(
        "--series",
        metavar="KEY",
        action="append",
        help="draw only this series of the results, for example a port pair o1@0,o2@0 (repeatable)",
    )
    sub.add_argument(
        "--ylim",
        metavar=("LOW", "HIGH"),
        nargs=2,
        type=_level,
        help="the y range of the panels other than phases, for example --ylim -40 0 (dB)",
    )
    sub.add_argument(
        "--dpi", type=_positive, default=DEFAULT_DPI, help=f"pixels per inch of a PNG (default {DEFAULT_DPI})"
    )
    sub.set_defaults(handler=_cmd_plot)
