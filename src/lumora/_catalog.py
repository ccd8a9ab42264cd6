"""The catalog of result summaries kept between invocations, one SQLite file per store.

It lies outside the store (the user's cache directory, see
`lumora.settings.get_catalog_dir`), so that read-only and shared stores have
one too. Nothing in it is taken on trust: each row holds the stamp of the file
it was read from, and `lumora.summaries` uses a row only while the store's
listing shows that very stamp. A catalog that cannot be read (corrupt, not a
database, of another layout) is rebuilt; one that stays locked or cannot be
written is passed by, and the listing reads the files instead.
"""

from __future__ import annotations

import contextlib
import hashlib
import os
import sqlite3
import zlib
from collections.abc import Iterable
from pathlib import Path
from typing import NamedTuple

import orjson

from lumora.logger import get_logger, one_line
from lumora.settings import get_catalog_dir

__all__ = [
    "CRC_SIZE",
    "DATE_AT",
    "INTACT",
    "PROBLEM_KIND",
    "SUMMARY_KIND",
    "Catalog",
    "Fetched",
    "Row",
    "payload",
    "row_key",
]

# Changed whenever what a row holds changes: a catalog of another layout is rebuilt.
_LAYOUT = 3
# How long a write waits for another process's; then this one's is dropped.
_BUSY_SECONDS = 2.0
# A write-ahead log longer than this is emptied after the write that left it:
# each process that opens the catalog next would read it all first (7 ms for
# the 14 MB of 20,000 rows here) and read rows more slowly through it.
_WAL_KEPT = 1 << 20

# A row is the two values a listing takes as they come: key, the file's name
# with the stamp it was read under, which a listing makes again for each file
# it finds; and payload (see `payload`), used only where the key matches. A
# file rewritten has a row of another key: the old one is dropped as gone.
_SCHEMA = f"""
PRAGMA journal_mode = WAL;
CREATE TABLE IF NOT EXISTS store (key TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS files (
    dir TEXT NOT NULL,
    key BLOB NOT NULL,
    payload BLOB NOT NULL,
    PRIMARY KEY (dir, key)
) WITHOUT ROWID;
PRAGMA user_version = {_LAYOUT};
"""

# The type directories that rows are kept for, found by a seek each: DISTINCT
# would read every row.
_DIRECTORIES = """
WITH RECURSIVE found(dir) AS (
    SELECT min(dir) FROM files
    UNION ALL
    SELECT (SELECT min(dir) FROM files WHERE dir > found.dir) FROM found WHERE found.dir IS NOT NULL
)
SELECT dir FROM found WHERE dir IS NOT NULL
"""

# What zlib.crc32 gives for any text followed by its own CRC (little-endian):
# that of an intact payload.
INTACT = 0x2144DF1C
_SUMMARY, _PROBLEM = b"s", b"p"
SUMMARY_KIND, PROBLEM_KIND = _SUMMARY[0], _PROBLEM[0]
# Where a summary's date starts (after its kind and length), and the CRC's size at the end.
DATE_AT, CRC_SIZE = 5, 4


class Row(NamedTuple):
    key: bytes  # row_key(name, stamp)
    payload: bytes  # payload(...)


# A directory's rows as read: payload by key.
Fetched = dict[bytes, bytes]


def row_key(name: str, stamp: object) -> bytes:
    """The key of the row of the file name listed with stamp."""
    try:
        # A copy of exact size: orjson's own output holds a few KB for a short text.
        return memoryview(orjson.dumps((name, stamp))).tobytes()
    except TypeError:  # a backend's stamp of other values
        return repr((name, stamp)).encode()


def payload(date: bytes, summary: bytes | None, problem: str | None) -> bytes:
    """A row's payload: its kind, then the record's simulation_date (by which listings
    sort without parsing the rest) and its summary, or the reason its file
    could not be parsed; and a CRC of all that, by which a row damaged in the
    file or changed by hand is told (summaries are used without being parsed
    first). The key needs none: a wrong one only has its file read again."""
    if summary is not None:
        body = b"".join((_SUMMARY, len(date).to_bytes(DATE_AT - 1, "little"), date, summary))
    else:
        body = _PROBLEM + (problem or "").encode()
    return body + zlib.crc32(body).to_bytes(CRC_SIZE, "little")


def _file_for(key: str, directory: Path) -> Path:
    return directory / f"{hashlib.sha256(key.encode()).hexdigest()[:32]}.sqlite"


