"""lumora-results: look into and tidy the local store of simulation results.

Installed as the ``lumora-results`` command; ``python -m lumora.results`` runs
the same tool. The store is the one that ``lumora.settings`` names, unless
``--store DIR`` names another for one invocation.
"""

from __future__ import annotations

import argparse
import json
import logging
import math
import os
import re
import sys
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from datetime import UTC, datetime
from typing import Any

from pydantic import ValidationError

from lumora.core import simulation_storage as storage
from lumora.logger import get_logger
from lumora.models import SimulationHyperparameters, StoredSimulationResult
from lumora.settings import get_simulations_dir

PROG = "lumora-results"

# The extension reads these through the settings at every call, so setting
# them around a call is how one invocation points it elsewhere.
STORE_ENV = "LUMORA_SIMULATIONS_DIR"
PDK_ENV = "LUMORA_PDK"

_ID_PATTERN = re.compile(r"[0-9a-f]{16}")


# --- plumbing -----------------------------------------------------------------


@contextmanager
def _environ(name: str, value: str | None) -> Iterator[None]:
    """Set one environment variable for the duration of a block; None leaves it alone."""
    if value is None:
        yield
        return
    previous = os.environ.get(name)
    os.environ[name] = value
    try:
        yield
    finally:
        if previous is None:
            os.environ.pop(name, None)
        else:
            os.environ[name] = previous


class _OneLineFormatter(logging.Formatter):
    def format(self, record: logging.LogRecord) -> str:
        return f"{PROG}: {record.levelname.lower()}: {record.getMessage()}"


@contextmanager
def _log_to_stderr(debug: bool) -> Iterator[None]:
    """Show the store's messages on stderr while the command runs.

    The library only installs a NullHandler; a command-line tool decides where
    messages go. Everything is put back afterwards so that repeated calls of
    main() in one process (tests, embedding) do not pile up handlers.
    """
    logger = get_logger()
    level = logging.DEBUG if debug else logging.WARNING
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(_OneLineFormatter())
    handler.setLevel(level)
    previous_level = logger.level
    if logger.getEffectiveLevel() > level:
        logger.setLevel(level)
    logger.addHandler(handler)
    try:
        yield
    finally:
        logger.removeHandler(handler)
        logger.setLevel(previous_level)


def _complain(message: str) -> None:
    print(f"{PROG}: {message}", file=sys.stderr)


def _one_line(exc: BaseException) -> str:
    """The exception as one line: its type and message."""
    if isinstance(exc, ValidationError) and exc.error_count():
        # Pydantic lists every error over several lines; the first one says enough.
        first = exc.errors()[0]
        where = ".".join(str(part) for part in first["loc"]) or "document"
        text = f"{exc.error_count()} validation error(s) for {exc.title}, first: {where}: {first['msg']}"
    else:
        text = "; ".join(line.strip() for line in str(exc).splitlines() if line.strip())
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


def _stdin_is_terminal() -> bool:
    try:
        return sys.stdin is not None and sys.stdin.isatty()
    except (AttributeError, ValueError, OSError):
        return False


# --- presentation -------------------------------------------------------------

_COLUMNS = ("ID", "TYPE", "COMPONENT", "FACTORY", "PDK", "STATUS", "DATE (UTC)", "TIME")


def _format_date(value: object) -> str:
    """ISO text as stored, shown to the second in UTC; anything unexpected as is."""
    moment = value
    if isinstance(value, str):
        try:
            moment = datetime.fromisoformat(value)
        except ValueError:
            return value
    if isinstance(moment, datetime):
        if moment.tzinfo is not None:
            moment = moment.astimezone(UTC)
        return moment.strftime("%Y-%m-%d %H:%M:%S")
    return str(value)


def _format_seconds(seconds: float) -> str:
    return f"{seconds:.2f} s"


