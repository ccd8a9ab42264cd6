"""Leases on S3: one machine simulates an identity while the others wait.

A lease is a small object beside the result (`lumora.layout.lease_name`),
created with ``If-None-Match: *``: of the processes that miss an identity at
once, only the one whose create succeeds holds it. The others read it and
wait until it is gone (its holder saved the result, or failed) or expired,
and then try again. An expired lease is overwritten with ``If-Match`` on the
ETag that its waiters read, so that of two waiters who both saw it expire
only the first write succeeds. The holder renews its lease every third of
the lease time from a background thread, each write conditioned on its own
last ETag, and removes it when done.

A waiter counts a lease expired when its ETag has not changed for a lease
time on the waiter's own clock, or when its written expiry has passed (see
`lumora._lease` for the clock skew that tolerates). A holder killed with
SIGKILL, or a machine lost, thus holds up the others for one lease time.

Stores that ignore conditional writes (some emulators and gateways) would
let every waiter in: each store is tried once per process (`supported`),
and where it fails there is no single flight, with a warning.
"""

from __future__ import annotations

import threading
import time
import uuid
from types import TracebackType
from typing import Any

from fsspec.asyn import sync  # type: ignore[import-untyped]

from lumora import layout
from lumora._lease import LeaseRecord
from lumora.logger import get_logger, one_line
from lumora.settings import get_lease_seconds

__all__ = ["Lease", "supported"]

# What S3 answers to a conditional write that does not hold: 412, or 409
# when another conditional write to the key is under way.
_REFUSALS = frozenset({"PreconditionFailed", "ConditionalRequestConflict"})
_REFUSED_STATUS = frozenset({409, 412})

# The answer per store (bucket and prefix) for this process.
_SUPPORTED: dict[str, bool] = {}
_PROBE_LOCK = threading.Lock()


def _refused(exc: BaseException) -> bool:
    """Whether exc is the store turning down a conditional request (s3fs keeps botocore's error as the cause)."""
    response: dict[str, Any] = getattr(exc.__cause__, "response", None) or {}
    status = response.get("ResponseMetadata", {}).get("HTTPStatusCode")
    return response.get("Error", {}).get("Code") in _REFUSALS or status in _REFUSED_STATUS


def _put(fs: Any, path: str, body: bytes, **condition: str) -> str:
    """Writes body to path under the condition; its new ETag."""
    bucket, key, _ = fs.split_path(path)
    answer: dict[str, Any] = fs.call_s3("put_object", Bucket=bucket, Key=key, Body=body, **condition)
    return str(answer["ETag"])


def _denies(fs: Any, path: str, **condition: str) -> bool:
    try:
        _put(fs, path, b"", **condition)
    except OSError as exc:
        if _refused(exc):
            return True
        raise
    return False


def _probe(fs: Any, root: str) -> bool:
    path = f"{root.rstrip('/')}/{layout.probe_name(uuid.uuid4().hex)}"
    etag = _put(fs, path, b"", IfNoneMatch="*")
    try:
        # A second create, and an overwrite under another ETag, must both be
        # turned down; an overwrite under the object's own must not.
        return (
            _denies(fs, path, IfNoneMatch="*")
            and _denies(fs, path, IfMatch='"0"')
            and not _denies(fs, path, IfMatch=etag)
        )
    finally:
        fs.rm_file(path)


def supported(fs: Any, root: str, name: str) -> bool:
    """Whether the store at root (its URL: name) turns down conditional
    writes that do not hold, as leases need.

    Tried once per store and process; a store that does not (or whose trial
    fails) is named in a warning, once.
    """
    with _PROBE_LOCK:
        known = _SUPPORTED.get(name)
        if known is not None:
            return known
        try:
            known = _probe(fs, root)
            why = "it ignores conditional writes"
        except Exception as exc:
            known, why = False, f"trying its conditional writes failed: {one_line(exc)}"
        if not known:
            get_logger().warning(
                "No single flight on %s (%s): processes that miss the same result at once all simulate it",
                name,
                why,
            )
        _SUPPORTED[name] = known
        return known


