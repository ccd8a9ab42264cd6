"""Path objects for stores on the local disk.

The extension reads every result file with ``read_bytes`` of the path objects
that `lumora.settings.get_simulations_dir` hands it. `pathlib.Path.read_bytes`
opens whatever stands at the path: a FIFO blocks the open until a writer
comes (forever, for a listing), and a link to ``/dev/zero`` is read until
memory runs out. `LocalStorePath` reads regular files only, so that anything
else in a type directory fails like an unreadable file: a listing logs and
skips it, a load raises an `OSError` that names it.
"""

from __future__ import annotations

import errno
import os
import re
import stat
import time
from collections.abc import Callable, Generator, Iterator, Sequence
from contextlib import AbstractContextManager, contextmanager
from contextvars import ContextVar
from functools import cached_property
from pathlib import Path
from types import ModuleType
from typing import Literal, NamedTuple, Protocol, Self

from lumora import _reclaim as reclaim
from lumora._lockfile import result_lock
from lumora.observe import observe

__all__ = [
    "DirEntry",
    "Kind",
    "LocalStorePath",
    "Stamp",
    "StoreDir",
    "entries_one_by_one",
    "local_entries",
    "local_known_version",
    "local_stamp",
    "note_read_failure",
    "read_failures",
    "read_local_stamped",
    "read_regular_file",
    "read_regular_file_and_stat",
    "remove_local_if_unchanged",
]

Kind = Literal["file", "directory", "other"]
# What tells one version of a file from the next: on the local disk its
# device, inode, size, modification and change times in ns; on an object store its
# size and ETag (or modification time where there is none), or its size and
# the MD5 of a content read.
Stamp = tuple[object, ...]


class _Listed(NamedTuple):
    parent: StoreDir
    name: str
    kind: Kind
    size: int
    mtime: float | None  # None where the file system does not tell
    stamp: Stamp | None = None  # None for what could not be looked at


class DirEntry(_Listed):
    """One entry of a directory listing, with what the listing told of it."""

    # A tuple, not a frozen dataclass: a listing makes one per file, and a
    # dataclass's frozen __init__ costs three times as much.

    @cached_property
    def path(self) -> StoreDir:
        # Made when first asked: a remote path object costs far more than the
        # listing's answer for it, and a look-up by name wants only a few.
        return self.parent / self.name


class StoreDir(Protocol):
    """What the store's path classes answer beyond pathlib's own questions.

    Each backend answers for itself, so that nothing above the path classes
    asks which one it is on.
    """

    @property
    def name(self) -> str: ...

    def __truediv__(self, name: str) -> Self: ...

    def read_bytes(self) -> bytes: ...

    def local_path(self) -> Path | None:
        """The operating-system path where this lies on the local disk, else None."""
        ...

    def entries(self) -> list[DirEntry]:
        """The entries of this directory from one listing; empty when it does not exist."""
        ...

    def entries_of(self, directories: Sequence[Self]) -> list[list[DirEntry] | OSError]:
        """What entries() gives for each directory, or the OSError it raised, in order;
        listed at once where the store answers many requests at once."""
        ...

    def read_stamped(self, paths: Sequence[Self]) -> Iterator[tuple[bytes, Stamp] | BaseException]:
        """The content and stamp of each regular file, or why it could not be read, in order."""
        ...

    def kept_below(self, suffix: str) -> list[Self] | None:
        """The entries whose names end with suffix in the directories directly
        below this one, as fresh listings would find them, where that is
        known without listing them; else None."""
        ...

    def remove_if_unchanged(self, stamp: Stamp) -> bool:
        """Removes this file if it is still the one stamped; False if it changed.

        FileNotFoundError if it is gone.
        """
        ...

    def known_version(self, listed: Stamp | None, read: Stamp) -> bool:
        """Whether content that read_stamped gave with stamp read is for certain the
        version that a listing stamped listed, so that the same stamp listed later
        means the same content (a file changed too recently to tell is not)."""
        ...

    def single_flight(self, simulation_id: str) -> AbstractContextManager[None] | None:
        """Held while this process simulates the result at this path, which
        others that miss it wait for; None where the store offers no such thing."""
        ...


# O_NONBLOCK: opening a FIFO without a writer, or a device that waits for a
# line, returns at once instead of waiting. Symbolic links are followed
# (no O_NOFOLLOW): a link to a regular file is a regular file to read.
# O_NOCTTY: a terminal opened by mistake does not become ours.
_NONBLOCK = getattr(os, "O_NONBLOCK", 0)
_OPEN_FLAGS = (
    os.O_RDONLY | _NONBLOCK | getattr(os, "O_NOCTTY", 0) | getattr(os, "O_BINARY", 0)  # Windows: no newline translation
)

