"""The host package: settings, logger, models and the lazy importer."""

from __future__ import annotations

import json
import logging
import subprocess
import sys
from importlib.metadata import version
from pathlib import Path

import orjson
import pytest
from pydantic import ValidationError

import lumora
from lumora import settings
from lumora.core.lazy import lazy_import
from lumora.logger import get_logger
from lumora.models import SimulationHyperparameters, StoredSimulationResult

FIELDS = [
    "component_name",
    "factory_name",
    "component_settings",
    "model_parameters",
    "hyperparameters",
    "simulation_type",
    "simulation_id",
    "pdk_name",
    "pdk_version",
    "simulation_date",
    "lumora_version",
    "result",
    "wavelengths",
    "execution_time_seconds",
    "status",
    "error_message",
]


def document(**overrides):
    """A result file's content, as orjson reads it back."""
    doc = dict(
        component_name="mmi1x2",
        factory_name="mmi1x2_factory",
        component_settings={"width": 0.5, "layers": ["wg", "slab"]},
        model_parameters={"neff": 2.4},
        hyperparameters=SimulationHyperparameters().model_dump(),
        simulation_type="sparams",
        simulation_id="0123456789abcdef",
        pdk_name="generic",
        pdk_version="1.2",
        simulation_date="2024-05-06T07:08:09.012345+00:00",
        lumora_version="0.1.0",
        result={"s21": [0.5, 0.6], "meta": {"ok": True, "none": None}},
        wavelengths=[1.55, 1.56],
        execution_time_seconds=1.25,
        status="success",
        error_message="",
    )
    doc.update(overrides)
    return doc


def test_version_is_the_distribution_version():
    assert isinstance(lumora.__version__, str)
    assert lumora.__version__ == version("lumora")


@pytest.mark.parametrize(
    "env, build, store",
    [
        ({}, None, None),
        ({"LUMORA_BUILD_DIR": "", "LUMORA_SIMULATIONS_DIR": ""}, None, None),
        ({"LUMORA_BUILD_DIR": "/b"}, "/b", "/b/simulations"),
        ({"LUMORA_BUILD_DIR": "/b", "LUMORA_SIMULATIONS_DIR": "/s"}, "/b", "/s"),
    ],
)
def test_settings_directories(monkeypatch, tmp_path, env, build, store):
    for name in ("LUMORA_BUILD_DIR", "LUMORA_SIMULATIONS_DIR"):
        if name in env:
            monkeypatch.setenv(name, env[name])
        else:
            monkeypatch.delenv(name, raising=False)
    monkeypatch.chdir(tmp_path)
    assert settings.get_build_dir() == (Path(build) if build else tmp_path / "build")
    assert settings.get_simulations_dir() == (Path(store) if store else tmp_path / "build" / "simulations")


def test_settings_are_read_at_every_call(monkeypatch):
    monkeypatch.delenv("LUMORA_PDK", raising=False)
    assert settings.get_pdk_name() == "generic"
    for kit, root in [("kit_a", "/first"), ("kit_b", "/second")]:
        monkeypatch.setenv("LUMORA_PDK", kit)
        monkeypatch.setenv("LUMORA_SIMULATIONS_DIR", root)
        assert (settings.get_pdk_name(), settings.get_simulations_dir()) == (kit, Path(root))


def test_logger_is_the_package_logger_and_propagates(caplog):
    log = get_logger()
    assert log is logging.getLogger("lumora") and log.propagate
    assert all(isinstance(h, logging.NullHandler) for h in log.handlers)
    with caplog.at_level(logging.DEBUG, logger="lumora"):
        log.debug("hello %s", "there")
    assert [(r.name, r.getMessage()) for r in caplog.records] == [("lumora", "hello there")]


@pytest.mark.parametrize("overrides", [{}, {"pdk_name": None, "status": "error", "error_message": "diverged"}])
def test_record_round_trips_through_a_result_file(overrides):
    record = StoredSimulationResult(**document(**overrides) | {"hyperparameters": SimulationHyperparameters()})
    dumped = record.model_dump()
    assert list(dumped) == FIELDS
    assert dumped == document(**overrides)  # the date in particular is kept as written
    again = StoredSimulationResult.model_validate(orjson.loads(orjson.dumps(dumped, option=orjson.OPT_INDENT_2)))
    assert again == record


def test_hyperparameters_dump_plain_json_values():
    dumped = SimulationHyperparameters().model_dump()
    # A tuple or an enum member would not survive a text round trip unchanged.
    assert json.loads(json.dumps(dumped, sort_keys=True)) == dumped
    assert SimulationHyperparameters.model_validate(dumped) == SimulationHyperparameters()


