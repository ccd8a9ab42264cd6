"""lumora.layout says what the module does: where a result goes, what a save
writes first, which names it refuses."""

from __future__ import annotations

import os

import pytest
from conftest import identity, outcome

from lumora import layout


@pytest.mark.parametrize("component", ["c", "a" * 233, "😀" * 58], ids=["short", "longest", "4-byte"])
def test_the_layout_is_the_modules(ss, store, monkeypatch, component):
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
    lock = layout.lock_name(path.name, simulation_id)
    assert layout.LOCK_FILE.fullmatch(lock) and len(os.fsencode(lock)) <= layout.NAME_MAX


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
