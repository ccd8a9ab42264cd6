"""lumora: storage of photonic component simulation results."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

__version__ = "0.1.0"

if TYPE_CHECKING:
    from lumora.sweeps import cached, sweep

__all__ = ["cached", "sweep"]


def __getattr__(name: str) -> Any:
    # The extension imports parts of this package as it loads: importing the
    # sweep eagerly here would start that from inside this package's own import.
    if name in __all__:
        from lumora import sweeps

        return getattr(sweeps, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
