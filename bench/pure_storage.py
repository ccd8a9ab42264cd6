"""Simulation results storage, written as a plain Python module.

The baseline against which the compiled ``lumora.core.simulation_storage`` is
measured: the same ten functions with the same signatures, the same argument
checks, the same collaborators reached through module globals, and the same
files on disk. It is the module a user would otherwise write, so it is kept
idiomatic: neither tuned nor handicapped.
"""

from __future__ import annotations

import contextlib
import glob
import hashlib
import json
import math
import os
import secrets
from datetime import UTC, datetime
from pathlib import Path
from typing import TYPE_CHECKING, Any

from lumora.core.lazy import lazy_import
from lumora.models import SimulationHyperparameters, SimulationStatus, StoredSimulationResult

if TYPE_CHECKING:
    from lumora.models import SerializedSimulationResult, SimulationType

orjson = lazy_import("orjson")
__version__ = lazy_import("lumora", "__version__")
log = lazy_import("lumora.logger", "get_logger")
get_build_dir = lazy_import("lumora.settings", "get_build_dir")
get_pdk_name = lazy_import("lumora.settings", "get_pdk_name")
get_simulations_dir = lazy_import("lumora.settings", "get_simulations_dir")


def _incorrect_type(name: str, expected: type, value: object) -> TypeError:
    return TypeError(f"Argument '{name}' has incorrect type (expected {expected.__name__}, got {type(value).__name__})")


# Saved file names may take this many bytes of the file-system encoding; a
# temporary name adds "." before and "." + 16 hex digits + ".tmp" after.
_MAX_NAME_BYTES = 255
_TEMPORARY_EXTRA = 22
_SHOWN_LEVELS = 10


def _where(field: str, frames: list[Any]) -> str:
    keys = [f"[{key!r}]" if isinstance(container, dict) else f"[{key}]" for container, _, key in frames]
    if len(keys) > 2 * _SHOWN_LEVELS:
        keys = [*keys[:_SHOWN_LEVELS], "...", *keys[-_SHOWN_LEVELS:]]
    return field + "".join(keys)


def _check_finite(field: str, value: object) -> None:
    """ValueError naming the place of a NaN or an infinity in value, at any depth."""
    frames: list[Any] = []  # [container, iterator over (key, item), current key]
    on_path: set[int] = set()
    item = value
    while True:
        if isinstance(item, float):
            if not math.isfinite(item):
                text = "nan" if math.isnan(item) else "inf" if item > 0 else "-inf"
                raise ValueError(
                    f"{_where(field, frames)} is {text}: only finite numbers can be saved (JSON has no NaN or infinity)"
                )
        elif isinstance(item, (dict, list, tuple)) and id(item) not in on_path:
            on_path.add(id(item))
            frames.append([item, iter(item.items() if isinstance(item, dict) else enumerate(item)), None])
        while frames:
            entry = next(frames[-1][1], None)
            if entry is not None:
                frames[-1][2], item = entry
                break
            on_path.discard(id(frames.pop()[0]))
        else:
            return


def _child(parent: Path, name: str) -> Path | None:
    """parent / name when the path's own rules put it exactly one level below parent."""
    child = parent / name
    return child if child.parent == parent and child.name == name else None


def _temporary_name(name: str) -> str:
    """A hidden, unique name for writing `name`, within the file-name limit."""
    budget = _MAX_NAME_BYTES - _TEMPORARY_EXTRA
    stem = name
    if len(os.fsencode(name)) > budget:
        fits, too_long = 0, min(len(name), budget + 1)
        while too_long - fits > 1:
            mid = (fits + too_long) // 2
            fits, too_long = (mid, too_long) if len(os.fsencode(name[:mid])) <= budget else (fits, mid)
        stem = name[:fits]
    return f".{stem}.{secrets.token_hex(8)}.tmp"


