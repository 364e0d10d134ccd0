# The two commands of the README: `make demo` and `make test`. `make` alone builds the
# programs into build/ (scripts/install-deps, or make deps, installs what that needs).
.PHONY: all deps deps-test deps-package build build-ci demo package screenshot test test-ci test-asan \
        test-faults-long test-reproducible bench fuzz on-debian-demo on-debian-test clean

# Every core, for the builds and for ctest, unless the caller chose.
export CMAKE_BUILD_PARALLEL_LEVEL ?= $(shell nproc)
export CTEST_PARALLEL_LEVEL ?= $(shell nproc)

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

# What make package needs beyond the build: the KDE plugin's framework, dpkg-shlibdeps, file.
deps-package:
	scripts/install-deps --package

build:
	cmake --preset default
	cmake --build --preset default

demo: deps
	$(MAKE) build
	scripts/demo

# PNGs of the card, for a folder share, a long error and every status text in every
# language, drawn in a virtual X server, and at scale 2 in a headless Wayland session.
screenshot: deps-test build-ci
	GTK_A11Y=none GDK_DEBUG=gl-disable GDK_DISABLE=gl GSK_RENDERER=cairo xvfb-run -a -s "-noreset -screen 0 1024x768x24" build-ci/bin/card_gui_tests --gtest_filter='*Screenshots*'
	GTK_A11Y=none GDK_DEBUG=gl-disable GDK_DISABLE=gl GSK_RENDERER=cairo tests/support/in-sway --scale 2 build-ci/bin/card_gui_tests --gtest_filter='*Screenshots*'
	@echo "Screenshots: build-ci/screenshots/card-folder.png build-ci/screenshots/card-long-error.png" \
	      "build-ci/screenshots/<language>/<status key>.png, and at scale 2 the same under build-ci/screenshots/scale-2/"

# Debian packages for the Debian release this runs on (amd64) in build-package/packages/:
# plumo-share, and the card, the GNOME Files and the KDE integrations in packages of their
# own. The same tree gives the same bytes: every time in them is the last commit's.
package: deps-package
	SOURCE_DATE_EPOCH=$$(git log -1 --format=%ct) cmake --preset package
	SOURCE_DATE_EPOCH=$$(git log -1 --format=%ct) cmake --build --preset package --target package
	@ls build-package/packages/*.deb

# The same tree, built twice in two folders, gives byte-identical packages (minutes).
test-reproducible: deps-package
	tests/packaging/reproducible-packages

test: deps-test test-ci test-asan

build-ci:
	cmake --preset ci
	cmake --build --preset ci

test-ci: build-ci
	ctest --preset ci

test-asan:
	cmake --preset asan
	cmake --build --preset asan
	ctest --preset asan

# The fault matrix over every point instead of make test's sample (several minutes).
test-faults-long: deps-test build-ci
	ctest --preset faults-long

bench:
	scripts/install-deps --bench
	bench/run

# Thirty seconds of libFuzzer for each target: the rules that judge names, texts and
# links, and whole frames of what a browser sends the native host.
fuzz:
	scripts/install-deps --fuzz
	cmake --preset fuzz
	cmake --build --preset fuzz --target share_import_rules_fuzzer native_host_frames_fuzzer
	for target in share_import_rules_fuzzer native_host_frames_fuzzer; do \
	  mkdir -p build-fuzz/corpus/$$target && \
	  build-fuzz/bin/$$target -max_total_time=30 -rss_limit_mb=4096 build-fuzz/corpus/$$target || exit 1; \
	done

# The two commands on fresh, minimal Debian 12 and 13 systems (git and make only), as a
# new user meets them (scripts/on-debian: needs root; the bare systems are cached).
on-debian-demo:
	scripts/on-debian bookworm make demo
	scripts/on-debian trixie make demo

on-debian-test:
	scripts/on-debian bookworm make test
	scripts/on-debian trixie make test

clean:
	rm -rf build build-ci build-asan build-fuzz build-bench build-package