def _row(record: StoredSimulationResult) -> tuple[str, ...]:
    return (
        record.simulation_id,
        str(record.simulation_type),
        record.component_name,
        record.factory_name,
        record.pdk_name if record.pdk_name is not None else "-",
        str(record.status),
        _format_date(record.simulation_date),
        _format_seconds(record.execution_time_seconds),
    )


def format_table(records: Sequence[StoredSimulationResult]) -> str:
    """The records as a plain aligned table, one line per record, in the given order."""
    rows = [_COLUMNS, *(_row(record) for record in records)]
    widths = [max(len(row[i]) for row in rows) for i in range(len(_COLUMNS))]
    lines = []
    for row in rows:
        cells = [cell.ljust(width) for cell, width in zip(row[:-1], widths[:-1], strict=True)]
        cells.append(row[-1].rjust(widths[-1]))  # numbers line up on the right
        lines.append("  ".join(cells).rstrip())
    return "\n".join(lines)


def _dump(value: Any) -> str:
    return json.dumps(value, indent=2, ensure_ascii=False)


# --- commands -----------------------------------------------------------------


def _filters(args: argparse.Namespace, *, status: bool) -> dict[str, str | None]:
    filters: dict[str, str | None] = {
        "component_name": args.component_name,
        "factory_name": args.factory_name,
        "simulation_type": args.simulation_type,
        "pdk_name": args.pdk_name,
    }
    if status:
        filters["status"] = args.status
    return filters


def _cmd_list(args: argparse.Namespace) -> int:
    records = storage.list_simulation_results(**_filters(args, status=True))
    if args.json:
        print(_dump([record.model_dump(mode="json") for record in records]))
    elif records:
        print(format_table(records))
    else:
        print("No simulation results.")
    return 0


def _cmd_show(args: argparse.Namespace) -> int:
    record = storage.load_simulation_result(args.simulation_id)
    if record is None:
        _complain(f"no simulation result with ID {args.simulation_id}")
        return 1
    print(_dump(record.model_dump(mode="json")))
    return 0


def _cmd_delete(args: argparse.Namespace) -> int:
    if not storage.delete_simulation_result(args.simulation_id):
        _complain(f"no simulation result with ID {args.simulation_id}")
        return 1
    print(f"Deleted simulation result {args.simulation_id}.")
    return 0


def _describe(filters: dict[str, str | None]) -> str:
    labels = {"simulation_type": "type", "component_name": "component", "factory_name": "factory", "pdk_name": "kit"}
    given = [f"{labels[key]} {value}" for key, value in filters.items() if value is not None]
    return f" ({', '.join(given)})" if given else ""


def _cmd_clear(args: argparse.Namespace) -> int:
    filters = _filters(args, status=False)
    count = len(storage.list_simulation_results(**filters))
    if count == 0:
        print("No simulation results to clear.")
        return 0
    if not args.yes:
        # A script that forgot --yes must not wipe a store because some input
        # happened to be waiting on its stdin.
        if not _stdin_is_terminal():
            _complain(f"refusing to clear {count} simulation result(s) without confirmation; use --yes")
            return 1
        question = f"Delete {count} simulation result(s){_describe(filters)} from {get_simulations_dir()}? [y/N] "
        print(question, end="", flush=True)
        if sys.stdin.readline().strip().lower() not in ("y", "yes"):
            print("Nothing deleted.")
            return 1
    removed = storage.clear_simulation_results(**filters)
    print(f"Removed {removed} simulation result(s).")
    return 0


def _cmd_demo(args: argparse.Namespace) -> int:
    _Demo().run()
    return 0


# --- the demonstration --------------------------------------------------------

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


class _Demo:
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
        with _environ(PDK_ENV, pdk):
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
                f"  {record.status:<7}  {_format_seconds(record.execution_time_seconds)}{note}"
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
        print(f"   hit: {hit.simulation_id} from {_format_date(hit.simulation_date)} UTC, s21 = {hit.result['s21'][:3]}...")
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


# --- command line -------------------------------------------------------------


