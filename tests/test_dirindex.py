"""A kept directory answers globs as a fresh read of it would, whoever
changed it and however."""

from __future__ import annotations

import contextlib
import ctypes
import errno
import os
import random
import shutil
import subprocess
import sys
from collections.abc import Callable
from pathlib import Path
from types import SimpleNamespace
from typing import Any

import pytest

from lumora import _dirindex
from lumora.paths import LocalStorePath

pytestmark = pytest.mark.skipif(_dirindex._INDEX is None, reason="needs inotify")

ID = "0123456789abcdef"
PATTERNS = (f"*_{ID}.json", "*.json", "*.tmp")


def same_as_pathlib(directory: Path) -> None:
    for pattern in PATTERNS:
        kept = sorted(map(str, LocalStorePath(directory).glob(pattern)))
        assert kept == sorted(map(str, Path(directory).glob(pattern))), pattern


def elsewhere(code: str) -> None:
    subprocess.run([sys.executable, "-c", code], check=True)


# Each change is made after the directory is kept, by this process or another.
CHANGES = {
    "create": lambda d: (d / f"a_{ID}.json").write_text("{}"),
    "create, hidden": lambda d: (d / f".b_{ID}.json").write_text("{}"),
    "unlink": lambda d: (d / f"old_{ID}.json").unlink(),
    "replace onto": lambda d: os.replace(d / "x.tmp", d / f"old_{ID}.json"),
    "rename away": lambda d: os.rename(d / f"old_{ID}.json", d.parent / "moved.json"),
    "rename in": lambda d: os.rename(d.parent / "outside.json", d / f"in_{ID}.json"),
    "directory": lambda d: (d / f"dir_{ID}.json").mkdir(),
    "hard link": lambda d: os.link(d / "x.tmp", d / f"link_{ID}.json"),
    "other process": lambda d: elsewhere(f"open({str(d / f'p_{ID}.json')!r}, 'w').close()"),
    "other process, unlink": lambda d: elsewhere(f"import os; os.unlink({str(d / f'old_{ID}.json')!r})"),
}


@pytest.mark.parametrize("change", CHANGES)
def test_changes_are_seen_at_once(tmp_path, change):
    d = tmp_path / "t1"
    d.mkdir()
    for name in (f"old_{ID}.json", "x.tmp", "y.json"):
        (d / name).write_text("{}")
    (tmp_path / "outside.json").write_text("{}")
    same_as_pathlib(d)
    CHANGES[change](d)
    same_as_pathlib(d)


def test_a_path_that_leads_elsewhere_is_read_again(tmp_path):
    # The directory (or a parent) moved and another took its place: the kept
    # names are the old directory's.
    root = tmp_path / "root"
    (root / "t1").mkdir(parents=True)
    (root / "t1" / f"a_{ID}.json").write_text("{}")
    same_as_pathlib(root / "t1")
    os.rename(root, tmp_path / "old-root")
    (root / "t1").mkdir(parents=True)
    (root / "t1" / f"b_{ID}.json").write_text("{}")
    assert [p.name for p in LocalStorePath(root, "t1").glob(f"*_{ID}.json")] == [f"b_{ID}.json"]
    os.rename(root / "t1", root / "t2")
    assert list(LocalStorePath(root, "t1").glob("*.json")) == []


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_a_forked_child_does_not_take_the_parents_events(tmp_path):
    d = tmp_path / "t1"
    d.mkdir()
    same_as_pathlib(d)
    pid = os.fork()
    if pid == 0:  # the child reads its own view, then the parent's changes must still reach the parent
        try:
            same_as_pathlib(d)
            (d / f"c_{ID}.json").write_text("{}")
            same_as_pathlib(d)
        finally:
            os._exit(0)
    assert os.waitpid(pid, 0)[1] == 0
    same_as_pathlib(d)
    (d / f"c_{ID}.json").unlink()
    same_as_pathlib(d)


def test_lost_events_drop_what_was_kept(tmp_path, monkeypatch):
    d = tmp_path / "t1"
    d.mkdir()
    same_as_pathlib(d)
    index = _dirindex._INDEX
    assert index is not None and index._dirs
    overflow = _dirindex._EVENT.pack(-1, _dirindex._IN_Q_OVERFLOW, 0, 0)
    real_read = os.read
    reads = iter([overflow])
    monkeypatch.setattr(os, "read", lambda fd, n: next(reads, None) or real_read(fd, n))
    (d / f"a_{ID}.json").write_text("{}")
    index._drain()
    assert not index._dirs
    monkeypatch.undo()
    same_as_pathlib(d)


