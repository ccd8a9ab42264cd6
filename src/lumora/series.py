"""The series of a stored result: members holding one value per wavelength.

Plain numbers are taken as they are; ``[re, im]`` pairs (complex
S-parameters) as complex numbers, which are shown and compared as the power
``|s|^2`` in dB. Plain Python, so that showing and comparing results needs
no numpy.
"""

from __future__ import annotations

import math
from bisect import bisect_left
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from lumora.models import StoredSimulationResult

__all__ = ["DB_FLOOR", "Series", "decibels", "interpolate", "result_series"]

# |s| = 0 has no level in dB; -300 dB is below any solver's noise and keeps
# differences finite.
DB_FLOOR = -300.0


@dataclass(frozen=True)
class Series:
    """One member of a result with a value per wavelength: real numbers, or complex values from ``[re, im]`` pairs."""

    key: str
    values: tuple[float, ...] | tuple[complex, ...]
    is_complex: bool

    def levels(self) -> tuple[float, ...]:
        """The values as shown: real numbers as they are, complex ones as ``|s|^2`` in dB."""
        if self.is_complex:
            return tuple(decibels(abs(value)) for value in self.values)
        return tuple(float(value.real) for value in self.values)


def _is_number(value: object) -> bool:
    # bool is an int to Python, but True is no sample of a curve.
    return isinstance(value, int | float) and not isinstance(value, bool)


def _as_series(key: str, value: object, count: int) -> Series | None:
    if not isinstance(value, list | tuple) or len(value) != count or count == 0:
        return None
    if all(_is_number(item) for item in value):
        return Series(key, tuple(float(item) for item in value), is_complex=False)
    if all(isinstance(item, list | tuple) and len(item) == 2 and all(map(_is_number, item)) for item in value):
        return Series(key, tuple(complex(re, im) for re, im in value), is_complex=True)
    return None


def result_series(record: StoredSimulationResult, keys: Iterable[str] | None = None) -> list[Series]:
    """The series of ``record``, in result order; ``keys`` keeps only the members of those names.

    Members of another shape (a scalar, a list of another length, flags) are
    left out; a failed simulation or one without wavelengths has none.
    """
    wanted = None if keys is None else set(keys)
    count = len(record.wavelengths)
    found = []
    for key, value in record.result.items():
        if wanted is not None and key not in wanted:
            continue
        series = _as_series(key, value, count)
        if series is not None:
            found.append(series)
    return found


def decibels(magnitude: float) -> float:
    """``|s|`` as the power ``|s|^2`` in dB, no lower than DB_FLOOR.

    20 log10 |s| rather than 10 log10 |s|^2, which would overflow sooner.
    """
    if magnitude <= 0 or math.isnan(magnitude):
        return DB_FLOOR
    return max(20 * math.log10(magnitude), DB_FLOOR)


def interpolate(wavelengths: Sequence[float], values: Sequence[float], at: Sequence[float]) -> list[float]:
    """values, given at ascending wavelengths, linearly interpolated at each wavelength of ``at``
    (which lie within their range)."""
    out = []
    for point in at:
        right = min(max(bisect_left(wavelengths, point), 1), len(wavelengths) - 1)
        left = right - 1
        if len(wavelengths) == 1 or wavelengths[right] == wavelengths[left]:
            out.append(values[right])
            continue
        share = (point - wavelengths[left]) / (wavelengths[right] - wavelengths[left])
        out.append(values[left] + share * (values[right] - values[left]))
    return out
