# Benchmarks against peers (bench/RESULTS.md). Not part of `make test` or CI.
#   make bench                      full run, writes bench/RESULTS.md (about 15 minutes)
#   make bench BENCH_ARGS=--quick   smaller sizes, printed instead of written (a few minutes)
#   make bench BENCH_ARGS="--only B1 B4 --write bench/RESULTS.md"
# B6 needs valgrind (apt-get install valgrind); without it its table says so.
BENCH_BUILD := build/bench
BENCH_VENV := $(BENCH_BUILD)/venv
BENCH_ARGS ?= --write bench/RESULTS.md

.PHONY: bench bench-env bench-driver
bench-env: | check-python
	test -x $(BENCH_VENV)/bin/python || $(PYTHON) -m venv $(BENCH_VENV)
	$(BENCH_VENV)/bin/python -m pip install -q scikit-build-core ninja -r bench/requirements.txt
	$(BENCH_VENV)/bin/python -m pip install -q --no-build-isolation --force-reinstall --no-deps \
		-Cbuild-dir=$(BENCH_BUILD)/py .

# The core without Python, for the instruction count; built with the flags of the extension.
bench-driver:
	cmake -S . -B $(BENCH_BUILD)/core -DVOLLAN_BUILD_PYTHON=OFF -DVOLLAN_BUILD_TESTS=OFF \
		-DCMAKE_BUILD_TYPE=Release
	cmake --build $(BENCH_BUILD)/core -j $(JOBS) --target vollan_core
	$(CXX) -std=c++23 -O3 -ffp-contract=off -fno-fast-math -Wall -Wextra -Wpedantic -I. \
		bench/core_driver.cpp $(BENCH_BUILD)/core/libvollan_core.a -pthread -o $(BENCH_BUILD)/core_driver

bench: bench-env bench-driver
	$(BENCH_VENV)/bin/python bench/run_all.py --driver $(BENCH_BUILD)/core_driver $(BENCH_ARGS)
