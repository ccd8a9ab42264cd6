"""Directory contents kept up to date by the kernel, for look-ups by ID.

Finding a result by its ID means matching ``*_<ID>.json`` against every name
in every type directory: one read of the whole directory per look-up, so a
clearing, which looks up each result it removes, grew with the square of
the store. On Linux a directory's names can instead be read once and then
kept current with inotify, which queues every creation, removal and rename
in the directory before the call that made it returns, whichever process
made it. Reading that queue before each answer makes the answer as fresh as
a new read of the directory, at the cost of the changes since the last one.

The directory is opened once; the watch is set and the names listed through
that descriptor, so both are of the same directory whatever its path leads
to meanwhile. A rename's events can come in an order that misleads (a swap
of two names reports each name moved out after moved in), so the names that
moves mention are looked up in the directory instead of replayed.

A miss across the whole store asks the same of every directory below its
root: the root's names are kept as well, and what each name leads to (a
directory kept, or no directory) is looked at again only once an event on
that name was reported; a symbolic link is followed on every question, as
where it leads can change without one.

A kept directory is asked for by its path, and whether the path still
leads to it is a stat per question, unless every directory above it is
watched as well: a path leads elsewhere only once a name along it is
created, removed, renamed or has its permissions changed (each an event on
the directory above that name), or a file system is mounted or unmounted
(told by /proc/self/mounts). While none of that was reported since the path
was last found to lead to the directory kept, no stat is needed. Paths
through a symbolic link, relative paths, and paths through a directory of
another file system kind are checked by stat at each question, as before.
(A chroot or a change of mount namespace by this process is not seen.)

Only on file systems whose every change passes through this machine's
kernel (ext4, XFS, Btrfs, tmpfs, F2FS): on NFS, SMB or FUSE, other machines'
changes would go unseen, so those directories are read as before. Anything
that could leave a kept directory stale (a lost event, the directory moved,
removed or replaced at its path, a fork) drops what was kept; the next
question reads the directory again. LUMORA_DIR_INDEX=0 turns it all off.
"""

from __future__ import annotations

import ctypes
import errno
import os
import select
import stat
import struct
import sys
import threading
from collections import OrderedDict
from typing import Any, Literal

__all__ = ["names", "names_ending_with", "paths_below_ending_with"]

# inotify(7) and statfs(2) constants.
_IN_NONBLOCK = os.O_NONBLOCK
_IN_CLOEXEC = os.O_CLOEXEC
_IN_MOVED_FROM, _IN_MOVED_TO, _IN_CREATE, _IN_DELETE = 0x40, 0x80, 0x100, 0x200
_IN_DELETE_SELF, _IN_MOVE_SELF, _IN_UNMOUNT, _IN_Q_OVERFLOW, _IN_IGNORED = 0x400, 0x800, 0x2000, 0x4000, 0x8000
_IN_ATTRIB, _IN_ONLYDIR, _IN_DONT_FOLLOW = 0x04, 0x01000000, 0x02000000
# One mask for a directory kept and a directory above a path: a directory
# that is both has one watch, whose mask each adding would replace.
_WATCH_MASK = (
    _IN_CREATE | _IN_DELETE | _IN_MOVED_FROM | _IN_MOVED_TO | _IN_ATTRIB | _IN_DELETE_SELF | _IN_MOVE_SELF | _IN_ONLYDIR
)
_MOVED = _IN_MOVED_FROM | _IN_MOVED_TO
_GONE = _IN_DELETE_SELF | _IN_MOVE_SELF | _IN_UNMOUNT | _IN_IGNORED
_EVENT = struct.Struct("iIII")  # wd, mask, cookie, len; then len bytes of NUL-padded name
_READ_SIZE = 1 << 16
_MAX_EVENT = _EVENT.size + 255 + 1  # NAME_MAX and its NUL
# Local file systems, by statfs f_type: ext2/3/4, XFS, Btrfs, tmpfs, F2FS.
_LOCAL_KINDS = frozenset({0xEF53, 0x58465342, 0x9123683E, 0x01021994, 0xF2F52010})
# Directories and names kept at once, whether reached by a listing or by
# names arriving: the least recently asked directory is dropped beyond either,
# and a larger directory is not kept at all.
_MAX_DIRS = 64
_MAX_NAMES = 1_000_000
# Suffix lengths indexed per directory (a look-up by ID and a listing use
# two); any other is matched name by name.
_MAX_SUFFIX_LENGTHS = 4
# A store with more type directories than this is looked through by the
# caller: keeping them all would push out what else is kept.
_MAX_BELOW = _MAX_DIRS // 2
# Paths whose directories above them are watched (twice the directories kept:
# only a path to a kept directory is of use), those directories' watches, and
# paths found not to be trusted.
_MAX_TRUSTED = 2 * _MAX_DIRS
_MAX_ABOVE = 2 * _MAX_DIRS
_MAX_DISTRUSTED = 4 * _MAX_DIRS
_MOUNTS = "/proc/self/mounts"  # pollable: POLLPRI at each mount or unmount


