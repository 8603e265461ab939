MAKEFLAGS += --no-print-directory

# Developer entry points.
#
#   make test         everything CI runs: pytest on CPython 3.8 and 3.12,
#                     the C++ unit tests, pytest against the sanitizer build
#   make demo         record and show the demo program (CPython 3.8)
#   make bench        run the benchmarks (CPython 3.8)
#   make clean        remove build trees and venvs
#
# Interpreters are found automatically; name them with
#   make test PY38=/path/to/python3.8 PY312=/path/to/python3.12
# Extra pytest arguments: make test PYTEST_ARGS="-x -k filter"
# Benchmark arguments:    make bench BENCH_ARGS="overhead --rounds 3"

PY38  ?=
PY312 ?=
PYTEST_ARGS ?=
BENCH_ARGS ?=
CMAKE ?= cmake
CTEST ?= ctest
NPROC ?= $(shell nproc 2>/dev/null || echo 2)

VENV38   := .venv/py3.8
VENV312  := .venv/py3.12
VENVASAN := .venv/asan3.8
NATIVE_BUILD := build/native

# The demo: record the example shop program (two modules, classes, a
# generator, a caught exception, a thread) and print its call tree. Run from
# its own folder so paths show relative and its traces stay in
# examples/demo/.sarn/.
DEMO_DIR := examples/demo
DEMO_CMD := sarn run --threads app.py && sarn show latest

SETUP := PY38="$(PY38)" PY312="$(PY312)" scripts/setup.sh

export IMPORT_CHECK := import sys, sarn; \
    sys.exit(0 if "site-packages" in sarn.__file__ else "error: sarn imported from " + sarn.__file__)

# Run pytest from the repository root with a clean import path: the tests
# must import the installed sarn, never python/sarn from the tree.
# pytest exits 5 when it collected nothing; that fails like any other error.
define run_pytest
	@echo "== pytest ($(1))"
	@env -u PYTHONPATH -u PYTHONHOME $(2) $(1)/bin/python -c "$$IMPORT_CHECK"
	@env -u PYTHONPATH -u PYTHONHOME $(2) $(1)/bin/python -m pytest tests -q $(PYTEST_ARGS); \
	rc=$$?; \
	if [ $$rc -eq 5 ]; then echo "error: pytest collected no tests ($(1))" >&2; fi; \
	exit $$rc
endef

.PHONY: test setup setup38 setup312 setup-asan pytest38 pytest312 native-test asan-test \
        demo bench clean

test: pytest38 pytest312 native-test asan-test
	@echo "== all test suites passed"

setup: setup38 setup312

setup38:
	@$(SETUP) 3.8

setup312:
	@$(SETUP) 3.12

setup-asan:
	@$(SETUP) --asan 3.8

pytest38: setup38
	$(call run_pytest,$(VENV38),)

pytest312: setup312
	$(call run_pytest,$(VENV312),)

# C++ unit tests of the pure C++ sources, with ASan + UBSan; no Python needed.
native-test:
	@scripts/setup.sh --system-only
	@echo "== native tests"
	@$(CMAKE) -S . -B $(NATIVE_BUILD) -DSARN_MODULE=OFF -DSARN_NATIVE_TESTS=ON \
		-DSARN_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
	@$(CMAKE) --build $(NATIVE_BUILD) --parallel
	@cd $(NATIVE_BUILD) && UBSAN_OPTIONS=print_stacktrace=1 \
		$(CTEST) --output-on-failure --no-tests=error --parallel $(NPROC)

# pytest against the module built with ASan + UBSan (CPython 3.8).
asan-test: setup-asan
	$(call run_pytest,$(VENVASAN),scripts/asan-run.sh)

demo: setup38
	@cd $(DEMO_DIR) && PATH="$(CURDIR)/$(VENV38)/bin:$$PATH" && $(DEMO_CMD)

bench: setup38
	@if [ -f benchmarks/run.py ]; then \
		$(VENV38)/bin/python benchmarks/run.py $(BENCH_ARGS); \
	else \
		echo "bench: benchmarks/run.py does not exist yet" >&2; exit 1; \
	fi

clean:
	rm -rf build .venv .pytest_cache
	find . -name __pycache__ -type d -prune -exec rm -rf {} +
