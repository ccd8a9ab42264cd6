"""Sweeps: many simulations in one call, on any executor, and cached solvers.

``sweep`` looks every point up in the store first and sends only the misses
to the executor; each task runs ``get_or_simulate`` where it lands, so its
lock per identity gives one run per identity however many processes or
machines miss it at once. ``cached`` turns a solver function into one whose
call arguments are the component settings.

Exported from ``lumora`` as ``lumora.sweep`` and ``lumora.cached``; this
module keeps another name so that the function does not hide it.
"""

from __future__ import annotations

import functools
import inspect
import sys
import traceback
from collections.abc import Callable, Iterable, Mapping
from concurrent.futures import FIRST_COMPLETED, Executor, Future, wait
from dataclasses import dataclass, field
from typing import Any

from lumora import progress
from lumora.cache import (
    IDENTITY_FIELDS,
    ResultNotStored,
    SimulationFailed,
    _error_text,
    _plain_identity,
    _stored_record,
    _usable,
    get_or_simulate,
)
from lumora.core import simulation_storage as storage
from lumora.models import SimulationHyperparameters, StoredSimulationResult

__all__ = ["CachedSolver", "SweepFailed", "SweepFailure", "SweepSummary", "cached", "sweep"]

_REQUIRED = ("component_name", "factory_name", "simulation_type")
# Failures a summary names one by one; a sweep of thousands stays readable.
_SHOWN = 10


@dataclass(frozen=True)
class SweepFailure:
    """One identity of a sweep that gave no result.

    ``points``: the positions in ``points`` that named it. ``record`` is
    the stored failure record (status "error") when there is one: a stored
    failure found, or the one saved when ``simulate`` raised. ``output`` is
    what a finished run returned when it could not be stored (see
    ``ResultNotStored``), else None. ``message`` says what went wrong and
    ``details`` holds the traceback of the task, where there was one.
    """

    points: tuple[int, ...]
    simulation_id: str
    message: str
    record: StoredSimulationResult | None = None
    output: Any = None
    details: str = ""


@dataclass
class SweepSummary:
    """What a sweep did. ``records`` follow ``points``, None where a point failed."""

    records: list[StoredSimulationResult | None]
    failures: list[SweepFailure] = field(default_factory=list)
    stored: int = 0  # identities found in the store, not run
    simulated: int = 0  # identities run and saved by this sweep
    failed: int = 0  # identities without a result, stored failures included

    def __str__(self) -> str:
        counts = f"{len(self.records)} points: {self.stored} stored already, {self.simulated} simulated, {self.failed} failed"
        lines = [counts] + [f"  point {f.points[0]} ({f.simulation_id}): {f.message}" for f in self.failures[:_SHOWN]]
        if len(self.failures) > _SHOWN:
            lines.append(f"  ... and {len(self.failures) - _SHOWN} more failures (.failures holds them all)")
        return "\n".join(lines)


class SweepFailed(Exception):
    """A sweep ended with failures; ``summary`` holds every result and failure."""

    def __init__(self, summary: SweepSummary) -> None:
        super().__init__(str(summary))
        self.summary = summary


@dataclass(frozen=True)
class _Options:
    rerun_errors: bool
    store_errors: bool
    pdk_version: str


@dataclass(frozen=True)
class _Outcome:
    """What a task sends back: plain data, so that any executor can carry it."""

    record: StoredSimulationResult | None
    ran: bool = False
    message: str = ""
    output: Any = None
    details: str = ""


def _run_point(simulate: Callable[..., Any], identity: dict[str, Any], options: _Options) -> _Outcome:
    """One identity in a worker. The look-up is repeated under the lock, so a
    process that missed while another simulated returns the other's record."""
    ran = False

    def run() -> Any:
        nonlocal ran
        ran = True
        return simulate(**identity)

    try:
        record = get_or_simulate(
            **identity,
            simulate=run,
            rerun_errors=options.rerun_errors,
            return_errors=True,
            store_errors=options.store_errors,
            pdk_version=options.pdk_version,
        )
    except ResultNotStored as exc:
        return _Outcome(None, True, str(exc), exc.output, traceback.format_exc())
    except Exception as exc:
        # Exceptions of the solver may not survive pickling: their text does.
        stored = None
        if ran and options.store_errors:
            simulation_id = storage._compute_simulation_id(**identity)
            stored = _stored_record(identity, simulation_id, anywhere=False)
        return _Outcome(stored, ran, _error_text(exc), None, traceback.format_exc())
    if record.status == "error":
        return _Outcome(record, ran, SimulationFailed(record).args[0])
    return _Outcome(record, ran)


