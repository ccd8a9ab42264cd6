"""The parser and the entry point: global options, command groups, exit statuses."""

from __future__ import annotations

import argparse
import os
import sys

from lumora import __version__
from lumora.cli import cache, copy, demo, export, plot, store, upkeep
from lumora.cli._messages import complain, log_to_stderr
from lumora.logger import one_line
from lumora.settings import STORE_ENV, environ, get_simulations_dir
from lumora.text import PROG, printable

# Each group module adds its commands through register(add); they appear in
# this order in the help.
GROUPS = (store, cache, upkeep, copy, plot, export, demo)


def _store(text: str) -> str:
    """An argparse type: a --store value, refused at once when it is a URL
    that no store can be reached at (a missing driver, no bucket), so that
    the message names --store rather than the variable it is passed in."""
    with environ(STORE_ENV, text):
        try:
            get_simulations_dir()
        except (ImportError, ValueError) as exc:
            raise argparse.ArgumentTypeError(printable(str(exc).replace(STORE_ENV, "--store"))) from None
    return text


def _add_global_options(parser: argparse.ArgumentParser, *, in_subcommand: bool) -> None:
    # Accepted before and after the command; SUPPRESS keeps a subcommand's
    # absent option from overwriting what was given before the command.
    parser.add_argument(
        "--store",
        metavar="DIR",
        type=_store,
        default=argparse.SUPPRESS if in_subcommand else None,
        help=f"store root for this invocation (overrides ${STORE_ENV})",
    )
    parser.add_argument(
        "--debug",
        action="store_true",
        default=argparse.SUPPRESS if in_subcommand else False,
        help="show debug messages and full tracebacks",
    )


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="List, show, compare, copy, plot, export and remove stored simulation results.",
        epilog=f"The store is ${STORE_ENV}, or build/simulations below $LUMORA_BUILD_DIR or the current directory.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    _add_global_options(parser, in_subcommand=False)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def add(name: str, summary: str) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=summary, description=summary)
        _add_global_options(sub, in_subcommand=True)
        return sub

    for group in GROUPS:
        group.register(add)
    return parser


def main(argv: list[str] | None = None) -> int:
    """Run the tool with ``argv`` (default: the process's arguments); return the exit status.

    0 success (also when the reader of the output went away), 1 nothing found,
    refused or a failure of the store, 2 usage error.
    """
    try:
        status = _run(argv)
        # Output still buffered would meet a closed pipe at exit, past any handler.
        sys.stdout.flush()
    except BrokenPipeError:
        # The reader went away (`lumora-results list | head`): it had what it
        # wanted, so this is no failure, and nothing is said.
        _silence_stdout()
        return 0
    return status


def _run(argv: list[str] | None) -> int:
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exit_:  # argparse reports usage errors and --help this way
        return exit_.code if isinstance(exit_.code, int) else (0 if exit_.code is None else 2)

    with environ(STORE_ENV, args.store), log_to_stderr(args.debug):
        try:
            status: int = args.handler(args)
        except KeyboardInterrupt:
            print(file=sys.stderr)
            return 130
        except BrokenPipeError:
            raise  # no failure of the store: main() ends quietly
        except Exception as exc:
            if args.debug:
                raise
            complain(f"error: {one_line(exc)}")
            return 1
    return status


def _silence_stdout() -> None:
    # Python flushes stdout again at exit and would complain about the pipe.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError, AttributeError):
        pass
