"""Progress bars for long work on a store.

One mechanism for every command that walks many results: a bar on stderr
when stderr is a terminal, nothing at all otherwise (a script, a pipe, a log
file, a test), so that output meant for other programs stays clean. The bar
is tqdm's, which comes with the optional extra ``lumora[cli]``; without it the
work runs the same, silently.
"""

from __future__ import annotations

import sys
from collections.abc import Iterable, Iterator
from typing import TypeVar

__all__ = ["progress"]

T = TypeVar("T")


def _stderr_is_terminal() -> bool:
    try:
        return sys.stderr is not None and sys.stderr.isatty()
    except (AttributeError, ValueError, OSError):  # replaced or closed streams
        return False


def progress(iterable: Iterable[T], *, total: int | None = None, description: str = "") -> Iterator[T]:
    """Yield the items of iterable, showing how far along they are on a terminal.

    total is the number of items when iterable has no len() (a generator);
    description names the work ("Reading results"). The bar goes away when
    the iteration ends, so the command's own summary is what stays on screen.
    """
    if not _stderr_is_terminal():
        return iter(iterable)
    try:
        from tqdm import tqdm  # type: ignore[import-untyped]
    except ImportError:
        return iter(iterable)
    bar: Iterator[T] = tqdm(
        iterable, total=total, desc=description or None, file=sys.stderr, leave=False, unit="", delay=0.5
    )
    return bar
