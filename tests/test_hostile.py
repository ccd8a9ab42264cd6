"""Hostile input: arbitrary arguments, keyword names and nesting, and a store
seeded with files that are anything but results.

Every call either succeeds with a value of the documented kind or raises one
of the documented exception types; nothing crashes, nothing is left half-done.
"""

from __future__ import annotations

import contextlib
import ctypes
import math
import os
import pathlib
import subprocess
import sys
import tempfile
import types

import orjson
import pytest
from conftest import identity, outcome
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

from lumora.core import simulation_storage as ss
from lumora.models import SimulationHyperparameters, StoredSimulationResult


class HostileError(Exception):
    """Raised on purpose by the hostile objects below."""


class Hostile:
    """Fails at every protocol the module or its collaborators might use."""

    def _fail(self, *args, **kwargs):
        raise HostileError

    __eq__ = __ne__ = __lt__ = __gt__ = __hash__ = __bool__ = __str__ = __format__ = _fail
    __float__ = __index__ = __iter__ = __len__ = __getitem__ = _fail

    def __getattr__(self, name):
        if name.startswith("_"):  # leaves the test tools' probing alone
            raise AttributeError(name)
        raise HostileError(name)

    def __repr__(self):
        return "Hostile()"


class Str(str):
    pass


class EvilStr(str):
    """A str subclass whose comparisons and hash fail."""

    def __eq__(self, other):
        raise HostileError

    __hash__ = str.__hash__


class Dict(dict):
    pass


class List(list):
    pass


class Float(float):
    pass


class Dumps:
    """A hyperparameters stand-in whose model_dump returns the given value."""

    def __init__(self, value):
        self.value = value

    def model_dump(self):
        return self.value


# Documented outcomes of a call: binding and type errors, values the
# identity text or the model refuses, unsafe names, the file system's
# refusals, float conversion, nesting too deep to write, and whatever the
# caller's own objects raise.
ALLOWED = (TypeError, ValueError, AttributeError, OverflowError, RecursionError, OSError, HostileError)

scalars = (
    st.none()
    | st.booleans()
    | st.integers()
    | st.integers(min_value=2**63)
    | st.floats()
    | st.text(max_size=20)
    | st.binary(max_size=20)
    | st.builds(Str, st.text(max_size=5))
    | st.builds(Float, st.floats())
    | st.builds(Hostile)
    | st.just(EvilStr("x"))
    | st.just(SimulationHyperparameters())
    | st.just(pathlib.Path("p"))
    | st.just(object())
    | st.just(math.inf)
    | st.just(float("nan"))
    | st.just(...)
)
anything = st.recursive(
    scalars,
    lambda inner: (
        st.lists(inner, max_size=4)
        | st.tuples(inner, inner)
        | st.builds(List, st.lists(inner, max_size=3))
        | st.dictionaries(st.text(max_size=5) | st.integers() | st.floats() | st.none(), inner, max_size=4)
        | st.builds(Dict, st.dictionaries(st.text(max_size=5), inner, max_size=3))
        | st.frozensets(st.integers(), max_size=3)
        | st.builds(Dumps, inner)
    ),
    max_leaves=12,
)
names = st.text(max_size=30)

