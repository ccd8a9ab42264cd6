"""A look-up that misses, and clearing, on a store of realistic results.

Misses (median per call, every way's calls made in turns):
``get_or_simulate``'s look-up (the identity made plain, its ID, the stored
record or None), as it is and as it was before (the file that the layout
names, then the module's ``find_simulation_result``); the whole call up to
where it would simulate, without the lock (which adds the module's path
with its mkdir) and with it; and the module's ``find_simulation_result``.
Each also with LUMORA_DIR_INDEX=0.

Clearing (per result, the median of three clearings, each of a fresh copy
of the store, every way once a turn): the command line's ``clear --yes`` on
a store listed before (its catalog current, as after a ``list``: the goal)
and on one never listed (every file read); the command line's former way
(the module's listing for the count, then its
``clear_simulation_results``); the module's ``clear_simulation_results``
alone, until the space is back; the goals' two also with each file's
blocks freed by its own unlink, as before `lumora._reclaim`; and unlinking
the same files by their paths, which the disk's own load can make the
larger part.

    .venv/bin/python bench/misses.py [--results 10000] [--calls 2000] [--turns 20] [--no-clear] [--clearings 3]
"""

from __future__ import annotations

import argparse
import contextlib
import io
import os
import shutil
import statistics
import sys
import tempfile
import time
from collections.abc import Callable, Iterator, Sequence
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))

from run import realistic_identity
from scale import write_store

from lumora import _reclaim as reclaim
from lumora import layout
from lumora.cache import _plain_identity, _stored_record, get_or_simulate
from lumora.cli._app import main as cli
from lumora.core import simulation_storage as ss
from lumora.settings import get_simulations_dir
from lumora.summaries import list_summaries

# The goals, in microseconds.
GOALS = {"get_or_simulate": 50.0, "find_simulation_result": 60.0, "cli clear": 150.0, "module clear": 300.0}


class _Miss(Exception):
    pass


def _simulate() -> Any:
    raise _Miss


def lookup_now(identity: dict[str, Any]) -> None:
    fields = _plain_identity(*identity.values())
    assert _stored_record(fields, ss._compute_simulation_id(**fields)) is None


def call_until_simulate(identity: dict[str, Any], lock: bool) -> None:
    try:
        get_or_simulate(**identity, simulate=_simulate, lock=lock, store_errors=False)
    except _Miss:
        return
    raise AssertionError("the identity is stored")


def lookup_before(identity: dict[str, Any]) -> None:
    # The look-up as it was: the named file, then a scan by the module.
    fields = _plain_identity(*identity.values())
    simulation_id = ss._compute_simulation_id(**fields)
    path = layout.result_path(get_simulations_dir(), fields["simulation_type"], fields["component_name"], simulation_id)
    try:
        path.read_bytes()
    except FileNotFoundError:
        assert ss.find_simulation_result(**fields) is None


