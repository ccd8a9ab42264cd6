"""The store's path on any fsspec file system.

The extension reaches its store only through path operations, so this class
is where such a store is made to behave like a local disk: it adds what
universal-pathlib leaves unsupported (`replace`), reads whole objects, and
answers the store's questions with fewer requests: the files of one listing
are fetched concurrently a bounded window ahead of their reader
(`lumora.remote.window`), and what a listing has just shown is not asked
for again at once. Backends with rules of their own subclass it
(`lumora.remote.s3`, `lumora.remote.local`).
"""

from __future__ import annotations

import asyncio
import errno
import fnmatch
import functools
import hashlib
import os
import time
from collections.abc import Awaitable, Callable, Iterator, Sequence
from contextlib import AbstractContextManager
from datetime import UTC, datetime
from pathlib import Path
from typing import Any, Self

import fsspec  # type: ignore[import-untyped]
from fsspec.asyn import sync  # type: ignore[import-untyped]
from upath import UPath
from upath.extensions import ProxyUPath

from lumora.logger import one_line
from lumora.observe import observe
from lumora.paths import DirEntry, Kind, Stamp, entries_one_by_one, note_read_failure
from lumora.remote.window import Prefetch, remote_window

__all__ = ["StorePath", "gathered"]

# How long what a listing showed answers the next question about it (an
# exists() on a listed file, an iterdir() after exists() on a directory).
# Within one call of the store the two follow each other at once; a path
# kept for longer asks the store again.
LISTING_FRESH = 1.0

# Names that no part of the store has. Keys such as "store//x.json",
# "store/./x.json" or "store/../x.json" show them in the root's listing, and
# the store would take each for a type directory: "" for the root itself
# (whose .json objects would pass for results), "." and ".." for the keys
# below them.
NO_NAMES = frozenset({"", ".", ".."})

# Files fetched per round of concurrent requests by read_stamped.
_FETCH_BATCH = 64

_FSSPEC_KINDS: dict[object, Kind] = {"file": "file", "directory": "directory"}


def split_url(url: str) -> tuple[str, str]:
    """(protocol, the rest) of url: schemes are case-insensitive; fsspec knows them in lower case."""
    scheme, rest = url.split("://", 1)
    return scheme.lower(), rest


def modified(info: dict[str, Any]) -> float | None:
    """The modification time in an fsspec listing entry; each file system names it its own way."""
    for key in ("mtime", "LastModified", "last_modified", "modified", "created"):
        value = info.get(key)
        if isinstance(value, datetime):
            return (value if value.tzinfo else value.replace(tzinfo=UTC)).timestamp()
        if isinstance(value, int | float):
            return float(value)
    return None


def listing_stamp(info: dict[str, Any]) -> Stamp:
    """The stamp of an object from what a listing or an info() says of it."""
    return (int(info.get("size") or info.get("Size") or 0), info.get("ETag") or modified(info))


async def gathered(calls: Sequence[Callable[[], Awaitable[Any]]]) -> list[Any]:
    """What each call returned or raised, in order, the calls made at once on the running loop."""
    return await asyncio.gather(*(call() for call in calls), return_exceptions=True)


def _content_stamp(data: bytes) -> Stamp:
    # Told apart from a listing's stamp by its length.
    return ("content", len(data), hashlib.md5(data, usedforsecurity=False).hexdigest())


def _found(contents: dict[str, Any], path: str) -> bytes | BaseException:
    # fsspec keys the answers by its own form of each path.
    for key in (path, path.lstrip("/"), "/" + path.lstrip("/")):
        if key in contents:
            value = contents[key]
            return value if isinstance(value, bytes | BaseException) else OSError(f"unexpected content {value!r}")
    # Not FileNotFoundError, which would pass for a file removed meanwhile.
    return OSError(f"the file system gave no answer for {path}")


