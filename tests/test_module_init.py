"""Loading and initialisation of the module: its globals, re-import and
reload, failed imports, the create step and the one-interpreter rule."""

from __future__ import annotations

import builtins
import ctypes
import datetime
import hashlib
import importlib
import importlib.util
import json
import pathlib
import subprocess
import sys
import textwrap
import types
import typing

import pytest
from conftest import FUNCTION_NAMES

import lumora.core.lazy
import lumora.models
from lumora.core import simulation_storage

NAME = "lumora.core.simulation_storage"
FILE = "src/lumora/core/simulation_storage"
DOC = (
    "Simulation results storage API.\n"
    "\n"
    "This module provides functions for storing, retrieving, and managing\n"
    "simulation results with full reproducibility metadata.\n"
)
INTERPRETER_CHANGE = "Interpreter change detected - this module can only be loaded into one interpreter per process."
FUNCTIONS = FUNCTION_NAMES
IMPORTED = [
    "__builtins__",
    "hashlib",
    "json",
    "UTC",
    "datetime",
    "Path",
    "TYPE_CHECKING",
    "Any",
    "SimulationHyperparameters",
    "SimulationStatus",
    "StoredSimulationResult",
]
SETTINGS = ["get_build_dir", "get_pdk_name", "get_simulations_dir"]
BODY_NAMES = IMPORTED + ["lazy_import", "orjson", "__version__", "log"] + SETTINGS + FUNCTIONS + ["__test__"]
INTERPRETER_NAMES = ["__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"]

# Taken when this file is collected, before any test can rebind a global.
GLOBALS_AT_IMPORT = dict(vars(simulation_storage))

# Prints, as JSON, the module's traceback entries of an exception; used by the
# scripts run in fresh interpreters.
ENTRIES = f"""
import json, sys
def entries(exc):
    found, tb = [], exc.__traceback__
    while tb is not None:
        if tb.tb_frame.f_code.co_filename == {FILE!r}:
            found.append([tb.tb_frame.f_code.co_name, tb.tb_lineno])
        tb = tb.tb_next
    return found
"""


def run(script, tmp_path):
    """Runs a script in a fresh interpreter and returns what it printed as JSON."""
    proc = subprocess.run(
        [sys.executable, "-c", ENTRIES + textwrap.dedent(script)],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        timeout=120,
    )
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.splitlines()[-1])


def init_entry(line):
    return [["init lumora.core.simulation_storage", line]]


# --- globals after a normal import -----------------------------------------------


def test_globals_in_order():
    names = list(GLOBALS_AT_IMPORT)
    assert [n for n in names if n in BODY_NAMES] == BODY_NAMES
    assert set(names) == set(BODY_NAMES) | set(INTERPRETER_NAMES)


def test_imported_values(ss):
    g = GLOBALS_AT_IMPORT
    assert g["__builtins__"] is builtins
    assert g["hashlib"] is hashlib and g["json"] is json
    assert g["UTC"] is datetime.UTC and g["datetime"] is datetime.datetime
    assert g["Path"] is pathlib.Path
    assert g["TYPE_CHECKING"] is False and g["Any"] is typing.Any
    for model in ("SimulationHyperparameters", "SimulationStatus", "StoredSimulationResult"):
        assert g[model] is getattr(lumora.models, model)
    assert g["lazy_import"] is lumora.core.lazy.lazy_import
    assert g["__test__"] == {} and type(g["__test__"]) is dict
    for function in FUNCTIONS:
        assert g[function] is getattr(ss, function)


def test_module_attributes(ss):
    spec = ss.__spec__
    assert ss.__name__ == spec.name == NAME
    assert ss.__doc__ == DOC
    assert ss.__file__ == spec.origin
    assert ss.__loader__ is spec.loader
    assert ss.__package__ == spec.parent == "lumora.core"
    assert not hasattr(ss, "__path__")
    assert sys.modules[NAME] is ss


def test_second_import_returns_the_same_module(ss):
    saved = sys.modules.pop(NAME)
    try:
        again = importlib.import_module(NAME)
    finally:
        sys.modules[NAME] = saved
    assert again is ss
    assert {n: vars(ss)[n] for n in BODY_NAMES} == {n: GLOBALS_AT_IMPORT[n] for n in BODY_NAMES}
    assert all(vars(ss)[n] is GLOBALS_AT_IMPORT[n] for n in BODY_NAMES)


def test_reload_changes_nothing(ss):
    assert importlib.reload(ss) is ss
    assert all(vars(ss)[n] is GLOBALS_AT_IMPORT[n] for n in BODY_NAMES)