class _Dir:
    """The names of one watched directory, in the order first seen."""

    __slots__ = ("fd", "identity", "names", "by_suffix", "below")

    def __init__(self, fd: int, identity: tuple[int, int], names: list[str]) -> None:
        self.fd = fd  # the directory watched, held open to look up moved names in
        self.identity = identity  # (st_dev, st_ino) of the directory watched
        self.names: dict[str, None] = dict.fromkeys(names)
        # For each suffix length asked for: suffix -> names ending with it.
        self.by_suffix: dict[int, dict[str, dict[str, None]]] = {}
        # What names that are no symbolic link were found to be: the watch and
        # identity of a directory, None for anything else. Only an event on
        # the name here can change that, and every one drops it.
        self.below: dict[str, tuple[int, tuple[int, int]] | None] = {}

    def add(self, name: str) -> bool:
        if name in self.names:
            return False
        self.names[name] = None
        for length, index in self.by_suffix.items():
            if len(name) >= length:
                index.setdefault(name[-length:], {})[name] = None
        return True

    def remove(self, name: str) -> bool:
        if name not in self.names:
            return False
        del self.names[name]
        for length, index in self.by_suffix.items():
            if len(name) >= length and (bucket := index.get(name[-length:])) is not None:
                bucket.pop(name, None)
                if not bucket:
                    del index[name[-length:]]
        return True

    def ending_with(self, suffix: str) -> list[str]:
        length = len(suffix)
        if not length:
            return list(self.names)
        index = self.by_suffix.get(length)
        if index is None:
            if len(self.by_suffix) >= _MAX_SUFFIX_LENGTHS:
                return [name for name in self.names if name.endswith(suffix)]
            index = {}
            for name in self.names:
                if len(name) >= length:
                    index.setdefault(name[-length:], {})[name] = None
            self.by_suffix[length] = index
        return list(index.get(suffix, ()))


