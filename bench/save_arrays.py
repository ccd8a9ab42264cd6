"""A save of solver output as it comes, against converting it by hand.

One realistic result, 4 port pairs x 201 complex points, saved side by side
in one run, each way timed whole (a save rewrites the same file):

- module, lists: the module's save_simulation_result of [re, im] lists, as
  before save_result existed;
- lists: save_result of the same lists (what the check for plain values costs);
- arrays: save_result of complex numpy arrays and a wavelength array;
- by hand: each array converted to [re, im] lists with numpy
  (``np.stack([a.real, a.imag], -1).tolist()``), then save_result of the lists;
- by hand, module: the same conversion, then the module's save (the way
  before save_result).

    .venv/bin/python bench/save_arrays.py [--repeat N] [--clock cpu]

The arrays save must be no slower than by hand.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import tempfile
import time
import timeit
from collections.abc import Callable
from typing import Any

import numpy as np

from lumora.models import SimulationHyperparameters

PAIRS = ("o1@0,o1@0", "o1@0,o2@0", "o2@0,o1@0", "o2@0,o2@0")
POINTS = 201
CLOCKS = {"wall": time.perf_counter, "cpu": time.process_time}


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--clock", choices=CLOCKS, default="wall")
    args = parser.parse_args(argv)

    os.environ["LUMORA_SIMULATIONS_DIR"] = tempfile.mkdtemp(prefix="lumora-bench-")
    from lumora.cache import save_result
    from lumora.core import simulation_storage as ss

    rng = np.random.default_rng(1)
    wavelengths = np.linspace(1.5, 1.6, POINTS)
    arrays = {p: rng.uniform(-1, 1, POINTS) + 1j * rng.uniform(-1, 1, POINTS) for p in PAIRS}
    lists = {p: np.stack([a.real, a.imag], -1).tolist() for p, a in arrays.items()}
    fields: dict[str, Any] = dict(
        component_name="mmi2x2",
        factory_name="mmi2x2_factory",
        component_settings={"width": 0.5, "length": 10.0},
        model_parameters={"neff": 2.4, "ng": 4.2},
        hyperparameters=SimulationHyperparameters(wavelength_points=POINTS),
        simulation_type="sparams",
        execution_time_seconds=12.5,
    )

    def by_hand(save: Callable[..., object]) -> None:
        result = {p: np.stack([a.real, a.imag], -1).tolist() for p, a in arrays.items()}
        save(**fields, result=result, wavelengths=wavelengths.tolist())

    ways: dict[str, Callable[[], object]] = {
        "module, lists": lambda: ss.save_simulation_result(**fields, result=lists, wavelengths=wavelengths.tolist()),
        "lists": lambda: save_result(**fields, result=lists, wavelengths=wavelengths.tolist()),
        "arrays": lambda: save_result(**fields, result=arrays, wavelengths=wavelengths),
        "by hand": lambda: by_hand(save_result),
        "by hand, module": lambda: by_hand(ss.save_simulation_result),
    }
    samples: dict[str, list[float]] = {name: [] for name in ways}
    clock = CLOCKS[args.clock]
    for _ in range(args.repeat):  # the ways take turns, so that a busy moment hits them all
        for name, way in ways.items():
            samples[name].append(min(timeit.repeat(way, number=10, repeat=3, timer=clock)) / 10)
    median = {name: statistics.median(times) for name, times in samples.items()}

    print(f"save of {len(PAIRS)} port pairs x {POINTS} complex points ({args.clock} clock, median per save)")
    for name, seconds in median.items():
        print(f"  {name:<16} {seconds * 1e6:8.1f} us  {seconds / median['by hand']:5.2f} x by hand")
    print(f"arrays / by hand: {median['arrays'] / median['by hand']:.2f}")
    print(f"arrays / by hand, module: {median['arrays'] / median['by hand, module']:.2f}")
    print(f"lists / module, lists: {median['lists'] / median['module, lists']:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
