"""How listing and clearing grow with the store, on realistic results.

Each stored result holds four port pairs of 101 ``[re, im]`` points (about
22 KB of JSON), as an S-parameter simulation writes them. The extension and
the plain-Python baseline of ``pure_storage.py`` list the same store in turn
(sides alternate, median of the repetitions); clearing runs on fresh copies.
A listing is timed from the call to its return: freeing the records when the
caller drops them comes after, on both sides alike. Page faults per result
say how much of a listing's memory the process had to take fresh from the
kernel (what it keeps from earlier work serves a small listing, not a large
one), a cost that grows with the store on both sides.

    .venv/bin/python bench/scale.py [--sizes 1000,5000] [--clear-sizes 1000,2000] [--repeat N] [--json FILE]

Goals checked at the largest listing size: the extension lists at least
LIST_MIN_SPEEDUP times faster than the baseline, and the largest size costs at
most MAX_GROWTH times the smallest, scaled by their ratio (5.5 for 1,000 to
5,000). Clearing is reported per result, to show whether it stays linear.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import resource
import shutil
import statistics
import sys
import tempfile
import time
from collections.abc import Callable
from datetime import UTC, datetime, timedelta
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))

import orjson
import pure_storage

from lumora.core import simulation_storage
from lumora.models import SimulationHyperparameters, StoredSimulationResult

SIDES = {"extension": simulation_storage, "python": pure_storage}
TYPES = ("sparams", "modes", "fdtd", "eme")
PORT_PAIRS = ("o1@0,o1@0", "o1@0,o2@0", "o2@0,o1@0", "o2@0,o2@0")
POINTS = 101
LIST_MIN_SPEEDUP = 3.0
MAX_GROWTH = 1.1  # per unit of size ratio: 5,000 against 1,000 may cost 5.5x


def wavelengths() -> list[float]:
    return [round(1.5 + 0.1 * k / (POINTS - 1), 6) for k in range(POINTS)]


def document(i: int, rng: random.Random, base: datetime) -> tuple[str, str, bytes]:
    identity: dict[str, Any] = dict(
        component_name=f"component_{i % 37}",
        factory_name="factory",
        component_settings={"length": 10.0 + i, "width": 0.5},
        model_parameters={"neff": 2.4},
        hyperparameters=SimulationHyperparameters(),
        simulation_type=TYPES[i % len(TYPES)],
    )
    simulation_id = pure_storage._compute_simulation_id(**identity)
    result = {
        pair: [[round(rng.uniform(-1, 1), 6), round(rng.uniform(-1, 1), 6)] for _ in range(POINTS)]
        for pair in PORT_PAIRS
    }
    record = StoredSimulationResult(
        **identity,
        simulation_id=simulation_id,
        pdk_name="generic",
        pdk_version="1.0",
        simulation_date=(base + timedelta(seconds=i)).isoformat(),
        lumora_version="0.1.0",
        result=result,
        wavelengths=wavelengths(),
        execution_time_seconds=1.0,
        status="success" if i % 10 else "error",
        error_message="",
    )
    content = orjson.dumps(record.model_dump(), option=orjson.OPT_INDENT_2)
    return str(identity["simulation_type"]), f"{identity['component_name']}_{simulation_id}.json", content


def write_store(root: Path, n: int) -> None:
    rng = random.Random(n)
    base = datetime(2026, 1, 1, tzinfo=UTC)
    for type_name in TYPES:
        (root / type_name).mkdir(parents=True, exist_ok=True)
    for i in range(n):
        type_name, name, content = document(i, rng, base)
        (root / type_name / name).write_bytes(content)


def minor_faults() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt


def timed(call: Callable[[], object]) -> tuple[float, int]:
    """Seconds the call took, and its page faults: memory the process had to
    take fresh from the kernel, which it pays for in the call's own time."""
    faults = minor_faults()
    start = time.perf_counter()
    result = call()
    elapsed = time.perf_counter() - start
    faults = minor_faults() - faults
    # Dropping the records afterwards is the caller's work, not the
    # listing's: about a third of a listing's time again, the same for both
    # sides, and it would hide what the listing itself costs.
    del result
    return elapsed, faults