# Each function with its parameters; the plausible strategy gives values
# that pass the binding's type test most of the time, so calls reach the body.
SIGNATURES = {
    "_compute_simulation_id": [
        "component_name",
        "factory_name",
        "component_settings",
        "model_parameters",
        "hyperparameters",
        "simulation_type",
    ],
    "_get_simulation_file_path": ["simulation_type", "component_name", "simulation_id"],
    "_find_simulation_file": ["simulation_id"],
    "save_simulation_result": [
        "component_name",
        "factory_name",
        "component_settings",
        "model_parameters",
        "hyperparameters",
        "simulation_type",
        "result",
        "wavelengths",
        "execution_time_seconds",
        "status",
        "error_message",
        "pdk_version",
    ],
    "load_simulation_result": ["simulation_id"],
    "find_simulation_result": [
        "component_name",
        "factory_name",
        "component_settings",
        "model_parameters",
        "hyperparameters",
        "simulation_type",
    ],
    "_matches_filters": ["result", "component_name", "factory_name", "pdk_name", "status"],
    "list_simulation_results": ["component_name", "factory_name", "simulation_type", "pdk_name", "status"],
    "delete_simulation_result": ["simulation_id"],
    "clear_simulation_results": ["component_name", "factory_name", "simulation_type", "pdk_name"],
}
KEYWORD_ONLY = {
    "save_simulation_result",
    "find_simulation_result",
    "list_simulation_results",
    "clear_simulation_results",
}
json_values = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats() | st.text(max_size=8),
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=5), inner, max_size=3),
    max_leaves=8,
)
safe_names = st.text(st.characters(codec="utf-8", exclude_characters="/\\\0"), min_size=1, max_size=12)
filters = st.none() | safe_names | st.sampled_from(["mmi1x2", "mmi1x2_factory", "generic", "success", "error"])
PLAUSIBLE = {
    "component_settings": st.dictionaries(st.text(max_size=8), json_values, max_size=4),
    "model_parameters": st.dictionaries(st.text(max_size=8), json_values, max_size=4),
    "hyperparameters": st.just(SimulationHyperparameters()),
    "result": st.dictionaries(st.text(max_size=8), json_values, max_size=3),
    "wavelengths": st.lists(st.floats(allow_nan=False, allow_infinity=False), max_size=4),
    "execution_time_seconds": st.floats(allow_nan=False, allow_infinity=False) | st.integers(),
    "status": st.sampled_from(["success", "error"]),
    "simulation_type": st.sampled_from(["sparams", "modes"]) | safe_names,
    "simulation_id": st.sampled_from(["0123456789abcdef", "*", "?", "[a-f]", "a/b", ""]) | safe_names,
}
# Filters of the listing functions, and the record _matches_filters is given.
FILTERING = {"list_simulation_results", "clear_simulation_results", "_matches_filters"}
record_like = st.builds(
    types.SimpleNamespace,
    component_name=filters | anything,
    factory_name=filters | anything,
    pdk_name=filters | anything,
    status=filters | anything,
)


def well_formed(name, param):
    if name == "_matches_filters" and param == "result":
        return record_like
    if name in FILTERING:
        return filters
    return PLAUSIBLE.get(param, safe_names)


def finite(value):
    """No NaN or infinity, alone or in a list (see test_non_finite_numbers_*)."""
    items = value if isinstance(value, list) else [value]
    return not any(isinstance(v, float) and not math.isfinite(v) for v in items)


def odd_value(param):
    odd = names | anything
    return odd.filter(finite) if param in ("wavelengths", "execution_time_seconds") else odd


OPTIONAL = {
    "save_simulation_result": ["status", "error_message", "pdk_version"],
    "list_simulation_results": SIGNATURES["list_simulation_results"],
    "clear_simulation_results": SIGNATURES["clear_simulation_results"],
}


@contextlib.contextmanager
def fresh_store():
    """A store root of its own for one example; afterwards it must hold no
    temporary file and only whole result files."""
    old = os.environ.get("LUMORA_SIMULATIONS_DIR")
    with tempfile.TemporaryDirectory(prefix="lumora-hostile-") as tmp:
        root = pathlib.Path(tmp) / "store"
        os.environ["LUMORA_SIMULATIONS_DIR"] = str(root)
        try:
            yield root
        finally:
            if old is None:
                del os.environ["LUMORA_SIMULATIONS_DIR"]
            else:
                os.environ["LUMORA_SIMULATIONS_DIR"] = old
        if root.exists():
            for path in root.rglob("*"):
                assert not path.name.endswith(".tmp"), path
                if path.is_file():
                    StoredSimulationResult.model_validate(orjson.loads(path.read_bytes()))


