"""The read-ahead window of a listing on an object store.

The store reads a listing's files one after another, in listing order; on
an object store each read is a round trip. `Prefetch` starts the reads of
the next few files while the first is read, so that a listing of 1,000
results costs some 30 round trips rather than 1,000.
"""

from __future__ import annotations

import asyncio
import os
import threading
from concurrent.futures import Future
from typing import Any

__all__ = ["DEFAULT_WINDOW", "Prefetch", "remote_window"]

# How many objects a listing reads concurrently unless LUMORA_REMOTE_WINDOW
# says otherwise: at 20 to 50 ms a round trip, 32 at once bring a listing of
# 1,000 results down to about 30 round trips, with a few hundred KB in flight.
DEFAULT_WINDOW = 32
# Whatever the window, no more than this many listed bytes are fetched ahead
# of the reader at once (the object being read may exceed it alone).
_PREFETCH_BYTES = 64 * 1024 * 1024


def remote_window() -> int:
    """Objects read concurrently by one listing: $LUMORA_REMOTE_WINDOW, else 32.

    0 or 1 reads each object only when asked for, one after another.
    """
    value = os.environ.get("LUMORA_REMOTE_WINDOW", "").strip()
    if not value:
        return DEFAULT_WINDOW
    try:
        window = int(value)
    except ValueError:
        window = -1
    if window < 0:
        raise ValueError(f"LUMORA_REMOTE_WINDOW must be a whole number, 0 or more, not {value!r}")
    return window


class Prefetch:
    """Whole-object reads of one listing's files, started ahead of their reader.

    Only on file systems that read asynchronously (S3's and most object
    stores' drivers): their requests run on fsspec's event loop, made for
    many at once, while other drivers may hold one connection that threads
    must not share.

    The store reads a listing's files one after another, in listing order.
    The first read of one of them starts the reads of the next window - 1
    files; each further read takes its object's bytes (waiting for them if
    they are still on their way) and starts the next one. So at most window
    reads are in flight or held at any time, and no more than _PREFETCH_BYTES
    of listed size beyond the one being read: memory is bounded by the
    window, not by the size of the store.

    What a reader may see: an object is fetched at most window reads before
    its own read_bytes() asks for it, within the same listing. It is one whole
    object, as a direct read gives: the previous record or the new one when
    another machine replaces it meanwhile, as if the listing had reached it a
    little earlier. Anything saved before the listing began is seen, since
    every fetch starts after the listing. A fetch that failed, because the
    object vanished or for any other reason, is not reported: the read asks
    the store itself, so a vanished object is a FileNotFoundError at its own
    read, and any other failure is that read's own.
    """

    def __init__(self, fs: Any, paths: list[str], sizes: list[int], window: int, options: dict[str, Any]) -> None:
        self._fs = fs
        self._paths = paths
        self._sizes = sizes
        self._window = window
        self._options = options
        self._lock = threading.Lock()
        self._pending: dict[int, Future[bytes]] = {}
        self._next = 0  # the first entry whose read has not been started
        self._bytes = 0  # listed size of the pending reads

    def take(self, index: int) -> bytes | None:
        """The bytes of entry index if a read of it was started, else None."""
        with self._lock:
            future = self._pending.pop(index, None)
            if future is not None:
                self._bytes -= self._sizes[index]
            # Entries before this one were passed by: their bytes would only
            # wait here. Read later, they ask the store themselves.
            for skipped in [i for i in self._pending if i < index]:
                self._pending.pop(skipped).cancel()
                self._bytes -= self._sizes[skipped]
            self._next = max(self._next, index + 1)
            self._start_ahead(index)
        if future is None:
            return None
        try:
            return future.result()
        except Exception:
            return None

    def _start_ahead(self, index: int) -> None:
        end = min(len(self._paths), index + self._window)
        while self._next < end:
            size = self._sizes[self._next]
            if self._pending and self._bytes + size > _PREFETCH_BYTES:
                break
            self._pending[self._next] = self._fetch(self._paths[self._next])
            self._bytes += size
            self._next += 1

    def _fetch(self, path: str) -> Future[bytes]:
        return asyncio.run_coroutine_threadsafe(self._fs._cat_file(path, **self._options), self._fs.loop)

    def __del__(self) -> None:
        # Nobody will take these any more (the listing was abandoned).
        for future in self._pending.values():
            try:
                future.cancel()
            except RuntimeError:  # the event loop has closed (at exit): nothing runs any more
                pass
