# Top-level commands. Both work on a fresh machine: they install what is
# missing (scripts/setup), configure, build and run.
JOBS ?= $(shell nproc)
BUILD ?= build/release
ASAN_BUILD ?= build/asan
CMAKE_FLAGS ?=
# The ASan run leaves the cases labelled `heavy` (full-size 64 MiB twins of
# smaller cases, see TD_HEAVY_TESTS in tests/CMakeLists.txt) to the Release
# run; `make asan-test ASAN_CTEST_ARGS=` runs them too.
ASAN_CTEST_ARGS ?= -LE heavy

.PHONY: all setup build test asan-test demo clean

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
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1" \
		-DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g1" -DTD_SANITIZE=ON -DTD_BUILD_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest --output-on-failure -j $(JOBS) --timeout 1800 $(ASAN_CTEST_ARGS)

# The main command: builds an IVF-FLAT index over Fashion-MNIST with automatic
# options, writes it to a file, reopens it, searches the 10,000 queries at a
# few widths and prints recall@10 and QPS next to exact brute force, with a
# footnote on every column. The figures go to a JSON file and the recall-QPS
# plot to a PNG beside it. The ground truth is computed on the first run and
# cached under .cache/ann.
DEMO_DIR ?= $(BUILD)/demo
# The index type shown: ivf_flat, ivf_sq, ivf_pq or ivf_rq (make demo DEMO_TYPE=ivf_rq;
# extra library options in DEMO_OPTS, e.g. DEMO_OPTS="--opt rq.bits=8").
DEMO_OPTS ?=
DEMO_TYPE ?= ivf_flat
DEMO_JSON = $(DEMO_DIR)/fashion-mnist-$(DEMO_TYPE).json
DEMO_PNG = $(DEMO_DIR)/fashion-mnist-$(DEMO_TYPE).png
DEMO_ARGS ?= --dataset fashion-mnist --opt index.type=$(DEMO_TYPE) --opt metric=l2 --opt dimension=784 \
	--opt expected-vector-count=60000 --mode file --threads all --widths 1,2,4,8,16 \
	--time-budget 1 --summary $(DEMO_OPTS)

demo: setup $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) --target ann_bench -j $(JOBS)
	@mkdir -p $(DEMO_DIR)
	$(BUILD)/bench/ann/ann_bench $(DEMO_ARGS) --json $(DEMO_JSON)
	@/usr/bin/python3 scripts/plot_ann.py $(DEMO_JSON) --png $(DEMO_PNG) \
		--title "make demo: Fashion-MNIST, $(DEMO_TYPE), recall@10 vs single-query QPS"
	@echo "recall-QPS plot: $(DEMO_PNG) (figures: $(DEMO_JSON))"

clean:
	rm -rf build
