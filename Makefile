# Front door of the build: everything goes through CMake into build/.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all build deps configure test demo serve bench check clean install package

all build: configure
	cmake --build $(BUILD) -j $(JOBS)

deps:
	@scripts/install-deps

configure: deps
	@test -f $(BUILD)/CMakeCache.txt || cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

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
	rm -rf $(BUILD)
