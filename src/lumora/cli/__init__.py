"""lumora-results: look into and tidy the store of simulation results.

The store is the one that ``lumora.settings`` names, unless ``--store DIR``
names another for one invocation. Each group of commands is a module of this
package; ``_app`` puts them together.
"""

from lumora.cli._app import build_parser, main
from lumora.text import format_table

__all__ = ["build_parser", "format_table", "main"]
