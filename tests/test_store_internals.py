"""Store internals: traceback entries, atomic saves, files vanishing mid-call,
the listing's exception handling, reference leaks."""

from __future__ import annotations

import contextlib
import gc
import pathlib
import re
import sys
import types

import orjson
import pytest
from conftest import entries, identity, outcome

PathType = type(pathlib.Path())


class Recorder:
    """A logger standing in for log(): keeps (level, message, handled exception)."""

    def __init__(self, fail=None):
        self.calls = []
        self.fail = fail

    def _log(self, level, message):
        self.calls.append((level, message, sys.exception()))
        if self.fail is not None:
            raise self.fail

    def debug(self, message):
        self._log("debug", message)

    def warning(self, message):
        self._log("warning", message)


@pytest.mark.parametrize(
    ("call", "error", "expected"),
    [
        (
            lambda ss, hp: ss._compute_simulation_id("c", "f", {}, {}, None, "t"),
            AttributeError,
            [("_compute_simulation_id", 75)],
        ),
        (
            lambda ss, hp: ss._compute_simulation_id("c", "f", {"x": {1}}, {}, hp, "t"),
            TypeError,
            [("_compute_simulation_id", 79)],
        ),
        (
            lambda ss, hp: ss.save_simulation_result(**identity(hyperparameters=None), **outcome()),
            AttributeError,
            [("save_simulation_result", 161), ("_compute_simulation_id", 75)],
        ),
        (
            lambda ss, hp: ss.find_simulation_result(**identity(hyperparameters=None)),
            AttributeError,
            [("find_simulation_result", 255), ("_compute_simulation_id", 75)],
        ),
        (
            lambda ss, hp: ss._get_simulation_file_path("a/b", "c", "0" * 16),
            ValueError,
            [("_get_simulation_file_path", 98)],
        ),
        (
            lambda ss, hp: ss._get_simulation_file_path("t", "c/d", "0" * 16),
            ValueError,
            [("_get_simulation_file_path", 100)],
        ),
        (
            lambda ss, hp: ss._matches_filters(object(), None, "f", None, None),
            AttributeError,
            [("_matches_filters", 276)],
        ),
    ],
    ids=["model_dump", "dumps", "save-inner", "find-inner", "type-dir", "component", "filter"],
)
def test_one_entry_per_function_at_failing_line(ss, store, hp, call, error, expected):
    with pytest.raises(error) as info:
        call(ss, hp)
    assert entries(info.value) == expected


@pytest.mark.parametrize(
    ("simulation_type", "component_name", "argument"),
    [
        ("", "c", "simulation_type"),
        (".", "c", "simulation_type"),
        ("..", "c", "simulation_type"),
        ("a/b", "c", "simulation_type"),
        ("a\\b", "c", "simulation_type"),
        ("a\0b", "c", "simulation_type"),
        ("t", "../c", "component_name"),
        ("t", "c\\d", "component_name"),
        ("t", "c\0d", "component_name"),
    ],
)
def test_unsafe_path_parts_refused_before_anything_is_created(ss, store, simulation_type, component_name, argument):
    bad = simulation_type if argument == "simulation_type" else component_name
    with pytest.raises(ValueError, match=re.escape(repr(bad))) as info:
        ss._get_simulation_file_path(simulation_type, component_name, "0" * 16)
    assert str(info.value).startswith(argument)
    assert not store.exists()


def test_ids_match_literally(ss, store, hp, monkeypatch):
    saved = ss.save_simulation_result(**identity(), **outcome())
    for pattern in ["*", "?" * 16, "[0-9a-f]" + saved.simulation_id[1:], "*" + saved.simulation_id[-4:]]:
        assert ss._find_simulation_file(pattern) is None
    assert ss._find_simulation_file(saved.simulation_id).name.endswith(saved.simulation_id + ".json")

    # An ID with a separator has no file: settled without asking the settings.
    def broken():
        raise RuntimeError("settings consulted")

    monkeypatch.setattr(ss, "get_simulations_dir", broken)
    for odd in ["../" + saved.simulation_id, "x\\y"]:
        assert ss._find_simulation_file(odd) is None
    with pytest.raises(RuntimeError):
        ss._find_simulation_file(saved.simulation_id)


