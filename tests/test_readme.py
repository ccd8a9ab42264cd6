"""README's examples that say they are tested run as printed."""

import os
import re
import runpy
from pathlib import Path

import pytest

README = Path(__file__).resolve().parent.parent / "README.md"


def example(name: str) -> str:
    match = re.search(rf"<!-- tested: {name} -->\n```python\n(.*?)```", README.read_text(), re.S)
    assert match, f"README has no tested example {name}"
    return match.group(1)


def test_numpy_solver_to_touchstone(tmp_path, monkeypatch, capsys):
    pytest.importorskip("skrf")
    monkeypatch.setenv("LUMORA_SIMULATIONS_DIR", str(tmp_path / "store"))
    monkeypatch.chdir(tmp_path)
    script = tmp_path / "example.py"
    script.write_text(example("numpy-to-touchstone"))
    for _ in range(2):  # the second run is a hit
        runpy.run_path(os.fspath(script), run_name="__main__")
    first, second = capsys.readouterr().out.split("coupler.s4p\n", 1)
    assert first.splitlines()[0] == second.splitlines()[0]
    assert abs(float(first.splitlines()[1]) - 0.5) < 1e-9
    assert (tmp_path / "coupler.s4p").read_text().count("! Port[") == 4
