"""The module's function objects: introspection values, attribute rules,
representation, pickling, method binding and their type."""

from __future__ import annotations

import collections
import contextlib
import copy
import dis
import gc
import inspect
import io
import pickle
import subprocess
import sys
import types
import warnings
import weakref

import pytest
from conftest import FUNCTION_NAMES

MODULE = "lumora.core.simulation_storage"
FILE = "src/lumora/core/simulation_storage"
NAMES = FUNCTION_NAMES
IDENTITY = ("component_name", "factory_name", "component_settings", "model_parameters", "hyperparameters")
FILTERS = ("component_name", "factory_name", "simulation_type", "pdk_name", "status")

KWDEFAULTS = {
    "save_simulation_result": [("status", "success"), ("error_message", ""), ("pdk_version", "")],
    "list_simulation_results": [(name, None) for name in FILTERS],
    "clear_simulation_results": [(name, None) for name in FILTERS[:4]],
}

IDENTITY_ANNOTATIONS = [
    ("component_name", "str"),
    ("factory_name", "str"),
    ("component_settings", "dict[str, Any]"),
    ("model_parameters", "dict[str, Any]"),
    ("hyperparameters", "SimulationHyperparameters"),
]
ANNOTATIONS = {
    "_compute_simulation_id": IDENTITY_ANNOTATIONS + [("simulation_type", "str"), ("return", "str")],
    "_get_simulation_file_path": [
        ("simulation_type", "str"),
        ("component_name", "str"),
        ("simulation_id", "str"),
        ("return", "Path"),
    ],
    "_find_simulation_file": [("simulation_id", "str"), ("return", "Path | None")],
    "save_simulation_result": IDENTITY_ANNOTATIONS
    + [
        ("simulation_type", "SimulationType"),
        ("result", "SerializedSimulationResult"),
        ("wavelengths", "list[float]"),
        ("execution_time_seconds", "float"),
        ("status", "SimulationStatus"),
        ("error_message", "str"),
        ("pdk_version", "str"),
        ("return", "StoredSimulationResult"),
    ],
    "load_simulation_result": [("simulation_id", "str"), ("return", "StoredSimulationResult | None")],
    "find_simulation_result": IDENTITY_ANNOTATIONS
    + [
        ("simulation_type", "SimulationType"),
        ("return", "StoredSimulationResult | None"),
    ],
    "_matches_filters": [
        ("result", "StoredSimulationResult"),
        ("component_name", "str | None"),
        ("factory_name", "str | None"),
        ("pdk_name", "str | None"),
        ("status", "str | None"),
        ("return", "bool"),
    ],
    "list_simulation_results": [(name, "str | None") for name in FILTERS]
    + [
        ("return", "list[StoredSimulationResult]"),
    ],
    "delete_simulation_result": [("simulation_id", "str"), ("return", "bool")],
    "clear_simulation_results": [(name, "str | None") for name in FILTERS[:4]] + [("return", "int")],
}

# Positional count, keyword-only count, variable names, first line.
CODE = {
    "_compute_simulation_id": (
        6,
        0,
        IDENTITY + ("simulation_type", "identity_data", "identity_str", "hash_bytes"),
        46,
    ),
    "_get_simulation_file_path": (
        3,
        0,
        ("simulation_type", "component_name", "simulation_id", "simulations_dir", "type_dir"),
        84,
    ),
    "_find_simulation_file": (1, 0, ("simulation_id", "simulations_dir", "type_dir", "matches"), 103),
    "save_simulation_result": (
        0,
        12,
        IDENTITY
        + (
            "simulation_type",
            "result",
            "wavelengths",
            "execution_time_seconds",
            "status",
            "error_message",
            "pdk_version",
            "simulation_id",
            "file_path",
            "stored_result",
        ),
        126,
    ),
    "load_simulation_result": (1, 0, ("simulation_id", "file_path", "data"), 208),
    "find_simulation_result": (0, 6, IDENTITY + ("simulation_type", "simulation_id"), 230),
    "_matches_filters": (5, 0, ("result", "component_name", "factory_name", "pdk_name", "status"), 266),
    "list_simulation_results": (
        0,
        5,
        FILTERS + ("simulations_dir", "results", "type_dirs", "type_dir", "file_path", "data", "result", "d"),
        283,
    ),
    "delete_simulation_result": (1, 0, ("simulation_id", "file_path"), 338),
    "clear_simulation_results": (0, 4, FILTERS[:4] + ("results", "deleted_count", "result"), 359),
}

