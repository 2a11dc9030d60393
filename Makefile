# The two commands of a newcomer on a fresh Debian 12 machine:
#   make run     installs what is missing, builds, and starts build/rozidarude
#   make check   installs what is missing, builds, and runs every test
# Longer runs of what make check runs briefly:
#   make fuzz    the fuzzer for FUZZ_SECONDS (60 by default; make check: 20)
#   make soak    the end-to-end soak with SOAK_CYCLES server outages (200; make check: 20)
.PHONY: run check build deps test-deps format clean fuzz soak

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

deps:
	scripts/install-deps.sh build

test-deps:
	scripts/install-deps.sh build test

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build build-asan build-fuzz