class Catalog:
    """The open catalog of one store; `open` gives None where there is none to use."""

    def __init__(self, connection: sqlite3.Connection, path: Path, key: str) -> None:
        self._db = connection
        self._path = path
        self._key = key

    @classmethod
    def open(cls, key: str, *, make: bool = True) -> Catalog | None:
        """The catalog of the store known by key (its URL or absolute path), made if need
        be (with make False, only one that is there already)."""
        directory = get_catalog_dir()
        if directory is None:
            return None
        path = _file_for(key, directory)
        if not make and not path.exists():
            return None
        try:
            directory.mkdir(parents=True, exist_ok=True)
            return cls._connect(path, key)
        except sqlite3.OperationalError as exc:
            if "locked" not in str(exc) and "busy" not in str(exc):
                return cls._rebuilt(path, key)
            get_logger().debug("Catalog %s passed by: %s", path, one_line(exc))
            return None
        except sqlite3.DatabaseError as exc:
            get_logger().debug("Rebuilding the catalog %s: %s", path, one_line(exc))
            return cls._rebuilt(path, key)
        except OSError as exc:
            get_logger().debug("No catalog at %s: %s", path, one_line(exc))
            return None

    @classmethod
    def _connect(cls, path: Path, key: str) -> Catalog:
        db = sqlite3.connect(path, timeout=_BUSY_SECONDS, isolation_level=None, check_same_thread=False)
        try:
            # A checkpoint at each close would cost a listing more than its reads
            # of the catalog; SQLite's own, every thousand pages written, is enough.
            if hasattr(sqlite3, "SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE"):
                db.setconfig(sqlite3.SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, True)
            layout = db.execute("PRAGMA user_version").fetchone()[0]
            if layout == 0:
                db.executescript(_SCHEMA)
            elif layout != _LAYOUT:
                raise sqlite3.DatabaseError(f"catalog layout {layout}, not {_LAYOUT}")
            stored = db.execute("SELECT key FROM store").fetchall()
            if not stored:
                db.execute("INSERT INTO store (key) VALUES (?)", (key,))
            elif stored != [(key,)]:
                raise sqlite3.DatabaseError("the catalog of another store")
        except BaseException:
            db.close()
            raise
        return cls(db, path, key)

    @classmethod
    def _rebuilt(cls, path: Path, key: str) -> Catalog | None:
        for suffix in ("", "-wal", "-shm"):
            with contextlib.suppress(OSError):
                os.unlink(f"{path}{suffix}")
        try:
            return cls._connect(path, key)
        except (sqlite3.DatabaseError, OSError) as exc:
            get_logger().debug("No catalog at %s: %s", path, one_line(exc))
            return None

    def rows(self, directory: str | None) -> dict[str, Fetched] | None:
        """The rows of one type directory (of all with None), by directory;
        None when the catalog cannot be read now (it is then passed by)."""
        query = "SELECT key, payload FROM files WHERE dir = ?"
        try:
            directories = [directory] if directory is not None else [d for (d,) in self._db.execute(_DIRECTORIES)]
            # Built by dict itself from the pairs: this is most of a listing's reading.
            return {d: dict(self._db.execute(query, (d,))) for d in directories}
        except sqlite3.DatabaseError as exc:
            self._recover(exc)
            return None

    def update(self, put: Iterable[tuple[str, Row]], drop: Iterable[tuple[str, bytes]]) -> None:
        """Store rows (by type directory) and remove those of files gone or changed
        (type directory and key)."""
        written = [(d, *row) for d, row in put]
        dropped = list(drop)
        if not written and not dropped:
            return
        try:
            with self._db:
                self._db.execute("BEGIN IMMEDIATE")
                self._db.executemany("INSERT OR REPLACE INTO files VALUES (?, ?, ?)", written)
                self._db.executemany("DELETE FROM files WHERE dir = ? AND key = ?", dropped)
        except sqlite3.DatabaseError as exc:
            self._recover(exc)
            return
        self._empty_log()

    def _empty_log(self) -> None:
        try:
            if os.path.getsize(f"{self._path}-wal") <= _WAL_KEPT:
                return
        except OSError:
            return
        try:
            # Without waiting: while another process reads, the log stays
            # (the pragma answers busy), and a later write empties it.
            self._db.execute("PRAGMA busy_timeout = 0")
            try:
                self._db.execute("PRAGMA wal_checkpoint(TRUNCATE)").fetchall()
            finally:
                self._db.execute(f"PRAGMA busy_timeout = {int(_BUSY_SECONDS * 1000)}")
        except sqlite3.DatabaseError as exc:
            get_logger().debug("Catalog %s log not emptied: %s", self._path, one_line(exc))

    def _recover(self, exc: sqlite3.DatabaseError) -> None:
        get_logger().debug("Catalog %s passed by: %s", self._path, one_line(exc))
        if isinstance(exc, sqlite3.OperationalError) and ("locked" in str(exc) or "busy" in str(exc)):
            return  # another process holds it: the next invocation tries again
        self._db.close()
        rebuilt = self._rebuilt(self._path, self._key)
        if rebuilt is not None:
            self._db = rebuilt._db

    def close(self) -> None:
        self._db.close()
