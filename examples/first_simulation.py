"""A first cached simulation: run it twice, and the second run finds the
stored result instead of solving again."""

import numpy as np

from lumora.cache import get_or_simulate
from lumora.sparams import sparameters

PORTS = {"through": [("o1@0", "o3@0"), ("o2@0", "o4@0")], "cross": [("o1@0", "o4@0"), ("o2@0", "o3@0")]}


def solve(gap: float, length: float):
    """Stands in for a real solver: a lossless directional coupler."""
    wavelengths = np.linspace(1.5, 1.6, 201)  # micrometres
    kappa = np.sin(np.pi / 2 * length / 40 * np.exp(-(gap - 0.2)) * 1.55 / wavelengths)
    waves = {"through": np.sqrt(1 - kappa**2) + 0j, "cross": 1j * kappa}  # complex arrays
    result = {}
    for kind, pairs in PORTS.items():
        for a, b in pairs:
            result[f"{a},{b}"] = result[f"{b},{a}"] = waves[kind]
    return result, wavelengths


settings = {"gap": 0.2, "length": 20.0}
record = get_or_simulate(
    component_name="coupler",
    factory_name="coupler",
    component_settings=settings,
    model_parameters={},
    hyperparameters={"wavelength_points": 201},
    simulation_type="sparams",
    simulate=lambda: solve(**settings),
)
sp = sparameters(record)
print("stored as", record.simulation_id, "with ports", sp.ports)
print("power across at 1.55 um:", round(abs(sp["o1@0,o4@0"][100]) ** 2, 6))
# Reflections and isolation were not simulated: written as zeros.
print("Touchstone file:", sp.write_touchstone("coupler", fill_missing=0))
