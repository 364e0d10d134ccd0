# The two commands of the README: `make demo` and `make test`. `make` alone builds into build/.
.PHONY: all deps deps-test build demo screenshot test test-ci test-asan test-faults-long bench fuzz clean

all: build

deps:
	scripts/install-deps

# What only the tests need: browsers, the KDE plugin's framework, package checks, and
# the npm packages of browser/'s lockfile (installed again only when the lockfile changes).
deps-test:
	scripts/install-deps --test
	$(MAKE) browser/node_modules/.package-lock.json

browser/node_modules/.package-lock.json: browser/package-lock.json
	npm ci --prefix browser --no-audit --no-fund

build: deps
	cmake --preset default
	cmake --build --preset default

demo: build
	scripts/demo

# PNGs of the card, for a folder share, a long error and every status text in every
# language, drawn in a virtual X server.
screenshot: build
	GTK_A11Y=none GDK_DEBUG=gl-disable GSK_RENDERER=cairo xvfb-run -a -s "-screen 0 1024x768x24" build/bin/card_gui_tests --gtest_filter='*Screenshots*'
	@echo "Screenshots: build/screenshots/card-folder.png build/screenshots/card-long-error.png" \
	      "build/screenshots/<language>/<status key>.png"

test: deps-test test-ci test-asan

test-ci:
	cmake --preset ci
	cmake --build --preset ci
	ctest --preset ci

test-asan:
	cmake --preset asan
	cmake --build --preset asan
	ctest --preset asan

# The fault matrix over every point instead of make test's sample (several minutes).
test-faults-long: build
	ctest --preset faults-long

bench: deps
	bench/run

# Sixty seconds of libFuzzer over the rules that judge names, texts and links.
fuzz:
	scripts/install-deps --fuzz
	cmake --preset fuzz
	cmake --build --preset fuzz --target share_import_rules_fuzzer
	mkdir -p build-fuzz/corpus
	build-fuzz/bin/share_import_rules_fuzzer -max_total_time=60 build-fuzz/corpus

clean:
	rm -rf build build-ci build-asan build-fuzz build-bench