_IDENTITY_SIGNATURE = (
    "component_name: 'str', factory_name: 'str', component_settings: 'dict[str, Any]', "
    "model_parameters: 'dict[str, Any]', hyperparameters: 'SimulationHyperparameters', "
)
SIGNATURES = {
    "_compute_simulation_id": f"({_IDENTITY_SIGNATURE}simulation_type: 'str') -> 'str'",
    "_get_simulation_file_path": "(simulation_type: 'str', component_name: 'str', simulation_id: 'str') -> 'Path'",
    "_find_simulation_file": "(simulation_id: 'str') -> 'Path | None'",
    "save_simulation_result": (
        f"(*, {_IDENTITY_SIGNATURE}simulation_type: 'SimulationType', result: 'SerializedSimulationResult', "
        "wavelengths: 'list[float]', execution_time_seconds: 'float', status: 'SimulationStatus' = 'success', "
        "error_message: 'str' = '', pdk_version: 'str' = '') -> 'StoredSimulationResult'"
    ),
    "load_simulation_result": "(simulation_id: 'str') -> 'StoredSimulationResult | None'",
    "find_simulation_result": (
        f"(*, {_IDENTITY_SIGNATURE}simulation_type: 'SimulationType') -> 'StoredSimulationResult | None'"
    ),
    "_matches_filters": (
        "(result: 'StoredSimulationResult', component_name: 'str | None', factory_name: 'str | None', "
        "pdk_name: 'str | None', status: 'str | None') -> 'bool'"
    ),
    "list_simulation_results": (
        "(*, component_name: 'str | None' = None, factory_name: 'str | None' = None, "
        "simulation_type: 'str | None' = None, pdk_name: 'str | None' = None, status: 'str | None' = None) "
        "-> 'list[StoredSimulationResult]'"
    ),
    "delete_simulation_result": "(simulation_id: 'str') -> 'bool'",
    "clear_simulation_results": (
        "(*, component_name: 'str | None' = None, factory_name: 'str | None' = None, "
        "simulation_type: 'str | None' = None, pdk_name: 'str | None' = None) -> 'int'"
    ),
}

