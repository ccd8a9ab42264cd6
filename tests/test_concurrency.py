"""Several processes on one store at once.

Four worker processes save, find, load, list, delete and clear for a few
seconds, on identities of their own and on identities they share. Each keeps
a journal of what it did, with monotonic start and end times (one clock for
the whole machine), and checks every record it reads on the spot. Afterwards
the journals and the store must agree: nothing crashed or raised, no reader
met half a file, the store holds only whole records, and a result saved after
the last removal of its identity is there with one of its latest outcomes.
"""

from __future__ import annotations

import json
import logging
import multiprocessing
import os
import random
import sys
import time
import traceback

import orjson

from lumora.models import StoredSimulationResult

WORKERS = 4
SECONDS = 2.0
PAYLOAD = 2000  # numbers per result: files of a few tens of KiB, so a torn read would show
SHARED = {"s0": "ta", "s1": "ta", "s2": "tb", "s3": "tb"}


def own_keys(worker):
    return {f"w{worker}a": "ta", f"w{worker}b": "tb"}


def identity(name, kind):
    from lumora.models import SimulationHyperparameters

    return dict(
        component_name=name,
        factory_name="factory",
        component_settings={"name": name},
        model_parameters={"k": [1, 2]},
        hyperparameters=SimulationHyperparameters(),
        simulation_type=kind,
    )


def mark(record, name):
    """The (writer, seq) of a record read back, after checking it is whole."""
    result = record.result
    seq = result["seq"]
    if record.component_name != name or result["payload"] != [seq] * PAYLOAD or record.wavelengths != [float(seq)]:
        raise AssertionError(f"record of {name} is not the one written: {result.get('writer')}/{seq}")
    return [result["writer"], seq]


class Warnings(logging.Handler):
    """Keeps the store's warnings with the exception being handled, if any."""

    def __init__(self):
        super().__init__(logging.WARNING)
        self.seen = []

    def emit(self, record):
        caught = sys.exception()
        self.seen.append([record.getMessage(), type(caught).__name__ if caught else None])


def worker(store, number, seconds, journal_path):
    os.environ["LUMORA_SIMULATIONS_DIR"] = store
    from lumora.core import simulation_storage as ss

    warnings = Warnings()
    logger = logging.getLogger("lumora")
    logger.addHandler(warnings)
    logger.propagate = False

    keys = {**SHARED, **own_keys(number)}
    ids = {name: ss._compute_simulation_id(**identity(name, kind)) for name, kind in keys.items()}
    rng = random.Random(number)
    journal, errors = [], []
    seq = 0
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        op = rng.choices(["save", "load", "find", "list", "delete", "clear"], [40, 15, 15, 10, 12, 8])[0]
        name = rng.choice(list(keys))
        kind = keys[name]
        start = time.monotonic_ns()
        try:
            if op == "save":
                seq += 1
                ss.save_simulation_result(
                    **identity(name, kind),
                    result={"writer": number, "seq": seq, "payload": [seq] * PAYLOAD},
                    wavelengths=[float(seq)],
                    execution_time_seconds=0.5,
                )
                detail = [number, seq]
            elif op in ("load", "find"):
                record = (
                    ss.load_simulation_result(ids[name])
                    if op == "load"
                    else ss.find_simulation_result(**identity(name, kind))
                )
                detail = None if record is None else mark(record, name)
            elif op == "list":
                only = rng.choice([None, "ta", "tb"])
                records = ss.list_simulation_results(simulation_type=only)
                detail = [[r.component_name, *mark(r, r.component_name)] for r in records]
                name = only
            elif op == "delete":
                detail = ss.delete_simulation_result(ids[name])
            else:
                if rng.random() < 0.25:
                    op, name = "clear-type", kind
                    detail = ss.clear_simulation_results(simulation_type=kind)
                else:
                    detail = ss.clear_simulation_results(component_name=name)
        except Exception:
            errors.append([op, name, traceback.format_exc()])
            continue
        journal.append([op, name, start, time.monotonic_ns(), detail])
    with open(journal_path, "w") as f:
        json.dump({"journal": journal, "errors": errors, "warnings": warnings.seen}, f)


