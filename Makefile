# Entry points: `make test`, `make build`, `make demo`, `make clean`.
#
# The project is installed into .venv in editable mode without build
# isolation, so that the CMake build tree under build/ is reused: after a C++
# change `make build` (and every `make test`) recompiles only what changed,
# and Python sources under src/ are used in place.

SHELL := /bin/bash

# CPython 3.13: `python3.13` when it runs, otherwise the newest pyenv 3.13.
PYTHON = $(shell \
	if python3.13 -V >/dev/null 2>&1; then echo python3.13; \
	else root=$$(pyenv root 2>/dev/null || echo "$${PYENV_ROOT:-$$HOME/.pyenv}"); \
	  ls -d "$$root"/versions/3.13*/bin/python3.13 2>/dev/null | sort -V | tail -n 1; fi)

VENV := .venv
VENV_PYTHON := $(VENV)/bin/python
PIP := $(VENV_PYTHON) -m pip install --disable-pip-version-check --quiet
# What pyproject.toml names for building, running and testing. The build runs
# in the venv, so the build requirements go there too, with CMake and Ninja
# (which scikit-build-core would otherwise add only to an isolated build).
define REQUIREMENTS
import tomllib
data = tomllib.load(open("pyproject.toml", "rb"))
project = data["project"]
names = data["build-system"]["requires"] + ["cmake>=3.26", "ninja>=1.10"]
names += project["dependencies"] + project["optional-dependencies"]["test"]
print("\n".join(names))
endef
export REQUIREMENTS
# Marks an install of the dependencies that matches pyproject.toml.
INSTALLED := $(VENV)/.lumora-installed

# SANITIZE=1: build with ASan and UBSan in a separate build tree and preload
# the sanitizer runtimes into the test interpreter.
SKBUILD_ARGS :=
TEST_ENV :=
ifeq ($(SANITIZE),1)
SKBUILD_ARGS += --config-settings=cmake.define.LUMORA_SANITIZE=ON \
	--config-settings=build-dir=build/sanitize-{wheel_tag}
TEST_ENV += LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0
endif

.PHONY: test build demo clean distclean

test: build
	$(TEST_ENV) $(VENV_PYTHON) -m pytest $(PYTEST_ARGS)

# Rebuilds the extension incrementally and reinstalls it into the venv. The
# dependencies are (re)installed only when pyproject.toml is newer than the
# last install.
build: $(INSTALLED)
	$(PIP) --no-build-isolation --no-deps $(SKBUILD_ARGS) --editable .

$(INSTALLED): pyproject.toml | $(VENV_PYTHON)
	$(VENV_PYTHON) -c "$$REQUIREMENTS" > $(VENV)/requirements.txt
	$(PIP) --requirement $(VENV)/requirements.txt
	touch $@

$(VENV_PYTHON):
	@if [ -z "$(PYTHON)" ]; then \
		echo "CPython 3.13 not found: install it (for example with pyenv) or pass PYTHON=/path/to/python3.13" >&2; \
		exit 1; fi
	$(PYTHON) -m venv $(VENV)

demo:
	@echo "The demonstration arrives with the command-line tool (lumora-results); nothing to run yet." >&2
	@exit 1

clean:
	rm -rf build dist .pytest_cache .hypothesis .mypy_cache src/*.egg-info
	find src tests -name __pycache__ -type d -prune -exec rm -rf {} +

distclean: clean
	rm -rf $(VENV)
