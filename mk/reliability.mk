# Leak and endurance checks beyond `make test`.
#   make leak-valgrind   every entry on its success and error paths under valgrind memcheck;
#                        fails on a "definitely lost" block allocated by the extension
#   make soak            SOAK_ITERATIONS random valid and invalid calls; reports memory and
#                        threads at start and end, fails on growth (not part of CI)
VALGRIND_ROUNDS ?= 3
SOAK_ITERATIONS ?= 50000
VALGRIND_LOG := build/valgrind-leaks.log

.PHONY: leak-valgrind soak

leak-valgrind: install
	mkdir -p build
	PYTHONMALLOC=malloc valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite \
		--num-callers=40 --log-file=$(VALGRIND_LOG) \
		$(VPY) tests/python/test_leaks_extended.py workload $(VALGRIND_ROUNDS)
	grep -E "definitely lost|ERROR SUMMARY" $(VALGRIND_LOG) | tail -n 2
	$(VPY) tests/python/test_leaks_extended.py check $(VALGRIND_LOG)

soak: install
	$(VPY) fuzz/soak.py --iterations $(SOAK_ITERATIONS)
