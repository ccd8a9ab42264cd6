"""A small user of the results store, checked with ``mypy --strict`` by test_typing.py.

Not a test module itself. Each line marked ``type: ignore[...]`` is a misuse that
the store's type information has to refuse: ``--strict`` reports an ignore that
is not needed, so the file only checks cleanly when every misuse is caught and
everything else is accepted.
"""

from __future__ import annotations

from datetime import timedelta
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from lumora import upkeep
from lumora.cache import SimulationFailed, get_or_simulate
from lumora.core import simulation_storage as storage
from lumora.core.simulation_storage import find_simulation_result, list_simulation_results, save_simulation_result
from lumora.models import SimulationHyperparameters, StoredSimulationResult


def simulate(settings: dict[str, Any]) -> dict[str, Any]:
    return {"s21": [0.5 * float(settings.get("width", 1.0))]}


def cached_run(component: str, settings: dict[str, Any], hp: SimulationHyperparameters) -> StoredSimulationResult:
    found = find_simulation_result(
        component_name=component,
        factory_name="mmi1x2",
        component_settings=settings,
        model_parameters={"neff": 2.4},
        hyperparameters=hp,
        simulation_type="sparams",
    )
    if found is not None:
        return found
    return save_simulation_result(
        component_name=component,
        factory_name="mmi1x2",
        component_settings=settings,
        model_parameters={"neff": 2.4},
        hyperparameters=hp,
        simulation_type="sparams",
        result=simulate(settings),
        wavelengths=[1.55, 1.56],
        execution_time_seconds=2,
        pdk_version="1.0",
    )


def failures() -> list[tuple[str, str, float]]:
    return [
        (record.simulation_id, record.error_message, record.execution_time_seconds)
        for record in list_simulation_results(simulation_type="sparams", status="error")
    ]


def housekeeping(simulation_id: str, hp: SimulationHyperparameters) -> int:
    record = storage.load_simulation_result(simulation_id)
    date: str | None = record.simulation_date if record is not None else None
    matches: bool = record is not None and storage._matches_filters(record, "mmi1x2", None, date, None)
    computed: str = storage._compute_simulation_id("mmi1x2", "mmi1x2", {}, {}, hp, "sparams")
    target: Path = storage._get_simulation_file_path("sparams", "mmi1x2", computed)
    found: Path | None = storage._find_simulation_file(computed)
    removed: bool = storage.delete_simulation_result(simulation_id)
    cleared: int = storage.clear_simulation_results(pdk_name="generic")
    return cleared + removed + matches + (found == target)


def misuses(hp: SimulationHyperparameters) -> None:
    storage.load_simulation_result(42)  # type: ignore[arg-type]
    storage.list_simulation_results("mmi1x2")  # type: ignore[call-arg]
    storage.clear_simulation_results(status="error")  # type: ignore[call-arg]
    storage.load_simulation_result("0123456789abcdef").simulation_id  # type: ignore[union-attr]
    count: str = storage.clear_simulation_results()  # type: ignore[assignment]
    storage.save_simulation_result(  # type: ignore[call-arg]
        component_name="c",
        factory_name="f",
        component_settings={},
        model_parameters={},
        hyperparameters=hp,
        simulation_type="sparams",
        wavelengths=[],
        execution_time_seconds=1.0,
    )
    storage.save_simulation_result(
        component_name="c",
        factory_name="f",
        component_settings={},
        model_parameters={},
        hyperparameters=hp,
        simulation_type="sparams",
        result={},
        wavelengths=[],
        execution_time_seconds=1.0,
        status="done",  # type: ignore[arg-type]
    )
    storage.find_simulation_result(  # type: ignore[call-arg]
        component_name="c",
        factory_name="f",
        component_settings={},
        model_parameters={},
        hyperparameters=hp,
    )
    del count


def keep_in_shape() -> int:
    figures: upkeep.StoreStats = upkeep.stats()
    plan = upkeep.prune(older_than=timedelta(days=90), max_size="5GB", dry_run=True)
    upkeep.prune(status="done")  # type: ignore[arg-type]
    upkeep.tidy(older_than=None)  # type: ignore[arg-type]
    return figures.by_type["sparams"].bytes + plan.selected_bytes + upkeep.tidy(confirm=lambda p: not p.selected).recent


def solver_output(hp: SimulationHyperparameters) -> str:
    def run() -> tuple[dict[str, Any], npt.NDArray[np.float64]]:
        wavelengths = np.linspace(1.5, 1.6, 11)
        return {"o1@0,o2@0": np.exp(-1j * wavelengths)}, wavelengths

    identity: dict[str, Any] = dict(component_name="c", factory_name="f", component_settings={"gap": np.float32(0.2)})
    try:
        record = get_or_simulate(**identity, model_parameters={}, hyperparameters=hp, simulation_type="s", simulate=run)
    except SimulationFailed as failed:
        return failed.error_message + failed.record.simulation_id
    get_or_simulate(**identity, model_parameters={}, hyperparameters=hp, simulation_type="s", simulate=hp)  # type: ignore[arg-type]
    return record.simulation_id
