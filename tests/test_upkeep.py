"""Keeping a store in shape: lumora.upkeep and lumora-results stats, prune, tidy."""

from __future__ import annotations

import contextlib
import io
import json
import os
import subprocess
import sys
import threading
import time
from datetime import UTC, datetime, timedelta

import orjson
import pytest
from conftest import identity, outcome
from test_cli import Terminal, run

from lumora import progress, upkeep
from lumora._lockfile import lock_file
from lumora.cache import get_or_simulate

DAY = timedelta(days=1)
TEMPORARY = ".c_0123456789abcdef.json.89abcdef01234567.tmp"


def save(ss, days_old, **overrides):
    """A result saved days_old days ago: its stored simulation_date rewritten."""
    fields = {**identity(), **outcome()}
    fields.update(overrides)
    record = ss.save_simulation_result(**fields)
    path = ss._find_simulation_file(record.simulation_id)
    data = orjson.loads(path.read_bytes())
    data["simulation_date"] = (datetime.now(UTC) - days_old * DAY).isoformat()
    path.write_bytes(orjson.dumps(data, option=orjson.OPT_INDENT_2))
    return record.simulation_id


@pytest.fixture
def aged(ss, store, monkeypatch):
    """Five results, 50 to 10 days old, and the unreadable and stray files of a worn store."""
    ids = {
        "a": save(ss, 50, component_name="a"),
        "b": save(ss, 40, component_name="b", status="error", error_message="diverged"),
        "c": save(ss, 30, component_name="c", simulation_type="modes"),
        "d": save(ss, 20, component_name="d"),
    }
    monkeypatch.setenv("LUMORA_PDK", "si220")
    ids["e"] = save(ss, 10, component_name="e", status="error", error_message="diverged")
    monkeypatch.delenv("LUMORA_PDK")
    (store / "sparams" / "broken_00000000000000ff.json").write_bytes(b"{not json")
    os.mkfifo(store / "modes" / "fifo_00000000000000fe.json")  # must not block a reader
    old = store / "sparams" / TEMPORARY
    old.write_bytes(b"12345")
    os.utime(old, (time.time() - 7200,) * 2)
    (store / "modes" / TEMPORARY).write_bytes(b"123")  # a save in progress
    return ids


def remaining(store):
    # Not through the module's listing: that would wait on the FIFO.
    return sorted(p.name.split("_")[0] for p in store.glob("*/[a-e]_*.json"))


@pytest.mark.parametrize(
    ("text", "size"),
    [("1048576", 1048576), ("5GB", 5 * 10**9), ("500MiB", 500 * 2**20), ("1.5 kB", 1500), ("2gib", 2 * 2**30)],
)
def test_sizes(text, size):
    assert upkeep.parse_size(text) == size


@pytest.mark.parametrize(
    ("text", "age"),
    [("90d", 90 * DAY), ("12h", timedelta(hours=12)), ("30m", timedelta(minutes=30)), ("0d", timedelta(0))],
)
def test_ages(text, age):
    assert upkeep.parse_age(text) == age


@pytest.mark.parametrize(
    ("parse", "text"),
    [(upkeep.parse_size, "5XB"), (upkeep.parse_size, "-1"), (upkeep.parse_age, "90"), (upkeep.parse_age, "d")],
)
def test_bad_sizes_and_ages_say_what_is_accepted(parse, text):
    with pytest.raises(ValueError, match="such as"):
        parse(text)


def test_stats_count_everything(aged, store):
    figures = upkeep.stats()
    sizes = {p.parent.name: 0 for p in store.glob("*/*_*.json")}
    for path in store.glob("*/[a-e]_*.json"):
        sizes[path.parent.name] += path.stat().st_size
    assert (figures.results, figures.bytes) == (5, sum(sizes.values()))
    assert figures.by_type == {
        "modes": upkeep.TypeStats(1, sizes["modes"]),
        "sparams": upkeep.TypeStats(4, sizes["sparams"]),
    }
    assert (figures.by_pdk, figures.by_status) == ({"generic": 4, "si220": 1}, {"success": 3, "error": 2})
    assert figures.oldest < figures.newest and figures.newest.startswith(str((datetime.now(UTC) - 10 * DAY).date()))
    assert sorted(os.path.basename(u.path) for u in figures.unreadable_files) == [
        "broken_00000000000000ff.json",
        "fifo_00000000000000fe.json",
    ]
    assert (figures.unreadable, figures.temporary_files, figures.temporary_bytes) == (2, 2, 8)


