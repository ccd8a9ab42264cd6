"""Solver output as it comes (numpy, complex numbers) through save_result and get_or_simulate."""

from __future__ import annotations

import datetime
import enum
import json
import re
import subprocess
import sys
import uuid
from pathlib import Path

import numpy as np
import pytest
from conftest import identity, outcome
from hypothesis import given
from hypothesis import strategies as st
from test_cache import Simulator

from lumora import cache, convert
from lumora.cache import ResultNotStored, get_or_simulate, save_result
from lumora.convert import identity_value

WAVES = np.linspace(1.5, 1.6, 21)
S21 = np.exp(-2j * np.pi * WAVES / 1.55) * 0.7


def stored_file(ss, record):
    return json.loads(ss._find_simulation_file(record.simulation_id).read_bytes())


def test_plain_lists_give_the_module_s_very_file(ss, store):
    fields = {**identity(), **outcome(result={"s21": [[0.5, -0.25], (1, 2)], "note": "x", "n": {"k": [True, None]}})}
    first = ss.save_simulation_result(**fields)
    before = ss._find_simulation_file(first.simulation_id).read_bytes()
    second = save_result(**fields)
    after = ss._find_simulation_file(second.simulation_id).read_bytes()
    assert after.replace(second.simulation_date.encode(), first.simulation_date.encode()) == before


PAIRS = [[z.real, z.imag] for z in S21.tolist()]


@pytest.mark.parametrize(
    "value, stored",
    [
        (S21, PAIRS),
        (list(S21), PAIRS),
        (np.stack([S21.real, S21.imag], -1), PAIRS),
        ((np.float32(0.5), np.int64(3), np.bool_(True), np.str_("a")), [0.5, 3, True, "a"]),
        ({"deep": [np.arange(2), 1 - 2j, np.complex64(1j)]}, {"deep": [[0, 1], [1.0, -2.0], [0.0, 1.0]]}),
    ],
)
def test_numpy_and_complex_output_is_stored_in_the_store_s_form(ss, store, value, stored):
    record = get_or_simulate(**identity(), simulate=lambda: ({"o1@0,o2@0": value}, WAVES))
    assert stored_file(ss, record)["result"] == {"o1@0,o2@0": stored} == record.result
    assert record.wavelengths == WAVES.tolist()


BAD = S21.copy()
BAD[17] = np.nan


@pytest.mark.parametrize(
    "result, wavelengths, error, message",
    [
        ({"o1@0,o2@0": BAD}, WAVES, ValueError, "result['o1@0,o2@0'][17] is (nan+0j): only finite"),
        ({"a": np.array([[1.0, 2.0], [3.0, -np.inf]])}, WAVES, ValueError, "result['a'][1][1] is -inf"),
        ({"a": [np.float64(1), {1, 2}]}, WAVES, TypeError, "result['a'][1] is of type set, which cannot be stored"),
        ({"a": {1: S21}}, WAVES, TypeError, "result['a'] has the key 1 (int): keys must be strings"),
        ({"a": np.array(["2020-01-01"], "M8[D]")}, WAVES, TypeError, "result['a'] is a numpy array of datetime64[D]"),
        ({"a": S21}, np.array([1.5, np.inf]), ValueError, "wavelengths[1] is inf"),
    ],
)
def test_unstorable_output_is_refused_naming_its_place_before_anything_is_written(
    store, result, wavelengths, error, message
):
    with pytest.raises(error) as raised:
        save_result(**identity(), **outcome(result=result, wavelengths=wavelengths))
    assert message in str(raised.value)
    assert not store.exists()
    # Through get_or_simulate the run is kept: the exception carries the output.
    output = (result, wavelengths)
    with pytest.raises(ResultNotStored) as kept:
        get_or_simulate(**identity(), simulate=lambda: output)
    assert kept.value.output is output and message in str(kept.value)
    assert type(kept.value.__cause__) is error
    assert not list(store.rglob("*.json"))


def test_a_failing_save_keeps_the_output(ss, store, monkeypatch):
    monkeypatch.setattr(ss, "save_simulation_result", lambda **fields: open(store / "none" / "x"))
    with pytest.raises(ResultNotStored, match="No such file or directory") as kept:
        get_or_simulate(**identity(), simulate=lambda: ({"s21": S21}, WAVES))
    assert kept.value.output[0]["s21"] is S21 and kept.value.execution_time_seconds >= 0


