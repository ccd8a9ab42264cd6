"""Leak soak: every function of the store, on its success and error paths, in a loop.

Runs each operation N times, split into rounds. The first round warms the
process up (imports, caches, code objects of traceback entries); after every
later round it collects garbage and samples sys.getallocatedblocks() and the
resident set size. The run fails (exit status 1) when a late round holds more
than a small fixed number of blocks, or of KiB, above the first measured
round: a reference leaked on any path shows up as growth proportional to N.

    python tools/soak.py                  # 100,000 iterations per operation
    python tools/soak.py -n 2000          # a short run
"""

from __future__ import annotations

import argparse
import contextlib
import ctypes
import gc
import logging
import os
import pathlib
import sys
import tempfile
import time
import types
from collections.abc import Callable, Iterator
from typing import Any, NoReturn


def rss_kib() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def raw_vectorcall(fn: Callable[..., Any], args: list[Any], kwnames: list[tuple[Any, Any]]) -> Any:
    """fn called through PyObject_Vectorcall with kwnames as given: keyword
    names that no Python-level call can produce (non-strings, repeats)."""
    values = list(args) + [v for _, v in kwnames]
    array = (ctypes.py_object * max(1, len(values)))(*values)
    names = tuple(k for k, _ in kwnames) if kwnames else None
    call = ctypes.pythonapi.PyObject_Vectorcall
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object]
    return call(fn, ctypes.addressof(array), len(args), names)


class Str(str):
    pass


class Failure(Exception):
    pass


class Unequal:
    def __ne__(self, other: object) -> bool:
        raise Failure("comparison")


def expect(
    errors: type[BaseException] | tuple[type[BaseException], ...], fn: Callable[..., Any], *args: Any, **kwargs: Any
) -> None:
    """Calls fn and requires one of the given exception types."""
    try:
        fn(*args, **kwargs)
    except errors:
        return
    raise AssertionError(f"{getattr(fn, '__name__', fn)} did not raise {errors}")


