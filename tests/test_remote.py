"""Stores on object storage: fsspec's in-memory file system, and S3 through a
local moto server (loopback only, dummy credentials)."""

from __future__ import annotations

import asyncio
import collections
import errno
import logging
import os
import socket
import subprocess
import sys
import threading
import types
import uuid
from pathlib import Path

import orjson
import pytest
from conftest import Terminal, identity, outcome

from lumora import progress, settings
from lumora.paths import LocalStorePath

upath = pytest.importorskip("upath")
fsspec = pytest.importorskip("fsspec")
import fsspec.asyn  # noqa: E402, F811
import fsspec.implementations.memory  # noqa: E402
import upath.implementations.memory  # noqa: E402, F811
import upath.registry  # noqa: E402
from test_upkeep import TEMPORARY, changed_after_the_plan  # noqa: E402
from test_upkeep import save as aged_result  # noqa: E402

from lumora import upkeep  # noqa: E402
from lumora.remote import LocalURLPath, S3StorePath, StorePath, remote_window, store_path  # noqa: E402
from lumora.remote import s3 as s3_module  # noqa: E402

BUCKET = "lumora-test"


def _loopback_available() -> bool:
    try:
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
        return True
    except OSError:
        return False


@pytest.fixture(scope="module")
def s3_endpoint(tmp_path_factory):
    """A moto S3 server on 127.0.0.1, with the environment pointing every AWS client at it."""
    server_module = pytest.importorskip("moto.server", reason="moto[server] is not installed")
    boto3 = pytest.importorskip("boto3")
    s3fs = pytest.importorskip("s3fs")
    if not _loopback_available():
        pytest.skip("cannot listen on 127.0.0.1")
    logging.getLogger("werkzeug").setLevel(logging.ERROR)
    server = server_module.ThreadedMotoServer(ip_address="127.0.0.1", port=0, verbose=False)
    server.start()
    endpoint = f"http://127.0.0.1:{server.get_host_and_port()[1]}"
    env = pytest.MonkeyPatch()
    # Nothing from this machine's AWS set-up may steer a client elsewhere.
    for name in ("AWS_PROFILE", "AWS_SESSION_TOKEN", "AWS_ENDPOINT_URL_S3", "AWS_IGNORE_CONFIGURED_ENDPOINT_URLS"):
        env.delenv(name, raising=False)
    # An empty file of our own rather than /dev/null, which a process on a
    # shared machine may have left as a regular file with content.
    empty = tmp_path_factory.mktemp("aws") / "empty"
    empty.write_bytes(b"")
    env.setenv("AWS_CONFIG_FILE", str(empty))
    env.setenv("AWS_SHARED_CREDENTIALS_FILE", str(empty))
    env.setenv("AWS_ACCESS_KEY_ID", "testing")
    env.setenv("AWS_SECRET_ACCESS_KEY", "testing")
    env.setenv("AWS_DEFAULT_REGION", "us-east-1")
    env.setenv("AWS_EC2_METADATA_DISABLED", "true")
    env.setenv("AWS_ENDPOINT_URL", endpoint)
    s3fs.S3FileSystem.clear_instance_cache()
    client = boto3.client("s3", endpoint_url=endpoint)
    client.create_bucket(Bucket=BUCKET)
    yield client
    s3fs.S3FileSystem.clear_instance_cache()
    env.undo()
    server.stop()


@pytest.fixture(params=["memory", "s3"])
def remote(request, monkeypatch):
    """The URL of a fresh store root, named by the settings."""
    if request.param == "s3":
        request.getfixturevalue("s3_endpoint")
        url = f"s3://{BUCKET}/{uuid.uuid4().hex}/store"
    else:
        url = f"memory://lumora-{uuid.uuid4().hex}/store"
    monkeypatch.setenv("LUMORA_SIMULATIONS_DIR", url)
    yield url
    if request.param == "memory":
        fs = fsspec.filesystem("memory")
        base = url.removeprefix("memory://").split("/")[0]
        if fs.exists(base):
            fs.rm(base, recursive=True)


def keys(root):
    """Every object or file below root, as a path relative to it."""
    prefix = root.fs._strip_protocol(root.path).rstrip("/") + "/"
    found = root.fs.find(root.path, withdirs=False)
    return sorted(p.removeprefix(prefix) for p in found if not p.endswith("/"))  # S3's directory markers


