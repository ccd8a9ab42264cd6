"""lumora.cache and lumora.compare: get_or_simulate, explain_miss and diff_results on real stores."""

from __future__ import annotations

import io
import json
import math
import os
import signal
import subprocess
import sys
import threading
import time

import pytest
from conftest import identity
from hypothesis import given, settings
from hypothesis import strategies as st

from lumora import _dirindex, cache, compare, upkeep
from lumora.cache import SimulationFailed, get_or_simulate
from lumora.compare import MISSING, diff_results, explain_miss
from lumora.core import simulation_storage
from lumora.models import SimulationHyperparameters
from lumora.results import main
from lumora.settings import get_simulations_dir


class Simulator:
    def __init__(self, fail=None):
        self.runs = 0
        self.fail = fail

    def __call__(self):
        self.runs += 1
        if self.fail is not None:
            raise self.fail
        return {"s21": [0.5, 0.6]}, (1.55, 1.56)


def test_miss_simulates_once_then_hits_the_same_record(ss, store):
    simulate = Simulator()
    first = get_or_simulate(**identity(), simulate=simulate, pdk_version="1.2")
    again = get_or_simulate(**identity(component_settings={"length": 10, "width": 0.5}), simulate=simulate)
    assert simulate.runs == 1
    assert first.status == "success" and first.pdk_version == "1.2" and first.wavelengths == [1.55, 1.56]
    assert again == first == ss.load_simulation_result(first.simulation_id)


@pytest.mark.parametrize("length", [200, 233])
def test_a_name_near_the_file_system_limit_is_cached(ss, store, length):
    simulate = Simulator()
    for _ in range(2):
        record = get_or_simulate(**identity(component_name="c" * length), simulate=simulate)
    assert simulate.runs == 1 and record == ss.load_simulation_result(record.simulation_id)


def test_a_result_moved_by_hand_is_still_a_hit(ss, store):
    record = get_or_simulate(**identity(), simulate=Simulator())
    path = ss._find_simulation_file(record.simulation_id)
    (store / "archive").mkdir()
    path.rename(store / "archive" / path.name)
    simulate = Simulator()
    assert get_or_simulate(**identity(), simulate=simulate) == record
    assert simulate.runs == 0


@pytest.mark.skipif(_dirindex._INDEX is None, reason="needs inotify")
def test_a_miss_is_told_from_the_kept_names_without_a_look_up_by_id(ss, store, monkeypatch):
    get_or_simulate(**identity(), simulate=Simulator())
    monkeypatch.setattr(simulation_storage, "load_simulation_result", None)  # a scan would fail
    simulate = Simulator()
    get_or_simulate(**identity(component_name="other"), simulate=simulate)
    assert simulate.runs == 1


@pytest.mark.parametrize("store_errors", [True, False])
def test_a_failure_is_reraised_unchanged_and_stored_on_request(ss, store, store_errors):
    failure = RuntimeError("solver diverged")
    with pytest.raises(RuntimeError) as raised:
        get_or_simulate(**identity(), simulate=Simulator(failure), store_errors=store_errors)
    assert raised.value is failure
    stored = ss.find_simulation_result(**identity())
    if not store_errors:
        assert stored is None
        return
    assert (stored.status, stored.error_message, stored.result, stored.wavelengths) == (
        "error",
        "RuntimeError: solver diverged",
        {},
        [],
    )
    # A hit on a stored failure fails as the run did, unless asked for the record or a rerun.
    with pytest.raises(SimulationFailed) as hit:
        get_or_simulate(**identity(), simulate=Simulator())
    assert (hit.value.record, hit.value.error_message) == (stored, "RuntimeError: solver diverged")
    assert stored.error_message in str(hit.value)
    assert get_or_simulate(**identity(), simulate=Simulator(), return_errors=True) == stored
    rerun = Simulator()
    assert get_or_simulate(**identity(), simulate=rerun, rerun_errors=True).status == "success"
    assert rerun.runs == 1


