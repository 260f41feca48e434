#include "ivfflat_file_builder.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <stdexcept>

#include "distance.hpp"
#include "numeric.hpp"

namespace tavren::testing {

namespace {

std::vector<size_t> sorted_positions(const std::vector<int64_t>& ids) {
    std::vector<size_t> perm(ids.size());
    std::iota(perm.begin(), perm.end(), size_t{0});
    std::stable_sort(perm.begin(), perm.end(), [&](size_t a, size_t b) { return ids[a] < ids[b]; });
    return perm;
}

std::vector<uint8_t> id_section_of(const FlatFileList& list) {
    std::vector<uint8_t> section;
    if (list.id_section) {
        section = *list.id_section;
    } else if (!list.ids.empty()) {
        std::vector<int64_t> sorted = list.ids;
        std::stable_sort(sorted.begin(), sorted.end());
        section = encode_gaps(sorted);
    }
    section.insert(section.end(), list.extra_id_bytes.begin(), list.extra_id_bytes.end());
    return section;
}

}  // namespace

std::vector<uint8_t> leb128(uint64_t value) {
    std::vector<uint8_t> out;
    while (value >= 0x80) {
        out.push_back(static_cast<uint8_t>((value & 0x7F) | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<uint8_t>(value));
    return out;
}

std::vector<uint8_t> encode_gaps(std::span<const int64_t> ids) {
    std::vector<uint8_t> out;
    out.reserve(ids.size());
    uint64_t previous = ids.empty() ? 0 : static_cast<uint64_t>(ids.front());
    for (int64_t id : ids) {
        uint64_t gap = static_cast<uint64_t>(id) - previous;
        while (gap >= 0x80) {
            out.push_back(static_cast<uint8_t>((gap & 0x7F) | 0x80));
            gap >>= 7;
        }
        out.push_back(static_cast<uint8_t>(gap));
        previous = static_cast<uint64_t>(id);
    }
    return out;
}

IvfFlatFileBuilder::IvfFlatFileBuilder(int32_t d, int32_t nlist, uint32_t metric) : dimension_(d) {
    header.dimension = d;
    header.nlist = nlist;
    header.metric = metric;
    const size_t n = nlist > 0 ? static_cast<size_t>(nlist) : 0;
    centroids.assign(n * static_cast<size_t>(d > 0 ? d : 0), 0.0f);
    lists.resize(n);
}

void IvfFlatFileBuilder::add(size_t list, int64_t id, std::span<const float> row) {
    if (row.size() != d()) throw std::invalid_argument("row length differs from d");
    lists.at(list).ids.push_back(id);
    lists[list].rows.insert(lists[list].rows.end(), row.begin(), row.end());
}

FlatFileLayout IvfFlatFileBuilder::layout() const {
    FlatFileLayout l;
    l.table_start = ivfflat_format::kHeaderBytes + 4 * centroids.size();
    l.data_start = l.table_start + ivfflat_format::kOffsetEntryBytes * lists.size();
    uint64_t running = position_base + l.data_start;
    for (const FlatFileList& list : lists) {
        if (list.rows.size() != list.ids.size() * d()) throw std::invalid_argument("rows do not match ids * d");
        const uint64_t id_len = list.ids.empty() ? 0 : id_section_of(list).size();
        const uint64_t len = list.ids.empty() ? 0 : 12 + id_len + 4 * list.rows.size();
        l.payload_offset.push_back(running);
        l.payload_len.push_back(len);
        l.id_len.push_back(id_len);
        running += len;
    }
    l.file_len = running - position_base + trailing.size();
    return l;
}

std::vector<uint8_t> IvfFlatFileBuilder::build() const {
    const FlatFileLayout l = layout();
    std::vector<uint8_t> out;
    out.reserve(static_cast<size_t>(l.file_len));

    ivfflat_format::Header h = header;
    uint64_t sum = 0;
    for (const FlatFileList& list : lists) sum += list.ids.size();
    h.total = total.value_or(sum);
    out.resize(ivfflat_format::kHeaderBytes);
    h.encode_to(std::span<uint8_t, ivfflat_format::kHeaderBytes>(out.data(), ivfflat_format::kHeaderBytes));
    for (float c : centroids) put(out, c);

    for (size_t i = 0; i < lists.size(); ++i) {
        const FlatFileList& list = lists[i];
        put(out, list.entry_offset.value_or(static_cast<int64_t>(l.payload_offset[i])));
        put(out, list.entry_count.value_or(static_cast<int32_t>(list.ids.size())));
        put(out, list.entry_id_len.value_or(static_cast<int32_t>(l.id_len[i])));
    }
    for (const FlatFileList& list : lists) {
        if (list.ids.empty()) continue;
        const std::vector<size_t> perm = sorted_positions(list.ids);
        const std::vector<uint8_t> section = id_section_of(list);
        put(out, list.base.value_or(list.ids[perm.front()]));
        put(out, list.stored_id_len.value_or(static_cast<int32_t>(section.size())));
        out.insert(out.end(), section.begin(), section.end());
        const size_t d = this->d();
        const size_t at = out.size();
        out.resize(at + 4 * d * perm.size());
        for (size_t r = 0; r < perm.size(); ++r) {
            std::memcpy(out.data() + at + 4 * d * r, list.rows.data() + d * perm[r], 4 * d);
        }
    }
    out.insert(out.end(), trailing.begin(), trailing.end());
    return out;
}

IvfFlatFileBuilder line_file(int32_t nlist, size_t per_list, uint32_t metric) {
    IvfFlatFileBuilder file(2, nlist, metric);
    for (int32_t l = 0; l < nlist; ++l) {
        file.centroids[2 * l] = 10.0f * static_cast<float>(l);
        file.centroids[2 * l + 1] = 1.0f;
        for (size_t j = 0; j < per_list; ++j) {
            const float row[2] = {10.0f * static_cast<float>(l) + 0.25f * static_cast<float>(j),
                                  1.0f + 0.125f * static_cast<float>(j)};
            file.add(static_cast<size_t>(l), l * 100 + static_cast<int64_t>(j), row);
        }
    }
    return file;
}

ivfflat_io::IVFFlatIndexReader open_flat_reader(std::vector<uint8_t> bytes, const MemorySource::Options& options,
                                                MemorySource::Observer* observer) {
    if (bytes.size() < 64) throw std::invalid_argument("a file needs its 64 header bytes");
    std::array<uint8_t, 64> header{};
    std::copy(bytes.begin(), bytes.begin() + 64, header.begin());
    return ivfflat_io::IVFFlatIndexReader::open_with_header(MemorySource::make(std::move(bytes), options, observer),
                                                           std::span<const uint8_t, 64>(header));
}

ivfflat_io::IVFFlatIndexReader open_flat_reader(std::vector<uint8_t> bytes) {
    return open_flat_reader(std::move(bytes), MemorySource::Options{}, nullptr);
}

namespace {

std::vector<std::pair<float, int64_t>> all_distances(const IvfFlatFileBuilder& file, std::span<const float> query,
                                                     const row_id_filter::RowIdFilter* filter) {
    const size_t d = file.d();
    std::vector<float> q(query.begin(), query.end());
    const uint32_t metric = file.header.metric;
    if (metric == kMetricCosine) distance::fvec_normalize(q);
    const distance::QueryDistance qd{q, std::sqrt(distance::fvec_norm_l2sqr(q)), metric};
    std::vector<std::pair<float, int64_t>> all;
    for (const FlatFileList& list : file.lists) {
        for (size_t r = 0; r < list.ids.size(); ++r) {
            if (filter != nullptr && !filter->contains(list.ids[r])) continue;
            const std::span<const float> row(list.rows.data() + r * d, d);
            const float dist = metric == kMetricL2 ? distance::fvec_l2sqr(q, row) : qd.distance_to(row);
            all.emplace_back(dist, list.ids[r]);
        }
    }
    return all;
}

// The first min(n, all.size()) entries in ascending order.
void sort_prefix(std::vector<std::pair<float, int64_t>>& all, size_t n) {
    n = std::min(n, all.size());
    std::partial_sort(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(n), all.end(),
                      [](const auto& a, const auto& b) {
                          if (total_order_key(a.first) != total_order_key(b.first)) {
                              return total_order_key(a.first) < total_order_key(b.first);
                          }
                          return a.second < b.second;
                      });
}

}  // namespace

SearchResult brute_force_flat(const IvfFlatFileBuilder& file, std::span<const float> query, size_t k,
                              const row_id_filter::RowIdFilter* filter) {
    auto all = all_distances(file, query, filter);
    sort_prefix(all, k);
    SearchResult out;
    for (size_t i = 0; i < k; ++i) {
        out.ids.push_back(i < all.size() ? all[i].second : -1);
        out.distances.push_back(i < all.size() ? all[i].first : kF32Max);
    }
    return out;
}

bool brute_force_has_tie_at_cut(const IvfFlatFileBuilder& file, std::span<const float> query, size_t k,
                                const row_id_filter::RowIdFilter* filter) {
    auto all = all_distances(file, query, filter);
    sort_prefix(all, k + 1);
    return k > 0 && k < all.size() && all[k - 1].first == all[k].first;
}

IvfFlatFileBuilder random_flat_file(size_t d, size_t nlist, size_t n, uint32_t metric, std::mt19937& rng,
                                    int64_t first_id) {
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    IvfFlatFileBuilder file(static_cast<int32_t>(d), static_cast<int32_t>(nlist), metric);
    for (float& c : file.centroids) c = u(rng);
    std::vector<int64_t> ids(n);
    std::iota(ids.begin(), ids.end(), first_id);
    std::shuffle(ids.begin(), ids.end(), rng);
    std::vector<float> row(d);
    for (size_t i = 0; i < n; ++i) {
        for (float& x : row) x = u(rng);
        if (metric == kMetricCosine) distance::fvec_normalize(row);
        size_t best = 0;
        float best_d = std::numeric_limits<float>::infinity();
        for (size_t l = 0; l < nlist; ++l) {
            const float dl = distance::fvec_l2sqr(row, std::span<const float>(file.centroids).subspan(l * d, d));
            if (dl < best_d) {
                best_d = dl;
                best = l;
            }
        }
        file.add(best, ids[i], row);
    }
    return file;
}

}  // namespace tavren::testing
