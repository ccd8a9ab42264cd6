"""Time lumora.core.simulation_storage against the plain-Python baseline.

Both modules run in the same process against the same store, which lives in a
temporary directory named through LUMORA_SIMULATIONS_DIR. The two sides
alternate within every repetition; each figure is the median time per call,
and listings also get their peak memory in a separate, traced pass. The
stores read by look-ups and listings hold compact results (20-point arrays),
so the figures show the per-file work rather than the parsing of big arrays.

    .venv/bin/python bench/run.py [--quick] [--json FILE] [--clock cpu] [--repeat N]
                                  [--only-python] [-k TEXT] [--dir DIR]
"""

from __future__ import annotations

import argparse
import gc
import itertools
import json
import math
import os
import platform
import random
import shutil
import statistics
import sys
import tempfile
import time
import timeit
import tracemalloc
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from datetime import UTC, datetime, timedelta
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))

import orjson
import pure_storage

from lumora.models import SimulationHyperparameters, StoredSimulationResult

EXT, PY, FLOOR = "extension", "python", "floor"

# Wall-clock time by default. On a machine shared with other work, the
# process's CPU time (user + system) is steadier: it leaves out the time
# spent waiting for a core, which would otherwise land on either side at random.
CLOCKS = {"wall": time.perf_counter, "cpu": time.process_time}
clock = CLOCKS["wall"]

# Binding targets: at least 2.5x faster than the Python module, within 1.5x of
# a C builtin doing a comparable call. Everything else: no slower than Python.
BINDING_MAX_RATIO = 0.4
BINDING_MAX_FLOOR_RATIO = 1.5
OP_MAX_RATIO = 1.0


@dataclass
class Profile:
    sizes: tuple[int, int]
    clear_size: int
    binding_sample: float  # seconds one timing sample should last
    op_sample: float
    binding_repeat: int
    op_budget: float  # seconds per case and side, shared by its repetitions
    op_repeat: tuple[int, int]  # bounds on repetitions of I/O cases
    peak_repeat: int


FULL = Profile((1_000, 10_000), 1_000, 0.05, 0.02, 24, 8.0, (6, 24), 1)
QUICK = Profile((100, 1_000), 100, 0.005, 0.005, 6, 0.5, (4, 6), 1)


# --- workload -------------------------------------------------------------

TYPES = ("sparams", "modes", "fdtd", "eme")
COMPONENTS = (
    "mmi1x2",
    "mmi2x2",
    "ring_single",
    "ring_double",
    "straight",
    "bend_euler",
    "coupler",
    "taper",
    "grating_coupler",
    "mzi",
    "crossing",
    "y_splitter",
)
PDKS = ("generic", "sky130ph", "siepic")


def realistic_identity(i: int = 0) -> dict[str, Any]:
    """Identity fields of an ordinary simulation: nested settings, a few dozen parameters."""
    component_settings = {
        "width": 0.5,
        "length": 10.0 + i,
        "gap": 0.2,
        "length_taper": 5.0,
        "width_taper": 1.2,
        "width_mmi": 2.5,
        "length_mmi": 5.5,
        "with_bbox": True,
        "cross_section": {
            "layer": [1, 0],
            "width": 0.5,
            "radius": 10.0,
            "radius_min": 5.0,
            "sections": [
                {"name": "cladding", "layer": [111, 0], "width": 3.0, "offset": 0.0},
                {"name": "slab", "layer": [3, 0], "width": 6.0, "offset": 0.0},
            ],
            "port_names": ["o1", "o2"],
        },
        "ports": {
            "o1": {"center": [0.0, 0.0], "orientation": 180, "width": 0.5},
            "o2": {"center": [15.5, 0.625], "orientation": 0, "width": 0.5},
            "o3": {"center": [15.5, -0.625], "orientation": 0, "width": 0.5},
        },
    }
    model_parameters = {
        "neff": 2.4,
        "ng": 4.2,
        "wl0": 1.55,
        "loss_db_cm": 2.0,
        "coupling": 0.5,
        "dn_dt": 1.86e-4,
        "temperature": 25.0,
        "polarization": "te",
        "mode_index": 0,
        "material": {"core": "si", "clad": "sio2", "box": "sio2"},
        "dispersion": [2.4, -1.1, 0.035],
    }
    return dict(
        component_name=COMPONENTS[i % len(COMPONENTS)],
        factory_name=COMPONENTS[i % len(COMPONENTS)] + "_factory",
        component_settings=component_settings,
        model_parameters=model_parameters,
        hyperparameters=SimulationHyperparameters(),
        simulation_type=TYPES[i % len(TYPES)],
    )


