"""Saving results, the result file, and reading results back."""

from __future__ import annotations

import errno
import hashlib
import json
import os
import re
import socket
from datetime import UTC, datetime
from types import SimpleNamespace

import orjson
import pydantic
import pytest
from conftest import entries, identity, outcome

import lumora

SAVE = "save_simulation_result"
FIND = "find_simulation_result"
FIELDS = [
    "component_name",
    "factory_name",
    "component_settings",
    "model_parameters",
    "hyperparameters",
    "simulation_type",
    "simulation_id",
    "pdk_name",
    "pdk_version",
    "simulation_date",
    "lumora_version",
    "result",
    "wavelengths",
    "execution_time_seconds",
    "status",
    "error_message",
]
REQUIRED = FIELDS[:6] + ["result", "wavelengths", "execution_time_seconds"]


def oracle(fields):
    data = {**fields, "hyperparameters": fields["hyperparameters"].model_dump()}
    return hashlib.sha256(json.dumps(data, sort_keys=True).encode()).digest()[:8].hex()


SAVED = f"mmi1x2_{oracle(identity())}.json"  # the file of the default identity


def tree(root):
    """Everything below the root, relative to it; None when the root is absent."""
    return sorted(str(p.relative_to(root)) for p in root.rglob("*")) if root.exists() else None


class Boom(Exception):
    pass


def boom(*args, **kwargs):
    raise Boom


def save(ss, **changes):
    return ss.save_simulation_result(**identity(), **outcome(**changes))


# ------------------------------------------------------------------ saving


def test_round_trip(ss, store, logs, monkeypatch):
    monkeypatch.setenv("LUMORA_PDK", "kit9")
    before = datetime.now(UTC)
    rec = save(ss)
    after = datetime.now(UTC)
    path = store / "sparams" / SAVED
    assert rec.simulation_id == oracle(identity())
    assert (rec.pdk_name, rec.lumora_version) == ("kit9", lumora.__version__)
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{6})?\+00:00", rec.simulation_date)
    assert before <= datetime.fromisoformat(rec.simulation_date) <= after
    assert tree(store) == ["sparams", f"sparams/{SAVED}"]
    assert path.read_bytes() == orjson.dumps(rec.model_dump(), option=orjson.OPT_INDENT_2)
    assert logs() == [("DEBUG", f"Saved simulation result: {path}")]

    reordered = identity(component_settings={"length": 10, "width": 0.5})
    assert ss.find_simulation_result(**dict(reversed(reordered.items()))) == rec
    assert ss.load_simulation_result(rec.simulation_id) == rec
    assert len(logs()) == 1


@pytest.mark.parametrize(
    "change",
    [
        {"component_name": "mmi1x2b"},
        {"factory_name": "f"},
        {"component_settings": {"width": 0.5, "length": 10.0}},
        {"model_parameters": {"neff": 2.4, "ng": 4.2}},
        {"hyperparameters": SimpleNamespace(model_dump=dict)},
        {"simulation_type": "Sparams"},
    ],
)
def test_changed_identity_is_a_cache_miss(ss, store, change):
    save(ss)
    assert ss.find_simulation_result(**identity(**change)) is None


def test_saving_again_overwrites(ss, store):
    first = save(ss, result={"v": 1})
    second = save(ss, result={"v": 2}, status="error", error_message="diverged", pdk_version="2.1")
    assert first.simulation_id == second.simulation_id
    assert len(tree(store)) == 2
    assert ss.load_simulation_result(first.simulation_id) == second
    assert datetime.fromisoformat(second.simulation_date) >= datetime.fromisoformat(first.simulation_date)


def test_save_goes_through_module_globals(ss, store, monkeypatch):
    made, ids, messages = [], [], []
    real = ss.StoredSimulationResult

    def record(*args, **kwargs):
        made.append((args, kwargs, real(*args, **kwargs)))
        return made[-1][2]

    monkeypatch.setattr(ss, "StoredSimulationResult", record)
    monkeypatch.setattr(ss, "_compute_simulation_id", lambda *a, **kw: ids.append((a, kw)) or "00000000000000ff")
    monkeypatch.setattr(ss, "get_pdk_name", lambda: None)
    monkeypatch.setattr(ss, "log", lambda: SimpleNamespace(debug=messages.append))
    fields = identity()
    rec = ss.save_simulation_result(**fields, **outcome(execution_time_seconds=3))

    assert ids == [((), fields)] and list(ids[0][1]) == list(fields)
    [(args, kwargs, built)] = made
    assert rec is built and args == () and list(kwargs) == FIELDS
    assert kwargs["hyperparameters"] is fields["hyperparameters"]
    assert kwargs["component_settings"] is fields["component_settings"]
    assert type(kwargs["execution_time_seconds"]) is float and kwargs["execution_time_seconds"] == 3.0
    picked = [kwargs[k] for k in ("simulation_id", "pdk_name", "status", "error_message", "pdk_version")]
    assert picked == ["00000000000000ff", None, "success", "", ""]
    path = store / "sparams" / "mmi1x2_00000000000000ff.json"
    assert messages == [f"Saved simulation result: {path}"]
    assert path.read_bytes() == orjson.dumps(rec.model_dump(), option=orjson.OPT_INDENT_2)


