"""Listing stored results with filters, deleting and clearing them."""

from __future__ import annotations

import itertools
import shutil
from pathlib import PureWindowsPath
from types import SimpleNamespace

import orjson
import pytest
from conftest import entries

from lumora.models import SimulationHyperparameters

LIST = "list_simulation_results"
DAY = "2024-05-0{}T12:00:00+00:00"


class Boom(Exception):
    pass


def boom(*args, **kwargs):
    raise Boom


@pytest.fixture
def put(store):
    """Writes a result file by hand; returns its simulation ID."""
    serial = itertools.count(1)

    def put(type_dir="t1", **fields):
        doc = dict(
            component_name="mmi",
            factory_name="fab",
            component_settings={},
            model_parameters={},
            hyperparameters=SimulationHyperparameters().model_dump(),
            simulation_type=type_dir or "root",
            simulation_id=f"{next(serial):016x}",
            pdk_name="kit",
            pdk_version="",
            simulation_date=DAY.format(1),
            lumora_version="0",
            result={},
            wavelengths=[],
            execution_time_seconds=0.0,
            status="success",
            error_message="",
        )
        doc.update(fields)
        path = store / type_dir / f"{doc['component_name']}_{doc['simulation_id']}.json"
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(orjson.dumps(doc))
        return doc["simulation_id"]

    return put


def ids(ss, **filters):
    return [r.simulation_id for r in ss.list_simulation_results(**filters)]


def ordered(root, reverse):
    """The root as a path whose listings come sorted by name."""
    base = type(root)

    class Ordered(base):
        def iterdir(self):
            return iter(sorted(base.iterdir(self), reverse=reverse))

        def glob(self, pattern, **kwargs):
            return iter(sorted(base.glob(self, pattern, **kwargs), reverse=reverse))

    return Ordered(root)


# ----------------------------------------------------------------- listing


def test_missing_root_lists_nothing(ss, store, logs):
    assert ss.list_simulation_results() == []
    assert not store.exists() and logs() == []


def test_type_directories(ss, store, put):
    a = put("t1")
    b = put("t2", simulation_type="t1")  # the directory decides, not the stored type
    c = put("", simulation_date=DAY.format(2))  # lying in the root itself
    (store / "t3").mkdir()
    assert set(ids(ss)) == {a, b}
    assert ids(ss, simulation_type="t1") == [a]
    assert ids(ss, simulation_type="t2") == [b]
    assert ids(ss, simulation_type="t3") == ids(ss, simulation_type="t9") == []
    assert ids(ss, simulation_type="") == [c]


@pytest.mark.parametrize(
    "bad", [b"{", b'{"component_name": "mmi"}', b"[]", None], ids=["json", "model", "array", "dir"]
)
def test_bad_file_is_logged_and_skipped(ss, store, put, logs, bad):
    good = put("t1")
    path = store / "t1" / "bad.json"
    if bad is None:
        path.mkdir()
    else:
        path.write_bytes(bad)
    (store / "t1" / "notes.txt").write_bytes(b"{")
    assert ids(ss) == [good]
    assert logs() == [("WARNING", f"Failed to parse simulation file: {path}")]


@pytest.mark.parametrize("reverse", [False, True])
def test_newest_first_with_stable_ties(ss, store, put, monkeypatch, reverse):
    monkeypatch.setattr(ss, "get_simulations_dir", lambda: ordered(store, reverse))
    old = put("t1", simulation_date=DAY.format(1))
    tie_a = put("t1", simulation_date=DAY.format(2))
    new = put("t2", simulation_date=DAY.format(3))
    tie_b = put("t2", simulation_date=DAY.format(2))
    ties = [tie_b, tie_a] if reverse else [tie_a, tie_b]
    assert ids(ss) == [new, *ties, old]


@pytest.mark.parametrize(
    "filters, expected",
    [
        ({}, "ABCDE"),
        ({"component_name": "mmi"}, "AE"),
        ({"component_name": "mm"}, ""),
        ({"factory_name": "fab"}, "ABCE"),
        ({"factory_name": "FAB"}, ""),
        ({"pdk_name": "kit"}, "ABC"),
        ({"pdk_name": "ki"}, ""),
        ({"status": "success"}, "ABCD"),
        ({"status": "error"}, "E"),
        ({"component_name": "mmi", "status": "success", "simulation_type": "t1"}, "A"),
        ({"component_name": "mmi", "simulation_type": "t2"}, "E"),
    ],
)
def test_filters_are_exact(ss, put, filters, expected):
    made = {
        "A": put("t1", component_name="mmi"),
        "B": put("t1", component_name="mmi2"),
        "C": put("t1", component_name="MMI"),
        "D": put("t2", component_name="mmi ", factory_name="fab2", pdk_name=None),
        "E": put("t2", component_name="mmi", pdk_name="kit2", status="error"),
    }
    assert set(ids(ss, **filters)) == {made[k] for k in expected}


NAMES = ["component_name", "factory_name", "pdk_name", "status"]


