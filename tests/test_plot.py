"""Plots of stored results: what plot_results draws, and the files lumora-results plot writes."""

from __future__ import annotations

import math
import re
import struct
import sys
import warnings

import pytest
from conftest import identity, outcome

from lumora.cli import main

plt = pytest.importorskip("matplotlib.pyplot")
from matplotlib.figure import Figure  # noqa: E402

from lumora.plot import PlotError, plot_figure, plot_results  # noqa: E402

WAVELENGTHS = [1.50, 1.51, 1.52, 1.53]
# |s|^2 of 1, 0.01, 0.25, 1; the raw phase jumps from -pi/2 to +pi at the end.
S21 = [[0.6, 0.8], [0.1, 0.0], [0.0, -0.5], [-1.0, 0.0]]
RESULT = {
    "o1@0,o2@0": S21,
    "neff": [2.40, 2.41, 2.42, 2.43],
    "short": [1.0],  # not one value per wavelength
    "flags": [True, False, True, False],  # not numbers to draw
    "solver": "fdtd",
}


@pytest.fixture(autouse=True)
def headless():
    plt.switch_backend("agg")  # whatever display the test runs beside
    yield
    plt.close("all")


@pytest.fixture
def saved(ss, store):
    def save(name="mmi1x2", **overrides):
        fields = outcome(result=RESULT, wavelengths=WAVELENGTHS) | overrides
        return ss.save_simulation_result(**identity(component_name=name), **fields)

    return save


def curves(figure):
    """Every line drawn, by label: (index of its axes in the figure, y values)."""
    return {
        line.get_label(): (index, [float(y) for y in line.get_ydata()])
        for index, ax in enumerate(figure.axes)
        for line in ax.get_lines()
    }


def draw(records, **options):
    return plot_figure(records, pyplot=False, **options)


@pytest.mark.parametrize(
    ("linear", "expected", "unit"),
    [(False, [0.0, -20.0, 10 * math.log10(0.25), 0.0], "|s|² (dB)"), (True, [1.0, 0.1, 0.5, 1.0], "|s|")],
)
def test_pairs_are_drawn_as_power_or_magnitude_and_numbers_as_they_are(saved, linear, expected, unit):
    figure = draw(saved(), linear=linear, ylim=(-30, 5))
    # Powers and plain numbers share no scale: a panel each, powers above.
    assert curves(figure) == {"o1@0,o2@0": (0, pytest.approx(expected)), "neff": (1, RESULT["neff"])}
    assert [ax.get_ylabel() for ax in figure.axes] == [unit, "neff"]
    assert [ax.get_xlabel() for ax in figure.axes] == ["", "Wavelength (µm)"]
    assert [ax.get_ylim() for ax in figure.axes] == [(-30, 5)] * 2


def test_phase_panel_holds_the_unwrapped_phase_of_pairs_only(saved):
    figure = draw(saved(), phase=True)
    phase_axes = figure.axes[2]
    assert [line.get_label() for line in phase_axes.get_lines()] == ["o1@0,o2@0"]
    phases = list(phase_axes.get_lines()[0].get_ydata())
    assert phases == pytest.approx([math.atan2(0.8, 0.6), 0.0, -math.pi / 2, -math.pi])
    assert phase_axes.get_ylabel() == "Unwrapped phase (rad)"


def test_overlay_keeps_only_the_series_asked_for(saved, monkeypatch):
    first = saved()
    monkeypatch.setenv("LUMORA_PDK", "si220")
    second = saved("mmi2x2")
    figure = draw([first, second.model_dump(mode="json")], keys=["o1@0,o2@0"])
    # Labelled by what differs between them, not by their IDs.
    labels = ["component=mmi1x2", "component=mmi2x2"]
    assert sorted(curves(figure)) == [f"{label}: o1@0,o2@0" for label in labels]
    assert [t.get_text() for t in figure.legends[0].get_texts()] == labels
    assert figure.axes[0].get_title() == "o1@0,o2@0"
    assert re.fullmatch(r"Design kits generic, si220 · simulated \d{4}-\d\d-\d\d", figure.get_suptitle())