@pytest.mark.parametrize(
    "given, plain",
    [
        ({"gap": np.float64(0.2), "n": np.int64(3)}, {"gap": 0.2, "n": 3}),
        ({"gap": np.float32(0.1)}, {"gap": float(np.float32(0.1))}),
        ({"widths": np.array([0.5, 0.6]), "on": np.bool_(False)}, {"widths": [0.5, 0.6], "on": False}),
        ({"ports": (np.str_("o1"), np.uint8(2))}, {"ports": ["o1", 2]}),
    ],
)
def test_identity_from_numpy_hashes_as_the_plain_values_it_equals(ss, store, given, plain):
    record = get_or_simulate(
        **identity(component_settings=given, hyperparameters={"mesh_resolution": np.int64(40)}), simulate=Simulator()
    )
    hp = cache.SimulationHyperparameters(mesh_resolution=40)
    assert record.simulation_id == ss._compute_simulation_id(**identity(component_settings=plain, hyperparameters=hp))
    assert record.component_settings == json.loads(json.dumps(plain))


LEAF = (
    st.none()
    | st.booleans()
    | st.integers(-(2**63), 2**64 - 1)
    | st.floats(allow_nan=False, allow_infinity=False)
    | st.text()
)
JSON = st.recursive(LEAF, lambda inner: st.lists(inner) | st.tuples(inner) | st.dictionaries(st.text(), inner))


@given(JSON)
def test_plain_identity_values_hash_as_they_always_did(value):
    assert json.dumps(identity_value(value, "x"), sort_keys=True) == json.dumps(value, sort_keys=True)


@pytest.mark.parametrize(
    "fields, error, message",
    [
        ({"component_settings": {"gap": {0.2}}}, TypeError, "component_settings['gap'] is of type set"),
        ({"model_parameters": {"eps": [np.complex128(2j)]}}, TypeError, "['eps'][0] is of type numpy.complex128"),
        ({"component_settings": {"gap": np.array([np.nan])}}, ValueError, "component_settings['gap'][0] is nan"),
        ({"hyperparameters": {"pml": 1}}, ValueError, "permitted): pass a SimulationHyperparameters or a dict"),
        ({"hyperparameters": [("solver", "fde")]}, TypeError, "hyperparameters must be a SimulationHyperparameters"),
    ],
)
def test_identity_that_cannot_be_stored_is_refused_before_simulating(store, fields, error, message):
    simulate = Simulator()
    with pytest.raises(error) as raised:
        get_or_simulate(**identity(**fields), simulate=simulate)
    assert message in str(raised.value) and simulate.runs == 0


def test_without_numpy_nothing_imports_it(store):
    code = (
        f"import sys; sys.path.insert(0, {str(Path(__file__).parent)!r}); from conftest import identity;"
        "from lumora.cache import get_or_simulate;"
        "r = get_or_simulate(**identity(), simulate=lambda: ({'s21': [0.5 + 1j]}, (1.55,)));"
        "print(r.result, 'numpy' in sys.modules)"
    )
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True).stdout
    assert out.split() == ["{'s21':", "[[0.5,", "1.0]]}", "False"]


class _Color(enum.Enum):
    RED = 1


def _nested(levels):
    value = 1
    for _ in range(levels):
        value = [value]
    return value


@pytest.mark.parametrize(
    "value",
    [
        {"gap": float("nan")},
        {"gap": [1.0, float("-inf")]},
        {"color": _Color.RED},
        {"id": uuid.UUID(int=7)},
        {"when": datetime.date(2026, 1, 1)},
        {1: "int key"},
        {"deep": _nested(252)},
        {"deep": _nested(253)},
        {"big": 2**64},
        {"pair": (1, 2.5), "name": "o1"},
    ],
)
def test_identity_fields_take_the_long_way_alike(value):
    # The quick copy must accept, refuse and convert exactly what the walk does.
    try:
        expected = convert._plain(convert._IDENTITY, value, "x")
    except (TypeError, ValueError) as exc:
        with pytest.raises(type(exc), match=re.escape(str(exc))):
            identity_value(value, "x")
    else:
        assert identity_value(value, "x") == expected


def test_identity_fields_are_copied():
    settings = {"xs": {"layers": [[1, 0]]}, "gap": 0.2}
    plain = identity_value(settings, "component_settings")
    settings["xs"]["layers"].append([2, 0])
    assert plain == {"xs": {"layers": [[1, 0]]}, "gap": 0.2}
