"""A sweep on real engines: how often the solver runs, and how soon a lost holder is replaced.

Each engine runs --tasks calls of `get_or_simulate` over --identities
settings (the solver sleeps --solve seconds and leaves a mark per run)
against each store, with the lock per identity and without it:

- engines: `ProcessPoolExecutor` of 4 processes; a Dask `distributed`
  `LocalCluster` of 2 worker processes on 127.0.0.1, when distributed is
  installed (an optional extra: the store needs none of these);
- stores: the local disk, and S3 served by moto on 127.0.0.1.

With the lock the solver should run once per identity on every store. Then,
on S3 with a lease of --lease seconds, a holder is killed with SIGKILL while
another process waits: the figure is how long after the kill the waiter's
solver starts, which should stay within the lease time plus 2 s.

    .venv/bin/python bench/single_flight.py [--tasks 200] [--identities 50] [--solve 0.05]
        [--lease 5] [--engines process,dask] [--stores local,s3]
"""

from __future__ import annotations

import argparse
import importlib
import importlib.util
import logging
import multiprocessing
import os
import signal
import tempfile
import time
import uuid
from collections.abc import Callable, Iterator
from concurrent.futures import ProcessPoolExecutor
from contextlib import contextmanager
from pathlib import Path
from typing import Any

BUCKET = "lumora-sweep"
SPAWN = multiprocessing.get_context("spawn")  # the parent runs server threads: no fork


def task(number: int, identities: int, runs: str, solve: float, lock: bool) -> str:
    """One setting of the sweep, in a worker: the stored result's ID."""
    from lumora.cache import get_or_simulate
    from lumora.models import SimulationHyperparameters

    def solver() -> tuple[dict[str, Any], list[float]]:
        Path(runs, uuid.uuid4().hex).touch()
        time.sleep(solve)
        return {"s21": [float(number % identities)]}, [1.55]

    record = get_or_simulate(
        component_name="coupler",
        factory_name="coupler",
        component_settings={"gap": number % identities},
        model_parameters={"neff": 2.4},
        hyperparameters=SimulationHyperparameters(),
        simulation_type="sparams",
        simulate=solver,
        lock=lock,
    )
    return record.simulation_id


@contextmanager
def s3_server() -> Iterator[str]:
    """moto on 127.0.0.1, every AWS client of this process and its children pointed at it."""
    from moto.server import ThreadedMotoServer

    logging.getLogger("werkzeug").setLevel(logging.ERROR)
    server = ThreadedMotoServer(ip_address="127.0.0.1", port=0, verbose=False)
    server.start()
    endpoint = f"http://127.0.0.1:{server.get_host_and_port()[1]}"
    for name in ("AWS_PROFILE", "AWS_SESSION_TOKEN", "AWS_ENDPOINT_URL_S3"):
        os.environ.pop(name, None)
    os.environ.update(
        AWS_CONFIG_FILE=os.devnull,
        AWS_SHARED_CREDENTIALS_FILE=os.devnull,
        AWS_ACCESS_KEY_ID="bench",
        AWS_SECRET_ACCESS_KEY="bench",
        AWS_DEFAULT_REGION="us-east-1",
        AWS_EC2_METADATA_DISABLED="true",
        AWS_ENDPOINT_URL=endpoint,
    )
    import boto3  # type: ignore[import-untyped]

    boto3.client("s3", endpoint_url=endpoint).create_bucket(Bucket=BUCKET)
    try:
        yield endpoint
    finally:
        server.stop()


def store_url(store: str, scratch: Path) -> str:
    fresh = uuid.uuid4().hex
    return str(scratch / fresh) if store == "local" else f"s3://{BUCKET}/{fresh}"


def run_processes(calls: list[tuple[int, int, str, float, bool]]) -> None:
    with ProcessPoolExecutor(4, mp_context=SPAWN) as pool:
        list(pool.map(task, *zip(*calls, strict=True)))


