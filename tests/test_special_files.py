"""What is not a regular file in a type directory is never waited on or read,
and what a clear removes when the store changes under it."""

from __future__ import annotations

import errno
import json
import os
import subprocess
import sys

import pytest
from conftest import identity, outcome

from lumora.paths import LocalStorePath

pytestmark = pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs FIFOs and /dev/zero")

FIFO_ID, ZERO_ID = "0123456789abcdef", "fedcba9876543210"

# Runs in a child process, so that a read that blocks or never ends fails the
# test by its timeout instead of stopping the suite (or exhausting memory:
# see limit_memory).
CHILD = r"""
import contextlib, io, json, logging, sys
from lumora.core import simulation_storage as ss
from lumora.results import main

messages = []
handler = logging.Handler(logging.WARNING)
handler.emit = lambda record: messages.append(record.getMessage())
logging.getLogger("lumora").addHandler(handler)

def cli(*argv):
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        code = main(list(argv))
    return [code, out.getvalue(), err.getvalue()]

def load(simulation_id):
    try:
        return ss.load_simulation_result(simulation_id).simulation_id
    except OSError as exc:
        return [exc.errno, exc.filename]

report = {"listed": [r.simulation_id for r in ss.list_simulation_results()], "list_warnings": messages[:]}
report["load"] = {i: load(i) for i in sys.argv[1:]}
report["cli"] = {
    "list": cli("list"),
    **{f"show {i}": cli("show", i) for i in sys.argv[1:]},
    "clear": cli("clear", "--yes"),
}
report["clear again"] = ss.clear_simulation_results()
print(json.dumps(report))
"""


def limit_memory():
    # Under the sanitizers the shadow memory needs the whole address space;
    # their allocator is capped through ASAN_OPTIONS instead.
    if "asan" not in os.environ.get("LD_PRELOAD", ""):
        import resource

        resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))


@pytest.fixture(params=["path", "file-url"])
def special_store(request, ss, store, tmp_path):
    """A store of one good result, reached through a symbolic link, beside a
    FIFO and a link to /dev/zero named as results; the value of the store
    setting."""
    good = ss.save_simulation_result(**identity(), **outcome())
    path = ss._find_simulation_file(good.simulation_id)
    kept = tmp_path / "elsewhere.json"
    path.rename(kept)
    path.symlink_to(kept)
    os.mkfifo(path.parent / f"x_{FIFO_ID}.json")
    (path.parent / f"z_{ZERO_ID}.json").symlink_to("/dev/zero")
    if request.param == "path":
        return good.simulation_id, str(store)
    pytest.importorskip("upath")
    return good.simulation_id, f"file://{store}"


def test_special_files_neither_block_nor_are_read(special_store, store):
    good_id, setting = special_store
    env = {**os.environ, "LUMORA_SIMULATIONS_DIR": setting}
    env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":allocator_may_return_null=1:max_allocation_size_mb=1024"
    child = subprocess.run(
        [sys.executable, "-c", CHILD, good_id, FIFO_ID, ZERO_ID],
        capture_output=True,
        text=True,
        env=env,
        timeout=60,
        preexec_fn=limit_memory,
    )
    assert child.returncode == 0, child.stderr
    report = json.loads(child.stdout)
    specials = {i: str(store / "sparams" / f"{c}_{i}.json") for c, i in (("x", FIFO_ID), ("z", ZERO_ID))}
    shown = {i: setting.removesuffix(str(store)) + path for i, path in specials.items()}

    assert report["listed"] == [good_id]
    assert sorted(report["list_warnings"]) == sorted(f"Failed to parse simulation file: {p}" for p in shown.values())
    assert report["load"] == {good_id: good_id, **{i: [errno.EINVAL, p] for i, p in specials.items()}}
    cli = report["cli"]
    assert cli["list"][0] == 0 and good_id in cli["list"][1]
    assert cli[f"show {good_id}"][0] == 0
    for i, path in specials.items():
        code, out, err = cli[f"show {i}"]
        assert (code, out) == (1, "") and "not a regular file" in err and path in err
    assert cli["clear"][:2] == [0, "Removed 1 simulation result(s).\n"]
    # What the listing cannot read stays, as any unreadable file does.
    assert report["clear again"] == 0
    assert sorted(p.name for p in (store / "sparams").iterdir()) == [f"x_{FIFO_ID}.json", f"z_{ZERO_ID}.json"]


@pytest.mark.parametrize(
    "make, expected",
    [
        (lambda p: p.mkdir(), IsADirectoryError),
        (lambda p: p.write_bytes(b""), b""),
        # Its size says 0: the content is read all the same.
        pytest.param(
            lambda p: p.symlink_to("/proc/self/status"),
            b"Name:",
            marks=pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="no /proc"),
        ),
    ],
    ids=["directory", "empty", "size-hint-zero"],
)
def test_read_bytes(tmp_path, make, expected):
    path = LocalStorePath(tmp_path, "r.json")
    make(path)
    if expected is IsADirectoryError:
        with pytest.raises(IsADirectoryError) as caught:
            path.read_bytes()
        assert (caught.value.errno, caught.value.filename) == (errno.EISDIR, str(path))
    else:
        data = path.read_bytes()
        assert data.startswith(expected) if expected else data == b""


def test_a_clear_removes_what_holds_a_listed_id_at_its_deletion(ss, store, monkeypatch):
    """As README says: a re-save of a listed identity during a clear is removed,
    a result of another identity saved meanwhile is kept."""
    ss.save_simulation_result(**identity(), **outcome())
    listing = ss.list_simulation_results

    def list_then_save_elsewhere(**filters):
        found = listing(**filters)
        ss.save_simulation_result(**identity(), **outcome(result={"s21": [0.9]}))
        ss.save_simulation_result(**identity(component_name="other"), **outcome())
        return found

    monkeypatch.setattr(ss, "list_simulation_results", list_then_save_elsewhere)
    assert ss.clear_simulation_results() == 1
    monkeypatch.setattr(ss, "list_simulation_results", listing)
    assert [r.component_name for r in ss.list_simulation_results()] == ["other"]
