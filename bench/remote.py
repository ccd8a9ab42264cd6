"""Time the store on local disk, on fsspec's in-memory file system and on S3.

S3 is a moto server started here on 127.0.0.1 with dummy credentials; its
figures measure moto (a few milliseconds per request, in this process), so
the request counts are what carry over to a real bucket: multiply them by
the round-trip time to it. Each figure is a median: per call for save and
find, per whole listing for list and stats (upkeep.stats, which reads every
result as a listing does).

    .venv/bin/python bench/remote.py [--count N] [--backends local,memory,s3]
"""

from __future__ import annotations

import argparse
import logging
import os
import random
import socket
import statistics
import sys
import tempfile
import time
import uuid
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import Any

from lumora import upkeep
from lumora.core import simulation_storage as ss
from lumora.models import SimulationHyperparameters

TYPES = ("sparams", "modes", "fdtd", "eme")
BUCKET = "lumora-bench"


class RequestCounter(logging.Handler):
    """Counts the requests that the moto server logs."""

    def __init__(self) -> None:
        super().__init__()
        self.count = 0

    def emit(self, record: logging.LogRecord) -> None:
        self.count += 1


COUNTER = RequestCounter()


def identity(i: int) -> dict[str, Any]:
    return dict(
        component_name=f"mmi_{i}",
        factory_name="mmi1x2",
        component_settings={"width": 0.5, "length": 10.0 + i / 100},
        model_parameters={"neff": 2.4},
        hyperparameters=SimulationHyperparameters(),
        simulation_type=TYPES[i % len(TYPES)],
    )


OUTCOME: dict[str, Any] = dict(
    result={"s21": [0.5] * 50}, wavelengths=[1.5 + k / 1000 for k in range(50)], execution_time_seconds=1.0
)


@contextmanager
def local_store() -> Iterator[str]:
    with tempfile.TemporaryDirectory(prefix="lumora-bench-") as tmp:
        yield os.path.join(tmp, "store")


@contextmanager
def memory_store() -> Iterator[str]:
    import fsspec  # type: ignore[import-untyped]

    base = f"lumora-bench-{uuid.uuid4().hex}"
    try:
        yield f"memory://{base}/store"
    finally:
        fsspec.filesystem("memory").rm(base, recursive=True)


@contextmanager
def s3_store() -> Iterator[str]:
    import boto3  # type: ignore[import-untyped]
    import s3fs  # type: ignore[import-untyped]
    from moto.server import ThreadedMotoServer

    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))  # fails here, not in moto's thread, where start() would wait forever
    werkzeug = logging.getLogger("werkzeug")
    werkzeug.setLevel(logging.INFO)
    werkzeug.propagate = False
    werkzeug.handlers[:] = [COUNTER]
    server = ThreadedMotoServer(ip_address="127.0.0.1", port=0, verbose=False)
    server.start()
    endpoint = f"http://127.0.0.1:{server.get_host_and_port()[1]}"
    saved = dict(os.environ)
    for name in ("AWS_PROFILE", "AWS_SESSION_TOKEN", "AWS_ENDPOINT_URL_S3"):
        os.environ.pop(name, None)
    os.environ.update(
        AWS_ACCESS_KEY_ID="bench",
        AWS_SECRET_ACCESS_KEY="bench",
        AWS_DEFAULT_REGION="us-east-1",
        AWS_EC2_METADATA_DISABLED="true",
        AWS_CONFIG_FILE=os.devnull,
        AWS_SHARED_CREDENTIALS_FILE=os.devnull,
        AWS_ENDPOINT_URL=endpoint,
    )
    try:
        s3fs.S3FileSystem.clear_instance_cache()
        boto3.client("s3", endpoint_url=endpoint).create_bucket(Bucket=BUCKET)
        yield f"s3://{BUCKET}/store"
    finally:
        s3fs.S3FileSystem.clear_instance_cache()
        os.environ.clear()
        os.environ.update(saved)
        server.stop()


BACKENDS: dict[str, Callable[[], Any]] = {"local": local_store, "memory": memory_store, "s3": s3_store}


def timed(call: Callable[[], Any]) -> tuple[float, int]:
    before = COUNTER.count
    start = time.perf_counter()
    call()
    return time.perf_counter() - start, COUNTER.count - before


def run(root: str, count: int, finds: int, listings: int) -> dict[str, tuple[float, float]]:
    """Median seconds and requests per operation."""
    os.environ["LUMORA_SIMULATIONS_DIR"] = root
    samples: dict[str, list[tuple[float, int]]] = {"save": [], "find": [], "list": [], "stats": []}
    for i in range(count):
        samples["save"].append(timed(lambda: ss.save_simulation_result(**identity(i), **OUTCOME)))
    for i in random.Random(1).sample(range(count), min(finds, count)):
        samples["find"].append(timed(lambda: ss.find_simulation_result(**identity(i))))
    for _ in range(listings):
        found: list[Any] = []
        samples["list"].append(timed(lambda: found.extend(ss.list_simulation_results())))
        assert len(found) == count, f"listed {len(found)} of {count}"
        # upkeep reads every result too, fetching from object stores in batches.
        samples["stats"].append(timed(lambda: found.append(upkeep.stats())))
        assert found[-1].results == count, f"counted {found[-1].results} of {count}"
    return {
        op: (statistics.median(t for t, _ in values), statistics.median(n for _, n in values))
        for op, values in samples.items()
    }


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--count", type=int, default=1000, help="results saved, then listed (default 1000)")
    parser.add_argument("--finds", type=int, default=50, help="look-ups timed (default 50)")
    parser.add_argument("--listings", type=int, default=2, help="whole listings timed (default 2)")
    parser.add_argument("--backends", default="local,memory,s3", help="comma-separated, from: local, memory, s3")
    args = parser.parse_args(argv)

    rows = []
    for name in args.backends.split(","):
        try:
            store = BACKENDS[name]()
            with store as root:
                rows.append((name, root, run(root, args.count, args.finds, args.listings)))
        except (ImportError, OSError) as exc:
            print(f"{name}: skipped ({exc})", file=sys.stderr)

    print(
        f"{args.count} results in {len(TYPES)} simulation types; medians of {args.count} saves, "
        f"{min(args.finds, args.count)} look-ups, {args.listings} listings (S3: moto on 127.0.0.1)"
    )
    ops = ("save", "find", "list", "stats")
    print(f"{'store':<8}" + "".join(f"{op + ' ms':>10}" for op in ops) + f"   S3 requests: {' / '.join(ops)}")
    for name, _, result in rows:
        times = "".join(f"{result[op][0] * 1000:>10.2f}" for op in ops)
        requests = " / ".join(f"{result[op][1]:g}" for op in ops) if name == "s3" else ""
        print(f"{name:<8}{times}   {requests}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