def run_dask(calls: list[tuple[int, int, str, float, bool]]) -> None:
    distributed: Any = importlib.import_module("distributed")
    # Loopback only, no dashboard; workers see this process's environment.
    with (
        distributed.LocalCluster(
            n_workers=2, threads_per_worker=2, processes=True, host="127.0.0.1", dashboard_address=None
        ) as cluster,
        distributed.Client(cluster) as client,
    ):
        client.gather(client.map(task, *zip(*calls, strict=True), pure=False))


ENGINES: dict[str, Callable[[list[tuple[int, int, str, float, bool]]], None]] = {
    "process": run_processes,
    "dask": run_dask,
}


def sweep(engine: str, store: str, lock: bool, args: argparse.Namespace, scratch: Path) -> tuple[int, float]:
    """(solver runs, seconds) of one sweep on a fresh store."""
    os.environ["LUMORA_SIMULATIONS_DIR"] = store_url(store, scratch)
    runs = scratch / f"runs-{uuid.uuid4().hex}"
    runs.mkdir()
    calls = [(n, args.identities, str(runs), args.solve, lock) for n in range(args.tasks)]
    start = time.perf_counter()
    ENGINES[engine](calls)
    return len(os.listdir(runs)), time.perf_counter() - start


def hold(runs: str) -> None:
    task(0, 1, runs, 3600.0, True)


def takeover(args: argparse.Namespace, scratch: Path) -> float:
    """Seconds from killing a lease holder to the waiter's solver starting."""
    os.environ["LUMORA_SIMULATIONS_DIR"] = store_url("s3", scratch)
    os.environ["LUMORA_LEASE_SECONDS"] = str(args.lease)
    runs = scratch / f"runs-{uuid.uuid4().hex}"
    runs.mkdir()
    holder = SPAWN.Process(target=hold, args=(str(runs),))
    holder.start()
    with ProcessPoolExecutor(1, mp_context=SPAWN) as pool:
        deadline = time.monotonic() + 60
        while not os.listdir(runs) and time.monotonic() < deadline:
            time.sleep(0.05)
        waiter = pool.submit(task, 0, 1, str(runs), 0.0, True)
        time.sleep(args.lease / 2)
        assert holder.pid is not None
        os.kill(holder.pid, signal.SIGKILL)
        killed = time.time()
        waiter.result()
    holder.join()
    del os.environ["LUMORA_LEASE_SECONDS"]
    return max(os.stat(runs / name).st_mtime for name in os.listdir(runs)) - killed


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tasks", type=int, default=200)
    parser.add_argument("--identities", type=int, default=50)
    parser.add_argument("--solve", type=float, default=0.05, help="seconds per solver run")
    parser.add_argument("--lease", type=float, default=5.0, help="lease seconds for the takeover")
    parser.add_argument("--engines", default="process,dask")
    parser.add_argument("--stores", default="local,s3")
    args = parser.parse_args()
    engines = args.engines.split(",")
    if "dask" in engines and importlib.util.find_spec("distributed") is None:
        print("dask: distributed is not installed, skipped")
        engines.remove("dask")
    stores = args.stores.split(",")
    with tempfile.TemporaryDirectory() as scratch, s3_server():
        print(f"{args.tasks} tasks over {args.identities} identities, solver {args.solve * 1000:.0f} ms")
        print(f"{'engine':8} {'store':6} {'lock':5} {'runs':>5} {'seconds':>8}")
        for engine in engines:
            for store in stores:
                for lock in (True, False):
                    runs, seconds = sweep(engine, store, lock, args, Path(scratch))
                    print(f"{engine:8} {store:6} {lock!s:5} {runs:5d} {seconds:8.2f}")
        if "s3" in stores:
            delay = takeover(args, Path(scratch))
            print(f"takeover after SIGKILL: {delay:.2f} s (lease {args.lease:g} s, bound {args.lease + 2:g} s)")


if __name__ == "__main__":
    main()
