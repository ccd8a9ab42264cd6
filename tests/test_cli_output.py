"""What lumora-results lets reach the terminal, and the input it refuses."""

from __future__ import annotations

import json
import os
import time
import unicodedata
import warnings

import orjson
import pytest
from conftest import identity, outcome
from test_cli import run

# A window title (OSC ... BEL), a colour (CSI), C1 controls, a backspace and DEL.
HOSTILE = "\x1b]0;owned\x07\x1b[31m\x9b\x85\x08\x7f"


@pytest.fixture
def hostile(ss, tmp_path, monkeypatch):
    """A store in which every name that a command may show holds HOSTILE."""
    root = tmp_path / f"store{HOSTILE}"
    monkeypatch.setenv("LUMORA_SIMULATIONS_DIR", str(root))
    monkeypatch.setenv("LUMORA_PDK", f"kit{HOSTILE}")
    names = identity(
        component_name=f"c{HOSTILE}",
        factory_name=f"f{HOSTILE}",
        component_settings={HOSTILE: HOSTILE},
        simulation_type=f"t{HOSTILE}",
    )
    good = ss.save_simulation_result(**names, **outcome(result={f"s{HOSTILE}": [0.5, 0.6]}))
    bad = ss.save_simulation_result(
        **{**names, "model_parameters": {}}, **outcome(status="error", error_message=f"boom{HOSTILE}")
    )
    monkeypatch.delenv("LUMORA_PDK")
    folder = root / names["simulation_type"]
    # Unreadable: its reason names the unknown member.
    record = orjson.loads(ss._find_simulation_file(good.simulation_id).read_bytes())
    record["hyperparameters"][HOSTILE] = 1
    (folder / f"x{HOSTILE}_00000000000000ff.json").write_bytes(orjson.dumps(record))
    stale = folder / f".x{HOSTILE}.json.0123456789abcdef.tmp"
    stale.write_bytes(b"{")
    os.utime(stale, (time.time() - 7200,) * 2)
    request = tmp_path / "request.json"
    request.write_text(json.dumps(good.model_dump(mode="json")))
    return {"good": good.simulation_id, "bad": bad.simulation_id, "request": str(request), "tmp": str(tmp_path)}


@pytest.mark.parametrize(
    "argv",
    [
        ["list"],
        ["list", "--wide"],
        ["list", "--json"],
        ["show", "{good}"],
        ["diff", "{good}", "{bad}"],
        ["diff", "--json", "{good}", "{bad}"],
        ["explain", "{request}"],
        ["explain", "--json", "{request}"],
        ["stats"],
        ["stats", "--json"],
        ["prune", "--dry-run", "--older-than", "0d"],
        ["prune", "--older-than", "0d"],
        ["prune", "--yes", "--older-than", "0d"],
        ["tidy", "--dry-run"],
        ["tidy"],
        ["tidy", "--yes"],
        ["clear"],
        ["clear", "--yes"],
        ["delete", "{good}"],
        ["plot", "{good}", "-o", "{tmp}/plot" + HOSTILE + ".png"],
        ["plot", "{bad}", "-o", "{tmp}/plot.png"],
        ["demo"],
    ],
    ids=" ".join,
)
def test_no_command_lets_controls_reach_the_terminal(hostile, capsys, argv):
    with warnings.catch_warnings(record=True) as caught:  # outside pytest they go to stderr
        warnings.simplefilter("always")
        code, out, err = run(capsys, *(arg.format(**hostile) for arg in argv))
    assert code in (0, 1), err
    err += "".join(str(warning.message) for warning in caught)
    raw = {char for char in out + err if unicodedata.category(char) == "Cc"} - {"\n"}
    assert not raw, (out, err)