def test_an_interruption_saves_nothing(ss, store):
    with pytest.raises(KeyboardInterrupt):
        get_or_simulate(**identity(), simulate=Simulator(KeyboardInterrupt()))
    assert ss.list_simulation_results() == []


def test_unstorable_names_are_refused_before_simulating(store):
    simulate = Simulator()
    with pytest.raises(ValueError, match="simulation_type"):
        get_or_simulate(**identity(simulation_type=".."), simulate=simulate)
    assert simulate.runs == 0


def test_a_corrupt_result_is_reported_not_overwritten(ss, store):
    record = get_or_simulate(**identity(), simulate=Simulator())
    path = ss._find_simulation_file(record.simulation_id)
    path.write_bytes(b"{not json")
    with pytest.raises(ValueError) as raised:
        get_or_simulate(**identity(), simulate=Simulator())
    assert str(path) in raised.value.__notes__[0]
    assert path.read_bytes() == b"{not json"


# --- the lock, with real processes ------------------------------------------------

CHILD = """
import pathlib, sys, time
from lumora.cache import SimulationFailed, get_or_simulate
from lumora.models import SimulationHyperparameters
work, name, seconds = pathlib.Path(sys.argv[1]), sys.argv[2], float(sys.argv[3])
(work / f"ready-{name}").touch()
while not (work / "go").exists():
    time.sleep(0.002)
def simulate():
    with open(work / "runs", "a") as runs:
        runs.write(name + "\\n")
    time.sleep(seconds)
    return {"s21": [0.5]}, [1.55]
record = get_or_simulate(
    component_name="mmi1x2", factory_name="mmi1x2_factory", component_settings={"width": 0.5},
    model_parameters={}, hyperparameters=SimulationHyperparameters(), simulation_type="sparams",
    simulate=simulate,
)
print(record.simulation_id, record.simulation_date)
"""


def start(work, store, name, seconds):
    env = {**os.environ, "LUMORA_SIMULATIONS_DIR": str(store)}
    return subprocess.Popen(
        [sys.executable, "-c", CHILD, str(work), name, str(seconds)], env=env, stdout=subprocess.PIPE, text=True
    )


def wait_for(path, timeout=60):
    deadline = time.monotonic() + timeout
    while not path.exists():
        assert time.monotonic() < deadline, f"{path} never appeared"
        time.sleep(0.01)


def test_two_processes_missing_at_once_simulate_once(ss, store, tmp_path):
    children = [start(tmp_path, store, name, 1.0) for name in ("a", "b")]
    for name in ("a", "b"):
        wait_for(tmp_path / f"ready-{name}")
    (tmp_path / "go").touch()
    outputs = {child.communicate(timeout=120)[0] for child in children}
    assert [child.returncode for child in children] == [0, 0]
    assert len((tmp_path / "runs").read_text().split()) == 1
    assert len(outputs) == 1  # the same ID and the same date: one record
    (record,) = ss.list_simulation_results()
    assert [p.name for p in (store / "sparams").iterdir()] == [f"mmi1x2_{record.simulation_id}.json"]  # no lock file


def test_a_holder_that_died_blocks_nobody(ss, store, tmp_path):
    (tmp_path / "go").touch()
    child = start(tmp_path, store, "dead", 600)
    wait_for(tmp_path / "runs")  # it holds the lock and is simulating
    child.send_signal(signal.SIGKILL)
    child.wait(timeout=30)
    record = get_or_simulate(**identity(component_settings={"width": 0.5}, model_parameters={}), simulate=Simulator())
    assert record.status == "success"


def test_threads_missing_at_once_simulate_once(store):
    simulate = Simulator()

    def slow():
        time.sleep(0.3)
        return simulate()

    records = []
    threads = [
        threading.Thread(target=lambda: records.append(get_or_simulate(**identity(), simulate=slow))) for _ in range(3)
    ]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert simulate.runs == 1 and len(records) == 3 and len({r.simulation_date for r in records}) == 1