def _compute_simulation_id(
    component_name: str,
    factory_name: str,
    component_settings: dict[str, Any],
    model_parameters: dict[str, Any],
    hyperparameters: SimulationHyperparameters,
    simulation_type: str,
) -> str:
    """Compute a deterministic hash-based ID for a simulation.

    The ID is computed from the identity fields only, ensuring that
    the same inputs always produce the same ID.

    Returns:
        16-character hex string from SHA-256 hash.
    """
    if type(component_name) is not str:
        raise _incorrect_type("component_name", str, component_name)
    if type(factory_name) is not str:
        raise _incorrect_type("factory_name", str, factory_name)
    if type(component_settings) is not dict:
        raise _incorrect_type("component_settings", dict, component_settings)
    if type(model_parameters) is not dict:
        raise _incorrect_type("model_parameters", dict, model_parameters)
    if type(simulation_type) is not str:
        raise _incorrect_type("simulation_type", str, simulation_type)

    identity_data = {
        "component_name": component_name,
        "factory_name": factory_name,
        "component_settings": component_settings,
        "model_parameters": model_parameters,
        "hyperparameters": hyperparameters.model_dump(),
        "simulation_type": simulation_type,
    }
    identity_str = json.dumps(identity_data, sort_keys=True)
    hash_bytes = hashlib.sha256(identity_str.encode()).digest()
    return hash_bytes[:8].hex()


def _get_simulation_file_path(simulation_type: str, component_name: str, simulation_id: str) -> Path:
    """Get the file path for a simulation result, creating its type directory."""
    if type(simulation_type) is not str:
        raise _incorrect_type("simulation_type", str, simulation_type)
    if type(component_name) is not str:
        raise _incorrect_type("component_name", str, component_name)
    if type(simulation_id) is not str:
        raise _incorrect_type("simulation_id", str, simulation_id)

    # Both names become path components: neither may climb out of the store.
    if (
        simulation_type in ("", ".", "..")
        or "/" in simulation_type
        or "\\" in simulation_type
        or "\0" in simulation_type
    ):
        raise ValueError(f"simulation_type must be a single directory name, got {simulation_type!r}")
    if "/" in component_name or "\\" in component_name or "\0" in component_name:
        raise ValueError(f"component_name must not contain path separators or NUL characters, got {component_name!r}")

    type_dir = _child(get_simulations_dir(), simulation_type)
    if type_dir is None:
        raise ValueError(f"simulation_type must be a single directory name, got {simulation_type!r}")
    file_path = _child(type_dir, f"{component_name}_{simulation_id}.json")
    if file_path is None:
        raise ValueError(f"component_name must name a file directly in the type directory, got {component_name!r}")
    type_dir.mkdir(parents=True, exist_ok=True)
    return file_path


def _find_simulation_file(simulation_id: str) -> Path | None:
    """Find a simulation result file by its ID, scanning every type directory."""
    if type(simulation_id) is not str:
        raise _incorrect_type("simulation_id", str, simulation_id)

    # No stored file name holds a separator or NUL, so such an ID has no file.
    if "/" in simulation_id or "\\" in simulation_id or "\0" in simulation_id:
        return None
    simulations_dir = get_simulations_dir()
    if not simulations_dir.exists():
        return None
    pattern = f"*_{glob.escape(simulation_id)}.json"
    for type_dir in simulations_dir.iterdir():
        if not type_dir.is_dir():
            continue
        matches: list[Path] = list(type_dir.glob(pattern))
        if matches:
            return matches[0]
    return None


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
) -> StoredSimulationResult:
    """Save a simulation result to file.

    Returns:
        The stored simulation result with computed ID.
    """
    if type(execution_time_seconds) is not float:
        # float() would also parse text; only numbers are execution times.
        if isinstance(execution_time_seconds, (str, bytes, bytearray)):
            raise TypeError(f"must be real number, not {type(execution_time_seconds).__name__}")
        execution_time_seconds = float(execution_time_seconds)
    if type(component_name) is not str:
        raise _incorrect_type("component_name", str, component_name)
    if type(factory_name) is not str:
        raise _incorrect_type("factory_name", str, factory_name)
    if type(component_settings) is not dict:
        raise _incorrect_type("component_settings", dict, component_settings)
    if type(model_parameters) is not dict:
        raise _incorrect_type("model_parameters", dict, model_parameters)
    if type(wavelengths) is not list:
        raise _incorrect_type("wavelengths", list, wavelengths)
    if type(error_message) is not str:
        raise _incorrect_type("error_message", str, error_message)
    if type(pdk_version) is not str:
        raise _incorrect_type("pdk_version", str, pdk_version)

    _check_finite("component_settings", component_settings)
    _check_finite("model_parameters", model_parameters)
    _check_finite("result", result)

    simulation_id = _compute_simulation_id(
        component_name=component_name,
        factory_name=factory_name,
        component_settings=component_settings,
        model_parameters=model_parameters,
        hyperparameters=hyperparameters,
        simulation_type=simulation_type,
    )
    file_path = _get_simulation_file_path(simulation_type, component_name, simulation_id)

    stored_result = StoredSimulationResult(
        component_name=component_name,
        factory_name=factory_name,
        component_settings=component_settings,
        model_parameters=model_parameters,
        hyperparameters=hyperparameters,
        simulation_type=simulation_type,
        simulation_id=simulation_id,
        pdk_name=get_pdk_name(),
        pdk_version=pdk_version,
        simulation_date=datetime.now(UTC).isoformat(),
        lumora_version=str(__version__),
        result=result,
        wavelengths=wavelengths,
        execution_time_seconds=execution_time_seconds,
        status=status,
        error_message=error_message,
    )

    content = orjson.dumps(stored_result.model_dump(), option=orjson.OPT_INDENT_2)
    # Readers never see a half-written file: write beside it, then rename over it.
    temp_path = file_path.with_name(_temporary_name(file_path.name))
    try:
        temp_path.write_bytes(content)
        temp_path.replace(file_path)
    except BaseException:
        with contextlib.suppress(OSError):
            temp_path.unlink()
        raise

    log().debug(f"Saved simulation result: {file_path}")
    return stored_result