# What makes a pattern more than a literal suffix after its leading "*".
_GLOB_SPECIAL = re.compile("[" + re.escape("*?[/" + (os.altsep or "")) + "]")
# What pathlib's exists() and is_dir() take for "no": anything else is raised.
_ABSENT = frozenset({errno.ENOENT, errno.ENOTDIR, errno.EBADF, errno.ELOOP})

_KINDS = (
    (stat.S_ISFIFO, "a FIFO"),
    (stat.S_ISCHR, "a character device"),
    (stat.S_ISBLK, "a block device"),
    (stat.S_ISSOCK, "a socket"),
)


# The reads that failed while read_failures() watches, by the text of the
# path: the extension words every file that its listing skips as a parse
# failure, and this is how its caller tells those that could not be read at
# all. A context variable, so that other threads' reads are not mixed in.
_READ_FAILURES: ContextVar[dict[str, OSError] | None] = ContextVar("lumora_read_failures", default=None)


@contextmanager
def read_failures() -> Iterator[dict[str, OSError]]:
    """The store's path objects whose reads fail during the block, as their
    text (as the extension's messages name them) and what the read raised."""
    failures: dict[str, OSError] = {}
    token = _READ_FAILURES.set(failures)
    try:
        yield failures
    finally:
        _READ_FAILURES.reset(token)


def note_read_failure(path: object, failure: OSError) -> None:
    """Tell read_failures() that reading path raised failure."""
    failures = _READ_FAILURES.get()
    if failures is not None:
        failures[str(path)] = failure


def _not_regular(mode: int, path: str | os.PathLike[str]) -> OSError:
    if stat.S_ISDIR(mode):
        return IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), os.fspath(path))
    kind = next((name for test, name in _KINDS if test(mode)), "not a regular file")
    return OSError(errno.EINVAL, f"not a regular file ({kind}), refusing to read it", os.fspath(path))


def read_regular_file(path: str | os.PathLike[str]) -> bytes:
    """The whole content of the regular file at path (links followed).

    Raises OSError naming path when it is anything else (IsADirectoryError
    for a directory, errno EINVAL for a FIFO, device or socket), without
    waiting on it or reading from it.
    """
    return read_regular_file_and_stat(path)[0]


def read_regular_file_and_stat(path: str | os.PathLike[str]) -> tuple[bytes, os.stat_result]:
    """As `read_regular_file`, with the stat of the file read, taken before reading.

    A change to the file after the stat shows in its modification time, even
    one made while it was being read.
    """
    fd = os.open(path, _OPEN_FLAGS)
    try:
        # The descriptor's own type: a name checked before opening could be
        # swapped for something else in between.
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            raise _not_regular(info.st_mode, path)
        if _NONBLOCK:
            # Reads as from an ordinary open: POSIX leaves O_NONBLOCK on a
            # regular file to the file system, and a FUSE one may honour it.
            os.set_blocking(fd, True)
        # The size is a hint: a file that grew meanwhile is still read to its end.
        first = os.read(fd, info.st_size + 1 if info.st_size else 1 << 16)
        if not first:
            return first, info
        chunks = [first]
        while chunk := os.read(fd, 1 << 20):
            chunks.append(chunk)
        return (first if len(chunks) == 1 else b"".join(chunks)), info
    finally:
        os.close(fd)


def local_stamp(info: os.stat_result) -> Stamp:
    """The stamp of the local file of this stat.

    The change time is there because the modification time can be set back
    (os.utime, cp -p, tar): no write leaves the change time as it was.
    """
    return (info.st_dev, info.st_ino, info.st_size, info.st_mtime_ns, info.st_ctime_ns)


# Time stamps that file systems keep coarsely (a kernel tick, two seconds on
# FAT): a file changed this recently may change again under the same stamp.
SETTLING_NS = 2_000_000_000


def local_known_version(listed: Stamp | None, read: Stamp) -> bool:
    """StoreDir.known_version of files on the local disk."""
    if listed != read:
        return False
    mtime_ns, ctime_ns = read[3], read[4]
    assert isinstance(mtime_ns, int) and isinstance(ctime_ns, int)
    return time.time_ns() - max(mtime_ns, ctime_ns) >= SETTLING_NS


# Each file looked at from the open directory rather than by its whole path
# again: a tenth of what a stat costs, and the names are those of one directory.
_BY_DESCRIPTOR = os.scandir in os.supports_fd and hasattr(os, "O_DIRECTORY")


def local_entries(directory: StoreDir, local: Path) -> list[DirEntry]:
    """The entries of the local directory local, as paths below directory."""
    try:
        opened = os.open(local, os.O_RDONLY | os.O_DIRECTORY) if _BY_DESCRIPTOR else None
    except FileNotFoundError:
        return []
    try:
        return _entries(directory, local if opened is None else opened)
    finally:
        if opened is not None:
            os.close(opened)


