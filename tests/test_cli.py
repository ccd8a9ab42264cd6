"""lumora-results, driven through main(argv) on temporary stores."""

from __future__ import annotations

import io
import json
import logging
import os
import re
import subprocess
import sys
import unicodedata

import pytest
from conftest import Terminal

import lumora
from lumora import progress
from lumora.models import SimulationHyperparameters
from lumora.results import main

COLUMNS = ["ID", "TYPE", "COMPONENT", "FACTORY", "PDK", "STATUS", "DATE (UTC)", "TIME"]
MISSING_ID = "0123456789abcdef"


def save(ss, monkeypatch, *, pdk="generic", **overrides):
    fields = dict(
        component_name="mmi1x2",
        factory_name="f_mmi",
        component_settings={"width": 0.5},
        model_parameters={"neff": 2.4},
        hyperparameters=SimulationHyperparameters(),
        simulation_type="sparams",
        result={"s21": [0.5]},
        wavelengths=[1.55],
        execution_time_seconds=1.25,
    )
    fields.update(overrides)
    monkeypatch.setenv("LUMORA_PDK", pdk)
    return ss.save_simulation_result(**fields)


@pytest.fixture
def saved(ss, store, monkeypatch):
    """Four results, saved in the order a, b, c, d."""
    records = {
        "a": save(ss, monkeypatch),
        "b": save(ss, monkeypatch, component_name="mmi2x2", pdk="si220"),
        "c": save(ss, monkeypatch, component_name="straight", factory_name="f_straight", simulation_type="modes"),
        "d": save(
            ss,
            monkeypatch,
            component_name="ring",
            factory_name="f_ring",
            pdk="si220",
            status="error",
            error_message="diverged",
        ),
    }
    monkeypatch.delenv("LUMORA_PDK")
    return records


@pytest.fixture(autouse=True)
def eighty_columns(monkeypatch):
    """Tables as on an 80-column terminal, whatever runs the tests."""
    monkeypatch.setenv("COLUMNS", "80")


def run(capsys, *argv):
    code = main(list(argv))
    out, err = capsys.readouterr()
    return code, out, err


def listed_ids(capsys, *argv):
    code, out, _ = run(capsys, *argv, "list", "--json")
    assert code == 0
    return [record["simulation_id"] for record in json.loads(out)]


def cell_starts(line):
    return [m.start() for m in re.finditer(r"\S+(?: \S+)*", line)]


