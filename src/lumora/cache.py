"""The store as a cache: look up or simulate in one call.

``get_or_simulate`` wraps what every caller of the store writes around a
simulation: find the stored result; otherwise run the simulation, time it and
save its outcome (a failure too, unless told not to). ``save_result`` is the
module's save for solver output as it comes (numpy arrays, complex numbers).
Why a look-up missed, and how two results differ, is ``lumora.compare``'s;
its functions and types that this module has always been documented with are
found here too.
"""

from __future__ import annotations

import time
from collections.abc import Callable, Iterable
from contextlib import nullcontext
from typing import TYPE_CHECKING, Any, NamedTuple, cast

import orjson

from lumora import layout
from lumora.convert import as_hyperparameters, identity_value, output_value, output_wavelengths
from lumora.core import simulation_storage as storage
from lumora.logger import get_logger, one_line
from lumora.models import (
    SerializedSimulationResult,
    SimulationHyperparameters,
    SimulationStatus,
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
    "ResultNotStored",
    "SimulationFailed",
    "SimulationOutput",
    "diff_results",
    "explain_miss",
    "get_or_simulate",
    "save_result",
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


def _plain_identity(*values: Any) -> dict[str, Any]:
    """The six identity fields as the module hashes them, numpy values made
    plain and a dict of hyperparameters validated into the model; refused
    with TypeError or ValueError naming the place of what cannot be stored."""
    fields = _identity(*values)
    for name in ("component_settings", "model_parameters"):
        if isinstance(fields[name], dict):  # the module refuses anything else, by its type
            fields[name] = identity_value(fields[name], name)
    fields["hyperparameters"] = as_hyperparameters(fields["hyperparameters"])
    return fields


class SimulationOutput(NamedTuple):
    """What ``simulate`` returns to ``get_or_simulate``: any 2-tuple will do.

    The result may hold numpy arrays and scalars and complex numbers, and the
    wavelengths may be any iterable of numbers, a numpy array included (see
    ``save_result``).
    """

    result: SerializedSimulationResult
    wavelengths: Iterable[float]


class SimulationFailed(Exception):
    """A look-up found a stored failure: the simulation raised when it ran.

    ``record`` is the stored record (status "error", empty result) and
    ``error_message`` its message: the type and message of what the
    simulation raised. ``get_or_simulate`` raises it on such a hit unless
    given ``return_errors=True``; ``rerun_errors=True`` runs it again.
    """

    def __init__(self, record: StoredSimulationResult) -> None:
        self.record = record
        self.error_message = record.error_message
        super().__init__(
            f"simulation {record.simulation_id} ({record.simulation_type} of {record.component_name}) failed"
            f" when it ran at {record.simulation_date}: {record.error_message}"
            " (rerun_errors=True runs it again, return_errors=True returns its record)"
        )


class ResultNotStored(Exception):
    """A simulation finished but its output could not be stored.

    ``output`` is what ``simulate`` returned, untouched (normally the
    ``(result, wavelengths)`` pair), and ``execution_time_seconds`` how long
    it ran, so the run is not lost: fix what the message names and save it
    with ``save_result``. The message names the place and the reason (a
    value that cannot be stored, a NaN, a save that failed); ``__cause__`` is
    the error behind it. Nothing is saved for the identity, so the next call
    simulates again.
    """

    def __init__(self, message: str, output: Any, execution_time_seconds: float) -> None:
        super().__init__(message)
        self.output = output
        self.execution_time_seconds = execution_time_seconds


def save_result(
    *,
    component_name: str,
    factory_name: str,
    component_settings: dict[str, Any],
    model_parameters: dict[str, Any],
    hyperparameters: SimulationHyperparameters | dict[str, Any],
    simulation_type: SimulationType,
    result: SerializedSimulationResult,
    wavelengths: Iterable[float],
    execution_time_seconds: float,
    status: SimulationStatus = "success",
    error_message: str = "",
    pdk_version: str = "",
) -> StoredSimulationResult:
    """Save a simulation result, as the module's ``save_simulation_result``
    does, from solver output as it comes; returns the stored record.

    Where it differs from calling the module directly:

    - ``result`` and ``wavelengths`` may hold numpy arrays of any shape,
      numpy scalars and complex numbers (Python's or numpy's), nested in
      dicts, lists and tuples. The file holds them in the store's JSON form:
      an array as (nested) lists, a complex number as ``[re, im]``, a numpy
      scalar as the plain number. ``wavelengths`` may be any iterable.
    - NaN and infinities are refused anywhere, inside arrays too, and so is
      what JSON cannot hold, with a ValueError or TypeError naming the place
      (``result['o1@0,o2@0'][17]``), before anything is written.
    - In ``component_settings`` and ``model_parameters``, numpy scalars and
      arrays become the plain values they equal exactly (``np.int64(3)`` is
      ``3``, ``np.float32(0.1)`` the double it holds), so they give the ID of
      those values; ``hyperparameters`` may be a dict of the model's fields.

    Values that the module takes as they are go to it unchanged: a result
    given as plain lists gives the very file the module would write. numpy is
    not needed; it is never imported here.
    """
    identity = _plain_identity(
        component_name, factory_name, component_settings, model_parameters, hyperparameters, simulation_type
    )
    return storage.save_simulation_result(
        **identity,
        result=output_value(result),
        wavelengths=output_wavelengths(wavelengths),
        execution_time_seconds=execution_time_seconds,
        status=status,
        error_message=error_message,
        pdk_version=pdk_version,
    )


# --- the cached look-up -----------------------------------------------------------


def _stored_record(
    identity: dict[str, Any], simulation_id: str, *, anywhere: bool = True
) -> StoredSimulationResult | None:
    """The stored result of these identity fields, or None.

    The ID hashes the simulation type and the component name, so the result
    can only be the file that the layout names for them: reading it directly
    costs the same at any store size, where the module's look-up scans every
    type directory. A file moved elsewhere by hand is still found by that
    look-up by ID, the fallback, unless not ``anywhere``. The record is built
    as the module's load builds it.
    """
    simulation_type, component_name = identity["simulation_type"], identity["component_name"]
    if not layout.storable(simulation_type, component_name):
        return None  # the module saves no such names, and no path is built from them
    root = get_simulations_dir()
    # Where the store keeps its directories' names, a miss is told without
    # trying the file or looking through the directories: the named file
    # would be among these names.
    kept = root.kept_below(f"_{simulation_id}{layout.RESULT_SUFFIX}")
    if kept == []:
        return None
    path = layout.result_path(root, simulation_type, component_name, simulation_id)
    try:
        content = path.read_bytes()
    except (FileNotFoundError, NotADirectoryError):
        if not anywhere:
            return None
        return storage.load_simulation_result(simulation_id)
    try:
        return StoredSimulationResult.model_validate(orjson.loads(content))
    except Exception as exc:
        exc.add_note(f"while reading the stored result {path}")
        raise


def _usable(
    record: StoredSimulationResult | None, rerun_errors: bool, return_errors: bool
) -> StoredSimulationResult | None:
    """The record a hit returns; None for a miss. A stored failure is run
    again, returned or raised, as the caller asked."""
    if record is None or record.status != "error":
        return record
    if rerun_errors:
        return None
    if return_errors:
        return record
    raise SimulationFailed(record)


def _error_text(exc: BaseException) -> str:
    message = str(exc)
    return f"{type(exc).__name__}: {message}" if message else type(exc).__name__


def _simulate_and_save(
    identity: dict[str, Any],
    simulation_id: str,
    simulate: Callable[[], tuple[SerializedSimulationResult, Iterable[float]]],
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
    try:
        if not (isinstance(output, tuple) and len(output) == 2):
            got = f"a tuple of {len(output)}" if isinstance(output, tuple) else type(output).__name__
            raise TypeError(f"simulate must return a 2-tuple (result, wavelengths), got {got}")
        result, wavelengths = output
        return storage.save_simulation_result(
            **identity,
            result=output_value(result),
            wavelengths=output_wavelengths(wavelengths),
            execution_time_seconds=elapsed,
            pdk_version=pdk_version,
        )
    except Exception as exc:
        # Hours of solver time may be in there: the caller gets it back.
        raise ResultNotStored(
            f"simulation {simulation_id} ran for {elapsed:.3g} s but its output"
            f" could not be stored: {one_line(exc)}; the output is kept in this exception's .output",
            output,
            elapsed,
        ) from exc


def get_or_simulate(
    *,
    component_name: str,
    factory_name: str,
    component_settings: dict[str, Any],
    model_parameters: dict[str, Any],
    hyperparameters: SimulationHyperparameters | dict[str, Any],
    simulation_type: SimulationType,
    simulate: Callable[[], tuple[SerializedSimulationResult, Iterable[float]]],
    rerun_errors: bool = False,
    return_errors: bool = False,
    store_errors: bool = True,
    pdk_version: str = "",
    lock: bool = True,
) -> StoredSimulationResult:
    """The stored result of these identity fields, simulating and saving it on a miss.

    The identity fields are taken as ``save_result`` takes them: numpy
    scalars and arrays give the ID of the plain values they equal, and what
    no save could store is refused, naming its place, before anything runs.

    Hit: the stored record is returned and ``simulate`` is not called. A
    stored failure (status "error") raises ``SimulationFailed``, which
    carries the record, unless ``return_errors`` (the record is returned) or
    ``rerun_errors`` (it is a miss).

    Miss: ``simulate()`` is called once and must return ``(result,
    wavelengths)``, as ``save_result`` takes them (numpy arrays and complex
    numbers included); the outcome is saved with status "success" and the
    run's time on a monotonic clock, and the stored record is returned. An
    output that cannot be stored raises ``ResultNotStored``, which carries
    it, and saves nothing.

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
    identity = _plain_identity(
        component_name, factory_name, component_settings, model_parameters, hyperparameters, simulation_type
    )
    simulation_id = storage._compute_simulation_id(**identity)
    record = _usable(_stored_record(identity, simulation_id), rerun_errors, return_errors)
    if record is not None:
        return record
    # Refuses names that cannot be stored before anything runs, and makes the
    # directory that the lock file goes into.
    # A path of the root's own class, which every store path class is.
    file_path = cast(StoreDir, storage._get_simulation_file_path(simulation_type, component_name, simulation_id))
    # Whatever the store offers so that one process simulates an identity
    # while others wait for it; where it offers nothing, nothing is held.
    guard = (file_path.single_flight(simulation_id) if lock else None) or nullcontext()
    with guard:
        if lock:
            # Whoever held the lock before us may have saved it meanwhile, and
            # a save goes where the layout says: no need to scan again.
            record = _usable(_stored_record(identity, simulation_id, anywhere=False), rerun_errors, return_errors)
            if record is not None:
                return record
        return _simulate_and_save(identity, simulation_id, simulate, store_errors=store_errors, pdk_version=pdk_version)