DOCS = {
    "_compute_simulation_id": (
        "_compute_simulation_id(str component_name: str, str factory_name: str, "
        "dict component_settings: dict[str, Any], dict model_parameters: dict[str, Any], "
        "hyperparameters: SimulationHyperparameters, str simulation_type: str) -> str\n"
        "\n"
        "Compute a deterministic hash-based ID for a simulation.\n"
        "\n"
        "The ID is computed from the identity fields only, ensuring that\n"
        "the same inputs always produce the same ID.\n"
        "\n"
        "Args:\n"
        "    component_name: Name of the component.\n"
        "    factory_name: Name of the factory.\n"
        "    component_settings: Component settings dictionary.\n"
        "    model_parameters: Model parameters dictionary.\n"
        "    hyperparameters: Simulation hyperparameters.\n"
        "    simulation_type: Type of simulation.\n"
        "\n"
        "Returns:\n"
        "    16-character hex string from SHA-256 hash."
    ),
    "_get_simulation_file_path": (
        "_get_simulation_file_path(str simulation_type: str, str component_name: str, "
        "str simulation_id: str) -> Path\n"
        "\n"
        "Get the file path for a simulation result.\n"
        "\n"
        "Args:\n"
        '    simulation_type: Type of simulation (e.g., "vok", "brindle").\n'
        "    component_name: Name of the component.\n"
        "    simulation_id: The simulation ID.\n"
        "\n"
        "Returns:\n"
        "    Path to the simulation result file."
    ),
    "_find_simulation_file": (
        "_find_simulation_file(str simulation_id: str) -> Path | None\n"
        "\n"
        "Find a simulation result file by its ID.\n"
        "\n"
        "Scans all simulation type directories to find the file.\n"
        "\n"
        "Args:\n"
        "    simulation_id: The unique simulation ID.\n"
        "\n"
        "Returns:\n"
        "    Path to the simulation file if found, None otherwise."
    ),
    "save_simulation_result": (
        "save_simulation_result(*, str component_name: str, str factory_name: str, "
        "dict component_settings: dict[str, Any], dict model_parameters: dict[str, Any], "
        "hyperparameters: SimulationHyperparameters, simulation_type: SimulationType, "
        "result: SerializedSimulationResult, list wavelengths: list[float], "
        "double execution_time_seconds: float, status: SimulationStatus = 'success', "
        "str error_message: str = '', str pdk_version: str = '') -> StoredSimulationResult\n"
        "\n"
        "Save a simulation result to file.\n"
        "\n"
        "Args:\n"
        "    component_name: Name of the component.\n"
        "    factory_name: Name of the factory.\n"
        "    component_settings: Component settings dictionary.\n"
        "    model_parameters: Model parameters dictionary.\n"
        "    hyperparameters: Simulation hyperparameters.\n"
        "    simulation_type: Type of simulation.\n"
        "    result: Serialized simulation result.\n"
        "    wavelengths: List of wavelengths used.\n"
        "    execution_time_seconds: Execution time in seconds.\n"
        '    status: Status of the simulation ("success" or "error").\n'
        '    error_message: Error message if status is "error".\n'
        "    pdk_version: Version of the PDK used.\n"
        "\n"
        "Returns:\n"
        "    The stored simulation result with computed ID."
    ),
    "load_simulation_result": (
        "load_simulation_result(str simulation_id: str) -> StoredSimulationResult | None\n"
        "\n"
        "Load a simulation result by its ID.\n"
        "\n"
        "Args:\n"
        "    simulation_id: The unique simulation ID.\n"
        "\n"
        "Returns:\n"
        "    StoredSimulationResult if found, None otherwise."
    ),
    "find_simulation_result": (
        "find_simulation_result(*, str component_name: str, str factory_name: str, "
        "dict component_settings: dict[str, Any], dict model_parameters: dict[str, Any], "
        "hyperparameters: SimulationHyperparameters, "
        "simulation_type: SimulationType) -> StoredSimulationResult | None\n"
        "\n"
        "Find a cached simulation result by its identity fields.\n"
        "\n"
        "This computes the deterministic ID from the inputs and looks up\n"
        "the corresponding result.\n"
        "\n"
        "Args:\n"
        "    component_name: Name of the component.\n"
        "    factory_name: Name of the factory.\n"
        "    component_settings: Component settings dictionary.\n"
        "    model_parameters: Model parameters dictionary.\n"
        "    hyperparameters: Simulation hyperparameters.\n"
        "    simulation_type: Type of simulation.\n"
        "\n"
        "Returns:\n"
        "    StoredSimulationResult if found, None otherwise."
    ),
    "_matches_filters": (
        "_matches_filters(result: StoredSimulationResult, str component_name: str | None, "
        "str factory_name: str | None, str pdk_name: str | None, str status: str | None) -> bool\n"
        "\n"
        "Check if a result matches the given filters."
    ),
    "list_simulation_results": (
        "list_simulation_results(*, str component_name: str | None = None, "
        "str factory_name: str | None = None, str simulation_type: str | None = None, "
        "str pdk_name: str | None = None, "
        "str status: str | None = None) -> list[StoredSimulationResult]\n"
        "\n"
        "List simulation results with optional filters.\n"
        "\n"
        "Scans the filesystem for simulation result files and filters them.\n"
        "\n"
        "Args:\n"
        "    component_name: Filter by component name.\n"
        "    factory_name: Filter by factory name.\n"
        "    simulation_type: Filter by simulation type.\n"
        "    pdk_name: Filter by PDK name.\n"
        "    status: Filter by status.\n"
        "\n"
        "Returns:\n"
        "    List of matching StoredSimulationResult objects."
    ),
    "delete_simulation_result": (
        "delete_simulation_result(str simulation_id: str) -> bool\n"
        "\n"
        "Delete a simulation result by its ID.\n"
        "\n"
        "Args:\n"
        "    simulation_id: The unique simulation ID.\n"
        "\n"
        "Returns:\n"
        "    True if the result was deleted, False otherwise."
    ),
    "clear_simulation_results": (
        "clear_simulation_results(*, str component_name: str | None = None, "
        "str factory_name: str | None = None, str simulation_type: str | None = None, "
        "str pdk_name: str | None = None) -> int\n"
        "\n"
        "Clear simulation results with optional filters.\n"
        "\n"
        "Args:\n"
        "    component_name: Filter by component name.\n"
        "    factory_name: Filter by factory name.\n"
        "    simulation_type: Filter by simulation type.\n"
        "    pdk_name: Filter by PDK name.\n"
        "\n"
        "Returns:\n"
        "    Number of results deleted."
    ),
}

