"""Removing a file's name at once, and giving its blocks back just after.

On a local disk most of what unlink(2) costs for a file the kernel has
written back is freeing its blocks, which happens when the last reference
to the file goes. A descriptor held across the unlink (O_PATH: no read
permission needed, no wait on a FIFO) leaves that work to its close, and a
thread of this module makes the close. The name is gone when `unlink`
returns, as with `os.unlink`: a look-up, a listing, another process no
longer see the file. Only the space comes back a moment later, while the
caller goes on.

Handing a close over costs the caller too, so it is done only while plain
unlinks are seen to be slow (a moving average of their times, one in
`_PROBE_EVERY` still made plain to keep it current): a file written a
moment ago has no blocks yet, and its unlink is quick. And only on file
systems of a block device (ext4, XFS, F2FS and the like): on NFS a file
removed while open is renamed to ``.nfs…`` instead, so NFS, SMB, FUSE,
tmpfs, Btrfs and overlays are left to unlink(2) alone.

The closer gathers closes for a moment (`_BATCH`, `_GATHER_SECONDS`),
takes all that wait, and makes each run of consecutive descriptors among
them in one call (`os.closerange`), which lets go of Python's lock for the
whole run. A close made on its own takes the lock back after it, and while
the closer waits for the lock, each system call of the caller hands it over
and waits to get it back: about 5 us a call, a third of a removal. To
make runs, a descriptor handed over is moved up to the lowest free number
from `_BASE` on (just below the usual limit of 1,024). A run holds only
numbers that this module holds, so no other descriptor is closed by it.

At most `_MAX_PENDING` closes wait; past that, `unlink` makes the oldest
itself, so the space never falls further behind. `settle` waits until every
close handed over is made. The closer ends after a second with nothing to
close, and before a fork, which waits for every close: no child inherits a
descriptor that keeps a removed file's blocks.
"""

from __future__ import annotations

import errno
import os
import threading
import time
from collections import deque
from collections.abc import Callable
from types import ModuleType

fcntl: ModuleType | None
try:
    import fcntl
except ImportError:  # Windows, where nothing is handed over
    fcntl = None

__all__ = ["settle", "unlink", "unlink_if"]

StrPath = str | os.PathLike[str]

_O_PATH: int | None = getattr(os, "O_PATH", None)
_MAX_PENDING = 64
# Descriptors handed over are moved to numbers from this up; -1 once the
# limit of descriptors is found too low for it: left where they are.
_BASE = 1024 - 2 * _MAX_PENDING


# Unlinks that take longer than this hold the file across and leave the
# close to the closer; quicker ones are left as they are: handing a close
# over costs the caller about that much. While they go to the closer, one in
# _PROBE_EVERY is left as it is all the same, to tell what they cost.
_WORTH_SECONDS = 50e-6
_PROBE_EVERY = 32
_IDLE_SECONDS = 1.0
# The closer waits for this many closes, or this long after the first, so as
# to take Python's lock back once for many: each time costs the caller too.
_BATCH = 32
_GATHER_SECONDS = 0.005

_pending: deque[int] = deque()
_closing = 0  # closes taken from _pending by the closer and not made yet
_stopping = False
_closer: threading.Thread | None = None  # the last started, running or not
_running = False
_turn = threading.Condition(threading.Lock())
_cost = 0.0  # seconds that plain unlinks took of late, a moving average
_handed = 0  # closes handed over since the last plain unlink


def unlink(path: StrPath) -> None:
    """`os.unlink(path)`, the file's blocks freed by the closer where that pays."""
    _unlink(path, os.O_NOFOLLOW, None)  # the name's own inode, a link's included


def unlink_if(path: StrPath, same: Callable[[os.stat_result], bool]) -> bool:
    """Unlinks path if `same` holds for its `os.stat` (links followed); False if not.

    Raises what `os.stat` would for a path that is not there.
    """
    return _unlink(path, 0, same)


def _unlink(path: StrPath, flags: int, same: Callable[[os.stat_result], bool] | None) -> bool:
    fd = _held(path, flags) if _deferring() else -1
    if fd < 0:
        if same is not None and not same(os.stat(path)):
            return False
        _unlink_timed(path)
        return True
    try:
        info = os.fstat(fd)
        if same is not None and not same(info):
            os.close(fd)
            return False
        if not _on_block_device(info):
            os.close(fd)
            fd = -1
        os.unlink(path)
    except BaseException:
        if fd >= 0:
            os.close(fd)
        raise
    if fd >= 0:
        _hand_over(_moved_up(fd))
    return True


def settle() -> None:
    """Waits until the blocks of every file removed here are given back."""
    while True:
        with _turn:
            if not _pending:
                while _closing:
                    _turn.wait()
                return
            fd = _pending.popleft()
        _close(fd)  # rather than wait for the closer: both cores free blocks


