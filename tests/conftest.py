"""Shared fixtures: a temporary store, the module, captured log messages."""

from __future__ import annotations

import logging

import pytest

from lumora.core import simulation_storage
from lumora.models import SimulationHyperparameters


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
