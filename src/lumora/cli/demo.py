"""demo: fill the store with sample results and show the store at work."""

from __future__ import annotations

import argparse
from collections.abc import Callable


def _cmd_demo(args: argparse.Namespace) -> int:
    from lumora.demo import Demo  # only this command needs it

    Demo().run()
    return 0


def register(add: Callable[[str, str], argparse.ArgumentParser]) -> None:
    sub = add("demo", "Fill the store with sample results and show the store at work.")
    sub.set_defaults(handler=_cmd_demo)
