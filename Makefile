# Front door of the build: everything goes through CMake into build/.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all build deps deps-build deps-test configure test demo serve bench check fuzz \
	fuzz-test clean install package

all build: configure
	cmake --build $(BUILD) -j $(JOBS)

# The packages each kind of target needs (scripts/install-deps): the build
# alone, or the build and the tests, benchmarks and pages.
deps: deps-build
deps-build:
	@scripts/install-deps build
deps-test:
	@scripts/install-deps test

# Configures once, and again from scratch whenever CMAKE_FLAGS differ from
# the flags of the last configure (kept in $(BUILD)/.cmake-flags).
FLAGS_STAMP = $(BUILD)/.cmake-flags
configure: deps-build
	@if [ ! -f $(BUILD)/CMakeCache.txt ]; then \
	  cmake -S . -B $(BUILD) $(CMAKE_FLAGS) && printf '%s\n' '$(CMAKE_FLAGS)' >$(FLAGS_STAMP); \
	elif [ "$$(cat $(FLAGS_STAMP) 2>/dev/null)" != '$(CMAKE_FLAGS)' ]; then \
	  echo "CMAKE_FLAGS changed: configuring $(BUILD) again"; \
	  cmake --fresh -S . -B $(BUILD) $(CMAKE_FLAGS) && printf '%s\n' '$(CMAKE_FLAGS)' >$(FLAGS_STAMP); \
	fi

# The suite in the normal tree (the sanitizer and fuzz trees build
# meanwhile), then under the sanitizers, then every fuzz corpus replayed and
# each fuzzer run briefly (scripts/test).
# A tree first configured without the test packages is configured again.
test: deps-test build
	@grep -q '^ORVIK_TESTS_BUILT:INTERNAL=ON$$' $(BUILD)/CMakeCache.txt || { \
	  cmake $(BUILD) >/dev/null && cmake --build $(BUILD) -j $(JOBS) && \
	  grep -q '^ORVIK_TESTS_BUILT:INTERNAL=ON$$' $(BUILD)/CMakeCache.txt; } || { \
	  echo "make test: $(BUILD) is configured without tests (ORVIK_BUILD_TESTS=OFF)" >&2; exit 1; }
	@JOBS=$(JOBS) FUZZ_SECONDS=$(TEST_FUZZ_SECONDS) scripts/test $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)

# The whole suite in a second tree built with ASan, UBSan and LeakSanitizer.
ASAN_BUILD ?= build-asan
check: deps-test
	@JOBS=$(JOBS) scripts/check $(ASAN_BUILD)

# libFuzzer targets in a clang tree: every corpus replayed, then each
# target fuzzed FUZZ_SECONDS (make fuzz: 60; make test: 10).
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
TEST_FUZZ_SECONDS ?= 10
fuzz: deps-test
	@JOBS=$(JOBS) FUZZ_SECONDS=$(FUZZ_SECONDS) scripts/fuzz $(FUZZ_BUILD)
fuzz-test: deps-test
	@JOBS=$(JOBS) FUZZ_SECONDS=$(TEST_FUZZ_SECONDS) scripts/fuzz $(FUZZ_BUILD)

demo: build
	@scripts/demo $(BUILD)

serve: deps-test build
	@scripts/serve $(BUILD)

bench: deps-test build
	@bench/run $(BUILD)

# make install [PREFIX=/usr/local] [DESTDIR=/tmp/stage]
PREFIX ?= /usr/local
# (preinstall relinks the programs and libraries with their installed RPATHs).
install: build
	cmake --build $(BUILD) --target preinstall
	DESTDIR=$(DESTDIR) cmake --install $(BUILD) --prefix $(PREFIX)

# The Debian packages liborvik0, liborvik-dev, orvik-tools and orvik-sim,
# left in $(BUILD)/packages/.
package: build
	@scripts/make-debs $(BUILD) $(BUILD)/packages

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