@pytest.mark.parametrize(
    "value, protocol, kind, local",
    [
        ("s3://bucket/team/sims", "s3", S3StorePath, None),
        ("memory://store", "memory", StorePath, None),
        ("file:///tmp/store", "file", LocalURLPath, Path("/tmp/store")),
        ("S3://b/p", "s3", S3StorePath, None),
    ],
)
def test_a_url_gives_a_universal_path(monkeypatch, value, protocol, kind, local):
    monkeypatch.setenv("LUMORA_SIMULATIONS_DIR", value)
    root = settings.get_simulations_dir()
    assert isinstance(root, StorePath) and isinstance(root, upath.UPath)
    assert (root.protocol, type(root), type(root / "t1")) == (protocol, kind, kind)
    assert root.local_path() == local


@pytest.mark.parametrize("value, error", [("s3://", "names no bucket"), ("nosuchscheme://x", "nosuchscheme")])
def test_unusable_urls_are_refused(monkeypatch, value, error):
    monkeypatch.setenv("LUMORA_SIMULATIONS_DIR", value)
    with pytest.raises(ValueError, match=error):
        settings.get_simulations_dir()


@pytest.mark.parametrize("value", ["C:\\store", "C://store", "relative/store", "/abs/store", "s3:/one-slash"])
def test_a_path_stays_a_pathlib_path(monkeypatch, value):
    monkeypatch.setenv("LUMORA_SIMULATIONS_DIR", value)
    root = settings.get_simulations_dir()
    assert root == Path(value) and type(root) is LocalStorePath


@pytest.mark.parametrize("missing", ["upath", "s3fs"])
def test_missing_libraries_name_the_extra(monkeypatch, missing):
    """Without the extra a URL is refused at once, with the command that installs it."""
    monkeypatch.setitem(sys.modules, missing, None)  # an import of it now fails
    for name in [m for m in sys.modules if m.split(".")[:2] == ["lumora", "remote"]]:
        monkeypatch.delitem(sys.modules, name)
    if missing == "s3fs":
        monkeypatch.delitem(sys.modules["fsspec.registry"]._registry, "s3", raising=False)
    monkeypatch.setenv("LUMORA_SIMULATIONS_DIR", "s3://bucket/sims")
    with pytest.raises(ImportError, match=r"pip install 'lumora\[remote\]'"):
        settings.get_simulations_dir()


def test_plain_paths_import_no_remote_library():
    code = (
        "import sys; from lumora import settings; settings.get_simulations_dir();"
        "print(*[m for m in ('upath', 'fsspec', 'lumora.remote') if m in sys.modules])"
    )
    env = {**os.environ, "LUMORA_SIMULATIONS_DIR": "/tmp/store"}
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True, env=env).stdout
    assert out.split() == []


def test_round_trip(ss, remote, logs):
    root = settings.get_simulations_dir()
    assert ss.list_simulation_results() == [] and ss._find_simulation_file("0123456789abcdef") is None
    assert not root.exists()  # look-ups create nothing

    first = ss.save_simulation_result(**identity(), **outcome())
    path = root / "sparams" / f"mmi1x2_{first.simulation_id}.json"
    assert path.read_bytes() == orjson.dumps(first.model_dump(), option=orjson.OPT_INDENT_2)
    assert str(ss._find_simulation_file(first.simulation_id)) == str(path)
    assert ss.find_simulation_result(**identity()) == first
    assert logs()[-1] == ("DEBUG", f"Saved simulation result: {remote}/sparams/mmi1x2_{first.simulation_id}.json")

    again = ss.save_simulation_result(**identity(), **outcome(result={"s21": [1.0]}))
    other = ss.save_simulation_result(**identity(component_name="c_2", simulation_type="modes"), **outcome())
    assert ss.load_simulation_result(first.simulation_id) == again  # last writer wins
    assert keys(root) == [f"modes/c_2_{other.simulation_id}.json", f"sparams/mmi1x2_{first.simulation_id}.json"]
    assert ss.list_simulation_results() == [other, again]
    assert ss.list_simulation_results(simulation_type="modes", component_name="c_2") == [other]

    assert ss.delete_simulation_result(other.simulation_id) is True
    assert ss.delete_simulation_result(other.simulation_id) is False
    assert ss.clear_simulation_results() == 1
    assert ss.list_simulation_results() == [] and keys(root) == []
    assert (root / "sparams").is_dir() and (root / "modes").is_dir()  # directories outlive their files
    assert sorted(p.name for p in root.iterdir()) == ["modes", "sparams"]