def check_result(name, value):
    if name == "_compute_simulation_id":
        assert type(value) is str and len(value) == 16 and set(value) <= set("0123456789abcdef")
    elif name == "_get_simulation_file_path":
        assert isinstance(value, pathlib.Path)
    elif name in ("_find_simulation_file",):
        assert value is None or isinstance(value, pathlib.Path)
    elif name == "save_simulation_result":
        assert isinstance(value, StoredSimulationResult)
    elif name in ("load_simulation_result", "find_simulation_result"):
        assert value is None or isinstance(value, StoredSimulationResult)
    elif name in ("_matches_filters", "delete_simulation_result"):
        assert type(value) is bool
    elif name == "list_simulation_results":
        assert type(value) is list
    else:
        assert type(value) is int and value >= 0


def attempt(name, call):
    try:
        value = call()
    except ALLOWED as e:
        event(f"{name}: {type(e).__name__}")
        return
    event(f"{name}: returned")
    check_result(name, value)


HOSTILE_SETTINGS = settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])


parameter_names = st.sampled_from(sorted({p for params in SIGNATURES.values() for p in params}))
# Keyword names through the ordinary call path: the interpreter itself
# refuses non-strings there; str subclasses reach the binding. (Names that
# fail to compare need a raw call: see test_arbitrary_keyword_names.)
keywords = names | parameter_names | parameter_names.map(Str) | names.map(Str) | st.integers() | st.none()


@HOSTILE_SETTINGS
@given(
    name=st.sampled_from(sorted(SIGNATURES)),
    args=st.lists(anything, max_size=7),
    kwargs=st.dictionaries(keywords, anything, max_size=4),
)
def test_arbitrary_arguments(name, args, kwargs):
    fn = getattr(ss, name)
    with fresh_store():
        attempt(name, lambda: fn(*args, **kwargs))


@settings(max_examples=50, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=st.data())
@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_plausible_arguments_with_odd_values(name, data):
    """Mostly well-typed calls, so that the bodies run on odd values."""
    params = SIGNATURES[name]
    omitted = data.draw(st.sets(st.sampled_from(OPTIONAL[name]))) if name in OPTIONAL else set()
    odd = data.draw(st.sampled_from([None, *params]), label="odd parameter")
    values = {
        p: data.draw(odd_value(p) if p == odd else well_formed(name, p), label=p) for p in params if p not in omitted
    }
    fn = getattr(ss, name)
    with fresh_store():
        if data.draw(st.booleans(), label="stored result first"):
            ss.save_simulation_result(**identity(), **outcome())
        if name in KEYWORD_ONLY or data.draw(st.booleans(), label="by keyword"):
            attempt(name, lambda: fn(**values))
        else:
            attempt(name, lambda: fn(*values.values()))


def raw_vectorcall(fn, args, kwnames):
    """fn called through PyObject_Vectorcall with the keyword names as given,
    including what no Python-level call can pass: non-strings, repeats."""
    values = list(args) + [v for _, v in kwnames]
    array = (ctypes.py_object * max(1, len(values)))(*values)
    call = ctypes.pythonapi.PyObject_Vectorcall
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object]
    return call(fn, ctypes.addressof(array), len(args), tuple(k for k, _ in kwnames) if kwnames else None)


@HOSTILE_SETTINGS
@given(name=st.sampled_from(sorted(SIGNATURES)), data=st.data())
def test_arbitrary_keyword_names(name, data):
    params = SIGNATURES[name]
    key = (
        st.sampled_from(params)
        | st.sampled_from(params).map(Str)
        | st.sampled_from(params).map(EvilStr)
        | names
        | names.map(Str)
        | st.integers()
        | st.none()
        | st.binary(max_size=4)
        | st.builds(Hostile)
    )
    kwnames = data.draw(st.lists(st.tuples(key, safe_names | anything), max_size=6))
    args = data.draw(st.lists(names | anything, max_size=3))
    fn = getattr(ss, name)
    with fresh_store():
        attempt(name, lambda: raw_vectorcall(fn, args, kwnames))