def test_lock_files_go_with_their_holders_while_tidy_races_waiters(store):
    """Each call simulates (a stored failure is run again) under the lock,
    while tidy keeps removing whatever lock file it finds free."""
    active, peak, runs = [0], [0], []
    counting = threading.Lock()

    def simulate():
        with counting:
            active[0] += 1
            peak[0] = max(peak[0], active[0])
        time.sleep(0.002)
        with counting:
            active[0] -= 1
            runs.append(1)
        raise RuntimeError("diverged")

    def caller():
        for _ in range(8):
            with pytest.raises(RuntimeError):
                get_or_simulate(**identity(), simulate=simulate, rerun_errors=True)

    done = threading.Event()

    def tidier():
        while not done.is_set():
            upkeep.tidy()

    callers = [threading.Thread(target=caller) for _ in range(3)]
    cleaner = threading.Thread(target=tidier)
    for thread in [cleaner, *callers]:
        thread.start()
    for thread in callers:
        thread.join()
    done.set()
    cleaner.join()
    assert (peak[0], len(runs)) == (1, 24)
    assert upkeep.stats().lock_files == 0 and not list(store.rglob("*.lock"))


def test_an_object_store_takes_no_lock(monkeypatch):
    pytest.importorskip("upath")
    root = f"memory://lumora-test-{os.getpid()}/store"
    monkeypatch.setenv("LUMORA_SIMULATIONS_DIR", root)
    simulate = Simulator()
    try:
        first = get_or_simulate(**identity(), simulate=simulate)
        assert get_or_simulate(**identity(), simulate=simulate) == first and simulate.runs == 1
        names = [p.name for p in (get_simulations_dir() / "sparams").iterdir()]
        assert names == [f"mmi1x2_{first.simulation_id}.json"]
    finally:
        get_simulations_dir().fs.rm(root, recursive=True)


# --- explaining a miss ------------------------------------------------------------


def test_explain_miss_ranks_and_names_each_difference(ss, store):
    get_or_simulate(**identity(component_name="other"), simulate=Simulator())
    near = get_or_simulate(**identity(), simulate=Simulator())
    get_or_simulate(**identity(simulation_type="modes"), simulate=Simulator())
    asked = identity(
        component_settings={"width": 0.5, "length": 10.0, "ports": [1, 2]},
        model_parameters={},
        hyperparameters=SimulationHyperparameters(mesh_resolution=40),
    )
    report = explain_miss(**asked, limit=5)
    assert (report.simulation_id, report.stored) == (ss._compute_simulation_id(**asked), False)
    assert [n.record.component_name for n in report.nearest] == ["mmi1x2", "other"]  # same type only
    assert report.nearest[0].record.simulation_id == near.simulation_id  # its summary
    found = {d.path: (d.stored, d.given, d.type_only) for d in report.nearest[0].differences}
    assert found == {
        "component_settings.length": (10, 10.0, True),
        "component_settings.ports": (MISSING, [1, 2], False),
        "hyperparameters.mesh_resolution": (20, 40, False),
        "model_parameters.neff": (2.4, MISSING, False),
    }
    assert explain_miss(**identity(), limit=1).stored
    assert len(explain_miss(**asked, limit=1).nearest) == 1


LEAF = st.sampled_from([0, 1, 0.0, 1.0, -0.0, True, False, None, "a", "1", "é"])
VALUES = st.recursive(
    LEAF,
    lambda inner: (
        st.lists(inner, max_size=3)
        | st.lists(inner, max_size=2).map(tuple)
        | st.dictionaries(st.sampled_from(["a", "b", "10", "2"]), inner, max_size=3)
        | st.dictionaries(st.sampled_from([2, 10]), inner, max_size=2)
    ),
    max_leaves=6,
)


def text_keys(value):
    """The same value with int keys as text: hashed alike, unless that reorders keys."""
    if isinstance(value, dict):
        return {str(k): text_keys(v) for k, v in value.items()}
    if isinstance(value, list | tuple):
        return [text_keys(v) for v in value]
    return value


