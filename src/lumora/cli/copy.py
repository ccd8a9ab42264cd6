"""copy: result files into another store, byte for byte."""

from __future__ import annotations

import argparse
from collections.abc import Callable
from typing import TYPE_CHECKING

from lumora.cli._arguments import add_filters, filters
from lumora.cli._messages import complain, store_is_missing
from lumora.settings import STORE_ENV
from lumora.text import printable

# lumora.copy loads the catalog and the store's paths: imported when a copy is asked for.
if TYPE_CHECKING:
    from lumora.copy import CopyReport


def _target(text: str) -> str:
    """An argparse type: a --to value that names a store, said at once otherwise."""
    from lumora.copy import store_at

    try:
        store_at(text)
    except (ImportError, ValueError) as exc:
        raise argparse.ArgumentTypeError(printable(str(exc).replace(STORE_ENV, "--to"))) from None
    return text


def summary(report: CopyReport) -> str:
    """The last line of a copy: how many files went each way."""
    return (
        f"Copied {len(report.copied)} file(s); {len(report.skipped)} skipped (already there), "
        f"{len(report.refused)} refused, {len(report.failed)} failed."
    )


def _cmd_copy(args: argparse.Namespace) -> int:
    from lumora.copy import copy_results

    if store_is_missing():
        return 1
    report = copy_results(args.to, overwrite=args.overwrite, **filters(args, status=True))
    if not (report.copied or report.skipped or report.refused or report.failed):
        print("No simulation results to copy.")
        return 0
    for name in report.refused:
        complain(f"refused: {name}")
    if report.refused:
        complain("refused files differ in the target; --overwrite replaces them")
    for name, why in report.failed:
        complain(f"failed: {name}: {why}")
    print(summary(report))
    return 0 if report.complete else 1


def register(add: Callable[[str, str], argparse.ArgumentParser]) -> None:
    sub = add("copy", "Copy result files unchanged into another store (a directory or a URL).")
    sub.add_argument("--to", metavar="URL", required=True, type=_target, help="the store to copy into")
    add_filters(sub, status=True)
    sub.add_argument("--overwrite", action="store_true", help="replace a different file of the same name in the target")
    sub.set_defaults(handler=_cmd_copy)