def test_stats_of_a_missing_store(store):
    figures = upkeep.stats()
    assert (figures.results, figures.by_type, figures.oldest, figures.unreadable, figures.temporary_files) == (
        0,
        {},
        None,
        0,
        0,
    )


@pytest.mark.parametrize(
    ("options", "removed"),
    [
        ({"older_than": "35d"}, "ab"),
        ({"older_than": "0d"}, "abcde"),
        ({"older_than": "99999999999999999999d"}, ""),
        ({"status": "error"}, "be"),
        ({"older_than": "15d", "status": "success"}, "acd"),
        ({"simulation_type": "modes"}, "c"),
        ({"pdk_name": "si220"}, "e"),
        ({"component_name": "d", "older_than": "90d"}, ""),
        ({"max_count": 2}, "abc"),
        ({"max_count": 1, "status": "error"}, "b"),
        ({"max_count": 0, "older_than": "25d"}, "abc"),
    ],
)
def test_prune_selects_by_every_option(aged, options, removed, store):
    report = upkeep.prune(**options)
    assert sorted(r.component_name for r in report.removed) == list(removed)
    assert report.removed == report.selected and not report.failed
    assert remaining(store) == sorted(set("abcde") - set(removed))
    assert len(report.unreadable) == 2


def test_prune_by_size_removes_the_oldest_first(aged):
    sizes = {r.component_name: r.bytes for r in upkeep.prune(older_than="0d", dry_run=True).selected}
    limit = sum(sizes.values()) - sizes["a"] - 1  # removing a alone is one byte short
    report = upkeep.prune(max_size=limit)
    assert [r.component_name for r in report.removed] == ["a", "b"]
    assert report.removed_bytes == sizes["a"] + sizes["b"]
    assert upkeep.prune(max_size=f"{10**9}B").selected == ()


def test_prune_never_touches_unreadable_files(aged, store):
    assert len(upkeep.prune(older_than="0d").removed) == 5
    assert sorted(p.name for p in store.glob("*/*.json")) == [
        "broken_00000000000000ff.json",
        "fifo_00000000000000fe.json",
    ]


def test_prune_dry_run_and_a_declined_confirmation_remove_nothing(aged, store):
    plans = []
    assert upkeep.prune(older_than="0d", dry_run=True).dry_run
    report = upkeep.prune(status="error", confirm=lambda plan: plans.append(plan) or False)
    assert [len(p.selected) for p in plans] == [2] and report.removed == ()
    assert remaining(store) == list("abcde")


def test_prune_counts_a_result_removed_meanwhile_as_vanished(ss, aged):
    def meanwhile(plan):
        ss.delete_simulation_result(plan.selected[0].simulation_id)
        return True

    report = upkeep.prune(status="error", confirm=meanwhile)
    assert ([r.component_name for r in report.vanished], [r.component_name for r in report.removed]) == (["b"], ["e"])


@pytest.mark.parametrize("command_line", [False, True])
@pytest.mark.parametrize(
    ("neighbour", "content"),
    [("sparams/a0_{}.json", b"not json"), ("sparams/a0_{}.json", None), ("modes/c1_{}.json", None)],
    ids=["unreadable", "recent copy", "recent copy of another type"],
)
def test_prune_removes_exactly_the_selected_file(ss, store, capsys, monkeypatch, command_line, neighbour, content):
    """Beside it lies a file that a look-up of its ID finds first."""
    simulation_id = save(ss, 50, component_name="c1")
    selected = store / "sparams" / f"c1_{simulation_id}.json"
    other = store / neighbour.format(simulation_id)
    if content is None:
        record = orjson.loads(selected.read_bytes())
        content = orjson.dumps({**record, "simulation_date": datetime.now(UTC).isoformat()})
    other.parent.mkdir(exist_ok=True)
    other.write_bytes(content)
    monkeypatch.setattr(ss, "_find_simulation_file", lambda _: other)
    if command_line:
        code, out, _ = run(capsys, "prune", "--older-than", "30d", "--yes")
        assert code == 0 and out.startswith("Removed 1 simulation result(s), ")
    else:
        assert [r.path for r in upkeep.prune(older_than="30d").removed] == [str(selected)]
    assert not selected.exists() and other.read_bytes() == content