def sparams(points: int, names: tuple[str, ...], rng: random.Random) -> dict[str, Any]:
    return {
        name: {
            "real": [round(rng.uniform(-1, 1), 6) for _ in range(points)],
            "imag": [round(rng.uniform(-1, 1), 6) for _ in range(points)],
        }
        for name in names
    }


def wavelengths(points: int) -> list[float]:
    return [round(1.5 + 0.1 * k / (points - 1), 6) for k in range(points)]


def realistic_outcome(rng: random.Random) -> dict[str, Any]:
    """What a finished simulation hands to save: four S-parameters of 200 points."""
    return dict(
        result=sparams(200, ("s11", "s21", "s12", "s22"), rng),
        wavelengths=wavelengths(200),
        execution_time_seconds=12.5,
    )


def stored_documents(n: int, seed: int) -> list[tuple[str, str, bytes, dict[str, Any]]]:
    """n result files as save would write them: (type, file name, bytes, identity).

    The stored outcomes are small (20 points) so that 10,000 of them stay a few
    tens of megabytes; what is measured is the per-file work, not the parsing
    of large arrays.
    """
    rng = random.Random(seed)
    base = datetime(2025, 1, 1, tzinfo=UTC)
    seconds = rng.sample(range(n * 60), n)
    documents = []
    for i in range(n):
        ident = realistic_identity(i)
        simulation_id = pure_storage._compute_simulation_id(**ident)
        failed = i % 10 == 7
        record = StoredSimulationResult(
            **ident,
            simulation_id=simulation_id,
            pdk_name=PDKS[i % len(PDKS)],
            pdk_version="1.2.0",
            simulation_date=(base + timedelta(seconds=seconds[i], microseconds=i)).isoformat(),
            lumora_version="0.1.0",
            result={} if failed else sparams(20, ("s21",), rng),
            wavelengths=wavelengths(20),
            execution_time_seconds=rng.uniform(0.5, 60.0),
            status="error" if failed else "success",
            error_message="solver diverged" if failed else "",
        )
        content = orjson.dumps(record.model_dump(), option=orjson.OPT_INDENT_2)
        name = f"{ident['component_name']}_{simulation_id}.json"
        documents.append((ident["simulation_type"], name, content, ident))
    return documents


def write_store(root: Path, documents: list[tuple[str, str, bytes, dict[str, Any]]]) -> None:
    for type_name in {d[0] for d in documents}:
        (root / type_name).mkdir(parents=True, exist_ok=True)
    for type_name, name, content, _ in documents:
        (root / type_name / name).write_bytes(content)


# --- measurement ----------------------------------------------------------


@dataclass
class Case:
    operation: str
    size: int | None
    stmt: str
    namespaces: dict[str, dict[str, Any]]  # side -> names the statement uses
    kind: str = "op"  # "binding" or "op"
    calls_per_stmt: int = 1
    root: Path | None = None  # store root named while the case runs
    prepare: Callable[[], None] | None = None  # run before every sample (a fresh store)
    peak: bool = False  # also measure peak memory
    floor_label: str = ""
    floor_stmt: str = ""  # the floor's own call, same shape as `stmt`
    check: str = ""  # expression compared between the sides (default: `stmt`)
    floor_check: str = ""
    raises: type[BaseException] | None = None  # the checked call must raise this
    number: int = 1
    repeat: int = 1
    samples: dict[str, list[float]] = field(default_factory=dict)
    peaks: dict[str, int] = field(default_factory=dict)
    error: str = ""