def run_workers(store, tmp_path):
    context = multiprocessing.get_context("spawn")
    paths = [tmp_path / f"journal{n}.json" for n in range(WORKERS)]
    processes = [context.Process(target=worker, args=(str(store), n, SECONDS, str(paths[n]))) for n in range(WORKERS)]
    for p in processes:
        p.start()
    for p in processes:
        p.join(timeout=SECONDS + 120)
    for p in processes:
        if p.is_alive():
            p.kill()
    assert [p.exitcode for p in processes] == [0] * WORKERS
    return [json.loads(path.read_text()) for path in paths]


def test_processes_share_a_store_without_loss_or_torn_files(tmp_path):
    store = tmp_path / "store"
    runs = run_workers(store, tmp_path)

    for n, run in enumerate(runs):
        assert run["errors"] == [], f"worker {n}: {run['errors'][0][2]}"
        for message, caught in run["warnings"]:
            # Files may vanish between the scan and the read; they are never half-written.
            assert caught in (None, "FileNotFoundError"), (message, caught)
    ops = [entry for run in runs for entry in run["journal"]]
    kinds = {name: kind for n in range(WORKERS) for name, kind in {**SHARED, **own_keys(n)}.items()}
    assert {op for op, *_ in ops} >= {"save", "load", "find", "list", "delete", "clear"}

    # Every record read was saved for that identity, and not after the read ended.
    saves = {}
    for op, name, start, end, detail in ops:
        if op == "save":
            saves.setdefault(name, []).append((start, end, tuple(detail)))
    started = {(name, mark_): start for name, entries in saves.items() for start, _, mark_ in entries}
    for op, name, _start, end, detail in ops:
        seen = []
        if op in ("load", "find") and detail is not None:
            seen = [(name, tuple(detail))]
        elif op == "list":
            seen = [(component, (writer, seq)) for component, writer, seq in detail]
            assert all(name is None or kinds[component] == name for component, _ in seen)
        for key in seen:
            assert key in started and started[key] < end, f"{op} returned an outcome never saved: {key}"

    # The store: whole records only, no temporary file.
    files = [p for p in store.rglob("*") if p.is_file()]
    assert not [p for p in files if not p.name.endswith(".json")], "temporary files left behind"
    final = {}
    for path in files:
        record = StoredSimulationResult.model_validate(orjson.loads(path.read_bytes()))
        assert path.parent.name == kinds[record.component_name]
        final[record.component_name] = tuple(mark(record, record.component_name))

    # A result saved after the last removal of its identity is there, with
    # one of the outcomes that could have been written last; one removed
    # after its last save is gone.
    for name, entries in saves.items():
        removals = [
            (start, end)
            for op, target, start, end, _ in ops
            if (op in ("delete", "clear") and target == name) or (op == "clear-type" and target == kinds[name])
        ]
        last_removal_end = max((end for _, end in removals), default=0)
        latest_start = max(start for start, _, _ in entries)
        if latest_start > last_removal_end:
            candidates = {mark_ for _, end, mark_ in entries if end > latest_start}
            assert final.get(name) in candidates, f"{name}: saved last, but the store holds {final.get(name)}"
        elif any(start > max(end for _, end, _ in entries) for start, _ in removals):
            assert name not in final, f"{name}: removed after its last save, but still stored"
        elif name in final:
            assert final[name] in {mark_ for _, _, mark_ in entries}
    print(
        f"{len(ops)} operations by {WORKERS} processes: "
        + ", ".join(
            f"{sum(1 for o in ops if o[0] == k)} {k}"
            for k in ["save", "load", "find", "list", "delete", "clear", "clear-type"]
        )
    )
