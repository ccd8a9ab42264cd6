"""Solver output and settings as the plain JSON values that the store keeps.

The module writes result files with orjson and hashes the identity fields
with ``json.dumps``; neither takes numpy arrays, numpy scalars or complex
numbers. Here they become what the store already holds: lists, plain numbers
and ``[re, im]`` pairs. A value that is already plain passes unchanged, so
its file and its ID stay what they always were.

numpy is never imported here: a value can only come from numpy once numpy
is loaded, so without it nothing changes.
"""

from __future__ import annotations

import math
import sys
from collections.abc import Iterable
from typing import Any

import orjson
from pydantic import ValidationError

from lumora.models import SimulationHyperparameters

__all__ = ["as_hyperparameters", "identity_value", "output_value", "output_wavelengths"]

# orjson writes containers 254 deep at most, and the record holding each
# field is one of them.
_MAX_DEPTH = 253
# What orjson writes of an integer: signed or unsigned 64 bits.
_INT_MIN, _INT_MAX = -(2**63), 2**64 - 1

_NON_FINITE = "only finite numbers can be saved (JSON has no NaN or infinity)"
_PASS_OUTPUT = (
    "pass numbers, strings, booleans, None, complex numbers and numpy arrays or scalars, in dicts, lists and tuples"
)
_PASS_IDENTITY = "pass numbers, strings, booleans, None and numpy arrays or scalars of them, in dicts, lists and tuples"


class _Refused(Exception):
    """A value that cannot be kept, raised where it is found; each container
    on the way out adds its subscript, so the happy path builds no names."""

    def __init__(self, error: type[Exception], text: str) -> None:
        self.error, self.text = error, text
        self.subscripts: list[str] = []  # innermost first

    def at(self, where: str) -> Exception:
        return self.error(f"{where}{''.join(reversed(self.subscripts))} {self.text}")


def _type_name(value: object) -> str:
    kind = type(value)
    return kind.__qualname__ if kind.__module__ == "builtins" else f"{kind.__module__}.{kind.__qualname__}"


def _checked_float(value: float) -> float:
    if not math.isfinite(value):
        raise _Refused(ValueError, f"is {value!r}: {_NON_FINITE}")
    return value


def _checked_int(value: int) -> int:
    if not _INT_MIN <= value <= _INT_MAX:
        raise _Refused(ValueError, f"is {value}: only integers of 64 bits can be saved")
    return value


def _pair(value: complex) -> list[float]:
    value = complex(value)
    if not (math.isfinite(value.real) and math.isfinite(value.imag)):
        raise _Refused(ValueError, f"is {value!r}: {_NON_FINITE}")
    return [value.real, value.imag]


class _Plain:
    """One walk of a value, as output (complex numbers become ``[re, im]``,
    whatever orjson writes is kept) or as an identity field (only what
    ``json.dumps`` hashes and orjson also writes)."""

    def __init__(self, output: bool) -> None:
        self.output = output

    def convert(self, value: Any, depth: int) -> Any:
        kind = type(value)
        if kind is float:
            return _checked_float(value)
        if kind is str or kind is bool or value is None:
            return value
        if kind is int:
            return _checked_int(value)
        if isinstance(value, dict):
            return self._dict(value, depth + 1)
        if isinstance(value, (list, tuple)):
            return self._items(value, depth + 1)
        numpy = sys.modules.get("numpy")
        if numpy is not None and isinstance(value, numpy.ndarray):
            return self._array(numpy, value, depth)
        if numpy is not None and isinstance(value, numpy.generic) and not isinstance(value, str):
            return self._scalar(numpy, value)
        if isinstance(value, complex) and self.output:
            return _pair(value)
        # Subclasses: json.dumps writes them as their base, orjson refuses float's.
        if isinstance(value, float):
            return _checked_float(float(value))
        if isinstance(value, (int, str)):
            return _checked_int(value) if isinstance(value, int) else value
        if self.output and _orjson_writes(value):
            return value  # a date, a UUID, a dataclass: stored as the module always stored it
        raise self._unsupported(f"of type {_type_name(value)}")

    def _unsupported(self, what: str) -> _Refused:
        if self.output:
            return _Refused(TypeError, f"is {what}, which cannot be stored: {_PASS_OUTPUT}")
        return _Refused(TypeError, f"is {what}, which cannot be hashed into the simulation ID: {_PASS_IDENTITY}")

    def _nested(self, depth: int) -> None:
        if depth > _MAX_DEPTH:
            raise _Refused(ValueError, f"nests deeper than {_MAX_DEPTH} levels, which cannot be saved")

    def _dict(self, value: dict[Any, Any], depth: int) -> dict[str, Any]:
        self._nested(depth)
        plain = {}
        for key, item in value.items():
            if type(key) is not str:
                if not isinstance(key, str):
                    raise _Refused(TypeError, f"has the key {key!r} ({_type_name(key)}): keys must be strings")
                key = str.__str__(key)  # orjson takes only exact strings as keys
            try:
                plain[key] = self.convert(item, depth)
            except _Refused as refused:
                refused.subscripts.append(f"[{key!r}]")
                raise
        return plain

    def _items(self, value: list[Any] | tuple[Any, ...], depth: int) -> list[Any]:
        self._nested(depth)
        plain = []
        for index, item in enumerate(value):
            try:
                plain.append(self.convert(item, depth))
            except _Refused as refused:
                refused.subscripts.append(f"[{index}]")
                raise
        return plain

    def _scalar(self, numpy: Any, value: Any) -> Any:
        if isinstance(value, numpy.bool_):
            return bool(value)
        if isinstance(value, numpy.integer):
            return int(value)
        if isinstance(value, numpy.floating):
            return _checked_float(float(value))
        if isinstance(value, numpy.complexfloating) and self.output:
            return _pair(value)
        raise self._unsupported(f"of type {_type_name(value)}")

    def _array(self, numpy: Any, array: Any, depth: int) -> Any:
        kind = array.dtype.kind
        if kind in "biu":
            return array.tolist()
        if kind in "OU":
            return self.convert(array.tolist(), depth)
        if kind not in "fc" or (kind == "c" and not self.output):
            raise self._unsupported(f"a numpy array of {array.dtype}")
        array = numpy.asarray(array, dtype=numpy.complex128 if kind == "c" else numpy.float64)
        self._nested(depth + array.ndim + (kind == "c"))
        finite = numpy.isfinite(array)
        if not finite.all():
            index = tuple(int(i) for i in numpy.argwhere(~finite)[0])
            bad = array[index].item()
            refused = _Refused(ValueError, f"is {bad!r}: {_NON_FINITE}")
            refused.subscripts.extend(f"[{i}]" for i in reversed(index))
            raise refused
        if kind == "c":
            # Each complex number as the [re, im] pair that the store keeps: a
            # view of its two doubles, which np.stack would copy at a cost.
            pairs = numpy.ascontiguousarray(array).view(numpy.float64)
            return pairs.reshape(*array.shape, 2).tolist()
        return array.tolist()