def stmt_for(case: Case, side: str) -> str:
    return case.floor_stmt if side == FLOOR else case.stmt


def enter(case: Case) -> None:
    if case.root is not None:
        os.environ["LUMORA_SIMULATIONS_DIR"] = str(case.root)


def time_once(case: Case, side: str) -> float:
    """Seconds per call for one sample of `case.number` statements."""
    if case.prepare is not None:
        case.prepare()
    ns = case.namespaces[side]
    # Binding figures run with the collector off (timeit's default); the I/O
    # cases allocate thousands of objects, so they run with it on, as in use.
    setup = "pass" if case.kind == "binding" else "gc.enable()"
    timer = timeit.Timer(stmt_for(case, side), setup=setup, timer=clock, globals={**ns, "gc": gc})
    if case.kind != "binding":
        gc.collect()
    return timer.timeit(case.number) / (case.number * case.calls_per_stmt)


def calibrate(case: Case, side: str, target: float) -> tuple[int, float]:
    """Smallest number of statements (1, 2, 5, 10, ...) whose sample lasts `target`."""
    number = 1
    for multiplier in itertools.cycle((2, 2.5, 2)):
        case.number = number
        t = time_once(case, side) * number * case.calls_per_stmt
        if t >= target or case.prepare is not None:
            return number, t
        number = int(number * multiplier)
    raise AssertionError("the multipliers cycle for ever")


def loop_overhead(number: int, repeat: int) -> float:
    timer = timeit.Timer("pass", timer=clock)
    return statistics.median(timer.timeit(number) / number for _ in range(repeat))