def test_writes_of_another_machine_are_seen_at_once(ss, s3_endpoint, monkeypatch):
    remote = f"s3://{BUCKET}/{uuid.uuid4().hex}/store"
    monkeypatch.setenv("LUMORA_SIMULATIONS_DIR", remote)
    mine = ss.save_simulation_result(**identity(), **outcome())
    assert ss.list_simulation_results() == [mine]
    # Another machine stores a result: its own client, straight to the bucket.
    record = mine.model_copy(update={"simulation_id": "00000000000000ff", "simulation_date": "2999-01-01T00:00:00"})
    prefix = remote.removeprefix(f"s3://{BUCKET}/")
    key = f"{prefix}/sparams/other_00000000000000ff.json"
    s3_endpoint.put_object(Bucket=BUCKET, Key=key, Body=orjson.dumps(record.model_dump()))
    assert [r.simulation_id for r in ss.list_simulation_results()] == ["00000000000000ff", mine.simulation_id]
    assert ss.load_simulation_result("00000000000000ff") == record
    s3_endpoint.delete_object(Bucket=BUCKET, Key=key)
    assert ss.list_simulation_results() == [mine] and ss.load_simulation_result("00000000000000ff") is None


def test_readers_never_see_a_partial_result(ss, s3_endpoint, monkeypatch):
    monkeypatch.setenv("LUMORA_SIMULATIONS_DIR", f"s3://{BUCKET}/{uuid.uuid4().hex}/store")
    versions = [{"s21": [0.25]}, {"s21": [0.5] * 4000}]  # sizes differ: a torn read would not parse
    first = ss.save_simulation_result(**identity(), **outcome(result=versions[0]))
    done, seen = threading.Event(), []

    def rewrite():
        try:
            for i in range(8):
                ss.save_simulation_result(**identity(), **outcome(result=versions[(i + 1) % 2]))
        finally:
            done.set()

    writer = threading.Thread(target=rewrite)
    writer.start()
    try:
        while not done.is_set():
            seen.append(ss.load_simulation_result(first.simulation_id).result)
    finally:
        writer.join()
    assert len(seen) > 3 and all(result in versions for result in seen)


def test_a_missing_bucket_is_not_made(ss, s3_endpoint, monkeypatch):
    monkeypatch.setenv("LUMORA_SIMULATIONS_DIR", "s3://lumora-no-such-bucket/store")
    assert ss.list_simulation_results() == [] and ss.load_simulation_result("0123456789abcdef") is None
    with pytest.raises(FileNotFoundError, match="lumora-no-such-bucket"):
        ss.save_simulation_result(**identity(), **outcome())
    assert "lumora-no-such-bucket" not in [b["Name"] for b in s3_endpoint.list_buckets()["Buckets"]]


@pytest.fixture(params=["local", "file", "memory", "s3"])
def any_root(request, tmp_path):
    """The same fresh directory as pathlib.Path (the reference) or as a remote path."""
    if request.param == "local":
        return tmp_path / "d"
    if request.param == "file":
        return store_path(f"file://{tmp_path}/d")
    if request.param == "s3":
        request.getfixturevalue("s3_endpoint")
        return store_path(f"s3://{BUCKET}/{uuid.uuid4().hex}/d")
    return store_path(f"memory://lumora-{uuid.uuid4().hex}/d")