def operations(ss: types.ModuleType, root: pathlib.Path) -> dict[str, Callable[[], None]]:
    """name -> callable; each leaves the store as it found it."""
    from lumora.models import SimulationHyperparameters

    PathType = type(pathlib.Path())
    hp = SimulationHyperparameters()

    def identity(**kw: Any) -> dict[str, Any]:
        fields = dict(
            component_name="mmi",
            factory_name="mmi_factory",
            component_settings={"w": 0.5, "l": [1, 2]},
            model_parameters={"neff": 2.4},
            hyperparameters=hp,
            simulation_type="sparams",
        )
        fields.update(kw)
        return fields

    def outcome(**kw: Any) -> dict[str, Any]:
        fields = dict(result={"s21": [0.5, 0.6]}, wavelengths=[1.55, 1.56], execution_time_seconds=1.25)
        fields.update(kw)
        return fields

    saved = ss.save_simulation_result(**identity(), **outcome())
    sid = saved.simulation_id
    bad_dir = root / "bad"
    bad_dir.mkdir()
    (bad_dir / "broken_0000000000000001.json").write_bytes(b'{"component_name": ')
    (bad_dir / "shape_0000000000000002.json").write_bytes(b"[1, 2, 3]")
    (bad_dir / "dir_0000000000000003.json").mkdir()

    @contextlib.contextmanager
    def patched(name: str, value: object) -> Iterator[None]:
        old = getattr(ss, name)
        setattr(ss, name, value)
        try:
            yield
        finally:
            setattr(ss, name, old)

    @contextlib.contextmanager
    def removed(name: str) -> Iterator[None]:
        old = getattr(ss, name)
        delattr(ss, name)
        try:
            yield
        finally:
            setattr(ss, name, old)

    def raiser(*args: Any, **kwargs: Any) -> NoReturn:
        raise Failure("injected")

    def faulty_root(**methods: Any) -> Callable[[], pathlib.Path]:
        cls = type("FaultyPath", (PathType,), methods)
        root_path = cls(root)
        return lambda: root_path

    # --- success paths
    def save_ok() -> None:
        ss.save_simulation_result(**identity(), **outcome())

    def save_defaults_int_time() -> None:
        ss.save_simulation_result(
            **identity(), **outcome(execution_time_seconds=3), status="error", error_message="failed", pdk_version="1.0"
        )
        ss.save_simulation_result(**identity(), **outcome())

    def find_hit_and_miss() -> None:
        assert ss.find_simulation_result(**identity()) is not None
        assert ss.find_simulation_result(**identity(component_name="other")) is None

    def load_paths() -> None:
        assert ss.load_simulation_result(sid) is not None
        assert ss.load_simulation_result("0" * 16) is None
        assert ss.load_simulation_result("*") is None
        assert ss.load_simulation_result("a/b") is None

    def list_paths() -> None:
        assert len(ss.list_simulation_results(simulation_type="sparams")) == 1
        ss.list_simulation_results(
            component_name="mmi", factory_name="mmi_factory", pdk_name="generic", status="success"
        )
        assert ss.list_simulation_results(status="error", simulation_type="sparams") == []
        assert ss.list_simulation_results(simulation_type="absent") == []

    def list_with_bad_files() -> None:
        assert ss.list_simulation_results() != []  # logs the three bad files

    def save_delete() -> None:
        ss.save_simulation_result(**identity(component_name="tmp"), **outcome())
        other = ss._compute_simulation_id(**identity(component_name="tmp"))
        assert ss.delete_simulation_result(other) is True
        assert ss.delete_simulation_result(other) is False

    def save_clear() -> None:
        for name in ("c1", "c2"):
            ss.save_simulation_result(**identity(component_name=name, simulation_type="clearing"), **outcome())
        assert ss.clear_simulation_results(simulation_type="clearing") == 2
        assert ss.clear_simulation_results(component_name="nobody") == 0

    def helpers() -> None:
        assert ss._compute_simulation_id("c", "f", {"a": (1, 2.5, None, True)}, {}, hp, "t") != ""
        ss._get_simulation_file_path("sparams", "mmi", sid)
        assert ss._find_simulation_file(sid) is not None
        assert ss._matches_filters(saved, "mmi", None, None, "success") is True
        assert ss._matches_filters(saved, None, "x", None, None) is False

    # --- binding errors
    def binding_errors() -> None:
        expect(TypeError, ss.load_simulation_result)
        expect(TypeError, ss.load_simulation_result, sid, sid)
        expect(TypeError, ss.load_simulation_result, sid, simulation_id=sid)
        expect(TypeError, ss.delete_simulation_result, id=sid)
        expect(
            TypeError, ss._compute_simulation_id, "c", "f", model_parameters={}, hyperparameters=hp, simulation_type="t"
        )
        expect(TypeError, ss.save_simulation_result)
        expect(TypeError, ss.save_simulation_result, 1)
        expect(TypeError, ss.save_simulation_result, **identity(), **outcome(wavelengths=(1.0,)))
        expect(
            TypeError,
            ss.save_simulation_result,
            **identity(component_name=None),
            **outcome(execution_time_seconds="slow"),
        )
        expect(TypeError, ss.list_simulation_results, status=1)
        expect(TypeError, ss.list_simulation_results, None)
        expect(TypeError, ss.clear_simulation_results, pdk_name=Str("x"))
        expect(TypeError, ss.load_simulation_result, Str(sid))
        expect(TypeError, ss._matches_filters, saved, None, None, None, b"s")
        expect(TypeError, ss.find_simulation_result, **identity(simulation_type=Str("sparams")))
        expect(TypeError, ss.load_simulation_result, **{Str("simulation_idx"): sid})
        ss.load_simulation_result(**{Str("simulation_id"): "0" * 16})
        expect(TypeError, raw_vectorcall, ss.load_simulation_result, [], [(1, sid)])
        expect(TypeError, raw_vectorcall, ss.list_simulation_results, [], [("status", None), ("status", None)])
        expect(OverflowError, ss.save_simulation_result, **identity(), **outcome(execution_time_seconds=10**400))

    # --- errors inside the bodies
    def body_errors() -> None:
        expect(AttributeError, ss._compute_simulation_id, "c", "f", {}, {}, None, "t")
        expect(TypeError, ss._compute_simulation_id, "c", "f", {"s": {1}}, {}, hp, "t")
        loop: dict[str, Any] = {}
        loop["self"] = loop
        expect(ValueError, ss._compute_simulation_id, "c", "f", loop, {}, hp, "t")
        expect(ValueError, ss._get_simulation_file_path, "a/b", "c", sid)
        expect(ValueError, ss._get_simulation_file_path, "..", "c", sid)
        expect(ValueError, ss._get_simulation_file_path, "t", "c\0d", sid)
        expect(ValueError, ss.save_simulation_result, **identity(), **outcome(status="unknown"))
        expect(ValueError, ss.load_simulation_result, "0000000000000001")
        expect(IsADirectoryError, ss.delete_simulation_result, "0000000000000003")
        expect(AttributeError, ss._matches_filters, None, "c", None, None, None)
        expect(Failure, ss._matches_filters, types.SimpleNamespace(component_name=Unequal()), "c", None, None, None)

    # --- globals missing, collaborators failing
    def missing_globals() -> None:
        for name, call in [
            ("json", lambda: ss._compute_simulation_id(**identity())),
            ("hashlib", lambda: ss.find_simulation_result(**identity())),
            ("get_simulations_dir", lambda: ss.list_simulation_results()),
            ("orjson", lambda: ss.save_simulation_result(**identity(), **outcome())),
            ("StoredSimulationResult", lambda: ss.load_simulation_result(sid)),
            ("_find_simulation_file", lambda: ss.delete_simulation_result(sid)),
            ("list_simulation_results", lambda: ss.clear_simulation_results()),
            ("datetime", lambda: ss.save_simulation_result(**identity(), **outcome())),
        ]:
            with removed(name):
                expect(NameError, call)
        with removed("orjson"):  # every file fails and is logged
            assert ss.list_simulation_results() == []

    def failing_collaborators() -> None:
        with patched("get_simulations_dir", raiser):
            expect(Failure, ss._find_simulation_file, sid)
            expect(Failure, ss.save_simulation_result, **identity(), **outcome())
        with patched("get_simulations_dir", faulty_root(write_bytes=raiser)):
            expect(Failure, ss.save_simulation_result, **identity(), **outcome())
        with patched("get_simulations_dir", faulty_root(replace=raiser)):
            expect(Failure, ss.save_simulation_result, **identity(), **outcome())
        with patched("get_simulations_dir", faulty_root(glob=raiser)):
            expect(Failure, ss.clear_simulation_results)
        with patched("log", raiser):
            expect(Failure, ss.save_simulation_result, **identity(), **outcome())
            expect(Failure, ss.list_simulation_results, simulation_type="bad")
        with patched(
            "StoredSimulationResult",
            types.SimpleNamespace(model_validate=lambda data: types.SimpleNamespace(**{"status": data["status"]})),
        ):
            expect(AttributeError, ss.list_simulation_results, simulation_type="sparams")
        with patched("_matches_filters", raiser):
            assert ss.list_simulation_results(simulation_type="sparams") == []

    def vanishing_files() -> None:
        gone = type("Gone", (PathType,), {"exists": lambda self: True})(root / "sparams" / "gone_0123.json")
        with patched("_find_simulation_file", lambda simulation_id: gone):
            assert ss.load_simulation_result("0123") is None
            assert ss.delete_simulation_result("0123") is False
        absent = PathType(root / "sparams" / "absent_0123.json")
        with patched("_find_simulation_file", lambda simulation_id: absent):
            assert ss.load_simulation_result("0123") is None

    return {
        fn.__name__: fn
        for fn in [
            save_ok,
            save_defaults_int_time,
            find_hit_and_miss,
            load_paths,
            list_paths,
            list_with_bad_files,
            save_delete,
            save_clear,
            helpers,
            binding_errors,
            body_errors,
            missing_globals,
            failing_collaborators,
            vanishing_files,
        ]
    }


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("-n", "--iterations", type=int, default=100_000, help="iterations per operation")
    parser.add_argument("--rounds", type=int, default=10, help="measured rounds (plus one warm-up round)")
    parser.add_argument("--block-bound", type=int, default=200, help="allowed growth in allocated blocks")
    parser.add_argument(
        "--rss-bound-kib", type=int, default=2048, help="allowed growth of the resident set in KiB (0: not checked)"
    )
    args = parser.parse_args(argv)

    logger = logging.getLogger("lumora")
    logger.addHandler(logging.NullHandler())
    logger.propagate = False
    logger.setLevel(logging.DEBUG)  # messages are formatted and handled, not only built

    with tempfile.TemporaryDirectory(prefix="lumora-soak-") as tmp:
        root = pathlib.Path(tmp) / "store"
        os.environ["LUMORA_SIMULATIONS_DIR"] = str(root)
        from lumora.core import simulation_storage as ss

        ops = operations(ss, root)
        per_round = max(1, args.iterations // args.rounds)
        samples = []
        started = time.monotonic()
        for round_index in range(args.rounds + 1):
            for fn in ops.values():
                for _ in range(per_round):
                    fn()
            gc.collect()
            samples.append((sys.getallocatedblocks(), rss_kib()))
            print(
                f"soak: round {round_index}{' (warm-up)' if round_index == 0 else ''}: "
                f"{samples[-1][0]} blocks, {samples[-1][1]} KiB, {time.monotonic() - started:.0f} s",
                flush=True,
            )
            tmp_left = [p for p in root.rglob("*.tmp")]
            if tmp_left:
                print(f"temporary files left: {tmp_left}", file=sys.stderr)
                return 1
        elapsed = time.monotonic() - started

    calls = per_round * (args.rounds + 1) * len(ops)
    base_blocks, base_rss = samples[1]
    late = samples[1 + args.rounds // 2 :]
    block_growth = max(b for b, _ in late) - base_blocks
    rss_growth = max(r for _, r in late) - base_rss
    print(
        f"soak: {len(ops)} operations x {per_round * (args.rounds + 1)} iterations = {calls} operation calls "
        f"in {elapsed:.1f} s"
    )
    print("soak: blocks per round " + " ".join(str(b) for b, _ in samples))
    print("soak: RSS KiB per round " + " ".join(str(r) for _, r in samples))
    print(
        f"soak: growth after warm-up: {block_growth} blocks (bound {args.block_bound}), "
        f"{rss_growth} KiB (bound {args.rss_bound_kib or 'not checked'})"
    )
    failed = block_growth > args.block_bound or (args.rss_bound_kib and rss_growth > args.rss_bound_kib)
    if failed:
        print("soak: FAILED: memory grows with the number of calls", file=sys.stderr)
        return 1
    print("soak: passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
