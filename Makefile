MAKEFLAGS += --no-print-directory

# Developer entry points.
#
#   make test         everything CI runs: builds for every CPython 3.8 to 3.15
#                     found and with the sanitizers, checks a wheel, then runs
#                     pytest on every interpreter, the C++ unit tests and
#                     pytest against the sanitizer build, in parallel; on a
#                     free-threaded 3.14t, when found, pytest with the GIL off
#                     and the threading tests against a ThreadSanitizer build
#   make demo         record and show the demo program, on the newest supported
#                     Python found (3.15 down to 3.8); installs sarn and what
#                     it needs to run into .venv/default, no test requirements
#   make bench        run the benchmarks (same interpreter and venv as the
#                     demo, with the test requirements added)
#   make wheels       one repaired wheel per supported interpreter, in dist/
#   make clean        remove build trees, venvs and wheels
#
# Interpreters are found automatically (on PATH, under pyenv, under
# /opt/cpython); a supported version that is not found is reported and left
# out. Name one with PYTHON=/path/to/python (demo, bench), or per version with
# PY38=..., PY315=... (test, wheels).
# Extra pytest arguments: make test PYTEST_ARGS="-x -k filter"
# Benchmark arguments:    make bench BENCH_ARGS="overhead --rounds 3"

PYTHON ?=
PY38  ?=
PY39  ?=
PY310 ?=
PY311 ?=
PY312 ?=
PY313 ?=
PY314 ?=
PY315 ?=
PY314t ?=
PYTEST_ARGS ?=
BENCH_ARGS ?=
CMAKE ?= cmake
NPROC ?= $(shell nproc 2>/dev/null || echo 2)

# Every supported interpreter, by make name (38) and version (3.8).
VERSIONS := 38:3.8 39:3.9 310:3.10 311:3.11 312:3.12 313:3.13 314:3.14 315:3.15
NAMES := $(foreach v,$(VERSIONS),$(firstword $(subst :, ,$(v))))
# The supported versions whose interpreter this machine has (3.8 ...), looked
# for once, when first needed; the sub-makes are handed the answer.
FOUND = $(eval FOUND := $$(shell scripts/found-pythons.sh $(foreach v,$(VERSIONS),$(lastword $(subst :, ,$(v))))))$(FOUND)
VENVASAN := .venv/asan3.8
# The free-threaded interpreter tested besides them, when this machine has it.
FT_VERSION := 3.14t
FOUND_FT = $(eval FOUND_FT := $$(shell scripts/found-pythons.sh $(FT_VERSION)))$(FOUND_FT)
VENVDEFAULT := .venv/default
NATIVE_BUILD := build/native

# The demo: record the example shop program (two modules, classes, a
# generator, a caught exception, a thread) and print its call tree. Run from
# its own folder so paths show relative and its traces stay in
# examples/demo/.sarn/.
DEMO_DIR := examples/demo
DEMO_CMD := sarn run --threads app.py && sarn show latest

export PYTHON PY38 PY39 PY310 PY311 PY312 PY313 PY314 PY315 PY314t
SETUP := scripts/setup.sh

export IMPORT_CHECK := import sys, sarn; \
    sys.exit(0 if "site-packages" in sarn.__file__ else "error: sarn imported from " + sarn.__file__)

# Run pytest from the repository root with a clean import path: the tests
# must import the installed sarn, never python/sarn from the tree.
# pytest exits 5 when it collected nothing; that fails like any other error.
define run_pytest
	@env -u PYTHONPATH -u PYTHONHOME $(2) $(1)/bin/python -c "$$IMPORT_CHECK"
	@start=$$(date +%s); \
	env -u PYTHONPATH -u PYTHONHOME $(2) $(1)/bin/python -m pytest tests -q $(PYTEST_ARGS); \
	rc=$$?; \
	if [ $$rc -eq 5 ]; then echo "error: pytest collected no tests ($(1))" >&2; fi; \
	echo "== pytest ($(1)): exit $$rc after $$(( $$(date +%s) - start ))s"; \
	exit $$rc
endef

.PHONY: test setup setup-asan setup-default setup-demo native-build native-test asan-test run-native run-asan \
        wheel-check wheels demo bench clean setup-ft pytest-ft run-pytest-ft setup-tsan tsan-test run-tsan \
        $(addprefix setup,$(NAMES)) $(addprefix pytest,$(NAMES)) $(addprefix run-pytest,$(NAMES))

# Builds run one after another (each uses every core); the suites then run
# side by side, each one's output shown whole when it ends.
test: setup setup-asan setup-ft setup-tsan native-build wheel-check
	@echo "== running the test suites in parallel: pytest on $(FOUND)$(if $(FOUND_FT), and on $(FOUND_FT) with the GIL off), C++ unit tests$(if $(filter 3.8,$(FOUND)),$(comma) pytest with sanitizers)$(if $(FOUND_FT),$(comma) threading tests with ThreadSanitizer)"
	@$(MAKE) -j$(NPROC) --output-sync=target FOUND="$(FOUND)" \
		$(if $(filter 3.8,$(FOUND)),run-asan) $(addprefix run-pytest,$(subst .,,$(FOUND))) \
		$(if $(FOUND_FT),run-pytest-ft run-tsan) run-native
	@echo "== all test suites passed$(if $(UNTESTED), (not found, not tested: Python $(UNTESTED)))"

