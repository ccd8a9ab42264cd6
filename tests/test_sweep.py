"""lumora.sweep and lumora.cached: in this process, on process pools and on a Dask cluster."""

from __future__ import annotations

import math
import multiprocessing
import os
import pickle
import threading
import time
import uuid
from concurrent.futures import ProcessPoolExecutor
from dataclasses import dataclass

import pytest
from test_remote import BUCKET, s3_endpoint  # noqa: F401

import lumora
from lumora.sweeps import SweepFailed


@dataclass(frozen=True)
class Solver:
    """Picklable; each run appends a line to ``runs`` (O_APPEND: whole lines from any process)."""

    runs: str
    fail: tuple[float, ...] = ()
    seconds: float = 0.0

    def __call__(self, *, component_settings, **_):
        fd = os.open(self.runs, os.O_WRONLY | os.O_CREAT | os.O_APPEND)
        os.write(fd, f"{component_settings['gap']}\n".encode())
        os.close(fd)
        time.sleep(self.seconds)
        gap = component_settings["gap"]
        if gap in self.fail:
            raise RuntimeError(f"diverged at {gap}")
        return {"s21": [[gap, -gap]], "loss": [math.nan if gap < 0 else 0.1]}, [1.55]

    def count(self):
        with open(self.runs) as runs:
            return len(runs.read().split())


FIXED = dict(component_name="coupler", factory_name="coupler", simulation_type="sparams")


@lumora.cached(simulation_type="sparams", model_parameters={"neff": 2.45})
def coupler(gap, length=20.0, **extra):
    with open(os.environ["SWEEP_RUNS"], "a") as runs:
        runs.write(f"{gap}\n")
    return {"s21": [[gap, length]]}, [1.55]


def test_a_sweep_keeps_order_and_collects_failures(store, tmp_path):
    solver = Solver(str(tmp_path / "runs"), fail=(0.3,))
    points = [{"gap": 0.1}, {"gap": 0.3}, {"gap": 0.2}, {"gap": 0.1}, {"gap": -1.0}]
    with pytest.raises(SweepFailed) as raised:
        lumora.sweep(solver, points, **FIXED)
    summary = raised.value.summary
    assert [r and r.component_settings["gap"] for r in summary.records] == [0.1, None, 0.2, 0.1, None]
    assert (summary.stored, summary.simulated, summary.failed, solver.count()) == (0, 2, 2, 4)
    failed, unstored = summary.failures
    assert failed.points == (1,) and failed.record.status == "error" and "diverged at 0.3" in failed.message
    assert unstored.points == (4,) and unstored.record is None and unstored.output[0]["loss"][0] != 0.1

    again = lumora.sweep(solver, points, **FIXED, raise_on_failure=False)
    assert (again.stored, again.simulated, again.failed, solver.count()) == (2, 0, 2, 5)
    assert again.failures[0].record == failed.record  # a stored failure is not run again
    assert again.records[0] == summary.records[0]


@pytest.mark.parametrize(
    "point, message",
    [({"component_settings": {"gap": 0.1}, "component_name": None}, "no component_name"), ({"gap": {1, 2}}, "point 1")],
)
def test_unusable_points_are_refused_before_anything_runs(store, tmp_path, point, message):
    solver = Solver(str(tmp_path / "runs"))
    with pytest.raises((TypeError, ValueError), match=message):
        lumora.sweep(solver, [{"gap": 0.1}, point], **FIXED)
    assert not (tmp_path / "runs").exists()


def test_an_interrupted_sweep_keeps_what_finished_and_no_lock(ss, store, tmp_path):
    solver = Solver(str(tmp_path / "runs"))

    def interrupted(**fields):
        if fields["component_settings"]["gap"] == 0.3:
            raise KeyboardInterrupt
        return solver(**fields)

    with pytest.raises(KeyboardInterrupt):
        lumora.sweep(interrupted, [{"gap": g} for g in (0.1, 0.2, 0.3, 0.4)], **FIXED)
    assert sorted(r.component_settings["gap"] for r in ss.list_simulation_results()) == [0.1, 0.2]
    assert not list(store.rglob("*.lock"))


def test_a_cached_solver_takes_its_arguments_as_settings(store, tmp_path, monkeypatch):
    monkeypatch.setenv("SWEEP_RUNS", str(tmp_path / "runs"))
    record = coupler(0.2, tier="fast")
    assert record.component_settings == {"gap": 0.2, "length": 20.0, "tier": "fast"}
    assert (record.component_name, record.model_parameters) == ("coupler", {"neff": 2.45})
    summary = pickle.loads(pickle.dumps(coupler)).sweep([{"gap": 0.2, "tier": "fast"}, {"gap": 0.4}])
    assert summary.records[0] == record and (summary.stored, summary.simulated) == (1, 1)
    assert (tmp_path / "runs").read_text().split() == ["0.2", "0.4"]


# --- on real engines --------------------------------------------------------------


class ProcessPools:
    """One single-process pool per sweep: four machines, as far as the store can tell."""

    def __enter__(self):
        # Spawned: the test process runs threads (a moto server) that fork would copy mid-way.
        context = multiprocessing.get_context("spawn")
        self.pools = [ProcessPoolExecutor(1, mp_context=context) for _ in range(4)]
        return self.pools

    def __exit__(self, *exc):
        for pool in self.pools:
            pool.shutdown(cancel_futures=True)


class DaskExecutor:
    def __enter__(self):
        distributed = pytest.importorskip("distributed")
        self.cluster = distributed.LocalCluster(
            n_workers=2, threads_per_worker=2, processes=True, host="127.0.0.1", dashboard_address=None
        )
        self.client = distributed.Client(self.cluster)
        # Impure: Dask would otherwise merge the sweeps' equal tasks. Each
        # worker takes its tasks in the order given, so the sweeps meet on
        # each identity only when held to different workers.
        workers = sorted(self.client.scheduler_info()["workers"])
        return [self.client.get_executor(pure=False, workers=[address]) for address in workers for _ in range(2)]

    def __exit__(self, *exc):
        self.client.close()
        self.cluster.close()


@pytest.fixture(params=["local", "s3"])
def shared_store(request, tmp_path, monkeypatch):
    if request.param == "s3":
        request.getfixturevalue("s3_endpoint")
        monkeypatch.setenv("LUMORA_SIMULATIONS_DIR", f"s3://{BUCKET}/{uuid.uuid4().hex}/store")
    else:
        monkeypatch.setenv("LUMORA_SIMULATIONS_DIR", str(tmp_path / "store"))
    return request.param


@pytest.mark.parametrize("engine", [ProcessPools, DaskExecutor], ids=["processes", "dask"])
def test_four_sweeps_at_once_simulate_each_identity_once(shared_store, tmp_path, engine):
    """200 tasks over 50 identities: four sweeps in the same order, so that
    each identity is missed by the 4 worker processes at once."""
    solver = Solver(str(tmp_path / "runs"), seconds=0.05)
    points = [{"gap": round(0.1 + i / 100, 2)} for i in range(50)]
    summaries = []
    with engine() as executors:

        def one_sweep(executor):
            summaries.append(lumora.sweep(solver, points, **FIXED, executor=executor))

        threads = [threading.Thread(target=one_sweep, args=(executor,)) for executor in executors]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    assert len(summaries) == 4 and all(None not in s.records for s in summaries)
    assert solver.count() == 50
    assert sum(s.simulated for s in summaries) == 50
