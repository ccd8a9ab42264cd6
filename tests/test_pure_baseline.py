"""The plain-Python baseline in bench/ and the extension behave alike.

The benchmark compares the two side by side over one store, which is only
meaningful while they compute the same IDs, write the same bytes and read each
other's files.
"""

from __future__ import annotations

import importlib.util
from datetime import datetime
from pathlib import Path

import pytest
from conftest import identity, outcome

_path = Path(__file__).resolve().parent.parent / "bench" / "pure_storage.py"
_spec = importlib.util.spec_from_file_location("pure_storage", _path)
pure = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(pure)


class _Dump:
    def __init__(self, value):
        self.value = value

    def model_dump(self):
        return self.value


class _FixedClock(datetime):
    @classmethod
    def now(cls, tz=None):
        return datetime(2025, 3, 1, 12, 0, 0, 250000, tzinfo=tz)


@pytest.fixture(params=["extension_writes", "python_writes"])
def sides(request, ss):
    """(writer, reader): each module reads what the other wrote."""
    return (ss, pure) if request.param == "extension_writes" else (pure, ss)


@pytest.mark.parametrize(
    "fields",
    [
        dict(component_settings={"width": 0.5, "length": 10}, model_parameters={}),
        dict(component_settings={"nested": {"b": [1, 2.0, None], "a": (True, "x")}}, model_parameters={"k": 1e-5}),
        dict(component_name="mmi_\u00e9\U0001f600", component_settings={"s": 'q"\\\n'}, model_parameters={}),
    ],
)
def test_ids_agree(ss, fields):
    args = identity(**fields)
    assert pure._compute_simulation_id(**args) == ss._compute_simulation_id(**args)


def test_known_id(ss):
    args = ("c1", "f1", {"width": 0.5, "length": 10}, {}, _Dump({}), "t1")
    assert pure._compute_simulation_id(*args) == ss._compute_simulation_id(*args) == "580e17f64d74a333"


def test_files_are_byte_identical(ss, store, monkeypatch):
    written = []
    for module in (ss, pure):
        monkeypatch.setattr(module, "datetime", _FixedClock)
        record = module.save_simulation_result(**identity(), **outcome(), status="error", error_message="boom")
        path = pure._get_simulation_file_path("sparams", "mmi1x2", record.simulation_id)
        written.append(path.read_bytes())
    assert written[0] == written[1]
    assert not [p for p in store.rglob("*") if p.name.endswith(".tmp")]


def test_each_reads_the_others_files(sides, store):
    writer, reader = sides
    saved = writer.save_simulation_result(**identity(), **outcome())
    assert reader.load_simulation_result(saved.simulation_id) == saved
    assert reader.find_simulation_result(**identity()) == saved
    assert reader.delete_simulation_result(saved.simulation_id) is True
    assert writer.load_simulation_result(saved.simulation_id) is None


def test_same_listing_order(ss, store):
    for i, module in enumerate([ss, pure, ss, pure, pure]):
        module.save_simulation_result(
            **identity(component_name=f"c{i % 3}", simulation_type=f"t{i % 2}"),
            **outcome(),
            status="error" if i == 3 else "success",
        )
    for filters in ({}, {"simulation_type": "t1"}, {"status": "success"}, {"component_name": "c0"}):
        expected = [r.simulation_id for r in ss.list_simulation_results(**filters)]
        assert [r.simulation_id for r in pure.list_simulation_results(**filters)] == expected
    assert pure.clear_simulation_results(simulation_type="t0") == 3
    assert ss.clear_simulation_results() == 2


class _Str(str):
    pass


@pytest.mark.parametrize(
    "name, args, kwargs",
    [
        ("list_simulation_results", ("x",), {}),
        ("list_simulation_results", (), {"status": 1}),
        ("clear_simulation_results", (), {"pdk_name": _Str("p")}),
        ("load_simulation_result", (), {}),
        ("load_simulation_result", (None,), {}),
        ("delete_simulation_result", (), {"id": "x"}),
        ("_compute_simulation_id", ("c", "f"), {"model_parameters": {}}),
        ("_matches_filters", (None, None, None, None, 2), {}),
        ("save_simulation_result", (), {**identity(), **outcome(wavelengths=(1.5,))}),
        ("save_simulation_result", (), {**identity(), **outcome(execution_time_seconds="1")}),
        ("save_simulation_result", (), {**identity(simulation_type=_Str("t")), **outcome()}),
        ("find_simulation_result", (), {**identity(hyperparameters=None)}),
        ("_get_simulation_file_path", ("..", "c", "0123456789abcdef"), {}),
        ("_get_simulation_file_path", ("t", "a/b", "0123456789abcdef"), {}),
    ],
)
def test_same_error_types(ss, store, name, args, kwargs):
    errors = []
    for module in (ss, pure):
        with pytest.raises(Exception) as info:
            getattr(module, name)(*args, **kwargs)
        errors.append(type(info.value))
    assert errors[0] is errors[1]
    assert not store.exists()


@pytest.mark.parametrize("simulation_id", ["*", "[0-9]*", "../sparams/x", "a\\b"])
def test_odd_ids_find_nothing(ss, store, simulation_id):
    pure.save_simulation_result(**identity(), **outcome())
    assert pure._find_simulation_file(simulation_id) is None
    assert ss._find_simulation_file(simulation_id) is None
