"""What a sweep costs per point beyond the simulations themselves.

An instant solver, so that the figures are lumora's and the engine's own
time: a sweep over new points (every point a miss: look-up here, task,
look-up and lock in the worker, save), then the same sweep again (every
point a hit, found here, nothing sent). Each engine gets its own fresh
store in a temporary directory: in this process, a ProcessPoolExecutor of 2
and a Dask LocalCluster of 2 workers on 127.0.0.1 (skipped without
distributed).

    .venv/bin/python bench/sweep.py [--quick] [--points 200]
"""

from __future__ import annotations

import argparse
import os
import tempfile
import time
from collections.abc import Callable, Iterator
from concurrent.futures import Executor, ProcessPoolExecutor
from contextlib import contextmanager
from typing import Any

from lumora import sweep


def solve(*, component_settings: dict[str, Any], **_: Any) -> tuple[dict[str, Any], list[float]]:
    return {"s21": [[component_settings["gap"], 0.0]] * 4}, [1.54, 1.55, 1.56, 1.57]


@contextmanager
def in_process() -> Iterator[Executor | None]:
    yield None


@contextmanager
def process_pool() -> Iterator[Executor | None]:
    with ProcessPoolExecutor(2) as pool:
        yield pool


@contextmanager
def dask_cluster() -> Iterator[Executor | None]:
    from distributed import Client, LocalCluster

    with (
        LocalCluster(n_workers=2, processes=True, host="127.0.0.1", dashboard_address=None) as cluster,  # type: ignore[no-untyped-call]
        Client(cluster) as client,  # type: ignore[no-untyped-call]
    ):
        yield client.get_executor()


def engines() -> dict[str, Callable[[], Any]]:
    found: dict[str, Callable[[], Any]] = {"in process": in_process, "ProcessPoolExecutor(2)": process_pool}
    try:
        import distributed  # noqa: F401
    except ImportError:
        print("distributed is not installed: no Dask figures (pip install 'lumora[dask]')")
    else:
        found["Dask LocalCluster(2)"] = dask_cluster
    return found


def timed_sweep(executor: Executor | None, points: int) -> float:
    start = time.perf_counter()
    sweep(
        solve,
        [{"gap": i / 1000} for i in range(points)],
        component_name="coupler",
        factory_name="coupler",
        simulation_type="sparams",
        executor=executor,
    )
    return (time.perf_counter() - start) / points


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="20 points: a smoke run")
    parser.add_argument("--points", type=int, default=200, help="points per sweep (default 200)")
    args = parser.parse_args()
    points = 20 if args.quick else args.points
    print(f"Sweep overhead per point, {points} points, instant solver")
    print(f"{'engine':<26} {'miss (ms)':>10} {'hit (ms)':>10}")
    for name, engine in engines().items():
        with tempfile.TemporaryDirectory() as store:
            os.environ["LUMORA_SIMULATIONS_DIR"] = store
            with engine() as executor:
                miss = timed_sweep(executor, points)
                hit = timed_sweep(executor, points)
        print(f"{name:<26} {miss * 1e3:>10.3f} {hit * 1e3:>10.3f}")


if __name__ == "__main__":
    main()