def test_directory_operations_behave_as_on_local_disk(any_root):
    sub = any_root / "a" / "b"
    with pytest.raises(FileNotFoundError):
        sub.mkdir()
    sub.mkdir(parents=True, exist_ok=True)
    sub.mkdir(parents=True, exist_ok=True)
    with pytest.raises(FileExistsError):
        sub.mkdir()
    assert sub.exists() and sub.is_dir() and any_root.is_dir()
    assert list(sub.iterdir()) == [] and list(sub.glob("*")) == []
    for error, action in [
        (FileNotFoundError, lambda: (sub / "x").read_bytes()),
        (IsADirectoryError, sub.read_bytes),
        (FileNotFoundError, lambda: (sub / "x").unlink()),
        (FileNotFoundError, lambda: (sub / "x").replace(sub / "y")),
    ]:
        with pytest.raises(error):
            action()

    target, tmp = sub / "r.json", sub / ".r.json.tmp"
    assert tmp.write_bytes(b"old") == 3
    assert str(tmp.replace(target)) == str(target)
    tmp.write_bytes(b"new")
    tmp.replace(target)
    assert (target.read_bytes(), tmp.exists(), target.is_dir()) == (b"new", False, False)
    assert [p.name for p in sub.iterdir()] == ["r.json"] and [p.name for p in sub.glob("*_?.json")] == []
    assert [p.name for p in any_root.glob("*")] == ["a"] and [p.name for p in sub.glob("r.*")] == ["r.json"]
    with pytest.raises(NotADirectoryError):
        list(target.iterdir())
    target.unlink()
    target.unlink(missing_ok=True)
    assert not target.exists() and sub.is_dir() and list(sub.iterdir()) == []


def test_command_line_tool(ss, remote, capsys, monkeypatch):
    from lumora.results import main

    monkeypatch.delenv("LUMORA_SIMULATIONS_DIR")  # named by --store alone
    with monkeypatch.context() as m:
        m.setenv("LUMORA_SIMULATIONS_DIR", remote)
        kept = ss.save_simulation_result(**identity(), **outcome())
        gone = ss.save_simulation_result(**identity(simulation_type="modes"), **outcome())

    def run(*argv):
        code = main(["--store", remote, *argv])
        return code, capsys.readouterr().out

    code, out = run("list", "--json")
    assert code == 0 and [r["simulation_id"] for r in orjson.loads(out)] == [gone.simulation_id, kept.simulation_id]
    assert orjson.loads(run("show", "--json", kept.simulation_id)[1])["simulation_id"] == kept.simulation_id
    assert run("clear", "--type", "modes", "--yes")[0] == 0
    assert run("delete", kept.simulation_id)[0] == 0
    assert run("list", "--json") == (0, "[]\n")


def test_command_line_progress(ss, remote, monkeypatch):
    pytest.importorskip("tqdm")
    from lumora.results import main

    for simulation_type in ("modes", "sparams"):
        ss.save_simulation_result(**identity(simulation_type=simulation_type), **outcome())
    stderr = Terminal()
    monkeypatch.setattr(sys, "stderr", stderr)
    monkeypatch.setattr(progress, "DELAY", 0)
    assert main(["clear", "--yes"]) == 0
    # The listing tells how many files there are to read, then each is removed.
    shown = stderr.getvalue()
    assert all(bar in shown for bar in ("Reading results:   0%", "Removing results"))


def test_upkeep_on_an_object_store(ss, remote):
    ids = [aged_result(ss, days, component_name=f"c{days}") for days in (30, 20, 10)]
    root = settings.get_simulations_dir()
    (root / "sparams" / "broken_00000000000000ff.json").write_bytes(b"{")
    (root / "sparams" / TEMPORARY).write_bytes(b"12345")
    figures = upkeep.stats()
    assert (figures.results, figures.unreadable, figures.temporary_files, figures.temporary_bytes) == (3, 1, 1, 5)
    assert figures.bytes == sum(
        len((root / "sparams" / f"c{d}_{i}.json").read_bytes()) for d, i in zip((30, 20, 10), ids)
    )
    assert [r.simulation_id for r in upkeep.prune(max_count=1).removed] == ids[:2]
    assert upkeep.tidy().recent == 1 and upkeep.tidy(older_than="0d").removed_bytes == 5
    assert [r.simulation_id for r in ss.list_simulation_results()] == ids[2:]
    assert not (root / "sparams" / TEMPORARY).exists() and (root / "sparams" / "broken_00000000000000ff.json").exists()


@pytest.mark.parametrize("command", ["prune", "tidy"])
def test_upkeep_on_an_object_store_leaves_what_changed_meanwhile(ss, remote, command):
    def save_again():
        ss.save_simulation_result(**identity(component_name="c1"), **outcome())

    changed_after_the_plan(ss, settings.get_simulations_dir(), command, save_again)


# --- reading a listing ahead of its reader -------------------------------------