def median_pair(run: Callable[[str], float], repeat: int) -> dict[str, float]:
    samples: dict[str, list[float]] = {side: [] for side in SIDES}
    for k in range(repeat):
        # Alternate which side goes first, so warm caches favour neither.
        order = list(SIDES) if k % 2 == 0 else list(reversed(SIDES))
        for side in order:
            samples[side].append(run(side))
    return {side: statistics.median(values) for side, values in samples.items()}


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", default="1000,5000", help="listing sizes, comma-separated (default 1000,5000)")
    parser.add_argument("--clear-sizes", default="1000,2000,4000", help="clearing sizes (default 1000,2000,4000)")
    parser.add_argument("--repeat", type=int, default=7, help="repetitions per side (default 7)")
    parser.add_argument("--json", metavar="FILE", help="also write the figures to FILE")
    args = parser.parse_args(argv)
    sizes = [int(s) for s in args.sizes.split(",") if s]
    clear_sizes = [int(s) for s in args.clear_sizes.split(",") if s]

    figures: dict[str, dict[int, dict[str, float]]] = {"list": {}, "clear": {}, "faults": {}}
    with tempfile.TemporaryDirectory(prefix="lumora-scale-") as tmp:
        work = Path(tmp)
        for n in sorted(set(sizes) | set(clear_sizes)):
            write_store(work / f"store-{n}", n)
        for n in sizes:
            os.environ["LUMORA_SIMULATIONS_DIR"] = str(work / f"store-{n}")

            faults: dict[str, list[int]] = {side: [] for side in SIDES}

            def listing(side: str, faults: dict[str, list[int]] = faults) -> float:
                elapsed, page_faults = timed(SIDES[side].list_simulation_results)
                faults[side].append(page_faults)
                return elapsed

            figures["list"][n] = median_pair(listing, args.repeat)
            figures["faults"][n] = {side: statistics.median(values) / n for side, values in faults.items()}
        for n in clear_sizes:
            scratch = work / "scratch"

            def clearing(side: str, n: int = n) -> float:
                shutil.rmtree(scratch, ignore_errors=True)
                shutil.copytree(work / f"store-{n}", scratch)
                os.environ["LUMORA_SIMULATIONS_DIR"] = str(scratch)
                return timed(SIDES[side].clear_simulation_results)[0]

            figures["clear"][n] = median_pair(clearing, max(1, args.repeat // 2))

    print(f"Realistic results: {len(PORT_PAIRS)} port pairs x {POINTS} [re, im] points; median of {args.repeat}.")
    print(
        f"{'operation':<28}{'results':>9}{'extension':>12}{'python':>12}{'py/ext':>9}{'ext per result':>16}"
        f"{'page faults per result ext / py':>34}"
    )
    for kind, label in (("list", "list_simulation_results()"), ("clear", "clear_simulation_results()")):
        for n, pair in figures[kind].items():
            ext, py = pair["extension"], pair["python"]
            row = f"{label:<28}{n:>9,}{ext * 1e3:>10.1f} ms{py * 1e3:>9.1f} ms{py / ext:>9.2f}{ext / n * 1e6:>13.1f} us"
            if kind == "list":
                fault = figures["faults"][n]
                row += f"{fault['extension']:>26.1f} / {fault['python']:.1f}"
            print(row)
    if len(sizes) >= 2:
        small, large = min(sizes), max(sizes)
        growth = figures["list"][large]["extension"] / figures["list"][small]["extension"]
        allowed = MAX_GROWTH * large / small
        speedup = figures["list"][large]["python"] / figures["list"][large]["extension"]
        verdict = {True: "met", False: "MISSED"}
        print(
            f"listing growth {small:,} -> {large:,}: {growth:.2f}x (goal <= {allowed:.2f}x, "
            f"{verdict[growth <= allowed]}); speed-up over python at {large:,}: {speedup:.2f}x "
            f"(goal >= {LIST_MIN_SPEEDUP:.1f}x, {verdict[speedup >= LIST_MIN_SPEEDUP]})"
        )
    if args.json:
        Path(args.json).write_text(json.dumps(figures, indent=2))
    return 0


if __name__ == "__main__":
    sys.exit(main())
