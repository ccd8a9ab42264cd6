"""Data models of stored simulation results.

A result file is the JSON dump of one StoredSimulationResult; reading it back
goes through model_validate, so these models decide what a valid file is.
Validation is strict: values must already have the JSON types that the
fields name (an int is still accepted where a float is expected), so a file
with a number where a name belongs is rejected rather than silently coerced.
"""

from __future__ import annotations

from typing import Any, Literal

from pydantic import BaseModel, ConfigDict, Field, model_validator

__all__ = [
    "SerializedSimulationResult",
    "SimulationHyperparameters",
    "SimulationStatus",
    "SimulationType",
    "StoredSimulationResult",
]

SimulationStatus = Literal["success", "error"]

# Free-form: each solver integration names its own kind of simulation.
SimulationType = str

# The solver's output in JSON-able form (for example S-parameters by port pair).
SerializedSimulationResult = dict[str, Any]


class SimulationHyperparameters(BaseModel):
    """Solver settings that change a simulation's outcome.

    They are part of a simulation's identity: model_dump() enters the ID
    hash, so every field must dump to a plain JSON value (str, int, float,
    bool) and a default may only change together with the IDs it produces.
    Unknown fields are rejected so that a misspelt setting cannot silently
    hash like the default.
    """

    # Non-finite numbers are refused as in the stored record: they would be
    # written as null and the file could never be read back.
    model_config = ConfigDict(strict=True, extra="forbid", allow_inf_nan=False)

    solver: str = "fdtd"
    mesh_resolution: int = Field(default=20, gt=0, description="Mesh cells per micrometre.")
    wavelength_start: float = Field(default=1.5, gt=0, description="Shortest wavelength in micrometres.")
    wavelength_stop: float = Field(default=1.6, gt=0, description="Longest wavelength in micrometres.")
    wavelength_points: int = Field(default=101, gt=0)
    simulation_time: float = Field(default=1e-12, gt=0, description="Simulated time in seconds.")
    boundary_condition: str = "pml"
    pml_layers: int = Field(default=12, ge=0)
    num_modes: int = Field(default=1, gt=0, description="Modes solved per port.")
    port_margin: float = Field(default=1.0, ge=0, description="Port extension beyond the waveguide, micrometres.")
    convergence_tolerance: float = Field(default=1e-5, gt=0)
    symmetric: bool = False

    @model_validator(mode="after")
    def _ordered_wavelengths(self) -> SimulationHyperparameters:
        if self.wavelength_stop < self.wavelength_start:
            raise ValueError("wavelength_stop must not be below wavelength_start")
        return self


class StoredSimulationResult(BaseModel):
    """One stored simulation result with its reproducibility metadata.

    The field order is the member order of the result file.
    """

    # Fields such as model_parameters would otherwise clash with pydantic's
    # reserved "model_" prefix. NaN and the infinities are refused: the file
    # would hold null for them, and a record that cannot be read back is lost.
    model_config = ConfigDict(strict=True, protected_namespaces=(), allow_inf_nan=False)

    component_name: str
    factory_name: str
    component_settings: dict[str, Any]
    model_parameters: dict[str, Any]
    hyperparameters: SimulationHyperparameters
    simulation_type: SimulationType
    simulation_id: str
    pdk_name: str | None
    pdk_version: str
    # ISO 8601 text, kept exactly as written; listings order results by it.
    simulation_date: str
    lumora_version: str
    result: SerializedSimulationResult
    wavelengths: list[float]
    execution_time_seconds: float
    status: SimulationStatus
    error_message: str