class Recorded(fsspec.implementations.memory.MemoryFileSystem):
    """An in-memory file system that reads asynchronously, as S3's driver
    does, and records its reads."""

    protocol = "lumoratest"
    store: dict = {}
    pseudo_dirs = [""]
    async_impl = True
    loop = fsspec.asyn.get_loop()
    lock = threading.Lock()
    started: list[str] = []
    active = peak = 0

    @classmethod
    def _strip_protocol(cls, path):
        return super()._strip_protocol(path.replace("lumoratest://", "memory://", 1))

    @classmethod
    def _count(cls, path, step):
        with cls.lock:
            if step > 0:
                cls.started.append(path.rsplit("/", 1)[-1])
            cls.active += step
            cls.peak = max(cls.peak, cls.active)

    async def _cat_file(self, path, **kwargs):
        self._count(path, 1)
        try:
            await asyncio.sleep(0.002)  # long enough for reads to overlap
            return super().cat_file(path, **kwargs)
        finally:
            self._count(path, -1)

    def cat_file(self, path, start=None, end=None, **kwargs):
        self._count(path, 1)
        try:
            return super().cat_file(path, start, end, **kwargs)
        finally:
            self._count(path, -1)


@pytest.fixture
def recorded(monkeypatch):
    """A fresh directory of ten files on the recording file system, and the window set to 4."""
    fsspec.register_implementation("lumoratest", Recorded, clobber=True)
    upath.registry.register_implementation("lumoratest", upath.implementations.memory.MemoryPath, clobber=True)
    Recorded.store.clear()
    Recorded.started.clear()
    Recorded.peak = 0
    monkeypatch.setenv("LUMORA_REMOTE_WINDOW", "4")
    root = store_path(f"lumoratest://lumora-{uuid.uuid4().hex}/d")
    root.mkdir(parents=True)
    for i in range(10):
        (root / f"f{i}.json").write_bytes(b"%d" % i)
    return root


def test_a_listing_is_read_ahead_within_its_window(recorded):
    files = list(recorded.glob("*.json"))
    assert Recorded.started == []  # nothing is read before someone reads
    for i, path in enumerate(files):
        assert path.read_bytes() == b"%d" % i
        assert len(Recorded.started) <= i + 4  # never further ahead than the window
    assert sorted(Recorded.started) == sorted(p.name for p in files)  # each object read once
    assert 1 < Recorded.peak <= 4


def test_read_ahead_bytes_are_used_once(recorded):
    files = list(recorded.glob("*.json"))
    files[0].read_bytes()
    files[1].write_bytes(b"new")  # after its read ahead began
    assert files[1].read_bytes() in (b"1", b"new")  # the object, before or after
    assert files[1].read_bytes() == b"new"  # a second read asks the store


def test_an_object_that_vanished_fails_at_its_own_read(recorded):
    files = list(recorded.glob("*.json"))
    files[6].unlink()
    for i, path in enumerate(files):
        if i == 6:
            with pytest.raises(FileNotFoundError):
                path.read_bytes()
        else:
            assert path.read_bytes() == b"%d" % i


@pytest.mark.parametrize("value, window", [("0", 0), ("1", 1), ("", 32), (" 8 ", 8), ("x", None), ("-2", None)])
def test_window_setting(monkeypatch, recorded, value, window):
    monkeypatch.setenv("LUMORA_REMOTE_WINDOW", value)
    if window is None:
        with pytest.raises(ValueError, match="LUMORA_REMOTE_WINDOW"):
            list(recorded.glob("*.json"))
        return
    assert remote_window() == window
    for path in recorded.glob("*.json"):
        path.read_bytes()
    assert Recorded.peak == 1 if window <= 1 else Recorded.peak > 1


def test_a_listing_skips_an_object_removed_during_it(ss, recorded, monkeypatch, logs):
    """Read ahead or not, an object removed before its turn is a parse failure of its own."""
    monkeypatch.setenv("LUMORA_SIMULATIONS_DIR", str(recorded))
    monkeypatch.setenv("LUMORA_REMOTE_WINDOW", "2")
    saved = [ss.save_simulation_result(**identity(component_name=f"c{i}"), **outcome()) for i in range(4)]
    files = [p for p in (recorded / "sparams").glob("*.json")]
    validate = ss.StoredSimulationResult.model_validate

    def validate_and_remove(data):
        if files:  # while the first file is validated, the third has not been fetched yet
            files.pop(2).unlink()
            files.clear()
        return validate(data)

    monkeypatch.setattr(ss.StoredSimulationResult, "model_validate", validate_and_remove)
    listed = ss.list_simulation_results()
    assert len(listed) == 3 and {r.simulation_id for r in listed} < {r.simulation_id for r in saved}
    assert [level for level, message in logs() if "Failed to parse" in message] == ["WARNING"]


