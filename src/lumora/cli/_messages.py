"""What the tool says on stderr: the store's log records, and its own complaints."""

from __future__ import annotations

import logging
import sys
from collections.abc import Callable, Iterator
from contextlib import AbstractContextManager, contextmanager

from lumora.logger import get_logger
from lumora.settings import get_simulations_dir
from lumora.text import PROG, printable


class _OneLineFormatter(logging.Formatter):
    def format(self, record: logging.LogRecord) -> str:
        return f"{PROG}: {record.levelname.lower()}: {printable(record.getMessage())}"


class _OnceEach(logging.Filter):
    """Lets each message through once: a command that lists the store twice
    (clear counts, then clears) would otherwise warn twice about each
    unreadable file."""

    def __init__(self) -> None:
        super().__init__()
        self._seen: set[tuple[int, str]] = set()

    def filter(self, record: logging.LogRecord) -> bool:
        key = (record.levelno, record.getMessage())
        if key in self._seen:
            return False
        self._seen.add(key)
        return True


@contextmanager
def log_to(handler: logging.Handler) -> Iterator[None]:
    """handler attached to the lumora logger for the block, the logger let
    down to the handler's level meanwhile; both put back afterwards, so that
    repeated calls of main() in one process (tests, embedding) do not pile up
    handlers."""
    logger = get_logger()
    previous_level = logger.level
    if logger.getEffectiveLevel() > handler.level:
        logger.setLevel(handler.level)
    logger.addHandler(handler)
    try:
        yield
    finally:
        logger.removeHandler(handler)
        logger.setLevel(previous_level)


def log_to_stderr(debug: bool) -> AbstractContextManager[None]:
    """Show the store's messages on stderr while the command runs, each once.

    The library only installs a NullHandler; a command-line tool decides where
    messages go.
    """
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(_OneLineFormatter())
    handler.addFilter(_OnceEach())
    handler.setLevel(logging.DEBUG if debug else logging.WARNING)
    return log_to(handler)


def complain(message: str) -> None:
    print(f"{PROG}: {printable(message)}", file=sys.stderr)


def lacks_extra(require: Callable[[], None]) -> bool:
    """Whether an optional library that a command needs is missing (require
    raises ImportError saying how to install it), said on stderr if so."""
    try:
        require()
    except ImportError as exc:
        complain(str(exc))
        return True
    return False


def not_stored(simulation_id: str) -> None:
    complain(f"simulation {simulation_id} is not stored")


def store_is_missing() -> bool:
    """Whether the store root does not exist, said on stderr if so: a mistyped
    --store would otherwise look like an empty store."""
    root = get_simulations_dir()
    if root.exists():
        return False
    complain(f"no store at {root}")
    return True
