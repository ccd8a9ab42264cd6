"""The package logger.

The library only emits records; command-line tools and applications decide
where they go. A NullHandler keeps Python's last-resort handler from printing
warnings when nobody configured logging, and propagation stays on so that
root handlers (and pytest's caplog) see every record.
"""

from __future__ import annotations

import logging

__all__ = ["LOGGER_NAME", "get_logger", "one_line"]

LOGGER_NAME = "lumora"

_logger = logging.getLogger(LOGGER_NAME)
# Guarded so that reloading this module does not stack handlers.
if not any(isinstance(h, logging.NullHandler) for h in _logger.handlers):
    _logger.addHandler(logging.NullHandler())


def get_logger() -> logging.Logger:
    """Return the "lumora" logger."""
    return logging.getLogger(LOGGER_NAME)


def one_line(exc: BaseException) -> str:
    """The exception as one line, for messages: its type and message."""
    from pydantic import ValidationError  # imported once the models are, not with the logger

    if isinstance(exc, ValidationError) and exc.error_count():
        # Pydantic lists every error over several lines; the first one says enough.
        first = exc.errors()[0]
        where = ".".join(str(part) for part in first["loc"]) or "document"
        text = f"{exc.error_count()} validation error(s) for {exc.title}, first: {where}: {first['msg']}"
    else:
        text = "; ".join(line.strip() for line in str(exc).splitlines() if line.strip())
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__