def test_listed_files_need_no_second_question(ss, s3_endpoint, monkeypatch):
    """On S3 a look-up, a listing and a deletion do not ask again what a listing has just shown."""
    monkeypatch.setenv("LUMORA_SIMULATIONS_DIR", f"s3://{BUCKET}/{uuid.uuid4().hex}/store")
    saved = [ss.save_simulation_result(**identity(simulation_type=t), **outcome()) for t in ("a", "b", "c")]
    requests = []
    handler = logging.Handler()
    handler.emit = requests.append
    werkzeug = logging.getLogger("werkzeug")  # moto's server logs each request it serves
    level = werkzeug.level
    werkzeug.setLevel(logging.INFO)
    werkzeug.addHandler(handler)
    try:
        counts = []
        for call in (
            lambda: ss.list_simulation_results(),
            lambda: ss.load_simulation_result(saved[1].simulation_id),
            lambda: ss.delete_simulation_result(saved[1].simulation_id),
        ):
            requests.clear()
            call()
            counts.append(len(requests))
    finally:
        werkzeug.removeHandler(handler)
        werkzeug.setLevel(level)
    # The root and its type directories in one listing each, then one GET per
    # result; a look-up scans up to b, then one GET; a deletion asks once
    # whether the object is still there, then removes it.
    assert counts == [1 + 3 + 3, 1 + 2 + 1, 1 + 2 + 2]


@pytest.mark.parametrize(
    "value",
    [
        "2026-12-08T09:10:25.000Z",
        "2026-12-08T09:10:25.123456789Z",
        "Tue, 08 Dec 2026 09:10:25 GMT",
        "1700000000",
        "2026-12-08T09:10:25+02:00",
        "Tue, 08 Dec 2026 09:10:25 -0000",
        "not a date Z T",
        "Tue, 99 Dec 2026 09:10:25 GMT",
    ],
)
def test_timestamps_are_read_as_botocore_reads_them(value):
    parse_timestamp = pytest.importorskip("botocore.utils").parse_timestamp
    try:
        expected = parse_timestamp(value)
    except ValueError:
        with pytest.raises(ValueError):
            s3_module._timestamp(value)
        return
    assert s3_module._timestamp(value) == expected


def test_s3_responses_use_the_quick_timestamps(ss, s3_endpoint, monkeypatch):
    monkeypatch.setenv("LUMORA_SIMULATIONS_DIR", f"s3://{BUCKET}/{uuid.uuid4().hex}/store")
    read = []
    quick = s3_module._timestamp
    monkeypatch.setattr(s3_module, "_timestamp", lambda value: read.append(value) or quick(value))
    saved = ss.save_simulation_result(**identity(), **outcome())
    assert [r.simulation_id for r in ss.list_simulation_results()] == [saved.simulation_id]
    # The listing's dates and the read's Last-Modified header.
    assert any(v.endswith("Z") for v in read) and any(v.endswith(" GMT") for v in read)


# --- keys that are no part of the store ------------------------------------------


@pytest.fixture
def s3_store(s3_endpoint, monkeypatch):
    """A fresh store on S3, named by the settings: (the client, the store's key prefix)."""
    base = f"{uuid.uuid4().hex}/store"
    monkeypatch.setenv("LUMORA_SIMULATIONS_DIR", f"s3://{BUCKET}/{base}")
    return s3_endpoint, base


@pytest.mark.parametrize("stray", ["//", "/./", "/../"])
def test_keys_with_empty_or_dot_segments_are_no_part_of_the_store(ss, s3_store, stray):
    client, base = s3_store
    kept = ss.save_simulation_result(**identity(), **outcome())
    body = orjson.dumps(kept.model_copy(update={"simulation_id": "00000000000000ff"}).model_dump())
    for key in (f"{base}{stray}x_00000000000000ff.json", f"{base}/x_00000000000000ff.json"):
        client.put_object(Bucket=BUCKET, Key=key, Body=body)
    assert ss.list_simulation_results() == [kept] and list(upkeep.stats().by_type) == ["sparams"]
    assert ss.load_simulation_result("00000000000000ff") is None
    assert ss.delete_simulation_result("00000000000000ff") is False