@settings(max_examples=300, deadline=None)
@given(stored=st.dictionaries(st.sampled_from(["a", "b"]), VALUES, max_size=2), asked=st.data())
def test_a_difference_is_shown_exactly_when_the_id_changes(stored, asked):
    other = asked.draw(
        st.one_of(
            st.just(stored),
            st.just(text_keys(stored)),
            st.dictionaries(st.sampled_from(["a", "b"]), VALUES, max_size=2),
        )
    )
    first, second = identity(component_settings=stored), identity(component_settings=other)
    differences = compare._differences(
        compare._canonical_identity(first), compare._canonical_identity(second), cache.IDENTITY_FIELDS
    )
    same_id = simulation_storage._compute_simulation_id(**first) == simulation_storage._compute_simulation_id(**second)
    assert same_id == (differences == [])


def test_diff_results_shows_identity_then_metadata(ss, store, monkeypatch):
    first = get_or_simulate(**identity(), simulate=Simulator())
    monkeypatch.setenv("LUMORA_PDK", "si220")
    with pytest.raises(RuntimeError):
        get_or_simulate(**identity(factory_name="mmi_v2"), simulate=Simulator(RuntimeError("x")))
    second = ss.find_simulation_result(**identity(factory_name="mmi_v2"))
    diff = diff_results(first, second)
    assert [d.path for d in diff.identity] == ["factory_name"]
    assert {d.path for d in diff.metadata} == {"pdk_name", "status"}  # two runs' dates always differ
    assert {d.path for d in diff_results(first, second, dates=True).metadata} == {
        "pdk_name",
        "simulation_date",
        "status",
    }
    assert str(diff).splitlines()[:2] == [
        "Identity (hashed into the ID): 1 difference",
        '  factory_name  "mmi1x2_factory"  "mmi_v2"',
    ]


@pytest.mark.parametrize(
    ("first", "second", "expected", "text"),
    [
        (  # [re, im]: in dB of |s|^2, and by |s|
            ({"s": [[1, 0], [0.5, 0]]}, [1.5, 1.6]),
            ({"s": [[0, 1], [0.25, 0]]}, [1.5, 1.6]),
            {"series": "s", "wavelength": 1.6, "largest_db": pytest.approx(6.0206), "largest_magnitude": 0.25},
            "Curves (the same 2 wavelengths): largest difference per series\n  s  6.02 dB (|s| by 0.25) at 1.6 µm",
        ),
        (  # other wavelengths: interpolated onto both within the common range
            ({"n": [0.0, 1.0], "x": [1.0, 2.0]}, [1.5, 1.6]),
            ({"n": [0.0, 0.5, 2.0, 9.0]}, [1.5, 1.55, 1.6, 1.7]),
            {"series": "n", "wavelength": 1.6, "largest": 1.0},
            "Curves (interpolated onto 3 wavelengths, 1.5 to 1.6 µm): largest difference per series\n"
            "  n  1 at 1.6 µm\nSeries in one result only: x",
        ),
        (  # |s| = 0 is no level in dB: taken as the floor
            ({"s": [[0, 0]]}, [1.55]),
            ({"s": [[1e-3, 0]]}, [1.55]),
            {"series": "s", "wavelength": 1.55, "largest_db": pytest.approx(240), "largest_magnitude": 1e-3},
            "Curves (the same 1 wavelengths): largest difference per series\n  s  240.00 dB (|s| by 0.001) at 1.55 µm",
        ),
    ],
    ids=["pairs", "interpolated", "zero"],
)
def test_diff_results_compares_the_curves(ss, store, first, second, expected, text):
    records = [
        get_or_simulate(**identity(component_name=name), simulate=lambda out=out: out)
        for name, out in (("a", first), ("b", second))
    ]
    diff = diff_results(*records)
    assert diff.as_json()["curves"]["series"] == [expected]
    assert str(diff).split("\n", 3)[-1] == text


# --- the commands -----------------------------------------------------------------