comma := ,
MISSING = $(filter-out $(FOUND),$(foreach v,$(VERSIONS),$(lastword $(subst :, ,$(v)))))
UNTESTED = $(strip $(MISSING) $(if $(FOUND_FT),,$(FT_VERSION)))

setup:
	@[ -n "$(FOUND)" ] || { echo "error: no supported Python (3.8 to 3.15) found" >&2; exit 1; }
	@$(SETUP) $(FOUND)

# setupNN, pytestNN (build and test) and run-pytestNN (test only) per
# interpreter.
define interpreter_targets
setup$(1):
	@$$(SETUP) $(2)
pytest$(1): setup$(1) run-pytest$(1)
run-pytest$(1):
	$$(call run_pytest,.venv/py$(2),)
endef
$(foreach v,$(VERSIONS),$(eval $(call interpreter_targets,$(firstword $(subst :, ,$(v))),$(lastword $(subst :, ,$(v))))))

# The free-threaded interpreter runs the suite with the GIL kept off, even
# should a module imported by a test ask for it.
setup-ft:
	@$(if $(FOUND_FT),$(SETUP) $(FT_VERSION),echo "no free-threaded Python $(FT_VERSION): not tested")
pytest-ft: setup-ft run-pytest-ft
run-pytest-ft:
	$(call run_pytest,.venv/py$(FT_VERSION),PYTHON_GIL=0)

# ThreadSanitizer, on the free-threaded interpreter: the tests of threads
# and of sys.monitoring, a report failing the run.
VENVTSAN := .venv/tsan$(FT_VERSION)
TSAN_TESTS := -k "thread or test_monitoring"
setup-tsan:
	@$(if $(FOUND_FT),$(SETUP) --tsan $(FT_VERSION),echo "no free-threaded Python $(FT_VERSION): ThreadSanitizer is not run")
tsan-test: setup-tsan run-tsan
run-tsan:
	@env -u PYTHONPATH -u PYTHONHOME $(VENVTSAN)/bin/python -c "$$IMPORT_CHECK"
	@start=$$(date +%s); \
	env -u PYTHONPATH -u PYTHONHOME scripts/tsan-run.sh $(VENVTSAN)/bin/python -m pytest tests -q -p no:cacheprovider \
		$(TSAN_TESTS) $(PYTEST_ARGS); \
	rc=$$?; \
	echo "== pytest with ThreadSanitizer ($(VENVTSAN)): exit $$rc after $$(( $$(date +%s) - start ))s"; \
	exit $$rc

# The sanitizer build needs CPython 3.8.
setup-asan:
	@$(if $(filter 3.8,$(FOUND)),$(SETUP) --asan 3.8,echo "no Python 3.8: the sanitizer build is not tested")

setup-default:
	@$(SETUP) any

setup-demo:
	@$(SETUP) --no-test-requirements any

native-test: native-build run-native
asan-test: setup-asan run-asan

run-asan:
	$(call run_pytest,$(VENVASAN),scripts/asan-run.sh)

# C++ unit tests of the pure C++ sources, with ASan + UBSan; no Python needed.
native-build:
	@scripts/setup.sh --system-only
	@echo "== building the C++ unit tests"
	@$(CMAKE) -S . -B $(NATIVE_BUILD) -DSARN_MODULE=OFF -DSARN_NATIVE_TESTS=ON \
		-DSARN_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
	@$(CMAKE) --build $(NATIVE_BUILD) --parallel $(NPROC)

# One summary line unless a test fails, then the failures in full.
run-native:
	@cd $(NATIVE_BUILD) && UBSAN_OPTIONS=print_stacktrace=1 ./sarn_native_tests --gtest_brief=1 >native.log 2>&1; \
	rc=$$?; \
	if [ $$rc -ne 0 ]; then cat native.log; fi; \
	echo "== C++ unit tests: $$(grep -E '^\[  (PASSED|FAILED)  \]' native.log | tr '\n' ' ')"; \
	exit $$rc

# A wheel built as `pip install .` builds it on a machine without system
# headers, repaired by auditwheel, installed and used.
wheel-check:
	@scripts/wheels.sh $(or $(filter 3.12,$(FOUND)),$(lastword $(FOUND)))

wheels:
	@scripts/wheels.sh

demo: setup-demo
	@cd $(DEMO_DIR) && PATH="$(CURDIR)/$(VENVDEFAULT)/bin:$$PATH" && $(DEMO_CMD)
	@echo "== sarn is installed in $(VENVDEFAULT): run $(VENVDEFAULT)/bin/sarn, or put it on your PATH with: . $(VENVDEFAULT)/bin/activate"

bench: setup-default
	@$(VENVDEFAULT)/bin/python benchmarks/run.py $(BENCH_ARGS)

clean:
	rm -rf build dist .venv .pytest_cache .hypothesis
	find . -name __pycache__ -type d -prune -exec rm -rf {} +