def test_exec_on_another_module_object_is_refused(ss):
    api = ctypes.pythonapi
    api.PyModule_GetDef.restype = ctypes.c_void_p
    api.PyModule_GetDef.argtypes = [ctypes.py_object]
    api.PyModule_ExecDef.restype = ctypes.c_int
    api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
    definition = api.PyModule_GetDef(ss)
    assert definition
    other = types.ModuleType("other")
    with pytest.raises(RuntimeError) as info:
        api.PyModule_ExecDef(other, definition)
    assert str(info.value) == (
        "Module 'simulation_storage' has already been imported. Re-initialisation is not supported."
    )
    assert list(vars(other)) == ["__name__", "__doc__", "__package__", "__loader__", "__spec__"]
    assert all(vars(ss)[n] is GLOBALS_AT_IMPORT[n] for n in BODY_NAMES)


# --- fresh interpreters ----------------------------------------------------------------


def test_lazy_objects_stay_unresolved(tmp_path):
    out = run(
        f"""
        import lumora.core.lazy, lumora.models
        real = lumora.core.lazy.lazy_import
        calls, made = [], []
        def recorder(*args):
            calls.append(list(args))
            made.append(real(*args))
            return made[-1]
        lumora.core.lazy.lazy_import = recorder
        before = set(sys.modules)
        import {NAME} as m
        g = vars(m)
        print(json.dumps({{
            "calls": calls,
            "bound": [g[n] is p for n, p in zip(["orjson", "__version__", "log", *{SETTINGS!r}], made)],
            "recorder": g["lazy_import"] is recorder,
            "imported": sorted(n for n in ("orjson", "lumora.logger", "lumora.settings")
                               if n in sys.modules and n not in before),
        }}))
        """,
        tmp_path,
    )
    assert out == {
        "calls": [
            ["orjson"],
            ["lumora", "__version__"],
            ["lumora.logger", "get_logger"],
            ["lumora.settings", "get_build_dir"],
            ["lumora.settings", "get_pdk_name"],
            ["lumora.settings", "get_simulations_dir"],
        ],
        "bound": [True] * 6,
        "recorder": True,
        "imported": [],
    }


def test_failed_imports_then_success(tmp_path):
    out = run(
        f"""
        import importlib, lumora.core.lazy, lumora.models as models
        results = []
        def attempt():
            try:
                importlib.import_module({NAME!r})
            except BaseException as e:
                results.append([type(e).__name__, str(e), entries(e), {NAME!r} in sys.modules])
        saved = models.SimulationStatus
        del models.SimulationStatus
        attempt()
        models.SimulationStatus = saved
        sys.modules["lumora.models"] = None
        attempt()
        sys.modules["lumora.models"] = models
        real = lumora.core.lazy.lazy_import
        def refusing(*args):
            if args == ("lumora.logger", "get_logger"):
                raise LookupError("no logger")
            return real(*args)
        lumora.core.lazy.lazy_import = refusing
        attempt()
        lumora.core.lazy.lazy_import = real
        m = importlib.import_module({NAME!r})
        results.append([m.SimulationStatus is saved, m.lazy_import is real, sys.modules[{NAME!r}] is m])
        print(json.dumps(results))
        """,
        tmp_path,
    )
    assert out == [
        ["ImportError", "cannot import name SimulationStatus", init_entry(15), False],
        ["ModuleNotFoundError", "import of lumora.models halted; None in sys.modules", init_entry(15), False],
        ["LookupError", "no logger", init_entry(40), False],
        [True, True, True],
    ]


def test_missing_attribute_falls_back_to_submodule(tmp_path):
    out = run(
        f"""
        import types, lumora.models as models
        del models.SimulationStatus
        stand_in = types.ModuleType("lumora.models.SimulationStatus")
        sys.modules["lumora.models.SimulationStatus"] = stand_in
        import {NAME} as m
        print(json.dumps(m.SimulationStatus is stand_in))
        """,
        tmp_path,
    )
    assert out is True


def test_type_checking_branch(tmp_path):
    out = run(
        f"""
        import typing, lumora, lumora.logger, lumora.models, lumora.settings
        typing.TYPE_CHECKING = True
        import {NAME} as m
        g = vars(m)
        print(json.dumps({{
            "names": [n for n in g if n not in {INTERPRETER_NAMES!r}],
            "values": [
                g["TYPE_CHECKING"] is True,
                g["__version__"] is lumora.__version__,
                g["log"] is lumora.logger.get_logger,
                g["SerializedSimulationResult"] is lumora.models.SerializedSimulationResult,
                g["SimulationType"] is lumora.models.SimulationType,
                all(g[n] is getattr(lumora.settings, n) for n in {SETTINGS!r}),
            ],
        }}))
        """,
        tmp_path,
    )
    assert out == {
        "names": IMPORTED
        + ["__version__", "log", "SerializedSimulationResult", "SimulationType"]
        + SETTINGS
        + FUNCTIONS
        + ["__test__"],
        "values": [True] * 6,
    }


