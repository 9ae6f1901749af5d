# make demo / make test work from a fresh machine: they install what is missing first.
SHELL := /bin/bash
.DEFAULT_GOAL := test

VENV        := .venv
PY          := $(VENV)/bin/python
PIP         := $(PY) -m pip
BUILD       := build/release
ASAN_BUILD  := build/asan
JOBS        ?= $(shell nproc)
# The first python3.12 that actually runs (a pyenv shim may exist without a 3.12 selected).
PYTHON312   := $(shell for p in python3.12 $${PYENV_ROOT:-$$HOME/.pyenv}/versions/3.12*/bin/python3.12 /usr/bin/python3.12; do \
                 if "$$p" -c 'import sys; assert sys.version_info[:2] == (3, 12)' 2>/dev/null; then \
                   "$$p" -c 'import sys; print(sys.executable)'; break; fi; done)
# The clarabel wheel is the optimiser's reference: the same solver version as the crate
# rust/clarabel_ffi pins, so that both answer the same problem with the same bits.
CLARABEL    := 0.11.1
# pandas, arch and skfolio are test-only: the README's examples, which make test runs, read
# the daily S&P 500 bars inside the arch wheel and the 20-stock prices inside skfolio's.
PY_DEPS     := numpy pytest hypothesis scikit-build-core ninja "cmake>=3.25" ta-lib scipy clarabel==$(CLARABEL) mypy \
               "pandas>=3" arch skfolio
export PATH := $(HOME)/.cargo/bin:$(PATH)

.PHONY: test demo dev bench test-asan system-deps venv install clean

# libtbb-dev from Debian when it is missing and we may install it.
system-deps:
	@if [ ! -f /usr/include/oneapi/tbb.h ] || [ ! -f /usr/include/gtest/gtest.h ]; then \
	  if [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null; then \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libtbb-dev libgtest-dev >/dev/null; \
	  else \
	    echo "missing oneTBB or GoogleTest headers: install libtbb-dev and libgtest-dev" >&2; exit 1; \
	  fi; \
	fi
	@command -v cargo >/dev/null || { echo "Rust's cargo is required (https://rustup.rs)" >&2; exit 1; }

$(PY):
	@test -n "$(PYTHON312)" || { echo "CPython 3.12 (python3.12) is required" >&2; exit 1; }
	$(PYTHON312) -m venv $(VENV)
	$(PIP) install -q --upgrade pip

venv: $(PY)
	@$(PY) -c 'import numpy, pytest, hypothesis, scikit_build_core, talib, scipy, clarabel, mypy, pandas, arch, skfolio; \
	  assert clarabel.__version__ == "$(CLARABEL)"' 2>/dev/null || $(PIP) install -q $(PY_DEPS)

# The package into the venv, built with the test suite, in a kept build folder so that
# later runs rebuild only what changed.
install: system-deps venv
	$(PIP) install -q --no-build-isolation \
	  -Cbuild-dir=$(BUILD) -Ccmake.define.TARNWICK_TESTS=ON -Ccmake.build-type=Release .

# The layer check comes first: an include that breaks a layer's rule fails the run before
# anything else is read. The Rust shim's own tests share the build's cargo target folder.
# The stub is held to the installed module (mypy is a test-only dependency).
test: install
	$(PY) tools/check_layers.py
	cargo test --locked --quiet --manifest-path rust/clarabel_ffi/Cargo.toml --target-dir $(BUILD)/cargo
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)
	MYPY_CACHE_DIR=$(BUILD)/mypy-cache $(PY) -m mypy.stubtest tarnwick._tarnwick
	TARNWICK_PROBE_DIR=$(BUILD)/probe $(PY) -m pytest -q tests

# The demo's price history ships inside the arch wheel (daily S&P 500 bars), which the
# venv already holds for the README's examples.
demo: install
	$(PY) examples/demo.py

dev: system-deps venv
	$(PIP) install -q --no-build-isolation -Ceditable.rebuild=true -Cbuild-dir=build/dev-editable -e .

# vectorbt is the reference of the single-backtest and portfolio benches (bench-only; they
# fall back to a plain loop or to our timings alone when it cannot be installed); pandas and
# polars are the references of the bar-aggregation bench (bench-only; it times whichever of
# them installs); cvxpy that of the optimiser bench, whose cvxpy column is skipped without
# it; scikit-learn's ledoit_wolf that of the covariance bench, which runs it without
# OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE.
bench: install
	@$(PY) -c 'import vectorbt' 2>/dev/null || $(PIP) install -q vectorbt || echo "vectorbt unavailable"
	@$(PY) -c 'import pandas, polars' 2>/dev/null || $(PIP) install -q pandas polars || echo "pandas or polars unavailable"
	@$(PY) -c 'import cvxpy' 2>/dev/null || $(PIP) install -q cvxpy || echo "cvxpy unavailable"
	@$(PY) -c 'import sklearn' 2>/dev/null || $(PIP) install -q scikit-learn
	@for b in bench/bench_*.py; do [ -e "$$b" ] || continue; echo "== $$b"; $(PY) "$$b"; done

# The extension and the core built with AddressSanitizer and UBSan, and the whole Python
# suite run against that build. Leak detection is off: the interpreter keeps memory to exit.
test-asan: system-deps venv
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARNWICK_SANITIZE=ON \
	  -DTARNWICK_TESTS=ON -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  $(ASAN_BUILD)/tarnwick_cpp_tests --gtest_brief=1
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	PYTHONPATH=$(ASAN_BUILD)/pkg TARNWICK_PROBE_DIR=$(ASAN_BUILD)/probe \
	  $(PY) -m pytest -q -p no:cacheprovider tests

clean:
	rm -rf build
