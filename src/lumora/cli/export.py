"""export: stored S-parameters as Touchstone files for circuit simulators (needs lumora[touchstone])."""

from __future__ import annotations

import argparse
from collections.abc import Callable
from pathlib import Path

from lumora.cli._arguments import simulation_id
from lumora.cli._messages import complain, lacks_extra, not_stored, store_is_missing
from lumora.text import printable


def _export(simulation: str, args: argparse.Namespace) -> bool:
    from lumora.core import simulation_storage as storage

    """Write one result's file and say so; complain and return False when it cannot be."""
    from lumora.sparams import SParametersError, sparameters

    record = storage.load_simulation_result(simulation)
    if record is None:
        not_stored(simulation)
        return False
    try:
        found = sparameters(record)
        if args.reciprocal:
            found = found.reciprocal()
        absent = found.missing()
        if absent and not args.zero_missing:
            source, output = absent[0]
            complain(
                f"{simulation} ({record.component_name}) has no S-parameter {source},{output} "
                f"({len(absent)} of the {len(found.ports) ** 2} port pairs missing); "
                "--reciprocal takes them from the reverse pairs, --zero-missing writes zeros"
            )
            return False
        path = found.write_touchstone(args.output / simulation, fill_missing=0 if args.zero_missing else None)
    except (SParametersError, OSError) as exc:
        complain(str(exc))
        return False
    ports = ", ".join(f"{number} {port}" for number, port in enumerate(found.ports, start=1))
    print(printable(f"{path}  ({record.component_name}; ports {ports})"))
    return True


def _cmd_export(args: argparse.Namespace) -> int:
    from lumora.sparams import require_scikit_rf

    if lacks_extra(require_scikit_rf) or store_is_missing():
        return 1
    args.output.mkdir(parents=True, exist_ok=True)
    # Each result is tried, so that one that cannot be written does not hold back the others.
    written = [_export(simulation, args) for simulation in dict.fromkeys(args.simulation_ids)]
    return 0 if all(written) else 1


def register(add: Callable[[str, str], argparse.ArgumentParser]) -> None:
    sub = add("export", "Write stored S-parameters as Touchstone files, one ID.sNp per result.")
    sub.add_argument("simulation_ids", metavar="ID", nargs="+", type=simulation_id)
    sub.add_argument(
        "-o",
        "--output",
        metavar="DIR",
        type=Path,
        default=Path(),
        help="the directory to write the files in, created if need be (default: the current directory)",
    )
    sub.add_argument(
        "--reciprocal",
        action="store_true",
        help="take a missing port pair from its reverse (S12 from S21), as for any passive reciprocal device",
    )
    sub.add_argument(
        "--zero-missing",
        action="store_true",
        help="write 0 for the port pairs that a result does not hold (by default such a result is refused)",
    )
    sub.set_defaults(handler=_cmd_export)