SAVE_AGAIN = """
import sys
sys.path.insert(0, sys.argv[1])
from conftest import identity, outcome
from lumora.core import simulation_storage
simulation_storage.save_simulation_result(**identity(component_name="c1"), **outcome())
"""


def changed_after_the_plan(ss, root, command, save_again):
    """The report of command where the file it selects is replaced between its plan and the removal."""
    simulation_id = save(ss, 50, component_name="c1")
    temporary = root / "sparams" / TEMPORARY
    temporary.write_bytes(b"12345")

    def meanwhile(plan):
        save_again() if command != "tidy" else temporary.write_bytes(b"54321")
        return True

    if command == "prune":
        report = upkeep.prune(older_than="30d", confirm=meanwhile)
    elif command == "clear":
        report = upkeep.clear(confirm=meanwhile)
    else:
        report = upkeep.tidy(older_than="0d", confirm=meanwhile)
    assert (len(report.selected), report.changed, report.removed) == (1, report.selected, ())
    if command != "tidy":
        assert ss.load_simulation_result(simulation_id).simulation_date > (datetime.now(UTC) - DAY).isoformat()
    else:
        assert temporary.read_bytes() == b"54321"


@pytest.mark.parametrize("command", ["prune", "clear", "tidy"])
def test_a_file_changed_since_it_was_judged_is_left(ss, store, command):
    def in_another_process():
        subprocess.run([sys.executable, "-c", SAVE_AGAIN, os.path.dirname(__file__)], check=True)

    changed_after_the_plan(ss, store, command, in_another_process)


@pytest.mark.parametrize("chosen", [{}, {"simulation_type": "modes"}, {"pdk_name": "si220"}, {"component_name": "a"}])
def test_clear_removes_what_the_module_lists_and_nothing_unreadable(ss, aged, store, chosen):
    listed = {r.simulation_id for r in ss.list_simulation_results(**chosen)}
    report = upkeep.clear(**chosen)
    assert {r.simulation_id for r in report.removed} == listed and not report.changed
    assert not ss.list_simulation_results(**chosen)
    assert (store / "sparams" / "broken_00000000000000ff.json").exists()


def test_prune_needs_an_option(aged):
    with pytest.raises(ValueError, match="at least one option"):
        upkeep.prune()


def test_tidy_removes_only_old_temporaries(aged, store):
    lookalikes = [".c.json.0123456789ABCDEF.tmp", "c.json.0123456789abcdef.tmp", ".c.json.0123.tmp"]
    for name in lookalikes:
        (store / "sparams" / name).write_bytes(b"x")
        os.utime(store / "sparams" / name, (0, 0))
    before = sorted(p.name for p in store.rglob("*"))
    assert [os.path.basename(t.path) for t in upkeep.tidy(dry_run=True).selected] == [TEMPORARY]
    assert sorted(p.name for p in store.rglob("*")) == before
    report = upkeep.tidy()
    assert (len(report.removed), report.removed_bytes, report.recent) == (1, 5, 1)
    assert not (store / "sparams" / TEMPORARY).exists() and (store / "modes" / TEMPORARY).exists()
    assert upkeep.tidy(older_than="0d").removed_bytes == 3
    assert all((store / "sparams" / name).exists() for name in lookalikes)


@pytest.mark.parametrize("scheme", ["", "file://"], ids=["path", "file-url"])
def test_tidy_removes_the_lock_files_no_one_holds(store, monkeypatch, scheme):
    if scheme:  # the local disk through fsspec: the same lock files
        pytest.importorskip("upath")
        monkeypatch.setenv("LUMORA_SIMULATIONS_DIR", f"{scheme}{store}")
    simulating, finish = threading.Event(), threading.Event()

    def simulate():
        simulating.set()
        finish.wait(60)
        return {"s21": [0.5]}, [1.55]

    holder = threading.Thread(target=lambda: get_or_simulate(**identity(), simulate=simulate))
    holder.start()
    simulating.wait(60)
    stale = store / "sparams" / ".c_0123456789abcdef.json.lock"  # of a holder that died
    stale.touch()
    try:
        assert upkeep.stats().lock_files == 2
        with contextlib.ExitStack() as taken:  # someone takes it between the plan and the removal
            report = upkeep.tidy(confirm=lambda plan: taken.enter_context(lock_file(stale)) is not None)
            assert ([t.path for t in report.changed], report.removed, report.recent) == ([scheme + str(stale)], (), 1)
        report = upkeep.tidy()
        assert ([t.path for t in report.removed], report.recent) == ([scheme + str(stale)], 1)
    finally:
        finish.set()
        holder.join()
    assert upkeep.stats().lock_files == 0


