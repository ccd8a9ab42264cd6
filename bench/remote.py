"""Time the store on local disk, on fsspec's in-memory file system and on S3.

S3 is a moto server on 127.0.0.1 with dummy credentials, in a process of its
own so that its work does not compete with the store's for this process's
interpreter lock. moto spends milliseconds of processor time on each request,
which on loopback hides what round trips cost; the `s3+<ms>` store therefore
sends every request through a proxy (a third process) that holds it back by
--delay milliseconds (20 by default), as a bucket that far away would. The
request counts are what carries over to a real bucket; the processor time
used here, by moto and by the proxy says what bounds a figure once round
trips overlap. Connections are kept open between requests, as a real
bucket's clients keep them.

--windows 0,32 times the listing with each LUMORA_REMOTE_WINDOW in turn,
against the same server with the same delay, and prints their ratio.

Each figure is a median: per call for save and find, per whole listing for
list; clear is one clearing of the whole store. S3 stores are filled by
uploading the files of a local store straight to moto (no delay), and the
saves timed are --saves overwrites of stored results.

    .venv/bin/python bench/remote.py [--count N] [--backends local,memory,s3,s3-delay]
        [--delay MS] [--ops save,find,list,clear] [--windows 0,32]
"""

from __future__ import annotations

import argparse
import asyncio
import logging
import os
import random
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import uuid
from collections.abc import Callable, Iterator
from concurrent.futures import ThreadPoolExecutor
from contextlib import contextmanager
from pathlib import Path
from typing import Any

TYPES = ("sparams", "modes", "fdtd", "eme")
BUCKET = "lumora-bench"
OPERATIONS = ("save", "find", "list", "clear")


def identity(i: int) -> dict[str, Any]:
    from lumora.models import SimulationHyperparameters

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


# --- the S3 server process ----------------------------------------------------


async def _delayed_copy(reader: asyncio.StreamReader, writer: asyncio.StreamWriter, delay: float) -> None:
    """Copies reader to writer, each chunk delay seconds after it arrived, in order."""
    queue: asyncio.Queue[tuple[float, bytes]] = asyncio.Queue()
    loop = asyncio.get_running_loop()

    async def send() -> None:
        while True:
            due, data = await queue.get()
            if not data:
                break
            await asyncio.sleep(due - loop.time())
            writer.write(data)
            await writer.drain()

    sender = asyncio.create_task(send())
    try:
        while data := await reader.read(1 << 16):
            queue.put_nowait((loop.time() + delay, data))
    finally:
        queue.put_nowait((0.0, b""))
        await sender
        writer.close()