class _Index:
    """One inotify instance and the directories it watches, for one process."""

    def __init__(self, libc: ctypes.CDLL) -> None:
        self._libc = libc
        self._lock = threading.Lock()
        self._fd = -1
        self._pid = -1
        self._dirs: OrderedDict[int, _Dir] = OrderedDict()  # by watch descriptor, least recent first
        self._watch_of: dict[str, int] = {}  # directory path -> watch descriptor
        self._kept_names = 0  # in all of _dirs
        self._owner: int | None = None  # the thread inside, if any
        self._ready = select.poll()  # whether the queue holds anything, without a failing read
        # Paths found to lead to a kept directory (its watch and identity)
        # since which no event on a name along them came (see _trust).
        self._trusted: dict[str, tuple[int, tuple[int, int]]] = {}
        self._along: set[tuple[int, bytes]] = set()  # (watch of a directory above, the name below it) on those paths
        self._above: set[int] = set()  # the watches of the directories above them
        self._distrusted: set[str] = set()  # paths whose directories above cannot all be watched
        self._mounts = -1  # /proc/self/mounts, polled with the queue; -1: no path is trusted

    def after_fork(self) -> None:
        """Forgets everything in a child: its queue is shared with the parent,
        and reading it would steal the parent's events. The descriptors
        closed are the child's own copies."""
        self._lock = threading.Lock()  # another thread may have held it at the fork
        self._owner = None
        for fd in [self._fd, self._mounts, *(kept.fd for kept in self._dirs.values())]:
            if fd >= 0:
                try:
                    os.close(fd)
                except OSError:
                    pass
        self._fd, self._pid, self._mounts = -1, -1, -1
        self._ready = select.poll()
        self._dirs.clear()
        self._watch_of.clear()
        self._kept_names = 0
        self._distrust()
        self._above.clear()

    def ending_with(self, directory: str, suffix: str) -> list[str] | None:
        """The names in directory that end with suffix, or None when the
        directory cannot be kept (the caller then reads it itself)."""
        return self._asked(directory, suffix, False)

    def below_ending_with(self, root: str, suffix: str) -> list[str] | None:
        """The paths of the names ending with suffix in every directory
        directly below root, or None when any of them cannot be kept."""
        return self._asked(root, suffix, True)

    def _asked(self, directory: str, suffix: str, below: bool) -> list[str] | None:
        # Written out, not passed the answer to give: a look-up by ID asks
        # this of every type directory, and each layer of calls costs it.
        me = threading.get_ident()
        if self._owner == me:
            return None  # re-entered from a finalizer or signal handler run inside our own work
        with self._lock:
            self._owner = me
            try:
                if self._pid != os.getpid():
                    if self._fd >= 0:
                        self.after_fork()  # a fork that bypassed the hook
                    if not self._open():
                        return None
                ready = self._ready.poll(0)
                if ready:
                    self._settle(ready)
                if below:
                    return self._below_ending_with(directory, suffix)
                kept = self._kept_at(directory)
                return None if kept is None else kept.ending_with(suffix)
            finally:
                self._owner = None

    def _below_ending_with(self, root: str, suffix: str) -> list[str] | None:
        top = self._kept_at(root)
        if top is None or len(top.names) > _MAX_BELOW:
            return None
        found: list[str] = []
        for name in list(top.names):
            kept = self._below(top, root, name)
            if kept is False:
                return None
            if kept is not None:
                found += [os.path.join(root, name, match) for match in kept.ending_with(suffix)]
        return found

    def _below(self, top: _Dir, root: str, name: str) -> _Dir | None | Literal[False]:
        """The directory kept for root/name; None when it is no directory, False when it cannot be kept.

        The path was found to lead to a directory, or to anything else, when
        no symbolic link: root's own events say when that may have changed,
        so no stat is needed until then, nor until a mount or unmount (told
        by /proc/self/mounts where it can be polled; elsewhere, a file system
        mounted over it meanwhile is not seen).
        """
        if name in top.below:
            known = top.below[name]
            if known is None:
                return None
            kept = self._still(*known)
            if kept is not None:
                return kept
        directory = os.path.join(root, name)
        try:
            info = os.lstat(directory)
            link = stat.S_ISLNK(info.st_mode)
            if link:
                info = os.stat(directory)  # followed, as a type directory is
        except (FileNotFoundError, NotADirectoryError):
            return None  # gone since, or a link to nothing: no type directory
        except OSError:
            return False
        if not stat.S_ISDIR(info.st_mode):
            if not link:
                top.below[name] = None
            return None
        kept = self._kept(directory, info)
        if kept is None:
            return False
        watch = self._watch_of.get(directory)
        if not link and watch is not None:
            top.below[name] = (watch, kept.identity)
        return kept

    def _still(self, wd: int, identity: tuple[int, int]) -> _Dir | None:
        """The directory kept under wd if it is still the one of identity, then the most recently asked."""
        kept = self._dirs.get(wd)
        if kept is None or kept.identity != identity:
            return None
        self._dirs.move_to_end(wd)
        return kept

    def _kept_at(self, directory: str) -> _Dir | None:
        trusted = self._trusted.get(directory)
        if trusted is not None:
            kept = self._still(*trusted)
            if kept is not None:
                return kept
        try:
            info = os.stat(directory)
        except OSError:
            return None
        kept = self._kept(directory, info)
        if kept is not None and self._mounts >= 0 and directory not in self._distrusted:
            self._trust(directory, kept)
        return kept

    def _trust(self, directory: str, kept: _Dir) -> None:
        """Watches every directory above directory, so that its path needs no
        stat while no event on a name along it comes (nor a mount)."""
        if len(self._trusted) >= _MAX_TRUSTED:
            # Those of directories no longer kept go first; all of them only
            # when that is not enough.
            self._trusted = {path: held for path, held in self._trusted.items() if held[0] in self._dirs}
            if len(self._trusted) >= _MAX_TRUSTED or len(self._along) >= _MAX_DISTRUSTED:
                self._distrust()
        if len(self._distrusted) >= _MAX_DISTRUSTED:
            self._distrusted.clear()
        # Relative: the working directory can change unseen. And "//" may be
        # another root than "/".
        if directory[:1] != "/" or directory[:2] == "//" or os.path.normpath(directory) != directory:
            self._distrusted.add(directory)
            return
        wd = self._watch_of.get(directory)
        if wd is None:
            return
        if len(self._above) >= _MAX_ABOVE:
            self._unwatch_above()
        along: list[tuple[int, bytes]] = []
        above = "/"
        for name in directory[1:].split("/"):
            # Top down, each watched before the name below it is looked at: a
            # change along the path from here on is queued. A symbolic link
            # above is not followed (the link's own target could change).
            path = os.fsencode(above)
            watch = self._libc.inotify_add_watch(self._fd, path, _WATCH_MASK | _IN_DONT_FOLLOW)
            if watch < 0 or not _is_local(path):
                if watch >= 0 and watch not in self._dirs and watch not in self._above:
                    self._libc.inotify_rm_watch(self._fd, watch)
                self._distrusted.add(directory)
                return
            self._above.add(watch)
            along.append((watch, os.fsencode(name)))
            above = os.path.join(above, name)
        try:
            info = os.lstat(directory)
        except OSError:
            info = None
        if info is not None and stat.S_ISDIR(info.st_mode) and (info.st_dev, info.st_ino) == kept.identity:
            self._along.update(along)
            self._trusted[directory] = (wd, kept.identity)
        else:  # a symbolic link, or changed since: a stat at each question
            self._distrusted.add(directory)

    def _distrust(self) -> None:
        """Every path is checked by stat again at its next question."""
        self._trusted.clear()
        self._along.clear()
        self._distrusted.clear()

    def _unwatch_above(self) -> None:
        self._distrust()
        for watch in self._above:
            if watch not in self._dirs:
                self._libc.inotify_rm_watch(self._fd, watch)
        self._above.clear()

    def _kept(self, directory: str, info: os.stat_result) -> _Dir | None:
        """What is kept of directory, of which info is a stat taken after the last drain."""
        wd = self._watch_of.get(directory, -1)
        kept = self._still(wd, (info.st_dev, info.st_ino))
        if kept is not None:
            return kept
        # Never kept, or the path now leads to another directory (it or
        # a parent was moved or replaced): what was kept is the old one's.
        if wd in self._dirs:
            self._forget(wd)
        return self._watch(directory)

    def _open(self) -> bool:
        fd = self._libc.inotify_init1(_IN_NONBLOCK | _IN_CLOEXEC)
        if fd < 0:
            return False
        self._fd, self._pid = fd, os.getpid()
        self._ready = select.poll()
        self._ready.register(fd, select.POLLIN)
        self._mounts = _mounts_watched(self._ready) if _HAS_STATFS else -1
        return True

    def _settle(self, ready: list[tuple[int, int]]) -> None:
        for fd, _ in ready:
            if fd == self._mounts:
                # A file system mounted over a path, or unmounted from under
                # it: every path, and what each name below a kept directory
                # leads to, is looked at again.
                self._distrust()
                for kept in self._dirs.values():
                    kept.below.clear()
        if any(fd == self._fd for fd, _ in ready):
            self._drain()

    def _watch(self, directory: str) -> _Dir | None:
        self._watch_of.pop(directory, None)
        # Checked, watched and listed through one descriptor: whatever the
        # path is made to lead to meanwhile, the names are the watched
        # directory's.
        try:
            fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
        except OSError:
            return None
        wd = -1
        names: list[str] | None = None
        try:
            info = os.fstat(fd)
            if _is_local(fd):
                # /proc/self/fd/N leads to the open directory itself, not
                # through its path again.
                wd = self._libc.inotify_add_watch(self._fd, f"/proc/self/fd/{fd}".encode(), _WATCH_MASK)
            if wd >= 0:
                # Listed after the watch is in place: a change made during
                # the listing is also in the queue, and replaying it is
                # harmless.
                names = os.listdir(fd)
        except OSError:
            pass
        if names is None or len(names) > _MAX_NAMES:
            # Not local, out of watches, no /proc, too large: read it as before.
            if wd >= 0:
                self._forget(wd)
            os.close(fd)
            return None
        if wd in self._dirs:  # the same directory, kept under another path as well
            self._discard(wd)
        kept = _Dir(fd, (info.st_dev, info.st_ino), names)
        self._dirs[wd] = kept
        self._kept_names += len(names)
        self._watch_of[directory] = wd
        self._within_caps()
        return kept

    def _within_caps(self) -> None:
        while len(self._dirs) > _MAX_DIRS or self._kept_names > _MAX_NAMES:
            self._forget(next(iter(self._dirs)))  # the least recently asked

    def _discard(self, wd: int) -> None:
        kept = self._dirs.pop(wd, None)
        if kept is not None:
            self._kept_names -= len(kept.names)
            os.close(kept.fd)

    def _forget(self, wd: int) -> None:
        self._discard(wd)
        for path in [p for p, w in self._watch_of.items() if w == wd]:
            del self._watch_of[path]
        if wd not in self._above:  # else still watched for the paths below it
            self._libc.inotify_rm_watch(self._fd, wd)

    def _forget_all(self) -> None:
        self._unwatch_above()
        for watched in list(self._dirs):
            self._forget(watched)

    def _add(self, wd: int, kept: _Dir, name: str) -> None:
        if not kept.add(name):
            return
        self._kept_names += 1
        if len(kept.names) > _MAX_NAMES:
            self._forget(wd)  # now too large to keep at all
        self._within_caps()

    def _remove(self, kept: _Dir, name: str) -> None:
        if kept.remove(name):
            self._kept_names -= 1

    def _drain(self) -> None:
        """Applies what the queue holds; called once poll found it not empty
        (the common case is an empty one, told by that one cheap call)."""
        moved: dict[int, dict[str, None]] = {}  # names that moves mentioned, by watch
        while True:
            try:
                data = os.read(self._fd, _READ_SIZE)
            except BlockingIOError:
                break
            except OSError as exc:
                if exc.errno == errno.EINTR:
                    continue
                self._forget_all()
                return
            offset = 0
            while offset < len(data):
                wd, mask, _, length = _EVENT.unpack_from(data, offset)
                start = offset + _EVENT.size
                offset = start + length
                if mask & _IN_Q_OVERFLOW:
                    self._forget_all()  # events were lost: nothing kept can be trusted
                    continue
                raw = data[start:offset].rstrip(b"\0")
                if wd in self._above and (not raw or (wd, raw) in self._along):
                    # A name along a trusted path changed, or a directory above
                    # one had its permissions changed or went.
                    self._distrust()
                    if mask & (_IN_IGNORED | _IN_UNMOUNT):
                        self._above.discard(wd)
                kept = self._dirs.get(wd)
                if kept is None:
                    continue
                if mask & _GONE:
                    self._forget(wd)
                    continue
                name = os.fsdecode(raw)
                kept.below.pop(name, None)
                if mask & _MOVED:
                    moved.setdefault(wd, {})[name] = None
                elif mask & _IN_CREATE:
                    self._add(wd, kept, name)
                elif mask & _IN_DELETE:
                    self._remove(kept, name)
            if len(data) <= _READ_SIZE - _MAX_EVENT:
                # Room for one more event was left: the read took all that was
                # queued when it was made, and what came after is the next question's.
                break
        # A swap reports a name moved out after it was moved in, and across
        # two directories the order of their events tells nothing: a moved
        # name is looked up, once the queue is empty, in the very directory
        # watched. A later change to it is queued and applied in turn.
        for wd, names in moved.items():
            for name in names:
                kept = self._dirs.get(wd)
                if kept is None:
                    break
                try:
                    os.lstat(name, dir_fd=kept.fd)
                except FileNotFoundError:
                    self._remove(kept, name)
                except OSError:
                    self._forget(wd)
                else:
                    self._add(wd, kept, name)


