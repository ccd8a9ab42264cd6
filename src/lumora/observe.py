"""The observer of the store's file operations, below the path classes.

Told of every file a store's path object reads ("read") or deletes
("unlink"), before the operation. None, the default, outside
`lumora.progress.store_progress`: then a read costs one ContextVar.get()
more. A context variable rather than a global, so that other threads (and
asyncio tasks) doing their own store work are not counted.
"""

from __future__ import annotations

from collections.abc import Callable
from contextvars import ContextVar

__all__ = ["STORE_OBSERVER", "observe"]

STORE_OBSERVER: ContextVar[Callable[[str], None] | None] = ContextVar("lumora_store_observer", default=None)


def observe(event: str) -> None:
    """Tell the observer, if one is set, that event is about to happen."""
    if (observer := STORE_OBSERVER.get()) is not None:
        observer(event)
