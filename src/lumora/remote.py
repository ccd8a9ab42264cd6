"""Store roots on object storage and other fsspec file systems.

`lumora.settings.get_simulations_dir` hands the extension a `StorePath` when
LUMORA_SIMULATIONS_DIR holds a URL. The extension reaches its store only
through path operations, so this class is where such a store is made to
behave like a local disk: it adds what universal-pathlib leaves unsupported
(`replace`), and on S3 it gives directories a life of their own (keys and
prefixes have none) and answers the store's questions with fewer requests:
the files of one listing are fetched concurrently, a bounded window ahead of
their reader (LUMORA_REMOTE_WINDOW), and what a listing has just shown is
not asked for again at once.

Needs the optional dependencies: ``pip install 'lumora[remote]'``.
"""

from __future__ import annotations

import asyncio
import email.utils
import errno
import fnmatch
import os
import threading
import time
from collections.abc import Iterator
from concurrent.futures import Future
from datetime import datetime
from typing import Any, NamedTuple, Self

import fsspec  # type: ignore[import-untyped]
from upath import UPath
from upath.extensions import ProxyUPath

from lumora.logger import one_line
from lumora.paths import note_read_failure, read_regular_file
from lumora.progress import STORE_OBSERVER

__all__ = ["StorePath", "remote_window", "store_path"]

# Protocols whose "directories" are key prefixes: one exists only while an
# object lies below it, unless a zero-byte "<dir>/" marker object holds it.
_PREFIX_STORES = frozenset({"s3", "s3a"})
# File systems that look at the real thing on every call; every other one
# keeps directory listings unless told otherwise (see store_path).
_LIVE_LISTINGS = frozenset({"file", "local", "memory"})
_LOCAL = frozenset({"file", "local"})

# How many objects a listing reads concurrently unless LUMORA_REMOTE_WINDOW
# says otherwise: at 20 to 50 ms a round trip, 32 at once bring a listing of
# 1,000 results down to about 30 round trips, with a few hundred KB in flight.
DEFAULT_WINDOW = 32
# Whatever the window, no more than this many listed bytes are fetched ahead
# of the reader at once (the object being read may exceed it alone).
_PREFETCH_BYTES = 64 * 1024 * 1024
# How long what a listing showed answers the next question about it (an
# exists() on a listed file, an iterdir() after exists() on a directory).
# Within one call of the store the two follow each other at once; a path
# kept for longer asks the store again.
_LISTING_FRESH = 1.0

# Names that no part of the store has. Keys such as "store//x.json",
# "store/./x.json" or "store/../x.json" show them in the root's listing, and
# the store would take each for a type directory: "" for the root itself
# (whose .json objects would pass for results), "." and ".." for the keys
# below them.
_NO_NAMES = frozenset({"", ".", ".."})

# Tries of an S3 request that fails for a passing reason (a connection
# reset, a timeout, a 5xx answer, throttling) before the call gives up, with
# the jittered backoff of botocore's standard mode between them, each wait
# at most 20 s (the legacy mode's has no cap). botocore's default of 5 lost
# about one read in 13 when 60 % of requests failed; at 10, one in 165.
# fsspec's configuration (config_kwargs) may set retries of its own.
_TRIES = 10


def _timestamp(value: str) -> datetime:
    """A timestamp of an S3 response, as botocore's own parser reads it.

    S3 sends two forms: ISO 8601 in UTC in listings ("...T09:10:25.000Z",
    one per listed object) and the HTTP date in headers ("Tue, 08 Dec 2026
    09:10:25 GMT", Last-Modified of every read). botocore hands both to
    dateutil's general parser, 30 to 50 us each: some 40% of what a clearing
    spends here, where each deletion lists type directories again. Those two
    forms are read directly; anything else goes to botocore's parser.
    """
    try:
        if value.endswith("Z") and "T" in value:
            return datetime.fromisoformat(value)
        if value.endswith(" GMT"):
            return email.utils.parsedate_to_datetime(value)
    except (ValueError, TypeError, IndexError):
        pass
    from botocore.utils import parse_timestamp  # type: ignore[import-untyped]

    parsed: datetime = parse_timestamp(value)
    return parsed


def _read_timestamps_quickly(fs: Any) -> None:
    """Have the S3 client of fs read timestamps with _timestamp.

    Only on a session that s3fs made for itself: one passed in may serve
    other clients, which are left as they are. s3fs makes its session at its
    first request, so the first call on a file system parses the slow way.
    """
    session = getattr(fs, "session", None)
    if session is None or fs.storage_options.get("session") is not None:
        return
    session.get_component("response_parser_factory").set_parser_defaults(timestamp_parser=_timestamp)


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


