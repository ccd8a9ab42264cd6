"""Native core of lumora: the simulation results store and its helpers."""