@pytest.mark.parametrize("field", ["component_settings", "model_parameters", "hyperparameters"])
@pytest.mark.parametrize("function", ["_compute_simulation_id", "find_simulation_result", "save_simulation_result"])
def test_identity_nested_beyond_any_limit(store, function, field):
    deep = []
    for i in range(100_000):
        deep = [deep] if i % 2 else {"k": deep}
    value = Dumps({"x": deep}) if field == "hyperparameters" else {"x": deep}
    fields = identity(**{field: value})
    extra = outcome() if function == "save_simulation_result" else {}
    with pytest.raises(RecursionError):
        getattr(ss, function)(**fields, **extra)
    assert not store.exists() or not any(store.rglob("*.json"))


@pytest.mark.parametrize("field", ["execution_time_seconds", "wavelengths"])
@pytest.mark.parametrize("value", [math.inf, -math.inf, math.nan])
def test_non_finite_numbers_never_make_an_unloadable_file(ss, store, field, value):
    first = ss.save_simulation_result(**identity(), **outcome())
    try:
        ss.save_simulation_result(**identity(), **outcome(**{field: [value] if field == "wavelengths" else value}))
    except ValueError:
        assert ss.load_simulation_result(first.simulation_id) == first  # refused before the file was touched
    else:
        assert ss.load_simulation_result(first.simulation_id) is not None


def test_result_nested_beyond_any_limit(ss, store):
    deep = {}
    for _ in range(100_000):
        deep = {"a": deep}
    with pytest.raises(TypeError, match="Recursion limit"):
        ss.save_simulation_result(**identity(), **outcome(result=deep))
    assert [p for p in store.rglob("*") if p.is_file()] == []


# --- A store seeded with hostile files --------------------------------------


def hostile_files(root):
    """Writes one good result and the hostile entries beside it; returns the
    good ID and {ID: kind of hostile entry}."""
    kind = root / "sparams"
    kind.mkdir(parents=True)
    valid = orjson.loads(orjson.dumps(ss.save_simulation_result(**identity(), **outcome()).model_dump()))
    contents = {
        "random": os.urandom(512),
        "empty": b"",
        "truncated": orjson.dumps(valid, option=orjson.OPT_INDENT_2)[:-40],
        "not-utf8": b'{"component_name": "\xff\xfe"}',
        "array": b"[1, 2, 3]",
        "string": b'"a result"',
        "wrong-types": orjson.dumps({**valid, "component_name": 7}),
        "missing-field": orjson.dumps({k: v for k, v in valid.items() if k != "status"}),
        "huge-number": orjson.dumps(valid).replace(b'"execution_time_seconds":1.25', b'"execution_time_seconds":1e999'),
        "huge-int": orjson.dumps(valid).replace(
            b'"execution_time_seconds":1.25', b'"execution_time_seconds":' + b"9" * 5000
        ),
        "deep": b"[" * 100_000 + b"]" * 100_000,
        "deep-result": orjson.dumps(valid).replace(
            b'"result":{', b'"result":{"d":' + b"[" * 100_000 + b"]" * 100_000 + b",", 1
        ),
        "nul": b"\x00" * 64,
    }
    ids = {}
    for n, (what, content) in enumerate(contents.items(), start=1):
        sid = f"{n:016x}"
        (kind / f"{what}_{sid}.json").write_bytes(content)
        ids[sid] = what
    extra = {"directory": len(ids) + 1, "loop": len(ids) + 2, "dangling": len(ids) + 3}
    sid = f"{extra['directory']:016x}"
    (kind / f"directory_{sid}.json").mkdir()
    ids[sid] = "directory"
    sid = f"{extra['loop']:016x}"
    (kind / f"loop_{sid}.json").symlink_to(kind / f"loop_{sid}.json")
    ids[sid] = "loop"
    sid = f"{extra['dangling']:016x}"
    (kind / f"dangling_{sid}.json").symlink_to(kind / "nowhere")
    ids[sid] = "dangling"
    (root / "stray.json").write_bytes(b"{")  # a file in the root is no result
    (root / "notadir").write_bytes(b"x")
    return valid["simulation_id"], ids