@pytest.mark.parametrize("where", ["local", "s3"])
def test_a_key_with_a_slash_after_a_result_name_is_a_directory_of_that_name(ss, store, request, logs, where):
    if where == "s3":
        client, base = request.getfixturevalue("s3_store")
    kept = ss.save_simulation_result(**identity(), **outcome())
    path = f"{os.environ['LUMORA_SIMULATIONS_DIR']}/sparams/d_00000000000000ff.json"
    if where == "s3":
        client.put_object(Bucket=BUCKET, Key=f"{base}/sparams/d_00000000000000ff.json/", Body=b"")
    else:
        os.mkdir(path)
    assert ss.list_simulation_results() == [kept]
    assert logs()[-1] == ("WARNING", f"Failed to parse simulation file: {path}")
    for call in (ss.load_simulation_result, ss.delete_simulation_result):
        with pytest.raises(IsADirectoryError) as raised:
            call("00000000000000ff")
        assert (raised.value.errno, raised.value.filename) == (errno.EISDIR, path)


def test_a_result_beside_a_key_of_its_name_and_a_slash_is_listed_once(ss, s3_store):
    client, base = s3_store
    kept = ss.save_simulation_result(**identity(), **outcome())
    client.put_object(Bucket=BUCKET, Key=f"{base}/sparams/mmi1x2_{kept.simulation_id}.json/", Body=b"")
    assert ss.list_simulation_results() == [kept] and ss.load_simulation_result(kept.simulation_id) == kept


# --- requests that fail ---------------------------------------------------------


@pytest.fixture
def faults(ss, s3_store, monkeypatch):
    """Three results on S3, then every client sent to a second endpoint on
    127.0.0.1 over the same buckets, which fails a request where
    `faults.fail(request, tries)` gives a status or "reset", and drops the
    request headers named in `faults.strip` (as WSGI keys). Retries do not wait."""
    moto_app = pytest.importorskip("moto.moto_server.werkzeug_app")
    from botocore.retries.standard import ExponentialBackoff
    from werkzeug.serving import make_server

    for i in range(3):
        ss.save_simulation_result(**identity(component_name=f"c{i}"), **outcome())
    faults = types.SimpleNamespace(fail=lambda request, tries: None, tries=collections.Counter(), strip=())
    store = moto_app.DomainDispatcherApplication(moto_app.create_backend_app)

    def app(environ, start_response):
        request = (environ["REQUEST_METHOD"], environ["PATH_INFO"], environ["QUERY_STRING"])
        faults.tries[request] += 1
        for header in faults.strip:
            environ.pop(header, None)
        fault = faults.fail(request, faults.tries[request])
        if fault == "reset":
            environ["werkzeug.socket"].shutdown(socket.SHUT_RDWR)
            raise ConnectionResetError  # werkzeug drops the connection quietly
        if fault is None:
            return store(environ, start_response)
        start_response(fault, [("Content-Type", "application/xml")])
        return [b"<Error><Code>Injected</Code><Message>injected</Message></Error>"]

    server = make_server("127.0.0.1", 0, app, threaded=True, request_handler=moto_app.MotoRequestHandler)
    thread = threading.Thread(target=server.serve_forever)
    thread.start()
    monkeypatch.setenv("AWS_ENDPOINT_URL", f"http://127.0.0.1:{server.server_address[1]}")
    monkeypatch.setattr(ExponentialBackoff, "delay_amount", lambda self, context: 0)
    sys.modules["s3fs"].S3FileSystem.clear_instance_cache()
    yield faults
    sys.modules["s3fs"].S3FileSystem.clear_instance_cache()
    server.shutdown()
    thread.join()


@pytest.mark.parametrize("fault", ["500 Internal Server Error", "503 Service Unavailable", "reset"])
def test_passing_failures_are_retried(ss, faults, logs, fault):
    faults.fail = lambda request, tries: fault if tries <= 6 else None  # botocore's default: 5 tries
    assert sorted(r.component_name for r in ss.list_simulation_results()) == ["c0", "c1", "c2"]
    assert logs() == []


