# Task runner. `make demo` and `make test` work on a fresh machine with only the toolchain
# (GoogleTest for the C++ tests and Chromium for the report's browser test come from Debian's
# packages, installed when run as root).
SHELL := /bin/bash
.DEFAULT_GOAL := test

PYENV_ROOT_DIR := $(shell pyenv root 2>/dev/null || echo $(HOME)/.pyenv)
PYTHON ?= $(firstword $(wildcard $(PYENV_ROOT_DIR)/versions/3.13*/bin/python3.13 /usr/bin/python3.13 /usr/local/bin/python3.13 $(PYENV_ROOT_DIR)/versions/3.14*/bin/python3.14) $(shell command -v python3.13 2>/dev/null))
VENV := .venv
VPY := $(VENV)/bin/python
JOBS ?= 2
# One build tree for the extension and the C++ tests, so that `make test` compiles the core once.
EXT_BUILD := build/ext
# ON when the C++ tests are built beside the extension (`make test`).
CPP_TESTS ?= OFF

# Each long step says what it does and keeps its time; `make demo` and `make test` end with the
# time of every step.
STEP := tools/step.sh
# Extras of the package that a goal installs: the demo only plots, the tests use them all.
EXTRAS ?= test,plot,dask

.PHONY: demo demo-steps test test-steps test-cpp test-python install deps venv clean check-python \
	print-python

check-python:
	@if [ -z "$(PYTHON)" ]; then echo "Python 3.13+ not found; pass PYTHON=/path/to/python3.13" >&2; exit 1; fi
	@$(PYTHON) -c 'import sys; assert sys.version_info >= (3, 13), sys.version' || \
		{ echo "$(PYTHON) is older than 3.13" >&2; exit 1; }

print-python: check-python
	@echo $(PYTHON)

$(VPY): | check-python
	@$(STEP) "creating the environment $(VENV) with $(PYTHON)" $(PYTHON) -m venv $(VENV)

venv: $(VPY)

# The build tools first, so that the extension compiles in this environment with its progress
# shown (pip's isolated build would hide it); the package's dependencies install meanwhile.
deps: venv
	@mkdir -p build
	@$(VPY) tools/requirements.py --build > build/requirements-build.txt
	@$(VPY) tools/requirements.py $(subst $(comma), ,$(EXTRAS)) > build/requirements.txt
	@$(STEP) "installing the build tools" $(VPY) -m pip install -q -r build/requirements-build.txt

install: deps
	@tools/install_package.sh $(VPY) build/requirements.txt $(EXT_BUILD) $(CPP_TESTS)

demo:
	@$(STEP) --begin
	@$(MAKE) --no-print-directory demo-steps EXTRAS=plot
	@$(STEP) --summary

demo-steps: install
	@$(STEP) "running the demo: the change in the Nile's flow" $(VENV)/bin/vollan demo

test:
	@$(STEP) --begin
	@$(MAKE) --no-print-directory test-steps CPP_TESTS=ON
	@$(STEP) --summary

test-steps: test-cpp test-python

# The C++ tests are built in the extension's own tree (CPP_TESTS=ON), beside the module.
test-cpp:
	@$(STEP) "checking for GoogleTest" tools/ensure_gtest.sh
	@$(MAKE) --no-print-directory install CPP_TESTS=ON
	@$(STEP) "running the C++ tests" ctest --test-dir $(EXT_BUILD) --output-on-failure -j $(JOBS)

test-python: install
	@$(STEP) "checking for Chromium (the report's browser test)" tools/ensure_chromium.sh
	@$(STEP) "running the Python tests" $(VPY) -X dev -W error -m pytest -q tests/python

comma := ,

# The worker pool's and the multi-window driver's tests under ThreadSanitizer.
.PHONY: test-tsan
test-tsan:
	cmake -S . -B build/tsan -DVOLLAN_BUILD_PYTHON=OFF -DVOLLAN_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVOLLAN_SANITIZE=thread
	cmake --build build/tsan -j $(JOBS) --target test_pool test_driver test_detect test_pilot
	TSAN_OPTIONS="halt_on_error=1 $(TSAN_OPTIONS)" ctest --test-dir build/tsan --output-on-failure -R '^(WorkerPool|Driver|Detect|Pilot)'

# The whole C++ suite, then the whole Python suite against an extension built with
# AddressSanitizer + UndefinedBehaviorSanitizer (the runtime is preloaded into the interpreter).
ASAN_VENV := .venv-asan
ASAN_RUNTIME = $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libubsan.so)
SAN_ENV = VOLLAN_SANITIZED=1 LD_PRELOAD="$(ASAN_RUNTIME)" PYTHONMALLOC=malloc \
	ASAN_OPTIONS="detect_leaks=0:abort_on_error=1" UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
.PHONY: test-asan test-asan-cpp test-asan-python
test-asan: test-asan-cpp test-asan-python

test-asan-cpp:
	cmake -S . -B build/asan -DVOLLAN_BUILD_PYTHON=OFF -DVOLLAN_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVOLLAN_SANITIZE=address,undefined
	cmake --build build/asan -j $(JOBS)
	ctest --test-dir build/asan --output-on-failure -j $(JOBS)

test-asan-python: | check-python
	test -x $(ASAN_VENV)/bin/python || $(PYTHON) -m venv $(ASAN_VENV)
	$(ASAN_VENV)/bin/python -m pip install -q scikit-build-core ninja pytest numpy hypothesis tqdm
	$(ASAN_VENV)/bin/python -m pip install -q --no-build-isolation --force-reinstall --no-deps \
		-Cbuild-dir=build/asan-py -Ccmake.build-type=RelWithDebInfo \
		-Ccmake.define.VOLLAN_SANITIZE=address,undefined .
	$(SAN_ENV) $(ASAN_VENV)/bin/python -m pytest -q -p no:cacheprovider tests/python

clean:
	rm -rf build $(VENV) $(ASAN_VENV)

# Further task groups (benchmarks, fuzzing, ...) live in mk/*.mk.
-include mk/*.mk