ATTRIBUTES = ("__name__", "__qualname__", "__doc__", "__module__", "__defaults__", "__kwdefaults__", "__annotations__")
REPR = "<ostrelfunction {} at {}>"


@pytest.fixture(params=NAMES)
def name(request):
    return request.param


@pytest.fixture
def func(ss, name):
    """A module function whose attributes are put back after the test."""
    f = getattr(ss, name)
    saved = {attr: getattr(f, attr) for attr in ATTRIBUTES}
    saved_dict = dict(f.__dict__)
    yield f
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        for attr, value in saved.items():
            setattr(f, attr, value)
    f.__dict__.clear()
    f.__dict__.update(saved_dict)


@contextlib.contextmanager
def recorded_warnings():
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        yield caught


def call_error(f):
    """The binding error of a call with too many positional arguments."""
    with pytest.raises(TypeError) as info:
        f(*[None] * 13)
    return str(info.value)


# --- values ---------------------------------------------------------------------


def test_introspection_values(ss, name):
    f = getattr(ss, name)
    assert f.__name__ == f.__qualname__ == name
    assert f.__name__ is sys.intern(name)
    assert f.__module__ == MODULE
    assert f.__doc__ == DOCS[name]
    assert f.__defaults__ is None
    assert f.__closure__ is None
    assert f.__globals__ is vars(ss)
    assert f._is_coroutine is False
    assert f.__dict__ == {}
    kwdefaults = f.__kwdefaults__
    if name in KWDEFAULTS:
        assert type(kwdefaults) is dict and list(kwdefaults.items()) == KWDEFAULTS[name]
    else:
        assert kwdefaults is None
    annotations = f.__annotations__
    assert type(annotations) is dict and list(annotations.items()) == ANNOTATIONS[name]
    assert all(type(text) is str for text in annotations.values())


def test_code_object(ss, name):
    code = getattr(ss, name).__code__
    argcount, kwonly, varnames, line = CODE[name]
    assert isinstance(code, types.CodeType)
    assert code.co_name == code.co_qualname == name
    assert code.co_filename == FILE
    assert code.co_firstlineno == line
    assert (code.co_argcount, code.co_kwonlyargcount, code.co_posonlyargcount) == (argcount, kwonly, 0)
    assert code.co_varnames == varnames
    assert code.co_flags & 3 == 3


def refuses_to_run(code):
    """A function made from code raises, every time (past the interpreter's
    specialisation warm-up), inside an exception handler too, without
    needing stack; and dis can read the instructions."""
    assert code.co_stacksize == 0
    args = [None] * code.co_argcount
    kwargs = dict.fromkeys(code.co_varnames[code.co_argcount :][: code.co_kwonlyargcount])
    function = types.FunctionType(code, {})
    for _ in range(100):
        with pytest.raises(RuntimeError, match="^No active exception to reraise$"):
            function(*args, **kwargs)
    with pytest.raises(KeyError):
        try:
            raise KeyError("handled")
        except KeyError:
            function(*args, **kwargs)
    dis.dis(code, file=io.StringIO())
    return True


