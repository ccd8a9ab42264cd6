"""Argument binding of the module functions: counts, keywords, defaults,
conversion, exact-type tests, traceback entries and global-name look-up."""

from __future__ import annotations

import builtins
import collections
import ctypes
import sys
import traceback
import types

import pytest
from conftest import entries as _entries
from conftest import identity, outcome

FILE = "src/lumora/core/simulation_storage"


def entries(exc):
    """The module's traceback entries of exc, with full names."""
    return _entries(exc, short=False)


ID = "0123456789abcdef"
NOTE = (
    "Note that Ostrel is deliberately stricter than PEP-484 and rejects subclasses of builtin types. "
    "If you need to pass subclasses then set the 'annotation_typing' directive to False."
)

# Functions whose parameters are all positional-or-keyword: parameters, definition line.
POSITIONAL = {
    "_compute_simulation_id": (
        (
            "component_name",
            "factory_name",
            "component_settings",
            "model_parameters",
            "hyperparameters",
            "simulation_type",
        ),
        46,
    ),
    "_get_simulation_file_path": (("simulation_type", "component_name", "simulation_id"), 84),
    "_find_simulation_file": (("simulation_id",), 103),
    "load_simulation_result": (("simulation_id",), 208),
    "_matches_filters": (("result", "component_name", "factory_name", "pdk_name", "status"), 266),
    "delete_simulation_result": (("simulation_id",), 338),
}
# Functions whose parameters are all keyword-only: definition line.
KEYWORD_ONLY = {
    "save_simulation_result": 126,
    "find_simulation_result": 230,
    "list_simulation_results": 283,
    "clear_simulation_results": 359,
}
LINES = {name: line for name, (_, line) in POSITIONAL.items()} | KEYWORD_ONLY


def tb_name(name):
    return "lumora.core.simulation_storage." + name


def entry_of(name):
    return [(tb_name(name), LINES[name])]


def valid(name, **overrides):
    """Keyword arguments that pass the binding of the named function."""
    kwargs = {
        "_compute_simulation_id": dict(
            component_name="c",
            factory_name="f",
            component_settings={},
            model_parameters={},
            hyperparameters=None,
            simulation_type="t",
        ),
        "_get_simulation_file_path": dict(simulation_type="t", component_name="c", simulation_id=ID),
        "_find_simulation_file": dict(simulation_id=ID),
        "save_simulation_result": identity() | outcome(),
        "load_simulation_result": dict(simulation_id=ID),
        "find_simulation_result": identity(),
        "_matches_filters": dict(result=None, component_name=None, factory_name=None, pdk_name=None, status=None),
        "list_simulation_results": {},
        "delete_simulation_result": dict(simulation_id=ID),
        "clear_simulation_results": {},
    }[name]
    kwargs.update(overrides)
    return kwargs


def raises(exc_type, message, func, *args, **kwargs):
    with pytest.raises(exc_type) as info:
        func(*args, **kwargs)
    assert str(info.value) == message
    return info.value


def count_message(name, expected, given):
    plural = "" if expected == 1 else "s"
    return f"{name}() takes exactly {expected} positional argument{plural} ({given} given)"


class Text(str):
    pass


class DeeperText(Text):
    pass


class Table(dict):
    pass


class Items(list):
    pass


# --- positional counts -------------------------------------------------------


@pytest.mark.parametrize("name", POSITIONAL)
@pytest.mark.parametrize("too_many", [False, True], ids=["none", "one-too-many"])
def test_positional_count_without_keywords(ss, name, too_many):
    params, _ = POSITIONAL[name]
    given = len(params) + 1 if too_many else 0
    exc = raises(TypeError, count_message(name, len(params), given), getattr(ss, name), *[None] * given)
    assert entries(exc) == entry_of(name)


