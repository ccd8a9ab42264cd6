"""Store roots on object storage and other fsspec file systems.

`lumora.settings.get_simulations_dir` hands the extension a `StorePath` when
LUMORA_SIMULATIONS_DIR holds a URL. The extension reaches its store only
through path operations, so this class is where such a store is made to
behave like a local disk: it adds what universal-pathlib leaves unsupported
(`replace`), and on S3 it gives directories a life of their own (keys and
prefixes have none) and answers the store's questions with fewer requests.

Needs the optional dependencies: ``pip install 'lumora[remote]'``.
"""

from __future__ import annotations

import errno
import fnmatch
import os
from collections.abc import Iterator
from typing import Any, Self

import fsspec  # type: ignore[import-untyped]
from upath import UPath
from upath.extensions import ProxyUPath

from lumora.paths import read_regular_file
from lumora.progress import STORE_OBSERVER

__all__ = ["StorePath", "store_path"]

# Protocols whose "directories" are key prefixes: one exists only while an
# object lies below it, unless a zero-byte "<dir>/" marker object holds it.
_PREFIX_STORES = frozenset({"s3", "s3a"})
# File systems that look at the real thing on every call; every other one
# keeps directory listings unless told otherwise (see store_path).
_LIVE_LISTINGS = frozenset({"file", "local", "memory"})
_LOCAL = frozenset({"file", "local"})


class StorePath(ProxyUPath):
    """A universal-pathlib path that the store can use as it uses a local one."""

    __slots__ = ("_listed_dir",)
    _listed_dir: bool  # on the entries that iterdir yields on S3: whether the listing showed a directory

    @property
    def _prefix_store(self) -> bool:
        return self.protocol in _PREFIX_STORES

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
                raise IsADirectoryError(str(dest))
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

    def read_bytes(self) -> bytes:
        if (observe := STORE_OBSERVER.get()) is not None:
            observe("read")
        if self.protocol in _LOCAL:
            return read_regular_file(self.path)  # as a plain local path: no FIFO or device is read
        # One whole-object GET: a buffered reader would first ask for the size
        # and then read ranges, which may straddle a concurrent replacement
        # (s3fs's concurrent download too, hence max_concurrency=1).
        options = {"max_concurrency": 1} if self._prefix_store else {}
        try:
            data: bytes = self.fs.cat_file(self.path, **options)
        except FileNotFoundError:
            if self.is_dir():
                raise IsADirectoryError(str(self)) from None
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
            raise IsADirectoryError(str(self))
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
        return super().exists(follow_symlinks=follow_symlinks)

    def _children(self) -> list[tuple[str, bool]]:
        """(name, is a directory) of each entry of this directory, from one listing."""
        try:
            entries: list[dict[str, Any]] = self.fs.ls(self.path, detail=True)
        except FileNotFoundError:
            entries = []
        own = self.path.rstrip("/")
        return [
            (entry["name"].rstrip("/").rsplit("/", 1)[-1], entry["type"] == "directory")
            for entry in entries
            if entry["name"].rstrip("/") != own
        ]

    def iterdir(self) -> Iterator[Self]:
        if not self._prefix_store:
            yield from super().iterdir()
            return
        children = self._children()
        if not children and not self.is_dir():
            raise (NotADirectoryError if self.exists() else FileNotFoundError)(str(self))
        for name, is_dir in children:
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
        for name, _ in self._children():
            if fnmatch.fnmatchcase(name, pattern):
                yield self / name


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
    return StorePath(f"{protocol}://{rest}", **options)