class StorePath(ProxyUPath):
    """A universal-pathlib path that the store can use as it uses a local one."""

    __slots__ = ("_seen", "_prefetch")
    _seen: float  # on the files that glob yields: when the listing showed them (time.monotonic())
    _prefetch: tuple[Prefetch, int]  # on the files that glob yields: their listing's reads and their place in it

    @classmethod
    def for_url(cls, url: str) -> Self:
        """The store root that url names; ImportError without its fsspec driver."""
        protocol, rest = split_url(url)
        fsspec.get_filesystem_class(protocol)  # a missing driver is reported now, not at first use
        return cls(f"{protocol}://{rest}", **cls._options(protocol))

    @classmethod
    def _options(cls, protocol: str) -> dict[str, Any]:
        if protocol == "memory":  # looks at the real thing on every call
            return {}
        # Other machines write to a shared store: a listing kept from an
        # earlier call would hide their results.
        return {"use_listings_cache": False}

    def _take(self, name: str) -> Any:
        """The value of the slot name, which is cleared: what it holds is used once."""
        value = getattr(self, name, None)
        if value is not None:
            setattr(self, name, None)
        return value

    def _is_a_directory(self) -> IsADirectoryError:
        # Worded as the operating system words it for a local directory.
        return IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), str(self))

    def _same_store(self, target: Any) -> StorePath:
        if isinstance(target, StorePath):
            path = target
        elif isinstance(target, UPath):
            path = self._from_upath(target)
        else:
            path = self.with_segments(os.fspath(target))
        if path.protocol != self.protocol:
            raise ValueError(f"cannot move {self} to {path}: another file system")
        return path

    # --- what the store's backends answer alike -----------------------------

    def local_path(self) -> Path | None:
        return None

    def entries(self) -> list[DirEntry]:
        return self._entries(stamped=True)

    def entries_of(self, directories: Sequence[Self]) -> list[list[DirEntry] | OSError]:
        if len(directories) < 2 or not getattr(self.fs, "async_impl", False):
            return entries_one_by_one(directories)
        # One round of requests for all of them, not a round trip each.
        calls = [functools.partial(self.fs._ls, d.path, detail=True) for d in directories]
        listings = sync(self.fs.loop, gathered, calls)
        found: list[list[DirEntry] | OSError] = []
        for directory, listing in zip(directories, listings, strict=True):
            if isinstance(listing, FileNotFoundError):
                found.append([])
            elif isinstance(listing, OSError):
                found.append(listing)
            elif isinstance(listing, BaseException):
                raise listing
            else:
                found.append(directory._listed(listing, stamped=True))
        return found

    def _entries(self, *, stamped: bool) -> list[DirEntry]:
        # One listing with sizes and dates: asking per file would be a request
        # each. Dates and stamps only where asked: a look-up by name needs
        # neither, and working them out is most of a listing's own cost.
        try:
            listing: list[dict[str, Any]] = self.fs.ls(self.path, detail=True)
        except FileNotFoundError:
            return []
        return self._listed(listing, stamped=stamped)

    def _listed(self, listing: list[dict[str, Any]], *, stamped: bool) -> list[DirEntry]:
        """The entries of fsspec's detailed listing of this directory."""
        own = self.path.rstrip("/")
        entries = []
        for info in listing:
            full = info["name"].rstrip("/")
            if full == own:  # the directory's own marker object
                continue
            name = full.rsplit("/", 1)[-1]
            if name in NO_NAMES:
                continue
            kind = _FSSPEC_KINDS.get(info.get("type"), "other")
            size = int(info.get("size") or 0)
            if stamped:
                entries.append(DirEntry(self, name, kind, size, modified(info), listing_stamp(info)))
            else:
                entries.append(DirEntry(self, name, kind, size, None))
        return entries

    def read_stamped(self, paths: Sequence[Self]) -> Iterator[tuple[bytes, Stamp] | BaseException]:
        # Object stores answer many requests at once: one round of requests
        # per batch instead of a round trip per file.
        for start in range(0, len(paths), _FETCH_BATCH):
            names = [path.path for path in paths[start : start + _FETCH_BATCH]]
            contents = self.fs.cat(names, on_error="return", **self._read_options)
            for name in names:
                found = _found(contents, name)
                yield (found, _content_stamp(found)) if isinstance(found, bytes) else found

    def single_flight(self, simulation_id: str) -> AbstractContextManager[None] | None:
        return None  # no operation here lets exactly one of many writers in

    def known_version(self, listed: Stamp | None, read: Stamp) -> bool:
        # Only an ETag that is the MD5 of the content tells which version was
        # read; a date does not (the object may have been replaced within it).
        if listed is None or read[0] != "content":
            return False
        size, etag = listed
        return isinstance(etag, str) and size == read[1] and etag.strip('"') == read[2]

    def kept_below(self, suffix: str) -> list[Self] | None:
        return None  # nothing is kept between requests: only a listing tells

    def remove_if_unchanged(self, stamp: Stamp) -> bool:
        # From one request where it can.
        info: dict[str, Any] = self.fs.info(self.path)
        if info.get("type") != "file":
            return False
        if stamp[0] != "content":
            unchanged = listing_stamp(info) == stamp
        else:
            size, md5 = stamp[1:]
            # The ETag of an object put whole is the MD5 of its content: no need to read it again.
            unchanged = int(info.get("size") or 0) == size and (
                str(info.get("ETag", "")).strip('"') == md5 or _content_stamp(self.read_bytes()) == stamp
            )
        if unchanged:
            self.fs.rm_file(self.path)
        return unchanged

    # --- pathlib's operations, as the store uses them ------------------------

    def replace(self, target: Any) -> Self:
        """Move this file onto target, replacing what is there.

        On local disk this is a rename. Object stores have none: the object
        is copied on the server and the source removed afterwards. The copy
        lands whole (an object is never seen half-written), so a reader of
        the target sees the old content or the new, never a mixture.
        """
        dest = self._same_store(target)
        self._move(dest)
        return dest  # type: ignore[return-value]

    def _move(self, dest: StorePath) -> None:
        if dest.is_dir():
            # Where directories are real, a file is never copied beside one of the same name.
            raise dest._is_a_directory()
        self._copy_to(dest)
        self.fs.rm_file(self.path)

    def _copy_to(self, dest: StorePath) -> None:
        self.fs.cp_file(self.path, dest.path)

    @property
    def _read_options(self) -> dict[str, Any]:
        return {}

    def read_bytes(self) -> bytes:
        observe("read")
        try:
            return self._read()
        except OSError as exc:
            note_read_failure(self, exc)
            raise
        except Exception as exc:
            # What the driver raises once its retries are spent (botocore's
            # connection errors are no OSError): a failed read all the same.
            failure = OSError(errno.EIO, one_line(exc), str(self))
            note_read_failure(self, failure)
            raise failure from exc

    def _read(self) -> bytes:
        prefetch: tuple[Prefetch, int] | None = self._take("_prefetch")
        if prefetch is not None:
            fetched = prefetch[0].take(prefetch[1])
            if fetched is not None:
                return fetched
        try:
            data: bytes = self.fs.cat_file(self.path, **self._read_options)
        except FileNotFoundError:
            if self.is_dir():
                raise self._is_a_directory() from None
            raise
        return data

    def write_bytes(self, data: Any) -> int:
        # One PUT of the whole content.
        view = memoryview(data)
        self.fs.pipe_file(self.path, bytes(view))
        return view.nbytes

    def unlink(self, missing_ok: bool = False) -> None:
        observe("unlink")
        self._unlink(missing_ok)

    def _unlink(self, missing_ok: bool) -> None:
        super().unlink(missing_ok)

    def mkdir(
        self,
        mode: int = 0o777,
        parents: bool = False,
        exist_ok: bool = False,
        *,
        parent_mode: int | None = None,
    ) -> None:
        self._mkdir(mode, parents, exist_ok, parent_mode)

    def _mkdir(self, mode: int, parents: bool, exist_ok: bool, parent_mode: int | None) -> None:
        if not parents and not self.parent.is_dir():
            raise FileNotFoundError(str(self))  # fsspec's memory file system would make it
        self._mkdir_wrapped(mode, parents, exist_ok, parent_mode)

    def _mkdir_wrapped(self, mode: int, parents: bool, exist_ok: bool, parent_mode: int | None) -> None:
        # parent_mode is recent in universal-pathlib: passed only when given.
        extra = {} if parent_mode is None else {"parent_mode": parent_mode}
        super().mkdir(mode, parents, exist_ok, **extra)

    def exists(self, *, follow_symlinks: bool = True) -> bool:
        seen: float | None = self._take("_seen")
        if seen is not None and time.monotonic() - seen < LISTING_FRESH:
            # A listing of this call has just shown the file. Should it have
            # gone since, reading or removing it says so (FileNotFoundError),
            # as it would right after a fresh answer.
            return True
        return self._exists(follow_symlinks)

    def _exists(self, follow_symlinks: bool) -> bool:
        return super().exists(follow_symlinks=follow_symlinks)

    def _children(self) -> list[DirEntry]:
        """The entries of this directory, from one listing, without dates."""
        return self._entries(stamped=False)

    def iterdir(self) -> Iterator[Self]:
        yield from (child for child in super().iterdir() if child.name not in NO_NAMES)

    def _glob_wrapped(self, pattern: str, case_sensitive: bool | None, recurse_symlinks: bool) -> Iterator[Self]:
        # Only what was asked for: some universal-pathlib versions warn about any of them.
        options: dict[str, Any] = {} if case_sensitive is None else {"case_sensitive": case_sensitive}
        if recurse_symlinks:
            options["recurse_symlinks"] = recurse_symlinks
        return super().glob(pattern, **options)

    def glob(
        self, pattern: str, *, case_sensitive: bool | None = None, recurse_symlinks: bool = False
    ) -> Iterator[Self]:
        if "/" in pattern or "**" in pattern:
            yield from self._glob_wrapped(pattern, case_sensitive, recurse_symlinks)
            return
        # One listing, matched here: fsspec's glob would first ask whether
        # the directory exists, then list it (the memory file system goes
        # through all its files for each).
        matched = [entry for entry in self._children() if fnmatch.fnmatchcase(entry.name, pattern)]
        seen = time.monotonic()
        children = [self / entry.name for entry in matched]
        files = [(child, entry.size) for child, entry in zip(children, matched) if entry.kind != "directory"]
        window = remote_window()
        prefetch = None
        if window > 1 and len(files) > 1 and getattr(self.fs, "async_impl", False):
            prefetch = Prefetch(
                self.fs, [child.path for child, _ in files], [size for _, size in files], window, self._read_options
            )
        for index, (child, _) in enumerate(files):
            child._seen = seen
            if prefetch is not None:
                child._prefetch = (prefetch, index)
        yield from children