@pytest.mark.parametrize(
    "name, args, message",
    [
        ("load_simulation_result", (), "load_simulation_result() takes exactly 1 positional argument (0 given)"),
        (
            "_get_simulation_file_path",
            ("t", "c", ID, "x"),
            "_get_simulation_file_path() takes exactly 3 positional arguments (4 given)",
        ),
        (
            "_get_simulation_file_path",
            ("t", "c"),
            "_get_simulation_file_path() takes exactly 3 positional arguments (2 given)",
        ),
        ("_matches_filters", (None,) * 4, "_matches_filters() takes exactly 5 positional arguments (4 given)"),
    ],
)
def test_positional_count_messages(ss, name, args, message):
    exc = raises(TypeError, message, getattr(ss, name), *args)
    assert entries(exc) == entry_of(name)


def test_too_many_positionals_reported_before_keywords(ss):
    exc = raises(
        TypeError, count_message("_find_simulation_file", 1, 2), ss._find_simulation_file, "a", "b", simulation_id="c"
    )
    assert entries(exc) == entry_of("_find_simulation_file")
    raises(TypeError, count_message("load_simulation_result", 1, 2), ss.load_simulation_result, "a", "b", bogus=1)


@pytest.mark.parametrize(
    "name, args, kwargs, given",
    [
        # component_settings, the third parameter, is the first one left unbound.
        ("_compute_simulation_id", ("c", "f"), dict(model_parameters={}, hyperparameters=None, simulation_type="t"), 2),
        ("_compute_simulation_id", ("c",), dict(simulation_type="t", factory_name="f", hyperparameters=None), 2),
        ("_compute_simulation_id", ("c", "f", {}, {}), dict(simulation_type="t"), 4),
        (
            "_compute_simulation_id",
            (),
            dict(
                factory_name="f", component_settings={}, model_parameters={}, hyperparameters=None, simulation_type="t"
            ),
            0,
        ),
        ("_get_simulation_file_path", (), dict(component_name="c", simulation_id=ID), 0),
        ("_matches_filters", (None,), dict(status=None, pdk_name=None), 1),
        ("_matches_filters", (), dict(result=None, component_name=None, factory_name=None, pdk_name=None), 4),
    ],
)
def test_first_unbound_parameter_position(ss, name, args, kwargs, given):
    params, _ = POSITIONAL[name]
    exc = raises(TypeError, count_message(name, len(params), given), getattr(ss, name), *args, **kwargs)
    assert entries(exc) == entry_of(name)


@pytest.mark.parametrize("name", KEYWORD_ONLY)
@pytest.mark.parametrize("given", [1, 2])
def test_keyword_only_functions_refuse_positionals(ss, name, given):
    func = getattr(ss, name)
    message = count_message(name, 0, given)
    exc = raises(TypeError, message, func, *["x"] * given)
    assert entries(exc) == entry_of(name)
    # Refused before any keyword is looked at.
    raises(TypeError, message, func, *["x"] * given, bogus=1, **valid(name))


# --- keywords ----------------------------------------------------------------


@pytest.mark.parametrize(
    "name, args, kwargs, keyword",
    [
        ("load_simulation_result", (ID,), dict(simulation_id=ID), "simulation_id"),
        ("_get_simulation_file_path", ("t", "c"), dict(component_name="c"), "component_name"),
        ("_matches_filters", (None, None), dict(result=None), "result"),
    ],
)
def test_multiple_values(ss, name, args, kwargs, keyword):
    exc = raises(
        TypeError, f"{name}() got multiple values for keyword argument '{keyword}'", getattr(ss, name), *args, **kwargs
    )
    assert entries(exc) == entry_of(name)


