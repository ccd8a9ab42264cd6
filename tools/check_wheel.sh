#!/usr/bin/env bash
# Installs a built wheel into a fresh virtual environment outside the source
# tree, as a user would, and tries it from there: the extension imports from
# the installed package (not from src/), saves and finds a result in a
# throw-away store, and the command reports the package's version.
#
#     tools/check_wheel.sh PYTHON WHEEL
set -euo pipefail
python=$1
wheel=$(realpath "$2")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"

"$python" -m venv venv
venv/bin/python -m pip install --disable-pip-version-check --quiet "$wheel"

LUMORA_SIMULATIONS_DIR="$scratch/store" venv/bin/python - "$scratch" <<'PY'
import sys
from pathlib import Path

import lumora
from lumora.core import simulation_storage as storage
from lumora.models import SimulationHyperparameters

scratch = Path(sys.argv[1]).resolve()
where = Path(storage.__file__).resolve()
assert where.is_relative_to(scratch / "venv"), f"extension imported from {where}, not the fresh venv"
identity = dict(
    component_name="mmi1x2",
    factory_name="mmi1x2",
    component_settings={"length": 5.5},
    model_parameters={},
    hyperparameters=SimulationHyperparameters(),
    simulation_type="sparams",
)
saved = storage.save_simulation_result(
    **identity, result={"s21": [0.5]}, wavelengths=[1.55], execution_time_seconds=0.1
)
found = storage.find_simulation_result(**identity)
assert found is not None and found.simulation_id == saved.simulation_id, found
print(f"lumora {lumora.__version__}: {where.name} from the fresh venv saved and found {saved.simulation_id}")
PY

expected=$(venv/bin/python -c 'import lumora; print(lumora.__version__)')
reported=$(venv/bin/lumora-results --version)
echo "lumora-results --version: $reported"
[[ $reported == *"$expected"* ]] || { echo "expected version $expected" >&2; exit 1; }
