# Fuzzing. Each run lasts FUZZ_TIME seconds; findings land in build/fuzz/ as crash-* files.
#   make fuzz-core        libFuzzer over the core kernels, ASan + UBSan
#   make fuzz-python      atheris over the seven Python entries, extension under ASan + UBSan
#   make fuzz-properties  the hypothesis properties with many random examples
#   make fuzz-ci          short runs of the first two, as CI runs them
# libFuzzer needs clang with its runtime: apt-get install clang-19 libclang-rt-19-dev.
FUZZ_TIME ?= 300
FUZZ_CI_TIME ?= 40
PROPERTY_EXAMPLES ?= 5000
FUZZ_DIR := build/fuzz
FUZZ_CXX ?= $(firstword $(shell command -v clang++-19 clang++ 2>/dev/null))
FUZZ_RT_DIR = $(shell $(FUZZ_CXX) -print-resource-dir)/lib/linux
FUZZ_FLAGS := -std=c++23 -O1 -g -fno-omit-frame-pointer -ffp-contract=off -fno-sanitize-recover=all \
	-Wall -Wextra -Wpedantic
FUZZ_VENV := $(FUZZ_DIR)/venv
FUZZ_SAN_ENV = ASAN_OPTIONS="detect_leaks=0:abort_on_error=1" \
	UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
LIBFUZZER_ARGS = -max_total_time=$(FUZZ_TIME) -timeout=60 -rss_limit_mb=4096 -print_final_stats=1

.PHONY: fuzz fuzz-ci fuzz-core fuzz-python fuzz-properties fuzz-check-clang

fuzz: fuzz-core fuzz-python fuzz-properties

fuzz-ci:
	$(MAKE) fuzz-core fuzz-python FUZZ_TIME=$(FUZZ_CI_TIME)

fuzz-check-clang:
	@test -n "$(FUZZ_CXX)" && test -f "$(FUZZ_RT_DIR)/libclang_rt.fuzzer_no_main-x86_64.a" || \
		{ echo "fuzzing needs clang and libFuzzer: apt-get install clang-19 libclang-rt-19-dev" >&2; exit 1; }

$(FUZZ_DIR)/fuzz_core: fuzz/fuzz_core.cpp $(wildcard core/*.cpp core/*.hpp binding/words.* binding/*.inc) | fuzz-check-clang
	mkdir -p $(FUZZ_DIR)
	$(FUZZ_CXX) $(FUZZ_FLAGS) -fsanitize=fuzzer,address,undefined -I. core/*.cpp binding/words.cpp fuzz/fuzz_core.cpp -o $@

fuzz-core: $(FUZZ_DIR)/fuzz_core
	mkdir -p $(FUZZ_DIR)/corpus-core
	$(FUZZ_SAN_ENV) $(FUZZ_DIR)/fuzz_core $(LIBFUZZER_ARGS) -max_len=2048 \
		-artifact_prefix=$(FUZZ_DIR)/core- $(FUZZ_DIR)/corpus-core fuzz/corpus/core

# The sanitizer runtime and libFuzzer in one library to preload into the interpreter, so that the
# instrumented extension reports its coverage to the libFuzzer that atheris drives. The pre-init
# object of the runtime only belongs in executables.
$(FUZZ_DIR)/asan_with_fuzzer.so: | fuzz-check-clang
	rm -rf $(FUZZ_DIR)/asan-objects && mkdir -p $(FUZZ_DIR)/asan-objects
	cd $(FUZZ_DIR)/asan-objects && ar x $(FUZZ_RT_DIR)/libclang_rt.asan-x86_64.a && \
		rm -f asan_preinit.cpp.o && ar rcs ../asan_nopreinit.a *.o
	$(FUZZ_CXX) -shared -o $@ -Wl,--whole-archive $(FUZZ_DIR)/asan_nopreinit.a \
		$(FUZZ_RT_DIR)/libclang_rt.asan_cxx-x86_64.a $(FUZZ_RT_DIR)/libclang_rt.fuzzer_no_main-x86_64.a \
		-Wl,--no-whole-archive -lpthread -ldl -lrt -lm

$(FUZZ_VENV)/bin/python: | check-python
	$(PYTHON) -m venv $(FUZZ_VENV)
	$(FUZZ_VENV)/bin/python -m pip install -q scikit-build-core ninja numpy atheris

fuzz-python: $(FUZZ_VENV)/bin/python $(FUZZ_DIR)/asan_with_fuzzer.so
	CXX=$(FUZZ_CXX) $(FUZZ_VENV)/bin/python -m pip install -q --no-build-isolation --no-deps \
		--force-reinstall -Cbuild-dir=$(FUZZ_DIR)/ext -Ccmake.build-type=RelWithDebInfo \
		-Ccmake.define.CMAKE_CXX_COMPILER=$(FUZZ_CXX) \
		-Ccmake.define.VOLLAN_SANITIZE=fuzzer-no-link,address,undefined .
	mkdir -p $(FUZZ_DIR)/corpus-entries
	$(FUZZ_SAN_ENV) LD_PRELOAD=$(abspath $(FUZZ_DIR)/asan_with_fuzzer.so) PYTHONMALLOC=malloc \
		$(FUZZ_VENV)/bin/python -W error fuzz/fuzz_entries.py $(LIBFUZZER_ARGS) -max_len=4096 \
		-artifact_prefix=$(FUZZ_DIR)/entries- $(FUZZ_DIR)/corpus-entries fuzz/corpus/entries

fuzz-properties: install
	VOLLAN_PROPERTY_EXAMPLES=$(PROPERTY_EXAMPLES) VOLLAN_PROPERTY_RANDOM=1 \
		$(VPY) -X dev -W error -m pytest -q -p no:cacheprovider tests/python/test_properties.py