def test_failed_write_keeps_previous_file_and_removes_temporary(ss, store, hp, monkeypatch):
    first = ss.save_simulation_result(**identity(), **outcome())
    path = ss._find_simulation_file(first.simulation_id)
    before = path.read_bytes()
    written = []

    class Flaky(PathType):
        def write_bytes(self, data):
            written.append(self.name)
            super().write_bytes(data[:5])
            raise OSError("disk full")

    real = ss._get_simulation_file_path
    monkeypatch.setattr(ss, "_get_simulation_file_path", lambda *args: Flaky(real(*args)))
    with pytest.raises(OSError, match="disk full") as info:
        ss.save_simulation_result(**identity(), **outcome(result={"s21": [9.0]}))
    assert entries(info.value) == [("save_simulation_result", 196)]
    [name] = written
    assert re.fullmatch(re.escape("." + path.name) + r"\.[A-Za-z0-9._-]+-[0-9a-f]{16}\.tmp", name)
    assert path.read_bytes() == before
    assert [p.name for p in path.parent.iterdir()] == [path.name]


def test_failed_move_removes_temporary(ss, store, hp):
    target = ss._get_simulation_file_path("sparams", "mmi1x2", ss._compute_simulation_id(**identity()))
    target.mkdir()  # a directory where the file belongs: the move fails
    with pytest.raises(OSError) as info:
        ss.save_simulation_result(**identity(), **outcome())
    assert entries(info.value) == [("save_simulation_result", 196)]
    assert [p.name for p in target.parent.iterdir()] == [target.name]


class Vanishing(PathType):
    """A file that exists at the test and is gone when used."""

    def exists(self, **kwargs):
        return True


class Unreadable(Vanishing):
    def read_bytes(self):
        raise PermissionError("no access")

    def unlink(self, missing_ok=False):
        raise PermissionError("no access")


@pytest.mark.parametrize(
    ("function", "expected", "message"),
    [("load_simulation_result", None, "Simulation file not found: "), ("delete_simulation_result", False, None)],
)
def test_file_vanishing_after_existence_test(ss, store, monkeypatch, function, expected, message):
    gone = Vanishing(store / "t" / "c_0123456789abcdef.json")
    monkeypatch.setattr(ss, "_find_simulation_file", lambda simulation_id: gone)
    logger = Recorder()
    monkeypatch.setattr(ss, "log", lambda: logger)
    assert getattr(ss, function)("0123456789abcdef") is expected
    assert [m for _, m, _ in logger.calls] == ([message + str(gone)] if message else [])


@pytest.mark.parametrize(("function", "line"), [("load_simulation_result", 226), ("delete_simulation_result", 352)])
def test_other_access_errors_propagate(ss, store, monkeypatch, function, line):
    locked = Unreadable(store / "t" / "c_0123456789abcdef.json")
    monkeypatch.setattr(ss, "_find_simulation_file", lambda simulation_id: locked)
    with pytest.raises(PermissionError) as info:
        getattr(ss, function)("0123456789abcdef")
    assert entries(info.value) == [(function, line)]


@pytest.fixture
def one_good_one_bad(ss, store, hp):
    saved = ss.save_simulation_result(**identity(), **outcome())
    bad = store / "sparams" / "bad_0000000000000000.json"
    bad.write_text("{")
    return saved, bad


def test_listing_handler_runs_with_caught_exception_handled(ss, one_good_one_bad, monkeypatch):
    saved, bad = one_good_one_bad
    logger = Recorder()
    monkeypatch.setattr(ss, "log", lambda: logger)
    outer = KeyError("outer")
    try:
        raise outer
    except KeyError:
        records = ss.list_simulation_results()
        assert sys.exception() is outer
    assert [r.simulation_id for r in records] == [saved.simulation_id]
    [(level, message, caught)] = logger.calls
    assert (level, message) == ("warning", f"Failed to parse simulation file: {bad}")
    assert isinstance(caught, orjson.JSONDecodeError)
    assert entries(caught) == [("list_simulation_results", 322)]


