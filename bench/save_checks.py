"""What the checks that save runs before touching the disk cost, against the save.

A save of a realistic result (4 port pairs x 101 complex points, as [re, im]
pairs) is timed whole. The checks are timed on their own by making the first
step after them fail at once (`_compute_simulation_id` replaced by a function
that raises): the difference between that call with the realistic result and
with an empty one is the cost of walking the result for non-finite numbers.
`_get_simulation_file_path` is timed alone, as it runs inside every save.

    .venv/bin/python bench/save_checks.py [--repeat N] [--clock cpu]

On a machine shared with other work, `--clock cpu` (the process's CPU time)
is the steadier figure.
"""

from __future__ import annotations

import argparse
import os
import random
import statistics
import sys
import tempfile
import time
import timeit
from collections.abc import Callable
from pathlib import Path
from typing import Any, NoReturn

from lumora.models import SimulationHyperparameters

PAIRS = ("s11", "s21", "s12", "s22")
POINTS = 101


class Stop(Exception):
    pass


def stop(*args: Any, **kwargs: Any) -> NoReturn:
    raise Stop


CLOCKS = {"wall": time.perf_counter, "cpu": time.process_time}
clock = CLOCKS["wall"]


def median_per_call(stmt: Callable[[], object], number: int, repeat: int) -> float:
    return statistics.median(timeit.repeat(stmt, number=number, repeat=repeat, timer=clock)) / number


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--clock", choices=CLOCKS, default="wall")
    args = parser.parse_args(argv)
    global clock
    clock = CLOCKS[args.clock]

    root = Path(tempfile.mkdtemp(prefix="lumora-bench-"))
    os.environ["LUMORA_SIMULATIONS_DIR"] = str(root)
    from lumora.core import simulation_storage as ss

    rng = random.Random(1)
    result = {p: [[rng.uniform(-1, 1), rng.uniform(-1, 1)] for _ in range(POINTS)] for p in PAIRS}
    fields: dict[str, Any] = dict(
        component_name="mmi2x2",
        factory_name="mmi2x2_factory",
        component_settings={"width": 0.5, "length": 10.0, "ports": {"o1": [0.0, 0.0], "o2": [15.5, 0.6]}},
        model_parameters={"neff": 2.4, "ng": 4.2, "wl0": 1.55},
        hyperparameters=SimulationHyperparameters(),
        simulation_type="sparams",
        result=result,
        wavelengths=[1.5 + 0.001 * k for k in range(POINTS)],
        execution_time_seconds=12.5,
    )
    empty = {**fields, "result": {}}

    def checked(kwargs: dict[str, Any]) -> None:
        try:
            ss.save_simulation_result(**kwargs)
        except Stop:
            pass

    save = median_per_call(lambda: ss.save_simulation_result(**fields), 20, args.repeat)
    path = median_per_call(
        lambda: ss._get_simulation_file_path("sparams", "mmi2x2", "0123456789abcdef"), 2000, args.repeat
    )
    original = ss._compute_simulation_id
    ss._compute_simulation_id = stop
    try:
        with_result = median_per_call(lambda: checked(fields), 2000, args.repeat)
        without = median_per_call(lambda: checked(empty), 2000, args.repeat)
    finally:
        ss._compute_simulation_id = original
    walk = max(with_result - without, 0.0)

    print(f"save, {len(PAIRS)} x {POINTS} [re, im] points: {save * 1e6:9.1f} us")
    print(f"non-finite check of that result:     {walk * 1e6:9.2f} us  ({walk / save:.2%} of the save)")
    print(f"_get_simulation_file_path:           {path * 1e6:9.2f} us  ({path / save:.2%} of the save)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