async def _copy(reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
    try:
        while data := await reader.read(1 << 16):
            writer.write(data)
            await writer.drain()
    finally:
        writer.close()


def proxy(upstream: int, delay_ms: float) -> None:
    """The proxy process: a TCP proxy to 127.0.0.1:upstream that delays what
    clients send by delay_ms. Prints its port, then serves until stdin closes.

    A process of its own: beside moto's busy threads, the wait for the
    interpreter lock would add its own delays to the ones asked for.
    """
    delay = delay_ms / 1000

    async def handle(client_reader: asyncio.StreamReader, client_writer: asyncio.StreamWriter) -> None:
        server_reader, server_writer = await asyncio.open_connection("127.0.0.1", upstream)
        await asyncio.gather(
            _delayed_copy(client_reader, server_writer, delay),
            _copy(server_reader, client_writer),
            return_exceptions=True,
        )

    async def main() -> None:
        server = await asyncio.start_server(handle, "127.0.0.1", 0)
        print(server.sockets[0].getsockname()[1], flush=True)
        # Until the parent closes stdin.
        await asyncio.get_running_loop().run_in_executor(None, sys.stdin.read)
        server.close()

    asyncio.run(main())


def _keep_alive_server() -> Any:
    """moto's application behind werkzeug's threaded server, connections kept open.

    werkzeug's development server ends every connection after one response,
    so each request would pay for a new connection here, in the proxy and in
    moto (a thread each), which a real bucket's clients keep open. It ends
    them because its handler cannot tell leftovers of a request body from
    the next request: after each response it discards whatever arrives within
    10 ms. moto reads the whole body of every request the store sends, so
    nothing is left over, and that discarding would swallow the next request
    on the connection: both are turned off here.
    """
    import selectors
    import types

    import werkzeug.serving
    from moto.moto_server.werkzeug_app import DomainDispatcherApplication, MotoRequestHandler, create_backend_app

    class NothingLeft:
        def register(self, *_: Any) -> None:
            pass

        def select(self, timeout: float | None = None) -> list[Any]:
            return []

        def close(self) -> None:
            pass

    # A module-level name of werkzeug's, hence the ignores.
    werkzeug.serving.selectors = types.SimpleNamespace(  # type: ignore[attr-defined,assignment]
        DefaultSelector=NothingLeft, EVENT_READ=selectors.EVENT_READ
    )

    class KeepAlive(MotoRequestHandler):
        # The status line, the headers and the body go out in separate
        # writes: without this, each but the first would wait for the
        # client's delayed acknowledgement of the one before.
        disable_nagle_algorithm = True

        def send_header(self, keyword: str, value: str) -> None:
            if keyword.lower() == "connection" and value.lower() == "close":
                return
            super().send_header(keyword, value)

    return werkzeug.serving.make_server(
        "127.0.0.1", 0, DomainDispatcherApplication(create_backend_app), threaded=True, request_handler=KeepAlive
    )


def _processor_seconds(process: subprocess.Popen[str] | None) -> float:
    """Processor seconds used so far by a running child process (Linux), else 0."""
    if process is None:
        return 0.0
    try:
        with open(f"/proc/{process.pid}/stat") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
    except OSError:
        return 0.0
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def serve(delay_ms: float) -> None:
    """The server process: moto, behind the delaying proxy when delay_ms > 0.

    Prints "<port for the store> <port of moto>", then answers each line on
    stdin with "<requests served so far> <processor seconds used so far>
    <processor seconds of the proxy so far>".
    """
    import moto.backends

    # moto looks through its own package directory twice per request to route
    # it; a fixed answer makes its figures a little less about moto.
    modules = tuple(moto.backends.list_of_moto_modules())
    moto.backends.list_of_moto_modules = lambda: modules

    count = 0

    class Counter(logging.Handler):
        def emit(self, record: logging.LogRecord) -> None:
            nonlocal count
            count += 1

    werkzeug = logging.getLogger("werkzeug")
    werkzeug.setLevel(logging.INFO)
    werkzeug.propagate = False
    werkzeug.handlers[:] = [Counter()]
    server = _keep_alive_server()
    threading.Thread(target=server.serve_forever, daemon=True).start()
    moto_port = port = server.server_address[1]
    delayer = None
    if delay_ms > 0:
        delayer = subprocess.Popen(
            [sys.executable, __file__, "--proxy", str(moto_port), str(delay_ms)],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
        )
        assert delayer.stdout is not None
        port = int(delayer.stdout.readline())
    print(port, moto_port, flush=True)
    for _ in sys.stdin:
        print(count, time.process_time(), _processor_seconds(delayer), flush=True)
    if delayer is not None:
        delayer.communicate()
    server.shutdown()


class ServerProcess:
    """The S3 server process, seen from the bench."""

    def __init__(self, delay_ms: float) -> None:
        self.process = subprocess.Popen(
            [sys.executable, __file__, "--serve", str(delay_ms)],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
        )
        assert self.process.stdout is not None
        line = self.process.stdout.readline()
        if not line:
            raise OSError("the S3 server process did not start")
        self.port, self.moto_port = map(int, line.split())

    def usage(self) -> tuple[int, float, float]:
        """Requests served, processor seconds of moto and of the proxy so far."""
        assert self.process.stdin is not None and self.process.stdout is not None
        self.process.stdin.write("\n")
        self.process.stdin.flush()
        requests, cpu, proxy_cpu = self.process.stdout.readline().split()
        return int(requests), float(cpu), float(proxy_cpu)

    def close(self) -> None:
        assert self.process.stdin is not None
        self.process.stdin.close()
        self.process.wait(timeout=30)


# --- stores -------------------------------------------------------------------


class Store:
    """A store root and what it takes to fill it and to count its requests."""

    root: str
    server: ServerProcess | None = None

    def fill(self, count: int) -> None:
        from lumora.core import simulation_storage as ss

        for i in range(count):
            ss.save_simulation_result(**identity(i), **OUTCOME)

    def usage(self) -> tuple[int, float, float]:
        return self.server.usage() if self.server else (0, 0.0, 0.0)


@contextmanager
def local_store(_: argparse.Namespace) -> Iterator[Store]:
    with tempfile.TemporaryDirectory(prefix="lumora-bench-") as tmp:
        store = Store()
        store.root = os.path.join(tmp, "store")
        yield store


@contextmanager
def memory_store(_: argparse.Namespace) -> Iterator[Store]:
    import fsspec  # type: ignore[import-untyped]

    base = f"lumora-bench-{uuid.uuid4().hex}"
    store = Store()
    store.root = f"memory://{base}/store"
    try:
        yield store
    finally:
        fsspec.filesystem("memory").rm(base, recursive=True)


class S3Store(Store):
    def fill(self, count: int) -> None:
        # Saved on local disk, then uploaded in parallel straight to moto:
        # saving 1,000 results at 4 delayed requests each would take minutes.
        import boto3  # type: ignore[import-untyped]

        assert self.server is not None
        client = boto3.client("s3", endpoint_url=f"http://127.0.0.1:{self.server.moto_port}")
        with tempfile.TemporaryDirectory(prefix="lumora-bench-") as tmp:
            os.environ["LUMORA_SIMULATIONS_DIR"] = tmp
            super().fill(count)
            os.environ["LUMORA_SIMULATIONS_DIR"] = self.root
            files = [p for p in Path(tmp).rglob("*.json")]
            with ThreadPoolExecutor(8) as pool:
                list(
                    pool.map(
                        lambda p: client.put_object(
                            Bucket=BUCKET, Key=f"store/{p.relative_to(tmp).as_posix()}", Body=p.read_bytes()
                        ),
                        files,
                    )
                )


@contextmanager
def s3_store(delay_ms: float) -> Iterator[Store]:
    import boto3
    import s3fs  # type: ignore[import-untyped]

    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))  # fails here when loopback is not available
    server = ServerProcess(delay_ms)
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
        AWS_ENDPOINT_URL=f"http://127.0.0.1:{server.port}",
    )
    try:
        s3fs.S3FileSystem.clear_instance_cache()
        boto3.client("s3", endpoint_url=f"http://127.0.0.1:{server.moto_port}").create_bucket(Bucket=BUCKET)
        store = S3Store()
        store.root, store.server = f"s3://{BUCKET}/store", server
        yield store
    finally:
        s3fs.S3FileSystem.clear_instance_cache()
        os.environ.clear()
        os.environ.update(saved)
        server.close()


