"""Single flight across processes: the OS lock on the local disk, leases on
S3 (a moto server on 127.0.0.1)."""

from __future__ import annotations

import multiprocessing
import os
import signal
import threading
import time
import uuid
from concurrent.futures import ProcessPoolExecutor
from datetime import UTC, datetime, timedelta
from pathlib import Path

import pytest
from conftest import identity

from lumora import settings, upkeep
from lumora._lease import LeaseRecord
from lumora.cache import get_or_simulate

pytest.importorskip("s3fs")
import test_remote

# S3 on 127.0.0.1, as test_remote serves it.
s3_endpoint, s3_store, faults = test_remote.s3_endpoint, test_remote.s3_store, test_remote.faults

SPAWN = multiprocessing.get_context("spawn")  # no fork of a process with server and event-loop threads


def kinds():
    """The last name part of each file beside the results: "json", "lease", "lock"."""
    return sorted(e.name.rsplit(".", 1)[-1] for e in (settings.get_simulations_dir() / "sparams").entries())


def simulate_once(task: int, identities: int, runs: str, hold: float = 0.05) -> str:
    """One task of a sweep: each run of the solver leaves a file in runs."""

    def solver():
        Path(runs, uuid.uuid4().hex).touch()
        time.sleep(hold)
        return {"s21": [float(task % identities)]}, [1.55]

    fields = identity(component_settings={"width": task % identities})
    return get_or_simulate(**fields, simulate=solver).simulation_id


@pytest.fixture(params=["local", "s3"])
def shared(request, tmp_path, monkeypatch):
    """A fresh store on the local disk or on S3, and a directory that counts the solver's runs."""
    if request.param == "s3":
        request.getfixturevalue("s3_store")
    else:
        monkeypatch.setenv("LUMORA_SIMULATIONS_DIR", str(tmp_path / "store"))
    (tmp_path / "runs").mkdir()
    return tmp_path / "runs"


def test_four_processes_run_the_solver_once_per_identity(shared):
    identities, tasks = 5, 200
    with ProcessPoolExecutor(4, mp_context=SPAWN) as pool:
        done = list(pool.map(simulate_once, range(tasks), [identities] * tasks, [str(shared)] * tasks))
    assert len(set(done)) == identities and len(os.listdir(shared)) == identities
    assert kinds() == ["json"] * identities


@pytest.mark.parametrize("fails", [False, True])
def test_a_lease_goes_with_its_use(shared, fails):
    def solver():
        assert "lease" in kinds() or "lock" in kinds()
        if fails:
            raise RuntimeError("diverged")
        return {"s21": [1.0]}, [1.55]

    with pytest.raises(RuntimeError) if fails else pytest.MonkeyPatch.context():
        get_or_simulate(**identity(), simulate=solver)
    assert kinds() == ["json"]


def hold_forever(runs: str) -> None:
    simulate_once(0, 1, runs, hold=3600)


def test_a_killed_holder_is_taken_over_within_the_lease_time(s3_store, tmp_path, monkeypatch, logs):
    lease = 2.0
    monkeypatch.setenv("LUMORA_LEASE_SECONDS", str(lease))
    runs = tmp_path / "runs"
    runs.mkdir()
    holder = SPAWN.Process(target=hold_forever, args=(str(runs),))
    holder.start()
    try:
        for _ in range(600):  # until its solver runs, 60 s at most
            if os.listdir(runs) or not holder.is_alive():
                break
            time.sleep(0.1)
        assert os.listdir(runs), "the holder never started"
        started = []
        waiter = threading.Thread(target=lambda: started.append(simulate_once(0, 1, str(runs))))
        waiter.start()
        time.sleep(lease / 2)  # the waiter has seen the lease renewed
        assert len(os.listdir(runs)) == 1, "the waiter did not wait"
        os.kill(holder.pid, signal.SIGKILL)
        killed = time.time()
        waiter.join(60)
        taken_over = max(os.stat(runs / name).st_mtime for name in os.listdir(runs))
    finally:
        holder.kill()
        holder.join()
    assert started and len(os.listdir(runs)) == 2
    assert 0 < taken_over - killed <= lease + 2
    assert kinds() == ["json"]
    assert any(
        m.startswith(f"Took over the expired lease on {started[0]} from process {holder.pid}") for _, m in logs()
    )


@pytest.mark.parametrize("header", ["HTTP_IF_NONE_MATCH", "HTTP_IF_MATCH"])
def test_a_store_that_ignores_conditional_writes_is_detected(faults, s3_store, logs, header):
    faults.strip = (header,)
    root = settings.get_simulations_dir()
    assert (root / "t" / "c_0123456789abcdef.json").single_flight("0123456789abcdef") is None
    get_or_simulate(**identity(), simulate=lambda: ({"s21": [1.0]}, [1.55]))
    warned = [m for level, m in logs() if level == "WARNING"]
    assert warned == [
        f"No single flight on {root} (it ignores conditional writes): "
        "processes that miss the same result at once all simulate it"
    ]
    assert "lease" not in kinds()


def test_expired_leases_are_counted_and_tidied(shared):
    root = settings.get_simulations_dir()
    (root / "sparams").mkdir(parents=True, exist_ok=True)
    now = datetime.now(UTC)
    for name, expires in [("old", now - timedelta(minutes=1)), ("new", now + timedelta(minutes=1))]:
        record = LeaseRecord("elsewhere", 1, expires, name)
        (root / "sparams" / f".{name}_0123456789abcdef.json.lease").write_bytes(record.to_bytes())
    assert upkeep.stats().lease_files == 2
    report = upkeep.tidy()
    assert [os.path.basename(t.path) for t in report.removed] == [".old_0123456789abcdef.json.lease"]
    assert report.recent == 1 and upkeep.stats().lease_files == 1
