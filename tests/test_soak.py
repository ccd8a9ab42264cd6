"""The leak soak (tools/soak.py) in a short run: memory must not grow with
the number of calls on any success or error path."""

from __future__ import annotations

import os
import pathlib
import subprocess
import sys

SOAK = pathlib.Path(__file__).resolve().parent.parent / "tools" / "soak.py"


def test_memory_stays_flat_over_repeated_calls(tmp_path):
    args = ["-n", "1000", "--rounds", "5"]
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        # Under the sanitizers LeakSanitizer checks the run at exit, freed
        # memory sits in quarantine (RSS only grows) and every call is slower.
        args = ["-n", "10", "--rounds", "1", "--rss-bound-kib", "0"]
    run = subprocess.run([sys.executable, str(SOAK), *args], capture_output=True, text=True, cwd=tmp_path, timeout=600)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "soak: passed" in run.stdout
