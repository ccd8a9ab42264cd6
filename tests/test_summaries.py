"""Summaries and their catalog: every answer equals a full parse of the store."""

from __future__ import annotations

import multiprocessing
import os
import random
import shutil
import sqlite3

import pytest
from conftest import identity, outcome

from lumora import _catalog, paths, summaries
from lumora.cli import main
from lumora.summaries import list_summaries, parse_condition


def _save(ss, i, **overrides):
    fields = identity(
        component_settings={"gap": round(0.1 + i / 100, 2), "length": i % 4},
        simulation_type="sparams" if i % 3 else "fdtd",
        **overrides,
    )
    return ss.save_simulation_result(**fields, **outcome(), status="error" if i % 5 == 0 else "success")


def _full(ss, **filters):
    return sorted(
        (r.simulation_id, r.factory_name, r.component_settings, r.status, len(r.result))
        for r in ss.list_simulation_results(**filters)
    )


def _listed(**filters):
    found = list_summaries(**filters)
    # The file facts too are the file's as it is now, whatever an earlier listing saw.
    assert all(s.entry.stamp == paths.local_stamp(s.path.stat()) and s.bytes == s.path.stat().st_size for s in found)
    return sorted((s.simulation_id, s.factory_name, s.component_settings, s.status, s.result_size) for s in found)


@pytest.fixture
def filled(ss, store, monkeypatch):
    monkeypatch.setattr(paths, "SETTLING_NS", 0)  # the files are trusted at once: the stamps alone decide
    for i in range(12):
        _save(ss, i)
    assert _listed() == _full(ss)  # the catalog filled
    return store


def _files(store):
    return sorted(store.glob("*/*.json"))


def _same_size_rewrite(store, rng, other):
    path = rng.choice(_files(store))
    info = path.stat()
    path.write_bytes(path.read_bytes().replace(b"mmi1x2_factory", b"MMI1X2_factory"))
    os.utime(path, ns=(info.st_atime_ns, info.st_mtime_ns))


def _rewrite(store, rng, other):
    path = rng.choice(_files(store))
    path.write_bytes(path.read_bytes().replace(b'"success"', b'"error"'))


def _rename(store, rng, other):
    path = rng.choice(_files(store))
    path.rename(path.with_name("renamed_" + path.name))


def _delete(store, rng, other):
    rng.choice(_files(store)).unlink()


def _copy_in(store, rng, other):
    source = rng.choice(_files(other))
    shutil.copy2(source, store / source.parent.name / source.name)


def _break(store, rng, other):
    rng.choice(_files(store)).write_bytes(b"{not json")


@pytest.mark.parametrize("change", [_same_size_rewrite, _rewrite, _rename, _delete, _copy_in, _break])
def test_answers_equal_full_parses_after_outside_changes(ss, filled, tmp_path, monkeypatch, change):
    other = tmp_path / "other"
    monkeypatch.setenv("LUMORA_SIMULATIONS_DIR", str(other))
    for i in range(12, 16):
        _save(ss, i, factory_name="other_factory")
    monkeypatch.setenv("LUMORA_SIMULATIONS_DIR", str(filled))
    rng = random.Random(change.__name__)
    for _ in range(3):
        change(filled, rng, other)
        assert _listed() == _full(ss)
        # The rows of files changed or gone are dropped, not left to pile up.
        with sqlite3.connect(_catalog_file(filled)) as db:
            assert db.execute("SELECT count(*) FROM files").fetchone()[0] == len(_files(filled))
        assert _listed(simulation_type="sparams", status="success") == _full(
            ss, simulation_type="sparams", status="success"
        )


def _catalog_file(store):
    (found,) = [p for p in os.scandir(os.environ["LUMORA_CATALOG"]) if p.name.endswith(".sqlite")]
    return found.path


@pytest.mark.parametrize("damage", ["corrupt", "deleted", "locked", "wrong rows", "zeroed rows"])
def test_a_damaged_catalog_is_never_trusted(ss, filled, damage):
    catalog = _catalog_file(filled)
    _rewrite(filled, random.Random(1), None)
    held = None
    if damage == "corrupt":
        for name in (catalog, catalog + "-wal"):
            if os.path.exists(name):
                with open(name, "r+b") as file:
                    file.write(b"garbage" * 100)
    elif damage == "deleted":
        os.unlink(catalog)
    elif damage == "locked":
        held = sqlite3.connect(catalog, isolation_level=None)
        held.execute("PRAGMA locking_mode = EXCLUSIVE")
        held.execute("BEGIN EXCLUSIVE")
    else:
        # Four zero bytes pass the CRC (that of nothing): the kind must be checked too.
        payload = "x'7b7b'" if damage == "wrong rows" else "zeroblob(4)"
        with sqlite3.connect(catalog) as db:
            db.execute(f"UPDATE files SET payload = {payload}")
    try:
        assert _listed() == _full(ss)
    finally:
        if held is not None:
            held.close()
    assert _listed() == _full(ss)
    with sqlite3.connect(_catalog_file(filled)) as db:
        assert db.execute("SELECT count(*) FROM files").fetchone()[0] == len(_files(filled))