def test_code_object_refuses_to_run(ss, name):
    assert refuses_to_run(getattr(ss, name).__code__)


def test_signature(ss, name):
    sig = inspect.signature(getattr(ss, name))
    assert str(sig) == SIGNATURES[name]


def test_aliases(ss, name):
    f = getattr(ss, name)
    assert f.func_doc is f.__doc__
    assert f.func_name is f.__name__
    assert f.func_dict is f.__dict__
    assert f.func_globals is f.__globals__
    assert f.func_closure is None
    assert f.func_code is f.__code__
    assert f.func_defaults is None


def test_representation(ss, name):
    f = getattr(ss, name)
    assert repr(f) == str(f) == REPR.format(name, hex(id(f)))


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickling_gives_the_same_object(ss, name, protocol):
    f = getattr(ss, name)
    assert f.__reduce__() == name
    assert pickle.loads(pickle.dumps(f, protocol)) is f


def test_copies_are_the_same_object(ss):
    f = ss.load_simulation_result
    assert copy.copy(f) is f
    assert copy.deepcopy(f) is f


# --- assignment rules -------------------------------------------------------------


class Row(tuple):
    pass


class Table(dict):
    pass


class Text(str):
    pass


@pytest.mark.parametrize("value", [(1,), Row(("x",)), None], ids=["tuple", "tuple-subclass", "none"])
def test_defaults_assignment_warns(func, value):
    before = call_error(func)
    with recorded_warnings() as caught:
        func.__defaults__ = value
    assert [(w.category, str(w.message), w.filename) for w in caught] == [
        (
            RuntimeWarning,
            "changes to ostrelfunction.__defaults__ will not currently affect the values used in function calls",
            __file__,
        )
    ]
    assert func.__defaults__ is value
    assert func.func_defaults is value
    assert call_error(func) == before


def test_defaults_deletion_warns(func):
    with recorded_warnings() as caught:
        func.__defaults__ = (1,)
        del func.__defaults__
        func.func_defaults = (2,)
    assert [w.category for w in caught] == [RuntimeWarning] * 3
    assert func.__defaults__ == (2,)


@pytest.mark.parametrize("attr", ["__defaults__", "func_defaults"])
@pytest.mark.parametrize("value", [[1], {}, "ab", 0])
def test_defaults_rejected(func, attr, value):
    with recorded_warnings() as caught, pytest.raises(TypeError) as info:
        setattr(func, attr, value)
    assert str(info.value) == "__defaults__ must be set to a tuple object"
    assert caught == []
    assert func.__defaults__ is None


@pytest.mark.parametrize(
    "value",
    [{"status": "error"}, Table(a=1), collections.OrderedDict(), None],
    ids=["dict", "dict-subclass", "ordered-dict", "none"],
)
def test_kwdefaults_assignment_warns(func, value):
    before = call_error(func)
    with recorded_warnings() as caught:
        func.__kwdefaults__ = value
    assert [(w.category, str(w.message), w.filename) for w in caught] == [
        (
            RuntimeWarning,
            "changes to ostrelfunction.__kwdefaults__ will not currently affect the values used in function calls",
            __file__,
        )
    ]
    assert func.__kwdefaults__ is value
    assert call_error(func) == before


def test_kwdefaults_deletion_warns(func):
    with recorded_warnings() as caught:
        del func.__kwdefaults__
    assert [(w.category, str(w.message)) for w in caught] == [
        (
            RuntimeWarning,
            "changes to ostrelfunction.__kwdefaults__ will not currently affect the values used in function calls",
        )
    ]
    assert func.__kwdefaults__ is None


@pytest.mark.parametrize("value", [[("status", "x")], (), "x", 1])
def test_kwdefaults_rejected(func, value):
    before = func.__kwdefaults__
    with recorded_warnings() as caught, pytest.raises(TypeError) as info:
        func.__kwdefaults__ = value
    assert str(info.value) == "__kwdefaults__ must be set to a dict object"
    assert caught == []
    assert func.__kwdefaults__ is before