def test_list_prints_an_aligned_table_newest_first(saved, capsys):
    code, out, err = run(capsys, "list", "--wide")
    assert (code, err) == (0, "")
    header, *rows = out.splitlines()
    assert re.split(r"\s{2,}", header) == COLUMNS
    expected = [saved[key] for key in "dcba"]
    for row, record in zip(rows, expected, strict=True):
        cells = re.split(r"\s{2,}", row)
        fields = ["simulation_id", "simulation_type", "component_name", "factory_name", "pdk_name", "status"]
        assert cells[:6] == [getattr(record, name) for name in fields]
        assert re.fullmatch(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d", cells[6])
        assert cells[7] == "1.25 s"
        assert cell_starts(row)[:-1] == cell_starts(header)[:-1]
        assert len(row) == len(header)  # the time column is right-aligned


@pytest.mark.parametrize(
    ("filters", "expected"),
    [
        (["--type", "modes"], "c"),
        (["--component", "mmi2x2"], "b"),
        (["--factory", "f_mmi"], "ba"),
        (["--pdk", "si220"], "db"),
        (["--status", "error"], "d"),
        (["--type", "sparams", "--pdk", "generic"], "a"),
        (["--component", "mmi"], ""),
    ],
)
def test_list_filters(saved, capsys, filters, expected):
    code, out, _ = run(capsys, "list", *filters, "--json")
    assert code == 0
    assert [r["simulation_id"] for r in json.loads(out)] == [saved[key].simulation_id for key in expected]


def test_list_json_holds_the_records(ss, saved, capsys):
    code, out, _ = run(capsys, "list", "--json")
    assert code == 0
    assert json.loads(out) == [record.model_dump(mode="json") for record in ss.list_simulation_results()]


@pytest.mark.parametrize(
    "argv",
    [
        ["list"],
        ["list", "--json"],
        ["show", MISSING_ID],
        ["delete", MISSING_ID],
        ["clear"],
        ["stats"],
        ["prune", "--older-than", "0d", "--yes"],
        ["tidy", "--yes"],
    ],
)
def test_a_missing_store_is_said_so(store, capsys, argv):
    # A mistyped --store must not pass for an empty store.
    assert run(capsys, *argv) == (1, "", f"lumora-results: no store at {store}\n")
    assert not store.exists()


def test_list_of_an_empty_store(store, capsys):
    store.mkdir()
    assert run(capsys, "list") == (0, "No simulation results.\n", "")


def test_list_reports_an_unreadable_file_and_goes_on(saved, store, capsys):
    broken = store / "sparams" / f"broken_{MISSING_ID}.json"
    broken.write_bytes(b"{not json")
    code, out, err = run(capsys, "list")
    assert code == 0
    assert len(out.splitlines()) == 1 + len(saved)
    assert err.splitlines() == [
        f"lumora-results: warning: Failed to parse simulation file: {broken}",
        "lumora-results: 1 file(s) skipped: 1 could not be parsed",
    ]


@pytest.mark.parametrize("spelling", [str.lower, str.upper])
def test_show_json_prints_the_record(ss, saved, capsys, spelling):
    record = saved["d"]
    code, out, err = run(capsys, "show", "--json", spelling(record.simulation_id))
    assert (code, err) == (0, "")
    assert json.loads(out) == ss.load_simulation_result(record.simulation_id).model_dump(mode="json")
    assert out.startswith('{\n  "')


def test_show_summarises_the_record_within_the_terminal(ss, store, capsys, monkeypatch):
    pairs = [[[1.0, 0.0], [0.1, 0.0]]] * 30  # 0 and -20 dB
    record = save(
        ss,
        monkeypatch,
        component_settings={"note": "x" * 100},
        hyperparameters=SimulationHyperparameters(wavelength_points=2),
        result={f"o1@0,o{i}@0": pairs[i] for i in range(30)} | {"neff": [2.4, 2.5], "solver": "fdtd"},
        wavelengths=[1.5, 1.6],
    )
    code, out, err = run(capsys, "show", record.simulation_id)
    lines = out.splitlines()
    assert (code, err, len(lines)) == (0, "", 34)
    assert max(map(len, lines)) == 80  # the settings, cut
    assert lines[8:14] == [
        "Hyperparameters   wavelength_points=2 (the rest default)",
        "Wavelengths       2 points, 1.5 to 1.6 µm",
        "Series: 31 ([re, im] pairs as |s|² in dB)",
        "  o1@0,o0@0   -20.00 to 0.00 dB",
        "  o1@0,o1@0   -20.00 to 0.00 dB",
        "  o1@0,o2@0   -20.00 to 0.00 dB",
    ]
    assert lines[-3:] == [
        "  … and 11 more",
        "Other members: solver",
        f"Full record: lumora-results show --json {record.simulation_id}",
    ]


def test_delete_removes_the_result_once(ss, saved, capsys):
    record = saved["b"]
    code, out, _ = run(capsys, "delete", record.simulation_id)
    assert (code, out) == (0, f"Deleted simulation result {record.simulation_id}.\n")
    assert ss.load_simulation_result(record.simulation_id) is None
    assert run(capsys, "delete", record.simulation_id)[0] == 1
    assert len(ss.list_simulation_results()) == 3


@pytest.mark.parametrize("command", ["show", "delete", "export", "plot", "diff"])
def test_a_missing_id_is_said_to_be_not_stored(saved, capsys, tmp_path, command):
    argv = {
        "diff": ["diff", saved["a"].simulation_id, MISSING_ID],
        "plot": ["plot", MISSING_ID, "-o", str(tmp_path / "x.png")],
        "export": ["export", MISSING_ID, "-o", str(tmp_path)],
    }.get(command, [command, MISSING_ID])
    assert run(capsys, *argv) == (1, "", f"lumora-results: simulation {MISSING_ID} is not stored\n")


@pytest.mark.parametrize(
    "argv",
    [
        [],
        ["frobnicate"],
        ["list", "--status", "maybe"],
        ["show"],
        ["show", "*"],
        ["delete", "0123"],
        ["clear", "--status", "error"],
        ["plot", "0123456789abcdef", "--dpi", "0"],
        ["plot", "0123456789abcdef", "--dpi", "many"],
        ["plot", "0123456789abcdef", "--ylim", "low", "0"],
        ["plot", "0123456789abcdef", "--ylim", "nan", "0"],
        ["list", "--where", "gap"],
        ["copy"],
    ],
)
def test_usage_errors(store, capsys, argv):
    code, out, err = run(capsys, *argv)
    assert (code, out) == (2, "")
    assert "usage: lumora-results" in err


def test_clear_with_yes_removes_the_matches(saved, capsys):
    code, out, _ = run(capsys, "clear", "--type", "sparams", "--pdk", "si220", "--yes")
    assert (code, out) == (0, "Removed 2 simulation result(s).\n")
    assert sorted(listed_ids(capsys)) == sorted(saved[key].simulation_id for key in "ac")


def test_clear_without_a_terminal_refuses(saved, capsys, monkeypatch):
    monkeypatch.setattr(sys, "stdin", io.StringIO("y\n"))  # an answer waiting must not count
    code, out, err = run(capsys, "clear")
    assert (code, out) == (1, "")
    assert "4 simulation result(s)" in err and "--yes" in err
    assert len(listed_ids(capsys)) == 4


@pytest.mark.parametrize(("answer", "code", "left"), [("y\n", 0, 3), ("YES\n", 0, 3), ("n\n", 1, 4), ("", 1, 4)])
def test_clear_asks_on_a_terminal(saved, capsys, monkeypatch, answer, code, left):
    monkeypatch.setattr(sys, "stdin", Terminal(answer))
    result, out, _ = run(capsys, "clear", "--factory", "f_mmi", "--component", "mmi1x2")
    assert result == code
    assert "Delete 1 simulation result(s) (component mmi1x2, factory f_mmi)" in out
    assert len(listed_ids(capsys)) == left


def test_clear_with_nothing_to_clear_needs_no_confirmation(saved, capsys, monkeypatch):
    monkeypatch.setattr(sys, "stdin", io.StringIO(""))
    assert run(capsys, "clear", "--pdk", "other") == (0, "No simulation results to clear.\n", "")


@pytest.mark.parametrize("env_set", [True, False])
@pytest.mark.parametrize("position", ["before", "after"])
def test_store_option_takes_precedence(ss, store, tmp_path, capsys, monkeypatch, env_set, position):
    save(ss, monkeypatch)
    other = tmp_path / "other"
    monkeypatch.setenv("LUMORA_SIMULATIONS_DIR", str(other))
    wanted = save(ss, monkeypatch, component_name="elsewhere")
    if env_set:
        monkeypatch.setenv("LUMORA_SIMULATIONS_DIR", str(store))
    else:
        monkeypatch.delenv("LUMORA_SIMULATIONS_DIR")
    options = ["--store", str(other)]
    argv = [*options, "list", "--json"] if position == "before" else ["list", *options, "--json"]
    code, out, _ = run(capsys, *argv)
    assert code == 0
    assert [r["simulation_id"] for r in json.loads(out)] == [wanted.simulation_id]
    assert os.environ.get("LUMORA_SIMULATIONS_DIR") == (str(store) if env_set else None)


@pytest.mark.parametrize(
    ("content", "error", "name"),
    [
        (None, NotADirectoryError, "NotADirectoryError"),  # the store root is a file
        (b"{", ValueError, "JSONDecodeError"),
        (b'{"component_name": 1}', ValueError, "ValidationError"),  # pydantic's message has many lines
    ],
)
def test_store_errors_are_reported_in_one_line(store, capsys, content, error, name):
    if content is None:
        store.write_text("not a directory")
        argv = ["list"]
    else:
        (store / "sparams").mkdir(parents=True)
        (store / "sparams" / f"bad_{MISSING_ID}.json").write_bytes(content)
        argv = ["show", MISSING_ID]
    code, out, err = run(capsys, *argv)
    assert (code, out) == (1, "")
    assert re.fullmatch(rf"lumora-results: error: {name}: \S.*\n", err)
    assert os.environ["LUMORA_SIMULATIONS_DIR"] == str(store)
    with pytest.raises(error):
        main(["--debug", *argv])


def test_debug_shows_the_store_messages_and_tidies_up(saved, store, capsys):
    handlers = list(logging.getLogger("lumora").handlers)
    record = saved["a"]
    code, _, err = run(capsys, "--debug", "delete", record.simulation_id)
    assert code == 0
    path = store / "sparams" / f"mmi1x2_{record.simulation_id}.json"
    assert err.splitlines() == [f"lumora-results: debug: Deleted simulation file: {path}"]
    assert logging.getLogger("lumora").handlers == handlers


@pytest.mark.parametrize("kit", ["mykit", None])
def test_demo_can_run_again_and_restores_the_kit(store, capsys, monkeypatch, kit):
    if kit is None:
        monkeypatch.delenv("LUMORA_PDK", raising=False)
    else:
        monkeypatch.setenv("LUMORA_PDK", kit)
    assert run(capsys, "demo")[0] == 0
    first = listed_ids(capsys)
    code, out, _ = run(capsys, "demo")
    assert code == 0 and out.count("   found ") == len(first)  # hits: nothing simulated again
    assert sorted(listed_ids(capsys)) == sorted(first)
    assert os.environ.get("LUMORA_PDK") == kit


def test_demo_as_a_program_leaves_its_results_in_the_store(tmp_path, capsys):
    target = tmp_path / "demo-store"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = subprocess.run(
        [sys.executable, "-m", "lumora.results", "--store", str(target), "demo"],
        env=env,
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert proc.returncode == 0, proc.stderr
    code, out, _ = run(capsys, "--store", str(target), "list", "--json")
    records = json.loads(out)
    assert len(records) == 5
    assert {r["simulation_type"] for r in records} == {"sparams", "modes"}
    assert {r["pdk_name"] for r in records} == {"generic", "si220"}
    failed = [r for r in records if r["status"] == "error"]
    assert len(failed) == 1 and failed[0]["error_message"]
    hit = re.search(r"hit: ([0-9a-f]{16})", proc.stdout).group(1)
    miss = re.search(r"miss: simulated and saved as ([0-9a-f]{16})", proc.stdout).group(1)
    ids = [r["simulation_id"] for r in records]
    assert hit in ids and miss not in ids
    assert "simulator runs: 5 before, 5 after" in proc.stdout


@pytest.mark.parametrize("terminal", [False, True])
def test_progress_shows_on_a_terminal_only(saved, capsys, monkeypatch, terminal):
    pytest.importorskip("tqdm")
    monkeypatch.setattr(progress, "DELAY", 0)  # bars at once, for a small store
    listing = run(capsys, "list")  # stderr captured: no terminal
    stderr = Terminal() if terminal else io.StringIO()
    monkeypatch.setattr(sys, "stderr", stderr)
    assert run(capsys, "list") == listing
    assert ("Reading results" in stderr.getvalue()) is terminal
    assert run(capsys, "clear", "--yes")[:2] == (0, "Removed 4 simulation result(s).\n")
    shown = stderr.getvalue()
    # On local disk the number of files to read is known: a percentage.
    assert ("Reading results:   0%" in shown and "Removing results" in shown) if terminal else shown == ""


def test_a_bar_that_fails_does_not_fail_the_listing(saved, capsys, monkeypatch):
    tqdm = pytest.importorskip("tqdm")

    def gone(self, n=1):
        raise OSError(5, "terminal gone")

    monkeypatch.setattr(tqdm.tqdm, "update", gone)
    monkeypatch.setattr(sys, "stderr", Terminal())
    assert len(listed_ids(capsys)) == 4


def test_version(capsys):
    assert run(capsys, "--version") == (0, f"lumora-results {lumora.__version__}\n", "")


def width(text):
    """Columns on a terminal, counted independently of the tool's own code."""
    return sum(0 if unicodedata.combining(c) else 2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in text)


HOSTILE = "a\x1b[31mred\u202e\x9b"  # an escape sequence, a bidirectional override, a C1 control
RAW = ("\x1b", "\u202e", "\x9b")


def test_names_reach_the_terminal_escaped(ss, store, capsys, monkeypatch):
    record = save(ss, monkeypatch, component_name=HOSTILE, factory_name="f" + HOSTILE)
    other = save(ss, monkeypatch, component_name="plain", factory_name="plain")
    unreadable = store / "sparams" / f"x\x1b]0;title\x07_{MISSING_ID}.json"
    unreadable.write_bytes(b"{")
    outputs = {}
    commands = (
        ["list", "--wide"],
        ["list", "--json"],
        ["show", record.simulation_id],
        ["show", "--json", record.simulation_id, "--debug"],
        ["diff", record.simulation_id, other.simulation_id],
        ["--store", f"{store}\x1b", "list"],
    )
    for argv in commands:
        code, out, err = run(capsys, *argv)
        outputs[argv[-1]] = out, err
        assert not any(char in out + err for char in RAW), argv
    assert "a\\x1b[31mred\\u202e\\x9b" in outputs["--wide"][0]
    assert "x\\x1b]0;title\\x07_" in outputs["--wide"][1]  # the warning about the unreadable file
    assert "first:  " + record.simulation_id + "  a\\x1b[31mred" in outputs[other.simulation_id][0]  # diff
    assert "no store at " in outputs["list"][1] and "\\x1b" in outputs["list"][1]
    # JSON escapes say the same: the documents read back unchanged.
    assert HOSTILE in [r["component_name"] for r in json.loads(outputs["--json"][0])]
    assert "Component         a\\x1b[31mred" in outputs[record.simulation_id][0]
    assert json.loads(outputs["--debug"][0])["factory_name"] == "f" + HOSTILE


LONG = {
    "component_name": "directional_coupler_with_a_very_long_descriptive_name",
    "factory_name": "\u65b9\u5411\u6027\u7d50\u5408\u5668\u306e\u5de5\u5834",  # wide characters
    "simulation_type": "e\u0301tude_of_modes",  # a combining accent
}


@pytest.mark.parametrize("columns", ["80", "100", "200"])
def test_table_fits_the_terminal_unless_wide(ss, store, capsys, monkeypatch, columns):
    ids = [save(ss, monkeypatch).simulation_id, save(ss, monkeypatch, **LONG).simulation_id]
    monkeypatch.setenv("COLUMNS", columns)
    code, out, _ = run(capsys, "list")
    assert code == 0 and all(i in out for i in ids)  # IDs stay whole, to be used
    lines = out.splitlines()
    assert max(map(width, lines)) <= int(columns)
    status_column = [width(line[: line.index(word)]) for line, word in zip(lines, ["STATUS", "success", "success"])]
    assert len(set(status_column)) == 1  # aligned as the terminal shows it
    wide = run(capsys, "list", "--wide")[1]
    assert all(name in wide for name in LONG.values())
    if width(wide.splitlines()[0]) > int(columns):
        assert "\u2026" in out and not all(name in out for name in LONG.values())
    else:
        assert out == wide


@pytest.mark.parametrize("argv", [["list", "--json"], ["list", "--wide"], ["show", "ID"]])
def test_a_closed_pipe_exits_quietly(ss, store, monkeypatch, argv):
    # Larger than a pipe's buffer, so that writing meets the closed end.
    record = save(ss, monkeypatch, result={"s21": [0.5] * 50_000})
    for n in range(1000):
        save(ss, monkeypatch, component_name=f"c{n}")
    argv = [record.simulation_id if arg == "ID" else arg for arg in argv]
    command = " ".join([f"'{sys.executable}'", "-m", "lumora.results", *argv])
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = subprocess.run(
        ["bash", "-c", f"set -o pipefail; {command} | head -n 1"], env=env, capture_output=True, text=True, timeout=120
    )
    assert (proc.returncode, proc.stderr) == (0, "")
    assert len(proc.stdout.splitlines()) == 1


@pytest.mark.parametrize(("component", "stayed"), [(None, True), ("broken", True), ("mmi1x2", False)])
def test_clear_says_what_stayed_behind(saved, store, capsys, component, stayed):
    unreadable = store / "sparams" / f"broken_{MISSING_ID}.json"
    unreadable.write_bytes(b"{")
    filters = [] if component is None else ["--component", component]
    code, out, err = run(capsys, "clear", "--yes", *filters)
    assert out.startswith(("Removed", "No simulation results to clear."))
    warnings = [line for line in err.splitlines() if "warning" in line]
    assert len(warnings) == 1 and f"cannot read {unreadable}" in warnings[0]  # once
    assert ("1 file(s) stayed in the store" in err) == stayed
    assert code == 0
    assert unreadable.exists()


@pytest.mark.parametrize("url", ["s3://", "nosuchscheme://bucket/x", "gs://bucket/x"])
def test_store_url_errors_name_the_option(store, capsys, monkeypatch, url):
    monkeypatch.setitem(sys.modules, "lumora.remote", None)  # as without the remote extra
    code, out, err = run(capsys, "list", "--store", url)
    assert (code, out) == (2, "")
    assert "argument --store: " in err and "LUMORA_SIMULATIONS_DIR" not in err