class Lease:
    """Held while this process simulates an identity on S3; see the module's text."""

    def __init__(self, fs: Any, path: str, simulation_id: str) -> None:
        self._fs = fs
        self._path = path
        self._simulation_id = simulation_id
        self._seconds = get_lease_seconds()
        self._record = LeaseRecord.new(self._seconds)
        self._etag = ""
        self._stop = threading.Event()
        self._renewer: threading.Thread | None = None

    def __enter__(self) -> None:
        self._acquire()
        self._renewer = threading.Thread(target=self._renew, name=f"lumora lease {self._simulation_id}", daemon=True)
        self._renewer.start()

    def __exit__(
        self, kind: type[BaseException] | None, exc: BaseException | None, traceback: TracebackType | None
    ) -> None:
        self._stop.set()
        if self._renewer is not None:
            self._renewer.join()
        self._release()

    def _read(self) -> tuple[LeaseRecord | None, str] | None:
        """The lease there now and its ETag, from one request; None if there is none."""
        try:
            data, etag = sync(self._fs.loop, _get, self._fs, self._path)
        except FileNotFoundError:
            return None
        return LeaseRecord.parse(data), etag

    def _try(self, **condition: str) -> bool:
        """Writes this holder's lease under the condition; whether it holds it now."""
        try:
            self._etag = _put(self._fs, self._path, self._record.to_bytes(), **condition)
        except FileNotFoundError:
            return False  # an If-Match on a lease removed meanwhile
        except OSError as exc:
            if _refused(exc):
                return False
            raise
        return True

    def _acquire(self) -> None:
        poll = max(0.05, min(1.0, self._seconds / 8))
        watched: tuple[str, float] | None = None  # an ETag seen, and since when (monotonic)
        waiting = False
        while not self._try(IfNoneMatch="*"):
            found = self._read()
            if found is None:
                continue  # removed since: try again at once
            record, etag = found
            if record is not None and record.token == self._record.token:
                self._etag = etag  # our own create, whose answer was lost and retried
                return
            now = time.monotonic()
            if watched is None or watched[0] != etag:
                watched = (etag, now)
            if (record is not None and record.expired()) or now - watched[1] >= self._seconds:
                if self._try(IfMatch=etag):
                    who = record.holder() if record is not None else "an unknown holder"
                    get_logger().warning("Took over the expired lease on %s from %s", self._simulation_id, who)
                    return
                continue
            if not waiting:
                who = record.holder() if record is not None else "another process"
                get_logger().info("Waiting for another simulation of %s to finish (%s)", self._simulation_id, who)
                waiting = True
            time.sleep(poll)

    def _renew(self) -> None:
        while not self._stop.wait(self._seconds / 3):
            self._record = self._record.renewed(self._seconds)
            try:
                renewed = self._try(IfMatch=self._etag)
            except Exception as exc:
                # A passing failure: the next renewal may get through in time.
                get_logger().warning("Could not renew the lease on %s: %s", self._simulation_id, one_line(exc))
                continue
            if not renewed:
                get_logger().warning(
                    "Lost the lease on %s to another process: it may simulate it too", self._simulation_id
                )
                return

    def _release(self) -> None:
        bucket, key, _ = self._fs.split_path(self._path)
        try:
            # Only our own: one that another took over after ours expired is theirs.
            self._fs.call_s3("delete_object", Bucket=bucket, Key=key, IfMatch=self._etag)
        except FileNotFoundError:
            pass
        except OSError as exc:
            if _refused(exc):
                return
            try:
                # A store without conditional deletes: ours if it still has our ETag.
                if self._fs.info(self._path).get("ETag") == self._etag:
                    self._fs.rm_file(self._path)
            except FileNotFoundError:
                pass
            except OSError:
                # Left for a waiter once it expires, or for upkeep's tidy.
                get_logger().warning("Could not remove the lease on %s: %s", self._simulation_id, one_line(exc))


async def _get(fs: Any, path: str) -> tuple[bytes, str]:
    bucket, key, _ = fs.split_path(path)
    answer = await fs._call_s3("get_object", Bucket=bucket, Key=key)
    async with answer["Body"] as body:
        data: bytes = await body.read()
    return data, str(answer["ETag"])
