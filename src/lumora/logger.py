"""The package logger.

The library only emits records; command-line tools and applications decide
where they go. A NullHandler keeps Python's last-resort handler from printing
warnings when nobody configured logging, and propagation stays on so that
root handlers (and pytest's caplog) see every record.
"""

from __future__ import annotations

import logging

__all__ = ["LOGGER_NAME", "get_logger"]

LOGGER_NAME = "lumora"

_logger = logging.getLogger(LOGGER_NAME)
# Guarded so that reloading this module does not stack handlers.
if not any(isinstance(h, logging.NullHandler) for h in _logger.handlers):
    _logger.addHandler(logging.NullHandler())


def get_logger() -> logging.Logger:
    """Return the "lumora" logger."""
    return logging.getLogger(LOGGER_NAME)