@pytest.mark.parametrize(
    "name, args, kwargs, keyword",
    [
        ("delete_simulation_result", (), dict(id=ID), "id"),
        ("_compute_simulation_id", (1,), dict(bogus=2), "bogus"),
        ("_find_simulation_file", (), {"simulatión_id": ID}, "simulatión_id"),
        ("save_simulation_result", (), valid("save_simulation_result", simulation_id=ID), "simulation_id"),
        ("find_simulation_result", (), valid("find_simulation_result", status="success"), "status"),
        ("list_simulation_results", (), dict(bogus=1), "bogus"),
        ("clear_simulation_results", (), dict(status="success"), "status"),
        # An unexpected keyword is reported before missing arguments and type tests.
        ("save_simulation_result", (), dict(component_name=1, bogus=1), "bogus"),
        ("list_simulation_results", (), dict(status=1, bogus=1), "bogus"),
    ],
)
def test_unexpected_keyword(ss, name, args, kwargs, keyword):
    exc = raises(
        TypeError, f"{name}() got an unexpected keyword argument '{keyword}'", getattr(ss, name), *args, **kwargs
    )
    assert entries(exc) == entry_of(name)


def test_first_failing_keyword_ends_binding(ss):
    f = ss._get_simulation_file_path
    raises(
        TypeError,
        "_get_simulation_file_path() got an unexpected keyword argument 'bogus'",
        f,
        "t",
        bogus=1,
        simulation_type="t",
    )
    raises(
        TypeError,
        "_get_simulation_file_path() got multiple values for keyword argument 'simulation_type'",
        f,
        "t",
        simulation_type="t",
        bogus=1,
    )


def test_keyword_names_match_by_content(ss):
    # A name built at run time is not the interned parameter name.
    name = "".join(["simulation", "_id"])
    raises(
        TypeError,
        "Argument 'simulation_id' has incorrect type (expected str, got int)",
        ss.load_simulation_result,
        **{name: 1},
    )


def test_str_subclass_keyword_names_match_by_equality(ss):
    raises(
        TypeError,
        "Argument 'simulation_id' has incorrect type (expected str, got int)",
        ss.load_simulation_result,
        **{Text("simulation_id"): 1},
    )
    raises(
        TypeError,
        "load_simulation_result() got multiple values for keyword argument 'simulation_id'",
        ss.load_simulation_result,
        ID,
        **{Text("simulation_id"): ID},
    )

    class Never(str):
        __hash__ = str.__hash__

        def __eq__(self, other):
            return False

    raises(
        TypeError,
        "load_simulation_result() got an unexpected keyword argument 'simulation_id'",
        ss.load_simulation_result,
        **{Never("simulation_id"): ID},
    )

    class Alias(str):
        __hash__ = str.__hash__

        def __eq__(self, other):
            return other == "status"

    raises(
        TypeError,
        "Argument 'status' has incorrect type (expected str, got int)",
        ss.list_simulation_results,
        **{Alias("state"): 1},
    )


def test_failing_keyword_comparison_propagates(ss):
    problem = LookupError("no comparison")

    class Touchy(str):
        __hash__ = str.__hash__

        def __eq__(self, other):
            raise problem

    with pytest.raises(LookupError) as info:
        ss.delete_simulation_result(**{Touchy("simulation_id"): ID})
    assert info.value is problem
    assert entries(info.value) == entry_of("delete_simulation_result")


@pytest.mark.parametrize("name", ["load_simulation_result", "list_simulation_results"])
def test_non_string_keywords_through_call_slot(ss, name):
    func = getattr(ss, name)
    for call in (lambda: func(**{1: 2}), lambda: type(func).__call__(func, **{1: 2})):
        exc = raises(TypeError, "keywords must be strings", call)
        assert entries(exc) == []


def vectorcall(func, args, kwnames):
    """Calls func through the C vectorcall entry with keyword names Python code cannot write."""
    api = ctypes.pythonapi
    api.PyObject_Vectorcall.restype = ctypes.py_object
    api.PyObject_Vectorcall.argtypes = [
        ctypes.py_object,
        ctypes.POINTER(ctypes.py_object),
        ctypes.c_size_t,
        ctypes.py_object,
    ]
    array = (ctypes.py_object * len(args))(*args)
    return api.PyObject_Vectorcall(func, array, len(args) - len(kwnames), kwnames)