@pytest.mark.parametrize(
    ("overrides", "options", "message"),
    [
        ({"status": "error", "error_message": "diverged", "result": {}}, {}, "is a failed simulation.*: diverged"),
        ({"result": {"short": [1.0], "solver": "fdtd"}}, {}, "has no series of 4 numbers"),
        ({"wavelengths": []}, {}, "has no wavelengths"),
        ({}, {"keys": ["o9@0,o9@0"]}, "has no series o9@0,o9@0"),
        ({"result": {"neff": RESULT["neff"]}}, {"phase": True}, "a phase needs series of \\[re, im\\] pairs"),
    ],
)
def test_what_cannot_be_drawn_is_refused_before_drawing(saved, overrides, options, message):
    figure = Figure()
    axes = figure.subplots(2, 1) if options.get("phase") else figure.subplots()
    with pytest.raises(PlotError, match=message):
        plot_results(saved(**overrides), axes, **options)
    assert curves(figure) == {}


@pytest.mark.parametrize(
    ("records", "message"),
    [
        (lambda record: None, "a result to draw is not stored: load_simulation_result gave None for its ID"),
        (lambda record: [record, None], "a result to draw is not stored (number 2 of 2): load_simulation_result"),
    ],
    ids=["one", "of two"],
)
def test_a_result_not_stored_is_said_so(saved, records, message):
    with pytest.raises(PlotError, match=f"^{re.escape(message)}"):
        plot_results(records(saved()))


def png_size(data):
    width, height = struct.unpack(">II", data[16:24])  # the IHDR chunk comes first
    return f"{width}x{height}"


@pytest.mark.parametrize(
    ("name", "options", "magic", "size"),
    [
        ("plot.png", ["--series", "neff"], b"\x89PNG\r\n\x1a\n", "1100x500"),
        ("plot.png", ["--phase", "--dpi", "50"], b"\x89PNG\r\n\x1a\n", "550x500"),
        ("plot.svg", ["--linear"], b"<?xml", 'width="792pt" height="540pt"'),
        ("PLOT.PDF", ["--phase"], b"%PDF-", "/MediaBox [ 0 0 792 720 ]"),
    ],
)
def test_output_file_is_an_image_of_its_suffix_and_size(saved, tmp_path, capsys, name, options, magic, size):
    record = saved()
    target = tmp_path / name
    assert main(["plot", record.simulation_id, "-o", str(target), *options]) == 0
    assert capsys.readouterr().out == f"{target}\n"
    data = target.read_bytes()
    assert data.startswith(magic)
    if name.endswith(".png"):
        assert png_size(data) == size
    else:
        assert size.encode() in data


def test_without_a_display_the_plot_goes_to_a_file_named_by_the_ids(saved, tmp_path, monkeypatch, capsys):
    monkeypatch.setattr(sys, "platform", "linux")
    monkeypatch.delenv("DISPLAY", raising=False)
    monkeypatch.delenv("WAYLAND_DISPLAY", raising=False)
    monkeypatch.chdir(tmp_path)
    ids = [saved().simulation_id, saved("mmi2x2").simulation_id]
    assert main(["plot", *ids, ids[0]]) == 0
    name = f"{ids[0]}+{ids[1]}.png"
    assert capsys.readouterr().out == f"{name}\n"
    assert (tmp_path / name).read_bytes().startswith(b"\x89PNG")


def test_with_a_display_a_window_opens_and_nothing_is_written(saved, tmp_path, monkeypatch):
    import lumora.cli.plot as command

    shown = []
    monkeypatch.setenv("DISPLAY", ":0")
    monkeypatch.setattr(command, "_window_backend", lambda: True)
    monkeypatch.setattr(plt, "show", lambda: shown.append(plt.gcf()))
    monkeypatch.chdir(tmp_path)
    record = saved()
    assert main(["plot", record.simulation_id, "--series", "neff"]) == 0
    assert list(curves(shown[0])) == ["neff"]
    assert list(tmp_path.iterdir()) == [tmp_path / "store"]


