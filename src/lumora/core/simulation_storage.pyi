"""Simulation results storage API.

This module provides functions for storing, retrieving, and managing
simulation results with full reproducibility metadata.
"""

from pathlib import Path
from typing import Any

from lumora.models import (
    SerializedSimulationResult,
    SimulationHyperparameters,
    SimulationStatus,
    SimulationType,
    StoredSimulationResult,
)

def _compute_simulation_id(
    component_name: str,
    factory_name: str,
    component_settings: dict[str, Any],
    model_parameters: dict[str, Any],
    hyperparameters: SimulationHyperparameters,
    simulation_type: str,
) -> str: ...
def _get_simulation_file_path(simulation_type: str, component_name: str, simulation_id: str) -> Path: ...
def _find_simulation_file(simulation_id: str) -> Path | None: ...
def save_simulation_result(
    *,
    component_name: str,
    factory_name: str,
    component_settings: dict[str, Any],
    model_parameters: dict[str, Any],
    hyperparameters: SimulationHyperparameters,
    simulation_type: SimulationType,
    result: SerializedSimulationResult,
    wavelengths: list[float],
    execution_time_seconds: float,
    status: SimulationStatus = "success",
    error_message: str = "",
    pdk_version: str = "",
) -> StoredSimulationResult: ...
def load_simulation_result(simulation_id: str) -> StoredSimulationResult | None: ...
def find_simulation_result(
    *,
    component_name: str,
    factory_name: str,
    component_settings: dict[str, Any],
    model_parameters: dict[str, Any],
    hyperparameters: SimulationHyperparameters,
    simulation_type: SimulationType,
) -> StoredSimulationResult | None: ...
def _matches_filters(
    result: StoredSimulationResult,
    component_name: str | None,
    factory_name: str | None,
    pdk_name: str | None,
    status: str | None,
) -> bool: ...
def list_simulation_results(
    *,
    component_name: str | None = None,
    factory_name: str | None = None,
    simulation_type: str | None = None,
    pdk_name: str | None = None,
    status: str | None = None,
) -> list[StoredSimulationResult]: ...
def delete_simulation_result(simulation_id: str) -> bool: ...
def clear_simulation_results(
    *,
    component_name: str | None = None,
    factory_name: str | None = None,
    simulation_type: str | None = None,
    pdk_name: str | None = None,
) -> int: ...