@pytest.mark.parametrize("name, args", [("load_simulation_result", (ID,)), ("list_simulation_results", (None,))])
def test_non_string_keyword_names_in_binding(ss, name, args):
    exc = raises(TypeError, f"{name}() keywords must be strings", vectorcall, getattr(ss, name), args, (1,))
    assert entries(exc) == entry_of(name)


def test_generic_call_slot_forwards_arguments(ss):
    f = ss.load_simulation_result
    raises(
        TypeError,
        "Argument 'simulation_id' has incorrect type (expected str, got int)",
        type(f).__call__,
        f,
        simulation_id=1,
    )
    exc = raises(TypeError, count_message("load_simulation_result", 1, 0), type(f).__call__, f)
    assert entries(exc) == entry_of("load_simulation_result")


# --- missing keyword-only arguments -------------------------------------------


def without(kwargs, *names):
    return {k: v for k, v in kwargs.items() if k not in names}


@pytest.mark.parametrize(
    "name, kwargs, missing",
    [
        ("save_simulation_result", {}, "component_name"),
        ("find_simulation_result", {}, "component_name"),
        ("save_simulation_result", identity(), "result"),
        ("save_simulation_result", without(valid("save_simulation_result"), "wavelengths"), "wavelengths"),
        # The first missing one in declaration order, whatever the keyword order.
        ("save_simulation_result", outcome(factory_name="f"), "component_name"),
        ("find_simulation_result", dict(simulation_type="t", component_name="c"), "factory_name"),
        # Reported before the conversion and the type tests.
        (
            "save_simulation_result",
            without(
                valid("save_simulation_result", component_name=1, wavelengths=None, execution_time_seconds="x"),
                "factory_name",
            ),
            "factory_name",
        ),
    ],
)
def test_missing_keyword_only_argument(ss, name, kwargs, missing):
    exc = raises(TypeError, f"{name}() needs keyword-only argument {missing}", getattr(ss, name), **kwargs)
    assert entries(exc) == entry_of(name)


# --- float conversion ---------------------------------------------------------


class FloatLike:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class IndexLike:
    def __index__(self):
        return 7


class Real(float):
    pass


@pytest.mark.parametrize(
    "value",
    [3, True, -1.0, Real(2.5), IndexLike(), FloatLike(-1.0), float("nan"), 1e308],
    ids=["int", "bool", "minus-one", "float-subclass", "index", "dunder-float-minus-one", "nan", "huge"],
)
def test_conversion_accepts(ss, value):
    # The conversion passes; the type test of component_name then fails.
    exc = raises(
        TypeError,
        "Argument 'component_name' has incorrect type (expected str, got int)",
        ss.save_simulation_result,
        **valid("save_simulation_result", component_name=5, execution_time_seconds=value),
    )
    assert entries(exc) == []


@pytest.mark.parametrize(
    "value, exc_type, message",
    [
        ("1.5", TypeError, "must be real number, not str"),
        (None, TypeError, "must be real number, not NoneType"),
        (10**400, OverflowError, "int too large to convert to float"),
    ],
)
def test_conversion_failure_precedes_type_tests(ss, value, exc_type, message):
    kwargs = valid("save_simulation_result", component_name=5, wavelengths=(), execution_time_seconds=value)
    exc = raises(exc_type, message, ss.save_simulation_result, **kwargs)
    assert entries(exc) == [(tb_name("save_simulation_result"), 136)]


def test_conversion_error_propagates_unchanged(ss):
    problem = ValueError("no number")
    with pytest.raises(ValueError) as info:
        ss.save_simulation_result(**valid("save_simulation_result", execution_time_seconds=FloatLike(problem)))
    assert info.value is problem
    assert entries(problem) == [(tb_name("save_simulation_result"), 136)]


# --- exact-type tests ---------------------------------------------------------