def test_cli_explain_reads_a_shown_record_from_stdin(ss, store, monkeypatch, capsys):
    record = get_or_simulate(**identity(), simulate=Simulator())
    asked = record.model_dump(mode="json")
    asked["component_settings"]["length"] = 10.0
    monkeypatch.setattr(sys, "stdin", io.StringIO(json.dumps(asked)))
    assert main(["explain", "-", "--json"]) == 0
    report = json.loads(capsys.readouterr().out)
    assert report["stored"] is False
    assert report["nearest"][0]["differences"] == [
        {"path": "component_settings.length", "stored": 10, "given": 10.0, "type_only": True}
    ]


def asking(settings):
    """explain's input with the component settings {"x": settings}, given as JSON text."""
    fields = {**dict.fromkeys(["component_name", "factory_name", "simulation_type"], "x"), "model_parameters": {}}
    return json.dumps({**fields, "hyperparameters": {}})[:-1] + f', "component_settings": {{"x": {settings}}}}}'


# What JSON can say but no save can store, and what explain says of it.
UNSTORABLE = [
    ("NaN", "holds NaN, which no save can store"),
    ("-Infinity", "holds -Infinity, which no save can store"),
    ("1e400", "holds 1e400, beyond the largest number"),
    ("9" * 5000, "holds an integer of 5000 digits"),
    (str(2**64), "no save can store these identity fields: Integer exceeds 64-bit range"),
    ("[" * 300 + "]" * 300, "no save can store these identity fields: Recursion limit"),
    ("[" * 100_000 + "]" * 100_000, "nested too deeply"),
]


@pytest.mark.parametrize(
    "content, message",
    [
        (None, "cannot read"),
        ("{", "is not JSON"),
        ("[]", "must hold a JSON object"),
        ('{"component_name": "c"}', "lacks the field 'factory_name'"),
        (
            json.dumps(
                {
                    **dict.fromkeys(["component_name", "factory_name", "simulation_type"], "x"),
                    "component_settings": {},
                    "model_parameters": {},
                    "hyperparameters": {"pml": 1},
                }
            ),
            "hyperparameters in",
        ),
        *((asking(value), message) for value, message in UNSTORABLE),
    ],
)
def test_cli_explain_refuses_unusable_input_with_status_2(store, tmp_path, capsys, content, message):
    source = tmp_path / "identity.json"
    if content is not None:
        source.write_text(content)
    assert main(["explain", str(source)]) == 2
    err = capsys.readouterr().err
    assert message in err and err.count("\n") == 1


@pytest.mark.parametrize("value", [math.nan, -math.inf, 2**64, json.loads("[" * 300 + "]" * 300)])
def test_explain_miss_refuses_fields_no_save_can_store(ss, store, value):
    with pytest.raises(ValueError, match="no save can store"):
        explain_miss(**identity(component_settings={"x": value}))


def test_cli_diff(ss, store, capsys):
    first = get_or_simulate(**identity(), simulate=Simulator())
    second = get_or_simulate(**identity(model_parameters={"neff": 2.5}), simulate=Simulator())
    assert main(["diff", first.simulation_id, "0123456789abcdef"]) == 1
    assert main(["diff", first.simulation_id, second.simulation_id, "--json"]) == 0
    out = json.loads(capsys.readouterr().out)
    assert out["identity"] == [{"path": "model_parameters.neff", "first": 2.4, "second": 2.5, "type_only": False}]
    assert out["metadata"] == []
    assert out["curves"]["series"] == [{"series": "s21", "largest": 0.0, "wavelength": 1.55}]
    assert main(["diff", first.simulation_id, second.simulation_id, "--dates"]) == 0
    assert "  simulation_date  " in capsys.readouterr().out


@pytest.mark.parametrize("name", sorted(set(cache.__all__) & set(compare.__all__)))
def test_cache_still_offers_the_comparison_it_was_documented_with(name):
    assert getattr(cache, name) is getattr(compare, name)