@pytest.mark.parametrize(
    "name, line, left",
    [
        ("_compute_simulation_id", 161, None),
        ("_get_simulation_file_path", 171, None),
        ("StoredSimulationResult", 176, ["sparams"]),
        ("get_pdk_name", 184, ["sparams"]),
        ("log", 203, ["sparams", f"sparams/{SAVED}"]),
    ],
)
def test_save_collaborator_failures_propagate(ss, store, monkeypatch, name, line, left):
    monkeypatch.setattr(ss, name, boom)
    with pytest.raises(Boom) as info:
        save(ss)
    assert entries(info.value) == [(SAVE, line)]
    assert tree(store) == left


@pytest.mark.parametrize("method", ["write_bytes", "replace"])
def test_failed_write_keeps_the_previous_file(ss, store, monkeypatch, logs, method):
    save(ss)
    path = store / "sparams" / SAVED
    before = path.read_bytes()
    base = type(store)

    def fail(self, *args):
        if method == "write_bytes":
            base.write_bytes(self, args[0][:10])  # what a full disk leaves behind
        raise OSError(errno.ENOSPC, "No space left on device")

    failing = type("Failing", (base,), {method: fail})
    monkeypatch.setattr(ss, "get_simulations_dir", lambda: failing(store))
    with pytest.raises(OSError) as info:
        save(ss, result={"v": 2})
    assert info.value.errno == errno.ENOSPC
    assert entries(info.value) == [(SAVE, 196)]
    assert tree(store) == ["sparams", f"sparams/{SAVED}"]
    assert path.read_bytes() == before
    assert len(logs()) == 1


TEMPORARY = re.compile(r"\.(.*)\.node-7\.example-[0-9a-f]{16}\.tmp")


@pytest.mark.parametrize(
    "component",
    ["a" * 233, "é" * 116, "€" * 77, "😀" * 58, "x" * 211, "c"],
    ids=["ascii-255", "2-byte", "3-byte", "4-byte", "fits", "short"],
)
def test_every_name_the_file_system_takes_saves(ss, store, monkeypatch, component):
    written = []
    base = type(store)
    recording = type(
        "Recording",
        (base,),
        {"write_bytes": lambda self, data: written.append(self.name) or base.write_bytes(self, data)},
    )
    monkeypatch.setattr(ss, "get_simulations_dir", lambda: recording(store))
    monkeypatch.setattr(socket, "gethostname", lambda: "node-7.example")
    record = ss.save_simulation_result(**identity(component_name=component), **outcome())
    name = f"{component}_{record.simulation_id}.json"
    assert [p.name for p in (store / "sparams").iterdir()] == [name]
    assert ss.load_simulation_result(record.simulation_id) == record
    [temporary] = written
    stem = TEMPORARY.fullmatch(temporary)[1]
    size = len(os.fsencode(temporary))
    assert name.startswith(stem) and size <= 255
    assert stem == name or size > 255 - len(os.fsencode(name[len(stem)])), "cut no shorter than needed"


def test_a_name_too_long_for_the_file_system_leaves_nothing(ss, store):
    with pytest.raises(OSError) as info:
        ss.save_simulation_result(**identity(component_name="a" * 234), **outcome())
    assert info.value.errno == errno.ENAMETOOLONG
    assert tree(store) == ["sparams"]


MISSING = object()


@pytest.mark.parametrize(
    "args, changes, error, tb",
    [
        ((), None, "save_simulation_result() needs keyword-only argument component_name", [(SAVE, 126)]),
        ((1,), {}, "save_simulation_result() takes exactly 0 positional arguments (1 given)", [(SAVE, 126)]),
        *[
            ((), {name: MISSING}, f"save_simulation_result() needs keyword-only argument {name}", [(SAVE, 126)])
            for name in REQUIRED
        ],
        ((), {"wavelengths": (1.55,)}, "Argument 'wavelengths' has incorrect type (expected list, got tuple)", []),
        ((), {"error_message": None}, "Argument 'error_message' has incorrect type (expected str, got NoneType)", []),
        ((), {"execution_time_seconds": None, "component_name": 1}, "must be real number, not NoneType", [(SAVE, 136)]),
        (
            (),
            {"simulation_type": 1},
            "Argument 'simulation_type' has incorrect type (expected str, got int)",
            [(SAVE, 161)],
        ),
    ],
)
def test_save_refuses_bad_calls_before_touching_disk(ss, store, args, changes, error, tb):
    kwargs = {} if changes is None else {**identity(), **outcome(), **changes}
    kwargs = {k: v for k, v in kwargs.items() if v is not MISSING}
    with pytest.raises(TypeError) as info:
        ss.save_simulation_result(*args, **kwargs)
    assert str(info.value) == error
    assert entries(info.value) == tb
    assert not store.exists()