def _identity_of(point: Mapping[str, Any], fixed: Mapping[str, Any], index: int) -> dict[str, Any]:
    """A point's six identity fields: its own over the fixed ones. A point
    whose keys are all identity field names gives fields; any other mapping
    is the component settings."""
    if point and set(point) <= set(IDENTITY_FIELDS):
        fields = {**fixed, **point}
    else:
        fields = {**fixed, "component_settings": dict(point)}
    fields.setdefault("component_settings", {})
    fields.setdefault("model_parameters", {})
    fields.setdefault("hyperparameters", SimulationHyperparameters())
    missing = [name for name in _REQUIRED if fields.get(name) is None]
    if missing:
        raise ValueError(f"point {index} has no {', '.join(missing)}: give it to the sweep or in the point")
    try:
        return _plain_identity(*(fields[name] for name in IDENTITY_FIELDS))
    except (TypeError, ValueError) as exc:
        raise type(exc)(f"point {index}: {exc}") from exc


def _report(summary: SweepSummary) -> None:
    if progress._stderr_is_terminal():
        print(summary, file=sys.stderr)


def sweep(
    simulate: Callable[..., Any],
    points: Iterable[Mapping[str, Any]],
    *,
    component_name: str | None = None,
    factory_name: str | None = None,
    component_settings: dict[str, Any] | None = None,
    model_parameters: dict[str, Any] | None = None,
    hyperparameters: SimulationHyperparameters | dict[str, Any] | None = None,
    simulation_type: str | None = None,
    executor: Executor | None = None,
    raise_on_failure: bool = True,
    rerun_errors: bool = False,
    store_errors: bool = True,
    pdk_version: str = "",
    description: str = "Sweep",
) -> SweepSummary:
    """The stored result of every point, simulating those the store does not hold.

    ``points``: one mapping per simulation. A mapping of component settings
    (``{"gap": 0.2}``) is the shorthand for a sweep over settings; a mapping
    whose keys are all identity field names (``{"component_settings": ...,
    "model_parameters": ...}``) sets those fields. Either way the keyword
    arguments give the fields a point leaves out (model parameters default
    to none, hyperparameters to the defaults).

    ``simulate(**fields)`` is called with the six identity fields as keyword
    arguments, once per identity missing from the store, and returns
    ``(result, wavelengths)`` as for ``get_or_simulate``. The store is looked
    up here first; only misses go to ``executor`` (any
    ``concurrent.futures.Executor``: a ``ProcessPoolExecutor``, a Dask
    client's ``get_executor()``), or run here, one after another, without
    one. For a process pool or a cluster, ``simulate`` must be picklable: a
    module-level function, or an instance or ``functools.partial`` of one.

    A failure of one point never stops the others. The summary returned (and
    printed on stderr at a terminal) holds the records in the order of
    ``points`` and one ``SweepFailure`` per identity without a result; with
    ``raise_on_failure`` a sweep with failures raises ``SweepFailed``, which
    carries the summary, once every point is done. A stored failure is such a
    failure unless ``rerun_errors`` runs it again.

    Ctrl-C cancels the tasks still waiting and is raised again: each result
    finished by then is saved, and the lock of an interrupted run is released
    as it unwinds. ``description`` names the progress bar.
    """
    fixed = {
        name: value
        for name, value in zip(
            IDENTITY_FIELDS,
            (component_name, factory_name, component_settings, model_parameters, hyperparameters, simulation_type),
        )
        if value is not None
    }
    identities: dict[str, dict[str, Any]] = {}
    positions: dict[str, list[int]] = {}
    for index, point in enumerate(points):
        identity = _identity_of(point, fixed, index)
        simulation_id = storage._compute_simulation_id(**identity)
        identities.setdefault(simulation_id, identity)
        positions.setdefault(simulation_id, []).append(index)
    summary = SweepSummary(records=[None] * sum(map(len, positions.values())))
    options = _Options(rerun_errors, store_errors, pdk_version)

    def settle(simulation_id: str, outcome: _Outcome) -> None:
        if outcome.record is not None and outcome.record.status == "success":
            for index in positions[simulation_id]:
                summary.records[index] = outcome.record
            if outcome.ran:
                summary.simulated += 1
            else:
                summary.stored += 1
            return
        summary.failed += 1
        summary.failures.append(
            SweepFailure(
                tuple(positions[simulation_id]),
                simulation_id,
                outcome.message,
                outcome.record,
                outcome.output,
                outcome.details,
            )
        )

    misses: list[str] = []
    for simulation_id, identity in identities.items():
        try:
            found = _usable(_stored_record(identity, simulation_id), rerun_errors, return_errors=True)
        except Exception:  # a corrupt file: its task meets it again and reports it with the rest
            found = None
        if found is None:
            misses.append(simulation_id)
        else:
            settle(
                simulation_id,
                _Outcome(found, message="" if found.status == "success" else SimulationFailed(found).args[0]),
            )

    try:
        with progress.progress_counter(description, total=len(identities)) as counter:
            counter.advance(len(identities) - len(misses))
            if executor is None:
                for simulation_id in misses:
                    settle(simulation_id, _run_point(simulate, identities[simulation_id], options))
                    counter.advance()
            else:
                _run_on(executor, simulate, {i: identities[i] for i in misses}, options, settle, counter)
    except KeyboardInterrupt:
        done = summary.stored + summary.simulated + summary.failed
        if progress._stderr_is_terminal():
            print(
                f"{description} interrupted after {done} of {len(identities)} identities; finished results are saved",
                file=sys.stderr,
            )
        raise
    summary.failures.sort(key=lambda failure: failure.points)
    _report(summary)
    if raise_on_failure and summary.failures:
        raise SweepFailed(summary)
    return summary


