# The two commands of a newcomer on a fresh Debian 12 machine:
#   make run     installs what is missing, builds, and starts build/rozidarude
#   make check   installs what is missing, builds, and runs every test
# Longer runs of what make check runs briefly, and the benchmark:
#   make fuzz    the fuzzer for FUZZ_SECONDS (60 by default; make check: 20)
#   make soak    the end-to-end soak with SOAK_CYCLES server outages (200; make check: 20)
#   make bench   start-up time and memory against other launchers (RUNS rounds, 5 by default)
.PHONY: run check build deps test-deps format clean fuzz soak bench bench-deps

FUZZ_SECONDS ?= 60
SOAK_CYCLES ?= 200

build: deps
	cmake --preset default
	cmake --build --preset default

run: build
	./build/rozidarude

check: test-deps
	cmake --preset default
	cmake --build --preset default
	ctest --preset default
	cmake --preset asan
	cmake --build --preset asan
	ctest --preset asan
	$(MAKE) fuzz FUZZ_SECONDS=20

fuzz: test-deps
	cmake --preset fuzz
	cmake --build --preset fuzz
	FUZZ_SECONDS=$(FUZZ_SECONDS) ctest --preset fuzz

soak: build test-deps
	SOAK_CYCLES=$(SOAK_CYCLES) tests/e2e/run.sh build/rozidarude -k soak -s

# Start-up time, memory and idle CPU against a bare WebKitGTK window, Chromium and surf, under
# Xvfb when there is no display. Reports figures, never fails on them; not part of check.
#   make bench RUNS=15   more interleaved rounds (default 5)
RUNS ?= 5
bench: bench-deps
	cmake --preset bench
	cmake --build --preset bench
	/usr/bin/python3 bench/bench.py --build build-bench --runs $(RUNS) $(BENCH_ARGS)

bench-deps:
	scripts/install-deps.sh build bench

deps:
	scripts/install-deps.sh build

test-deps:
	scripts/install-deps.sh build test

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build build-asan build-fuzz build-bench