def _entries(directory: StoreDir, listed: Path | int) -> list[DirEntry]:
    entries: list[DirEntry] = []
    append, is_regular, is_directory = entries.append, stat.S_ISREG, stat.S_ISDIR
    made = tuple.__new__  # DirEntry's own __new__ is a Python function, called once per file
    try:
        with os.scandir(listed) as listing:
            for item in listing:
                try:
                    info = item.stat()  # follows symbolic links, as reading does
                except OSError:
                    if not item.is_symlink():
                        continue  # removed since the listing
                    append(DirEntry(directory, item.name, "other", 0, None))
                    continue
                mode = info.st_mode
                kind: Kind = "file" if is_regular(mode) else "directory" if is_directory(mode) else "other"
                # local_stamp's, written out: this loop runs once per file of a listing.
                stamp = (info.st_dev, info.st_ino, info.st_size, info.st_mtime_ns, info.st_ctime_ns)
                append(made(DirEntry, (directory, item.name, kind, info.st_size, info.st_mtime, stamp)))
    except FileNotFoundError:
        return []
    return entries


def entries_one_by_one(directories: Sequence[StoreDir]) -> list[list[DirEntry] | OSError]:
    """StoreDir.entries_of where listings are not worth running at once."""
    listed: list[list[DirEntry] | OSError] = []
    for directory in directories:
        try:
            listed.append(directory.entries())
        except OSError as exc:
            listed.append(exc)
    return listed


def read_local_stamped(paths: Sequence[StoreDir]) -> Iterator[tuple[bytes, Stamp] | BaseException]:
    """StoreDir.read_stamped of files on the local disk."""
    for path in paths:
        local = path.local_path()
        assert local is not None
        try:
            # Checked again on the open file: the name may have been swapped for a FIFO.
            data, info = read_regular_file_and_stat(local)
        except OSError as exc:
            yield exc
        else:
            yield data, local_stamp(info)


def remove_local_if_unchanged(local: Path, stamp: Stamp) -> bool:
    """StoreDir.remove_if_unchanged of the local file local."""
    # Compared and removed back to back: a save landing between these two
    # calls is the only one that could be lost.
    return reclaim.unlink_if(local, lambda info: local_stamp(info) == stamp)


def _stat_answer(path: Path, test: Callable[[int], bool], follow_symlinks: bool) -> bool:
    # pathlib's own rules, without its layers of calls: a look-up by ID asks
    # this of every type directory.
    try:
        return test(os.stat(path, follow_symlinks=follow_symlinks).st_mode)
    except OSError as exc:
        if exc.errno not in _ABSENT:
            raise
        return False
    except ValueError:  # not representable on this system
        return False


_EFFECTIVE_IDS = os.access in os.supports_effective_ids


def _resolves(path: str) -> bool:
    # Under the effective IDs, which stat runs under too; where access(2)
    # cannot take them, a set-ID process could be told otherwise: stat answers.
    if not _EFFECTIVE_IDS:
        return False
    try:
        return os.access(path, os.F_OK, effective_ids=True)
    except ValueError:  # not representable on this system: stat's answer follows
        return False


_DIRINDEX: ModuleType | None = None


def _index() -> ModuleType:
    # Loaded at the first look-up by name: it brings ctypes and libc, which a
    # listing of summaries does without. Kept here: an import statement run
    # again costs a look-up a microsecond.
    global _DIRINDEX
    if _DIRINDEX is None:
        from lumora import _dirindex

        _DIRINDEX = _dirindex
    return _DIRINDEX


# Directories of at most this many names have their paths kept between
# iterdirs, for at most this many directories.
_SMALL = 32
_CHILDREN: dict[str, tuple[list[str], type, list[LocalStorePath]]] = {}