def per_call_in_turns(ways: Sequence[tuple[Callable[[], object], bool]], calls: int, turns: int) -> list[float]:
    """The median time of a call of each way (a call and whether the index is
    on), its calls made in turns with the others' (each way calls/turns times
    a turn): the machine has spells of half a second in which every call
    takes up to twice as long, and a way timed all at once could fall in one."""
    for call, on in ways:
        with index(on):
            call()
    samples: list[list[float]] = [[] for _ in ways]
    for _ in range(turns):
        for (call, on), taken in zip(ways, samples, strict=True):
            with index(on):
                for _ in range(max(calls // turns, 1)):
                    start = time.perf_counter()
                    call()
                    taken.append(time.perf_counter() - start)
    return [statistics.median(taken) * 1e6 for taken in samples]


@contextlib.contextmanager
def index(on: bool) -> Iterator[None]:
    os.environ["LUMORA_DIR_INDEX"] = "1" if on else "0"
    try:
        yield
    finally:
        del os.environ["LUMORA_DIR_INDEX"]


def old_cli_clear() -> None:
    ss.list_simulation_results()  # the count it asked confirmation for
    ss.clear_simulation_results()


def new_cli_clear() -> None:
    with contextlib.redirect_stdout(io.StringIO()):
        assert cli(["clear", "--yes"]) == 0


def module_clear() -> None:
    ss.clear_simulation_results()
    reclaim.settle()  # timed until the space is back, as the command line is


@contextlib.contextmanager
def unlink_frees_blocks() -> Iterator[None]:
    """Each file's blocks freed by its own unlink, as before `lumora._reclaim`."""
    deferring = reclaim._deferring
    reclaim._deferring = lambda: False
    try:
        yield
    finally:
        reclaim._deferring = deferring


def as_before(how: Callable[[], object]) -> Callable[[], object]:
    def call() -> object:
        with unlink_frees_blocks():
            return how()

    return call


def unlink_all() -> None:
    for path in Path(os.environ["LUMORA_SIMULATIONS_DIR"]).glob("*/*.json"):
        os.unlink(path)


def clear_once(store: Path, scratch: Path, how: Callable[[], object], results: int, listed: bool) -> float:
    shutil.rmtree(scratch, ignore_errors=True)
    shutil.copytree(store, scratch)
    os.sync()
    if listed:
        time.sleep(2.1)  # the copies' stamps settle: until then no catalog keeps them
        assert len(list_summaries()) == results
    start = time.perf_counter()
    how()
    elapsed = time.perf_counter() - start
    assert not any(scratch.glob("*/*.json")), "results left behind"
    return elapsed / results * 1e6


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--results", type=int, default=10_000, help="results in the store (default 10000)")
    parser.add_argument("--calls", type=int, default=2000, help="look-ups timed per figure (default 2000)")
    parser.add_argument("--turns", type=int, default=20, help="turns the look-ups' calls are made in (default 20)")
    parser.add_argument("--no-clear", action="store_true", help="time the misses only")
    parser.add_argument("--clearings", type=int, default=3, help="clearings timed per figure, median (default 3)")
    args = parser.parse_args(argv)

    rows: list[tuple[str, float, float | None]] = []
    with tempfile.TemporaryDirectory(prefix="lumora-misses-") as tmp:
        store, scratch = Path(tmp) / "store", Path(tmp) / "scratch"
        write_store(store, args.results)
        os.sync()  # written back now, not by the kernel's threads during the look-ups
        os.environ["LUMORA_SIMULATIONS_DIR"] = str(store)
        missing = realistic_identity(10**7)
        assert ss.find_simulation_result(**missing) is None
        looked_up = (
            ("get_or_simulate's look-up, miss", lambda: lookup_now(missing), GOALS["get_or_simulate"]),
            ("  the same as before", lambda: lookup_before(missing), None),
            ("  the whole call until it simulates, no lock", lambda: call_until_simulate(missing, False), None),
            ("  the same with the lock", lambda: call_until_simulate(missing, True), None),
            (
                "find_simulation_result miss",
                lambda: ss.find_simulation_result(**missing),
                GOALS["find_simulation_result"],
            ),
        )
        ways = [(call, on) for _, call, _ in looked_up for on in (True, False)]
        figures = iter(per_call_in_turns(ways, args.calls, args.turns))
        for label, _, goal in looked_up:
            rows.append((label, next(figures), goal))
            rows.append((f"{label}, index off", next(figures), None))
        if not args.no_clear:
            os.environ["LUMORA_SIMULATIONS_DIR"] = str(scratch)
            os.environ["LUMORA_CATALOG"] = str(Path(tmp) / "catalogs")
            clearings: tuple[tuple[str, Callable[[], object], bool, float | None], ...] = (
                ("clear --yes (command line), listed before", new_cli_clear, True, GOALS["cli clear"]),
                ("  the same, blocks freed by each unlink", as_before(new_cli_clear), True, None),
                ("  the same, never listed", new_cli_clear, False, None),
                ("  the command line's clear before", old_cli_clear, False, None),
                ("clear_simulation_results()", module_clear, False, GOALS["module clear"]),
                ("  the same, blocks freed by each unlink", as_before(module_clear), False, None),
                ("unlinking the same files (the floor)", unlink_all, False, None),
            )
            # In turns, every way once a turn: a slow spell of the disk then
            # weighs on each alike (one clearing swings by a third with it).
            times: list[list[float]] = [[] for _ in clearings]
            for _ in range(args.clearings):
                for (_, how, listed, _), taken in zip(clearings, times, strict=True):
                    taken.append(clear_once(store, scratch, how, args.results, listed))
            for (label, _, _, goal), taken in zip(clearings, times, strict=True):
                rows.append((f"{label}, per result", statistics.median(taken), goal))

    print(
        f"{args.results:,} realistic results in 4 type directories; misses: median of {args.calls} calls in {args.turns} turns"
    )
    print(f"{'operation':<56}{'us':>10}{'goal':>10}")
    for label, figure, goal in rows:
        verdict = "" if goal is None else f"<= {goal:.0f} {'met' if figure <= goal else 'MISSED'}"
        print(f"{label:<56}{figure:>10.1f}   {verdict}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
