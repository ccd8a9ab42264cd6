"""Where lumora keeps its files and which process design kit is active.

Every value is read from the environment when it is asked for, never cached,
so changing a LUMORA_* variable takes effect on the next call. An empty
variable counts as unset.

LUMORA_SIMULATIONS_DIR may also hold a URL (``s3://bucket/prefix``,
``memory://name``, ``file:///path``...): the store then lives on that file
system, reached through universal-pathlib and fsspec, which come with the
optional extra ``lumora[remote]``. A plain path gives a `LocalStorePath`,
which reads result files only when they are regular files.
"""

from __future__ import annotations

import math
import os
import re
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import TYPE_CHECKING

from lumora.paths import LocalStorePath

if TYPE_CHECKING:
    from lumora.remote import StorePath

__all__ = [
    "BUILD_ENV",
    "CATALOG_ENV",
    "LEASE_ENV",
    "PDK_ENV",
    "STORE_ENV",
    "environ",
    "get_build_dir",
    "get_catalog_dir",
    "get_lease_seconds",
    "get_pdk_name",
    "get_simulations_dir",
]

BUILD_ENV = "LUMORA_BUILD_DIR"
STORE_ENV = "LUMORA_SIMULATIONS_DIR"
PDK_ENV = "LUMORA_PDK"
LEASE_ENV = "LUMORA_LEASE_SECONDS"
CATALOG_ENV = "LUMORA_CATALOG"

# Long enough that a renewal every third of it survives a few slow requests,
# short enough that a lost machine holds up the others for about a minute.
DEFAULT_LEASE_SECONDS = 60.0

# "scheme://": at least two characters before the colon, so that a Windows
# drive ("C:\\store", "C://store") stays a path.
_URL = re.compile(r"[A-Za-z][A-Za-z0-9+.-]+://")


def get_build_dir() -> Path:
    """The directory for generated files: $LUMORA_BUILD_DIR, else ./build."""
    value = os.environ.get(BUILD_ENV)
    return Path(value) if value else Path.cwd() / "build"


def get_simulations_dir() -> LocalStorePath | StorePath:
    """The store root: $LUMORA_SIMULATIONS_DIR, else <build dir>/simulations.

    A URL gives a universal-pathlib path onto its file system.
    """
    global _last_local
    value = os.environ.get(STORE_ENV)
    if value and _URL.match(value):
        return _remote_dir(value)
    if not value:
        return LocalStorePath(get_build_dir(), "simulations")
    # The same object while the variable is unchanged: a path is immutable,
    # and one made afresh parses its text again at first use, which every
    # look-up of the store would pay.
    last = _last_local
    if last is not None and last[0] == value:
        return last[1]
    path = LocalStorePath(value)
    _last_local = (value, path)
    return path


_last_local: tuple[str, LocalStorePath] | None = None


def _remote_dir(url: str) -> StorePath:
    try:
        from lumora.remote import store_path

        return store_path(url)
    except ImportError as exc:
        scheme = url.split("://", 1)[0].lower()
        hint = "pip install 'lumora[remote]'"
        if scheme not in ("s3", "s3a", "memory", "file", "local"):
            hint += f" and the fsspec driver for {scheme}://"
        raise ImportError(
            f"{STORE_ENV} is the URL {url!r}, which needs packages that are not installed ({exc}); "
            f"install them with: {hint}"
        ) from exc


def get_lease_seconds() -> float:
    """How long a lease on an object store holds without renewal: $LUMORA_LEASE_SECONDS, else 60.

    Its holder renews it every third of that; others take it over once it
    has gone that long unrenewed.
    """
    value = os.environ.get(LEASE_ENV, "").strip()
    if not value:
        return DEFAULT_LEASE_SECONDS
    try:
        seconds = float(value)
    except ValueError:
        seconds = 0.0
    if not (seconds > 0 and math.isfinite(seconds)):
        raise ValueError(f"{LEASE_ENV} must be a number of seconds above 0, not {value!r}")
    return seconds


def get_catalog_dir() -> Path | None:
    """Where the catalogs of result summaries are kept; None when they are off.

    $LUMORA_CATALOG: "0" turns them off, a path puts them there; otherwise
    the user's cache directory (platformdirs' when it is installed, else
    $XDG_CACHE_HOME or ~/.cache), below lumora/catalogs.
    """
    value = os.environ.get(CATALOG_ENV, "").strip()
    if value == "0":
        return None
    if value:
        return Path(value)
    try:
        from platformdirs import user_cache_path  # type: ignore[import-not-found, unused-ignore]
    except ImportError:
        base = Path(os.environ.get("XDG_CACHE_HOME") or Path.home() / ".cache")
        return base / "lumora" / "catalogs"
    return Path(user_cache_path("lumora", appauthor=False)) / "catalogs"


def get_pdk_name() -> str:
    """The active process design kit: $LUMORA_PDK, else "generic"."""
    return os.environ.get(PDK_ENV) or "generic"


@contextmanager
def environ(name: str, value: str | None) -> Iterator[None]:
    """Set one environment variable for the duration of a block; None leaves it alone.

    Settings are read at every call, so this points the store (or the kit)
    elsewhere for one command or one save.
    """
    if value is None:
        yield
        return
    previous = os.environ.get(name)
    os.environ[name] = value
    try:
        yield
    finally:
        if previous is None:
            os.environ.pop(name, None)
        else:
            os.environ[name] = previous
