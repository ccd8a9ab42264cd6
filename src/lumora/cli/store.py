"""list, show, delete, clear: the store's own operations at the command line."""

from __future__ import annotations

import argparse
from collections.abc import Callable

from lumora.cli._common import (
    add_filters,
    complain,
    confirm,
    dump,
    filters,
    format_table,
    simulation_id,
    stdin_is_terminal,
)
from lumora.core import simulation_storage as storage
from lumora.settings import get_simulations_dir


def _cmd_list(args: argparse.Namespace) -> int:
    records = storage.list_simulation_results(**filters(args, status=True))
    if args.json:
        print(dump([record.model_dump(mode="json") for record in records]))
    elif records:
        print(format_table(records))
    else:
        print("No simulation results.")
    return 0


def _cmd_show(args: argparse.Namespace) -> int:
    record = storage.load_simulation_result(args.simulation_id)
    if record is None:
        complain(f"no simulation result with ID {args.simulation_id}")
        return 1
    print(dump(record.model_dump(mode="json")))
    return 0


def _cmd_delete(args: argparse.Namespace) -> int:
    if not storage.delete_simulation_result(args.simulation_id):
        complain(f"no simulation result with ID {args.simulation_id}")
        return 1
    print(f"Deleted simulation result {args.simulation_id}.")
    return 0


def _describe(chosen: dict[str, str | None]) -> str:
    labels = {"simulation_type": "type", "component_name": "component", "factory_name": "factory", "pdk_name": "kit"}
    given = [f"{labels[key]} {value}" for key, value in chosen.items() if value is not None]
    return f" ({', '.join(given)})" if given else ""


def _cmd_clear(args: argparse.Namespace) -> int:
    chosen = filters(args, status=False)
    count = len(storage.list_simulation_results(**chosen))
    if count == 0:
        print("No simulation results to clear.")
        return 0
    if not args.yes:
        # A script that forgot --yes must not wipe a store because some input
        # happened to be waiting on its stdin.
        if not stdin_is_terminal():
            complain(f"refusing to clear {count} simulation result(s) without confirmation; use --yes")
            return 1
        if not confirm(f"Delete {count} simulation result(s){_describe(chosen)} from {get_simulations_dir()}? [y/N] "):
            print("Nothing deleted.")
            return 1
    removed = storage.clear_simulation_results(**chosen)
    print(f"Removed {removed} simulation result(s).")
    return 0


def register(add: Callable[[str, str], argparse.ArgumentParser]) -> None:
    sub = add("list", "List stored results, newest first.")
    add_filters(sub, status=True)
    sub.add_argument("--json", action="store_true", help="print a JSON array of the records")
    sub.set_defaults(handler=_cmd_list)

    sub = add("show", "Print one stored result as JSON.")
    sub.add_argument("simulation_id", metavar="ID", type=simulation_id)
    sub.set_defaults(handler=_cmd_show)

    sub = add("delete", "Delete one stored result.")
    sub.add_argument("simulation_id", metavar="ID", type=simulation_id)
    sub.set_defaults(handler=_cmd_delete)

    sub = add("clear", "Delete every result that matches the filters (all of them without filters).")
    add_filters(sub, status=False)
    sub.add_argument("-y", "--yes", action="store_true", help="do not ask for confirmation")
    sub.set_defaults(handler=_cmd_clear)