class _Entry(NamedTuple):
    """One entry of a directory listing."""

    name: str
    is_dir: bool
    size: int


class _Listing(NamedTuple):
    """A directory listing on S3, kept for the question that follows it."""

    taken: float  # time.monotonic() when it was read
    entries: list[_Entry]


class _Prefetch:
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


class StorePath(ProxyUPath):
    """A universal-pathlib path that the store can use as it uses a local one."""

    __slots__ = ("_listed_dir", "_seen", "_prefetch", "_listing")
    _listed_dir: bool  # on the entries that iterdir yields on S3: whether the listing showed a directory
    _seen: float  # on the files that glob yields: when the listing showed them (time.monotonic())
    _prefetch: tuple[_Prefetch, int]  # on the files that glob yields: their listing's reads and their place in it
    _listing: _Listing  # on an S3 directory after exists(): the listing that answered it

    def _take(self, name: str) -> Any:
        """The value of the slot name, which is cleared: what it holds is used once."""
        value = getattr(self, name, None)
        if value is not None:
            setattr(self, name, None)
        return value

    @property
    def _prefix_store(self) -> bool:
        return self.protocol in _PREFIX_STORES

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

    def _keys_below(self, limit: int) -> list[str] | None:
        """Up to limit keys below this prefix, the marker first; None without a bucket."""
        bucket, key, _ = self.fs.split_path(self.path)
        try:
            listing = self.fs.call_s3("list_objects_v2", Bucket=bucket, Prefix=key.rstrip("/") + "/", MaxKeys=limit)
        except FileNotFoundError:
            return None
        return [item["Key"] for item in listing.get("Contents", ())]

    def replace(self, target: Any) -> Self:
        """Move this file onto target, replacing what is there.

        On local disk this is a rename. Object stores have none: the object
        is copied on the server and the source removed afterwards. The copy
        lands whole (an object is never seen half-written), so a reader of
        the target sees the old content or the new, never a mixture.
        """
        dest = self._same_store(target)
        if self.protocol in _LOCAL:
            os.replace(self.path, dest.path)
        else:
            if not self._prefix_store and dest.is_dir():
                # Where directories are real, a file is never copied beside
                # one of the same name. (On S3 a key and a prefix may share one.)
                raise dest._is_a_directory()
            self._copy_to(dest)
            self.fs.rm_file(self.path)
        return dest  # type: ignore[return-value]

    def _copy_to(self, dest: StorePath) -> None:
        if self._prefix_store:
            # One CopyObject; s3fs's cp_file would first ask for the size.
            bucket, key, _ = self.fs.split_path(self.path)
            dest_bucket, dest_key, _ = self.fs.split_path(dest.path)
            try:
                self.fs.call_s3(
                    "copy_object", Bucket=dest_bucket, Key=dest_key, CopySource={"Bucket": bucket, "Key": key}
                )
                return
            except FileNotFoundError:
                raise
            except OSError:
                pass  # such as an object beyond a single copy's 5 GB: s3fs copies in parts
        self.fs.cp_file(self.path, dest.path)

    @property
    def _read_options(self) -> dict[str, Any]:
        # One whole-object GET: a buffered reader would first ask for the size
        # and then read ranges, which may straddle a concurrent replacement
        # (s3fs's concurrent download too, hence max_concurrency=1).
        return {"max_concurrency": 1} if self._prefix_store else {}

    def read_bytes(self) -> bytes:
        if (observe := STORE_OBSERVER.get()) is not None:
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
        if self.protocol in _LOCAL:
            return read_regular_file(self.path)  # as a plain local path: no FIFO or device is read
        prefetch: tuple[_Prefetch, int] | None = self._take("_prefetch")
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
        if (observe := STORE_OBSERVER.get()) is not None:
            observe("unlink")
        if not self._prefix_store:
            super().unlink(missing_ok)
            return
        try:
            kind = self.fs.info(self.path)["type"]
        except FileNotFoundError:
            if missing_ok:
                return
            raise
        if kind == "directory":
            raise self._is_a_directory()
        self.fs.rm_file(self.path)

    def mkdir(
        self,
        mode: int = 0o777,
        parents: bool = False,
        exist_ok: bool = False,
        *,
        parent_mode: int | None = None,
    ) -> None:
        if not self._prefix_store:
            if not parents and self.protocol not in _LOCAL and not self.parent.is_dir():
                raise FileNotFoundError(str(self))  # fsspec's memory file system would make it
            self._mkdir_wrapped(mode, parents, exist_ok, parent_mode)
            return
        bucket, key, _ = self.fs.split_path(self.path)
        if not key:  # a bucket: s3fs makes one
            self._mkdir_wrapped(mode, parents, exist_ok, parent_mode)
            return
        marker = key.rstrip("/") + "/"
        # The marker sorts before every key below it: one short listing tells
        # whether the directory exists and whether it is marked.
        keys = self._keys_below(1)
        if keys is None:
            # The bucket is the drive of these paths: like a missing volume on
            # a local disk, it is not made on the way (nor on a typing error).
            raise FileNotFoundError(errno.ENOENT, f"no bucket {bucket!r}", str(self))
        if keys:
            if not exist_ok:
                raise FileExistsError(str(self))
            if keys[0] == marker:
                return
        elif not parents and not self.parent.is_dir():
            raise FileNotFoundError(str(self))
        self.fs.pipe_file(f"{bucket}/{marker}", b"")

    def _mkdir_wrapped(self, mode: int, parents: bool, exist_ok: bool, parent_mode: int | None) -> None:
        # parent_mode is recent in universal-pathlib: passed only when given.
        extra = {} if parent_mode is None else {"parent_mode": parent_mode}
        super().mkdir(mode, parents, exist_ok, **extra)

    def is_dir(self) -> bool:
        if not self._prefix_store:
            return super().is_dir()
        listed: bool | None = getattr(self, "_listed_dir", None)
        if listed is not None:
            return listed
        if not self.fs.split_path(self.path)[1]:
            return bool(self.fs.exists(self.path))  # a bucket
        # Anything below the prefix, the marker included (s3fs leaves it out).
        return bool(self._keys_below(1))

    def exists(self, *, follow_symlinks: bool = True) -> bool:
        if getattr(self, "_listed_dir", False):
            return True
        seen: float | None = self._take("_seen")
        if seen is not None and time.monotonic() - seen < _LISTING_FRESH:
            # A listing of this call has just shown the file. Should it have
            # gone since, reading or removing it says so (FileNotFoundError),
            # as it would right after a fresh answer.
            return True
        if not self._prefix_store or not self.fs.split_path(self.path)[1]:
            return super().exists(follow_symlinks=follow_symlinks)
        # A directory, the usual question here, in one listing, kept for the
        # iterdir() or glob() that follows; a file in a second request.
        # (s3fs would ask for the object, then list.)
        below, entries, complete = self._list_level(first_page_only=True)
        if below:
            if complete:
                self._listing = _Listing(time.monotonic(), entries)
            return True
        bucket, key, _ = self.fs.split_path(self.path)
        try:
            self.fs.call_s3("head_object", Bucket=bucket, Key=key)
        except FileNotFoundError:
            return False
        return True

    def _list_level(self, first_page_only: bool = False) -> tuple[bool, list[_Entry], bool]:
        """One directory level on S3: (anything below, entries, all pages read).

        The zero-byte marker of the directory counts as something below but
        is not an entry, nor is a name of _NO_NAMES. A name that is both an
        object and a prefix (a key "<name>/" beside it) is one entry, a
        directory, whose path reads the object. Entries are sorted by name,
        as s3fs sorts them.
        """
        bucket, key, _ = self.fs.split_path(self.path)
        prefix = key.rstrip("/") + "/" if key else ""
        files: dict[str, int] = {}  # name: size
        directories: set[str] = set()
        below = False
        request: dict[str, Any] = {"Bucket": bucket, "Prefix": prefix, "Delimiter": "/"}
        try:
            while True:
                page = self.fs.call_s3("list_objects_v2", **request)
                common, contents = page.get("CommonPrefixes", ()), page.get("Contents", ())
                below = below or bool(common or contents)
                files.update((c["Key"][len(prefix) :], c.get("Size", 0)) for c in contents)
                directories.update(c["Prefix"][len(prefix) : -1] for c in common)
                if not page.get("IsTruncated"):
                    complete = True
                    break
                if first_page_only:
                    complete = False
                    break
                request["ContinuationToken"] = page["NextContinuationToken"]
        except FileNotFoundError:  # no such bucket
            return False, [], True
        names = sorted((files.keys() | directories) - _NO_NAMES)  # "" is the marker
        return below, [_Entry(name, name in directories, files.get(name, 0)) for name in names], complete

    def _children(self) -> list[_Entry]:
        """The entries of this directory, from one listing (or the one exists() just made)."""
        if self._prefix_store:
            kept: _Listing | None = self._take("_listing")
            if kept is not None and time.monotonic() - kept.taken < _LISTING_FRESH:
                return kept.entries
            return self._list_level()[1]
        try:
            listed: list[dict[str, Any]] = self.fs.ls(self.path, detail=True)
        except FileNotFoundError:
            listed = []
        own = self.path.rstrip("/")
        entries = [
            _Entry(entry["name"].rstrip("/").rsplit("/", 1)[-1], entry["type"] == "directory", entry.get("size") or 0)
            for entry in listed
            if entry["name"].rstrip("/") != own
        ]
        return [entry for entry in entries if entry.name not in _NO_NAMES]

    def iterdir(self) -> Iterator[Self]:
        if not self._prefix_store:
            yield from (child for child in super().iterdir() if child.name not in _NO_NAMES)
            return
        children = self._children()
        if not children and not self.is_dir():
            raise (NotADirectoryError if self.exists() else FileNotFoundError)(str(self))
        for name, is_dir, _ in children:
            child = self / name
            # What the listing showed: asking again would cost a request per
            # entry, and the store never turns a directory into a file or back.
            child._listed_dir = is_dir
            yield child

    def glob(
        self, pattern: str, *, case_sensitive: bool | None = None, recurse_symlinks: bool = False
    ) -> Iterator[Self]:
        if self.protocol in _LOCAL or "/" in pattern or "**" in pattern:
            # Only what was asked for: some universal-pathlib versions warn about any of them.
            options: dict[str, Any] = {} if case_sensitive is None else {"case_sensitive": case_sensitive}
            if recurse_symlinks:
                options["recurse_symlinks"] = recurse_symlinks
            yield from super().glob(pattern, **options)
            return
        # One listing, matched here: fsspec's glob would first ask whether
        # the directory exists, then list it (the memory file system goes
        # through all its files for each).
        matched = [entry for entry in self._children() if fnmatch.fnmatchcase(entry.name, pattern)]
        seen = time.monotonic()
        children = [self / entry.name for entry in matched]
        files = [(child, entry.size) for child, entry in zip(children, matched) if not entry.is_dir]
        window = remote_window()
        prefetch = None
        if window > 1 and len(files) > 1 and getattr(self.fs, "async_impl", False):
            prefetch = _Prefetch(
                self.fs, [child.path for child, _ in files], [size for _, size in files], window, self._read_options
            )
        for index, (child, _) in enumerate(files):
            child._seen = seen
            if prefetch is not None:
                child._prefetch = (prefetch, index)
        yield from children


