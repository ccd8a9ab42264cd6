"""The store's path on S3 and S3-compatible servers.

Keys and prefixes have no directories: a "directory" exists only while an
object lies below it, unless a zero-byte "<dir>/" marker object holds it.
`S3StorePath` gives directories a life of their own that way, moves and
reads objects in one request each, and has its client read S3's timestamps
without the general date parser.
"""

from __future__ import annotations

import email.utils
import errno
import time
from collections.abc import Iterator, Sequence
from contextlib import AbstractContextManager
from datetime import datetime
from typing import Any, NamedTuple, Self

import fsspec  # type: ignore[import-untyped]
from fsspec.asyn import sync  # type: ignore[import-untyped]

from lumora import layout
from lumora.paths import DirEntry
from lumora.remote import lease
from lumora.remote.generic import LISTING_FRESH, NO_NAMES, StorePath, gathered, listing_stamp, modified, split_url
from lumora.remote.window import remote_window

__all__ = ["S3StorePath"]

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


class _Listing(NamedTuple):
    """A directory listing, kept for the question that follows it."""

    taken: float  # time.monotonic() when it was read
    entries: list[DirEntry]


class S3StorePath(StorePath):
    """A store path on S3, where directories are key prefixes."""

    __slots__ = ("_listed_dir", "_listing")
    _listed_dir: bool  # on the entries that iterdir yields: whether the listing showed a directory
    _listing: _Listing  # on a directory after exists(): the listing that answered it

    @classmethod
    def for_url(cls, url: str) -> Self:
        if not split_url(url)[1].strip("/"):
            raise ValueError(f"{url!r} names no bucket")  # it would list every bucket as a simulation type
        path = super().for_url(url)
        _read_timestamps_quickly(path.fs)
        return path

    @classmethod
    def _options(cls, protocol: str) -> dict[str, Any]:
        options = super()._options(protocol)
        # Enough connections for a listing's window of concurrent reads
        # (botocore keeps 10), on top of what fsspec's configuration asks for.
        configured = fsspec.config.conf.get(protocol, {}).get("config_kwargs", {})
        connections = max(configured.get("max_pool_connections", 10), remote_window())
        retries = {"mode": "standard", "total_max_attempts": _TRIES}
        options["config_kwargs"] = {"retries": retries, **configured, "max_pool_connections": connections}
        return options

    def single_flight(self, simulation_id: str) -> AbstractContextManager[None] | None:
        root = self.parent.parent  # <root>/<type>/<result>
        if not lease.supported(self.fs, root.path, str(root)):
            return None
        return lease.Lease(self.fs, self.with_name(layout.lease_name(self.name, simulation_id)).path, simulation_id)

    def _keys_below(self, limit: int) -> list[str] | None:
        """Up to limit keys below this prefix, the marker first; None without a bucket."""
        bucket, key, _ = self.fs.split_path(self.path)
        try:
            listing = self.fs.call_s3("list_objects_v2", Bucket=bucket, Prefix=key.rstrip("/") + "/", MaxKeys=limit)
        except FileNotFoundError:
            return None
        return [item["Key"] for item in listing.get("Contents", ())]

    def _move(self, dest: StorePath) -> None:
        # A key and a prefix may share a name: no directory check.
        self._copy_to(dest)
        self.fs.rm_file(self.path)

    def _copy_to(self, dest: StorePath) -> None:
        # One CopyObject; s3fs's cp_file would first ask for the size.
        bucket, key, _ = self.fs.split_path(self.path)
        dest_bucket, dest_key, _ = self.fs.split_path(dest.path)
        try:
            self.fs.call_s3("copy_object", Bucket=dest_bucket, Key=dest_key, CopySource={"Bucket": bucket, "Key": key})
            return
        except FileNotFoundError:
            raise
        except OSError:
            pass  # such as an object beyond a single copy's 5 GB: s3fs copies in parts
        super()._copy_to(dest)

    @property
    def _read_options(self) -> dict[str, Any]:
        # One whole-object GET: a buffered reader would first ask for the size
        # and then read ranges, which may straddle a concurrent replacement
        # (s3fs's concurrent download too, hence max_concurrency=1).
        return {"max_concurrency": 1}

    def _unlink(self, missing_ok: bool) -> None:
        try:
            kind = self.fs.info(self.path)["type"]
        except FileNotFoundError:
            if missing_ok:
                return
            raise
        if kind == "directory":
            raise self._is_a_directory()
        self.fs.rm_file(self.path)

    def _mkdir(self, mode: int, parents: bool, exist_ok: bool, parent_mode: int | None) -> None:
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

    def is_dir(self) -> bool:
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
        return super().exists(follow_symlinks=follow_symlinks)

    def _exists(self, follow_symlinks: bool) -> bool:
        if not self.fs.split_path(self.path)[1]:
            return super()._exists(follow_symlinks)
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

    def _list_level(self, first_page_only: bool = False) -> tuple[bool, list[DirEntry], bool]:
        """One directory level: (anything below, entries, all pages read).

        The zero-byte marker of the directory counts as something below but
        is not an entry, nor is a name of NO_NAMES. A name that is both an
        object and a prefix (a key "<name>/" beside it) is one entry, a
        directory, whose path reads the object. Entries are sorted by name,
        as s3fs sorts them.
        """
        return self._level(*sync(self.fs.loop, self._pages, first_page_only))

    async def _pages(self, first_page_only: bool = False) -> tuple[list[dict[str, Any]], bool]:
        """The pages of this level's listing, and whether they are all of them
        (none without a bucket)."""
        bucket, key, _ = self.fs.split_path(self.path)
        request: dict[str, Any] = {"Bucket": bucket, "Prefix": self._prefix(key), "Delimiter": "/"}
        pages = []
        try:
            while True:
                page = await self.fs._call_s3("list_objects_v2", **request)
                pages.append(page)
                if not page.get("IsTruncated"):
                    return pages, True
                if first_page_only:
                    return pages, False
                request["ContinuationToken"] = page["NextContinuationToken"]
        except FileNotFoundError:  # no such bucket
            return [], True

    @staticmethod
    def _prefix(key: str) -> str:
        return key.rstrip("/") + "/" if key else ""

    def _level(self, pages: list[dict[str, Any]], complete: bool) -> tuple[bool, list[DirEntry], bool]:
        prefix = self._prefix(self.fs.split_path(self.path)[1])
        files: dict[str, dict[str, Any]] = {}  # name: what the listing says of the object
        directories: set[str] = set()
        below = False
        for page in pages:
            common, contents = page.get("CommonPrefixes", ()), page.get("Contents", ())
            below = below or bool(common or contents)
            files.update((c["Key"][len(prefix) :], c) for c in contents)
            directories.update(c["Prefix"][len(prefix) : -1] for c in common)
        entries = []
        for name in sorted((files.keys() | directories) - NO_NAMES):  # "" is the marker
            if name in directories:
                entries.append(DirEntry(self, name, "directory", 0, None))
            else:
                info = files[name]
                stamp = listing_stamp(info)
                entries.append(DirEntry(self, name, "file", int(info.get("Size", 0)), modified(info), stamp))
        return below, entries, complete

    def entries(self) -> list[DirEntry]:
        return self._children()

    def entries_of(self, directories: Sequence[Self]) -> list[list[DirEntry] | OSError]:
        # The type directories of a listing in one round of requests, not one after another.
        calls = [d._entries_listed for d in directories]
        found: list[list[DirEntry] | OSError] = []
        for entries in sync(self.fs.loop, gathered, calls):
            if isinstance(entries, BaseException) and not isinstance(entries, OSError):
                raise entries
            found.append(entries)
        return found

    async def _entries_listed(self) -> list[DirEntry]:
        # Made as each listing arrives, while the others are still on their way.
        return self._level(*await self._pages())[1]

    def _children(self) -> list[DirEntry]:
        # The listing that exists() has just made, if there is one.
        kept: _Listing | None = self._take("_listing")
        if kept is not None and time.monotonic() - kept.taken < LISTING_FRESH:
            return kept.entries
        return self._list_level()[1]

    def iterdir(self) -> Iterator[Self]:
        children = self._children()
        if not children and not self.is_dir():
            raise (NotADirectoryError if self.exists() else FileNotFoundError)(str(self))
        for entry in children:
            child = self / entry.name
            # What the listing showed: asking again would cost a request per
            # entry, and the store never turns a directory into a file or back.
            child._listed_dir = entry.kind == "directory"
            yield child
