#!/usr/bin/env bash
# Runs README's quick start as printed, from the top of the repository: the
# shell block that follows "<!-- quickstart -->". For CI, on a fresh clone.
set -euo pipefail
cd "$(dirname "$0")/.."
script=$(awk '/<!-- quickstart -->/ {found=1; next} found && /^```sh$/ {inside=1; next} inside && /^```$/ {exit} inside {print}' README.md)
if [ -z "$script" ]; then
    echo "README has no quick start block" >&2
    exit 1
fi
printf '%s\n' "$script" | sed 's/^/+ /'
bash -euo pipefail -c "$script"