def _is_local(target: int | bytes) -> bool:
    """Whether the open directory (a descriptor) or the path is on a local file system."""
    if _LIBC is None:
        return False
    buf = ctypes.create_string_buffer(256)  # struct statfs is 120 bytes on 64-bit Linux
    if (_LIBC.fstatfs(target, buf) if isinstance(target, int) else _LIBC.statfs(target, buf)) != 0:
        return False
    kind = ctypes.c_long.from_buffer(buf).value & 0xFFFFFFFF
    return kind in _LOCAL_KINDS


def _mounts_watched(ready: select.poll) -> int:
    """/proc/self/mounts registered with ready, or -1 where it cannot tell
    mounts apart (missing, or reporting a change at every poll)."""
    try:
        fd = os.open(_MOUNTS, os.O_RDONLY | os.O_CLOEXEC)
    except OSError:
        return -1
    probe = select.poll()
    probe.register(fd, select.POLLPRI)
    probe.poll(0)
    if probe.poll(0):
        os.close(fd)
        return -1
    ready.register(fd, select.POLLPRI)
    return fd


def _open_libc() -> ctypes.CDLL:
    # glibc's name, tried first: ctypes.util (and the ldconfig run it may make)
    # would cost every command's start-up more than the rest of this module.
    try:
        return ctypes.CDLL("libc.so.6", use_errno=True)
    except OSError:
        from ctypes.util import find_library

        return ctypes.CDLL(find_library("c") or "libc.so.6", use_errno=True)


