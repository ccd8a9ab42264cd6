"""The store's path for a file:// URL: the local disk, named through fsspec.

Paths keep the URL's form (their text is what messages and reports show),
but everything is done as for a plain local path: renames, reads of regular
files only, listings with what identifies each file, and lock files.
"""

from __future__ import annotations

import os
from collections.abc import Iterator, Sequence
from contextlib import AbstractContextManager
from pathlib import Path
from typing import Any, Self

from lumora._lockfile import result_lock
from lumora.paths import (
    DirEntry,
    Stamp,
    local_entries,
    local_known_version,
    read_local_stamped,
    read_regular_file,
    remove_local_if_unchanged,
)
from lumora.remote.generic import StorePath

__all__ = ["LocalURLPath"]


class LocalURLPath(StorePath):
    """A store path on the local disk, named by a file:// URL."""

    __slots__ = ()

    @classmethod
    def _options(cls, protocol: str) -> dict[str, Any]:
        return {}  # fsspec looks at the disk on every call

    def local_path(self) -> Path:
        return Path(self.path)

    def entries(self) -> list[DirEntry]:
        return local_entries(self, self.local_path())

    def read_stamped(self, paths: Sequence[Self]) -> Iterator[tuple[bytes, Stamp] | BaseException]:
        return read_local_stamped(paths)

    def remove_if_unchanged(self, stamp: Stamp) -> bool:
        return remove_local_if_unchanged(self.local_path(), stamp)

    def known_version(self, listed: Stamp | None, read: Stamp) -> bool:
        return local_known_version(listed, read)

    def single_flight(self, simulation_id: str) -> AbstractContextManager[None]:
        return result_lock(self.local_path(), simulation_id)

    def _move(self, dest: StorePath) -> None:
        os.replace(self.path, dest.path)

    def _read(self) -> bytes:
        return read_regular_file(self.path)  # as a plain local path: no FIFO or device is read

    def _mkdir(self, mode: int, parents: bool, exist_ok: bool, parent_mode: int | None) -> None:
        self._mkdir_wrapped(mode, parents, exist_ok, parent_mode)

    def glob(
        self, pattern: str, *, case_sensitive: bool | None = None, recurse_symlinks: bool = False
    ) -> Iterator[Self]:
        return self._glob_wrapped(pattern, case_sensitive, recurse_symlinks)
