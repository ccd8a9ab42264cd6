"""lumora: storage of photonic component simulation results."""

__version__ = "0.1.0"
