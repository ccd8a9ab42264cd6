"""lumora.layout says what the module does: where a result goes, what a save
writes first, which names it refuses."""

from __future__ import annotations

import os
import socket

import pytest
from conftest import identity, outcome

from lumora import layout


@pytest.mark.parametrize("component", ["c", "a" * 233, "😀" * 58], ids=["short", "longest", "4-byte"])
@pytest.mark.parametrize(
    "host, part", [("node-7.example", "node-7.example"), ("n/ü\0x", "nx"), ("", "host"), ("h" * 300, "h" * 63)]
)
def test_the_layout_is_the_modules(ss, store, monkeypatch, component, host, part):
    monkeypatch.setattr(socket, "gethostname", lambda: host)
    written = []
    base = type(store)

    class Interrupted(base):
        def write_bytes(self, data):
            written.append(self.name)
            raise OSError("interrupted")

    monkeypatch.setattr(ss, "get_simulations_dir", lambda: Interrupted(store))
    simulation_id = ss._compute_simulation_id(**identity(component_name=component))
    path = ss._get_simulation_file_path("sparams", component, simulation_id)
    assert path == layout.result_path(store, "sparams", component, simulation_id)
    assert layout.RESULT_FILE.fullmatch(path.name)["component"] == component
    with pytest.raises(OSError, match="interrupted"):
        ss.save_simulation_result(**identity(component_name=component), **outcome())
    [temporary] = written
    assert layout.TEMPORARY_FILE.fullmatch(temporary) and len(os.fsencode(temporary)) <= layout.NAME_MAX
    assert temporary[: -len("-0123456789abcdef.tmp")].endswith(f".{part}")
    for pattern, name in [(layout.LOCK_FILE, layout.lock_name), (layout.LEASE_FILE, layout.lease_name)]:
        beside = name(path.name, simulation_id)
        assert pattern.fullmatch(beside) and len(os.fsencode(beside)) <= layout.NAME_MAX


@pytest.mark.parametrize(
    "name, temporary",
    [(".c_0123456789abcdef.json.89abcdef01234567.tmp", True), (".c_0123456789abcdef.json.h-89abcdef01234567.tmp", True)]
    + [(".c_0123456789abcdef.json.h/x-89abcdef01234567.tmp", False), ("c_0123456789abcdef.json.lease", False)],
)
def test_temporary_names_of_old_and_new_saves(name, temporary):
    assert bool(layout.TEMPORARY_FILE.fullmatch(name)) is temporary


@pytest.mark.parametrize(
    "simulation_type, component",
    [("sparams", "c"), ("", "c"), (".", "c"), ("..", "c"), ("a/b", "c"), ("t", "a/b"), ("t", "a\\b"), ("t", "a\0b")],
)
def test_refused_names_are_the_modules(ss, store, simulation_type, component):
    try:
        ss._get_simulation_file_path(simulation_type, component, "0123456789abcdef")
    except ValueError:
        refused = True
    else:
        refused = False
    assert layout.storable(simulation_type, component) is not refused