def _run_on(
    executor: Executor,
    simulate: Callable[..., Any],
    misses: dict[str, dict[str, Any]],
    options: _Options,
    settle: Callable[[str, _Outcome], None],
    counter: progress.Counter,
) -> None:
    pending: dict[Future[_Outcome], str] = {}
    try:
        for simulation_id, identity in misses.items():
            pending[executor.submit(_run_point, simulate, identity, options)] = simulation_id
        while pending:
            done, _ = wait(pending, return_when=FIRST_COMPLETED)
            for future in done:
                settle(pending.pop(future), _collect(future))
                counter.advance()
    except BaseException:
        # Tasks not started never start; those running finish or unwind in their workers.
        for future in pending:
            future.cancel()
        raise


def _collect(future: Future[_Outcome]) -> _Outcome:
    """A task's outcome; a task that could not run at all (a worker lost, a
    solver that cannot be pickled) is a failure of its point."""
    try:
        return future.result()
    except Exception as exc:
        return _Outcome(None, message=f"the task did not finish: {_error_text(exc)}", details=traceback.format_exc())


# --- cached solvers ---------------------------------------------------------------


def _resolve(module: str, qualname: str) -> Any:
    target: Any = sys.modules.get(module)
    for part in qualname.split("."):
        target = getattr(target, part, None)
    return target


