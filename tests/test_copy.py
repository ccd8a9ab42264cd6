"""Copying result files between stores: local disk and S3 (a moto server on 127.0.0.1)."""

from __future__ import annotations

import os
import sys
import uuid

import pytest
from conftest import Terminal, identity, outcome
from test_remote import BUCKET, s3_endpoint  # noqa: F401  (the fixture)

from lumora import progress
from lumora.copy import copy_results, store_at, temporary_name
from lumora.layout import NAME_MAX, TEMPORARY_FILE, result_name
from lumora.paths import LocalStorePath
from lumora.results import main
from lumora.settings import STORE_ENV, environ


@pytest.fixture
def roots(request, tmp_path):
    """A function giving the URL of a fresh store on the named backend."""

    def root(kind):
        if kind == "s3":
            request.getfixturevalue("s3_endpoint")
            return f"s3://{BUCKET}/{uuid.uuid4().hex}/store"
        return str(tmp_path / uuid.uuid4().hex)

    return root


def files(url, *records):
    return [store_at(url) / r.simulation_type / result_name(r.component_name, r.simulation_id) for r in records]


def save(ss, url, **names):
    with environ(STORE_ENV, url):
        return ss.save_simulation_result(**identity(**names), **outcome())


@pytest.mark.parametrize("source_kind, target_kind", [("local", "local"), ("local", "s3"), ("s3", "local")])
def test_copies_bytes_skips_identical_refuses_different(ss, roots, capsys, source_kind, target_kind):
    source, target = roots(source_kind), roots(target_kind)
    kept = save(ss, source, component_name="ring\x1b[31m")
    modes = save(ss, source, simulation_type="modes")

    def run(*argv):
        code = main(["--store", source, "copy", "--to", target, *argv])
        return code, *capsys.readouterr()

    assert run("--type", "modes")[:2] == (0, "Copied 1 file(s); 0 skipped (already there), 0 refused, 0 failed.\n")
    assert run()[:2] == (0, "Copied 1 file(s); 1 skipped (already there), 0 refused, 0 failed.\n")
    for copied, original in zip(files(target, kept, modes), files(source, kept, modes)):
        assert copied.read_bytes() == original.read_bytes()

    other = files(target, kept)[0]
    other.write_bytes(b"{}")
    code, out, err = run()
    assert (code, out) == (1, "Copied 0 file(s); 1 skipped (already there), 1 refused, 0 failed.\n")
    assert "ring\\x1b[31m" in err and "\x1b" not in err
    assert other.read_bytes() == b"{}"
    assert run("--overwrite")[:2] == (0, "Copied 1 file(s); 1 skipped (already there), 0 refused, 0 failed.\n")
    assert other.read_bytes() == files(source, kept)[0].read_bytes()


@pytest.mark.parametrize("interruption", [OSError("disk full"), KeyboardInterrupt()])
def test_an_interrupted_write_leaves_nothing_in_the_target(ss, tmp_path, monkeypatch, interruption):
    source, target = str(tmp_path / "a"), tmp_path / "b"
    saved = save(ss, source)

    def half_then_fail(path, data):
        with open(path, "wb") as half:
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
    source = str(tmp_path / "a")
    for kind in ("modes", "sparams"):
        save(ss, source, simulation_type=kind)
    monkeypatch.setattr(sys, "stderr", Terminal())
    monkeypatch.setattr(progress, "DELAY", 0)
    assert len(copy_results(tmp_path / "b", source=source).copied) == 2
    assert "Copying results:   0%|          | 0/2" in sys.stderr.getvalue()
