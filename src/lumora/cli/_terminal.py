"""The terminal the tool talks to: its width, its input, and safe output to it."""

from __future__ import annotations

import shutil
import sys

from lumora.text import printable


def emit(text: str) -> None:
    """Print text on stdout, each of its lines through printable()."""
    print("\n".join(printable(line) for line in text.split("\n")))


def terminal_width() -> int:
    """The width of the terminal on stdout ($COLUMNS first); 80 when stdout
    is not a terminal."""
    return shutil.get_terminal_size((80, 24)).columns


def stdin_is_terminal() -> bool:
    try:
        return sys.stdin is not None and sys.stdin.isatty()
    except (AttributeError, ValueError, OSError):
        return False


def confirm(question: str) -> bool:
    """Ask a yes/no question on the terminal; only "y" or "yes" is a yes."""
    print(printable(question), end="", flush=True)
    return sys.stdin.readline().strip().lower() in ("y", "yes")