def load_simulation_result(simulation_id: str) -> StoredSimulationResult | None:
    """Load a simulation result by its ID."""
    if type(simulation_id) is not str:
        raise _incorrect_type("simulation_id", str, simulation_id)

    file_path = _find_simulation_file(simulation_id)
    if file_path is None:
        return None
    if not file_path.exists():
        log().warning(f"Simulation file not found: {file_path}")
        return None
    try:
        data = orjson.loads(file_path.read_bytes())
    except FileNotFoundError:
        # Removed since the existence test: the same outcome as before it.
        log().warning(f"Simulation file not found: {file_path}")
        return None
    return StoredSimulationResult.model_validate(data)


def find_simulation_result(
    *,
    component_name: str,
    factory_name: str,
    component_settings: dict[str, Any],
    model_parameters: dict[str, Any],
    hyperparameters: SimulationHyperparameters,
    simulation_type: SimulationType,
) -> StoredSimulationResult | None:
    """Find a cached simulation result by its identity fields.

    This computes the deterministic ID from the inputs and looks up
    the corresponding result.
    """
    if type(component_name) is not str:
        raise _incorrect_type("component_name", str, component_name)
    if type(factory_name) is not str:
        raise _incorrect_type("factory_name", str, factory_name)
    if type(component_settings) is not dict:
        raise _incorrect_type("component_settings", dict, component_settings)
    if type(model_parameters) is not dict:
        raise _incorrect_type("model_parameters", dict, model_parameters)

    simulation_id = _compute_simulation_id(
        component_name=component_name,
        factory_name=factory_name,
        component_settings=component_settings,
        model_parameters=model_parameters,
        hyperparameters=hyperparameters,
        simulation_type=simulation_type,
    )
    return load_simulation_result(simulation_id)


def _matches_filters(
    result: StoredSimulationResult,
    component_name: str | None,
    factory_name: str | None,
    pdk_name: str | None,
    status: str | None,
) -> bool:
    """Check if a result matches the given filters."""
    if component_name is not None and type(component_name) is not str:
        raise _incorrect_type("component_name", str, component_name)
    if factory_name is not None and type(factory_name) is not str:
        raise _incorrect_type("factory_name", str, factory_name)
    if pdk_name is not None and type(pdk_name) is not str:
        raise _incorrect_type("pdk_name", str, pdk_name)
    if status is not None and type(status) is not str:
        raise _incorrect_type("status", str, status)

    if component_name is not None and result.component_name != component_name:
        return False
    if factory_name is not None and result.factory_name != factory_name:
        return False
    if pdk_name is not None and result.pdk_name != pdk_name:
        return False
    if status is not None and result.status != status:
        return False
    return True