def _load_libc() -> ctypes.CDLL | None:
    if not sys.platform.startswith("linux"):
        return None
    try:
        libc = _open_libc()
        for name in ("inotify_init1", "inotify_add_watch", "inotify_rm_watch", "fstatfs"):
            getattr(libc, name)
    except (OSError, AttributeError):
        return None
    libc.inotify_add_watch.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_uint32]
    libc.inotify_rm_watch.argtypes = [ctypes.c_int, ctypes.c_int]
    libc.fstatfs.argtypes = [ctypes.c_int, ctypes.c_void_p]
    if hasattr(libc, "statfs"):
        libc.statfs.argtypes = [ctypes.c_char_p, ctypes.c_void_p]
    return libc


_LIBC = _load_libc()
_HAS_STATFS = _LIBC is not None and hasattr(_LIBC, "statfs")
_INDEX = _Index(_LIBC) if _LIBC is not None else None
if _INDEX is not None:
    os.register_at_fork(after_in_child=_INDEX.after_fork)


# os.environ's own mapping, of encoded names to encoded values (CPython's,
# kept current by every change made through os.environ): the switch is read
# at every question, and os.environ.get's layers of encoding cost a look-up
# by ID more than its every other check.
_ENVIRON: dict[Any, Any] | None = getattr(os.environ, "_data", None)
if type(_ENVIRON) is not dict:
    _ENVIRON = None
