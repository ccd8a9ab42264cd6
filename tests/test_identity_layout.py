"""Simulation IDs and where result files live."""

from __future__ import annotations

import hashlib
import json
import math
import re
from collections import OrderedDict
from pathlib import PurePosixPath, PureWindowsPath
from types import SimpleNamespace

import pytest
from conftest import entries

ID = "580e17f64d74a333"


class Dump:
    """Hyperparameters whose dump is a chosen value."""

    def __init__(self, value):
        self.model_dump = lambda: value


def fields(settings=None, params=None, dump=None, name="c1"):
    return dict(
        component_name=name,
        factory_name="f1",
        component_settings=settings or {},
        model_parameters=params or {},
        hyperparameters=Dump(dump or {}),
        simulation_type="t1",
    )


def oracle(case):
    text = json.dumps({**case, "hyperparameters": case["hyperparameters"].model_dump()}, sort_keys=True)
    return hashlib.sha256(text.encode()).digest()[:8].hex()


# ---------------------------------------------------------------- identity


def test_known_id(ss):
    assert ss._compute_simulation_id("c1", "f1", {"width": 0.5, "length": 10}, {}, Dump({}), "t1") == ID
    assert ss._compute_simulation_id("c1", "f1", {"length": 10, "width": 0.5}, {}, Dump({}), "t1") == ID


@pytest.mark.parametrize(
    "case",
    [
        fields({"b": {"y": 1, "x": [1, {"q": 2, "p": 3}]}, "a": 0}, {"z": {}, "m": []}),
        fields({"v": [1, 2]}),
        fields({"v": [2, 1]}),
        fields({"v": (1, 2)}, dump={"t": ((), [()])}),
        fields({"v": 1}),
        fields({"v": 1.0}),
        fields({"v": True}),
        fields({"v": [None, False]}),
        fields(name="mmi\u00b5\u2192\U0001f600"),
        fields({"s": '"\\/\n\r\t\b\f\x00\x1f\x7f\u2028\U00010000'}),
        fields({"v": [1e16, 1e-05, -0.0, math.nan, math.inf, -math.inf, 0.1, 1e15, 5e-324, 10.0]}),
        fields({10: "a", 9: "b", -1: "c"}),
        fields({2.5: 0, 0.5: 1, 1e16: 2}),
        fields({False: "f", 2: "i", 1.5: "x"}, {None: 1}),
        fields({"B": 0, "_": 1, "a": 2, "\u00e9": 3, "z": 4}),
        fields({"\U0001f600": 1, "\uffff": 2}),
        fields({"o": OrderedDict(b=1, a=2)}, dump={"mesh": {"d": 0.02}}),
        fields({"n": -(2**70), "big": 2**64}),
    ],
)
def test_id_matches_canonical_json(ss, case):
    got = ss._compute_simulation_id(**case)
    assert got == oracle(case)
    # Positional and keyword forms, in any order, name the same identity.
    assert ss._compute_simulation_id(*case.values()) == got
    assert ss._compute_simulation_id(**dict(reversed(case.items()))) == got


loop = {}
loop["self"] = loop


@pytest.mark.parametrize("where", ["settings", "params", "dump"])
@pytest.mark.parametrize(
    "value, error",
    [
        ({1, 2}, TypeError),
        (b"x", TypeError),
        (PurePosixPath("a"), TypeError),
        ({"a": 1, 2: 3}, TypeError),
        (loop, ValueError),
    ],
    ids=["set", "bytes", "path", "mixed-keys", "self-containing"],
)
def test_unserialisable_identity(ss, where, value, error):
    with pytest.raises(error) as info:
        ss._compute_simulation_id(**fields(**{where: {"v": value}}))
    assert entries(info.value) == [("_compute_simulation_id", 79)]


@pytest.mark.parametrize("hyperparameters", [None, object(), SimpleNamespace(model_dump=lambda: 1 / 0)])
def test_hyperparameters_without_dump(ss, hyperparameters):
    with pytest.raises((AttributeError, ZeroDivisionError)) as info:
        ss._compute_simulation_id(**fields() | {"hyperparameters": hyperparameters})
    assert entries(info.value) == [("_compute_simulation_id", 75)]


@pytest.mark.parametrize("name, line", [("json", 79), ("hashlib", 80)])
def test_missing_module_global(ss, monkeypatch, name, line):
    monkeypatch.delattr(ss, name)
    with pytest.raises(NameError, match=f"^name '{name}' is not defined$") as info:
        ss._compute_simulation_id(**fields())
    assert entries(info.value) == [("_compute_simulation_id", line)]


def test_replaced_json_and_hashlib_are_used(ss, monkeypatch):
    dumped, hashed = [], []
    monkeypatch.setattr(ss, "json", SimpleNamespace(dumps=lambda *a, **kw: dumped.append((a, kw)) or "fixed\u2192"))
    case = fields({"w": 1})
    assert ss._compute_simulation_id(**case) == hashlib.sha256("fixed\u2192".encode()).digest()[:8].hex()
    [((data,), kwargs)] = dumped
    assert kwargs == {"sort_keys": True} and list(data) == list(case)
    assert data["component_settings"] is case["component_settings"]

    digest = SimpleNamespace(digest=lambda: bytes(range(32)))
    monkeypatch.setattr(ss, "hashlib", SimpleNamespace(sha256=lambda b: hashed.append(b) or digest))
    assert ss._compute_simulation_id(**case) == "0001020304050607"
    assert hashed == ["fixed\u2192".encode()]


# ------------------------------------------------------------------ layout


def put(path, data=b"{}"):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)
    return path


