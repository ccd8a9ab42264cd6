"""Shared fixtures: a temporary store, the module, captured log messages."""

from __future__ import annotations

import io
import logging

import pytest

from lumora.core import simulation_storage
from lumora.models import SimulationHyperparameters

# The module's functions, in the order the module binds them.
FUNCTION_NAMES = [
    "_compute_simulation_id",
    "_get_simulation_file_path",
    "_find_simulation_file",
    "save_simulation_result",
    "load_simulation_result",
    "find_simulation_result",
    "_matches_filters",
    "list_simulation_results",
    "delete_simulation_result",
    "clear_simulation_results",
]

MODULE_FILE = "src/lumora/core/simulation_storage"
MODULE_PREFIX = "lumora.core.simulation_storage."


class Terminal(io.StringIO):
    """A stream that claims to be a terminal: stdin with the user's answer waiting, or stderr."""

    def isatty(self):
        return True


def entries(exc, *, short=True):
    """The module's traceback entries of exc, outermost first, as (name, line);
    short names drop the module prefix."""
    found = []
    tb = exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename == MODULE_FILE:
            name = code.co_name.removeprefix(MODULE_PREFIX) if short else code.co_name
            found.append((name, tb.tb_lineno))
        tb = tb.tb_next
    return found


@pytest.fixture
def ss():
    """The extension module."""
    return simulation_storage


@pytest.fixture
def store(tmp_path, monkeypatch):
    """A store root that does not exist yet, named by the settings."""
    root = tmp_path / "store"
    monkeypatch.setenv("LUMORA_SIMULATIONS_DIR", str(root))
    return root


@pytest.fixture
def logs(caplog):
    """Messages the module sends to the host logger, as (level, text) pairs."""
    caplog.set_level(logging.DEBUG, logger="lumora")

    def messages():
        return [(r.levelname, r.getMessage()) for r in caplog.records if r.name.startswith("lumora")]

    return messages


@pytest.fixture
def hp():
    return SimulationHyperparameters()


def identity(**overrides):
    """Keyword arguments naming one simulation's identity."""
    fields = dict(
        component_name="mmi1x2",
        factory_name="mmi1x2_factory",
        component_settings={"width": 0.5, "length": 10},
        model_parameters={"neff": 2.4},
        hyperparameters=SimulationHyperparameters(),
        simulation_type="sparams",
    )
    fields.update(overrides)
    return fields


def outcome(**overrides):
    """Keyword arguments of save_simulation_result beyond the identity."""
    fields = dict(
        result={"s21": [0.5, 0.6]},
        wavelengths=[1.55, 1.56],
        execution_time_seconds=1.25,
    )
    fields.update(overrides)
    return fields


@pytest.fixture(autouse=True)
def _catalogs(tmp_path_factory, monkeypatch):
    """Summary catalogs of each test's own, not in the user's cache directory."""
    monkeypatch.setenv("LUMORA_CATALOG", str(tmp_path_factory.mktemp("catalogs")))