TYPE_CASES = [
    ("_compute_simulation_id", dict(component_name=1), "component_name", "str", "int"),
    ("_compute_simulation_id", dict(component_settings=[]), "component_settings", "dict", "list"),
    ("_compute_simulation_id", dict(simulation_type=None), "simulation_type", "str", "NoneType"),
    ("_get_simulation_file_path", dict(simulation_id=None), "simulation_id", "str", "NoneType"),
    ("_find_simulation_file", dict(simulation_id=b"0"), "simulation_id", "str", "bytes"),
    ("save_simulation_result", dict(component_name=None), "component_name", "str", "NoneType"),
    ("save_simulation_result", dict(model_parameters=()), "model_parameters", "dict", "tuple"),
    ("save_simulation_result", dict(wavelengths=(1.55, 1.56)), "wavelengths", "list", "tuple"),
    ("save_simulation_result", dict(wavelengths=None), "wavelengths", "list", "NoneType"),
    ("save_simulation_result", dict(error_message=None), "error_message", "str", "NoneType"),
    ("save_simulation_result", dict(pdk_version=1), "pdk_version", "str", "int"),
    ("load_simulation_result", dict(simulation_id=1), "simulation_id", "str", "int"),
    ("find_simulation_result", dict(factory_name=None), "factory_name", "str", "NoneType"),
    ("find_simulation_result", dict(component_settings=None), "component_settings", "dict", "NoneType"),
    ("_matches_filters", dict(status=1), "status", "str", "int"),
    ("list_simulation_results", dict(status=1), "status", "str", "int"),
    ("list_simulation_results", dict(simulation_type=1.5), "simulation_type", "str", "float"),
    ("delete_simulation_result", dict(simulation_id=None), "simulation_id", "str", "NoneType"),
    ("clear_simulation_results", dict(pdk_name=0), "pdk_name", "str", "int"),
    # Parameters without a test pass anything; the first tested one after them fails.
    ("_compute_simulation_id", dict(hyperparameters=5, simulation_type=5), "simulation_type", "str", "int"),
    ("_matches_filters", dict(result=5, component_name=1), "component_name", "str", "int"),
    (
        "save_simulation_result",
        dict(hyperparameters=5, simulation_type=5, result=object(), status=5, error_message=1),
        "error_message",
        "str",
        "int",
    ),
    (
        "list_simulation_results",
        dict(component_name=None, factory_name=None, simulation_type=None, pdk_name=None, status=1),
        "status",
        "str",
        "int",
    ),
    # Declaration order decides, not keyword order.
    ("list_simulation_results", dict(status=1, component_name=2), "component_name", "str", "int"),
]

SUBCLASS_CASES = [
    ("_find_simulation_file", dict(simulation_id=Text(ID)), "simulation_id", "str", "Text"),
    ("load_simulation_result", dict(simulation_id=DeeperText(ID)), "simulation_id", "str", "DeeperText"),
    ("_compute_simulation_id", dict(model_parameters=Table()), "model_parameters", "dict", "Table"),
    (
        "save_simulation_result",
        dict(component_settings=collections.OrderedDict()),
        "component_settings",
        "dict",
        "collections.OrderedDict",
    ),
    ("save_simulation_result", dict(wavelengths=Items([1.55])), "wavelengths", "list", "Items"),
    ("save_simulation_result", dict(error_message=Text("")), "error_message", "str", "Text"),
    ("_matches_filters", dict(component_name=Text("c")), "component_name", "str", "Text"),
    ("list_simulation_results", dict(pdk_name=Text("generic")), "pdk_name", "str", "Text"),
]


def type_message(param, expected, got):
    return f"Argument '{param}' has incorrect type (expected {expected}, got {got})"


@pytest.mark.parametrize("name, overrides, param, expected, got", TYPE_CASES)
def test_incorrect_type(ss, name, overrides, param, expected, got):
    exc = raises(TypeError, type_message(param, expected, got), getattr(ss, name), **valid(name, **overrides))
    assert entries(exc) == []
    assert not hasattr(exc, "__notes__")


