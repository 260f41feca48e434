// The DiskANN reader core over whole files: open, optimize_for_search
// (resident sections, the adjacency preload and its parallel page checks),
// the row-ID order, lookups and a clone.
//
// Input: byte 0 the host's range cap (its value mod 6, 0 = none), byte 1 the
// memory budget (low bits pick one of four, from a few KiB to 64 MiB), then
// the file image. Every failure must be a tavren::Error; whatever loads must
// keep the promises searches rely on (row IDs and locators of every node, an
// order that lists every node once). Allocations stay within the budget.
#include <cstdint>
#include <memory>
#include <vector>

#include "diskann_io.hpp"
#include "file_fuzz_support.hpp"

namespace {

using namespace tavren;
using fuzz_support::check;

void exercise(diskann_io::DiskAnnIndexReader& reader) {
    reader.optimize_for_search();
    const uint64_t n = reader.header().vector_count;
    // Every node has a row ID and a locator once the resident data loaded.
    for (uint64_t node = 0; node < n && node < 4096; ++node) {
        (void)reader.row_id(node);
        const auto locator = reader.adjacency_locator(node);
        check(uint64_t{locator.page} < reader.resident().adjacency_validation->page_count());
    }
    uint64_t visited = 0;
    reader.try_for_each_row_id([&](uint64_t node, int64_t id) {
        check(node == visited);
        check(id == reader.row_id(node));
        ++visited;
    });
    check(visited == n);
    const diskann_io::SharedOrder order = reader.ensure_row_id_order();
    if (order) {
        check(order->size() == n);
        std::vector<uint8_t> seen(n, 0);
        for (uint32_t node : *order) {
            check(node < n && !seen[node]);
            seen[node] = 1;
        }
        check(reader.loaded_row_id_order_bytes() == 4 * n);
    }
    diskann_io::DiskAnnIndexReader clone = reader.try_clone_with_shared_state();
    check(clone.resident_handle() == reader.resident_handle());
    check(clone.ensure_row_id_order() == order);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    auto file = std::make_shared<fuzz_support::MemoryFile>();
    file->cap = data[0] % 6;
    static constexpr uint64_t kBudgets[4] = {16384, 262144, 4194304, 67108864};
    read_options::VectorIndexReaderOptions options;
    options.memory_budget_bytes = kBudgets[data[1] % 4];
    file->bytes.assign(data + 2, data + size);
    try {
        diskann_io::DiskAnnIndexReader reader = diskann_io::DiskAnnIndexReader::open_with_options(file, options);
        check(reader.read_capabilities().max_ranges_per_call == file->cap);
        try {
            exercise(reader);
        } catch (const Error&) {
        }
        // A second attempt after a failure must fail or succeed cleanly too.
        exercise(reader);
    } catch (const Error&) {
    }
    return 0;
}
