"""Where a store keeps what, as the extension lays it out.

The extension writes this layout; upkeep and the cache find their way in it
through this module, and tests/test_layout.py holds the two together.

    <root>/<simulation type>/<component name>_<simulation ID>.json
    <root>/<simulation type>/.<result name>.<host>-<16 hex digits>.tmp   (a save under way)
    <root>/<simulation type>/.<result name>.lock     (a simulation under way, local disk)
    <root>/<simulation type>/.<result name>.lease    (a simulation under way, object store)
    <root>/.lease-probe.<32 hex digits>              (a store's conditional writes being tried)
"""

from __future__ import annotations

import os
import re
import string
from typing import Protocol, Self, TypeVar

__all__ = [
    "LEASE_FILE",
    "LOCK_FILE",
    "NAME_MAX",
    "RESULT_FILE",
    "RESULT_SUFFIX",
    "TEMPORARY_FILE",
    "temporary_name",
    "lease_name",
    "lock_name",
    "probe_name",
    "result_name",
    "result_path",
    "storable",
]

RESULT_SUFFIX = ".json"
# Bytes in one file name on the file systems the store runs on.
NAME_MAX = 255
# Names that are no type directory of their own below the root.
_NO_TYPE = frozenset({"", ".", ".."})
_SEPARATORS = ("/", "\\", "\0")

# A result's file name, as a listing tells its component from it.
RESULT_FILE = re.compile(r"(?P<component>.*)_[0-9a-f]{16}\.json")
# What a save writes before moving it into place: ".<result name, cut to
# fit NAME_MAX>.<host>-<16 hex>.tmp", the host so that machines sharing a
# directory never pick the same name; saves of older versions left no host.
TEMPORARY_FILE = re.compile(r"\..+\.(?:[A-Za-z0-9._-]*-)?[0-9a-f]{16}\.tmp", re.DOTALL)
# The names of lock files beside results: ".<result name>.lock", or
# ".<ID>.lock" where the result's name leaves no room; lease objects
# likewise with ".lease".
LOCK_FILE = re.compile(r"\.(?:.+\.json|[0-9a-f]{16})\.lock", re.DOTALL)
LEASE_FILE = re.compile(r"\.(?:.+\.json|[0-9a-f]{16})\.lease", re.DOTALL)


class _Joinable(Protocol):
    def __truediv__(self, name: str) -> Self: ...


P = TypeVar("P", bound=_Joinable)


def storable(simulation_type: str, component_name: str) -> bool:
    """Whether these names can be part of a result's path at all.

    The extension refuses to save anything else, so no file of such names
    exists and none need be looked for.
    """
    names = simulation_type + component_name
    return simulation_type not in _NO_TYPE and not any(c in names for c in _SEPARATORS)


def result_name(component_name: str, simulation_id: str) -> str:
    return f"{component_name}_{simulation_id}{RESULT_SUFFIX}"


def result_path(root: P, simulation_type: str, component_name: str, simulation_id: str) -> P:
    """Where the result of these names lies below root (names checked with `storable`)."""
    path: P = root / simulation_type / result_name(component_name, simulation_id)
    return path


def _beside(result: str, simulation_id: str, suffix: str) -> str:
    name = f".{result}{suffix}"
    if len(os.fsencode(name)) > NAME_MAX:
        # A result name near the limit has no room for the additions; the ID
        # alone is unique within the type directory.
        name = f".{simulation_id}{suffix}"
    return name


def lock_name(result: str, simulation_id: str) -> str:
    """The lock file's name beside the result file named result."""
    return _beside(result, simulation_id, ".lock")


def lease_name(result: str, simulation_id: str) -> str:
    """The lease object's name beside the result file named result."""
    return _beside(result, simulation_id, ".lease")


# What a temporary name adds besides the host: "." before, "." + host + "-"
# + 16 hex digits + ".tmp" after; the host is cut as the extension cuts it.
_TEMPORARY_EXTRA = 1 + 1 + 1 + 16 + 4
_HOST_MAX = 63
_HOST_CHARACTERS = frozenset(string.ascii_letters + string.digits + "-_.")


def temporary_name(result: str) -> str:
    """A fresh temporary name beside the result file named result, as a save makes one."""
    import socket  # only saves need it, and every command imports this module

    host = "".join(c for c in socket.gethostname() if c in _HOST_CHARACTERS)[:_HOST_MAX] or "host"
    stem = result
    budget = NAME_MAX - _TEMPORARY_EXTRA - len(host)
    while len(os.fsencode(stem)) > budget:
        stem = stem[:-1]
    return f".{stem}.{host}-{os.urandom(8).hex()}.tmp"


def probe_name(token: str) -> str:
    """The name, in the store's root, of the object that tries its conditional writes."""
    return f".lease-probe.{token}"
