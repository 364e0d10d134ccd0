# The two commands of the README: `make demo` and `make test`. `make` alone builds into build/.
.PHONY: all deps build test test-ci test-asan bench clean

all: build

deps:
	scripts/install-deps

build: deps
	cmake --preset default
	cmake --build --preset default

test: deps test-ci test-asan

test-ci:
	cmake --preset ci
	cmake --build --preset ci
	ctest --preset ci

test-asan:
	cmake --preset asan
	cmake --build --preset asan
	ctest --preset asan

bench: build
	bench/run

clean:
	rm -rf build build-asan