@pytest.mark.parametrize("missing", FIELDS)
def test_record_lacking_a_field_is_rejected(missing):
    doc = document()
    del doc[missing]
    with pytest.raises(ValidationError):
        StoredSimulationResult.model_validate(doc)


@pytest.mark.parametrize(
    "field, value",
    [
        ("component_name", {"name": "x"}),
        ("simulation_date", 20240506),
        ("pdk_name", 3),
        ("hyperparameters", {"mesh_resolution": "fine"}),
        ("hyperparameters", {"no_such_setting": 1}),
        ("result", [1, 2]),
        ("wavelengths", ["1.55"]),
        ("execution_time_seconds", "1.25"),
        ("status", "pending"),
    ],
)
def test_record_with_a_wrong_type_is_rejected(field, value):
    with pytest.raises(ValidationError):
        StoredSimulationResult.model_validate(document(**{field: value}))


@pytest.fixture
def fake_module(tmp_path, monkeypatch):
    """The name of a module on sys.path that is not imported yet."""
    name = "lumora_lazy_target"
    (tmp_path / f"{name}.py").write_text("VERSION = '9.8.7'\ndef greet(who, end='!'):\n    return 'hi ' + who + end\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    monkeypatch.delitem(sys.modules, name, raising=False)
    yield name
    sys.modules.pop(name, None)


@pytest.mark.parametrize(
    "attribute, use, expected",
    [
        (None, lambda p: p.VERSION, "9.8.7"),
        ("greet", lambda p: p("you", end="?"), "hi you?"),
        ("VERSION", str, "9.8.7"),
        ("VERSION", repr, "'9.8.7'"),
        ("VERSION", lambda p: f"v{p:>6}", "v 9.8.7"),
        ("VERSION", lambda p: (p == "9.8.7", p < "9.9", isinstance(p, str)), (True, True, True)),
        ("VERSION", lambda p: (p != "9", p <= "9.8.7", p > "9", p >= "9.8.7", bool(p)), (True,) * 5),
        (
            "VERSION",
            lambda p: (hash(p) == hash("9.8.7"), len(p), list(p)[0], "8" in p, p[-1]),
            (True, 5, "9", True, "7"),
        ),
        ("VERSION", lambda p: (p + "!", "v" + p, p % ()), ("9.8.7!", "v9.8.7", "9.8.7")),
    ],
    ids=["module-attribute", "call", "str", "repr", "format", "compare", "order", "container", "operators"],
)
def test_lazy_proxy_imports_at_first_use_and_forwards(fake_module, attribute, use, expected):
    proxy = lazy_import(fake_module, attribute)
    assert fake_module not in sys.modules
    assert use(proxy) == expected
    assert fake_module in sys.modules


def test_lazy_resolution_is_kept(fake_module):
    proxy = lazy_import(fake_module, "VERSION")
    assert str(proxy) == "9.8.7"
    sys.modules[fake_module].VERSION = "changed"
    assert str(proxy) == "9.8.7"


@pytest.mark.parametrize(
    "module, attribute, error",
    [("lumora_no_such_module", None, ModuleNotFoundError), ("lumora", "no_such_name", ImportError)],
)
def test_lazy_import_failures_surface_at_each_use(module, attribute, error):
    proxy = lazy_import(module, attribute)
    for _ in range(2):  # a failure is not cached
        with pytest.raises(error):
            str(proxy)


def test_lazy_attribute_can_name_a_submodule():
    assert lazy_import("lumora", "settings").get_pdk_name is settings.get_pdk_name


@pytest.mark.parametrize(
    "statement, not_imported",
    [
        ("import lumora.core.lazy", ["orjson", "lumora.settings", "lumora.logger", "lumora.models", "pydantic"]),
        ("import lumora", ["orjson", "lumora.settings", "lumora.logger", "lumora.models", "lumora.core"]),
        # The command line builds on the library, never the other way round.
        ("import lumora.cache, lumora.compare, lumora.demo, lumora.plot, lumora.text, lumora.upkeep", ["lumora.cli"]),
        # What the command line's start-up leaves to the commands that lock, save or upkeep.
        ("import lumora.cli", ["filelock", "ctypes.util", "socket", "subprocess", "lumora.upkeep", "pydantic"]),
    ],
)
def test_light_imports_stay_light(statement, not_imported):
    # What the interpreter loaded before the statement (a coverage run's own modules) is not its doing.
    code = (
        f"import sys; before = set(sys.modules); {statement}; "
        f"print(*[m for m in {not_imported!r} if m in sys.modules and m not in before])"
    )
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True).stdout
    assert out.split() == []