class LocalStorePath(Path):
    """A `pathlib.Path` whose ``read_bytes`` reads regular files only, and
    whose ``iterdir`` and ``glob`` of a ``*<name part>`` pattern (a look-up
    by ID) are answered from directory names that the kernel keeps current
    where it can (see `lumora._dirindex`), as a fresh read of the directory
    would be.

    ``unlink`` takes the name away before it returns, as pathlib's does; on
    a disk of a block device, while unlinks there are slow, the file's
    blocks are then given back by a thread of `lumora._reclaim`, a moment
    later, instead of by the caller (most of what such an unlink costs).
    The module's deleting and clearing use it.

    Reads and deletions are reported to `lumora.observe.STORE_OBSERVER`
    when one is set (the command line's progress bars). Everything else is
    `pathlib.Path` unchanged: paths derived with ``/``, ``parent``,
    ``iterdir``, ``glob`` and the like are LocalStorePath too, and one
    compares, hashes and pickles as the Path of the same text.
    """

    __slots__ = ()

    def __truediv__(self, key: str | os.PathLike[str]) -> Self:
        # A plain name joined as text: pathlib's own join leaves the path to
        # be parsed again at first use, which a listing pays for every file.
        if type(key) is str and key and key != "." and "/" not in key and (os.altsep or "/") not in key:
            here = str(self)
            made: Callable[[str], Self] = self._from_parsed_string  # type: ignore[attr-defined]
            return made(key if here == "." else here + key if here.endswith("/") else f"{here}/{key}")
        return super().__truediv__(key)

    def read_bytes(self) -> bytes:
        observe("read")
        try:
            return read_regular_file(self)
        except OSError as exc:
            note_read_failure(self, exc)
            raise

    def glob(
        self, pattern: str, *, case_sensitive: bool | None = None, recurse_symlinks: bool = False
    ) -> Iterator[LocalStorePath]:
        # "*<name part>" (a look-up by ID, a listing's "*.json") is answered
        # from the kept directory when there is one: no read of the whole
        # directory per look-up. Anything else is pathlib's.
        if type(pattern) is str and pattern[:1] == "*" and case_sensitive in (None, True):
            suffix = pattern[1:]
            if suffix and _GLOB_SPECIAL.search(suffix) is None:
                here = str(self)
                found = _index().names_ending_with(here, suffix)
                if found is not None:
                    return iter(self._made(here, found))
        return super().glob(pattern, case_sensitive=case_sensitive, recurse_symlinks=recurse_symlinks)

    def iterdir(self) -> Generator[LocalStorePath]:
        found = _index().names(str(self))
        return super().iterdir() if found is None else self._kept_children(found)

    def _children(self, found: list[str]) -> Generator[LocalStorePath]:
        return (path for path in self._made(str(self), found))

    def _made(self, here: str, found: list[str]) -> list[LocalStorePath]:
        # Made from their text as pathlib's own iterdir makes them: a path
        # made otherwise parses itself again when it is first used, which a
        # look-up by ID would pay for every type directory.
        made: Callable[[str], LocalStorePath] = self._from_parsed_string  # type: ignore[attr-defined]
        return [made(name if here == "." else os.path.join(here, name)) for name in found]

    def _kept_children(self, found: list[str]) -> Generator[LocalStorePath]:
        if len(found) > _SMALL:
            return self._children(found)
        # The store root's few type directories, asked for at every look-up
        # by ID: made once while they stay the same.
        here = str(self)
        known = _CHILDREN.get(here)
        if known is None or known[0] != found or known[1] is not type(self):
            known = (found, type(self), self._made(here, found))
            if len(_CHILDREN) >= _SMALL:
                _CHILDREN.clear()
            _CHILDREN[here] = known
        return (path for path in known[2])

    # A look-up by ID asks exists of the root and is_dir of each type
    # directory. Where the answer is yes, access(2) gives it without the
    # stat_result that os.stat makes (half the cost); a "no" is stat's, which
    # tells an absent path from one that raises.

    def exists(self, *, follow_symlinks: bool = True) -> bool:
        if follow_symlinks and _resolves(str(self)):
            return True
        return _stat_answer(self, bool, follow_symlinks)

    def is_dir(self, *, follow_symlinks: bool = True) -> bool:
        # With a trailing slash a path resolves only to a directory, links followed.
        if follow_symlinks and _resolves(str(self) + "/"):
            return True
        return _stat_answer(self, stat.S_ISDIR, follow_symlinks)

    def unlink(self, missing_ok: bool = False) -> None:
        observe("unlink")
        try:
            reclaim.unlink(self)
        except FileNotFoundError:
            if not missing_ok:
                raise

    def local_path(self) -> Path:
        return self

    def entries(self) -> list[DirEntry]:
        return local_entries(self, self)

    def entries_of(self, directories: Sequence[Self]) -> list[list[DirEntry] | OSError]:
        return entries_one_by_one(directories)

    def read_stamped(self, paths: Sequence[Self]) -> Iterator[tuple[bytes, Stamp] | BaseException]:
        return read_local_stamped(paths)

    def kept_below(self, suffix: str) -> list[Self] | None:
        found = _index().paths_below_ending_with(str(self), suffix)
        return None if found is None else [self.with_segments(path) for path in found]

    def remove_if_unchanged(self, stamp: Stamp) -> bool:
        return remove_local_if_unchanged(self, stamp)

    def known_version(self, listed: Stamp | None, read: Stamp) -> bool:
        return local_known_version(listed, read)

    def single_flight(self, simulation_id: str) -> AbstractContextManager[None]:

        return result_lock(self, simulation_id)