def store_path(url: str) -> StorePath:
    """The store root that url names.

    Raises ImportError when the fsspec driver for the URL's scheme (such as
    s3fs for s3://) is not installed, ValueError for a scheme fsspec does not
    know or an S3 URL without a bucket.
    """
    scheme, rest = url.split("://", 1)
    protocol = scheme.lower()  # schemes are case-insensitive; fsspec knows them in lower case
    if protocol in _PREFIX_STORES and not rest.strip("/"):
        raise ValueError(f"{url!r} names no bucket")  # it would list every bucket as a simulation type
    fsspec.get_filesystem_class(protocol)  # a missing driver is reported now, not at first use
    options: dict[str, Any] = {}
    if protocol not in _LIVE_LISTINGS:
        # Other machines write to a shared store: a listing kept from an
        # earlier call would hide their results.
        options["use_listings_cache"] = False
    if protocol in _PREFIX_STORES:
        # Enough connections for a listing's window of concurrent reads
        # (botocore keeps 10), on top of what fsspec's configuration asks for.
        configured = fsspec.config.conf.get(protocol, {}).get("config_kwargs", {})
        connections = max(configured.get("max_pool_connections", 10), remote_window())
        retries = {"mode": "standard", "total_max_attempts": _TRIES}
        options["config_kwargs"] = {"retries": retries, **configured, "max_pool_connections": connections}
    path = StorePath(f"{protocol}://{rest}", **options)
    if protocol in _PREFIX_STORES:
        _read_timestamps_quickly(path.fs)
    return path
