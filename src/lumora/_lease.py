"""What a lease object holds, and when it counts as expired.

A lease (`lumora.remote.lease`) stands beside a result on an object store
while one process simulates it. Its expiry is wall-clock UTC, so that
upkeep can judge it from anywhere; clocks of machines sharing a store may
differ by up to `SKEW` before a lease that is still renewed looks expired to
another machine (plus the two thirds of the lease time left when renewed).
"""

from __future__ import annotations

import os
import socket
import uuid
from dataclasses import dataclass, replace
from datetime import UTC, datetime, timedelta

import orjson

__all__ = ["SKEW", "LeaseRecord"]

SKEW = timedelta(seconds=10)


@dataclass(frozen=True, slots=True)
class LeaseRecord:
    host: str
    pid: int
    expires: datetime
    token: str  # tells this holder's writes from anyone else's

    @classmethod
    def new(cls, seconds: float) -> LeaseRecord:
        return cls(socket.gethostname(), os.getpid(), _expiry(seconds), uuid.uuid4().hex)

    @classmethod
    def parse(cls, data: bytes) -> LeaseRecord | None:
        """The record in data; None for anything that is not one."""
        try:
            fields = orjson.loads(data)
            expires = datetime.fromisoformat(fields["expires"])
            if expires.tzinfo is None:
                return None
            return cls(str(fields["host"]), int(fields["pid"]), expires, str(fields["token"]))
        except (ValueError, TypeError, KeyError):
            return None

    def renewed(self, seconds: float) -> LeaseRecord:
        return replace(self, expires=_expiry(seconds))

    def to_bytes(self) -> bytes:
        fields = {"host": self.host, "pid": self.pid, "expires": self.expires.isoformat(), "token": self.token}
        return orjson.dumps(fields)

    def expired(self) -> bool:
        return datetime.now(UTC) > self.expires + SKEW

    def holder(self) -> str:
        return f"process {self.pid} on {self.host}"


def _expiry(seconds: float) -> datetime:
    return datetime.now(UTC) + timedelta(seconds=seconds)
