"""The store as a cache: look up or simulate in one call.

``get_or_simulate`` wraps what every caller of the store writes around a
simulation: find the stored result; otherwise run the simulation, time it and
save its outcome (a failure too, unless told not to). Why a look-up missed,
and how two results differ, is ``lumora.compare``'s; its functions and types
that this module has always been documented with are found here too.
"""

from __future__ import annotations

import time
from collections.abc import Callable, Iterator, Sequence
from contextlib import AbstractContextManager, contextmanager, nullcontext
from typing import TYPE_CHECKING, Any, NamedTuple, cast

import orjson

from lumora import layout
from lumora.core import simulation_storage as storage
from lumora.logger import get_logger
from lumora.models import (
    SerializedSimulationResult,
    SimulationHyperparameters,
    SimulationType,
    StoredSimulationResult,
)
from lumora.paths import StoreDir
from lumora.settings import get_simulations_dir

if TYPE_CHECKING:
    from lumora.compare import MISSING, Difference, MissReport, ResultDiff, diff_results, explain_miss

__all__ = [
    "IDENTITY_FIELDS",
    "MISSING",
    "Difference",
    "MissReport",
    "ResultDiff",
    "SimulationOutput",
    "diff_results",
    "explain_miss",
    "get_or_simulate",
]

# lumora.compare builds on the look-up here, so these come from it on first use.
_FROM_COMPARE = frozenset({"MISSING", "Difference", "MissReport", "ResultDiff", "diff_results", "explain_miss"})