_SWITCH = "LUMORA_DIR_INDEX"
_SWITCH_KEY = getattr(os.environ, "encodekey", str)(_SWITCH)
_SWITCHED_OFF = getattr(os.environ, "encodevalue", str)("0")


def _index() -> _Index | None:
    if _INDEX is None:
        return None
    if _ENVIRON is not None:
        value = _ENVIRON.get(_SWITCH_KEY)
        off = value is not None and value.strip() == _SWITCHED_OFF
    else:
        off = os.environ.get(_SWITCH, "").strip() == "0"
    return None if off else _INDEX


def names_ending_with(directory: str, suffix: str) -> list[str] | None:
    """The names of the entries in directory that end with suffix, as a
    fresh read of it would give them (in the order first seen), or None when
    this directory is not kept: read it yourself."""
    index = _index()
    return None if index is None else index.ending_with(directory, suffix)


def names(directory: str) -> list[str] | None:
    """The names of the entries in directory, as names_ending_with."""
    return names_ending_with(directory, "")


def paths_below_ending_with(root: str, suffix: str) -> list[str] | None:
    """The paths of the entries ending with suffix in the directories directly
    below root (links to directories followed, as a look-up by ID follows
    them), as fresh reads would give them; None when not every one of them
    is kept: look through them yourself."""
    index = _index()
    return None if index is None else index.below_ending_with(root, suffix)
