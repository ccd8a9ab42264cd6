"""lumora as a cache, side by side with diskcache and joblib.Memory.

Each system holds the same records (bench/run.py's realistic identities,
four S-parameters of 200 points each, one failure in ten) at each size, in
its own temporary directory on the same disk, and is timed on:

- save: one new result (lumora: get_or_simulate missing, with an instant
  simulation, so the look-up, the lock and the save; diskcache: set;
  joblib: a call of the memoized function that misses);
- hit: one stored result (lumora: get_or_simulate from the six identity
  fields, which includes computing the ID, and the module's
  find_simulation_result for comparison; diskcache: get by the ID;
  joblib: a call of the memoized function, which hashes its arguments);
- filtered listing: every failed result (lumora: list_simulation_results
  with status="error"; the others have no query, so every entry is read and
  filtered: diskcache by iterating its keys, joblib by loading each item of
  its store).

The systems take turns within every repetition; a figure is the median time
per call (per whole listing for listings).

    .venv/bin/python bench/peers.py [--quick] [--sizes 1000,10000] [--points 200] [--clock cpu]

Needs the bench extra: pip install -e '.[bench]'.
"""

from __future__ import annotations

import argparse
import gc
import os
import random
import statistics
import sys
import tempfile
import time
from collections.abc import Callable
from datetime import UTC, datetime, timedelta
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))

import diskcache
import joblib
import orjson
from run import PDKS, realistic_identity, sparams, wavelengths

from lumora.cache import get_or_simulate
from lumora.core import simulation_storage as ss
from lumora.models import StoredSimulationResult

SYSTEMS = ("lumora", "diskcache", "joblib")
BASE_DATE = datetime(2025, 1, 1, tzinfo=UTC)
# Points per S-parameter of the stored records (--points); a finished
# simulation saves four of 200, as in bench/run.py's save.
POINTS = 200


def never() -> Any:
    raise AssertionError("a hit must not simulate")


def record_of(i: int, points: int) -> StoredSimulationResult:
    """Result i of a store: a realistic identity and four S-parameters of `points` points."""
    rng = random.Random(i)
    ident = realistic_identity(i)
    failed = i % 10 == 7
    return StoredSimulationResult(
        **ident,
        simulation_id=ss._compute_simulation_id(**ident),
        pdk_name=PDKS[i % len(PDKS)],
        pdk_version="1.2.0",
        simulation_date=(BASE_DATE + timedelta(seconds=i)).isoformat(),
        lumora_version="0.1.0",
        result={} if failed else sparams(points, ("s11", "s21", "s12", "s22"), rng),
        wavelengths=wavelengths(points),
        execution_time_seconds=rng.uniform(0.5, 60.0),
        status="error" if failed else "success",
        error_message="solver diverged" if failed else "",
    )


class Stores:
    """One populated store of each system, all holding the same n records."""

    def __init__(self, workdir: Path, n: int, points: int) -> None:
        self.points = points
        self.outcome = record_of(0, points)
        self.identities = [realistic_identity(i) for i in range(n)]
        self.ids = [ss._compute_simulation_id(**ident) for ident in self.identities]
        self.lumora_root = workdir / "lumora"
        self.disk = diskcache.Cache(str(workdir / "diskcache"))
        self.memory = joblib.Memory(str(workdir / "joblib"), verbose=0)
        current: list[StoredSimulationResult] = []

        def simulated(**ident: Any) -> StoredSimulationResult:
            return current[-1] if current else self.fresh_record(ident)

        self.memoized = self.memory.cache(simulated)
        # Records are made one at a time: 10,000 of them would not fit in memory at once.
        for i, ident in enumerate(self.identities):
            record = record_of(i, points)
            path = self.lumora_root / record.simulation_type / f"{record.component_name}_{record.simulation_id}.json"
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(orjson.dumps(record.model_dump(), option=orjson.OPT_INDENT_2))
            self.disk.set(record.simulation_id, record)
            current[:] = [record]
            self.memoized(**ident)
        current.clear()
        self.fresh = iter(range(n, 10 * n + 1_000_000))

    def fresh_record(self, ident: dict[str, Any]) -> StoredSimulationResult:
        """A new result to save: the outcome of result 0 under other identity fields."""
        return self.outcome.model_copy(update={**ident, "simulation_id": ss._compute_simulation_id(**ident)})

    def instant(self) -> tuple[dict[str, Any], list[float]]:
        """A simulation that takes no time."""
        return self.outcome.result, self.outcome.wavelengths

    def new_identity(self) -> dict[str, Any]:
        return realistic_identity(next(self.fresh))

    # One operation per system; each returns something to check.

    def hit(self, system: str, i: int) -> Any:
        if system == "lumora":
            # One record in ten is a stored failure, which the others return as they stored it.
            return get_or_simulate(**self.identities[i], simulate=never, return_errors=True)
        if system == "diskcache":
            return self.disk.get(self.ids[i])
        return self.memoized(**self.identities[i])

    def scan_hit(self, i: int) -> Any:
        return ss.find_simulation_result(**self.identities[i])

    def save(self, system: str) -> Any:
        ident = self.new_identity()
        if system == "lumora":
            return get_or_simulate(**ident, simulate=self.instant)
        if system == "diskcache":
            record = self.fresh_record(ident)
            return self.disk.set(record.simulation_id, record)
        return self.memoized(**ident)

    def failed(self, system: str) -> list[Any]:
        if system == "lumora":
            return ss.list_simulation_results(status="error")
        if system == "diskcache":
            return [r for key in self.disk.iterkeys() if (r := self.disk[key]).status == "error"]
        found = []
        for item in self.memory.store_backend.get_items():
            record = joblib.load(os.path.join(item.path, "output.pkl"))
            if record.status == "error":
                found.append(record)
        return found