def _list_in_child(store, catalog, queue):
    os.environ.update(LUMORA_SIMULATIONS_DIR=str(store), LUMORA_CATALOG=catalog)
    paths.SETTLING_NS = 0
    queue.put([_listed() for _ in range(5)])


def test_processes_update_one_catalog_at_once(ss, filled):
    rng = random.Random(2)
    _rewrite(filled, rng, None)
    _delete(filled, rng, None)
    context = multiprocessing.get_context("spawn")
    queue = context.Queue()
    children = [
        context.Process(target=_list_in_child, args=(filled, os.environ["LUMORA_CATALOG"], queue)) for _ in range(3)
    ]
    for child in children:
        child.start()
    answers = [queue.get(timeout=120) for _ in children]
    for child in children:
        child.join()
    assert all(answer == _full(ss) for listed in answers for answer in listed)
    assert _listed() == _full(ss)


@pytest.mark.parametrize("reader", [False, True])
def test_a_long_log_is_emptied_after_a_write_unless_another_process_reads(ss, filled, monkeypatch, reader):
    monkeypatch.setattr(_catalog, "_WAL_KEPT", 0)
    log = _catalog_file(filled) + "-wal"
    other = sqlite3.connect(_catalog_file(filled), isolation_level=None)
    if reader:
        other.execute("BEGIN")
        other.execute("SELECT count(*) FROM files").fetchone()
    try:
        _rewrite(filled, random.Random(3), None)
        assert _listed() == _full(ss)  # neither waits for the reader nor fails
        assert (os.path.getsize(log) > 0) == reader
    finally:
        other.close()


def test_recent_files_are_read_again_until_their_stamps_settle(ss, store, monkeypatch):
    _save(ss, 1)
    list_summaries()
    path = _files(store)[0]
    reads = []
    real = paths.read_regular_file_and_stat
    monkeypatch.setattr(paths, "read_regular_file_and_stat", lambda p: reads.append(p) or real(p))
    list_summaries()
    assert reads == [path]  # just written: its stamp may not tell the next write apart yet
    monkeypatch.setattr(paths, "SETTLING_NS", 0)
    list_summaries()
    reads.clear()
    list_summaries()
    assert reads == []


def test_a_listing_without_catalog_is_the_same(ss, filled, monkeypatch):
    monkeypatch.setenv("LUMORA_CATALOG", "0")
    _rename(filled, random.Random(3), None)
    assert _listed() == _full(ss)


@pytest.mark.parametrize(
    ("condition", "ids"),
    [
        ("gap=0.12", [2]),
        ("gap == 0.12", [2]),
        ("component_settings.length>2", [3, 7]),
        ("length<=0", [0, 4, 8]),
        ("model_parameters.neff!=2.4", []),
        ("neff=2.4", list(range(10))),
        ("hyperparameters.mesh_resolution>=20", list(range(10))),
        ("status=error", [0, 5]),
        ("component_name=mmi1x2", list(range(10))),
        ("gap=0.1x", []),  # text against a number: differs
        ("gap!=text", list(range(10))),
        ("missing=1", []),
        ("missing!=1", []),
    ],
)
def test_conditions(ss, store, condition, ids):
    saved = [_save(ss, i).simulation_id for i in range(10)]
    assert sorted(s.simulation_id for s in list_summaries(where=condition)) == sorted(saved[i] for i in ids)


@pytest.mark.parametrize("text", ["gap", "=1", "gap<true", "gap>[1]", "a..b=1"])
def test_conditions_that_are_none(text):
    with pytest.raises(ValueError, match="invalid condition"):
        parse_condition(text)


def test_list_shows_and_filters_on_the_settings_that_vary(ss, store, capsys):
    for i in range(4):
        _save(ss, i)
    assert main(["list", "--where", "length>=2", "--wide"]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[0].split()[-2:] == ["gap", "length"]
    assert sorted(line.split()[-2:] for line in lines[1:]) == [["0.12", "2"], ["0.13", "3"]]
    assert main(["list", "--where", "gap<<1"]) == 0
    assert main(["list", "--where", "gap"]) == 2


@pytest.mark.parametrize(
    "values",
    [
        [1, 1],
        [1, 1.0],
        [1, True],
        [0, False],
        [0.0, -0.0],
        [2.5, 2.5],
        [2.5, 2.5, "2.5"],
        ["a", "a"],
        [None, None],
        [None, summaries.MISSING],
        [summaries.MISSING, 1],
        [{"a": 1}, {"a": 1.0}],
        [[1], [1]],
    ],
)
def test_settings_vary_as_their_json_does(values):
    assert summaries._all_same(values) == (len({summaries._same_as(v) for v in values}) == 1)


def test_a_missing_store_lists_nothing_and_gets_no_catalog(store):
    assert list_summaries() == [] and os.listdir(os.environ["LUMORA_CATALOG"]) == []