@pytest.fixture
def hostile_store(store):
    return hostile_files(store)


def test_listing_skips_every_hostile_file(ss, store, hostile_store, logs):
    good, ids = hostile_store
    assert [r.simulation_id for r in ss.list_simulation_results()] == [good]
    warned = sorted(text for level, text in logs() if level == "WARNING")
    # Broken symlinks (the loop and the dangling one) and the directory fail
    # to read; everything else fails to parse or validate.
    expected = sorted(
        f"Failed to parse simulation file: {p}"
        for p in (store / "sparams").iterdir()
        if p.name.split("_")[-1].removesuffix(".json") in ids
    )
    assert warned == expected
    assert ss.list_simulation_results(simulation_type="sparams", status="error") == []


@pytest.mark.parametrize(
    "what",
    [
        "random",
        "empty",
        "truncated",
        "not-utf8",
        "array",
        "string",
        "wrong-types",
        "missing-field",
        "huge-number",
        "huge-int",
        "deep",
        "deep-result",
        "nul",
        "directory",
    ],
)
def test_loading_a_hostile_file_raises_a_clean_error(ss, hostile_store, what):
    _, ids = hostile_store
    sid = next(k for k, v in ids.items() if v == what)
    with pytest.raises((ValueError, OSError)):
        ss.load_simulation_result(sid)


@pytest.mark.parametrize("what", ["loop", "dangling"])
def test_loading_a_broken_link_is_a_vanished_file(ss, hostile_store, logs, what):
    _, ids = hostile_store
    sid = next(k for k, v in ids.items() if v == what)
    assert ss.load_simulation_result(sid) is None
    assert [level for level, _ in logs()] == ["WARNING"]


def test_deleting_and_clearing_around_hostile_files(ss, store, hostile_store):
    good, ids = hostile_store
    before = sorted(p.name for p in (store / "sparams").iterdir())
    for sid, what in ids.items():
        if what == "directory":
            with pytest.raises(IsADirectoryError):
                ss.delete_simulation_result(sid)
        elif what in ("loop", "dangling"):
            assert ss.delete_simulation_result(sid) is False  # exists() is false for a broken link
    assert ss.clear_simulation_results() == 1
    after = sorted(p.name for p in (store / "sparams").iterdir())
    assert after == [name for name in before if good not in name]
    assert ss.clear_simulation_results() == 0
    deletable = [sid for sid, what in ids.items() if what not in ("directory", "loop", "dangling")]
    assert all(ss.delete_simulation_result(sid) is True for sid in deletable)
    assert sorted(p.name.split("_")[0] for p in (store / "sparams").iterdir()) == ["dangling", "directory", "loop"]


# --- Attribute reads of records: the module may cache how a type answers,
# but must always read what Python's getattr reads ---------------------------


class Record:
    def __init__(self, name):
        self.component_name = name
        self.factory_name = name


class Base:
    pass


class Derived(Base):
    def __init__(self, name):
        self.component_name = name


def matches(record, value):
    return ss._matches_filters(record, value, None, None, None)


def shadow(cls, value):
    cls.component_name = property(lambda self: value)


def scenario_class_gains_property():
    r = Record("dict")
    yield r
    shadow(Record, "prop")
    yield r
    del Record.component_name
    yield r


def scenario_base_gains_property():
    r = Derived("dict")
    yield r
    shadow(Base, "prop")
    yield r
    del Base.component_name
    yield r


def scenario_class_swapped():
    class WithProperty:
        component_name = property(lambda self: "prop")

    r = Record("dict")
    yield r
    r.__class__ = type("Other", (Record,), {"component_name": property(lambda self: "other")})
    yield r
    r.__class__ = Record
    yield r
    yield WithProperty()


def scenario_getattribute_added():
    class Late(Record):
        pass

    r = Late("dict")
    yield r
    Late.__getattribute__ = lambda self, name: (
        "hooked" if name == "component_name" else object.__getattribute__(self, name)
    )
    yield r
    del Late.__getattribute__
    yield r


