"""Reading result files: `LocalStorePath.read_bytes` against `pathlib.Path.read_bytes`.

The settings hand the extension a LocalStorePath, which reads regular files
only (no FIFO, device or socket). This times what that costs on regular
files, side by side in one process: a bare read of a small and of a realistic
result file, a load by ID and a listing, once with a plain Path as the store
root and once with a LocalStorePath. The two sides alternate in every
repetition; each figure is the median time per call, the ratio's interquartile
range comes from the repetitions' paired ratios.

    .venv/bin/python bench/read_file.py [--repeat N] [--count N] [--clock cpu]
"""

from __future__ import annotations

import argparse
import os
import random
import statistics
import sys
import tempfile
import timeit
from collections.abc import Callable
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from run import CLOCKS, fmt_time, realistic_identity, sparams, wavelengths

from lumora.core import simulation_storage as ss
from lumora.paths import LocalStorePath

SIDES = {"Path": Path, "LocalStorePath": LocalStorePath}


def fill(root: Path, count: int, rng: random.Random) -> tuple[Path, Path, str]:
    """count compact results plus one realistic one (4 port pairs x 101 complex points)."""
    os.environ["LUMORA_SIMULATIONS_DIR"] = str(root)
    for i in range(count):
        ss.save_simulation_result(
            **realistic_identity(i),
            result=sparams(20, ("s11", "s21"), rng),
            wavelengths=wavelengths(20),
            execution_time_seconds=1.0,
        )
    big = ss.save_simulation_result(
        **realistic_identity(count),
        result=sparams(101, ("s11", "s21", "s12", "s22"), rng),
        wavelengths=wavelengths(101),
        execution_time_seconds=12.5,
    )
    small = next((root / "sparams").glob("*.json"))
    large = ss._find_simulation_file(big.simulation_id)
    assert large is not None
    return Path(small), Path(large), big.simulation_id


def timed(call: Callable[[], object], clock: Callable[[], float], target: float = 0.02) -> Callable[[], float]:
    """A runner of call that takes about target seconds and returns the time per call."""
    timer = timeit.Timer(call, timer=clock)
    number, _ = timer.autorange()  # at least 0.2 s
    number = max(1, int(number * target / 0.2))
    return lambda: timer.timeit(number) / number


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeat", type=int, default=31, help="repetitions of every case (default 31)")
    parser.add_argument("--count", type=int, default=200, help="results in the listed store (default 200)")
    parser.add_argument(
        "--clock",
        choices=sorted(CLOCKS),
        default="wall",
        help="wall time, or the process's CPU time (steadier on a busy machine)",
    )
    args = parser.parse_args(argv)

    with tempfile.TemporaryDirectory() as tmp:
        root = Path(tmp) / "store"
        small, large, big_id = fill(root, args.count, random.Random(1))
        cases: list[tuple[str, dict[str, Callable[[], object]]]] = []
        for label, file in (
            (f"read_bytes ({small.stat().st_size:,} B)", small),
            (f"read_bytes ({large.stat().st_size:,} B)", large),
        ):
            cases.append((label, {name: cls(file).read_bytes for name, cls in SIDES.items()}))

        def with_root(cls: type[Path], call: Callable[[], object]) -> Callable[[], object]:
            def run() -> object:
                ss.get_simulations_dir = lambda: cls(root)  # type: ignore[attr-defined]
                return call()

            return run

        cases.append(
            (
                "load_simulation_result (large)",
                {name: with_root(cls, lambda: ss.load_simulation_result(big_id)) for name, cls in SIDES.items()},
            )
        )
        cases.append(
            (
                f"list_simulation_results ({args.count + 1})",
                {name: with_root(cls, ss.list_simulation_results) for name, cls in SIDES.items()},
            )
        )

        print(f"{'operation':<36} {'Path':>10} {'LocalStorePath':>15} {'ratio (IQR)':>20}")
        for label, sides in cases:
            runners = {name: timed(call, CLOCKS[args.clock]) for name, call in sides.items()}
            times: dict[str, list[float]] = {name: [] for name in sides}
            order = list(sides)
            for _ in range(args.repeat):
                for name in order:
                    times[name].append(runners[name]())
                order.reverse()
            ratios = sorted(b / a for a, b in zip(times["Path"], times["LocalStorePath"], strict=True))
            q1, _, q3 = statistics.quantiles(ratios, n=4)
            base, ours = (statistics.median(times[name]) for name in ("Path", "LocalStorePath"))
            print(f"{label:<36} {fmt_time(base):>10} {fmt_time(ours):>15} {ours / base:>8.2f} ({q1:.2f}-{q3:.2f})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