def test_shared_type_conflicts(ss, tmp_path):
    ftype = type(ss.load_simulation_result)
    shared, short = ftype.__module__, ftype.__name__
    out = run(
        f"""
        import importlib, types
        shared = types.ModuleType({shared!r})
        sys.modules[{shared!r}] = shared
        results = []
        for impostor in (5, type("Impostor", (), {{}})):
            setattr(shared, {short!r}, impostor)
            try:
                importlib.import_module({NAME!r})
            except TypeError as e:
                results.append([str(e), entries(e)])
        delattr(shared, {short!r})
        m = importlib.import_module({NAME!r})
        results.append(type(m.load_simulation_result) is getattr(shared, {short!r}))
        print(json.dumps(results))
        """,
        tmp_path,
    )
    assert out == [
        [f"Shared Ostrel type {short} is not a type object", init_entry(1)],
        [f"Shared Ostrel type {short} has the wrong size, try recompiling", init_entry(1)],
        True,
    ]


def test_create_step_copies_the_spec(tmp_path):
    out = run(
        f"""
        import ctypes, importlib, importlib.util, types
        lib = ctypes.PyDLL(importlib.util.find_spec({NAME!r}).origin)
        lib.PyInit_simulation_storage.restype = ctypes.c_void_p
        definition = lib.PyInit_simulation_storage()
        api = ctypes.pythonapi
        api.PyModule_FromDefAndSpec2.restype = ctypes.py_object
        api.PyModule_FromDefAndSpec2.argtypes = [ctypes.c_void_p, ctypes.py_object, ctypes.c_int]
        api.PyModule_ExecDef.restype = ctypes.c_int
        api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]

        def create(spec):
            return api.PyModule_FromDefAndSpec2(definition, spec, 1013)

        def show(m):
            return {{k: (v if k == "__path__" else repr(v)) for k, v in vars(m).items() if k != "__doc__"}}

        class Broken:
            name = "x.y"
            loader = None
            @property
            def origin(self):
                raise LookupError("no origin")

        results = [
            show(create(types.SimpleNamespace(name="x.y", loader=None, origin=None, parent="x",
                                              submodule_search_locations=None))),
            show(create(types.SimpleNamespace(name="x.y"))),
            show(create(types.SimpleNamespace(name="x.y", loader="L", origin="o", parent="x",
                                              submodule_search_locations=["p"]))),
        ]
        try:
            create(Broken())
        except LookupError as e:
            results.append(str(e))
        real = importlib.util.find_spec({NAME!r})
        m = create(real)
        results.append(create(real) is m)
        results.append(api.PyModule_ExecDef(m, definition))
        results.append(sys.modules.get({NAME!r}) is m)
        results.append(importlib.import_module({NAME!r}) is m)
        results.append(m.__doc__ == {DOC!r})
        print(json.dumps(results))
        """,
        tmp_path,
    )
    assert out == [
        {"__name__": "'x.y'", "__package__": "'x'", "__loader__": "None", "__spec__": "None", "__file__": "None"},
        {"__name__": "'x.y'", "__package__": "None", "__loader__": "None", "__spec__": "None"},
        {
            "__name__": "'x.y'",
            "__package__": "'x'",
            "__loader__": "'L'",
            "__spec__": "None",
            "__file__": "'o'",
            "__path__": ["p"],
        },
        "no origin",
        False,
        0,
        True,
        True,
        True,
    ]


# --- a second interpreter ----------------------------------------------------------------

needs_interpreters = pytest.mark.skipif(
    importlib.util.find_spec("_interpreters") is None, reason="no _interpreters module in this build"
)


@needs_interpreters
def test_second_interpreter_is_refused(tmp_path):
    out = run(
        f"""
        import _interpreters
        import {NAME}
        sub = _interpreters.create(_interpreters.new_config("legacy"))
        failure = _interpreters.run_string(sub, "import {NAME}")
        _interpreters.destroy(sub)
        print(json.dumps(failure and [failure.type.__name__, failure.msg]))
        """,
        tmp_path,
    )
    assert out == ["ImportError", INTERPRETER_CHANGE]


@needs_interpreters
def test_refused_after_the_first_interpreter_ended(tmp_path):
    out = run(
        f"""
        import _interpreters
        sub = _interpreters.create(_interpreters.new_config("legacy"))
        _interpreters.run_string(sub, "try:\\n    import {NAME}\\nexcept Exception:\\n    pass\\n")
        _interpreters.destroy(sub)
        try:
            import {NAME}
        except ImportError as e:
            print(json.dumps([type(e).__name__, str(e)]))
        else:
            print(json.dumps(None))
        """,
        tmp_path,
    )
    assert out == ["ImportError", INTERPRETER_CHANGE]