def scenario_dict_replaced():
    r = Record("dict")
    yield r
    r.__dict__ = {"component_name": "new"}
    yield r
    r.__dict__ = {}
    yield r


@pytest.mark.parametrize(
    "scenario",
    [
        scenario_class_gains_property,
        scenario_base_gains_property,
        scenario_class_swapped,
        scenario_getattribute_added,
        scenario_dict_replaced,
    ],
)
def test_filters_read_attributes_as_getattr_does(scenario):
    saved = {cls: dict(vars(cls)) for cls in (Record, Base)}
    try:
        for record in scenario():
            for value in ("dict", "prop", "other", "hooked", "new"):
                expected = getattr(record, "component_name", None) == value
                if not hasattr(record, "component_name"):
                    with pytest.raises(AttributeError):
                        matches(record, value)
                else:
                    assert matches(record, value) is expected, (scenario.__name__, value)
    finally:
        for cls, attrs in saved.items():
            for name in set(vars(cls)) - set(attrs):
                delattr(cls, name)


def test_filter_reader_survives_reentrant_calls(recwarn):
    shadowed = type("Shadowed", (), {"component_name": property(lambda self: "prop")})()
    shadowed.__dict__["component_name"] = "dict"

    class Key:  # a class-dict key that collides with the attribute name
        def __hash__(self):
            return hash("component_name")

        def __eq__(self, other):
            matches(shadowed, "prop")  # re-enters while the outer call learns Odd
            return False

    odd = type("Odd", (), {Key(): 1})()
    odd.component_name = "x"
    assert matches(shadowed, "prop") is True
    assert matches(odd, "x") is True
    assert matches(shadowed, "prop") is True


REBASING = """
import warnings
warnings.simplefilter("ignore")
from lumora.core import simulation_storage as ss

class Base1:
    pass

class Base2:
    pass

class Key:  # a class-dict key that collides with the attribute name
    def __hash__(self):
        return hash("component_name")

    def __eq__(self, other):
        Odd.__bases__ = (Base2,) if Odd.__bases__ == (Base1,) else (Base1,)
        # New tuples of the MRO's size take the place of the one just freed.
        churn.extend(tuple([n] * 3) for n in range(1000))
        return False

churn = []
Odd = type("Odd", (Base1,), {Key(): 1})
odd = Odd()
odd.component_name = "x"
for _ in range(3):
    assert ss._matches_filters(odd, "x", None, None, None) is True
print("ok")
"""


def test_filter_reader_survives_bases_rebound_mid_lookup():
    """The class's MRO is replaced while the module walks it. In a process of
    its own: reading the freed tuple crashes (always so under the sanitizers)."""
    run = subprocess.run([sys.executable, "-c", REBASING], capture_output=True, text=True, timeout=120)
    assert (run.returncode, run.stdout.strip()) == (0, "ok"), run.stderr[-3000:]


def test_filter_sees_a_dict_rebound_by_an_earlier_comparison():
    """A comparison may run code that changes the record; later filters read
    the record as it is then, as Python's attribute reads would."""
    record = Record("old")

    class Rebinds:
        def __ne__(self, other):
            record.__dict__ = {"component_name": self, "factory_name": "new"}
            return False

    record.component_name = Rebinds()
    assert ss._matches_filters(record, "any", "new", None, None) is True
    assert ss._matches_filters(record, "any", "old", None, None) is False


def test_filter_sees_a_dict_rebound_while_its_type_is_inspected(recwarn):
    """Inspecting the record's class may run code too (the __eq__ of a
    class-dict key): what it does to the record is seen by the read."""

    class Key:
        def __hash__(self):
            return hash("factory_name")

        def __eq__(self, other):
            record.__dict__ = {"component_name": "x", "factory_name": "new"}
            return False

    record = type("Inspected", (), {Key(): 1})()
    record.__dict__.update(component_name="x", factory_name="old")
    assert ss._matches_filters(record, "x", "new", None, None) is True
