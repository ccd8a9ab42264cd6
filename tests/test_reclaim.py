"""Removing names at once while a thread gives the blocks back."""

import fcntl
import os
import tempfile
import threading
import time
from pathlib import Path

import pytest

from lumora import _reclaim
from lumora.paths import LocalStorePath


def held(directory):
    """Paths below directory that a descriptor of this process still refers to."""
    found = []
    for fd in os.listdir("/proc/self/fd"):
        try:
            target = os.readlink(f"/proc/self/fd/{fd}")
        except OSError:
            continue
        if target.startswith(str(directory)):
            found.append(target)
    return found


IF_SAME = lambda path: _reclaim.unlink_if(path, lambda info: True)  # noqa: E731

REMOVALS = {
    "unlink": lambda path: _reclaim.unlink(path),
    "unlink_if same": IF_SAME,
    "LocalStorePath.unlink": lambda path: LocalStorePath(path).unlink(),
}


@pytest.fixture(autouse=True)
def deferring(monkeypatch):
    # As after slow unlinks: each file is held across its unlink and closed by the closer.
    monkeypatch.setattr(_reclaim, "_cost", 1.0)
    monkeypatch.setattr(_reclaim, "_PROBE_EVERY", 10**9)


@pytest.fixture(params=["disk", "tmpfs"])
def where(request, tmp_path):
    if request.param == "disk":
        yield tmp_path
        return
    if not os.path.isdir("/dev/shm") or os.major(os.stat("/dev/shm").st_dev) != 0:
        pytest.skip("no tmpfs at /dev/shm")
    with tempfile.TemporaryDirectory(dir="/dev/shm") as directory:
        yield Path(directory)


@pytest.mark.parametrize("remove", REMOVALS.values(), ids=REMOVALS)
@pytest.mark.parametrize("kind", ["file", "link"])
def test_the_name_goes_at_once_and_nothing_is_held_after_settle(where, remove, kind):
    target = where / "target"
    target.write_bytes(b"x" * 50_000)
    path = where / "name"
    path.write_bytes(b"y" * 50_000) if kind == "file" else path.symlink_to(target)
    remove(path)
    assert not os.path.lexists(path)
    assert target.read_bytes() == b"x" * 50_000  # a link's target is not what goes
    if where.parent == Path("/dev/shm"):
        assert held(where) == []  # no block device: nothing is left for later
    _reclaim.settle()
    assert held(where) == []


@pytest.mark.parametrize(
    ("make", "remove", "error"),
    [
        (lambda p: None, _reclaim.unlink, FileNotFoundError),
        (lambda p: None, IF_SAME, FileNotFoundError),
        (lambda p: p.symlink_to(p.with_name("nowhere")), IF_SAME, FileNotFoundError),
        (lambda p: p.mkdir(), _reclaim.unlink, IsADirectoryError),
        (lambda p: p.write_bytes(b"new"), lambda p: _reclaim.unlink_if(p, lambda info: False), None),
    ],
    ids=["missing", "missing, if", "dangling link, if", "directory", "changed, if"],
)
def test_what_is_not_removed_stays_and_holds_nothing(tmp_path, make, remove, error):
    path = tmp_path / "name"
    make(path)
    there = os.path.lexists(path)
    if error is None:
        assert remove(path) is False
    else:
        with pytest.raises(error) as raised:
            remove(path)
        assert raised.value.filename == str(path)
    assert os.path.lexists(path) == there
    assert held(tmp_path) == []


@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")  # others' threads
def test_a_fork_leaves_no_removed_file_held_nor_the_closer_running(tmp_path):
    for i in range(40):
        (tmp_path / str(i)).write_bytes(b"x" * 50_000)
        _reclaim.unlink(tmp_path / str(i))
    pid = os.fork()
    if pid == 0:
        os._exit(len(held(tmp_path)))
    assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0
    assert held(tmp_path) == []
    assert "lumora-reclaim" not in [thread.name for thread in threading.enumerate()]


def test_closes_made_in_runs_leave_a_descriptor_among_them_open(tmp_path, monkeypatch):
    # One batch of 40, whose numbers go around another file's descriptor.
    monkeypatch.setattr(_reclaim, "_BATCH", 40)
    monkeypatch.setattr(_reclaim, "_GATHER_SECONDS", 60.0)
    monkeypatch.setattr(_reclaim, "_BASE", 700)
    other = tmp_path / "other"
    other.write_bytes(b"o")
    fd = os.open(other, os.O_RDONLY)
    foreign = fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 710)
    os.close(fd)
    try:
        for i in range(40):
            (tmp_path / str(i)).write_bytes(b"x" * 50_000)
            _reclaim.unlink(tmp_path / str(i))
        deadline = time.monotonic() + 10
        while _reclaim._pending and time.monotonic() < deadline:
            time.sleep(0.001)  # until the closer took them, not settle
        _reclaim.settle()
        assert held(tmp_path) == [str(other)]
        assert os.readlink(f"/proc/self/fd/{foreign}") == str(other)
    finally:
        os.close(foreign)
