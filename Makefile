# The two commands of a newcomer on a fresh Debian 12 machine:
#   make run     installs what is missing, builds, and starts build/rozidarude
#   make check   installs what is missing, builds, and runs every test
.PHONY: run check build deps test-deps format clean

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

deps:
	scripts/install-deps.sh build

test-deps:
	scripts/install-deps.sh build test

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build build-asan