@pytest.mark.parametrize("name, overrides, param, expected, got", SUBCLASS_CASES)
def test_subclass_rejected_with_note(ss, name, overrides, param, expected, got):
    exc = raises(TypeError, type_message(param, expected, got), getattr(ss, name), **valid(name, **overrides))
    assert exc.__notes__ == [NOTE]
    assert entries(exc) == []


def test_type_tests_apply_to_positional_values(ss):
    raises(TypeError, type_message("component_name", "str", "int"), ss._compute_simulation_id, 1, 2, 3, 4, 5, 6)
    raises(TypeError, type_message("simulation_type", "str", "Text"), ss._get_simulation_file_path, Text("t"), "c", ID)


# --- traceback entries --------------------------------------------------------


def test_traceback_entry_frame(ss):
    with pytest.raises(TypeError) as info:
        ss.load_simulation_result()
    tb = info.value.__traceback__
    while tb.tb_next is not None:
        tb = tb.tb_next
    code = tb.tb_frame.f_code
    assert code.co_filename == FILE
    assert code.co_name == code.co_qualname == "lumora.core.simulation_storage.load_simulation_result"
    assert tb.tb_lineno == 208
    assert tb.tb_frame.f_globals is vars(ss)
    text = "".join(traceback.format_exception(info.value))
    assert (
        '  File "src/lumora/core/simulation_storage", line 208, '
        "in lumora.core.simulation_storage.load_simulation_result\n"
    ) in text


def test_traceback_code_objects_are_reused(ss):
    def code_of(call):
        with pytest.raises(Exception) as info:
            call()
        tb = info.value.__traceback__
        while tb.tb_next is not None:
            tb = tb.tb_next
        return tb.tb_frame.f_code

    first = code_of(ss.load_simulation_result)
    assert code_of(lambda: ss.load_simulation_result(bogus=1)) is first
    assert code_of(ss.delete_simulation_result) is not first
    assert code_of(
        lambda: ss.save_simulation_result(**valid("save_simulation_result", execution_time_seconds=""))
    ) is not code_of(ss.save_simulation_result)


# --- what a failed binding leaves behind ------------------------------------


@pytest.mark.parametrize(
    "call",
    [
        lambda ss, o: ss._matches_filters(o, 1, None, None, None),
        lambda ss, o: ss._matches_filters(o, None, bogus=o),
        lambda ss, o: ss._matches_filters(o, None, None, None),
        lambda ss, o: ss._matches_filters(o, result=o),
        lambda ss, o: ss.save_simulation_result(**valid("save_simulation_result", result=o, wavelengths=None)),
        lambda ss, o: ss.save_simulation_result(
            **valid("save_simulation_result", result=o, execution_time_seconds="x")
        ),
        lambda ss, o: ss.find_simulation_result(hyperparameters=o),
        lambda ss, o: ss.list_simulation_results(status=o),
    ],
    ids=["type", "keyword", "count", "multiple", "save-type", "save-conversion", "missing", "list-type"],
)
def test_failed_binding_releases_values(ss, call):
    o = object()
    before = sys.getrefcount(o)
    for _ in range(10):
        with pytest.raises((TypeError, ValueError)):
            call(ss, o)
    assert sys.getrefcount(o) == before


# --- defaults -------------------------------------------------------------------


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_defaults_come_from_binding_not_kwdefaults(ss, store, monkeypatch):
    monkeypatch.setattr(
        ss.save_simulation_result, "__kwdefaults__", {"status": 5, "error_message": 5, "pdk_version": 5}
    )
    monkeypatch.setattr(
        ss.list_simulation_results,
        "__kwdefaults__",
        dict.fromkeys(["component_name", "factory_name", "simulation_type", "pdk_name", "status"], 5),
    )
    record = ss.save_simulation_result(**identity(), **outcome())
    assert (record.status, record.error_message, record.pdk_version) == ("success", "", "")
    assert ss.list_simulation_results() == [record]


def test_filters_default_to_none(ss, store):
    assert ss.list_simulation_results() == []
    assert ss.clear_simulation_results() == 0


