"""Progress bars for long work on a store.

One mechanism for every command that walks many results: a bar on stderr
when stderr is a terminal, nothing at all otherwise (a script, a pipe, a log
file, a test), so that output meant for other programs stays clean. The bar
is tqdm's, which comes with the optional extra ``lumora[cli]``; without it the
work runs the same, silently.

Work that the extension does on its own (a listing reads every result file)
is followed through `lumora.observe.STORE_OBSERVER`: the store's path objects report each
file they read or delete to the observer that `store_progress` sets there.
"""

from __future__ import annotations

import logging
import sys
from collections.abc import Iterable, Iterator
from contextlib import ExitStack, contextmanager
from typing import Any, TypeVar

from lumora.logger import get_logger
from lumora.observe import STORE_OBSERVER

__all__ = ["DELAY", "STORE_OBSERVER", "Counter", "progress", "progress_counter", "progress_shown", "store_progress"]

T = TypeVar("T")

# Seconds of work before a bar shows: quick work leaves the terminal alone.
DELAY = 0.5


def _stderr_is_terminal() -> bool:
    try:
        return sys.stderr is not None and sys.stderr.isatty()
    except (AttributeError, ValueError, OSError):  # replaced or closed streams
        return False


def _tqdm() -> Any:
    """tqdm's bar class when a bar is to be shown, otherwise None."""
    if not _stderr_is_terminal():
        return None
    try:
        from tqdm import tqdm  # type: ignore[import-untyped]
    except ImportError:
        return None
    return tqdm


def progress_shown() -> bool:
    """Whether bars show at all: worth asking before preparing a total that costs work."""
    return _tqdm() is not None


def progress(iterable: Iterable[T], *, total: int | None = None, description: str = "") -> Iterator[T]:
    """Yield the items of iterable, showing how far along they are on a terminal.

    total is the number of items when iterable has no len() (a generator);
    description names the work ("Reading results"). The bar goes away when
    the iteration ends, so the command's own summary is what stays on screen.
    """
    tqdm = _tqdm()
    if tqdm is None:
        return iter(iterable)
    bar: Iterator[T] = tqdm(
        iterable, total=total, desc=description or None, file=sys.stderr, leave=False, unit="", delay=DELAY
    )
    return bar


class Counter:
    """A running count of work done, shown on a bar when there is one."""

    def __init__(self, bar: Any = None) -> None:
        self._bar = bar

    def advance(self, steps: int = 1) -> None:
        if self._bar is not None:
            self._bar.update(steps)


@contextmanager
def progress_counter(description: str, total: int | None = None) -> Iterator[Counter]:
    """A Counter for work that is not one loop over items; its bar goes away at the end.

    total None shows a running count without a percentage. While the bar
    is up, the package's log messages go above it instead of through it.
    """
    tqdm = _tqdm()
    if tqdm is None:
        yield Counter()
        return
    with (
        _logs_above_the_bar(tqdm),
        tqdm(total=total, desc=description or None, file=sys.stderr, leave=False, unit="", delay=DELAY) as bar,
    ):
        yield Counter(bar)


class _AboveTheBar(logging.Handler):
    """Passes records on to a handler that writes to stderr, with the bars
    cleared meanwhile and redrawn below the message."""

    def __init__(self, inner: logging.StreamHandler[Any], tqdm: Any) -> None:
        super().__init__(inner.level)
        self.inner = inner
        self._tqdm = tqdm

    def emit(self, record: logging.LogRecord) -> None:
        try:
            with self._tqdm.external_write_mode(file=sys.stderr):
                self.inner.handle(record)
        except Exception:
            self.handleError(record)


@contextmanager
def _logs_above_the_bar(tqdm: Any) -> Iterator[None]:
    # Only the package logger's own handlers (the command line puts its stderr
    # handler there): a message written through a bar would be cut into it.
    logger = get_logger()
    logger.handlers = [
        _AboveTheBar(handler, tqdm)
        if isinstance(handler, logging.StreamHandler) and handler.stream is sys.stderr
        else handler
        for handler in logger.handlers
    ]
    try:
        yield
    finally:
        # Handlers added or removed meanwhile stay so; ours give way to theirs.
        logger.handlers = [
            handler.inner if isinstance(handler, _AboveTheBar) else handler for handler in logger.handlers
        ]


class _Stages:
    """The observer of store_progress: one bar per stage, one stage after another."""

    def __init__(self, stages: tuple[tuple[str, str, int | None], ...]) -> None:
        self._stages = stages
        self.counts = [0] * len(stages)
        self._at = 0
        self._failed = False
        self._bar = ExitStack()  # holds the progress_counter of stage _at
        self._counter = self._bar.enter_context(progress_counter(*stages[0][1:]))

    def _enter(self, at: int) -> None:
        self._bar.close()
        self._at = at
        self._counter = self._bar.enter_context(progress_counter(*self._stages[at][1:]))

    def close(self) -> None:
        self._bar.close()

    def __call__(self, event: str) -> None:
        if self._failed:
            return
        try:
            if self._stages[self._at][0] != event:
                # The first event of a later stage ends the ones before; an
                # event of no later stage (a read while deleting) is not counted.
                later = [i for i in range(self._at + 1, len(self._stages)) if self._stages[i][0] == event]
                if not later:
                    return
                self._enter(later[0])
            self.counts[self._at] += 1
            self._counter.advance()
        except Exception:
            # Raised into read_bytes, a bar that cannot be drawn (a terminal
            # gone) would make the listing skip every file as unreadable.
            self._failed = True


@contextmanager
def store_progress(*stages: tuple[str, str, int | None]) -> Iterator[list[int]]:
    """Bars that follow the store's own file operations during the block.

    Each stage is (event, description, total): its bar counts the event
    ("read" or "unlink"), out of total when that is known. The first stage's
    bar starts with the block; the first event of a later stage replaces it
    by that stage's bar. Each shows once its stage has taken DELAY seconds. Yields the counts of the stages' events, filled in only while
    bars show (the observer is not even set otherwise).
    """
    if not progress_shown():
        yield [0] * len(stages)
        return
    observer = _Stages(stages)
    token = STORE_OBSERVER.set(observer)
    try:
        yield observer.counts
    finally:
        STORE_OBSERVER.reset(token)
        observer.close()
