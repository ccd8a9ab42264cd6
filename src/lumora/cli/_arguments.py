"""Arguments that several commands take: simulation IDs and the listing filters."""

from __future__ import annotations

import argparse
import re

from lumora.summaries import Condition, parse_condition

_ID_PATTERN = re.compile(r"[0-9a-f]{16}")


def simulation_id(text: str) -> str:
    """An argparse type: a well-formed ID, lower-cased.

    A look-up matches file names with a glob, so "*" would pick an arbitrary
    result: only well-formed IDs get through.
    """
    candidate = text.strip().lower()
    if not _ID_PATTERN.fullmatch(candidate):
        raise argparse.ArgumentTypeError(f"{text!r} is not a simulation ID (16 hexadecimal digits)")
    return candidate


def add_filters(parser: argparse.ArgumentParser, *, status: bool) -> None:
    parser.add_argument("--type", dest="simulation_type", metavar="TYPE", help="only this simulation type")
    parser.add_argument("--component", dest="component_name", metavar="NAME", help="only this component")
    parser.add_argument("--factory", dest="factory_name", metavar="NAME", help="only this factory")
    parser.add_argument("--pdk", dest="pdk_name", metavar="NAME", help="only this design kit")
    if status:
        parser.add_argument("--status", choices=("success", "error"), help="only results with this status")


def condition(text: str) -> Condition:
    """An argparse type: a condition of --where."""
    try:
        return parse_condition(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def add_where(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--where",
        metavar="COND",
        type=condition,
        action="append",
        default=[],
        help="only results whose identity field meets COND, such as gap=0.2 or component_settings.length>5 "
        "(OP one of = != < <= > >=; a bare name is looked for in component_settings, then model_parameters); "
        "repeat to combine",
    )


def filters(args: argparse.Namespace, *, status: bool) -> dict[str, str | None]:
    """The filter options as keyword arguments of the store's listing functions."""
    chosen: dict[str, str | None] = {
        "component_name": args.component_name,
        "factory_name": args.factory_name,
        "simulation_type": args.simulation_type,
        "pdk_name": args.pdk_name,
    }
    if status:
        chosen["status"] = args.status
    return chosen