def list_simulation_results(
    *,
    component_name: str | None = None,
    factory_name: str | None = None,
    simulation_type: str | None = None,
    pdk_name: str | None = None,
    status: str | None = None,
) -> list[StoredSimulationResult]:
    """List simulation results with optional filters.

    Scans the filesystem for simulation result files and filters them.
    """
    if component_name is not None and type(component_name) is not str:
        raise _incorrect_type("component_name", str, component_name)
    if factory_name is not None and type(factory_name) is not str:
        raise _incorrect_type("factory_name", str, factory_name)
    if simulation_type is not None and type(simulation_type) is not str:
        raise _incorrect_type("simulation_type", str, simulation_type)
    if pdk_name is not None and type(pdk_name) is not str:
        raise _incorrect_type("pdk_name", str, pdk_name)
    if status is not None and type(status) is not str:
        raise _incorrect_type("status", str, status)

    simulations_dir = get_simulations_dir()
    if not simulations_dir.exists():
        return []

    results = []
    if simulation_type is not None:
        type_dirs = [simulations_dir / simulation_type]
    else:
        type_dirs = [d for d in simulations_dir.iterdir() if d.is_dir()]

    for type_dir in type_dirs:
        if not type_dir.exists():
            continue
        for file_path in type_dir.glob("*.json"):
            try:
                data = orjson.loads(file_path.read_bytes())
                result = StoredSimulationResult.model_validate(data)
                if _matches_filters(result, component_name, factory_name, pdk_name, status):
                    results.append(result)
            except Exception:
                log().warning(f"Failed to parse simulation file: {file_path}")

    results.sort(key=lambda r: r.simulation_date, reverse=True)
    return results


def delete_simulation_result(simulation_id: str) -> bool:
    """Delete a simulation result by its ID.

    Returns:
        True if the result was deleted, False otherwise.
    """
    if type(simulation_id) is not str:
        raise _incorrect_type("simulation_id", str, simulation_id)

    return _remove_found(_find_simulation_file(simulation_id))


def _remove_found(file_path: Path | None) -> bool:
    if file_path is None or not file_path.exists():
        return False
    try:
        file_path.unlink()
    except FileNotFoundError:
        # Removed by someone else since the test.
        return False
    log().debug(f"Deleted simulation file: {file_path}")
    return True


def _remove_in(type_dir: Path, simulation_id: object) -> bool:
    """Removes the file of an ID from type_dir only: other types may hold the same ID."""
    if type(simulation_id) is not str:
        raise _incorrect_type("simulation_id", str, simulation_id)
    if "/" in simulation_id or "\\" in simulation_id or "\0" in simulation_id:
        return False
    return _remove_found(next(iter(list(type_dir.glob(f"*_{glob.escape(simulation_id)}.json"))), None))


def clear_simulation_results(
    *,
    component_name: str | None = None,
    factory_name: str | None = None,
    simulation_type: str | None = None,
    pdk_name: str | None = None,
) -> int:
    """Clear simulation results with optional filters.

    Returns:
        Number of results deleted.
    """
    if component_name is not None and type(component_name) is not str:
        raise _incorrect_type("component_name", str, component_name)
    if factory_name is not None and type(factory_name) is not str:
        raise _incorrect_type("factory_name", str, factory_name)
    if simulation_type is not None and type(simulation_type) is not str:
        raise _incorrect_type("simulation_type", str, simulation_type)
    if pdk_name is not None and type(pdk_name) is not str:
        raise _incorrect_type("pdk_name", str, pdk_name)

    # A clear of one type removes files from that type's directory only.
    type_dir = None
    if simulation_type is not None:
        if simulation_type not in ("", ".", "..") and not any(c in simulation_type for c in "/\\\0"):
            type_dir = _child(get_simulations_dir(), simulation_type)
        if type_dir is None:
            raise ValueError(f"simulation_type must be a single directory name, got {simulation_type!r}")

    results = list_simulation_results(
        component_name=component_name,
        factory_name=factory_name,
        simulation_type=simulation_type,
        pdk_name=pdk_name,
    )
    if not results:
        return 0

    deleted_count = 0
    for result in results:
        if type_dir is not None:
            removed = _remove_in(type_dir, result.simulation_id)
        else:
            removed = delete_simulation_result(result.simulation_id)
        if removed:
            deleted_count += 1
    log().debug(f"Cleared {deleted_count} simulation result(s)")
    return deleted_count