def _held(path: StrPath, flags: int) -> int:
    # -1 where it cannot be held: then the unlink frees the blocks itself, and
    # raises what it would have raised.
    if _O_PATH is None:
        return -1
    try:
        return os.open(path, _O_PATH | os.O_CLOEXEC | flags)
    except OSError:
        return -1


def _on_block_device(info: os.stat_result) -> bool:
    # Not NFS (which renames a file removed while open), nor SMB, FUSE,
    # tmpfs, Btrfs or overlays.
    return os.major(info.st_dev) != 0


def _deferring() -> bool:
    """Whether the next unlink is to leave its close to the closer. A file whose
    data the kernel has not written back yet has no blocks to free, and its
    unlink is quick (about 16 us for 23 KB on ext4); one written back has
    blocks to free, and its unlink takes about 90 us."""
    global _handed
    if _cost > _WORTH_SECONDS and _handed < _PROBE_EVERY:
        _handed += 1
        return True
    _handed = 0
    return False


def _unlink_timed(path: StrPath) -> None:
    global _cost
    start = time.perf_counter()
    os.unlink(path)
    _cost += (time.perf_counter() - start - _cost) / 4


def _moved_up(fd: int) -> int:
    """fd, or a duplicate of it from _BASE up in its place (see the module's documentation)."""
    global _BASE
    if fcntl is None or _BASE < 0 or fd >= _BASE:
        return fd
    try:
        high: int = fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, _BASE)
    except OSError as exc:  # none free there: closed on its own
        if exc.errno == errno.EINVAL:  # _BASE is beyond the limit
            _BASE = -1
        return fd
    os.close(fd)  # the duplicate holds the file: this close frees nothing
    return high


def _hand_over(fd: int) -> None:
    global _closer, _running
    with _turn:
        if not _running:
            closer = threading.Thread(target=_close_pending, name="lumora-reclaim", daemon=True)
            try:
                closer.start()
            except RuntimeError:  # no new threads at interpreter shutdown
                os.close(fd)
                return
            _closer, _running = closer, True
        _pending.append(fd)
        if len(_pending) in (1, _BATCH):  # the closer's times to wake (see _next)
            _turn.notify_all()
        # Past the bound the caller frees the oldest itself: the space falls
        # no further behind, and a caller quicker than the closer lends a core.
        fd = _pending.popleft() if len(_pending) > _MAX_PENDING else -1
    if fd >= 0:
        _close(fd)


def _close(fd: int) -> None:
    try:
        os.close(fd)
    except OSError:  # nothing to do about it: the name is gone already
        pass


def _close_all(fds: list[int]) -> None:
    """Closes fds (ascending), each run of consecutive numbers in one call."""
    start = 0
    for end in range(1, len(fds) + 1):
        if end == len(fds) or fds[end] != fds[end - 1] + 1:
            if end - start == 1:
                _close(fds[start])
            else:
                os.closerange(fds[start], fds[end - 1] + 1)
            start = end


def _close_pending() -> None:
    global _closing, _running
    try:
        while fds := _next():
            try:
                _close_all(fds)
            finally:
                with _turn:
                    _closing -= len(fds)
                    if not _closing:
                        _turn.notify_all()  # settle() may wait for it
    finally:
        # However it ends, the next hand-over starts another (it may have already).
        with _turn:
            if _closer is threading.current_thread():
                _running = False


def _next() -> list[int]:
    """The descriptors the closer is to close next, taken, in ascending order;
    none when the closer is to end."""
    global _closing, _running
    with _turn:
        while len(_pending) < _BATCH and not _stopping:
            if _pending:
                if not _turn.wait(_GATHER_SECONDS) and _pending:
                    break  # what came meanwhile is closed now
            elif not _turn.wait(_IDLE_SECONDS) and not _pending:
                break
        if not _pending:
            # Idle, or asked to end: no thread stays behind in a process that
            # removed something once, nor in one that forks.
            _running = False
            return []
        fds = sorted(_pending)
        _pending.clear()
        _closing += len(fds)
        return fds


def _end_closer() -> None:
    """Ends the closer, if one runs, and waits for it; called with _turn held."""
    global _stopping, _closer
    while (closer := _closer) is not None:
        _stopping = True
        _turn.notify_all()
        _turn.release()
        try:
            closer.join()
        finally:
            _turn.acquire()
        if _closer is closer:
            _closer = None
    _stopping = False


def _before_fork() -> None:
    # Held through the fork, so nothing is handed over meanwhile; the closer
    # is ended first and what waits is closed here: the child then has no
    # descriptor of a removed file to keep alive, and the parent no thread to
    # be warned of.
    _turn.acquire()
    _end_closer()
    while _pending:
        _close(_pending.popleft())


def _after_fork_in_parent() -> None:
    _turn.release()


def _after_fork_in_child() -> None:
    global _turn
    _turn = threading.Condition(threading.Lock())  # a copy of one held


if _O_PATH is not None:  # no closer runs where there is none
    os.register_at_fork(before=_before_fork, after_in_parent=_after_fork_in_parent, after_in_child=_after_fork_in_child)
