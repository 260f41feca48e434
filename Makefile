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
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 LSAN_OPTIONS=suppressions=$(CURDIR)/scripts/lsan-suppressions.txt UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest --output-on-failure -j $(JOBS) --timeout 1800 $(ASAN_CTEST_ARGS)

# The main command: builds an index of every type (IVF-FLAT, IVF-SQ, IVF-PQ,
# IVF-RQ, DiskANN) over Fashion-MNIST with automatic options, writes each to a
# file, reopens it, searches the 10,000 queries at a few widths (nprobe; l_search
# for DiskANN) and prints one combined table of recall@10, QPS and per-query
# latency next to exact brute force. The figures go to one JSON file per type and
# the recall-QPS plot, one curve per type, to a PNG beside them. The ground
# truth is computed on the first run and cached under .cache/ann.
# DEMO_TYPE=x shows one type only (make demo DEMO_TYPE=ivf_rq; extra library
# options in DEMO_OPTS, e.g. DEMO_OPTS="--opt rq.bits=8").
DEMO_DIR ?= $(BUILD)/demo
DEMO_OPTS ?=
DEMO_TYPE ?= all
DEMO_TYPES = $(if $(filter all,$(DEMO_TYPE)),ivf_flat ivf_sq ivf_pq ivf_rq diskann,$(DEMO_TYPE))
DEMO_NAME = $(if $(filter all,$(DEMO_TYPE)),all,$(DEMO_TYPE))
DEMO_PNG = $(DEMO_DIR)/fashion-mnist-$(DEMO_NAME).png
DEMO_IVF_WIDTHS ?= 1,2,4,8,16
DEMO_DISKANN_WIDTHS ?= 10,15,20,30,50,100
DEMO_ARGS ?= --dataset fashion-mnist --opt metric=l2 --opt dimension=784 \
	--opt expected-vector-count=60000 --mode file --threads all --k 10 --time-budget 1 --warmup 0.5 $(DEMO_OPTS)

demo: setup $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) --target ann_bench -j $(JOBS)
	@mkdir -p $(DEMO_DIR)
	@baseline=""; for t in $(DEMO_TYPES); do \
		if [ $$t = diskann ]; then w="$(DEMO_DISKANN_WIDTHS)"; else w="$(DEMO_IVF_WIDTHS)"; fi; \
		echo "== $$t"; \
		$(BUILD)/bench/ann/ann_bench $(DEMO_ARGS) --opt index.type=$$t --widths $$w $$baseline \
			--json $(DEMO_DIR)/fashion-mnist-$$t.json --summary || exit 1; \
		baseline="--no-baseline"; \
	done
	@echo; echo "make demo: Fashion-MNIST l2, recall@10 and single-query QPS ($(DEMO_TYPES))"
	@/usr/bin/python3 scripts/plot_ann.py --table $(foreach t,$(DEMO_TYPES),$(DEMO_DIR)/fashion-mnist-$(t).json)
	@/usr/bin/python3 scripts/plot_ann.py $(foreach t,$(DEMO_TYPES),$(DEMO_DIR)/fashion-mnist-$(t).json) \
		--png $(DEMO_PNG) --title "make demo: Fashion-MNIST, $(DEMO_NAME), recall@10 vs single-query QPS"
	@echo "recall-QPS plot: $(DEMO_PNG) (figures: $(foreach t,$(DEMO_TYPES),$(DEMO_DIR)/fashion-mnist-$(t).json))"

clean:
	rm -rf build
