#include "ivf_search.hpp"

#include <limits>

namespace tavren::ivf_search {

namespace {

// Partial results and task heaps above these are released after the batch
// that needed them instead of being kept for the next one.
constexpr size_t kKeptPartialBytes = size_t{64} << 20;
constexpr size_t kKeptTaskHeapEntries = static_cast<size_t>(kBlockedHeapEntries);

}  // namespace

size_t SearchScratch::bytes() const noexcept {
    size_t n = partials.bytes();
    n += task_heaps.capacity() * sizeof(TaskHeap);
    for (const TaskHeap& t : task_heaps) n += t.heap.capacity() * sizeof(ArrivalOrderTopKHeap::Entry);
    n += (partial_counts.capacity() + list_room.capacity() + list_base.capacity() + list_first_pair.capacity()) *
         sizeof(size_t);
    n += group_of.capacity() * sizeof(uint32_t);
    n += tiles.capacity() * sizeof(Tile);
    return n;
}

void SearchScratch::trim() {
    if (partials.bytes() > kKeptPartialBytes) partials.release();
    size_t heap_entries = 0;
    for (const TaskHeap& t : task_heaps) heap_entries += t.heap.capacity();
    if (heap_entries > kKeptTaskHeapEntries) std::vector<TaskHeap>().swap(task_heaps);
}

void merge_partial(ArrivalOrderTopKHeap& heap, std::span<const ScoredRow> partial) {
    for (const ScoredRow& r : partial) {
        // A partial result ascends by rank: once a full heap refuses one
        // pair, it refuses every later one, and its worst stays as it is.
        if (heap.full() && !(topk::distance_rank(r.distance) < heap.worst_rank())) break;
        heap.push(r.row_id, r.distance);
    }
}

void seed_heaps(std::span<ArrivalOrderTopKHeap> heaps, std::span<const int64_t> seed_ids,
                std::span<const float> seed_distances, size_t k) {
    if (heaps.empty() || k == 0) return;
    for (size_t q = 0; q < heaps.size(); ++q) {
        std::optional<uint64_t> start = checked_mul(q, k);
        if (!start) return;
        std::optional<uint64_t> end = checked_add(*start, k);
        if (!end || *end > seed_ids.size() || *end > seed_distances.size()) continue;
        for (size_t j = static_cast<size_t>(*start); j < *end; ++j) {
            if (seed_distances[j] != kF32Max) heaps[q].push(seed_ids[j], seed_distances[j]);
        }
    }
}

SearchResult padded_results(ArrivalOrderTopKHeap heap, size_t k) {
    ivf_lists::check_capacity(k, sizeof(int64_t));
    const std::span<const ArrivalOrderTopKHeap::Entry> sorted = heap.sort_in_place();
    SearchResult out;
    out.ids.reserve(k);
    out.distances.reserve(k);
    for (const ArrivalOrderTopKHeap::Entry& r : sorted) {
        out.ids.push_back(r.row_id);
        out.distances.push_back(r.distance);
    }
    if (sorted.size() < k) {
        out.ids.resize(k, -1);
        out.distances.resize(k, kF32Max);
    }
    return out;
}

void validate_batch_seed(std::span<const int64_t> seed_ids, std::span<const float> seed_distances, size_t nq,
                         size_t k) {
    std::optional<uint64_t> total = checked_mul(nq, k);
    if (!total) invalid_input("nq * k overflows usize");
    const bool both_empty = seed_ids.empty() && seed_distances.empty();
    if (!both_empty && (seed_ids.size() != *total || seed_distances.size() != *total)) {
        invalid_input("seed result lengths must both equal nq * k");
    }
}

ListGroups group_by_list(const kmeans::TopKBatch& probes, size_t nq, size_t probe_start,
                         const ivf_lists::ListStore& lists, std::vector<uint32_t>& group_of) {
    constexpr uint32_t kNone = std::numeric_limits<uint32_t>::max();
    const size_t nlist = lists.nlist();
    if (group_of.size() != nlist) group_of.assign(nlist, kNone);
    ListGroups out;
    // Every entry set here is cleared on the way out, whatever happens.
    struct ClearGroups {
        std::vector<uint32_t>& group_of;
        const std::vector<size_t>& order;
        void clear() noexcept {
            for (size_t l : order) group_of[l] = kNone;
        }
        ~ClearGroups() { clear(); }
    } clear_groups{group_of, out.order};
    std::vector<size_t> group_sizes;
    for (size_t i = 0; i < nq; ++i) {
        const std::vector<size_t>& probed = probes.lists[i];
        for (size_t r = probe_start; r < probed.size(); ++r) {
            const size_t l = probed[r];
            if (group_of[l] == kNone) {
                out.order.push_back(l);  // first, so the guard clears whatever was set
                group_of[l] = static_cast<uint32_t>(out.order.size() - 1);
                group_sizes.push_back(0);
            }
            ++group_sizes[group_of[l]];
        }
    }
    std::vector<size_t> starts(out.order.size() + 1, 0);
    for (size_t g = 0; g < out.order.size(); ++g) starts[g + 1] = starts[g] + group_sizes[g];
    out.members.resize(starts.back());
    out.offerable.assign(nq, 0);
    {
        std::vector<size_t> fill(starts.begin(), starts.end() - 1);
        for (size_t i = 0; i < nq; ++i) {
            const std::vector<size_t>& probed = probes.lists[i];
            for (size_t r = probe_start; r < probed.size(); ++r) {
                const size_t l = probed[r];
                out.members[fill[group_of[l]]++] = i;
                out.offerable[i] = saturating_add(out.offerable[i], static_cast<uint64_t>(lists.count(l)));
            }
        }
    }
    out.sets.reserve(out.order.size());
    for (size_t g = 0; g < out.order.size(); ++g) {
        out.sets.emplace_back(out.members.data() + starts[g], starts[g + 1] - starts[g]);
    }
    clear_groups.clear();  // before `out` may be moved from
    return out;
}

}  // namespace tavren::ivf_search