def exchange(a: Path, b: Path) -> None:
    """Swaps two names atomically, as `mv --exchange` does."""
    at_fdcwd, rename_exchange = -100, 2
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.renameat2(at_fdcwd, os.fsencode(a), at_fdcwd, os.fsencode(b), rename_exchange) != 0:
        err = ctypes.get_errno()
        if err in (errno.EINVAL, errno.ENOSYS, errno.EOPNOTSUPP):
            pytest.skip(f"RENAME_EXCHANGE refused: {os.strerror(err)}")
        raise OSError(err, os.strerror(err))


@pytest.mark.parametrize("across", [False, True], ids=["same directory", "across directories"])
def test_a_swap_keeps_both_names(tmp_path, across):
    d1, d2 = tmp_path / "t1", tmp_path / ("t2" if across else "t1")
    for d in (d1, d2):
        d.mkdir(exist_ok=True)
        same_as_pathlib(d)
    (d1 / f"a_{ID}.json").write_text("{}")
    (d2 / "b.json").write_text("[]")
    for _ in range(2):  # there and back
        exchange(d1 / f"a_{ID}.json", d2 / "b.json")
        for d in (d1, d2):
            same_as_pathlib(d)


def point(link: Path, target: str) -> None:
    (tmp := link.with_name("link.tmp")).symlink_to(target)
    os.replace(tmp, link)


@pytest.mark.parametrize("step", ["watch", "listing"])
def test_a_root_link_flipped_meanwhile_never_splits_watch_and_names(tmp_path, monkeypatch, step):
    # Another process points the store's root at B and back at A right
    # around one step of setting up the watch: the worst interleaving.
    root = tmp_path / "root"
    for side in "AB":
        (tmp_path / side / "t1").mkdir(parents=True)
        (tmp_path / side / "t1" / f"{side}_{ID}.json").write_text("{}")
    root.symlink_to("A")
    index = _dirindex._INDEX
    assert index is not None

    def flipped(call: Callable[..., Any]) -> Callable[..., Any]:
        def during(*args: Any) -> Any:
            point(root, "B")
            try:
                return call(*args)
            finally:
                point(root, "A")

        return during

    libc = index._libc
    if step == "watch":
        hooked = SimpleNamespace(
            inotify_init1=libc.inotify_init1,
            inotify_rm_watch=libc.inotify_rm_watch,
            inotify_add_watch=flipped(libc.inotify_add_watch),
        )
        monkeypatch.setattr(index, "_libc", hooked)
    else:
        monkeypatch.setattr(os, "listdir", flipped(os.listdir))
    list(LocalStorePath(root, "t1").glob("*.json"))
    monkeypatch.undo()
    same_as_pathlib(root / "t1")
    new = tmp_path / "A" / "t1" / f"new_{ID}.json"
    new.write_text("{}")
    same_as_pathlib(root / "t1")
    (tmp_path / "A" / "t1" / f"A_{ID}.json").unlink()
    same_as_pathlib(root / "t1")


@pytest.mark.parametrize(("dirs", "added"), [(1, 6), (2, 4)], ids=["one directory past it", "two together past it"])
def test_the_cap_on_kept_names_holds_as_names_arrive(tmp_path, monkeypatch, dirs, added):
    monkeypatch.setattr(_dirindex, "_MAX_NAMES", 5)
    index = _dirindex._INDEX
    assert index is not None
    kept = [tmp_path / f"t{i}" for i in range(dirs)]
    for d in kept:
        d.mkdir()
        (d / "x.json").write_text("{}")
        same_as_pathlib(d)
    for i in range(added):
        (kept[i % dirs] / f"n{i}_{ID}.json").write_text("{}")
    index._drain()
    assert sum(len(d.names) for d in index._dirs.values()) <= 5
    for d in kept:
        same_as_pathlib(d)


