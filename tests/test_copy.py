"""Copying result files between stores: local disk and S3 (a moto server on 127.0.0.1)."""

from __future__ import annotations

import os
import sys
import uuid

import pytest
from conftest import Terminal, identity, outcome
from test_remote import BUCKET, s3_endpoint  # noqa: F401  (the fixture)

from lumora import progress
from lumora.copy import copy_results, store_at
from lumora.layout import NAME_MAX, TEMPORARY_FILE, result_name, temporary_name
from lumora.paths import LocalStorePath
from lumora.results import main
from lumora.settings import STORE_ENV, environ


def path(url, record):
    return store_at(url) / record.simulation_type / result_name(record.component_name, record.simulation_id)


def save(ss, url, **names):
    with environ(STORE_ENV, url):
        return ss.save_simulation_result(**identity(**names), **outcome())


@pytest.mark.parametrize("source_kind, target_kind", [("local", "local"), ("local", "s3"), ("s3", "local")])
def test_copies_bytes_skips_identical_refuses_different(ss, request, tmp_path, capsys, source_kind, target_kind):
    def root(kind):
        if kind == "s3":
            request.getfixturevalue("s3_endpoint")
            return f"s3://{BUCKET}/{uuid.uuid4().hex}/store"
        return str(tmp_path / uuid.uuid4().hex)

    source, target = root(source_kind), root(target_kind)
    kept, modes = save(ss, source, component_name="ring\x1b[31m"), save(ss, source, simulation_type="modes")

    def run(*argv, copied=0, skipped=0, refused=0):
        code, (out, err) = main(["--store", source, "copy", "--to", target, *argv]), capsys.readouterr()
        assert out == f"Copied {copied} file(s); {skipped} skipped (already there), {refused} refused, 0 failed.\n"
        return code, err

    assert run("--type", "modes", copied=1)[0] == 0
    assert run(copied=1, skipped=1)[0] == 0
    assert all(path(target, r).read_bytes() == path(source, r).read_bytes() for r in (kept, modes))

    path(target, kept).write_bytes(b"{}")
    code, err = run(skipped=1, refused=1)
    assert code == 1 and "ring\\x1b[31m" in err and "\x1b" not in err
    assert path(target, kept).read_bytes() == b"{}"
    assert run("--overwrite", copied=1, skipped=1)[0] == 0
    assert path(target, kept).read_bytes() == path(source, kept).read_bytes()


@pytest.mark.parametrize("interruption", [OSError("disk full"), KeyboardInterrupt()])
def test_an_interrupted_write_leaves_nothing_in_the_target(ss, tmp_path, monkeypatch, interruption):
    source, target = str(tmp_path / "a"), tmp_path / "b"
    saved = save(ss, source)

    def half_then_fail(path, data):
        with path.open("wb") as half:
            half.write(data[: len(data) // 2])
        raise interruption

    monkeypatch.setattr(LocalStorePath, "write_bytes", half_then_fail)
    if isinstance(interruption, KeyboardInterrupt):
        with pytest.raises(KeyboardInterrupt):
            copy_results(target, source=source)
    else:
        report = copy_results(target, source=source)
        assert report.failed == ((f"sparams/{result_name('mmi1x2', saved.simulation_id)}", "OSError: disk full"),)
    assert os.listdir(target / "sparams") == []


@pytest.mark.parametrize("component", ["mmi1x2", "x" * 220, "\u00e9" * 115])
def test_temporary_names_fit_and_are_tidied(component):
    name = temporary_name(result_name(component, "0123456789abcdef"))
    assert TEMPORARY_FILE.fullmatch(name) and len(os.fsencode(name)) <= NAME_MAX


def test_progress_on_a_terminal(ss, tmp_path, monkeypatch):
    pytest.importorskip("tqdm")
    for kind in ("modes", "sparams"):
        save(ss, str(tmp_path / "a"), simulation_type=kind)
    monkeypatch.setattr(sys, "stderr", Terminal())
    monkeypatch.setattr(progress, "DELAY", 0)
    assert len(copy_results(tmp_path / "b", source=tmp_path / "a").copied) == 2
    assert "Copying results:   0%|          | 0/2" in sys.stderr.getvalue()
