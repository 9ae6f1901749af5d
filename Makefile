# make demo / make test work from a fresh machine: they install what is missing first, and
# each step says in one line what it does before it starts.
SHELL := /bin/bash
# A step whose output goes through a filter still fails when the step fails.
.SHELLFLAGS := -o pipefail -c
.DEFAULT_GOAL := test

VENV        := .venv
PY          := $(VENV)/bin/python
PIP         := $(PY) -m pip
# CMake and ctest from the venv (the cmake package), the same that pip's build uses.
CMAKE       := $(VENV)/bin/cmake
CTEST       := $(VENV)/bin/ctest
BUILD       := build/release
ASAN_BUILD  := build/asan
JOBS        ?= $(or $(CMAKE_BUILD_PARALLEL_LEVEL),$(shell nproc))
# Cargo, which the build runs for the Clarabel shim, keeps to the same number of jobs.
export CARGO_BUILD_JOBS ?= $(JOBS)
# CI (CI=true) treats a compiler warning as an error so that none comes back; elsewhere a
# newer compiler's new warnings must not stop an install.
WERROR      := $(if $(filter true,$(CI)),ON,OFF)
STEP        := @printf '\n== %s\n'
CHECK_LAYERS = $(PY) tools/check_layers.py --build $(BUILD) --ninja $(VENV)/bin/ninja

# CPython 3.12 is looked for in these places, in this order, and the first that runs as 3.12
# is used (a pyenv shim named python3.12 may exist with no 3.12 behind it). Naming one on
# the command line, `make test PYTHON312=/path/to/python3.12`, skips the search.
PYTHON312_PLACES := python3.12 $${PYENV_ROOT:-$$HOME/.pyenv}/versions/3.12*/bin/python3.12 \
                    /usr/local/bin/python3.12 /usr/bin/python3.12
PYTHON312   := $(shell for p in $(PYTHON312_PLACES); do \
                 if "$$p" -c 'import sys; assert sys.version_info[:2] == (3, 12)' 2>/dev/null; then \
                   "$$p" -c 'import sys; print(sys.executable)'; break; fi; done)

# The test-only and bench-only packages are pinned there; NumPy, the runtime dependency,
# keeps a floor only. `make pins` refreshes the pins.
CONSTRAINTS := constraints.txt
# The clarabel wheel is the optimiser's reference: the same solver version as the crate
# rust/clarabel_ffi pins, so that both answer the same problem with the same bits.
CLARABEL    := 0.11.1
# Three groups, installed in turn, so that pip's silent unpacking is split in three.
# pandas, arch and skfolio are test-only: the README's examples, which make test runs, read
# the daily S&P 500 bars inside the arch wheel and the 20-stock prices inside skfolio's.
BUILD_DEPS  := numpy scikit-build-core ninja "cmake>=3.25"
TEST_DEPS   := pytest hypothesis mypy ta-lib scipy clarabel==$(CLARABEL)
DATA_DEPS   := "pandas>=3" arch skfolio
PY_DEPS     := $(BUILD_DEPS) $(TEST_DEPS) $(DATA_DEPS)
# vectorbt is the reference of the single-backtest and portfolio benches (bench-only; they
# fall back to a plain loop or to our timings alone when it cannot be installed); pandas and
# polars are the references of the bar-aggregation bench (bench-only; it times whichever of
# them installs); cvxpy that of the optimiser bench, whose cvxpy column is skipped without
# it; scikit-learn's ledoit_wolf that of the covariance bench, which runs it without
# OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE.
BENCH_DEPS  := vectorbt polars cvxpy scikit-learn
# pip's output without the lines that only confirm what is there, long lists wrapped.
PIP_SHOWN   = $(PY) -u tools/pip_output.py
export PATH := $(HOME)/.cargo/bin:$(PATH)

.PHONY: test demo dev bench test-asan system-deps venv install pins clean distclean

