"""S-parameters of stored results as numpy arrays, scikit-rf Networks and Touchstone files.

A result holds S-parameters as one ``[re, im]`` pair per wavelength under
port-pair keys ``"source,output"``: ``"o1@0,o2@0"`` is what leaves port
``o2`` (mode 0) for light sent into port ``o1`` (mode 0). In the matrix that
is ``S[f, output, source]``, the usual order of circuit simulators and
Touchstone files (S21 is from port 1 into port 2).

``sparameters(record)`` gives an ``SParameters`` object; its ``to_network``
and ``write_touchstone`` need scikit-rf, which comes with the optional extra
``pip install 'lumora[touchstone]'`` (numpy, needed here, comes with it too).
"""

from __future__ import annotations

import re
from collections.abc import Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any

from lumora.models import StoredSimulationResult
from lumora.text import printable

INSTALL_HINT = "pip install 'lumora[touchstone]'"

try:
    import numpy as np
    import numpy.typing as npt
except ImportError as exc:
    raise ImportError(f"lumora.sparams needs numpy, which is not installed; install it with: {INSTALL_HINT}") from exc

if TYPE_CHECKING:
    from skrf import Network

__all__ = [
    "INSTALL_HINT",
    "REFERENCE_IMPEDANCE",
    "SPEED_OF_LIGHT",
    "SParameters",
    "SParametersError",
    "port_order",
    "require_scikit_rf",
    "sparameters",
]

# Metres per second, exact by the definition of the metre.
SPEED_OF_LIGHT = 299_792_458.0
# Ohms. Photonic S-parameters are normalised waves with no impedance of their
# own; Touchstone files need one, and circuit simulators expect this one.
REFERENCE_IMPEDANCE = 50.0
_METRES_PER_MICROMETRE = 1e-6

Pair = tuple[str, str]
ComplexArray = npt.NDArray[np.complex128]


class SParametersError(ValueError):
    """A result that holds no S-parameters, or not all that the asked form needs."""


def _natural(text: str) -> tuple[str | int, ...]:
    # Digits compare as numbers: o2 before o10. Even positions are always text.
    return tuple(int(part) if index % 2 else part for index, part in enumerate(re.split(r"(\d+)", text)))


def port_order(port: str) -> tuple[Any, ...]:
    """The sort key of a port name: o1 before o2 before o10, each port's modes
    together (o1@0, o1@1, o2@0), then the name itself, so that the order never
    depends on the order of the result's keys."""
    name, _, mode = port.rpartition("@") if "@" in port else (port, "", "")
    return (_natural(name), _natural(mode), port)


def _where(record: StoredSimulationResult) -> str:
    return f"{record.simulation_id} ({record.component_name}, {record.simulation_type})"


def _pair(key: str) -> Pair | None:
    source, comma, output = key.partition(",")
    if not comma or not source or not output or "," in output:
        return None
    return source, output


def _series(value: object, count: int) -> ComplexArray | None:
    """value as complex numbers when it holds one per wavelength: [re, im] pairs
    as stored, or complex numbers as a solver gives them."""
    try:
        array = np.asarray(value)
    except ValueError:  # ragged lists
        return None
    if array.dtype.kind == "c" and array.shape == (count,):
        return array.astype(np.complex128)
    # Booleans are numbers to numpy, but True is no sample.
    if array.dtype.kind in "iuf" and array.shape == (count, 2):
        return array[:, 0].astype(np.float64) + 1j * array[:, 1].astype(np.float64)
    return None


