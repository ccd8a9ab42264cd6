"""S-parameters of stored results as arrays, scikit-rf Networks, Touchstone files and lumora-results export."""

from __future__ import annotations

import numpy as np
import pytest
from conftest import identity, outcome

from lumora.cli import main
from lumora.sparams import SParametersError, sparameters

skrf = pytest.importorskip("skrf")

WAVELENGTHS = [1.50, 1.52, 1.55]  # ascending: the frequencies descend


def pairs(values):
    return [[float(z.real), float(z.imag)] for z in values]


def full(ports, seed=0):
    rng = np.random.default_rng(seed)
    return {f"{a},{b}": pairs(rng.normal(size=3) + 1j * rng.normal(size=3) / 3) for a in ports for b in ports}


@pytest.fixture
def saved(ss, store):
    def save(result, name="mmi1x2", **overrides):
        fields = outcome(result=result, wavelengths=WAVELENGTHS) | overrides
        return ss.save_simulation_result(**identity(component_name=name), **fields)

    return save


@pytest.mark.parametrize("ports", [["o1@0"], ["o1@0", "o2@0"], ["o1@0", "o2@0", "o3@0", "o4@0", "o5@0"]])
def test_touchstone_reads_back_in_ascending_frequency(saved, tmp_path, ports):
    result = full(ports)
    found = sparameters(saved(result))
    path = found.write_touchstone(tmp_path / "out")
    assert path.name == f"out.s{len(ports)}p"
    back = skrf.Network(str(path))
    assert back.port_names == ports
    assert "R 50" in path.read_text()
    np.testing.assert_allclose(back.f, 299_792_458.0 / (np.array(WAVELENGTHS[::-1]) * 1e-6), rtol=1e-12)
    np.testing.assert_allclose(back.s, found.to_network().s, rtol=1e-12)
    # Touchstone's S21 is from port 1 into port 2; the first frequency is the last wavelength.
    source, output = ports[0], ports[-1]
    assert back.s[0, len(ports) - 1, 0] == complex(*result[f"{source},{output}"][-1])


def test_ports_are_in_natural_order_whatever_the_key_order(saved):
    keys = ["o10@0,o2@0", "o2@1,o1@0", "o2@0,o10@0", "o1@0,o1@0"]
    orders = {
        sparameters(saved({key: full(["o1@0"])["o1@0,o1@0"] for key in ordered})).ports
        for ordered in (keys, keys[::-1])
    }
    assert orders == {("o1@0", "o2@0", "o2@1", "o10@0")}


def test_a_missing_pair_is_refused_unless_asked(saved):
    s21 = [[0.5, 0.1], [0.4, 0.2], [0.3, 0.3]]
    found = sparameters(saved({"o1@0,o2@0": s21}))
    assert list(found.pairs) == [("o1@0", "o2@0")]
    with pytest.raises(SParametersError, match=r"no S-parameter o1@0,o1@0 \(3 of the 4 port pairs missing\)"):
        found.to_network()
    assert np.count_nonzero(found.matrix(fill_missing=0)) == 3
    mirrored = found.reciprocal().matrix(fill_missing=0)
    np.testing.assert_array_equal(mirrored[:, 0, 1], mirrored[:, 1, 0])


@pytest.mark.parametrize(
    ("result", "overrides", "message"),
    [
        ({"neff": [2.4, 2.41, 2.42]}, {}, "its result member 'neff' is no port pair"),
        ({"o1@0,o2@0": [[1, 0]] * 3, "solver": "fdtd"}, {}, "its result member 'solver' is no port pair"),
        ({"o1@0,o2@0": [[1, 0]] * 2}, {}, r"'o1@0,o2@0' does not hold one \[re, im\] pair per wavelength \(3\)"),
        ({"o1@0,o2@0": [[True, False]] * 3}, {}, "does not hold one"),
        ({}, {"status": "error", "error_message": "diverged"}, "failed simulation, it holds no S-parameters: diverged"),
    ],
)
def test_what_is_not_s_parameters_is_refused_naming_why(saved, result, overrides, message):
    with pytest.raises(SParametersError, match=message):
        sparameters(saved(result, **overrides))


def test_a_result_not_stored_is_said_so(ss, store):
    with pytest.raises(
        SParametersError, match="^the result is not stored: load_simulation_result gave None for its ID$"
    ):
        sparameters(ss.load_simulation_result("0123456789abcdef"))


def test_complex_numbers_as_a_solver_returns_them_are_taken(saved):
    record = saved({"o1@0,o2@0": [[1, 0]] * 3}).model_dump()
    record["result"] = {"o1@0,o2@0": np.array([1j, 2, 3 - 1j])}
    np.testing.assert_array_equal(sparameters(record)["o1@0", "o2@0"], [1j, 2, 3 - 1j])


def test_export_writes_one_file_per_result_and_escapes_names(saved, tmp_path, capsys):
    odd = saved(full(["o1@0", "o\x1b[2J@0"]), name="ring\x1b[31m")
    plain = saved(full(["o1@0", "o2@0", "o3@0"]), name="mmi")
    modes = saved({"neff": [2.4, 2.41, 2.42]}, name="wg")
    half = saved({"o1@0,o2@0": full(["o1@0"])["o1@0,o1@0"]}, name="half")
    ids = [odd.simulation_id, plain.simulation_id, modes.simulation_id, half.simulation_id]
    assert main(["export", *ids, "-o", str(tmp_path / "out")]) == 1
    assert sorted(path.name for path in (tmp_path / "out").iterdir()) == [f"{ids[0]}.s2p", f"{ids[1]}.s3p"]
    out, err = capsys.readouterr()
    assert "\x1b" not in out + err
    assert "(ring\\x1b[31m; ports 1 o1@0, 2 o\\x1b[2J@0)" in out
    assert f"{ids[2]} (wg, sparams) is not S-parameters" in err
    assert f"{ids[3]} (half) has no S-parameter o1@0,o1@0 (3 of the 4 port pairs missing)" in err
    assert main(["export", ids[3], "-o", str(tmp_path / "out"), "--reciprocal", "--zero-missing"]) == 0
    assert skrf.Network(str(tmp_path / "out" / f"{ids[0]}.s2p")).port_names == ["o1@0", "o\\x1b[2J@0"]