class Attrs:
    """A record whose listed attributes raise when read."""

    def __init__(self, raising=(), **values):
        self.raising, self.values = raising, values

    def __getattr__(self, name):
        if name in self.raising:
            raise Boom(name)
        return self.values[name]


class OnlyNe:
    def __init__(self, answer):
        self.answer = answer

    def __ne__(self, other):
        return self.answer


class OnlyEq:
    def __init__(self, answer):
        self.answer = answer

    def __eq__(self, other):
        return self.answer


class Text(str):
    pass


@pytest.mark.parametrize(
    "value, expected",
    [
        ("x", True),
        ("X", False),
        (None, False),
        (Text("x"), True),
        (OnlyNe(False), True),
        (OnlyNe(True), False),
        (OnlyEq(True), True),
        (OnlyEq(False), False),
        (1, False),
    ],
)
@pytest.mark.parametrize("position", range(4))
def test_matches_filters_compares_by_inequality(ss, value, expected, position):
    filters = [None] * 4
    filters[position] = "x"
    record = Attrs(raising=[n for n in NAMES if n != NAMES[position]], **{NAMES[position]: value})
    assert ss._matches_filters(record, *filters) is expected


def test_matches_filters_reads_only_what_it_needs(ss):
    assert ss._matches_filters(object(), None, None, None, None) is True
    record = Attrs(raising=["factory_name", "pdk_name", "status"], component_name="a")
    assert ss._matches_filters(record, "b", "f", "k", "s") is False
    for position, line in enumerate([274, 276, 278, 280]):
        filters = ["a", None, None, None]
        filters[position] = "a"
        with pytest.raises(Boom) as info:
            ss._matches_filters(Attrs(raising=[NAMES[position]], component_name="a"), *filters)
        assert entries(info.value) == [("_matches_filters", line)]


LOOSE = SimpleNamespace(model_validate=lambda data: SimpleNamespace(**data))  # any document is a record


def interrupt(data):
    raise KeyboardInterrupt


@pytest.mark.parametrize(
    "name, value, odd, error, tb",
    [
        ("get_simulations_dir", "iterdir", None, Boom, [(LIST, 315)]),
        ("get_simulations_dir", "glob", None, Boom, [(LIST, 320)]),
        ("log", boom, b"{", Boom, [(LIST, 330)]),
        ("StoredSimulationResult", SimpleNamespace(model_validate=interrupt), None, KeyboardInterrupt, [(LIST, 323)]),
        ("StoredSimulationResult", LOOSE, b'{"simulation_date": 5}', TypeError, [(LIST, 334)]),
        ("StoredSimulationResult", LOOSE, b"{}", AttributeError, [(LIST, 334), (LIST + ".lambda", 334)]),
    ],
    ids=["iterdir", "glob", "handler", "interrupt", "uncomparable-dates", "no-date"],
)
def test_listing_failures_propagate(ss, store, put, monkeypatch, name, value, odd, error, tb):
    put("t1")
    put("t1", simulation_date=DAY.format(2))
    if odd:
        (store / "t1" / "odd.json").write_bytes(odd)
    if isinstance(value, str):  # a root whose method of that name raises
        root = type("Root", (type(store),), {value: boom})(store)
        value = lambda: root  # noqa: E731
    monkeypatch.setattr(ss, name, value)
    with pytest.raises(error) as info:
        ss.list_simulation_results()
    assert entries(info.value) == tb
    if name == "log":  # raised while the parse error was being handled
        assert isinstance(info.value.__context__, orjson.JSONDecodeError)


# ------------------------------------------------------ deleting, clearing


def test_delete(ss, store, put, logs):
    assert ss.delete_simulation_result("00000000000000aa") is False
    sid = put("t1", component_name="c_1")
    path = store / "t1" / f"c_1_{sid}.json"
    assert ss.delete_simulation_result("00000000000000aa") is False
    assert logs() == []
    assert ss.delete_simulation_result(sid) is True
    assert not path.exists() and (store / "t1").is_dir()
    assert logs() == [("DEBUG", f"Deleted simulation file: {path}")]
    assert ss.delete_simulation_result(sid) is False
    assert len(logs()) == 1


DELETE, CLEAR = "delete_simulation_result", "clear_simulation_results"


@pytest.mark.parametrize(
    "name, args, kwargs, error, line",
    [
        (DELETE, (None,), {}, "Argument 'simulation_id' has incorrect type (expected str, got NoneType)", None),
        (DELETE, (1,), {}, "Argument 'simulation_id' has incorrect type (expected str, got int)", None),
        (DELETE, (), {}, "delete_simulation_result() takes exactly 1 positional argument (0 given)", 338),
        (DELETE, ("a", "b"), {}, "delete_simulation_result() takes exactly 1 positional argument (2 given)", 338),
        (CLEAR, ("t1",), {}, "clear_simulation_results() takes exactly 0 positional arguments (1 given)", 359),
        (CLEAR, (), {"pdk_name": 1}, "Argument 'pdk_name' has incorrect type (expected str, got int)", None),
    ],
)
def test_removal_refuses_bad_calls(ss, store, put, name, args, kwargs, error, line):
    sid = put("t1")
    with pytest.raises(TypeError) as info:
        getattr(ss, name)(*args, **kwargs)
    assert str(info.value) == error
    assert entries(info.value) == ([(name, line)] if line else [])
    assert ss.load_simulation_result(sid) is not None


