"""The demonstration behind ``lumora-results demo`` (and ``make demo``).

A stand-in solver fills the store with a few sample simulations through
``get_or_simulate``, then the store is shown at work: a hit with reordered
settings, a miss after one changed parameter, listings and a deletion. Its
results stay in the store.
"""

from __future__ import annotations

import cmath
import math
import os
import shlex
import shutil
import sys
from pathlib import Path
from typing import Any

from lumora.cache import get_or_simulate
from lumora.core import simulation_storage as storage
from lumora.models import SimulationHyperparameters, StoredSimulationResult
from lumora.settings import PDK_ENV, environ, get_simulations_dir
from lumora.text import PROG, format_date, format_seconds, format_table, printable


class SolverError(RuntimeError):
    """A run that did not converge."""


def _wavelengths(hyperparameters: SimulationHyperparameters) -> list[float]:
    start, stop, points = (
        hyperparameters.wavelength_start,
        hyperparameters.wavelength_stop,
        hyperparameters.wavelength_points,
    )
    step = (stop - start) / (points - 1) if points > 1 else 0.0
    return [round(start + i * step, 6) for i in range(points)]


def _rounded(values: list[complex]) -> list[complex]:
    """Six decimals, as a solver's output file would give them: the files stay small."""
    return [complex(round(z.real, 6), round(z.imag, 6)) for z in values]


def _sparams(
    factory: str, settings: dict[str, Any], parameters: dict[str, Any], wavelengths: list[float]
) -> dict[str, list[complex]]:
    """S-parameters seen from port o1 (one source run), by port pair, one complex number per
    wavelength: the store keeps each as [re, im]."""
    neff = float(parameters.get("neff", 2.4))
    loss_db_per_um = float(parameters.get("loss_db_per_cm", 2.0)) * 1e-4

    def guided(length: float, wl: float) -> complex:
        """Field after `length` um of waveguide: propagation loss and phase."""
        return 10 ** (-loss_db_per_um * length / 20) * cmath.exp(-2j * math.pi * neff * length / wl)

    def reflection(level_db: float, length: float, wl: float) -> complex:
        """A weak reflection with the ripple of a cavity between the device's ends."""
        return 10 ** (level_db / 20) * (1 + 0.6 * cmath.exp(-4j * math.pi * neff * length / wl)) / 1.6

    result: dict[str, list[complex]] = {}
    if factory in ("mmi1x2", "mmi2x2"):
        length, width = settings["length_mmi"], settings["width_mmi"]
        # Self-imaging length grows with width squared and falls with wavelength:
        # the sample lengths are the best ones at 1.55 um.
        best = {"mmi1x2": 5.5, "mmi2x2": 12.8}[factory] * (width / 2.5) ** 2
        centre = 1.55 * best / length
        for wl in wavelengths:
            detuning = wl - centre
            excess_db = (0.2 if factory == "mmi1x2" else 0.3) + 250 * detuning**2
            field = guided(length, wl) * 10 ** (-excess_db / 20)
            result.setdefault("o1@0,o1@0", []).append(reflection(-32, length, wl))
            if factory == "mmi1x2":
                for port in ("o2", "o3"):
                    result.setdefault(f"o1@0,{port}@0", []).append(field / math.sqrt(2))
            else:
                # Off the best wavelength the split leaves 50:50; cross lags bar by 90 degrees.
                split = math.pi / 4 + 2.5 * detuning
                result.setdefault("o1@0,o2@0", []).append(reflection(-45, length, wl))
                result.setdefault("o1@0,o3@0", []).append(-1j * field * math.sin(split))
                result.setdefault("o1@0,o4@0", []).append(field * math.cos(split))
    elif factory == "coupler":
        length, gap = settings["length"], settings["gap"]
        for wl in wavelengths:
            # Evanescent coupling: weaker with the gap, stronger with the wavelength.
            kappa = math.pi / 80 * math.exp(-(gap - 0.2) / 0.1) * (wl / 1.55) ** 4
            field = guided(length, wl)
            result.setdefault("o1@0,o1@0", []).append(reflection(-45, length, wl))
            result.setdefault("o1@0,o2@0", []).append(reflection(-50, length, wl))
            result.setdefault("o1@0,o3@0", []).append(-1j * field * math.sin(kappa * length))
            result.setdefault("o1@0,o4@0", []).append(field * math.cos(kappa * length))
    elif factory == "ring_single":
        # All-pass ring: dips where a round trip is a whole number of wavelengths.
        # Near critical coupling at a 0.2 um gap and a 10 um radius: deep dips.
        round_trip = 2 * math.pi * settings["radius"] + 2 * settings["length_x"]
        self_coupling = math.sqrt(1 - 0.1 * math.exp(-(settings["gap"] - 0.2) / 0.1))
        bend = 10 ** (-0.4 * math.exp(-(settings["radius"] - 10) / 5) / 20)
        for wl in wavelengths:
            ring = bend * guided(round_trip, wl)
            through = (self_coupling - ring) / (1 - self_coupling * ring)
            result.setdefault("o1@0,o1@0", []).append(reflection(-40, round_trip, wl))
            result.setdefault("o1@0,o2@0", []).append(through * guided(2 * settings["length_x"], wl))
    else:  # a straight, or anything else: a plain waveguide
        length = float(settings.get("length", 10.0))
        for wl in wavelengths:
            result.setdefault("o1@0,o1@0", []).append(reflection(-50, length, wl))
            result.setdefault("o1@0,o2@0", []).append(guided(length, wl))
    return {key: _rounded(values) for key, values in result.items()}


