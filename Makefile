# Front door of the build: everything goes through CMake into build/.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all build deps configure test demo serve bench check fuzz clean install package

all build: configure
	cmake --build $(BUILD) -j $(JOBS)

deps:
	@scripts/install-deps

configure: deps
	@test -f $(BUILD)/CMakeCache.txt || cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

# The suite in the normal tree, then under the sanitizers, then a short
# fuzzing run of every parser of outside input.
test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	$(MAKE) check
	$(MAKE) fuzz FUZZ_SECONDS=$(TEST_FUZZ_SECONDS)

# The whole suite in a second tree built with ASan, UBSan and LeakSanitizer.
ASAN_BUILD ?= build-asan
check: deps
	@JOBS=$(JOBS) scripts/check $(ASAN_BUILD)

# libFuzzer targets in a clang tree, FUZZ_SECONDS each (make test: 30).
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
TEST_FUZZ_SECONDS ?= 30
fuzz: deps
	@JOBS=$(JOBS) FUZZ_SECONDS=$(FUZZ_SECONDS) scripts/fuzz $(FUZZ_BUILD)

demo: build
	@scripts/demo $(BUILD)

serve: build
	@scripts/serve $(BUILD)

bench: build
	@bench/run $(BUILD)

# make install [PREFIX=/usr/local] [DESTDIR=/tmp/stage]
PREFIX ?= /usr/local
# (preinstall relinks the programs and libraries with their installed RPATHs).
install: build
	cmake --build $(BUILD) --target preinstall
	DESTDIR=$(DESTDIR) cmake --install $(BUILD) --prefix $(PREFIX)

# Debian package of the same files, left in $(BUILD)/.
package: build
	cd $(BUILD) && cpack -G DEB

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