# oneTBB and GoogleTest from Debian when they are missing and we may install them.
system-deps:
	@if [ ! -f /usr/include/oneapi/tbb.h ] || [ ! -f /usr/include/gtest/gtest.h ]; then \
	  if [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null; then \
	    printf '\n== %s\n' "installing libtbb-dev and libgtest-dev with apt-get (about half a minute)"; \
	    apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q libtbb-dev libgtest-dev; \
	  else \
	    echo "The oneTBB and GoogleTest headers are missing (/usr/include/oneapi/tbb.h, /usr/include/gtest/gtest.h)." >&2; \
	    echo "Install them as root (Debian, Ubuntu): apt-get install libtbb-dev libgtest-dev" >&2; \
	    exit 1; \
	  fi; \
	fi
	@command -v cargo >/dev/null || { echo "Rust's cargo is required: install it with rustup (https://rustup.rs)" >&2; exit 1; }
	@command -v c++ >/dev/null || { echo "A C++20 compiler is required (g++ 12 or newer: apt-get install g++)" >&2; exit 1; }

$(PY):
	@if [ -z "$(PYTHON312)" ]; then \
	  echo "CPython 3.12 is required and none was found. Looked for, in this order:" >&2; \
	  for p in $(PYTHON312_PLACES); do echo "    $$p" >&2; done; \
	  echo "Install CPython 3.12 with its venv module and headers (Debian 12 ships 3.11 only), e.g.:" >&2; \
	  echo "    pyenv install 3.12          (https://github.com/pyenv/pyenv; it needs Python's build dependencies)" >&2; \
	  echo "    Ubuntu: the deadsnakes PPA (add-apt-repository ppa:deadsnakes/ppa), then" >&2; \
	  echo "            apt-get install python3.12-venv python3.12-dev" >&2; \
	  echo "    the python.org source release: ./configure && make && make altinstall (into /usr/local/bin)" >&2; \
	  echo "or name one: make $(or $(MAKECMDGOALS),test) PYTHON312=/path/to/python3.12" >&2; \
	  exit 1; \
	fi
	$(STEP) "creating the virtual environment .venv with $(PYTHON312)"
	$(PYTHON312) -m venv $(VENV)
	$(PIP) install --progress-bar off --upgrade pip | $(PIP_SHOWN)

# The packages again whenever the pins or this list change.
$(VENV)/.packages: $(CONSTRAINTS) Makefile | $(PY)
	$(STEP) "installing the Python packages into .venv at the versions $(CONSTRAINTS) pins (a minute the first time)"
	$(PIP) install --progress-bar off -c $(CONSTRAINTS) $(BUILD_DEPS) | $(PIP_SHOWN)
	$(PIP) install --progress-bar off -c $(CONSTRAINTS) $(TEST_DEPS) | $(PIP_SHOWN)
	$(PIP) install --progress-bar off -c $(CONSTRAINTS) $(DATA_DEPS) | $(PIP_SHOWN)
	@touch $@

venv: $(VENV)/.packages

# The package into the venv, built with the test suites, in a kept build folder so that
# later runs rebuild only what changed.
install: system-deps venv
	$(STEP) "building the extension and the C++ tests in $(BUILD), $(JOBS) jobs: a few minutes the first time"
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(PIP) install -v --no-build-isolation -Cbuild-dir=$(BUILD) \
	  -Ccmake.define.TARNWICK_TESTS=ON -Ccmake.define.TARNWICK_WERROR=$(WERROR) -Ccmake.build-type=Release . \
	  | $(PIP_SHOWN) || { $(CHECK_LAYERS) >&2 || true; exit 1; }

# The layer check reads the compiler's own record of what each compiled file included, so
# it follows the build; a build that fails (a test reaching across a layer does not link)
# runs it too, so that the failure names the includes that break the rule. The stub is
# held to the installed module (mypy is a test-only dependency). The probe module lives in
# the build folder; the tests that need it fail when it is missing there.
test: install
	$(STEP) "checking what each compiled file included against the layers' rules"
	$(CHECK_LAYERS)
	$(STEP) "running the C++ tests and the Clarabel shim's Rust tests (ctest)"
	$(CTEST) --test-dir $(BUILD) --output-on-failure --progress -j $(JOBS)
	$(STEP) "checking that the type stub is what tools/gen_stub.py writes from the module, and stubtest"
	TARNWICK_PROBE_DIR=$(BUILD)/probe $(PY) tools/gen_stub.py --check
	MYPY_CACHE_DIR=$(BUILD)/mypy-cache $(PY) -m mypy.stubtest tarnwick._tarnwick
	$(STEP) "running the Python tests and the README's examples (pytest)"
	TARNWICK_PROBE_DIR=$(BUILD)/probe $(PY) -m pytest -q tests

# The demo's price history ships inside the arch wheel (daily S&P 500 bars), which the
# venv already holds for the README's examples.
demo: install
	$(STEP) "running examples/demo.py"
	$(PY) examples/demo.py

dev: system-deps venv
	$(STEP) "installing tarnwick into .venv as an editable package, rebuilt on import"
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(PIP) install -v --no-build-isolation -Ceditable.rebuild=true \
	  -Cbuild-dir=build/dev-editable -e . | $(PIP_SHOWN)

# A reference library that cannot be installed is left out (its bench says so) and not
# tried again until the pins or this list change.
$(VENV)/.bench-packages: $(CONSTRAINTS) Makefile | $(VENV)/.packages
	$(STEP) "installing the benches' reference libraries at the pinned versions"
	@for p in $(BENCH_DEPS); do \
	  $(PIP) install --progress-bar off -c $(CONSTRAINTS) $$p | $(PIP_SHOWN) || echo "$$p unavailable"; done
	@touch $@

# Every bench runs; one that stops (a peer that did other work than ours, say) fails the
# target at the end.
bench: install $(VENV)/.bench-packages
	@failed=""; for b in bench/bench_*.py; do [ -e "$$b" ] || continue; echo "== $$b"; \
	  $(PY) "$$b" || failed="$$failed $$b"; done; \
	  if [ -n "$$failed" ]; then echo "failed:$$failed"; exit 1; fi

# The extension and the core built with AddressSanitizer and UBSan, and the whole Python
# suite run against that build. Leak detection is off: the interpreter keeps memory to exit.
# Each layer's C++ tests are an executable of their own, tarnwick_<layer>_tests.
test-asan: system-deps venv
	$(STEP) "configuring the sanitizer build in $(ASAN_BUILD)"
	$(CMAKE) -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARNWICK_SANITIZE=ON \
	  -DTARNWICK_TESTS=ON -DTARNWICK_WERROR=$(WERROR) -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	$(STEP) "building it, $(JOBS) jobs: several minutes the first time"
	$(CMAKE) --build $(ASAN_BUILD) -j $(JOBS)
	$(STEP) "running the C++ tests under the sanitizers"
	set -e; found=; for tests in $(ASAN_BUILD)/tarnwick_*_tests; do \
	  [ -x "$$tests" ] || continue; found=1; \
	  ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 $$tests --gtest_brief=1; \
	done; [ -n "$$found" ] || { echo "no C++ test executables in $(ASAN_BUILD)" >&2; exit 1; }
	$(STEP) "running the Python tests under the sanitizers"
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	PYTHONPATH=$(ASAN_BUILD)/pkg TARNWICK_PROBE_DIR=$(ASAN_BUILD)/probe \
	  $(PY) -m pytest -q -p no:cacheprovider tests

# constraints.txt anew: the newest releases of the test and bench packages that install
# together, resolved in a scratch environment (NumPy keeps its floor). Then run make test:
# the README's examples print figures computed with them. The meta-schema data that
# jsonschema pulls in (through vectorbt's notebook support, bench-only) is left to
# jsonschema's own bounds.
pins: $(PY)
	$(STEP) "resolving the newest test and bench packages in build/pins"
	rm -rf build/pins
	$(PYTHON312) -m venv build/pins
	build/pins/bin/pip install --progress-bar off \
	  $(PY_DEPS) | $(PIP_SHOWN)
	@for p in $(BENCH_DEPS); do \
	  build/pins/bin/pip install --progress-bar off $$p | $(PIP_SHOWN) || echo "$$p unavailable: left unpinned"; done
	{ echo "# Versions of the test-only and bench-only Python packages and of what they pull in,"; \
	  echo "# written by make pins. NumPy, the runtime dependency, keeps a floor only."; \
	  echo "numpy>=2.0"; \
	  build/pins/bin/pip freeze --exclude numpy | grep -v '^jsonschema-'; } > $(CONSTRAINTS)
	rm -rf build/pins

# The build folders; distclean removes the virtual environment too. make test or make demo
# sets up again whatever is missing.
clean:
	rm -rf build

distclean: clean
	rm -rf $(VENV)
