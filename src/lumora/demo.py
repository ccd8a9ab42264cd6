"""The demonstration behind ``lumora-results demo`` (and ``make demo``).

A stand-in solver fills the store with a few sample simulations, then the
store is shown at work: a hit with reordered settings, a miss after one
changed parameter, listings and a deletion. Its results stay in the store.
"""

from __future__ import annotations

import math
from typing import Any

from lumora.cli._common import PDK_ENV, PROG, environ, format_date, format_seconds, format_table
from lumora.core import simulation_storage as storage
from lumora.models import SimulationHyperparameters, StoredSimulationResult
from lumora.settings import get_simulations_dir


class SolverError(RuntimeError):
    """A failed run, with the time it took to fail."""

    def __init__(self, message: str, seconds: float) -> None:
        super().__init__(message)
        self.seconds = seconds


def _wavelengths(hyperparameters: SimulationHyperparameters) -> list[float]:
    start, stop, points = (
        hyperparameters.wavelength_start,
        hyperparameters.wavelength_stop,
        hyperparameters.wavelength_points,
    )
    step = (stop - start) / (points - 1) if points > 1 else 0.0
    return [round(start + i * step, 6) for i in range(points)]


class FakeSimulator:
    """Stands in for a real solver: deterministic numbers, and it counts its runs."""

    def __init__(self) -> None:
        self.runs = 0

    def __call__(
        self, simulation_type: str, settings: dict[str, Any], parameters: dict[str, Any], wavelengths: list[float]
    ) -> tuple[dict[str, Any], float]:
        """Return (result, seconds the run would have taken), or raise SolverError."""
        self.runs += 1
        if settings.get("radius", math.inf) < 10:
            message = f"solver did not converge after 200 iterations (bend radius {settings['radius']} um)"
            raise SolverError(message, seconds=3.87)
        size = float(sum(v for v in settings.values() if isinstance(v, int | float)))
        neff = float(parameters.get("neff", 2.4))
        if simulation_type == "modes":
            result = {
                "neff": [round(neff - 0.9 * (wl - 1.55), 4) for wl in wavelengths],
                "ng": [round(neff + 1.8 + 0.1 * (wl - 1.55), 4) for wl in wavelengths],
            }
            return result, round(0.3 + 0.02 * size, 2)
        loss = float(parameters.get("loss_db_per_cm", 2.0)) * size * 1e-4
        through = [math.cos(math.pi * size * (wl - 1.55)) ** 2 for wl in wavelengths]
        result = {
            "s21": [round(t * 10 ** (-loss / 10), 4) for t in through],
            "s11": [round(0.01 * (1 - t), 4) for t in through],
        }
        return result, round(0.5 + 0.05 * size, 2)


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
            "sparams": SimulationHyperparameters(wavelength_points=5),
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

    def run_and_save(self, identity: dict[str, Any], pdk: str) -> StoredSimulationResult:
        """What a caller of the store does after a cache miss: run, then keep the outcome."""
        wavelengths = _wavelengths(identity["hyperparameters"])
        settings, parameters = identity["component_settings"], identity["model_parameters"]
        with environ(PDK_ENV, pdk):
            try:
                result, seconds = self.simulate(identity["simulation_type"], settings, parameters, wavelengths)
            except SolverError as exc:
                # Failed runs are kept too, so that nobody repeats them blindly.
                return storage.save_simulation_result(
                    **identity,
                    result={},
                    wavelengths=wavelengths,
                    execution_time_seconds=exc.seconds,
                    status="error",
                    error_message=str(exc),
                )
            return storage.save_simulation_result(
                **identity, result=result, wavelengths=wavelengths, execution_time_seconds=seconds
            )

    def run(self) -> None:
        root = get_simulations_dir()
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
            record = self.run_and_save(self.identity(component, factory, simulation_type), pdk)
            saved.append(record)
            note = f"  ({record.error_message})" if record.status == "error" else ""
            print(
                f"   saved {record.simulation_id}  {simulation_type:<7}  {component:<14}  kit {record.pdk_name!s:<7}"
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
        hit = storage.find_simulation_result(**dict(reversed(list(reordered.items()))))
        if hit is None:
            raise RuntimeError(f"cache look-up missed the result saved as {first.simulation_id}")
        print(
            f"   hit: {hit.simulation_id} from {format_date(hit.simulation_date)} UTC, s21 = {hit.result['s21'][:3]}..."
        )
        print(f"   simulator runs: {runs} before, {self.simulate.runs} after (nothing re-run)")

        print()
        print("3. Cache look-up after changing one parameter: length_mmi 5.5 -> 6.0")
        runs = self.simulate.runs
        if storage.find_simulation_result(**trial) is not None:
            raise RuntimeError("cache look-up found a result for inputs that were never simulated")
        fresh = self.run_and_save(trial, "generic")
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
        print(f"The store keeps {left} result(s). See them with: {PROG} --store {root} list")


def _indent(text: str) -> str:
    return "\n".join("   " + line for line in text.splitlines())