def _simulation_id(text: str) -> str:
    # A look-up matches file names with a glob, so "*" would pick an arbitrary
    # result: only well-formed IDs get through.
    candidate = text.strip().lower()
    if not _ID_PATTERN.fullmatch(candidate):
        raise argparse.ArgumentTypeError(f"{text!r} is not a simulation ID (16 hexadecimal digits)")
    return candidate


def _add_global_options(parser: argparse.ArgumentParser, *, in_subcommand: bool) -> None:
    # Accepted before and after the command; SUPPRESS keeps a subcommand's
    # absent option from overwriting what was given before the command.
    parser.add_argument(
        "--store",
        metavar="DIR",
        default=argparse.SUPPRESS if in_subcommand else None,
        help=f"store root for this invocation (overrides ${STORE_ENV})",
    )
    parser.add_argument(
        "--debug",
        action="store_true",
        default=argparse.SUPPRESS if in_subcommand else False,
        help="show debug messages and full tracebacks",
    )


def _add_filters(parser: argparse.ArgumentParser, *, status: bool) -> None:
    parser.add_argument("--type", dest="simulation_type", metavar="TYPE", help="only this simulation type")
    parser.add_argument("--component", dest="component_name", metavar="NAME", help="only this component")
    parser.add_argument("--factory", dest="factory_name", metavar="NAME", help="only this factory")
    parser.add_argument("--pdk", dest="pdk_name", metavar="NAME", help="only this design kit")
    if status:
        parser.add_argument("--status", choices=("success", "error"), help="only results with this status")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="List, show and remove stored simulation results.",
        epilog=f"The store is ${STORE_ENV}, or build/simulations below $LUMORA_BUILD_DIR or the current directory.",
    )
    _add_global_options(parser, in_subcommand=False)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name: str, summary: str) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=summary, description=summary)
        _add_global_options(sub, in_subcommand=True)
        return sub

    sub = command("list", "List stored results, newest first.")
    _add_filters(sub, status=True)
    sub.add_argument("--json", action="store_true", help="print a JSON array of the records")
    sub.set_defaults(handler=_cmd_list)

    sub = command("show", "Print one stored result as JSON.")
    sub.add_argument("simulation_id", metavar="ID", type=_simulation_id)
    sub.set_defaults(handler=_cmd_show)

    sub = command("delete", "Delete one stored result.")
    sub.add_argument("simulation_id", metavar="ID", type=_simulation_id)
    sub.set_defaults(handler=_cmd_delete)

    sub = command("clear", "Delete every result that matches the filters (all of them without filters).")
    _add_filters(sub, status=False)
    sub.add_argument("-y", "--yes", action="store_true", help="do not ask for confirmation")
    sub.set_defaults(handler=_cmd_clear)

    sub = command("demo", "Fill the store with sample results and show the store at work.")
    sub.set_defaults(handler=_cmd_demo)
    return parser


def main(argv: list[str] | None = None) -> int:
    """Run the tool with ``argv`` (default: the process's arguments); return the exit status.

    0 success, 1 nothing found, refused or a failure of the store, 2 usage error.
    """
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exit_:  # argparse reports usage errors and --help this way
        return exit_.code if isinstance(exit_.code, int) else (0 if exit_.code is None else 2)

    with _environ(STORE_ENV, args.store), _log_to_stderr(args.debug):
        try:
            status: int = args.handler(args)
        except KeyboardInterrupt:
            print(file=sys.stderr)
            return 130
        except BrokenPipeError:
            # The reader went away (`lumora-results list | head`); stay quiet.
            _silence_stdout()
            return 1
        except Exception as exc:
            if args.debug:
                raise
            print(f"{PROG}: error: {_one_line(exc)}", file=sys.stderr)
            return 1
    return status


def _silence_stdout() -> None:
    # Python flushes stdout again at exit and would complain about the pipe.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError, AttributeError):
        pass


if __name__ == "__main__":
    sys.exit(main())
