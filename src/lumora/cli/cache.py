"""diff, explain: how stored results differ, and why a look-up missed."""

from __future__ import annotations

import argparse
import json
import math
import sys
from collections.abc import Callable
from typing import Any, NoReturn

from lumora.cli._arguments import simulation_id
from lumora.cli._messages import complain, not_stored
from lumora.cli._terminal import emit, terminal_width
from lumora.logger import one_line
from lumora.text import dump

# The store, pydantic and the comparisons are imported by the commands that
# use them: every other command would pay for them at start-up.

# What each identity field must be in the input of explain.
_FIELD_TYPES: dict[str, type] = {
    "component_name": str,
    "factory_name": str,
    "component_settings": dict,
    "model_parameters": dict,
    "hyperparameters": dict,
    "simulation_type": str,
}
_JSON_NAMES: dict[type, str] = {str: "a string", dict: "an object"}
# Digits of the widest integer a save can store (2**64 - 1): longer ones are
# refused before Python's own limit on converting text to int applies.
_INT_DIGITS = 20


def _cmd_diff(args: argparse.Namespace) -> int:
    from lumora.compare import diff_results
    from lumora.core import simulation_storage as storage

    records = []
    for wanted in (args.first, args.second):
        record = storage.load_simulation_result(wanted)
        if record is None:
            not_stored(wanted)
            return 1
        records.append(record)
    first, second = records
    diff = diff_results(first, second, dates=args.dates)
    if args.json:
        print(dump({"first": first.simulation_id, "second": second.simulation_id, **diff.as_json()}))
        return 0
    emit(f"first:  {first.simulation_id}  {first.component_name} ({first.simulation_type})")
    emit(f"second: {second.simulation_id}  {second.component_name} ({second.simulation_type})")
    emit(diff.format(terminal_width()))
    return 0


class _InputError(Exception):
    """Input that explain cannot use; exit status 2."""


def _read_identity(source: str) -> dict[str, Any]:
    from pydantic import ValidationError

    from lumora.cache import IDENTITY_FIELDS
    from lumora.compare import check_storable
    from lumora.models import SimulationHyperparameters

    try:
        if source == "-":
            text = sys.stdin.read()
        else:
            with open(source, encoding="utf-8") as handle:
                text = handle.read()
    except OSError as exc:
        raise _InputError(f"cannot read {source}: {exc.strerror or one_line(exc)}") from exc
    except UnicodeDecodeError as exc:
        raise _InputError(f"cannot read {source}: not UTF-8 text ({exc.reason})") from exc
    name = "standard input" if source == "-" else source
    data = _parse(text, name)
    if not isinstance(data, dict):
        raise _InputError(f"{name} must hold a JSON object with the fields {', '.join(IDENTITY_FIELDS)}")
    fields: dict[str, Any] = {}
    for field, kind in _FIELD_TYPES.items():
        if field not in data:
            raise _InputError(f"{name} lacks the field {field!r}")
        if type(data[field]) is not kind:
            raise _InputError(f"{field} in {name} must be {_JSON_NAMES[kind]}, got {json.dumps(data[field])[:40]}")
        fields[field] = data[field]
    try:
        fields["hyperparameters"] = SimulationHyperparameters.model_validate(data["hyperparameters"])
    except ValidationError as exc:
        raise _InputError(f"hyperparameters in {name}: {one_line(exc)}") from exc
    try:
        check_storable(fields)
    except ValueError as exc:
        raise _InputError(f"{name}: {exc}") from exc
    return fields


def _parse(text: str, name: str) -> Any:
    """JSON text as a save could have stored it: no NaN, infinities or overlong integers."""

    def constant(word: str) -> NoReturn:
        raise _InputError(f"{name} holds {word}, which no save can store (JSON has no NaN or infinity)")

    def number(digits: str) -> float:
        value = float(digits)
        if not math.isfinite(value):
            raise _InputError(f"{name} holds {digits}, beyond the largest number a save can store")
        return value

    def integer(digits: str) -> int:
        count = len(digits.lstrip("-"))
        if count > _INT_DIGITS:
            raise _InputError(f"{name} holds an integer of {count} digits, beyond what a save can store")
        return int(digits)

    try:
        return json.loads(text, parse_constant=constant, parse_float=number, parse_int=integer)
    except json.JSONDecodeError as exc:
        raise _InputError(f"{name} is not JSON: {exc}") from exc
    except RecursionError:
        raise _InputError(f"{name} is nested too deeply for a save to store") from None


def _cmd_explain(args: argparse.Namespace) -> int:
    try:
        fields = _read_identity(args.file)
    except _InputError as exc:
        complain(f"error: {exc}")
        return 2
    from lumora.compare import explain_miss

    report = explain_miss(**fields, limit=args.limit)
    if args.json:
        print(dump(report.as_json()))
    else:
        emit(str(report))
    return 0


def _limit(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = -1
    if value < 0:
        raise argparse.ArgumentTypeError(f"{text!r} is not a count (0 or more)")
    return value


def register(add: Callable[[str, str], argparse.ArgumentParser]) -> None:
    sub = add("diff", "Show how two stored results differ: identity fields, metadata, then curves.")
    sub.add_argument("first", metavar="ID1", type=simulation_id)
    sub.add_argument("second", metavar="ID2", type=simulation_id)
    sub.add_argument("--dates", action="store_true", help="compare the dates of simulation too")
    sub.add_argument("--json", action="store_true", help="print the differences as JSON")
    sub.set_defaults(handler=_cmd_diff)

    sub = add(
        "explain",
        "Say whether a simulation is stored and how the nearest stored results differ from it.",
    )
    sub.add_argument(
        "file",
        metavar="FILE",
        help="a JSON object with the six identity fields (hyperparameters as an object; other members are "
        "ignored, so a record printed by show --json will do), or - for standard input",
    )
    sub.add_argument("--limit", type=_limit, default=3, metavar="N", help="show up to N nearest results (3)")
    sub.add_argument("--json", action="store_true", help="print the report as JSON")
    sub.set_defaults(handler=_cmd_explain)
