# Top-level commands. Both work on a fresh machine: they install what is
# missing (scripts/setup), configure, build and run.
JOBS ?= $(shell nproc)
BUILD ?= build/release
ASAN_BUILD ?= build/asan
CMAKE_FLAGS ?=

.PHONY: all setup build test asan-test demo bench clean

all: build

setup:
	@scripts/setup

$(BUILD)/CMakeCache.txt: | setup
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)

build: setup $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 900

asan-test: setup
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTD_SANITIZE=ON -DTD_BUILD_BENCH=OFF
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest --output-on-failure -j $(JOBS) --timeout 1800

clean:
	rm -rf build