def test_file_path_creates_missing_root(ss, store, monkeypatch):
    root = store / "deep" / "root"
    monkeypatch.setenv("LUMORA_SIMULATIONS_DIR", str(root))
    path = ss._get_simulation_file_path("t1", "c_1", ID)
    assert path == root / "t1" / f"c_1_{ID}.json"
    assert (root / "t1").is_dir() and not path.exists()
    assert ss._get_simulation_file_path("t1", "c_1", ID) == path
    assert ss._find_simulation_file(ID) is None
    put(path)
    assert ss._find_simulation_file(ID) == path


def test_file_path_where_a_file_blocks_the_root(ss, store):
    store.write_bytes(b"")
    with pytest.raises(OSError) as info:
        ss._get_simulation_file_path("t1", "c1", ID)
    assert entries(info.value) == [("_get_simulation_file_path", 99)]


@pytest.mark.parametrize(
    "argument, value, line",
    [("simulation_type", v, 98) for v in ["", ".", "..", "a/b", "a\\b", "a\0b", "/abs"]]
    + [("component_name", v, 100) for v in ["a/b", "a\\b", "a\0b", "../c"]],
)
def test_file_path_refuses_names_that_leave_their_directory(ss, store, argument, value, line):
    args = {"simulation_type": "t1", "component_name": "c1", "simulation_id": ID, argument: value}
    with pytest.raises(ValueError, match=f"^{argument}") as info:
        ss._get_simulation_file_path(**args)
    assert repr(value) in str(info.value)
    assert entries(info.value) == [("_get_simulation_file_path", line)]
    assert not store.exists()


class WindowsRoot(PureWindowsPath):
    """A store root whose paths follow Windows rules; it records the
    directories asked for instead of making them."""

    made: list = []

    def mkdir(self, parents=False, exist_ok=False):
        self.made.append(self)


@pytest.mark.parametrize(
    "simulation_type, component, refused",
    [
        ("D:x", "c1", "simulation_type"),  # another drive
        ("C:", "c1", "simulation_type"),  # the root itself
        ("C:x", "c1", "simulation_type"),  # the root, under another name
        ("t1", "D:c", "component_name"),
        ("t1", "c:1", "component_name"),
        ("t1", "c1", None),
    ],
)
def test_names_stay_one_level_below_by_the_roots_rules(ss, store, monkeypatch, simulation_type, component, refused):
    posix = ss._get_simulation_file_path(simulation_type, component, ID)
    assert posix == store / simulation_type / f"{component}_{ID}.json" and posix.parent.is_dir()

    root = WindowsRoot("C:/store")
    monkeypatch.setattr(WindowsRoot, "made", [])
    monkeypatch.setattr(ss, "get_simulations_dir", lambda: root)
    if refused is None:
        path = ss._get_simulation_file_path(simulation_type, component, ID)
        assert path == root / simulation_type / f"{component}_{ID}.json" and WindowsRoot.made == [path.parent]
        return
    value = simulation_type if refused == "simulation_type" else component
    with pytest.raises(ValueError, match=f"^{refused} .*, got {re.escape(repr(value))}$") as info:
        ss._get_simulation_file_path(simulation_type, component, ID)
    assert entries(info.value) == [("_get_simulation_file_path", 98 if refused == "simulation_type" else 100)]
    assert WindowsRoot.made == []


def test_file_path_accepts_dotted_names(ss, store):
    assert ss._get_simulation_file_path("...", "..", ID) == store / "..." / f".._{ID}.json"
    assert ss._get_simulation_file_path("t.1", ".c", ID).parent.is_dir()


def test_find_looks_one_level_below_the_root(ss, store):
    assert ss._find_simulation_file(ID) is None
    assert not store.exists()
    for misplaced in [f"c1_{ID}.json", f"t2/sub/c1_{ID}.json", f"t3/c1_{ID}.jsonx", f"t4/c1{ID}.json"]:
        put(store / misplaced)
    (store / "empty").mkdir()
    assert ss._find_simulation_file(ID) is None
    found = put(store / "t5" / f"any_prefix_{ID}.json")
    assert ss._find_simulation_file(ID) == found


@pytest.mark.parametrize("order", [["a", "b"], ["b", "a"]])
def test_first_type_directory_in_listing_order_wins(ss, store, monkeypatch, order):
    for name in "ab":
        put(store / name / f"c_{ID}.json")
    put(store / "file_in_root")

    class Root(type(store)):
        def iterdir(self):
            return iter([store / "file_in_root"] + [store / name for name in order])

    monkeypatch.setattr(ss, "get_simulations_dir", lambda: Root(store))
    assert ss._find_simulation_file(ID) == store / order[0] / f"c_{ID}.json"


@pytest.mark.parametrize("pattern", ["*", "?", "[", "[5]80e17f64d74a333", "580e17f64d74a33?", "5*"])
def test_find_matches_the_id_literally(ss, store, pattern):
    stored = put(store / "t1" / f"c1_{ID}.json")
    assert ss._find_simulation_file(pattern) is None
    assert ss.load_simulation_result(pattern) is None
    assert ss.delete_simulation_result(pattern) is False
    assert stored.exists()
    literal = put(store / "t2" / f"c1_{pattern}.json")
    assert ss._find_simulation_file(pattern) == literal


@pytest.mark.parametrize("sid, planted", [("a/b", "c_a/b.json"), ("a\\b", "c_a\\b.json")])
def test_find_refuses_ids_with_separators(ss, store, sid, planted):
    put(store / "t1" / planted)
    assert ss._find_simulation_file(sid) is None