@pytest.mark.parametrize(
    ("case", "status", "message"),
    [
        ("failed", 1, "lumora-results: .* is a failed simulation, nothing to draw: diverged\n"),
        ("missing", 1, "lumora-results: simulation 0123456789abcdef is not stored\n"),
        ("no matplotlib", 1, "lumora-results: plotting needs matplotlib.*pip install 'lumora\\[plot\\]'\n"),
        ("bad suffix", 2, ".*the file name must end in .png, .svg, .pdf\n"),
    ],
)
def test_what_cannot_be_plotted_is_said_in_one_line(saved, tmp_path, monkeypatch, capsys, case, status, message):
    simulation = saved(status="error", error_message="diverged", result={}).simulation_id
    argv = ["plot", simulation, "-o", str(tmp_path / "out.png")]
    if case == "missing":
        argv[1] = "0123456789abcdef"
    elif case == "no matplotlib":
        monkeypatch.setitem(sys.modules, "matplotlib", None)  # makes the import fail
    elif case == "bad suffix":
        argv[-1] = str(tmp_path / "out.jpg")
    assert main(argv) == status
    err = capsys.readouterr().err
    assert re.fullmatch(message, err.splitlines()[-1] + "\n")
    assert status == 2 or err.count("\n") == 1
    assert not (tmp_path / "out.png").exists()


# Each of these fails as mathtext: unbalanced, and nested beyond the parser's recursion.
MATH = ["$^{x$", "$" + "{" * 40 + "x" + "}" * 40 + "$"]


@pytest.mark.parametrize("name", MATH, ids=["unbalanced", "nested"])
@pytest.mark.parametrize("where", ["component", "key", "kit"])
def test_names_are_drawn_literally(saved, tmp_path, monkeypatch, capsys, where, name):
    monkeypatch.setenv("LUMORA_PDK", name if where == "kit" else "generic")
    record = saved(name if where == "component" else "c", result={name if where == "key" else "s": [1.0] * 4})
    target = tmp_path / "out.png"
    assert main(["plot", record.simulation_id, "-o", str(target)]) == 0
    assert capsys.readouterr().err == ""
    figure = draw(record)
    shown = [figure.get_suptitle(), figure.axes[0].get_ylabel(), *(t.get_text() for t in figure.legends[0].get_texts())]
    assert any(name in text for text in shown)
    assert not any(text.get_parse_math() for text in figure.findobj(plt.Text) if text.get_text())


@pytest.mark.parametrize(
    ("overrides", "options", "shown"),
    [
        ({"result": {"s": [0.0, 1e308, 0.0, 0.0]}}, [], r"s holds 1e\+308"),
        ({"result": {"s": [1e308] * 4}}, [], r"s holds 1e\+308"),
        ({"wavelengths": [1.5, 1.6, 1.7, 1e308]}, [], r"wavelength holds 1e\+308"),
        ({"result": {"p": [[1e308, 1e308]] * 4}}, ["--linear"], r"p holds \[1e\+308, 1e\+308\]"),
    ],
    ids=["series", "flat", "wavelengths", "magnitude"],
)
def test_values_beyond_the_axes_are_refused_in_one_line(saved, tmp_path, capsys, overrides, options, shown):
    record = saved(**overrides)
    target = tmp_path / "out.png"
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert main(["plot", record.simulation_id, "-o", str(target), *options]) == 1
    err = capsys.readouterr().err
    assert re.fullmatch(f"lumora-results: .*: {shown}, too large to place on a plot\n", err)
    assert caught == [] and not target.exists()


def test_huge_pairs_are_drawn_in_decibels_without_overflow(saved):
    record = saved(result={"p": [[1e200, 0.0], [0.0, 0.0], [1.0, 0.0], [0.0, 1e-200]]})
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        _, power = curves(draw(record)).popitem()[1]
    assert power == pytest.approx([4000.0, -math.inf, 0.0, -4000.0])
