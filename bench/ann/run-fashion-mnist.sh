#!/usr/bin/env bash
# The Fashion-MNIST figures of docs/benchmarks.md: IVF-FLAT with automatic
# nlist and with nlist 1024, nprobe 1..128, one thread and all cores, file and
# memory hosts, with and without 200 us injected latency per read call. Writes
# the JSON runs and their markdown tables to bench/results/, the recall-QPS
# plot to docs/img/, and the tables into docs/benchmarks.md (between its
# bench markers). The README's short summary is written by hand from them.
#
#   BUILD=build/release bench/ann/run-fashion-mnist.sh [extra ann_bench flags]
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD=${BUILD:-build/release}
OUT=bench/results
mkdir -p "$OUT" docs/img

if [ ! -f "$BUILD/CMakeCache.txt" ]; then
  cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release
fi
cmake --build "$BUILD" --target ann_bench -j "${JOBS:-4}"
# The tree the figures are measured at (before anything can change under us).
state="commit $(git rev-parse --short HEAD 2>/dev/null || echo unknown)"
if ! git diff --quiet HEAD 2>/dev/null; then state="$state with uncommitted changes in the tree"; fi

common=(--dataset fashion-mnist --opt index.type=ivf_flat --opt metric=l2 --opt dimension=784
        --opt expected-vector-count=60000 --widths 1,2,4,8,16,32,64,128
        --mode file,memory --latency-us 0,200 --threads 1,all --time-budget "${TIME_BUDGET:-2}" --batch-size 1000)

"$BUILD/bench/ann/ann_bench" "${common[@]}" --json "$OUT/fashion-mnist-ivf_flat-auto.json" "$@"
"$BUILD/bench/ann/ann_bench" "${common[@]}" --opt nlist=1024 --no-baseline \
  --json "$OUT/fashion-mnist-ivf_flat-1024.json" "$@"

runs=("$OUT/fashion-mnist-ivf_flat-auto.json" "$OUT/fashion-mnist-ivf_flat-1024.json")
load=$(cut -d' ' -f1-3 /proc/loadavg)
/usr/bin/python3 scripts/plot_ann.py "${runs[@]}" --markdown "$OUT/fashion-mnist.md" \
  --title "Fashion-MNIST, IVF-FLAT (l2, top_k 100)" \
  --note "Measured $(date -u +%Y-%m-%d) at $state; load average at the end: $load (other work shared the cores, so single figures carry noise of tens of percent)."
/usr/bin/python3 scripts/plot_ann.py "${runs[@]}" --png docs/img/ann-fashion-mnist.png \
  --title "Fashion-MNIST, IVF-FLAT: recall@10 vs single-query QPS (l2)"
/usr/bin/python3 scripts/readme_bench.py "$OUT/fashion-mnist.md" docs/benchmarks.md
echo "wrote $OUT/fashion-mnist.md, docs/img/ann-fashion-mnist.png and the tables of docs/benchmarks.md"