def test_successful_call_releases_values(ss):
    o = object()
    before = sys.getrefcount(o)
    for _ in range(10):
        assert ss._matches_filters(o, None, None, None, None) is True
        assert ss._matches_filters(result=o, status=None, pdk_name=None, factory_name=None, component_name=None) is True
    assert sys.getrefcount(o) == before


# --- global-name look-up --------------------------------------------------------


def result_file(root, type_name="t1", component="c1", sid=ID):
    path = root / type_name / f"{component}_{sid}.json"
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text("{}")
    return path


def test_rebound_global_is_used_by_next_call(ss, tmp_path, monkeypatch):
    first = result_file(tmp_path / "a")
    second = result_file(tmp_path / "b", component="c2")
    monkeypatch.setattr(ss, "get_simulations_dir", lambda: tmp_path / "a")
    assert ss._find_simulation_file(ID) == first
    monkeypatch.setattr(ss, "get_simulations_dir", lambda: tmp_path / "b")
    assert ss._find_simulation_file(ID) == second


def test_module_functions_are_looked_up_at_call_time(ss, monkeypatch):
    calls = []

    def finder(*args, **kwargs):
        calls.append((args, kwargs))

    monkeypatch.setattr(ss, "_find_simulation_file", finder)
    assert ss.load_simulation_result(ID) is None
    assert ss.delete_simulation_result(ID) is False
    assert calls == [((ID,), {}), ((ID,), {})]


def test_deleted_global_raises_name_error(ss, monkeypatch):
    monkeypatch.delattr(ss, "get_simulations_dir")
    exc = raises(NameError, "name 'get_simulations_dir' is not defined", ss._find_simulation_file, ID)
    assert entries(exc) == [(tb_name("_find_simulation_file"), 114)]
    exc = raises(NameError, "name 'get_simulations_dir' is not defined", ss.load_simulation_result, ID)
    assert entries(exc) == [(tb_name("load_simulation_result"), 217), (tb_name("_find_simulation_file"), 114)]


def test_builtins_are_the_fallback(ss, tmp_path, monkeypatch):
    path = result_file(tmp_path)
    monkeypatch.delattr(ss, "get_simulations_dir")
    monkeypatch.setattr(builtins, "get_simulations_dir", lambda: tmp_path, raising=False)
    assert ss._find_simulation_file(ID) == path


def test_builtins_lookup_errors_propagate(ss, monkeypatch):
    problem = LookupError("builtins unavailable")

    def module_getattr(name):
        if name == "get_simulations_dir":
            raise problem
        raise AttributeError(name)

    monkeypatch.delattr(ss, "get_simulations_dir")
    monkeypatch.setattr(builtins, "__getattr__", module_getattr, raising=False)
    with pytest.raises(LookupError) as info:
        ss._find_simulation_file(ID)
    assert info.value is problem
    assert entries(problem) == [(tb_name("_find_simulation_file"), 114)]


def test_inner_binding_error_gets_only_the_callers_entry(ss):
    with pytest.raises(TypeError) as info:
        ss.find_simulation_result(**identity(simulation_type=5))
    assert str(info.value) == type_message("simulation_type", "str", "int")
    assert entries(info.value) == [(tb_name("find_simulation_result"), 255)]


# --- the sort key -----------------------------------------------------------------


class Unsortable:
    """A record whose simulation_date cannot be read."""

    @property
    def simulation_date(self):
        raise LookupError("no date")


def test_sort_key_errors_carry_two_entries(ss, tmp_path, monkeypatch):
    result_file(tmp_path)
    monkeypatch.setattr(ss, "get_simulations_dir", lambda: tmp_path)
    monkeypatch.setattr(ss, "StoredSimulationResult", types.SimpleNamespace(model_validate=lambda data: Unsortable()))
    with pytest.raises(LookupError) as info:
        ss.list_simulation_results()
    assert entries(info.value) == [
        (tb_name("list_simulation_results"), 334),
        (tb_name("list_simulation_results.lambda"), 334),
    ]
