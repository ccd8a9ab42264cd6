"""Where lumora keeps its files and which process design kit is active.

Every value is read from the environment when it is asked for, never cached,
so changing a LUMORA_* variable takes effect on the next call. An empty
variable counts as unset.
"""

from __future__ import annotations

import os
from pathlib import Path

__all__ = ["get_build_dir", "get_pdk_name", "get_simulations_dir"]


def get_build_dir() -> Path:
    """The directory for generated files: $LUMORA_BUILD_DIR, else ./build."""
    value = os.environ.get("LUMORA_BUILD_DIR")
    return Path(value) if value else Path.cwd() / "build"


def get_simulations_dir() -> Path:
    """The store root: $LUMORA_SIMULATIONS_DIR, else <build dir>/simulations."""
    value = os.environ.get("LUMORA_SIMULATIONS_DIR")
    return Path(value) if value else get_build_dir() / "simulations"


def get_pdk_name() -> str:
    """The active process design kit: $LUMORA_PDK, else "generic"."""
    return os.environ.get("LUMORA_PDK") or "generic"
