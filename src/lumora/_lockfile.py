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
from contextlib import contextmanager, suppress
from pathlib import Path

from lumora import layout
from lumora.logger import get_logger

__all__ = ["lock_file", "remove_lock_file", "result_lock"]


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
    import filelock  # a few dozen ms at start-up, and most commands take no lock

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


@contextmanager
def result_lock(result: Path, simulation_id: str) -> Iterator[None]:
    """Held while one process simulates the result at result; others wait for it.

    A lock file beside the result, which its holder removes when done. The
    OS lock ends with its holder's process, so a holder that died never
    blocks anyone (its file is left to ``lumora.upkeep.tidy``).
    """
    path = result.with_name(layout.lock_name(result.name, simulation_id))

    def waiting() -> None:
        get_logger().info("Waiting for another simulation of %s to finish", simulation_id)

    with lock_file(path, on_wait=waiting) as held:
        assert held is not None  # it waits
        try:
            yield
        finally:
            # Where it cannot go (Windows removes a lock file only once it is
            # let go, which filelock does), it is left, empty and harmless.
            with suppress(OSError):
                remove_lock_file(path, held)