def test_listing_handler_failure_propagates(ss, one_good_one_bad, monkeypatch):
    monkeypatch.setattr(ss, "log", lambda: Recorder(fail=RuntimeError("logger down")))
    with pytest.raises(RuntimeError, match="logger down") as info:
        ss.list_simulation_results()
    assert entries(info.value) == [("list_simulation_results", 330)]
    assert isinstance(info.value.__context__, orjson.JSONDecodeError)
    assert sys.exception() is None


def test_listing_lets_base_exceptions_through(ss, one_good_one_bad, monkeypatch):
    class Stop(BaseException):
        pass

    def loads(data):
        raise Stop

    logger = Recorder()
    monkeypatch.setattr(ss, "log", lambda: logger)
    monkeypatch.setattr(ss, "orjson", types.SimpleNamespace(loads=loads))
    with pytest.raises(Stop) as info:
        ss.list_simulation_results()
    assert entries(info.value) == [("list_simulation_results", 322)]
    assert logger.calls == []


def test_sort_key_failure_carries_both_entries(ss, store, hp, monkeypatch):
    for name in ("a", "b"):
        ss.save_simulation_result(**identity(component_name=name), **outcome())

    class Dateless:
        @staticmethod
        def model_validate(data):
            data.pop("simulation_date")
            return types.SimpleNamespace(**data)

    monkeypatch.setattr(ss, "StoredSimulationResult", Dateless)
    with pytest.raises(AttributeError) as info:
        ss.list_simulation_results()
    assert entries(info.value) == [("list_simulation_results", 334), ("list_simulation_results.lambda", 334)]


def test_no_reference_leaks(ss, store, hp):
    def workload():
        saved = ss.save_simulation_result(**identity(), **outcome())
        ss.find_simulation_result(**identity())
        ss.list_simulation_results(component_name="mmi1x2", status="error")
        ss.load_simulation_result("*")
        with contextlib.suppress(ValueError):
            ss._get_simulation_file_path("a/b", "c", "0" * 16)
        with contextlib.suppress(AttributeError):
            ss._compute_simulation_id("c", "f", {}, {}, None, "t")
        with contextlib.suppress(AttributeError):
            ss._matches_filters(None, "c", None, None, None)
        ss.delete_simulation_result(saved.simulation_id)
        ss.save_simulation_result(**identity(), **outcome())
        ss.clear_simulation_results()

    # A leak grows in every window; warm-up effects (caches filling) do not.
    for _ in range(50):
        workload()
    growth = []
    for _ in range(3):
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(200):
            workload()
        gc.collect()
        growth.append(sys.getallocatedblocks() - before)
    assert min(growth) < 100, growth


def test_filter_attribute_reads_follow_class_changes(ss):
    class Base:
        pass

    class Record(Base):
        pass

    def matches(record, name):
        return ss._matches_filters(record, name, None, None, None)

    record = Record()
    record.component_name = "a"
    assert matches(record, "a")
    Base.component_name = property(lambda self: "from base")  # a data descriptor now takes precedence
    assert matches(record, "from base")
    del Base.component_name
    assert matches(record, "a")

    class Hooked:
        def __getattr__(self, name):
            return "hooked"

    assert matches(Hooked(), "hooked")
    record.__class__ = Hooked
    del record.component_name
    assert matches(record, "hooked")
    assert not matches(record, "a")

    # A comparison that rebinds the record's dict: later filters read the new one.
    class Rebinding:
        def __ne__(self, other):
            plain.__dict__ = {"factory_name": "new"}
            return False

    plain = Record()
    plain.component_name, plain.factory_name = Rebinding(), "old"
    assert ss._matches_filters(plain, "any", "new", None, None)