def __getattr__(name: str) -> Any:
    if name in _FROM_COMPARE:
        from lumora import compare

        return getattr(compare, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


# The six fields the simulation ID is computed from, in the order the module takes them.
IDENTITY_FIELDS = (
    "component_name",
    "factory_name",
    "component_settings",
    "model_parameters",
    "hyperparameters",
    "simulation_type",
)


def _identity(*values: Any) -> dict[str, Any]:
    """The six identity fields, given in the order of IDENTITY_FIELDS, as keyword arguments."""
    return dict(zip(IDENTITY_FIELDS, values, strict=True))


class SimulationOutput(NamedTuple):
    """What ``simulate`` returns to ``get_or_simulate``: any 2-tuple will do."""

    result: SerializedSimulationResult
    wavelengths: Sequence[float]


# --- the cached look-up -----------------------------------------------------------


def _stored_record(
    identity: dict[str, Any], simulation_id: str, *, anywhere: bool = True
) -> StoredSimulationResult | None:
    """The stored result of these identity fields, or None.

    The ID hashes the simulation type and the component name, so the result
    can only be the file that the layout names for them: reading it directly
    costs the same at any store size, where the module's look-up scans every
    type directory. A file moved elsewhere by hand is still found by that
    look-up, the fallback, unless not ``anywhere``. The record is built as
    the module's load builds it.
    """
    simulation_type, component_name = identity["simulation_type"], identity["component_name"]
    if not layout.storable(simulation_type, component_name):
        return None  # the module saves no such names, and no path is built from them
    path = layout.result_path(get_simulations_dir(), simulation_type, component_name, simulation_id)
    try:
        content = path.read_bytes()
    except (FileNotFoundError, NotADirectoryError):
        return storage.find_simulation_result(**identity) if anywhere else None
    try:
        return StoredSimulationResult.model_validate(orjson.loads(content))
    except Exception as exc:
        exc.add_note(f"while reading the stored result {path}")
        raise


def _usable(record: StoredSimulationResult | None, rerun_errors: bool) -> StoredSimulationResult | None:
    if record is not None and rerun_errors and record.status == "error":
        return None
    return record


@contextmanager
def _identity_lock(file_path: StoreDir, simulation_id: str) -> Iterator[None]:
    """Held while one process simulates an identity; others wait for it.

    Whatever the store offers for it (`StoreDir.single_flight`); where it
    offers nothing, this does nothing.
    """
    guard = file_path.single_flight(simulation_id)
    if guard is None:
        yield
        return
    with guard:
        yield


def _error_text(exc: BaseException) -> str:
    message = str(exc)
    return f"{type(exc).__name__}: {message}" if message else type(exc).__name__


def _simulate_and_save(
    identity: dict[str, Any],
    simulate: Callable[[], tuple[SerializedSimulationResult, Sequence[float]]],
    *,
    store_errors: bool,
    pdk_version: str,
) -> StoredSimulationResult:
    start = time.perf_counter()
    try:
        output = simulate()
    except Exception as exc:
        elapsed = time.perf_counter() - start
        if store_errors:
            try:
                storage.save_simulation_result(
                    **identity,
                    result={},
                    wavelengths=[],
                    execution_time_seconds=elapsed,
                    status="error",
                    error_message=_error_text(exc),
                    pdk_version=pdk_version,
                )
            except Exception as save_exc:
                # The simulation's own failure is what the caller must see.
                get_logger().warning("Could not save the failed simulation: %s", _error_text(save_exc))
        raise
    elapsed = time.perf_counter() - start
    if not (isinstance(output, tuple) and len(output) == 2):
        got = f"a tuple of {len(output)}" if isinstance(output, tuple) else type(output).__name__
        raise TypeError(f"simulate must return a 2-tuple (result, wavelengths), got {got}")
    result, wavelengths = output
    return storage.save_simulation_result(
        **identity,
        result=result,
        wavelengths=wavelengths if type(wavelengths) is list else list(wavelengths),
        execution_time_seconds=elapsed,
        pdk_version=pdk_version,
    )


def get_or_simulate(
    *,
    component_name: str,
    factory_name: str,
    component_settings: dict[str, Any],
    model_parameters: dict[str, Any],
    hyperparameters: SimulationHyperparameters,
    simulation_type: SimulationType,
    simulate: Callable[[], tuple[SerializedSimulationResult, Sequence[float]]],
    rerun_errors: bool = False,
    store_errors: bool = True,
    pdk_version: str = "",
    lock: bool = True,
) -> StoredSimulationResult:
    """The stored result of these identity fields, simulating and saving it on a miss.

    Hit: the stored record is returned and ``simulate`` is not called; a
    stored failure (status "error") is a hit too, unless ``rerun_errors``.

    Miss: ``simulate()`` is called once and must return ``(result,
    wavelengths)``; the outcome is saved with status "success" and the run's
    time on a monotonic clock, and the stored record is returned.

    When ``simulate`` raises an ``Exception``, an "error" record (empty result
    and wavelengths, the time until the failure, the exception's type and
    message) is saved if ``store_errors``, and the exception is re-raised
    unchanged. An interruption (KeyboardInterrupt, SystemExit) saves nothing.

    ``lock``: a process (or thread) that misses an identity that another one
    is simulating waits for it and then returns its record, simulating only
    if that one saved nothing. On the local disk the lock is a hidden
    ``.<result file name>.lock`` file beside the result, removed when done
    and released by the operating system if its holder dies. On S3 it is a
    lease, ``.<result file name>.lease``, which others take over once it
    has gone unrenewed for $LUMORA_LEASE_SECONDS (60 s), where the store
    honours conditional writes. Other object stores have neither: two
    machines missing the same identity at once both simulate, and the last
    save wins.
    """
    identity = _identity(
        component_name, factory_name, component_settings, model_parameters, hyperparameters, simulation_type
    )
    simulation_id = storage._compute_simulation_id(**identity)
    record = _usable(_stored_record(identity, simulation_id), rerun_errors)
    if record is not None:
        return record
    # Refuses names that cannot be stored before anything runs, and makes the
    # directory that the lock file goes into.
    # A path of the root's own class, which every store path class is.
    file_path = cast(StoreDir, storage._get_simulation_file_path(simulation_type, component_name, simulation_id))
    guard: AbstractContextManager[None] = _identity_lock(file_path, simulation_id) if lock else nullcontext()
    with guard:
        if lock:
            # Whoever held the lock before us may have saved it meanwhile, and
            # a save goes where the layout says: no need to scan again.
            record = _usable(_stored_record(identity, simulation_id, anywhere=False), rerun_errors)
            if record is not None:
                return record
        return _simulate_and_save(identity, simulate, store_errors=store_errors, pdk_version=pdk_version)