def fresh_below(root: Path, suffix: str) -> list[str]:
    """What a look-up by ID finds below root, read afresh."""
    return [
        str(path)
        for directory in Path(root).iterdir()
        if directory.is_dir()
        for path in directory.iterdir()
        if path.name.endswith(suffix)
    ]


def test_the_store_and_its_type_directories_answer_as_fresh_reads_after_random_changes(tmp_path):
    rng = random.Random(7)
    root, outside = LocalStorePath(tmp_path / "root"), tmp_path / "outside"
    root.mkdir()
    outside.mkdir()
    suffix = f"_{ID}.json"

    def some(where: Path) -> list[Path]:
        return sorted(where.iterdir()) if where.is_dir() else []

    changes: list[Callable[[], object]] = [
        lambda: (root / rng.choice("abc")).mkdir(exist_ok=True),
        lambda: (d := rng.choice(some(root) or [root])).is_dir() and (d / f"{rng.choice('xy')}{suffix}").touch(),
        lambda: (d := rng.choice(some(root) or [root])).is_dir() and (d / "other.json").touch(),
        lambda: (files := [f for d in some(root) for f in some(d)]) and rng.choice(files).unlink(),
        lambda: (
            (dirs := [d for d in some(root) if d.is_dir() and not d.is_symlink()])
            and os.rename(rng.choice(dirs), outside / f"moved{rng.random()}")
        ),
        lambda: (moved := some(outside)) and os.rename(rng.choice(moved), root / rng.choice("abcd")),
        lambda: (root / "link").is_symlink() or (root / "link").symlink_to(rng.choice(some(outside) or [outside])),
        lambda: (root / "link").unlink(missing_ok=True),
        lambda: (root / f"file{suffix}").touch(),
        lambda: (d := root / rng.choice("abcd")).is_dir() and not d.is_symlink() and shutil.rmtree(d),
    ]
    for _ in range(300):
        with contextlib.suppress(OSError):
            rng.choice(changes)()
        kept = root.kept_below(suffix)
        assert kept is not None and sorted(map(str, kept)) == sorted(fresh_below(root, suffix))
        assert sorted(map(str, root.iterdir())) == sorted(map(str, Path(root).iterdir()))


@pytest.mark.parametrize("base", ["/", ".", "a", "a/b/", "//a", "a/./b", ""])
@pytest.mark.parametrize("key", ["x_1.json", "..", ".", "a/b", "", "/abs"])
def test_a_joined_path_is_pathlib_s(base, key):
    joined = LocalStorePath(base) / key
    assert type(joined) is LocalStorePath
    assert (str(joined), joined.parts, joined.name, str(joined.parent)) == (
        str(Path(base) / key),
        (Path(base) / key).parts,
        (Path(base) / key).name,
        str((Path(base) / key).parent),
    )


@pytest.mark.parametrize(("value", "kept"), [(None, True), ("1", True), ("0", False), (" 0\n", False)])
def test_the_switch_is_read_at_each_question(tmp_path, monkeypatch, value, kept):
    (tmp_path / f"a_{ID}.json").write_text("{}")
    monkeypatch.delenv("LUMORA_DIR_INDEX", raising=False)
    assert _dirindex.names(str(tmp_path)) is not None
    if value is None:
        monkeypatch.delenv("LUMORA_DIR_INDEX", raising=False)
    else:
        monkeypatch.setenv("LUMORA_DIR_INDEX", value)
    assert (_dirindex.names(str(tmp_path)) is not None) is kept
    same_as_pathlib(tmp_path)


def _kinds(base: Path) -> None:
    (base / "dir").mkdir()
    (base / "file").write_text("{}")
    os.mkfifo(base / "fifo")
    for name, target in [("to_dir", "dir"), ("to_file", "file"), ("dangling", "gone"), ("loop", "loop")]:
        os.symlink(target, base / name)
    (base / "shut").mkdir()
    (base / "shut" / "inside").mkdir()
    os.chmod(base / "shut", 0)


KINDS = ["dir", "file", "fifo", "to_dir", "to_file", "dangling", "loop", "gone", "file/below", "dir/", "shut/inside"]