BACKENDS: dict[str, Callable[[argparse.Namespace], Any]] = {
    "local": local_store,
    "memory": memory_store,
    "s3": lambda args: s3_store(0),
    "s3-delay": lambda args: s3_store(args.delay),
}


# --- the measurement ----------------------------------------------------------


# seconds, processor seconds here, requests, processor seconds of moto and of the proxy
Sample = tuple[float, float, int, float, float]


def timed(store: Store, call: Callable[[], Any]) -> Sample:
    requests, server_cpu, proxy_cpu = store.usage()
    start, cpu = time.perf_counter(), time.process_time()
    call()
    elapsed, cpu = time.perf_counter() - start, time.process_time() - cpu
    requests_after, server_cpu_after, proxy_cpu_after = store.usage()
    return elapsed, cpu, requests_after - requests, server_cpu_after - server_cpu, proxy_cpu_after - proxy_cpu


def listing_windows(args: argparse.Namespace) -> list[tuple[str, int | None]]:
    """The listing columns and the window each is timed with (None: as set)."""
    if "list" not in args.ops:
        return []
    if not args.windows:
        return [("list", None)]
    return [(f"list w{window}", window) for window in args.windows]


def run(store: Store, args: argparse.Namespace) -> dict[str, Sample]:
    """The median of each figure, per operation."""
    from lumora.core import simulation_storage as ss
    from lumora.settings import environ

    os.environ["LUMORA_SIMULATIONS_DIR"] = store.root
    count = args.count
    samples: dict[str, list[Sample]] = {op: [] for op in args.columns}
    if isinstance(store, S3Store):
        store.fill(count)
        saves = random.Random(2).sample(range(count), min(args.saves, count))
    else:
        saves = list(range(count))
    for i in saves:
        sample = timed(store, lambda: ss.save_simulation_result(**identity(i), **OUTCOME))
        if "save" in samples:
            samples["save"].append(sample)
    if "find" in samples:
        for i in random.Random(1).sample(range(count), min(args.finds, count)):
            samples["find"].append(timed(store, lambda: ss.find_simulation_result(**identity(i))))
    for column, window in listing_windows(args):
        with environ("LUMORA_REMOTE_WINDOW", None if window is None else str(window)):
            for _ in range(args.listings):
                found: list[Any] = []
                samples[column].append(timed(store, lambda: found.extend(ss.list_simulation_results())))
                assert len(found) == count, f"listed {len(found)} of {count}"
    if "clear" in samples:
        cleared: list[int] = []
        samples["clear"].append(timed(store, lambda: cleared.append(ss.clear_simulation_results())))
        assert cleared == [count], f"cleared {cleared} of {count}"
    return {
        op: tuple(statistics.median(sample[k] for sample in values) for k in range(5))  # type: ignore[misc]
        for op, values in samples.items()
    }