class CachedSolver:
    """A solver function whose calls are looked up in the store first.

    ``solver(**settings)`` returns the stored record of those component
    settings (the call's arguments, defaults filled in), calling the
    function on a miss; ``solver.sweep(points)`` runs ``sweep`` over settings
    dicts with the same fixed fields. The function itself is ``__wrapped__``.
    """

    def __init__(self, function: Callable[..., Any], fixed: dict[str, Any], options: dict[str, Any]) -> None:
        functools.update_wrapper(self, function)
        self.__wrapped__ = function
        self._signature = inspect.signature(function)
        self._fixed = fixed
        self._options = options

    def settings(self, *args: Any, **kwargs: Any) -> dict[str, Any]:
        """The component settings that a call with these arguments stands for."""
        bound = self._signature.bind(*args, **kwargs)
        bound.apply_defaults()
        settings: dict[str, Any] = {}
        for name, value in bound.arguments.items():
            kind = self._signature.parameters[name].kind
            if kind is inspect.Parameter.VAR_KEYWORD:
                settings.update(value)
            elif kind is inspect.Parameter.VAR_POSITIONAL:
                raise TypeError(
                    f"{self.__wrapped__.__name__}: *{name} cannot name component settings; use named arguments"
                )
            else:
                settings[name] = value
        return settings

    def __call__(self, *args: Any, **kwargs: Any) -> StoredSimulationResult:
        settings = self.settings(*args, **kwargs)
        return get_or_simulate(
            **self._fixed,
            component_settings=settings,
            simulate=lambda: self.__wrapped__(**settings),
            **self._options,
        )

    def sweep(self, points: Iterable[Mapping[str, Any]], **kwargs: Any) -> SweepSummary:
        """``sweep`` over calls with these keyword arguments (the rest as ``sweep`` takes them)."""
        options = {name: self._options[name] for name in ("pdk_version", "rerun_errors", "store_errors")}
        calls = [{"component_settings": self.settings(**point)} for point in points]
        return sweep(_SettingsCall(self), calls, **{**self._fixed, **options, **kwargs})

    def __reduce__(self) -> tuple[Any, ...]:
        # Pickled with its function, for process pools and clusters. Decorated
        # at module level, the function is no longer at its own name: naming
        # it through this solver lets pickle find it by reference.
        function = self.__wrapped__
        qualname = getattr(function, "__qualname__", "")
        if _resolve(function.__module__, qualname) is self:
            function.__qualname__ = f"{qualname}.__wrapped__"
        return (CachedSolver, (function, self._fixed, self._options))


@dataclass(frozen=True)
class _SettingsCall:
    """``simulate`` of a cached solver's sweep: the function called with the settings."""

    solver: CachedSolver

    def __call__(self, *, component_settings: dict[str, Any], **_: Any) -> Any:
        return self.solver.__wrapped__(**component_settings)


def cached(
    *,
    simulation_type: str,
    component_name: str | None = None,
    factory_name: str | None = None,
    model_parameters: dict[str, Any] | None = None,
    hyperparameters: SimulationHyperparameters | dict[str, Any] | None = None,
    pdk_version: str = "",
    rerun_errors: bool = False,
    return_errors: bool = False,
    store_errors: bool = True,
) -> Callable[[Callable[..., Any]], CachedSolver]:
    """Decorate a solver function: its call arguments become the component settings.

    ::

        @lumora.cached(simulation_type="sparams", model_parameters={"neff": 2.45})
        def coupler(gap, length=20.0):
            return solve(gap, length)  # (result, wavelengths)

        record = coupler(gap=0.2)  # component_settings {"gap": 0.2, "length": 20.0}

    The other identity fields are fixed here: the component and factory names
    default to the function's name, the model parameters to none and the
    hyperparameters to the defaults. A call returns the stored record,
    calling the function on a miss, as ``get_or_simulate`` does (the other
    arguments are its own). ``coupler.sweep([{"gap": g} for g in gaps],
    executor=...)`` sweeps the settings.
    """

    def decorate(function: Callable[..., Any]) -> CachedSolver:
        name = function.__name__
        fixed = {
            "component_name": component_name or name,
            "factory_name": factory_name or name,
            "model_parameters": model_parameters or {},
            "hyperparameters": hyperparameters if hyperparameters is not None else SimulationHyperparameters(),
            "simulation_type": simulation_type,
        }
        options = {
            "pdk_version": pdk_version,
            "rerun_errors": rerun_errors,
            "return_errors": return_errors,
            "store_errors": store_errors,
        }
        return CachedSolver(function, fixed, options)

    return decorate