@dataclass(frozen=True, eq=False)
class SParameters:
    """The S-parameters of one result.

    ``wavelengths`` in micrometres, as stored; ``ports`` in a stable order
    (see ``port_order``); ``pairs`` the complex values by (source, output)
    port, one per wavelength, only the pairs that the result holds.
    ``sp["o1@0,o2@0"]`` or ``sp["o1@0", "o2@0"]`` is one of them. ``name``
    (the simulation ID) names the Network and the result in messages.
    """

    wavelengths: npt.NDArray[np.float64]
    ports: tuple[str, ...]
    pairs: Mapping[Pair, ComplexArray]
    name: str = ""

    def __getitem__(self, key: str | Pair) -> ComplexArray:
        pair = _pair(key) if isinstance(key, str) else key
        if pair is None or pair not in self.pairs:
            raise KeyError(key)
        return self.pairs[pair]

    def missing(self) -> list[Pair]:
        """The (source, output) pairs of the full matrix that the result does not hold."""
        return [
            (source, output) for source in self.ports for output in self.ports if (source, output) not in self.pairs
        ]

    def reciprocal(self) -> SParameters:
        """These S-parameters with each missing pair taken from its reverse
        (S_ij = S_ji, as for any passive device without magneto-optics): after
        a solver that sent light into one port only, that port's row as well
        as its column."""
        pairs = dict(self.pairs)
        for source, output in self.missing():
            if (output, source) in pairs:
                pairs[source, output] = pairs[output, source]
        return SParameters(self.wavelengths, self.ports, _ordered(pairs, self.ports), self.name)

    def matrix(self, fill_missing: complex | None = None) -> ComplexArray:
        """The ``(F, N, N)`` matrix, ``S[f, output, source]`` in the order of ``ports``.

        A pair that the result does not hold is refused (SParametersError
        naming it) unless ``fill_missing`` gives the value to put there.
        """
        absent = self.missing()
        if absent and fill_missing is None:
            source, output = absent[0]
            raise SParametersError(
                f"{self.name or 'the result'} has no S-parameter {source},{output} "
                f"({len(absent)} of the {len(self.ports) ** 2} port pairs missing); "
                "pass fill_missing=0 to fill them with zeros, or take them from the reverse pairs with reciprocal()"
            )
        index = {port: position for position, port in enumerate(self.ports)}
        matrix = np.full(
            (len(self.wavelengths), len(self.ports), len(self.ports)),
            0 if fill_missing is None else fill_missing,
            dtype=np.complex128,
        )
        for (source, output), values in self.pairs.items():
            matrix[:, index[output], index[source]] = values
        return matrix

    def frequencies(self) -> npt.NDArray[np.float64]:
        """Hz, one per wavelength, in the same order: c / wavelength."""
        return SPEED_OF_LIGHT / (self.wavelengths * _METRES_PER_MICROMETRE)

    def to_network(self, fill_missing: complex | None = None) -> Network:
        """A scikit-rf ``Network`` of the matrix, in ascending frequency, the
        matrix reordered with it, the port names kept and the reference
        impedance ``REFERENCE_IMPEDANCE`` at every port.

        Raises SParametersError for missing pairs (see ``matrix``) and for
        wavelengths that give no ascending frequencies (not positive, or the
        same one twice); ImportError, naming the extra, without scikit-rf.
        """
        skrf = require_scikit_rf()
        if not np.all(self.wavelengths > 0):
            raise SParametersError(f"{self.name or 'the result'}: wavelengths must be positive to give frequencies")
        matrix = self.matrix(fill_missing)
        frequencies = self.frequencies()
        order = np.argsort(frequencies, kind="stable")
        frequencies = frequencies[order]
        if np.any(np.diff(frequencies) <= 0):
            raise SParametersError(f"{self.name or 'the result'} holds the same wavelength more than once")
        return skrf.Network(
            frequency=skrf.Frequency.from_f(frequencies, unit="hz"),
            s=matrix[order],
            z0=REFERENCE_IMPEDANCE,
            name=self.name or None,
            port_names=list(self.ports),
        )

    def write_touchstone(self, path: str | Path, fill_missing: complex | None = None) -> Path:
        """Write a Touchstone 1.x file (``.sNp`` for N ports, appended to
        ``path`` when it ends otherwise) and return its path.

        Frequencies in Hz, ascending; values as real and imaginary parts, each
        as many digits as a float needs to read back unchanged; the reference
        impedance ``REFERENCE_IMPEDANCE``; the port names as ``! Port[n] =``
        comments, which scikit-rf reads back, with characters outside
        printable ASCII escaped. Raises as ``to_network`` does.
        """
        network = self.to_network(fill_missing)
        network.port_names = [_ascii(port) for port in self.ports]
        if self.name:
            network.comments = f" lumora simulation {_ascii(self.name)}"
        path = Path(path)
        suffix = f".s{len(self.ports)}p"
        if path.suffix.lower() != suffix:
            path = path.with_name(path.name + suffix)
        text = network.write_touchstone(str(path), return_string=True, form="ri", r_ref=REFERENCE_IMPEDANCE)
        path.write_text(text, encoding="ascii")
        return path


def _ascii(text: str) -> str:
    # A line break in a port name would end its comment and start a data line.
    return printable(text).encode("ascii", "backslashreplace").decode("ascii")


def require_scikit_rf() -> Any:
    """The skrf module; ImportError, naming the extra to install, when it is missing."""
    try:
        import skrf
    except ImportError as exc:
        raise ImportError(
            f"Networks and Touchstone files need scikit-rf, which is not installed; install it with: {INSTALL_HINT}"
        ) from exc
    return skrf


def _ordered(pairs: Mapping[Pair, ComplexArray], ports: tuple[str, ...]) -> dict[Pair, ComplexArray]:
    index = {port: position for position, port in enumerate(ports)}
    return {pair: pairs[pair] for pair in sorted(pairs, key=lambda pair: (index[pair[0]], index[pair[1]]))}


def sparameters(record: StoredSimulationResult | Mapping[str, Any] | None) -> SParameters:
    """The S-parameters that ``record`` holds (a stored record, or its dump as a dict).

    Every member of its result must be a port pair ``"source,output"``
    holding one ``[re, im]`` pair (or complex number) per wavelength.
    Raises SParametersError, naming the record and the first member that is
    not, for a failed simulation and for results that are not S-parameters,
    and for None (what ``load_simulation_result`` gives for an ID not stored).
    """
    if record is None:
        raise SParametersError("the result is not stored: load_simulation_result gave None for its ID")
    if not isinstance(record, StoredSimulationResult):
        record = StoredSimulationResult.model_validate(record)
    where = _where(record)
    if record.status == "error":
        reason = f": {record.error_message}" if record.error_message else ""
        raise SParametersError(f"{where} is a failed simulation, it holds no S-parameters{reason}")
    count = len(record.wavelengths)
    if not record.result or count == 0:
        raise SParametersError(f"{where} holds no S-parameters: its result or its wavelengths are empty")
    pairs: dict[Pair, ComplexArray] = {}
    for key, value in record.result.items():
        pair = _pair(key)
        if pair is None:
            raise SParametersError(
                f"{where} is not S-parameters: its result member {key!r} is no port pair such as 'o1@0,o2@0'"
            )
        values = _series(value, count)
        if values is None:
            raise SParametersError(
                f"{where}: the S-parameter {key!r} does not hold one [re, im] pair per wavelength ({count})"
            )
        pairs[pair] = values
    ports = tuple(sorted({port for pair in pairs for port in pair}, key=port_order))
    wavelengths = np.asarray(record.wavelengths, dtype=np.float64)
    return SParameters(wavelengths, ports, _ordered(pairs, ports), record.simulation_id)