def figure(value: float) -> str:
    """Four significant digits, without an exponent."""
    return f"{value:.0f}" if value >= 1000 else f"{value:.4g}"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument(
        "--count", type=int, default=1000, help="results stored, then listed and cleared (default 1000)"
    )
    parser.add_argument("--saves", type=int, default=50, help="saves timed on S3 (default 50)")
    parser.add_argument("--finds", type=int, default=50, help="look-ups timed (default 50)")
    parser.add_argument("--listings", type=int, default=2, help="whole listings timed (default 2)")
    parser.add_argument(
        "--backends", default="local,memory,s3,s3-delay", help="comma-separated, from: " + ", ".join(BACKENDS)
    )
    parser.add_argument(
        "--delay", type=float, default=20.0, help="milliseconds added to each request by s3-delay (default 20)"
    )
    parser.add_argument("--ops", default=",".join(OPERATIONS), help="comma-separated, from: " + ", ".join(OPERATIONS))
    parser.add_argument(
        "--windows",
        default="",
        help="comma-separated LUMORA_REMOTE_WINDOW values to time the listing with, one after another "
        "against the same server (default: as set)",
    )
    parser.add_argument("--serve", type=float, help=argparse.SUPPRESS)
    parser.add_argument("--proxy", type=float, nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.serve is not None:
        serve(args.serve)
        return 0
    if args.proxy is not None:
        proxy(int(args.proxy[0]), args.proxy[1])
        return 0
    args.ops = [op for op in OPERATIONS if op in args.ops.split(",")]
    args.windows = [int(window) for window in args.windows.split(",") if window.strip()]
    args.columns = [
        column for op in args.ops for column in ([c for c, _ in listing_windows(args)] if op == "list" else [op])
    ]

    try:
        from lumora.remote import remote_window

        window = f"window {remote_window()}"
    except ImportError:  # a version that reads one object at a time
        window = "no window"
    rows = []
    for name in args.backends.split(","):
        try:
            with BACKENDS[name](args) as store:
                rows.append((name.replace("-delay", f"+{args.delay:g}ms"), run(store, args)))
        except (ImportError, OSError) as exc:
            print(f"{name}: skipped ({exc})", file=sys.stderr)

    print(
        f"{args.count} results in {len(TYPES)} simulation types; medians of {args.finds} look-ups, "
        f"{args.listings} listings, saves ({args.saves} on S3), one clearing; S3: moto on 127.0.0.1, {window}"
    )
    units = {"save": "ms", "find": "ms", "list": "ms", "clear": "s"}
    scale = {"ms": 1000, "s": 1}
    columns = args.columns
    header = "".join(f"{column + ' ' + units[column.split()[0]]:>{max(11, len(column) + 5)}}" for column in columns)
    ops = " / ".join(columns)
    print(f"{'store':<11}{header}   requests {ops}   CPU s here {ops}   CPU s moto {ops}   CPU s proxy {ops}")
    for name, result in rows:
        times = "".join(f"{figure(result[c][0] * scale[units[c.split()[0]]]):>{max(11, len(c) + 5)}}" for c in columns)
        cpu = " / ".join(f"{result[c][1]:.3g}" for c in columns)
        extra = ""
        if name.startswith("s3"):
            requests = " / ".join(f"{result[c][2]:g}" for c in columns)
            moto = " / ".join(f"{result[c][3]:.3g}" for c in columns)
            proxied = " / ".join(f"{result[c][4]:.3g}" for c in columns)
            extra = f"   {requests:<{9 + len(ops)}}   {cpu:<{11 + len(ops)}}   {moto:<{11 + len(ops)}}   {proxied}"
        print(f"{name:<11}{times}{extra}")
    listings = [column for column, _ in listing_windows(args)]
    if len(listings) > 1:
        for name, result in rows:
            ratios = ", ".join(
                f"{listings[0]} / {column} = {result[listings[0]][0] / result[column][0]:.1f}x"
                for column in listings[1:]
            )
            print(f"{name}: {ratios}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