class FakeSimulator:
    """Stands in for a real solver: deterministic numbers, and it counts its runs."""

    def __init__(self) -> None:
        self.runs = 0

    def __call__(
        self,
        simulation_type: str,
        factory: str,
        settings: dict[str, Any],
        parameters: dict[str, Any],
        wavelengths: list[float],
    ) -> dict[str, Any]:
        """Return the result, or raise SolverError."""
        self.runs += 1
        if settings.get("radius", math.inf) < 10:
            raise SolverError(f"solver did not converge after 200 iterations (bend radius {settings['radius']} um)")
        if simulation_type == "modes":
            neff = float(parameters.get("neff", 2.4))
            return {
                "neff": [round(neff - 0.9 * (wl - 1.55), 4) for wl in wavelengths],
                "ng": [round(neff + 1.8 + 0.1 * (wl - 1.55), 4) for wl in wavelengths],
            }
        return _sparams(factory, settings, parameters, wavelengths)


class Demo:
    """Fills the store with sample results and walks through what the store does."""

    FACTORY_SETTINGS = {
        "mmi1x2": {"width_mmi": 2.5, "length_mmi": 5.5, "gap_mmi": 0.25},
        "mmi2x2": {"width_mmi": 2.5, "length_mmi": 12.8, "gap_mmi": 0.25},
        "coupler": {"gap": 0.2, "length": 20.0},
        "straight": {"width": 0.5, "length": 10.0},
        "ring_single": {"radius": 5.0, "gap": 0.2, "length_x": 4.0},
    }
    # (component, factory, simulation type, design kit)
    SAMPLES = [
        ("mmi1x2", "mmi1x2", "sparams", "generic"),
        ("mmi2x2", "mmi2x2", "sparams", "generic"),
        ("coupler_g200", "coupler", "sparams", "si220"),
        ("ring_single_r5", "ring_single", "sparams", "si220"),
        ("straight_w500", "straight", "modes", "si220"),
    ]
    PARAMETERS = {"neff": 2.45, "loss_db_per_cm": 2.0}

    def __init__(self) -> None:
        self.simulate = FakeSimulator()
        # S-parameters from FDTD, waveguide modes from an eigenmode solver.
        self.hyperparameters = {
            "sparams": SimulationHyperparameters(),
            "modes": SimulationHyperparameters(solver="fde", num_modes=2, wavelength_points=5),
        }

    def identity(
        self, component: str, factory: str, simulation_type: str, settings: dict[str, Any] | None = None
    ) -> dict[str, Any]:
        return {
            "component_name": component,
            "factory_name": factory,
            "component_settings": dict(settings if settings is not None else self.FACTORY_SETTINGS[factory]),
            "model_parameters": dict(self.PARAMETERS),
            "hyperparameters": self.hyperparameters[simulation_type],
            "simulation_type": simulation_type,
        }

    def look_up(self, identity: dict[str, Any], pdk: str) -> StoredSimulationResult:
        """What a caller of the store writes: the stored result, or a run saved with the kit's name."""
        wavelengths = _wavelengths(identity["hyperparameters"])
        kind, factory = identity["simulation_type"], identity["factory_name"]
        settings, parameters = identity["component_settings"], identity["model_parameters"]

        def simulate() -> tuple[dict[str, Any], list[float]]:
            return self.simulate(kind, factory, settings, parameters, wavelengths), wavelengths

        with environ(PDK_ENV, pdk):  # a save records the active kit
            try:
                return get_or_simulate(**identity, simulate=simulate, return_errors=True)
            except SolverError:
                # The failure was saved too: asking again finds it rather than re-running.
                return get_or_simulate(**identity, simulate=simulate, return_errors=True)

    def run(self) -> None:
        root = printable(str(get_simulations_dir()))  # a path anyone may have named
        trial_settings = {**self.FACTORY_SETTINGS["mmi1x2"], "length_mmi": 6.0}
        trial = self.identity("mmi1x2", "mmi1x2", "sparams", trial_settings)
        # A trial left behind by an interrupted demo would turn step 3's miss into a hit.
        leftover = storage.find_simulation_result(**trial)
        if leftover is not None:
            storage.delete_simulation_result(leftover.simulation_id)

        print(f"Store: {root}")
        print()
        print(f"1. Simulating {len(self.SAMPLES)} components and saving the results")
        saved = []
        for component, factory, simulation_type, pdk in self.SAMPLES:
            runs = self.simulate.runs
            record = self.look_up(self.identity(component, factory, simulation_type), pdk)
            saved.append(record)
            # A demonstration run before this one left its results: those are hits.
            done = "saved" if self.simulate.runs > runs else "found"
            note = f"  ({record.error_message})" if record.status == "error" else ""
            print(
                f"   {done} {record.simulation_id}  {simulation_type:<7}  {component:<14}  kit {record.pdk_name!s:<7}"
                f"  {record.status:<7}  {format_seconds(record.execution_time_seconds)}{note}"
            )

        print()
        print("2. Cache look-up with the same inputs, settings given in another key order")
        first = saved[0]
        runs = self.simulate.runs
        reordered = self.identity(
            first.component_name,
            first.factory_name,
            first.simulation_type,
            dict(reversed(list(self.FACTORY_SETTINGS[first.factory_name].items()))),
        )
        hit = self.look_up(dict(reversed(list(reordered.items()))), self.SAMPLES[0][3])
        if self.simulate.runs != runs:
            raise RuntimeError(f"cache look-up missed the result saved as {first.simulation_id}")
        # The power into the first output at the middle wavelength, as a plot would show it.
        key, middle = "o1@0,o2@0", len(hit.wavelengths) // 2
        power_db = 10 * math.log10(abs(complex(*hit.result[key][middle])) ** 2)
        print(
            f"   hit: {hit.simulation_id} from {format_date(hit.simulation_date)} UTC,"
            f" {key} at {hit.wavelengths[middle]} um: {power_db:.2f} dB"
        )
        print(f"   simulator runs: {runs} before, {self.simulate.runs} after (nothing re-run)")

        print()
        print("3. Cache look-up after changing one parameter: length_mmi 5.5 -> 6.0")
        runs = self.simulate.runs
        fresh = self.look_up(trial, "generic")
        if self.simulate.runs == runs:
            raise RuntimeError("cache look-up found a result for inputs that were never simulated")
        print(f"   miss: simulated and saved as {fresh.simulation_id}")
        print(f"   simulator runs: {runs} before, {self.simulate.runs} after")

        print()
        print("4. All results, newest first  (lumora-results list)")
        print(_indent(format_table(storage.list_simulation_results())))

        print()
        print("5. S-parameter results of the generic kit  (lumora-results list --type sparams --pdk generic)")
        print(_indent(format_table(storage.list_simulation_results(simulation_type="sparams", pdk_name="generic"))))

        print()
        print(f"6. Deleting the trial run {fresh.simulation_id}  (lumora-results delete {fresh.simulation_id})")
        deleted = storage.delete_simulation_result(fresh.simulation_id)
        gone = storage.load_simulation_result(fresh.simulation_id) is None
        print(f"   deleted: {deleted}; loading it again finds {'nothing' if gone else 'it still there'}")

        print()
        left = len(storage.list_simulation_results())
        print(f"The store keeps {left} result(s). See them with: {_command()} --store {shlex.quote(root)} list")


def _command() -> str:
    """How to run the command line from the caller's shell: by its name where
    that finds this very program, else by its path (a venv not activated)."""
    here = Path(sys.executable).parent / PROG
    found = shutil.which(PROG)
    if here.exists() and (found is None or Path(found).resolve() != here.resolve()):
        return shlex.quote(os.path.relpath(here) if not os.path.relpath(here).startswith("..") else str(here))
    return PROG


def _indent(text: str) -> str:
    return "\n".join("   " + line for line in text.splitlines())
