"""Lock files that their holders remove: OS locks beside results that leave nothing behind.

A holder takes the OS lock (flock, or LockFileEx on Windows) on a hidden file
and removes the file before letting go, so no one can take it meanwhile.
Whoever was waiting on that file then holds a lock on a file that no longer
has the name: ``lock_file`` notices and takes the lock again on the file now
there (or on a new one). Removing a lock file nobody holds is just as safe,
by taking it first (`lumora.upkeep.tidy`).
"""

from __future__ import annotations

import os
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from pathlib import Path

import filelock

__all__ = ["lock_file", "remove_lock_file"]


def _names(path: Path, held: os.stat_result) -> bool:
    try:
        return os.path.samestat(os.stat(path), held)
    except FileNotFoundError:
        return False


@contextmanager
def lock_file(path: Path, *, on_wait: Callable[[], None] | None = None) -> Iterator[os.stat_result | None]:
    """Holds the OS lock on the file that path names, making the file if need be.

    Yields the locked file's stat; or None at once, when another holder has
    it and there is no ``on_wait`` (which is called before waiting).
    """
    locked: list[os.stat_result] = []
    while True:
        # No soft-lock fallback: a soft lock outlives a holder that died.
        lock = filelock.FileLock(path, fallback_to_soft=False, on_acquired=lambda fd: locked.append(os.fstat(fd)))
        try:
            lock.acquire(timeout=0)
        except filelock.Timeout:
            if on_wait is None:
                yield None
                return
            on_wait()
            on_wait = None
            lock.acquire()
        try:
            current = _names(path, locked[-1])
        except BaseException:
            lock.release()
            raise
        if current:
            break
        lock.release()  # removed by its holder meanwhile: that lock guards nothing now
    try:
        yield locked[-1]
    finally:
        lock.release()


def remove_lock_file(path: Path, held: os.stat_result) -> bool:
    """Removes the lock file that ``lock_file`` holds, if path still names it.

    Only while holding it: the file must go before its lock is let go.
    """
    if not _names(path, held):
        return False
    os.unlink(path)
    return True
