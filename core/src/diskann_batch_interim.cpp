// Stand-ins for the batch worker set until the unfiltered batch search lands.
#include <vector>

#include "diskann_io.hpp"
#include "error.hpp"

namespace tavren::diskann_io {

std::vector<DiskAnnIndexReader> DiskAnnIndexReader::take_batch_workers(size_t count, bool resident_only) {
    if (resident_only) {
        ensure_resident();
    } else {
        optimize_for_search();
    }
    std::vector<DiskAnnIndexReader> workers = std::move(batch_workers_);
    batch_workers_.clear();
    if (workers.size() > count) workers.erase(workers.begin() + static_cast<std::ptrdiff_t>(count), workers.end());
    while (workers.size() < count) workers.push_back(try_clone_with_shared_state());
    return workers;
}

void DiskAnnIndexReader::collect_parallel_session_outputs(std::vector<std::vector<SessionOutput>>& outputs, size_t nq,
                                                          size_t top_k, std::vector<int64_t>& ids,
                                                          std::vector<float>& distances) {
    std::vector<SessionOutput*> slots(nq, nullptr);
    for (auto& list : outputs) {
        for (SessionOutput& out : list) {
            if (out.query >= nq) invalid_data("DiskANN parallel session query index is invalid");
            if (slots[out.query] != nullptr) invalid_data("DiskANN parallel sessions returned a duplicate query");
            slots[out.query] = &out;
            stats_.merge_complete_query(out.stats);
        }
    }
    for (SessionOutput* s : slots) {
        if (s == nullptr) invalid_data("DiskANN parallel sessions did not return every query");
    }
    ids.clear();
    distances.clear();
    ids.reserve(nq * top_k);
    distances.reserve(nq * top_k);
    for (SessionOutput* s : slots) {
        ids.insert(ids.end(), s->ids.begin(), s->ids.end());
        distances.insert(distances.end(), s->distances.begin(), s->distances.end());
    }
}

}  // namespace tavren::diskann_io
