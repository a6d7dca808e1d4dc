# SPDX-License-Identifier: MIT
# The two set-up commands: `make run` and `make test`. Each installs what it needs first.
SHELL := /bin/bash
DEPS  := scripts/install-deps
CTEST_FLAGS := --output-on-failure -j2

.PHONY: all deps build run test test-sanitize test-asan test-tsan test-windows check-thread-safety \
        bench fuzz package package-check docs format clean

all: build

deps:
	@bash $(DEPS)

build: deps
	cmake --preset default >/dev/null
	cmake --build --preset default

run: deps
	cmake --preset release >/dev/null
	cmake --build --preset release
	./build/release/app/testserver

test: build
	cd build/default && ctest $(CTEST_FLAGS)

test-asan: deps
	cmake --preset asan >/dev/null
	cmake --build --preset asan
	cd build/asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest $(CTEST_FLAGS)

# TSan reports thread leaks without failing the process; exitcode and the report scan make them fatal.
test-tsan: deps
	cmake --preset tsan >/dev/null
	cmake --build --preset tsan
	cd build/tsan && TSAN_OPTIONS="halt_on_error=1 exitcode=66 report_thread_leaks=1" \
	  bash ../../scripts/setarch-tsan ctest $(CTEST_FLAGS)

test-sanitize: test-asan test-tsan

# The lock annotations checked by clang's thread-safety analysis; warnings are errors.
check-thread-safety: deps
	cmake --preset thread-safety >/dev/null
	cmake --build --preset thread-safety

# The Windows build: cross-compiled with mingw-w64, its test suite run under Wine.
test-windows:
	@bash scripts/install-deps-windows
	bash scripts/wine-tests build/win

bench: deps
	bash bench/install-deps
	cmake --preset bench >/dev/null
	cmake --build --preset bench
	bash bench/run.sh

# Every fuzz target for FUZZ_SECONDS (default 60) on a copy of its committed corpus.
fuzz:
	bash scripts/run-fuzz

# The Debian packages of the libraries (CPack), in build/package.
package:
	@bash $(DEPS) --package
	cmake --preset package >/dev/null
	cmake --build --preset package
	cd build/package && cpack -G DEB

# The libraries from the outside: install, find_package, pkg-config, FetchContent, the packages
# and the docs (scripts/package-check).
package-check:
	bash scripts/package-check

# The API reference from the public headers' comments, into build/docs/html (warnings fail it),
# and the check that the guide quotes its programs as they are.
docs:
	@bash $(DEPS) --docs
	python3 scripts/check-guide
	mkdir -p build/docs
	ID_VERSION=$$(sed -n 's/^project(IdFramework VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt) \
	  doxygen docs/Doxyfile

format:
	clang-format -i $$(git ls-files '*.h' '*.cpp')

clean:
	rm -rf build