def test_a_read_that_keeps_failing_is_said_to_be_one(ss, faults, logs, capsys):
    from lumora.results import main

    name = f"/c1_{ss.find_simulation_result(**identity(component_name='c1')).simulation_id}.json"
    path = f"{os.environ['LUMORA_SIMULATIONS_DIR']}/sparams{name}"
    faults.fail = lambda request, tries: "500 Internal Server Error" if request[1].endswith(name) else None
    assert len(ss.list_simulation_results()) == 2
    assert logs() == [("WARNING", f"Failed to parse simulation file: {path}")]  # the store's own words stay
    assert main(["list"]) == 0
    said = "An error occurred (Injected) when calling the GetObject operation (reached max retries: 9): injected"
    assert capsys.readouterr().err.splitlines() == [
        f"lumora-results: warning: Could not read simulation file: {path}: {said}",
        "lumora-results: 1 file(s) skipped: 1 could not be read",
    ]


def test_directories_listed_at_once_as_one_by_one(any_root, monkeypatch):
    root = any_root if hasattr(any_root, "entries_of") else LocalStorePath(any_root)
    directories = [root / name for name in ("a", "b", "missing")]
    for directory, count in zip(directories, (2, 3), strict=False):
        directory.mkdir(parents=True)
        for i in range(count):
            (directory / f"r{i}.json").write_bytes(b"x" * i)

    def seen(entries):
        return sorted((e.name, e.kind, e.size, e.stamp) for e in entries)

    one_by_one = [seen(directory.entries()) for directory in directories]
    in_flight, most = 0, 0
    if isinstance(root, S3StorePath):
        call = root.fs._call_s3

        async def counted(*args, **kwargs):
            nonlocal in_flight, most
            in_flight += 1
            most = max(most, in_flight)
            try:
                return await call(*args, **kwargs)
            finally:
                in_flight -= 1

        monkeypatch.setattr(root.fs, "_call_s3", counted)
    at_once = [seen(listed) for listed in root.entries_of(directories)]
    assert at_once == one_by_one and [len(found) for found in at_once] == [2, 3, 0]
    assert most == (3 if isinstance(root, S3StorePath) else 0)


def test_a_summary_listing_asks_for_the_root_and_its_known_types_at_once(ss, s3_store, monkeypatch):
    from lumora.summaries import list_summaries

    client, base = s3_store
    gone = ss.save_simulation_result(**identity(simulation_type="b"), **outcome())
    ss.save_simulation_result(**identity(simulation_type="a"), **outcome())
    list_summaries()  # the catalog made
    fs = settings.get_simulations_dir().fs
    call, rounds, in_flight = fs._call_s3, [], 0

    async def counted(operation, *args, **kwargs):
        nonlocal in_flight
        if not in_flight:
            rounds.append([])
        in_flight += 1
        rounds[-1].append((operation, kwargs.get("Prefix", "").removeprefix(base)))
        try:
            return await call(operation, *args, **kwargs)
        finally:
            in_flight -= 1

    monkeypatch.setattr(fs, "_call_s3", counted)
    assert [s.simulation_type for s in list_summaries()] == ["a", "b"]
    one_round = [("list_objects_v2", prefix) for prefix in ("/", "/a/", "/b/")]
    assert [sorted(r) for r in rounds] == [one_round]

    # A type directory gone and a new one: the root's listing decides.
    for key in (item["Key"] for item in client.list_objects_v2(Bucket=BUCKET, Prefix=f"{base}/b/")["Contents"]):
        client.delete_object(Bucket=BUCKET, Key=key)
    monkeypatch.setattr(fs, "_call_s3", call)
    new = ss.save_simulation_result(**identity(simulation_type="c"), **outcome())
    monkeypatch.setattr(fs, "_call_s3", counted)
    rounds.clear()
    listed = sorted(s.simulation_id for s in list_summaries())
    # Then the new type directory, then a read of its one new result.
    assert [sorted(r) for r in rounds] == [one_round, [("list_objects_v2", "/c/")], [("get_object", "")]]
    assert listed == sorted(r.simulation_id for r in ss.list_simulation_results())
    assert new.simulation_id in listed and gone.simulation_id not in listed