def test_annotations_assignment(func):
    original = func.__annotations__
    with recorded_warnings() as caught:
        for value in ({"x": "int"}, Table(y="str")):
            func.__annotations__ = value
            assert func.__annotations__ is value
        with pytest.raises(TypeError) as info:
            func.__annotations__ = [("x", "int")]
        assert str(info.value) == "__annotations__ must be set to a dict object"
        assert func.__annotations__ is value
        func.__annotations__ = None
        fresh = func.__annotations__
        assert fresh == {} and fresh is not original
        assert func.__annotations__ is fresh
        func.__annotations__ = original
        del func.__annotations__
        assert func.__annotations__ == {}
    assert caught == []


@pytest.mark.parametrize("attr, alias", [("__name__", "func_name"), ("__qualname__", None)])
def test_name_assignment(func, name, attr, alias):
    message = f"{attr} must be set to a string object"
    for target in filter(None, (attr, alias)):
        text = Text("renamed")
        setattr(func, target, text)
        assert getattr(func, attr) is text
        for bad in (5, None, b"renamed"):
            with pytest.raises(TypeError) as info:
                setattr(func, target, bad)
            assert str(info.value) == message
        with pytest.raises(TypeError) as info:
            delattr(func, target)
        assert str(info.value) == message
        assert getattr(func, attr) is text
    other = "__qualname__" if attr == "__name__" else "__name__"
    assert getattr(func, other) == name


def test_qualname_drives_repr_and_reduce(func, name):
    func.__qualname__ = "Outer.inner"
    assert repr(func) == REPR.format("Outer.inner", hex(id(func)))
    assert func.__reduce__() == "Outer.inner"
    assert func.__name__ == name


def test_doc_and_module_accept_anything(func):
    for attr in ("__doc__", "func_doc", "__module__"):
        marker = object()
        setattr(func, attr, marker)
        assert getattr(func, attr) is marker
        delattr(func, attr)
        assert getattr(func, attr) is None
    func.__module__ = "elsewhere"
    assert func.__module__ == "elsewhere"


@pytest.mark.parametrize(
    "attr",
    ["__globals__", "__closure__", "__code__", "_is_coroutine", "func_globals", "func_closure", "func_code"],
)
def test_read_only_attributes(func, attr):
    before = getattr(func, attr)
    with pytest.raises(AttributeError):
        setattr(func, attr, None)
    with pytest.raises(AttributeError):
        delattr(func, attr)
    assert getattr(func, attr) is before


def test_arbitrary_attributes_go_into_the_dict(func):
    func.tag = 1
    assert func.__dict__ == {"tag": 1}
    assert vars(func) is func.__dict__
    del func.tag
    assert func.__dict__ == {}
    func.__dict__ = {"label": "x"}
    assert func.label == "x"
    with pytest.raises(TypeError):
        func.__dict__ = 5


# --- binding as a method ------------------------------------------------------------


def test_method_binding(ss):
    f = ss._matches_filters

    class Holder:
        pass

    Holder.check = f
    holder = Holder()
    assert Holder.check is f
    assert f.__get__(None, Holder) is f
    method = holder.check
    assert type(method) is types.MethodType
    assert method.__func__ is f and method.__self__ is holder
    with pytest.raises(TypeError) as info:
        holder.check()
    assert str(info.value) == "_matches_filters() takes exactly 5 positional arguments (1 given)"
    assert holder.check(None, None, None, None) is True


# --- the function type ------------------------------------------------------------------


def test_function_type(ss):
    f = ss.load_simulation_result
    ftype = type(f)
    assert all(type(getattr(ss, name)) is ftype for name in NAMES)
    assert ftype is not types.FunctionType and ftype is not types.BuiltinFunctionType
    assert ftype.__flags__ & (1 << 11)  # calls take the vectorcall path
    with pytest.raises(TypeError):
        ftype()
    with pytest.raises(TypeError):

        class Derived(ftype):
            pass

    for attr in ("tag", "__call__", "__repr__"):
        with pytest.raises(TypeError):
            setattr(ftype, attr, None)
    assert weakref.ref(f)() is f
    assert gc.is_tracked(f)


