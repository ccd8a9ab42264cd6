"""lumora-results: look into and tidy the local store of simulation results.

Installed as the ``lumora-results`` command; ``python -m lumora.results`` runs
the same tool, which lives in ``lumora.cli``.
"""

from __future__ import annotations

import sys

from lumora.cli import build_parser, format_table, main

__all__ = ["build_parser", "format_table", "main"]

if __name__ == "__main__":
    sys.exit(main())
