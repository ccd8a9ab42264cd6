"""Fault injection: every collaborator of every function, broken one at a time.

Each row of FAULTS names a call, the collaborator it breaks and how, and the
traceback entries of the module that the exception must carry (outermost
first). A broken collaborator raises an exception object of its own, which
must reach the caller unchanged; a collaborator that answers with a wrong type
must give a clean Python exception. Whatever happens, the store is left
without temporary files and with only whole, valid result files.
"""

from __future__ import annotations

import pathlib
import sys
import types
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

import orjson
import pytest
from conftest import entries, identity, outcome

from lumora.models import StoredSimulationResult

PathType = type(pathlib.Path())
NOTHING = object()


class Boom(Exception):
    """The exception a broken collaborator raises; one instance per test."""


def snapshot(root):
    """Every file below root (hidden ones included) with its content."""
    if not root.exists():
        return {}
    return {p.relative_to(root): p.read_bytes() for p in root.rglob("*") if p.is_file()}


def assert_store_sound(root):
    """No temporary file is left and every result file is whole and valid."""
    for name, content in snapshot(root).items():
        assert not name.name.endswith(".tmp"), f"temporary file left behind: {name}"
        if name.suffix == ".json":
            StoredSimulationResult.model_validate(orjson.loads(content))


@dataclass
class Ctx:
    ss: Any
    store: pathlib.Path
    monkeypatch: pytest.MonkeyPatch
    ids: dict[str, str]
    boom: Boom = field(default_factory=lambda: Boom("injected"))
    faulty: type | None = None

    def raiser(self, *args, **kwargs):
        raise self.boom

    def patch(self, name, value):
        self.monkeypatch.setattr(self.ss, name, value)


# --- Ways to break a collaborator ------------------------------------------


def missing(name):
    """The module global is gone: its next use raises NameError."""
    return lambda c: c.monkeypatch.delattr(c.ss, name)


def raising(name):
    """The module global is a callable that raises."""
    return lambda c: c.patch(name, c.raiser)


def returning(name, value):
    """The module global is a callable that returns value."""
    return lambda c: c.patch(name, lambda *args, **kwargs: value)


class Proxy:
    """Stands in for a module object; one attribute is broken."""

    def __init__(self, target, broken, value):
        self._target, self._broken, self._value = target, broken, value

    def __getattr__(self, name):
        if name != self._broken:
            return getattr(self._target, name)
        if callable(self._value) and not isinstance(self._value, type):
            return self._value()
        return self._value


def attribute(name, attr, how):
    """Breaks one attribute of the module global `name`.

    how = "read": reading the attribute raises; "call": calling it raises;
    anything else: the attribute's value is replaced by it.
    """

    def apply(c):
        target = getattr(c.ss, name)
        if how == "read":
            value = c.raiser
        elif how == "call":
            value = lambda: c.raiser  # noqa: E731
        else:
            value = lambda: how  # noqa: E731
        c.patch(name, Proxy(target, attr, value))

    return apply


def _faulty_class(c):
    """The path class of the store root for this test, made on first use."""
    if c.faulty is None:
        c.faulty = type("FaultyPath", (PathType,), {})
        root = c.faulty(c.store)
        c.patch("get_simulations_dir", lambda: root)
    return c.faulty