def test_type_call_refuses_a_subclass(ss, tmp_path):
    # In a fresh interpreter: a crash there fails this test, not the run.
    script = (
        "from lumora.core import simulation_storage as ss\n"
        "try:\n"
        "    type('Derived', (type(ss.load_simulation_result),), {})\n"
        "except TypeError:\n"
        "    print('refused')\n"
    )
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, cwd=tmp_path, timeout=60)
    assert (proc.returncode, proc.stdout) == (0, "refused\n"), proc.stderr


def test_metatype_and_shared_module(ss):
    ftype = type(ss.load_simulation_result)
    meta = type(ftype)
    assert meta is not type and issubclass(meta, type)
    shared = sys.modules[ftype.__module__]
    assert getattr(shared, ftype.__name__) is ftype
    with pytest.raises((TypeError, AttributeError)):
        ftype.__module__ = "elsewhere"
    # Read-only in the metatype itself, not only because the type is immutable.
    descriptor = vars(meta)["__module__"]
    assert descriptor.__get__(ftype, meta) == ftype.__module__
    with pytest.raises(AttributeError):
        descriptor.__set__(ftype, "elsewhere")
    assert sys.modules[ftype.__module__] is shared


# --- the sort key ---------------------------------------------------------------------


def test_sort_key(ss, tmp_path, monkeypatch):
    ftype = type(ss.load_simulation_result)
    keys = []

    class Record:
        @property
        def simulation_date(self):
            keys.extend(o for o in gc.get_objects() if type(o) is ftype and o.__name__ == "lambda")
            return "2024-01-01T00:00:00+00:00"

    (tmp_path / "t1").mkdir()
    (tmp_path / "t1" / "c1_0123456789abcdef.json").write_text("{}")
    monkeypatch.setattr(ss, "get_simulations_dir", lambda: tmp_path)
    monkeypatch.setattr(ss, "StoredSimulationResult", types.SimpleNamespace(model_validate=lambda data: Record()))
    [record] = ss.list_simulation_results()
    assert isinstance(record, Record)
    assert len(keys) == 1, "the sort key is a tracked module function"
    key = keys[0]
    qualname = "list_simulation_results.<locals>.<lambda>"
    assert (key.__name__, key.__qualname__, key.__module__) == ("lambda", qualname, MODULE)
    assert key.__doc__ is None and key.__defaults__ is None and key.__kwdefaults__ is None
    assert key.__annotations__ == {} and key.__annotations__ is key.__annotations__
    assert key.__globals__ is vars(ss) and key.__closure__ is None
    code = key.__code__
    assert (code.co_name, code.co_qualname, code.co_filename, code.co_firstlineno) == (
        "<lambda>",
        "<lambda>",
        FILE,
        334,
    )
    assert (code.co_argcount, code.co_kwonlyargcount, code.co_posonlyargcount, code.co_varnames) == (1, 0, 0, ("r",))
    assert str(inspect.signature(key)) == "(r)"
    assert refuses_to_run(code)
    assert repr(key) == REPR.format(qualname, hex(id(key)))
    assert key.__reduce__() == qualname
    with pytest.raises((pickle.PicklingError, AttributeError)):
        pickle.dumps(key)
    dated = types.SimpleNamespace(simulation_date=3)
    assert key(dated) == 3 and key(r=dated) == 3
    with pytest.raises(TypeError) as info:
        key()
    assert str(info.value) == "lambda() takes exactly 1 positional argument (0 given)"
    tb = info.value.__traceback__
    while tb.tb_next is not None:
        tb = tb.tb_next
    assert (tb.tb_frame.f_code.co_name, tb.tb_lineno) == (
        "lumora.core.simulation_storage.list_simulation_results.lambda",
        334,
    )