class F(float):
    pass


NAN, INF = float("nan"), float("inf")
DEEP_NAN = NAN
for _ in range(100_000):
    DEEP_NAN = [DEEP_NAN]


@pytest.mark.parametrize(
    "field, value, where",
    [
        ("component_settings", {"w": NAN}, "component_settings['w'] is nan"),
        ("result", {"s21": [0.5, INF]}, "result['s21'][1] is inf"),
        ("model_parameters", {"a": ({"b": [1, (2.0, -INF)]},)}, "model_parameters['a'][0]['b'][1][1] is -inf"),
        ("result", {"s21": F(NAN)}, "result['s21'] is nan"),
        ("result", {"d": DEEP_NAN}, "result['d']" + "[0]" * 9 + "..." + "[0]" * 10 + " is nan"),
    ],
    ids=["settings", "result", "nested", "subclass", "deep"],
)
def test_non_finite_numbers_are_refused_before_touching_disk(ss, store, field, value, where):
    kwargs = {**identity(), **outcome(), field: value}
    with pytest.raises(ValueError) as info:
        ss.save_simulation_result(**kwargs)
    assert str(info.value) == where + ": only finite numbers can be saved (JSON has no NaN or infinity)"
    assert entries(info.value) == [(SAVE, 159)]
    assert not store.exists()


def test_cycles_end_the_finite_check(ss, store):
    cyclic = {"k": [0.5]}
    cyclic["k"].append(cyclic)
    with pytest.raises(TypeError, match="Recursion limit"):  # orjson's refusal, after the check
        ss.save_simulation_result(**identity(), **outcome(result=cyclic))


class S(str):
    pass


@pytest.mark.parametrize(
    "call, change, error, tb",
    [
        (SAVE, {"hyperparameters": None}, AttributeError, [(SAVE, 161), ("_compute_simulation_id", 75)]),
        (FIND, {"hyperparameters": None}, AttributeError, [(FIND, 255), ("_compute_simulation_id", 75)]),
        (SAVE, {"simulation_type": S("sparams")}, TypeError, [(SAVE, 161)]),
        (FIND, {"simulation_type": S("sparams")}, TypeError, [(FIND, 255)]),
        (SAVE, {"simulation_type": "a/b"}, ValueError, [(SAVE, 171), ("_get_simulation_file_path", 98)]),
    ],
)
def test_identity_failures_inside_save_and_find(ss, store, call, change, error, tb):
    kwargs = identity(**change) | (outcome() if call == SAVE else {})
    with pytest.raises(error) as info:
        getattr(ss, call)(**kwargs)
    assert entries(info.value) == tb
    assert not store.exists()


# ----------------------------------------------------------------- loading


def test_find_goes_through_module_globals(ss, monkeypatch):
    calls, sentinel = [], object()
    monkeypatch.setattr(ss, "_compute_simulation_id", lambda **kw: "feed")
    monkeypatch.setattr(ss, "load_simulation_result", lambda *a, **kw: calls.append((a, kw)) or sentinel)
    assert ss.find_simulation_result(**identity()) is sentinel
    assert calls == [(("feed",), {})]


def test_unknown_id(ss, store, logs):
    assert ss.load_simulation_result("0123456789abcdef") is None
    assert not store.exists() and logs() == []
    save(ss)
    assert ss.load_simulation_result("0123456789abcdef") is None
    assert len(logs()) == 1


@pytest.mark.parametrize(
    "content, error, line",
    [
        (b"{not json", orjson.JSONDecodeError, 226),
        (b'{"component_name": 1}', pydantic.ValidationError, 227),
        (None, IsADirectoryError, 226),
    ],
)
def test_unreadable_file_raises(ss, store, logs, content, error, line):
    path = store / "t1" / "c_0123456789abcdef.json"
    path.mkdir(parents=True)
    if content is not None:
        path.rmdir()
        path.write_bytes(content)
    with pytest.raises(error) as info:
        ss.load_simulation_result("0123456789abcdef")
    assert entries(info.value) == [("load_simulation_result", line)]
    assert logs() == []


def test_document_is_returned_as_it_validates(ss, store):
    rec = save(ss)
    other = store / "t2" / "x_0123456789abcdef.json"
    other.parent.mkdir()
    other.write_bytes((store / "sparams" / SAVED).read_bytes())
    assert ss.load_simulation_result("0123456789abcdef") == rec


@pytest.mark.parametrize("claims_to_exist", [False, True])
def test_vanished_file_gives_a_warning(ss, store, monkeypatch, logs, claims_to_exist):
    gone = type("Gone", (type(store),), {"exists": lambda self: claims_to_exist})(store / "t1" / "c_1.json")
    monkeypatch.setattr(ss, "_find_simulation_file", lambda sid: gone)
    assert ss.load_simulation_result("1") is None
    assert logs() == [("WARNING", f"Simulation file not found: {gone}")]