@pytest.mark.parametrize("follow", [True, False])
def test_exists_and_is_dir_answer_or_raise_as_pathlib(tmp_path, follow):
    _kinds(tmp_path)
    try:
        for name in KINDS:
            for ask in ("exists", "is_dir"):
                answers = []
                for path in (Path(tmp_path, name), LocalStorePath(tmp_path, name)):
                    try:
                        answers.append(getattr(path, ask)(follow_symlinks=follow))
                    except OSError as exc:
                        answers.append(type(exc))
                assert answers[0] == answers[1], (name, ask)
    finally:
        os.chmod(tmp_path / "shut", 0o700)


def mounted_over(path: Path) -> contextlib.AbstractContextManager[None]:
    @contextlib.contextmanager
    def mounted() -> Any:
        if subprocess.run(["mount", "-t", "tmpfs", "none", str(path)], capture_output=True).returncode != 0:
            pytest.skip("cannot mount here")
        try:
            yield
        finally:
            subprocess.run(["umount", "--lazy", str(path)], check=True)  # the index may hold it open

    return mounted()


def replaced_by_link(above: Path, elsewhere: Path) -> None:
    os.rename(above, above.with_name("was"))
    above.symlink_to(elsewhere)


# Each one makes the path lead to another directory, or to none, by a change
# above the directory asked for: a directory two levels up moved, replaced
# by a link, swapped, removed by another process, or covered by a mount.
ABOVE: dict[str, Callable[[Path, Path], object]] = {
    "renamed": lambda above, other: (os.rename(above, above.with_name("was")), os.rename(other, above)),
    "replaced by a link": replaced_by_link,
    "swapped": lambda above, other: exchange(above, other),
    "removed elsewhere": lambda above, other: elsewhere(f"import shutil; shutil.rmtree({str(above)!r})"),
    "mounted over": lambda above, other: None,  # entered by the test, which leaves it
    "itself mounted over": lambda above, other: None,
}


@pytest.mark.parametrize("change", ABOVE)
def test_a_change_above_a_kept_directory_is_seen_at_once(tmp_path, change):
    trees = {}
    for side in ("one", "other"):
        d = tmp_path / side / "store" / "t1"
        d.mkdir(parents=True)
        (d / f"{side}_{ID}.json").write_text("{}")
        trees[side] = tmp_path / side
    asked = trees["one"] / "store" / "t1"
    with contextlib.ExitStack() as stack:
        for _ in range(2):  # the second question is answered without a stat
            same_as_pathlib(asked)
            LocalStorePath(asked.parent).kept_below(f"_{ID}.json")
        if change.endswith("mounted over"):
            stack.enter_context(mounted_over(asked if change.startswith("itself") else trees["one"]))
        else:
            ABOVE[change](trees["one"], trees["other"])
        store = LocalStorePath(asked.parent)
        if store.is_dir():
            kept = store.kept_below(f"_{ID}.json")
            assert kept is not None and sorted(map(str, kept)) == sorted(fresh_below(store, f"_{ID}.json"))
            assert sorted(map(str, store.iterdir())) == sorted(map(str, asked.parent.iterdir()))
        same_as_pathlib(asked)
        if asked.is_dir():
            (asked / f"new_{ID}.json").write_text("{}")
            same_as_pathlib(asked)


def test_a_relative_path_follows_the_working_directory(tmp_path, monkeypatch):
    for side in ("a", "b"):
        (tmp_path / side / "t1").mkdir(parents=True)
        (tmp_path / side / "t1" / f"{side}_{ID}.json").write_text("{}")
    for side in ("a", "b", "a"):
        monkeypatch.chdir(tmp_path / side)
        for _ in range(2):
            assert [p.name for p in LocalStorePath("t1").glob(f"*_{ID}.json")] == [f"{side}_{ID}.json"]


def test_more_directories_than_are_kept_answer_in_turn(tmp_path):
    dirs = [tmp_path / f"d{i}" / "t1" for i in range(3 * _dirindex._MAX_DIRS)]
    for d in dirs:
        d.mkdir(parents=True)
        (d / f"{d.parent.name}_{ID}.json").write_text("{}")
    for turn in range(2):
        for d in dirs:
            same_as_pathlib(d)
            if turn:
                os.rename(d.parent, d.parent.with_name(d.parent.name + "x"))
                d.parent.mkdir()
        for d in dirs[: _dirindex._MAX_DIRS]:
            same_as_pathlib(d)