# Wall time by default; on a machine shared with other work the process's CPU
# time is steadier (the work here is all in memory: the files stay cached).
CLOCKS = {"wall": time.perf_counter, "cpu": time.process_time}
clock = CLOCKS["wall"]


def timed(call: Callable[[], Any], number: int) -> float:
    gc.disable()
    try:
        start = clock()
        for _ in range(number):
            call()
        return (clock() - start) / number
    finally:
        gc.enable()


def check(stores: Stores) -> None:
    """The systems agree before anything is timed."""
    i = len(stores.ids) // 2
    expected = record_of(i, stores.points)
    hits = [stores.hit(system, i) for system in SYSTEMS]
    assert all(hit == expected for hit in hits), "the systems return different records"
    assert stores.scan_hit(i) == expected
    counts = {system: len(stores.failed(system)) for system in SYSTEMS}
    assert len(set(counts.values())) == 1, f"listings disagree: {counts}"


def measure(stores: Stores, repeat: int, list_repeat: int, rng: random.Random) -> dict[str, dict[str, float]]:
    samples: dict[str, dict[str, list[float]]] = {op: {} for op in ("save", "hit", "scan", "list")}
    n = len(stores.ids)
    for _ in range(repeat):
        order = list(SYSTEMS)
        rng.shuffle(order)
        picks = [rng.randrange(n) for _ in range(20)]
        for system in order:
            it = iter(picks)
            samples["hit"].setdefault(system, []).append(timed(lambda: stores.hit(system, next(it)), len(picks)))
            samples["save"].setdefault(system, []).append(timed(lambda: stores.save(system), 10))
        it = iter(picks)
        samples["scan"].setdefault("lumora", []).append(timed(lambda: stores.scan_hit(next(it)), len(picks)))
    for _ in range(list_repeat):
        order = list(SYSTEMS)
        rng.shuffle(order)
        for system in order:
            samples["list"].setdefault(system, []).append(timed(lambda: stores.failed(system), 1))
    return {op: {s: statistics.median(v) for s, v in by.items()} for op, by in samples.items()}


def fmt(seconds: float | None) -> str:
    if seconds is None:
        return "-"
    if seconds >= 1:
        return f"{seconds:.2f} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.3g} ms"
    return f"{seconds * 1e6:.3g} us"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="small stores, few repetitions")
    parser.add_argument("--sizes", help="comma-separated store sizes (default 1000,10000; quick 100,1000)")
    parser.add_argument("--points", type=int, default=POINTS, help=f"points per S-parameter ({POINTS})")
    parser.add_argument("--dir", metavar="DIR", help="parent of the temporary stores (default: the system's)")
    parser.add_argument("--clock", choices=sorted(CLOCKS), default="wall", help="wall time or process CPU time")
    args = parser.parse_args(argv)
    global clock
    clock = CLOCKS[args.clock]
    sizes = [int(s) for s in args.sizes.split(",")] if args.sizes else ([100, 1000] if args.quick else [1000, 10000])
    repeat, list_repeat = (5, 2) if args.quick else (15, 3)
    rng = random.Random(15)

    rows: list[tuple[str, int, float, float | None, float | None]] = []
    for n in sizes:
        with tempfile.TemporaryDirectory(prefix="lumora-peers-", dir=args.dir) as tmp:
            workdir = Path(tmp)
            print(f"filling three stores with {n:,} results ...", file=sys.stderr)
            stores = Stores(workdir, n, args.points)
            os.environ["LUMORA_SIMULATIONS_DIR"] = str(stores.lumora_root)
            check(stores)
            figures = measure(stores, repeat, list_repeat, rng)
            stores.disk.close()
        for op, label in (("save", "save"), ("hit", "hit"), ("list", "listing of failed results")):
            by = figures[op]
            rows.append((label, n, by["lumora"], by["diskcache"], by["joblib"]))
        rows.append(("hit, module's find_simulation_result", n, figures["scan"]["lumora"], None, None))

    print("| operation | results | lumora | diskcache | joblib.Memory | lumora / diskcache |")
    print("|---|---|---|---|---|---|")
    for label, n, mine, disk, job in rows:
        ratio = f"{mine / disk:.2f}" if disk else ""
        print(f"| {label} | {n:,} | {fmt(mine)} | {fmt(disk)} | {fmt(job)} | {ratio} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