def measure(case: Case, sides: list[str], profile: Profile, repeat: int | None = None) -> None:
    enter(case)
    slow_side = PY if PY in sides else sides[0]
    target = profile.binding_sample if case.kind == "binding" else profile.op_sample
    number, t = calibrate(case, slow_side, target)
    case.number = number
    if repeat:
        case.repeat = repeat
    elif case.kind == "binding":
        case.repeat = profile.binding_repeat
    else:
        lo, hi = profile.op_repeat
        case.repeat = max(lo, min(hi, int(profile.op_budget / max(t, 1e-9))))
    # Every side leads equally often: the first call after a sample of the
    # other side can pay for caches and freed memory that the second reuses.
    case.repeat = -(-case.repeat // len(sides)) * len(sides)
    case.samples = {side: [] for side in sides}
    for rep in range(case.repeat):
        shift = rep % len(sides)
        for side in sides[shift:] + sides[:shift]:
            case.samples[side].append(time_once(case, side))

    if case.peak:
        peaks: dict[str, list[int]] = {side: [] for side in sides if side != FLOOR}
        for rep in range(profile.peak_repeat):
            order = list(peaks)
            if rep % 2:
                order.reverse()
            for side in order:
                peaks[side].append(peak_memory(case, side))
        case.peaks = {side: int(statistics.median(v)) for side, v in peaks.items()}


def peak_memory(case: Case, side: str) -> int:
    """Peak bytes allocated during one statement, above what was live before it."""
    if case.prepare is not None:
        case.prepare()
    code = compile(stmt_for(case, side), "<bench>", "exec")
    ns = dict(case.namespaces[side])
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        tracemalloc.reset_peak()
        exec(code, ns)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    return peak - before


# --- the cases ------------------------------------------------------------


def binding_cases(modules: dict[str, Any]) -> list[Case]:
    record = StoredSimulationResult(
        **realistic_identity(),
        simulation_id="0" * 16,
        pdk_name="generic",
        pdk_version="",
        simulation_date="2025-01-01T00:00:00+00:00",
        lumora_version="0.1.0",
        result={},
        wavelengths=[],
        execution_time_seconds=1.0,
        status="success",
        error_message="",
    )

    def ns(attr: str, floor: object) -> dict[str, dict[str, Any]]:
        out = {side: {"f": getattr(m, attr), "o": record} for side, m in modules.items()}
        out[FLOOR] = {"f": floor, "o": record}
        return out

    def failing(call: str) -> str:
        return "try:\n    " + call + "\nexcept TypeError:\n    pass"

    missing = (
        "f(component_name='c', factory_name='f', component_settings={}, model_parameters={}, hyperparameters=None)"
    )
    open_missing = "f(mode='r', buffering=-1, encoding=None, errors=None, newline=None)"
    return [
        Case(
            "_matches_filters(obj, None x4)",
            None,
            "f(o, None, None, None, None)",
            ns("_matches_filters", math.gcd),
            kind="binding",
            # Not max(): its four comparisons cost more than a whole Python call.
            floor_label="math.gcd(1, 2, 3, 4, 5)",
            floor_stmt="f(1, 2, 3, 4, 5)",
        ),
        Case(
            "list_simulation_results(status=1) -> TypeError",
            None,
            failing("f(status=1)"),
            ns("list_simulation_results", "".split),
            kind="binding",
            floor_label='"".split(sep=1) -> TypeError',
            floor_stmt=failing("f(sep=1)"),
            check="f(status=1)",
            floor_check="f(sep=1)",
            raises=TypeError,
        ),
        Case(
            "_compute_simulation_id(5 of 6 keywords) -> TypeError",
            None,
            failing(missing),
            ns("_compute_simulation_id", open),
            kind="binding",
            floor_label="open(mode=, buffering=, encoding=, errors=, newline=) -> TypeError",
            floor_stmt=failing(open_missing),
            check=missing,
            floor_check=open_missing,
            raises=TypeError,
        ),
    ]


def build_cases(modules: dict[str, Any], workdir: Path, profile: Profile, log: Callable[[str], None]) -> list[Case]:
    cases = binding_cases(modules)
    rng = random.Random(1)

    ident = realistic_identity()
    cases.append(
        Case(
            "_compute_simulation_id",
            None,
            "f(cn, fn, cs, mp, hp, st)",
            {
                side: {
                    "f": m._compute_simulation_id,
                    "cn": ident["component_name"],
                    "fn": ident["factory_name"],
                    "cs": ident["component_settings"],
                    "mp": ident["model_parameters"],
                    "hp": ident["hyperparameters"],
                    "st": ident["simulation_type"],
                }
                for side, m in modules.items()
            },
        )
    )

    save_args = {**realistic_identity(), **realistic_outcome(rng)}
    cases.append(
        Case(
            "save_simulation_result",
            None,
            "f(**a)",
            {side: {"f": m.save_simulation_result, "a": save_args} for side, m in modules.items()},
            root=workdir / "save",
        )
    )

    for size in profile.sizes:
        t0 = time.perf_counter()
        documents = stored_documents(size, seed=size)
        root = workdir / f"store-{size}"
        write_store(root, documents)
        log(f"populated {size:,} results in {time.perf_counter() - t0:.1f} s")
        # Look-ups hit results spread over the store, two in each type directory.
        picks = [(k * size // 8) // len(TYPES) * len(TYPES) + k % len(TYPES) for k in range(8)]
        targets = [documents[i][3] for i in picks]
        ids = [pure_storage._compute_simulation_id(**t) for t in targets]
        cases.append(
            Case(
                "find_simulation_result",
                size,
                "for kw in targets:\n    f(**kw)",
                {side: {"f": m.find_simulation_result, "targets": targets} for side, m in modules.items()},
                calls_per_stmt=len(targets),
                check="[f(**kw).simulation_id for kw in targets]",
                root=root,
            )
        )
        cases.append(
            Case(
                "load_simulation_result",
                size,
                "for i in ids:\n    f(i)",
                {side: {"f": m.load_simulation_result, "ids": ids} for side, m in modules.items()},
                calls_per_stmt=len(ids),
                check="[f(i).simulation_id for i in ids]",
                root=root,
            )
        )
        for label, stmt in (
            ("list_simulation_results()", "f()"),
            (f"list_simulation_results(simulation_type={TYPES[1]!r})", f"f(simulation_type={TYPES[1]!r})"),
            ("list_simulation_results(status='error')", "f(status='error')"),
        ):
            cases.append(
                Case(
                    label,
                    size,
                    stmt,
                    {side: {"f": m.list_simulation_results} for side, m in modules.items()},
                    root=root,
                    peak=True,
                )
            )

    size = profile.clear_size
    template = workdir / f"store-{size}"
    if size not in profile.sizes:
        write_store(template, stored_documents(size, seed=size))
    scratch = workdir / "clear"

    def refill() -> None:
        shutil.rmtree(scratch, ignore_errors=True)
        shutil.copytree(template, scratch)

    cases.append(
        Case(
            "clear_simulation_results()",
            size,
            "f()",
            {side: {"f": m.clear_simulation_results} for side, m in modules.items()},
            root=scratch,
            prepare=refill,
        )
    )
    return cases


def check_agreement(case: Case, modules: dict[str, Any]) -> None:
    """Run each side's call once and compare what comes back, so that a figure
    never stands for a call that failed or did something else."""
    enter(case)
    outcomes = {}
    for side in [*modules, FLOOR] if case.floor_stmt else modules:
        if case.prepare is not None:
            case.prepare()
        ns = dict(case.namespaces[side])
        expr = (case.floor_check or case.floor_stmt) if side == FLOOR else (case.check or case.stmt)
        if case.raises is not None:
            try:
                eval(expr, ns)
            except case.raises:
                continue
            raise AssertionError(f"{side}: {expr} did not raise {case.raises.__name__}")
        value = eval(expr, ns)
        if isinstance(value, list):
            value = [getattr(r, "simulation_id", r) for r in value]
        elif isinstance(value, StoredSimulationResult):
            value = value.simulation_id
        if side != FLOOR:
            outcomes[side] = value
    if len({repr(v) for v in outcomes.values()}) > 1:
        raise AssertionError(f"sides disagree: {outcomes}")


# --- report ---------------------------------------------------------------


def fmt_time(seconds: float | None) -> str:
    if seconds is None:
        return "-"
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def fmt_bytes(n: int | None) -> str:
    if n is None:
        return "-"
    for unit, scale in (("GiB", 2**30), ("MiB", 2**20), ("KiB", 2**10)):
        if n >= scale:
            return f"{n / scale:.3g} {unit}"
    return f"{n} B"


def summarise(case: Case, overhead: float) -> dict[str, Any]:
    out: dict[str, Any] = {"operation": case.operation, "size": case.size, "number": case.number, "repeat": case.repeat}
    if case.error:
        out["error"] = case.error
        return out
    subtract = overhead / case.calls_per_stmt if case.kind == "binding" else 0.0
    med = {side: statistics.median(v) - subtract for side, v in case.samples.items()}
    out["median"] = med
    out["samples"] = case.samples

    # Ratios are taken within each repetition, where both sides ran back to
    # back under the same conditions, and then summarised: steadier than a
    # ratio of medians when the machine's load drifts during the run.
    def paired(other: str) -> list[float]:
        return sorted((e - subtract) / (o - subtract) for e, o in zip(case.samples[EXT], case.samples[other]))

    def quartiles(values: list[float]) -> list[float]:
        return statistics.quantiles(values, n=4, method="inclusive") if len(values) > 1 else values * 3

    if EXT in med and PY in med:
        q = quartiles(paired(PY))
        out["ratio"], out["ratio_iqr"] = q[1], [q[0], q[2]]
        out["ratio_of_medians"] = med[EXT] / med[PY]
    if EXT in med and FLOOR in med:
        out["floor_ratio"] = quartiles(paired(FLOOR))[1]
    if case.peaks:
        out["peak_bytes"] = case.peaks
    return out


def verdict(case: Case, s: dict[str, Any]) -> list[str]:
    misses: list[str] = []
    if "ratio" not in s:
        return misses
    if case.kind == "binding":
        if s["ratio"] > BINDING_MAX_RATIO:
            misses.append(f"ext/python {s['ratio']:.2f} > {BINDING_MAX_RATIO}")
        if s.get("floor_ratio", 0) > BINDING_MAX_FLOOR_RATIO:
            misses.append(f"ext/floor {s['floor_ratio']:.2f} > {BINDING_MAX_FLOOR_RATIO}")
    elif s["ratio"] > OP_MAX_RATIO:
        # A miss whose paired ratios straddle 1.0 is within the noise.
        noisy = s["ratio_iqr"][0] <= OP_MAX_RATIO
        misses.append(f"ext/python {s['ratio']:.2f} > {OP_MAX_RATIO}" + (" (within noise)" if noisy else ""))
    return misses


def print_table(
    cases: list[Case], summaries: list[dict[str, Any]], growth: list[dict[str, Any]], overhead: float
) -> list[str]:
    header = (
        "operation",
        "size",
        "extension",
        "python",
        "ext/py",
        "IQR",
        "floor",
        "ext/floor",
        "peak ext",
        "peak py",
        "calls x reps",
        "check",
    )
    rows, footnotes, misses = [], [], []
    for case, s in zip(cases, summaries):
        size = f"{case.size:,}" if case.size else "-"
        reps = f"{case.number * case.calls_per_stmt}x{case.repeat}"
        if "error" in s:
            rows.append((case.operation, size, "FAILED", "", "", "", "", "", "", "", reps, s["error"][:60]))
            misses.append(f"{case.operation} [{size}]: {s['error']}")
            continue
        med, peaks = s["median"], s.get("peak_bytes", {})
        floor = "-"
        if FLOOR in med:
            note = case.floor_label
            if PY in med:
                # What the floor itself achieves against Python bounds the binding targets.
                note += f"; floor/python {med[FLOOR] / med[PY]:.2f}"
            footnotes.append(note)
            floor = f"{fmt_time(med[FLOOR])} [{len(footnotes)}]"
        case_misses = verdict(case, s)
        misses += [f"{case.operation} [{size}]: {m}" for m in case_misses]
        check = "-" if "ratio" not in s else ("MISS" if case_misses else "ok")
        rows.append(
            (
                case.operation,
                size,
                fmt_time(med.get(EXT)),
                fmt_time(med.get(PY)),
                f"{s['ratio']:.2f}" if "ratio" in s else "-",
                "{:.2f}-{:.2f}".format(*s["ratio_iqr"]) if "ratio" in s else "-",
                floor,
                f"{s['floor_ratio']:.2f}" if "floor_ratio" in s else "-",
                fmt_bytes(peaks.get(EXT)),
                fmt_bytes(peaks.get(PY)),
                reps,
                check,
            )
        )
    widths = [max(len(str(r[i])) for r in [header, *rows]) for i in range(len(header))]
    right = set(range(1, len(header) - 1))

    def line(r: Sequence[Any]) -> str:
        return "  ".join(str(v).rjust(w) if i in right else str(v).ljust(w) for i, (v, w) in enumerate(zip(r, widths)))

    print(line(header))
    print("  ".join("-" * w for w in widths))
    for r in rows:
        print(line(r))
    print()
    for i, label in enumerate(footnotes, 1):
        print(f"[{i}] floor (a C builtin called the same way): {label}")
    print("ext/py, ext/floor: median of the ratios paired within each repetition; IQR: their interquartile range.")
    print(f"Binding rows are net of the timing loop itself ({fmt_time(overhead)} per iteration).")
    for g in growth:
        flag = ""
        if g.get(EXT, 0) > g["linear"]:
            flag = "  MISS: worse than linear"
            if g.get(PY, 0) > g["linear"]:
                flag += " (so is python's)"
            misses.append(f"{g['operation']}: extension grows {g[EXT]:.1f}x for {g['linear']:.0f}x the results")
        sides = "  ".join(f"{side} {g[side]:.1f}x" for side in (EXT, PY) if side in g)
        print(f"growth {g['sizes'][0]:,} -> {g['sizes'][1]:,}: {g['operation']}: {sides}{flag}")
    print()
    targets = (
        f"targets: binding ext/py <= {BINDING_MAX_RATIO} and ext/floor <= {BINDING_MAX_FLOOR_RATIO};"
        f" other ext/py <= {OP_MAX_RATIO}; growth no worse than linear"
    )
    print(targets)
    if misses:
        print(f"{len(misses)} miss(es):")
        for m in misses:
            print(f"  - {m}")
    elif any("ratio" in s for s in summaries):
        print("all targets met")
    return misses


def growth_of(cases: list[Case], summaries: list[dict[str, Any]], sizes: tuple[int, int]) -> list[dict[str, Any]]:
    by_key = {(c.operation, c.size): s for c, s in zip(cases, summaries) if "median" in s}
    out = []
    for c in cases:
        if c.size != sizes[0] or (c.operation, sizes[1]) not in by_key or (c.operation, sizes[0]) not in by_key:
            continue
        small, large = by_key[(c.operation, sizes[0])]["median"], by_key[(c.operation, sizes[1])]["median"]
        g = {"operation": c.operation, "sizes": list(sizes), "linear": sizes[1] / sizes[0]}
        g.update({side: large[side] / small[side] for side in small if side != FLOOR})
        out.append(g)
    return out


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="short smoke run: small stores, few repetitions")
    parser.add_argument("--json", metavar="FILE", help="also write the raw figures to FILE")
    parser.add_argument("--only-python", action="store_true", help="time the Python module alone")
    parser.add_argument("-k", metavar="TEXT", help="run only operations whose name contains TEXT")
    parser.add_argument("--dir", metavar="DIR", help="parent of the temporary store (default: the system's)")
    parser.add_argument("--repeat", type=int, metavar="N", help="repetitions of every case (default: by duration)")
    parser.add_argument(
        "--clock",
        choices=sorted(CLOCKS),
        default="wall",
        help="wall-clock time (default) or the process's CPU time, steadier on a busy machine",
    )
    args = parser.parse_args(argv)
    profile = QUICK if args.quick else FULL
    global clock
    clock = CLOCKS[args.clock]

    def log(msg: str) -> None:
        print(f"# {msg}", file=sys.stderr, flush=True)

    modules = {PY: pure_storage}
    if not args.only_python:
        from lumora.core import simulation_storage

        modules = {EXT: simulation_storage, PY: pure_storage}

    workdir = Path(tempfile.mkdtemp(prefix="lumora-bench-", dir=args.dir))
    started = time.perf_counter()
    try:
        cases = build_cases(modules, workdir, profile, log)
        if args.k:
            cases = [c for c in cases if args.k in c.operation]
        overhead = loop_overhead(1_000_000 if not args.quick else 100_000, 5)
        summaries = []
        for case in cases:
            sides = list(modules) + ([FLOOR] if FLOOR in case.namespaces else [])
            try:
                check_agreement(case, modules)
                measure(case, sides, profile, args.repeat)
            except Exception as exc:  # report the row, go on with the others
                case.error = f"{type(exc).__name__}: {exc}"
            summaries.append(summarise(case, overhead))
            log(f"{case.operation} [{case.size or '-'}] done ({time.perf_counter() - started:.0f} s)")
    finally:
        shutil.rmtree(workdir, ignore_errors=True)

    print(
        f"Python {platform.python_version()} on {platform.machine()}, {os.cpu_count()} CPUs; "
        f"{'quick' if args.quick else 'full'} run; median {args.clock} time per call; "
        "sides alternate each repetition"
    )
    print()
    growth = growth_of(cases, summaries, profile.sizes)
    misses = print_table(cases, summaries, growth, overhead)
    if args.json:
        Path(args.json).write_text(
            json.dumps(
                {
                    "python": sys.version,
                    "machine": platform.platform(),
                    "cpus": os.cpu_count(),
                    "profile": "quick" if args.quick else "full",
                    "clock": args.clock,
                    "loop_overhead_seconds": overhead,
                    "cases": summaries,
                    "growth": growth,
                    "misses": misses,
                },
                indent=2,
                default=str,
            )
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
