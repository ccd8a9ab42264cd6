"""Summary listings against the extension's listing, side by side in one run.

On realistic results (bench/scale.py's: four port pairs of 101 points):
the summary listing with a current catalog and the first one without, the
extension's listing, the command line's list of today's kind (the
extension's records in a table) and of the summaries (time and peak
memory of a child process), and on S3 behind a 20 ms proxy (bench/remote.py)
the extension's listing against summaries with a current catalog. The two
sides of each comparison take turns, and a ratio is the median of the
turns' ratios.

    .venv/bin/python bench/summaries.py [--quick] [--count N] [--s3-count N]
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import remote
import scale

from lumora.core import simulation_storage
from lumora.summaries import list_summaries

GOALS = {
    "catalog listing, us per result": 15.0,
    "catalog listing vs extension, times faster": 20.0,
    "list command vs today, times faster": 10.0,
    "list command peak memory, MB": 150.0,
    "first listing vs extension, times as long": 1.3,
    "S3 catalog listing vs extension, times faster": 10.0,
}
TODAY = (
    "from lumora.core import simulation_storage as s; from lumora.text import format_table; "
    "print(format_table(s.list_simulation_results(), width=80))"
)


def seconds(call: Callable[[], object], repeat: int) -> float:
    samples = []
    for _ in range(repeat):
        start = time.perf_counter()
        call()
        samples.append(time.perf_counter() - start)
    return statistics.median(samples)


def child(args: list[str]) -> tuple[float, float]:
    """Seconds and peak resident MB of a child process."""
    # Bytecode written and read as an installed package has it: where
    # PYTHONDONTWRITEBYTECODE is set, every start would compile lumora again.
    environment = {k: v for k, v in os.environ.items() if k != "PYTHONDONTWRITEBYTECODE"}
    start = time.perf_counter()
    process = subprocess.Popen([sys.executable, *args], stdout=subprocess.DEVNULL, env=environment)
    _, status, usage = os.wait4(process.pid, 0)
    assert status == 0, args
    return time.perf_counter() - start, usage.ru_maxrss / 1024


def local(count: int, repeat: int, figures: dict[str, float]) -> None:
    with tempfile.TemporaryDirectory(prefix="lumora-bench-") as tmp:
        root = Path(tmp, "store")
        scale.write_store(root, count)
        os.sync()  # written back now, not by the kernel's threads during the timings
        os.environ.update(LUMORA_SIMULATIONS_DIR=str(root), LUMORA_CATALOG=str(Path(tmp, "children")))
        time.sleep(2.1)  # the files' stamps settle: until then they are read at each listing
        # Children first: a child forked from a parent that holds a listing
        # would count the parent's pages in its peak.
        child(["-c", TODAY])  # its bytecode written
        child(["-m", "lumora.results", "list"])  # its catalog and bytecode made
        # Each pair of listings takes turns, and each ratio is the median of
        # the turns' ratios: a slower spell of the machine weighs on both alike.
        commands = [(child(["-c", TODAY]), child(["-m", "lumora.results", "list"])) for _ in range(repeat)]
        os.environ["LUMORA_CATALOG"] = str(Path(tmp, "catalogs"))
        seconds(simulation_storage.list_simulation_results, 1)  # its imports made
        first = seconds(list_summaries, 1)
        turns = [
            (seconds(simulation_storage.list_simulation_results, 1), seconds(list_summaries, 1)) for _ in range(repeat)
        ]
    today = statistics.median(t for (t, _), _ in commands)
    command = statistics.median(c for _, (c, _) in commands)
    peak = max(p for _, (_, p) in commands)
    extension = statistics.median(e for e, _ in turns)
    current = statistics.median(c for _, c in turns)
    print(f"local, {count} results:")
    print(f"  extension's listing     {extension * 1e6 / count:8.1f} us per result")
    print(f"  first summary listing   {first * 1e6 / count:8.1f} us per result")
    print(f"  with a current catalog  {current * 1e6 / count:8.1f} us per result")
    print(f"  list, today's kind      {today:8.2f} s")
    print(f"  list of summaries       {command:8.2f} s, {peak:.0f} MB peak")
    figures["catalog listing, us per result"] = current * 1e6 / count
    figures["catalog listing vs extension, times faster"] = statistics.median(e / c for e, c in turns)
    figures["list command vs today, times faster"] = statistics.median(t / c for (t, _), (c, _) in commands)
    figures["list command peak memory, MB"] = peak
    figures["first listing vs extension, times as long"] = first / extension


def s3(count: int, figures: dict[str, float]) -> None:
    with tempfile.TemporaryDirectory(prefix="lumora-bench-") as tmp, remote.s3_store(20) as store:
        os.environ["LUMORA_CATALOG"] = tmp
        store.fill(count)
        os.environ["LUMORA_SIMULATIONS_DIR"] = store.root
        seconds(simulation_storage.list_simulation_results, 1)  # its imports made
        first = seconds(list_summaries, 1)
        # In turns, as locally: moto's processor time, most of both sides, swings with the machine's.
        turns = [(seconds(simulation_storage.list_simulation_results, 1), seconds(list_summaries, 1)) for _ in range(3)]
    extension = statistics.median(e for e, _ in turns)
    current = statistics.median(c for _, c in turns)
    print(f"S3 at 20 ms per request, {count} results:")
    print(f"  extension's listing {extension:.2f} s, first summary listing {first:.2f} s, current {current:.3f} s")
    figures["S3 catalog listing vs extension, times faster"] = statistics.median(e / c for e, c in turns)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small stores, one repetition")
    parser.add_argument("--count", type=int, default=None)
    parser.add_argument("--s3-count", type=int, default=None)
    args = parser.parse_args(argv)
    figures: dict[str, float] = {}
    local(args.count or (2000 if args.quick else 20000), 1 if args.quick else 5, figures)
    s3(args.s3_count or (200 if args.quick else 1000), figures)
    # A goal missed is reported, not failed: make bench runs every bench after this one.
    for name, goal in GOALS.items():
        value = figures[name]
        met = value <= goal if ("us per" in name or "MB" in name or "as long" in name) else value >= goal
        print(f"{'met ' if met else 'MISS'}  {name}: {value:.2f} (goal {goal:g})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