def path_method(method, when=None, value=NOTHING, partial=False):
    """Paths of the store get a `method` that raises (or returns value).

    when(path, *args) restricts the fault to some paths; paths derived from
    the root keep its class, so the fault reaches type directories, result
    files and temporary files. partial: half of the bytes are written first.
    """

    def apply(c):
        real = getattr(PathType, method)

        def broken(self, *args, **kwargs):
            if when is not None and not when(self, *args):
                return real(self, *args, **kwargs)
            if partial:
                real(self, args[0][: len(args[0]) // 2])
            if value is NOTHING:
                raise c.boom
            return value(c) if callable(value) else value

        setattr(_faulty_class(c), method, broken)

    return apply


def path_property(prop, value, when=None):
    """Paths of the store report value(c) for a property (those for which
    when(path) holds, when given)."""

    def apply(c):
        real = getattr(PathType, prop).fget
        setattr(_faulty_class(c), prop, property(lambda self: value(c) if when is None or when(self) else real(self)))

    return apply


def written_path_property(prop, value):
    """The path that save writes to reports value(c) for a property; the
    paths that _get_simulation_file_path checks on the way are sound."""

    def apply(c):
        real = c.ss._get_simulation_file_path

        def path_of(*args):
            path = real(*args)
            return type("Broken", (type(path),), {prop: property(lambda self: value(c))})(path)

        c.patch("_get_simulation_file_path", path_of)

    return apply


def logger(level):
    """log() returns a logger whose `level` method raises."""

    def apply(c):
        c.patch("log", lambda: types.SimpleNamespace(**{level: c.raiser}))

    return apply


def record_method(method, value=NOTHING):
    """Records are built by a model whose instances' `method` raises (or returns value)."""

    def apply(c):
        def broken(self, *args, **kwargs):
            if value is NOTHING:
                raise c.boom
            return value

        c.patch("StoredSimulationResult", type("Broken", (StoredSimulationResult,), {method: broken}))

    return apply


def validated_as(make):
    """The model rebuilds records from documents as make(c, data)."""
    return lambda c: c.patch("StoredSimulationResult", types.SimpleNamespace(model_validate=lambda data: make(c, data)))


def digest_giving(make):
    """hashlib.sha256(...).digest() returns make(c)."""

    def apply(c):
        hasher = types.SimpleNamespace(digest=lambda: make(c))
        c.patch("hashlib", types.SimpleNamespace(sha256=lambda data: hasher))

    return apply


def sliceable(hex_method):
    """A digest whose [:8] has the given hex method."""
    return type("Digest", (), {"__getitem__": lambda self, key: types.SimpleNamespace(hex=hex_method)})()


class Raising:
    """An object whose truth value, text, ordering and inequality raise the test's exception."""

    def __init__(self, c):
        self.c = c

    def _raise(self, *args):
        raise self.c.boom

    __bool__ = __str__ = __format__ = __lt__ = __gt__ = __ne__ = _raise


class EqRaising(Raising):
    __eq__ = Raising._raise
    __hash__ = None


class NeGivesRaising:
    """Compares unequal with a result whose truth value raises."""

    def __init__(self, c):
        self.c = c

    def __ne__(self, other):
        return Raising(self.c)


class EncodeRaising(str):
    """Identity text whose encode() raises the test's exception."""

    def __new__(cls, c):
        self = super().__new__(cls, "{}")
        self.c = c
        return self

    def encode(self, *args):
        raise self.c.boom


class NotText:
    def __str__(self):
        return 5


class Midway:
    """A true, iterable listing that fails after its first record."""

    def __init__(self, c):
        self.c = c

    def __iter__(self):
        yield types.SimpleNamespace(simulation_id="0" * 16)
        raise self.c.boom


def both(*breaks):
    def apply(c):
        for b in breaks:
            b(c)

    return apply


def on_json(path, *args):
    return path.suffix == ".json"


def not_root(path, *args):
    return path.suffix != "" or path.name != "store"


def only_root(path, *args):
    return not not_root(path)


def identity_part(path, part):
    return part == "sparams"


def name_part(path, part):
    return part.endswith(".json")


def nothing(c):
    pass


# --- The calls --------------------------------------------------------------

ALPHA = dict(component_name="alpha")


def compute(c):
    return c.ss._compute_simulation_id(**identity(**ALPHA))


def compute_dumping(make):
    """_compute_simulation_id with hyperparameters whose model_dump returns make(c)."""

    def call(c):
        hyperparameters = types.SimpleNamespace(model_dump=lambda: make(c))
        return c.ss._compute_simulation_id(**identity(**ALPHA, hyperparameters=hyperparameters))

    return call


def file_path(c):
    return c.ss._get_simulation_file_path("sparams", "alpha", c.ids["alpha"])


def find_file(c):
    return c.ss._find_simulation_file(c.ids["alpha"])


def save(c):
    return c.ss.save_simulation_result(**identity(**ALPHA), **outcome(result={"s21": [9.0]}))


def load(c):
    return c.ss.load_simulation_result(c.ids["alpha"])


def find(c):
    return c.ss.find_simulation_result(**identity(**ALPHA))


def matches(attribute_name, make):
    """_matches_filters with every filter set, on a record whose attribute is make(c)."""

    def call(c):
        record = types.SimpleNamespace(component_name="alpha", factory_name="f", pdk_name="p", status="success")
        setattr(record, attribute_name, make(c))
        return c.ss._matches_filters(record, "alpha", "f", "p", "success")

    return call


def matches_unreadable(c):
    record = type("Record", (), {"factory_name": property(lambda self: c.raiser())})()
    return c.ss._matches_filters(record, None, "f", None, None)


def listing(c):
    return c.ss.list_simulation_results()


def listing_type(c):
    return c.ss.list_simulation_results(simulation_type="sparams")


def delete(c):
    return c.ss.delete_simulation_result(c.ids["alpha"])


def clear(c):
    return c.ss.clear_simulation_results()


def clear_type(c):
    return c.ss.clear_simulation_results(simulation_type="sparams")


CID, GP, FF = "_compute_simulation_id", "_get_simulation_file_path", "_find_simulation_file"
S, L, FR = "save_simulation_result", "load_simulation_result", "find_simulation_result"
MF, LS, KEY = "_matches_filters", "list_simulation_results", "list_simulation_results.lambda"
D, C = "delete_simulation_result", "clear_simulation_results"


@dataclass
class Fault:
    call: Callable
    breaks: Callable
    lines: list
    error: type | None  # None: the injected exception object itself
    keeps: bool  # the store's files are left exactly as they were


def F(call, breaks, *lines, error=None, keeps=True):
    return Fault(call, breaks, list(lines), error, keeps)


DELETED = returning("delete_simulation_result", True)


def gen_raising(c):
    return (c.raiser() for _ in [1])


FAULTS = {
    # _compute_simulation_id
    "id/model_dump": F(compute_dumping(lambda c: c.raiser()), nothing, (CID, 75)),
    "id/json-missing": F(compute, missing("json"), (CID, 79), error=NameError),
    "id/json.dumps-read": F(compute, attribute("json", "dumps", "read"), (CID, 79)),
    "id/json.dumps-call": F(compute, attribute("json", "dumps", "call"), (CID, 79)),
    "id/hashlib-missing": F(compute, missing("hashlib"), (CID, 80), error=NameError),
    "id/hashlib.sha256-read": F(compute, attribute("hashlib", "sha256", "read"), (CID, 80)),
    "id/hashlib.sha256-call": F(compute, attribute("hashlib", "sha256", "call"), (CID, 80)),
    "id/digest": F(compute, digest_giving(lambda c: c.raiser()), (CID, 80)),
    "id/hex": F(compute, digest_giving(lambda c: sliceable(c.raiser)), (CID, 81)),
    "id/model_dump-gives-set": F(compute_dumping(lambda c: {1, 2}), nothing, (CID, 79), error=TypeError),
    "id/encode": F(compute, lambda c: attribute("json", "dumps", lambda *a, **k: EncodeRaising(c))(c), (CID, 80)),
    "id/json.dumps-gives-bytes": F(
        compute, attribute("json", "dumps", lambda *a, **k: b"{}"), (CID, 80), error=AttributeError
    ),
    "id/digest-gives-None": F(compute, digest_giving(lambda c: None), (CID, 81), error=TypeError),
    "id/digest-gives-list": F(compute, digest_giving(lambda c: [0] * 32), (CID, 81), error=AttributeError),
    "id/hex-gives-int": F(compute, digest_giving(lambda c: sliceable(lambda: 5)), (CID, 81), error=TypeError),
    "id/hex-gives-bytes": F(compute, digest_giving(lambda c: sliceable(lambda: b"0")), (CID, 81), error=TypeError),
    # _get_simulation_file_path
    "path/settings-missing": F(file_path, missing("get_simulations_dir"), (GP, 97), error=NameError),
    "path/settings": F(file_path, raising("get_simulations_dir"), (GP, 97)),
    "path/settings-gives-None": F(file_path, returning("get_simulations_dir", None), (GP, 98), error=TypeError),
    "path/settings-gives-str": F(file_path, returning("get_simulations_dir", "root"), (GP, 98), error=TypeError),
    "path/join-type": F(file_path, path_method("__truediv__", identity_part), (GP, 98)),
    "path/mkdir": F(file_path, path_method("mkdir"), (GP, 99)),
    "path/join-name": F(file_path, path_method("__truediv__", name_part), (GP, 100)),
    "path/type-parent": F(file_path, path_property("parent", lambda c: c.raiser()), (GP, 98)),
    "path/type-parent-eq": F(file_path, path_property("parent", EqRaising), (GP, 98)),
    "path/type-name": F(file_path, path_property("name", lambda c: c.raiser()), (GP, 98)),
    "path/type-name-eq": F(file_path, path_property("name", EqRaising), (GP, 98)),
    "path/file-name": F(
        file_path, path_property("name", lambda c: c.raiser(), when=lambda p: str(p).endswith(".json")), (GP, 100)
    ),
    # _find_simulation_file
    "find/settings-missing": F(find_file, missing("get_simulations_dir"), (FF, 114), error=NameError),
    "find/settings": F(find_file, raising("get_simulations_dir"), (FF, 114)),
    "find/settings-gives-None": F(find_file, returning("get_simulations_dir", None), (FF, 115), error=AttributeError),
    "find/exists": F(find_file, path_method("exists"), (FF, 115)),
    "find/exists-truth": F(find_file, path_method("exists", value=Raising), (FF, 115)),
    "find/iterdir": F(find_file, path_method("iterdir"), (FF, 118)),
    "find/iterdir-gives-None": F(find_file, path_method("iterdir", value=None), (FF, 118), error=TypeError),
    "find/iterdir-midway": F(find_file, path_method("iterdir", value=gen_raising), (FF, 118)),
    "find/is_dir": F(find_file, path_method("is_dir"), (FF, 119)),
    "find/is_dir-truth": F(find_file, path_method("is_dir", value=Raising), (FF, 119)),
    "find/glob": F(find_file, path_method("glob"), (FF, 120)),
    "find/glob-gives-None": F(find_file, path_method("glob", value=None), (FF, 120), error=TypeError),
    "find/glob-midway": F(find_file, path_method("glob", value=gen_raising), (FF, 120)),
    # save_simulation_result
    "save/id-missing": F(save, missing("_compute_simulation_id"), (S, 161), error=NameError),
    "save/id": F(save, raising("_compute_simulation_id"), (S, 161)),
    "save/id-inner": F(save, attribute("json", "dumps", "call"), (S, 161), (CID, 79)),
    "save/id-gives-int": F(save, returning("_compute_simulation_id", 5), (S, 171), error=TypeError),
    "save/path-missing": F(save, missing("_get_simulation_file_path"), (S, 171), error=NameError),
    "save/path": F(save, raising("_get_simulation_file_path"), (S, 171)),
    "save/path-inner": F(save, path_method("mkdir"), (S, 171), (GP, 99)),
    "save/path-gives-None": F(save, returning("_get_simulation_file_path", None), (S, 196), error=AttributeError),
    "save/path-gives-str": F(save, returning("_get_simulation_file_path", "x.json"), (S, 196), error=AttributeError),
    "save/model-missing": F(save, missing("StoredSimulationResult"), (S, 176), error=NameError),
    "save/model": F(save, raising("StoredSimulationResult"), (S, 176)),
    "save/pdk-missing": F(save, missing("get_pdk_name"), (S, 184), error=NameError),
    "save/pdk": F(save, raising("get_pdk_name"), (S, 184)),
    "save/pdk-gives-int": F(save, returning("get_pdk_name", 5), (S, 176), error=ValueError),
    "save/datetime-missing": F(save, missing("datetime"), (S, 186), error=NameError),
    "save/datetime.now-read": F(save, attribute("datetime", "now", "read"), (S, 186)),
    "save/datetime.now-call": F(save, attribute("datetime", "now", "call"), (S, 186)),
    "save/UTC-missing": F(save, missing("UTC"), (S, 186), error=NameError),
    "save/isoformat": F(
        save, lambda c: attribute("datetime", "now", lambda tz: types.SimpleNamespace(isoformat=c.raiser))(c), (S, 186)
    ),
    "save/isoformat-gives-int": F(
        save,
        attribute("datetime", "now", lambda tz: types.SimpleNamespace(isoformat=lambda: 7)),
        (S, 176),
        error=ValueError,
    ),
    "save/version-missing": F(save, missing("__version__"), (S, 187), error=NameError),
    "save/version-str": F(save, lambda c: c.patch("__version__", Raising(c)), (S, 187)),
    "save/version-str-gives-int": F(save, lambda c: c.patch("__version__", NotText()), (S, 187), error=TypeError),
    "save/orjson-missing": F(save, missing("orjson"), (S, 197), error=NameError),
    "save/orjson.dumps-read": F(save, attribute("orjson", "dumps", "read"), (S, 197)),
    "save/model_dump": F(save, record_method("model_dump"), (S, 198)),
    "save/orjson.OPT_INDENT_2-read": F(save, attribute("orjson", "OPT_INDENT_2", "read"), (S, 199)),
    "save/orjson.dumps-call": F(save, attribute("orjson", "dumps", "call"), (S, 197)),
    "save/model_dump-gives-set": F(save, record_method("model_dump", {1, 2}), (S, 197), error=TypeError),
    "save/dumps-gives-str": F(save, attribute("orjson", "dumps", lambda *a, **k: "{}"), (S, 196), error=TypeError),
    "save/dumps-gives-None": F(save, attribute("orjson", "dumps", lambda *a, **k: None), (S, 196), error=TypeError),
    "save/name-gives-bytes": F(save, written_path_property("name", lambda c: b"x.json"), (S, 196), error=TypeError),
    "save/name": F(save, written_path_property("name", lambda c: c.raiser()), (S, 196)),
    "save/with_name": F(save, path_method("with_name"), (S, 196)),
    "save/write_bytes": F(save, path_method("write_bytes", partial=True), (S, 196)),
    "save/replace": F(save, path_method("replace"), (S, 196)),
    "save/log-missing": F(save, missing("log"), (S, 203), error=NameError, keeps=False),
    "save/log": F(save, raising("log"), (S, 203), keeps=False),
    "save/log-gives-None": F(save, returning("log", None), (S, 203), error=AttributeError, keeps=False),
    "save/log.debug": F(save, logger("debug"), (S, 203), keeps=False),
    "save/log-text": F(save, path_method("__format__"), (S, 203), keeps=False),
    # load_simulation_result
    "load/find-missing": F(load, missing("_find_simulation_file"), (L, 217), error=NameError),
    "load/find": F(load, raising("_find_simulation_file"), (L, 217)),
    "load/find-inner": F(load, raising("get_simulations_dir"), (L, 217), (FF, 114)),
    "load/find-gives-str": F(load, returning("_find_simulation_file", "x.json"), (L, 221), error=AttributeError),
    "load/exists": F(load, path_method("exists", on_json), (L, 221)),
    "load/exists-truth": F(load, path_method("exists", on_json, value=Raising), (L, 221)),
    "load/gone-log-missing": F(
        load, both(path_method("exists", on_json, value=False), missing("log")), (L, 222), error=NameError
    ),
    "load/gone-log": F(load, both(path_method("exists", on_json, value=False), raising("log")), (L, 222)),
    "load/gone-log.warning": F(load, both(path_method("exists", on_json, value=False), logger("warning")), (L, 222)),
    "load/gone-log-text": F(
        load, both(path_method("exists", on_json, value=False), path_method("__format__")), (L, 222)
    ),
    "load/orjson-missing": F(load, missing("orjson"), (L, 226), error=NameError),
    "load/orjson.loads-read": F(load, attribute("orjson", "loads", "read"), (L, 226)),
    "load/read_bytes": F(load, path_method("read_bytes"), (L, 226)),
    "load/read_bytes-gives-int": F(load, path_method("read_bytes", value=5), (L, 226), error=ValueError),
    "load/orjson.loads-call": F(load, attribute("orjson", "loads", "call"), (L, 226)),
    "load/model-missing": F(load, missing("StoredSimulationResult"), (L, 227), error=NameError),
    "load/model_validate": F(load, validated_as(lambda c, data: c.raiser()), (L, 227)),
    "load/loads-gives-list": F(load, attribute("orjson", "loads", lambda data: []), (L, 227), error=ValueError),
    # find_simulation_result
    "findr/id-missing": F(find, missing("_compute_simulation_id"), (FR, 255), error=NameError),
    "findr/id": F(find, raising("_compute_simulation_id"), (FR, 255)),
    "findr/id-inner": F(find, missing("hashlib"), (FR, 255), (CID, 80), error=NameError),
    "findr/id-gives-int": F(find, returning("_compute_simulation_id", 5), (FR, 263), error=TypeError),
    "findr/load-missing": F(find, missing("load_simulation_result"), (FR, 263), error=NameError),
    "findr/load": F(find, raising("load_simulation_result"), (FR, 263)),
    "findr/load-inner": F(find, path_method("read_bytes"), (FR, 263), (L, 226)),
    "findr/load-inner-inner": F(find, raising("get_simulations_dir"), (FR, 263), (L, 217), (FF, 114)),
    # _matches_filters
    **{
        f"match/{name}-{how}": F(matches(name, make), nothing, (MF, line))
        for name, line in [("component_name", 274), ("factory_name", 276), ("pdk_name", 278), ("status", 280)]
        for how, make in [("compare", Raising), ("truth", NeGivesRaising)]
    },
    "match/attribute": F(matches_unreadable, nothing, (MF, 276)),
    # list_simulation_results
    "list/settings-missing": F(listing, missing("get_simulations_dir"), (LS, 305), error=NameError),
    "list/settings": F(listing, raising("get_simulations_dir"), (LS, 305)),
    "list/settings-gives-None": F(listing, returning("get_simulations_dir", None), (LS, 306), error=AttributeError),
    "list/exists-root": F(listing, path_method("exists", only_root), (LS, 306)),
    "list/exists-root-truth": F(listing, path_method("exists", only_root, value=Raising), (LS, 306)),
    "list/join": F(listing_type, path_method("__truediv__"), (LS, 313)),
    "list/iterdir": F(listing, path_method("iterdir"), (LS, 315)),
    "list/iterdir-gives-None": F(listing, path_method("iterdir", value=None), (LS, 315), error=TypeError),
    "list/iterdir-midway": F(listing, path_method("iterdir", value=gen_raising), (LS, 315)),
    "list/is_dir": F(listing, path_method("is_dir"), (LS, 315)),
    "list/is_dir-truth": F(listing, path_method("is_dir", value=Raising), (LS, 315)),
    "list/exists-type": F(listing, path_method("exists", not_root), (LS, 318)),
    "list/exists-type-given": F(listing_type, path_method("exists", not_root), (LS, 318)),
    "list/glob": F(listing, path_method("glob"), (LS, 320)),
    "list/glob-gives-None": F(listing, path_method("glob", value=None), (LS, 320), error=TypeError),
    "list/glob-midway": F(listing, path_method("glob", value=gen_raising), (LS, 320)),
    "list/handler-log-missing": F(listing, both(path_method("read_bytes"), missing("log")), (LS, 330), error=NameError),
    "list/handler-log": F(listing, both(path_method("read_bytes", value=b"{"), raising("log")), (LS, 330)),
    "list/handler-log.warning": F(listing, both(missing("orjson"), logger("warning")), (LS, 330)),
    "list/handler-text": F(listing, both(path_method("read_bytes", value=b"["), path_method("__format__")), (LS, 330)),
    "list/sort-key": F(
        listing,
        validated_as(lambda c, data: types.SimpleNamespace(status="success")),
        (LS, 334),
        (KEY, 334),
        error=AttributeError,
    ),
    "list/sort-mixed": F(
        listing,
        validated_as(
            lambda c, data: types.SimpleNamespace(simulation_date=0 if data["component_name"] == "beta" else "")
        ),
        (LS, 334),
        error=TypeError,
    ),
    "list/sort-compare": F(
        listing, validated_as(lambda c, data: types.SimpleNamespace(simulation_date=Raising(c))), (LS, 334)
    ),
    # delete_simulation_result
    "delete/find-missing": F(delete, missing("_find_simulation_file"), (D, 347), error=NameError),
    "delete/find": F(delete, raising("_find_simulation_file"), (D, 347)),
    "delete/find-inner": F(delete, path_method("is_dir"), (D, 347), (FF, 119)),
    "delete/find-gives-str": F(delete, returning("_find_simulation_file", "x.json"), (D, 351), error=AttributeError),
    "delete/exists": F(delete, path_method("exists", on_json), (D, 351)),
    "delete/exists-truth": F(delete, path_method("exists", on_json, value=Raising), (D, 351)),
    "delete/unlink": F(delete, path_method("unlink"), (D, 352)),
    "delete/log-missing": F(delete, missing("log"), (D, 353), error=NameError, keeps=False),
    "delete/log": F(delete, raising("log"), (D, 353), keeps=False),
    "delete/log.debug": F(delete, logger("debug"), (D, 353), keeps=False),
    "delete/log-text": F(delete, path_method("__format__"), (D, 353), keeps=False),
    # clear_simulation_results
    "clear/list-missing": F(clear, missing("list_simulation_results"), (C, 378), error=NameError),
    "clear/list": F(clear, raising("list_simulation_results"), (C, 378)),
    "clear/list-inner": F(clear, raising("get_simulations_dir"), (C, 378), (LS, 305)),
    "clear/list-truth": F(clear, lambda c: returning("list_simulation_results", Raising(c))(c), (C, 385)),
    "clear/list-gives-int": F(clear, returning("list_simulation_results", 5), (C, 389), error=TypeError),
    "clear/list-midway": F(clear, lambda c: returning("list_simulation_results", Midway(c))(c), (C, 389)),
    "clear/delete-missing": F(clear, missing("delete_simulation_result"), (C, 390), error=NameError),
    "clear/delete": F(clear, raising("delete_simulation_result"), (C, 390)),
    "clear/delete-inner": F(clear, path_method("unlink"), (C, 390), (D, 352)),
    "clear/delete-inner-inner": F(
        clear, path_method("glob", lambda p, pattern: pattern != "*.json"), (C, 390), (D, 347), (FF, 120)
    ),
    "clear/delete-truth": F(clear, lambda c: returning("delete_simulation_result", Raising(c))(c), (C, 390)),
    "clear/record-without-id": F(
        clear, returning("list_simulation_results", [object()]), (C, 390), error=AttributeError
    ),
    "clear/record-int-id": F(
        clear, returning("list_simulation_results", [types.SimpleNamespace(simulation_id=5)]), (C, 390), error=TypeError
    ),
    "clear-type/settings": F(clear_type, raising("get_simulations_dir"), (C, 377)),
    "clear-type/settings-gives-None": F(clear_type, returning("get_simulations_dir", None), (C, 377), error=TypeError),
    "clear-type/list": F(clear_type, raising("list_simulation_results"), (C, 378)),
    "clear-type/glob": F(clear_type, path_method("glob", lambda p, pattern: pattern != "*.json"), (C, 390)),
    "clear-type/exists": F(clear_type, path_method("exists", on_json), (C, 390)),
    "clear-type/unlink": F(clear_type, path_method("unlink"), (C, 390)),
    "clear-type/log": F(clear_type, logger("debug"), (C, 390), keeps=False),
    "clear-type/record-without-id": F(
        clear_type, returning("list_simulation_results", [object()]), (C, 390), error=AttributeError
    ),
    "clear-type/record-int-id": F(
        clear_type,
        returning("list_simulation_results", [types.SimpleNamespace(simulation_id=5)]),
        (C, 390),
        error=TypeError,
    ),
    # (deleting through a stand-in, whose own messages would come first)
    "clear/log-missing": F(clear, both(DELETED, missing("log")), (C, 393), error=NameError),
    "clear/log": F(clear, both(DELETED, raising("log")), (C, 393)),
    "clear/log.debug": F(clear, both(DELETED, logger("debug")), (C, 393)),
}


@pytest.fixture
def seeded(ss, store):
    """Three stored results (two types); their IDs by component name."""
    ids = {}
    for name, kind in [("alpha", "sparams"), ("beta", "sparams"), ("gamma", "modes")]:
        ids[name] = ss.save_simulation_result(
            **identity(component_name=name, simulation_type=kind), **outcome()
        ).simulation_id
    return ids


@pytest.mark.parametrize("fault", FAULTS.values(), ids=FAULTS.keys())
def test_fault_reaches_caller_with_its_entries(ss, store, seeded, monkeypatch, fault):
    c = Ctx(ss, store, monkeypatch, seeded)
    before = snapshot(store)
    fault.breaks(c)
    with pytest.raises(fault.error or Boom) as info:
        fault.call(c)
    if fault.error is None:
        assert info.value is c.boom
    assert entries(info.value) == fault.lines
    assert sys.exception() is None
    monkeypatch.undo()
    assert_store_sound(store)
    if fault.keeps:
        assert snapshot(store) == before


class Recorder:
    """A logger standing in for log(): keeps (level, message, handled exception)."""

    def __init__(self):
        self.calls = []

    def warning(self, message):
        caught = sys.exception()
        self.calls.append(("warning", message, caught, entries(caught)))
        # A broken collaborator raises the same object for every file: start
        # its traceback afresh so each failure shows only its own entries.
        caught.__traceback__ = None


def on_component(name):
    return lambda path, *args: path.name.startswith(name + "_")


def recorded_in(name):
    """The model rebuilds records, failing for one component."""

    def make(c, data):
        if data["component_name"] == name:
            c.raiser()
        return StoredSimulationResult.model_validate(data)

    return validated_as(make)


def matching_except(name, result):
    """_matches_filters answers result(c) for one component and True otherwise."""
    return lambda c: c.patch(
        "_matches_filters", lambda record, *filters: result(c) if record.component_name == name else True
    )


# (break, components whose file fails, the failing step's line, exception)
PER_FILE = {
    "read_bytes-one": (path_method("read_bytes", on_component("alpha")), ["alpha"], 322, None),
    "read_bytes-gives-int": (path_method("read_bytes", on_component("beta"), value=5), ["beta"], 322, ValueError),
    "orjson-missing": (missing("orjson"), ["alpha", "beta", "gamma"], 322, NameError),
    "orjson.loads-read": (attribute("orjson", "loads", "read"), ["alpha", "beta", "gamma"], 322, None),
    "orjson.loads-call": (attribute("orjson", "loads", "call"), ["alpha", "beta", "gamma"], 322, None),
    "orjson.loads-gives-list": (
        attribute("orjson", "loads", lambda data: []),
        ["alpha", "beta", "gamma"],
        323,
        ValueError,
    ),
    "model-missing": (missing("StoredSimulationResult"), ["alpha", "beta", "gamma"], 323, NameError),
    "model_validate-one": (recorded_in("gamma"), ["gamma"], 323, None),
    "matches-missing": (missing("_matches_filters"), ["alpha", "beta", "gamma"], 325, NameError),
    "matches-one": (matching_except("beta", lambda c: c.raiser()), ["beta"], 325, None),
    "matches-truth": (matching_except("alpha", Raising), ["alpha"], 325, None),
}


@pytest.mark.parametrize(("breaks", "failing", "line", "error"), PER_FILE.values(), ids=PER_FILE.keys())
def test_listing_logs_and_skips_failing_files(ss, store, seeded, monkeypatch, breaks, failing, line, error):
    c = Ctx(ss, store, monkeypatch, seeded)
    paths = {name: ss._find_simulation_file(seeded[name]) for name in seeded}
    recorder = Recorder()
    breaks(c)
    c.patch("log", lambda: recorder)
    records = ss.list_simulation_results()
    assert sorted(r.component_name for r in records) == sorted(set(seeded) - set(failing))
    warned = sorted(message for _, message, _, _ in recorder.calls)
    assert warned == sorted(f"Failed to parse simulation file: {paths[name]}" for name in failing)
    for _, _, caught, caught_entries in recorder.calls:
        if error is None:
            assert caught is c.boom
        else:
            assert isinstance(caught, error)
        assert caught_entries == [(LS, line)]
    assert sys.exception() is None


def test_failed_cleanup_keeps_the_write_failure(ss, store, seeded, monkeypatch):
    """When the temporary file cannot be removed either, the caller still
    sees why the write failed, not why the clean-up did."""
    c = Ctx(ss, store, monkeypatch, seeded)
    path_method("replace")(c)
    path_method("unlink", lambda p: p.suffix == ".tmp", value=lambda c: (_ for _ in ()).throw(OSError("busy")))(c)
    with pytest.raises(Boom) as info:
        save(c)
    assert info.value is c.boom
    assert entries(info.value) == [(S, 196)]