@pytest.mark.parametrize("error, deleted", [(FileNotFoundError, False), (PermissionError, None)])
def test_delete_when_unlink_fails(ss, store, monkeypatch, logs, error, deleted):
    def unlink(self, missing_ok=False):
        raise error

    path = type("P", (type(store),), {"exists": lambda self: True, "unlink": unlink})(store / "t1" / "c_1.json")
    monkeypatch.setattr(ss, "_find_simulation_file", lambda sid: path)
    if deleted is None:
        with pytest.raises(error) as info:
            ss.delete_simulation_result("1")
        assert entries(info.value) == [("delete_simulation_result", 352)]
    else:
        assert ss.delete_simulation_result("1") is deleted
    assert logs() == []


def test_clear(ss, store, put, logs):
    assert ss.clear_simulation_results() == 0
    assert logs() == []
    put("t1", component_name="a")
    keep = put("t1", component_name="b", pdk_name=None)
    put("t1", component_name="a", status="error")
    other = put("t2", component_name="a")
    assert ss.clear_simulation_results(component_name="zzz") == 0
    assert logs() == []
    assert ss.clear_simulation_results(component_name="a", simulation_type="t1") == 2
    assert logs()[-1] == ("DEBUG", "Cleared 2 simulation result(s)")
    assert sorted(ids(ss)) == sorted([keep, other])
    assert ss.clear_simulation_results() == 2
    assert ids(ss) == [] and sorted(p.name for p in store.iterdir()) == ["t1", "t2"]
    assert len([m for m in logs() if m[1].startswith("Deleted simulation file: ")]) == 4


@pytest.mark.parametrize("reverse", [False, True], ids=["copy-listed-first", "copy-listed-last"])
def test_clear_of_one_type_removes_only_from_its_directory(ss, store, put, monkeypatch, logs, reverse):
    kept = [put("sparams", component_name=name) for name in ("a", "b")]
    shutil.copytree(store / "sparams", store / "bk1")
    monkeypatch.setattr(ss, "get_simulations_dir", lambda: ordered(store, reverse))
    assert ss.clear_simulation_results(simulation_type="bk1") == 2
    assert list((store / "bk1").iterdir()) == []
    assert sorted(ids(ss)) == kept
    removed = sorted(m for m in logs() if m[1].startswith("Deleted"))
    assert removed == [
        ("DEBUG", f"Deleted simulation file: {store / 'bk1' / f'{n}_{i}.json'}") for n, i in zip("ab", kept)
    ]
    assert logs()[-1] == ("DEBUG", "Cleared 2 simulation result(s)")


@pytest.mark.parametrize("root", ["posix", "windows"])
@pytest.mark.parametrize("name", ["", ".", "..", "../t1", "D:x", "C:"])
def test_clear_refuses_types_outside_the_store(ss, store, put, monkeypatch, root, name):
    sid = put("t1")
    if root == "posix" and ":" in name:
        assert ss.clear_simulation_results(simulation_type=name) == 0  # a plain name there
    else:
        with monkeypatch.context() as patched, pytest.raises(ValueError) as info:
            if root == "windows":
                patched.setattr(ss, "get_simulations_dir", lambda: PureWindowsPath("C:/store"))
            ss.clear_simulation_results(simulation_type=name)
        assert str(info.value) == f"simulation_type must be a single directory name, got {name!r}"
        assert entries(info.value) == [(CLEAR, 377)]
    assert ids(ss) == [sid]


def test_clear_goes_through_module_globals(ss, store, put, monkeypatch, logs):
    older, newer = put(simulation_date=DAY.format(1)), put(simulation_date=DAY.format(2))
    asked = []
    monkeypatch.setattr(ss, "delete_simulation_result", lambda *args, **kwargs: asked.append((args, kwargs)) or False)
    assert ss.clear_simulation_results(pdk_name="kit") == 0
    assert asked == [((newer,), {}), ((older,), {})]
    assert logs() == [("DEBUG", "Cleared 0 simulation result(s)")]
    assert sorted(ids(ss)) == sorted([older, newer])

    listed = []
    monkeypatch.setattr(ss, "list_simulation_results", lambda *args, **kwargs: listed.append((args, kwargs)) or [])
    assert ss.clear_simulation_results(factory_name="f") == 0
    assert listed == [((), {"component_name": None, "factory_name": "f", "simulation_type": None, "pdk_name": None})]
    assert list(listed[0][1]) == ["component_name", "factory_name", "simulation_type", "pdk_name"]
