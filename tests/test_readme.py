"""README's quick start shows the example as it is, and the example runs."""

import os
import re
import runpy
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent


def test_readme_shows_the_examples_as_they_are():
    shown = re.findall(r"<!-- example: (\S+) -->\n```python\n(.*?)```", (ROOT / "README.md").read_text(), re.S)
    assert shown
    for path, text in shown:
        assert (ROOT / path).read_text() == text, f"README shows another {path}"


def test_first_simulation(tmp_path, monkeypatch, capsys):
    pytest.importorskip("skrf")
    monkeypatch.setenv("LUMORA_SIMULATIONS_DIR", str(tmp_path / "store"))
    monkeypatch.chdir(tmp_path)
    for _ in range(2):  # the second run is a hit
        runpy.run_path(os.fspath(ROOT / "examples" / "first_simulation.py"), run_name="__main__")
    first, second = capsys.readouterr().out.split("coupler.s4p\n", 1)
    # The ID that README's commands name.
    assert first.startswith("stored as f3e09d9b092ba080 ") and second.startswith("stored as f3e09d9b092ba080 ")
    assert "power across at 1.55 um: 0.5\n" in first
    assert (tmp_path / "coupler.s4p").read_text().count("! Port[") == 4