_OUTPUT = _Plain(output=True)
_IDENTITY = _Plain(output=False)


def _orjson_writes(value: object) -> bool:
    try:
        orjson.dumps(value)
    except TypeError:
        return False
    return True


def _plain(walk: _Plain, value: Any, where: str) -> Any:
    try:
        return walk.convert(value, 0)
    except _Refused as refused:
        raise refused.at(where) from None


def output_value(value: Any, where: str = "result") -> Any:
    """``value`` as the module can store it, or TypeError or ValueError naming where.

    What orjson writes already is returned as it is (the module refuses its
    NaN and infinities itself, naming their place); anything else is walked:
    numpy arrays become lists (complex ones lists of ``[re, im]``), numpy
    scalars plain numbers, complex numbers ``[re, im]``, tuples lists, and
    NaN, infinities or values no JSON can hold are refused.
    """
    if _orjson_writes(value):
        return value
    return _plain(_OUTPUT, value, where)


def output_wavelengths(value: Iterable[Any]) -> list[Any]:
    """Wavelengths as the list that the module takes (an array, a tuple or any iterable)."""
    if type(value) is not list:
        numpy = sys.modules.get("numpy")
        if numpy is None or not isinstance(value, numpy.ndarray):
            value = list(value)
    plain = output_value(value, "wavelengths")
    if type(plain) is not list:
        raise TypeError(f"wavelengths must be a sequence of numbers, not {_type_name(value)}")
    return plain


def identity_value(value: Any, where: str) -> Any:
    """An identity field with numpy scalars and arrays turned into the plain
    values they equal (``np.int64(3)`` into ``3``, a float32 into the double
    it holds), so that they hash as those would.

    Anything else that ``json.dumps`` hashes gives the same text, hence the
    same ID, as before. Refused with TypeError or ValueError naming where:
    what cannot be hashed, and what no save could store (NaN, infinities,
    keys that are not strings, integers beyond 64 bits). The value returned
    is a copy: what the caller changes later is not what was hashed.
    """
    try:
        # The common case, checked and copied in C: the walk below costs a
        # look-up several times over. Inside a list, as the record holds it,
        # so that orjson's depth limit is the save's. What orjson writes
        # otherwise than json.dumps hashes it (NaN and infinities as null,
        # enums, UUIDs, tuples) reads back unequal and goes the long way.
        copy = orjson.loads(orjson.dumps([value], option=_PASSTHROUGH))[0]
    except TypeError:  # orjson's refusal: the walk names what and where
        pass
    else:
        if copy == value:
            return copy
    return _plain(_IDENTITY, value, where)


_PASSTHROUGH = orjson.OPT_PASSTHROUGH_DATACLASS | orjson.OPT_PASSTHROUGH_DATETIME | orjson.OPT_PASSTHROUGH_SUBCLASS


def as_hyperparameters(value: Any) -> SimulationHyperparameters:
    """The hyperparameters model, validated from a dict of its fields if need be."""
    if isinstance(value, SimulationHyperparameters):
        return value
    if not isinstance(value, dict):
        raise TypeError(
            f"hyperparameters must be a SimulationHyperparameters or a dict of its fields, not {_type_name(value)}"
        )
    try:
        return SimulationHyperparameters.model_validate(identity_value(value, "hyperparameters"))
    except ValidationError as exc:
        problems = "; ".join(f"{'.'.join(map(str, e['loc'])) or 'hyperparameters'}: {e['msg']}" for e in exc.errors())
        fields = ", ".join(SimulationHyperparameters.model_fields)
        raise ValueError(
            f"hyperparameters are not valid ({problems}): pass a SimulationHyperparameters"
            f" or a dict of some of its fields ({fields})"
        ) from None