# --- the command line ---------------------------------------------------------


def test_stats_json(aged, capsys):
    code, out, _ = run(capsys, "stats", "--json")
    figures = json.loads(out)
    keys = {"results", "bytes", "by_type", "by_pdk", "by_status", "oldest", "newest", "unreadable", "temporary_files"}
    assert code == 0 and keys <= set(figures)
    assert (figures["results"], figures["by_type"]["modes"]["results"], figures["unreadable"]) == (5, 1, 2)


def test_stats_text(aged, capsys):
    code, out, _ = run(capsys, "stats")
    assert code == 0 and "Results: 5 (" in out and "Unreadable files: 2" in out and "Temporary files: 2 (8 B)" in out


def test_prune_dry_run_lists_and_removes_nothing(aged, capsys, store):
    code, out, err = run(capsys, "prune", "--older-than", "35d", "--dry-run")
    assert code == 0 and out.splitlines()[-1].startswith("Would remove 2 of 5 simulation result(s), ")
    assert [line.split()[0] for line in out.splitlines()[1:-1]] == [aged["a"], aged["b"]]
    assert err.count("left in place") == 2 and remaining(store) == list("abcde")


def test_prune_refuses_without_a_terminal(aged, capsys, monkeypatch, store):
    monkeypatch.setattr(sys, "stdin", io.StringIO("y\n"))
    code, _, err = run(capsys, "prune", "--status", "error")
    assert code == 1 and "refusing to remove 2 simulation result(s) without confirmation; use --yes" in err
    assert remaining(store) == list("abcde")


@pytest.mark.parametrize(("answer", "code", "left"), [("y\n", 0, "acd"), ("n\n", 1, "abcde")])
def test_prune_asks_on_a_terminal(aged, capsys, monkeypatch, answer, code, left, store):
    monkeypatch.setattr(sys, "stdin", Terminal(answer))
    result, out, _ = run(capsys, "prune", "--status", "error")
    assert result == code and "Remove 2 simulation result(s) (" in out
    assert remaining(store) == list(left)


def test_prune_and_tidy_with_yes(aged, capsys, store):
    code, out, _ = run(capsys, "prune", "--max-size", "0", "--type", "modes", "--yes")
    assert code == 0 and out.startswith("Removed 1 simulation result(s), ") and remaining(store) == list("abde")
    code, out, _ = run(capsys, "tidy", "--yes")
    assert (code, out) == (
        0,
        "Removed 1 temporary or lock file(s), 5 B; 1 newer or held one(s) left, perhaps saves or simulations in progress.\n",
    )


@pytest.mark.parametrize(
    "argv",
    [
        ["prune"],
        ["prune", "--dry-run"],
        ["prune", "--older-than", "90"],
        ["prune", "--max-size", "5XB"],
        ["prune", "--max-count", "-1"],
        ["prune", "--status", "maybe"],
        ["tidy", "--older-than", "soon"],
    ],
)
def test_usage_errors(store, capsys, argv):
    code, out, err = run(capsys, *argv)
    assert (code, out) == (2, "") and "usage: lumora-results" in err


# --- progress -----------------------------------------------------------------


@pytest.mark.parametrize("terminal", [False, True])
def test_progress_shows_a_bar_on_a_terminal_only(monkeypatch, terminal):
    pytest.importorskip("tqdm")
    stream = Terminal() if terminal else io.StringIO()
    monkeypatch.setattr(sys, "stderr", stream)

    def slow():  # the bar shows only for work that takes a while
        yield from range(2)
        time.sleep(0.6)
        yield 2

    assert list(progress.progress(slow(), total=3, description="Reading results")) == [0, 1, 2]
    assert ("Reading results" in stream.getvalue()) is terminal
