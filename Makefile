# Entry points: `make test`, `make build`, `make bench`, `make demo`, `make clean`.
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
extras = project["optional-dependencies"]
names += project["dependencies"] + extras["test"] + extras["lint"]
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
	--config-settings=build-dir=build/sanitize-{wheel_tag} \
	--config-settings=install.strip=false
TEST_ENV += LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0
endif

# check-asan: the suite against the extension built with ASan and UBSan, the
# runtimes preloaded and the interpreter allocating through malloc, so that
# the sanitizers see every Python object. Two passes:
# - the whole suite for memory errors and undefined behaviour;
# - LeakSanitizer over LEAK_TESTS, which drive every function through every
#   success and failure path. Leaks of the interpreter itself at exit
#   (immortal interned strings, the Rust extensions' statics) are suppressed
#   by tests/lsan.supp; the module's own are reported. Allocation stacks must
#   be unwound the slow way (the interpreter has no frame pointers), which
#   makes every allocation several times dearer: hence a pass of its own,
#   over those tests only.
# The plain extension is reinstalled afterwards, whatever the outcome.
SANITIZER_ENV = LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	PYTHONMALLOC=malloc \
	LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
LEAK_TESTS := tests/test_faults.py tests/test_soak.py

# soak: every function on its success and error paths, SOAK_ITERATIONS times
# each, failing when memory grows with the number of calls (about half an
# hour at the default; tests/test_soak.py runs a short version).
SOAK_ITERATIONS := 100000

.PHONY: test build bench demo clean distclean check-asan soak lint

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

check-asan:
	$(MAKE) build SANITIZE=1
	$(SANITIZER_ENV) ASAN_OPTIONS=detect_leaks=0 $(VENV_PYTHON) -m pytest $(PYTEST_ARGS) \
	&& $(SANITIZER_ENV) ASAN_OPTIONS=detect_leaks=1:fast_unwind_on_malloc=0:malloc_context_size=10 \
		$(VENV_PYTHON) -m pytest $(PYTEST_ARGS) $(LEAK_TESTS); \
	status=$$?; $(MAKE) build && exit $$status

# lint: the layout of core/ (clang-format must leave every file unchanged),
# ruff's checks and formatting over the Python sources, and mypy --strict
# over the package, the benchmarks and the tools. The tools come from the
# `lint` extra.
CXX_SOURCES = $(shell find core -name '*.cpp' -o -name '*.hpp')
PY_SOURCES := src tests bench tools
lint: $(INSTALLED)
	$(VENV)/bin/clang-format --dry-run --Werror $(CXX_SOURCES)
	$(VENV)/bin/ruff check $(PY_SOURCES)
	$(VENV)/bin/ruff format --check $(PY_SOURCES)
	$(VENV_PYTHON) -m mypy --strict src/lumora bench tools

soak: build
	$(VENV_PYTHON) tools/soak.py -n $(SOAK_ITERATIONS)

# The extension timed against the plain-Python baseline in bench/; a table on
# stdout. BENCH_ARGS="--quick" for a short smoke run, "--json FILE" for raw figures.
# Then the store on other file systems, and how result files are read.
bench: build
	$(VENV_PYTHON) bench/run.py $(BENCH_ARGS)
	$(VENV_PYTHON) bench/remote.py $(BENCH_REMOTE_ARGS)
	$(VENV_PYTHON) bench/read_file.py

# Fills the default store (build/simulations, unless LUMORA_SIMULATIONS_DIR
# says otherwise) with sample results and walks through the API.
demo: build
	$(VENV)/bin/lumora-results demo

# Keeps build/simulations: that is the default store, and results are data.
clean:
	rm -rf $$(ls -d build/* 2>/dev/null | grep -vx build/simulations) dist .pytest_cache .hypothesis .mypy_cache src/*.egg-info
	find src tests -name __pycache__ -type d -prune -exec rm -rf {} +

distclean: clean
	rm -rf $(VENV)
