// A test-side IVF-FLAT file builder, written from the byte layout alone (it
// shares nothing with the library's writer), that can forge every field: the
// header, the offset table entries, each payload's base ID, stored ID length
// and ID section, and bytes after the last payload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <vector>

#include "bytes.hpp"
#include "ivfflat_format.hpp"
#include "ivfflat_io.hpp"
#include "memory_source.hpp"
#include "row_id_filter.hpp"
#include "search_result.hpp"

namespace tavren::testing {

struct FlatFileList {
    std::vector<int64_t> ids;  // any order: build() sorts them stably, rows follow
    std::vector<float> rows;   // ids.size() * d values, row i for ids[i]

    // Forgeries; each replaces what build() would write.
    std::optional<std::vector<uint8_t>> id_section;  // the gap bytes
    std::vector<uint8_t> extra_id_bytes;             // appended to the gaps, counted in the ID length
    std::optional<int64_t> base;                     // the payload's base ID
    std::optional<int32_t> stored_id_len;            // the payload's copy of the ID length
    std::optional<int64_t> entry_offset;             // the table entry's fields
    std::optional<int32_t> entry_count;
    std::optional<int32_t> entry_id_len;
};

// Where things are in a built file.
struct FlatFileLayout {
    uint64_t table_start = 0;
    uint64_t data_start = 0;
    std::vector<uint64_t> payload_offset;  // as written to the table (position_base included)
    std::vector<uint64_t> payload_len;     // 0 for an empty list
    std::vector<uint64_t> id_len;          // ID section length per list
    uint64_t file_len = 0;
};

class IvfFlatFileBuilder {
public:
    IvfFlatFileBuilder(int32_t d, int32_t nlist, uint32_t metric);

    ivfflat_format::Header header;  // every field may be forged before build()
    std::optional<uint64_t> total;  // the header's vector count; default: the sum of the rows
    std::vector<float> centroids;   // nlist * d values (zero at first)
    std::vector<FlatFileList> lists;
    std::vector<uint8_t> trailing;  // bytes after the last payload
    uint64_t position_base = 0;     // added to every payload offset (a host position)

    size_t d() const noexcept { return static_cast<size_t>(dimension_); }
    void add(size_t list, int64_t id, std::span<const float> row);

    FlatFileLayout layout() const;
    std::vector<uint8_t> build() const;

private:
    int32_t dimension_;
};

// d = 2, nlist lists on a line (centroid l at (10 l, 1)), `per_list` rows
// each near their centroid, row IDs l * 100 + j.
IvfFlatFileBuilder line_file(int32_t nlist, size_t per_list, uint32_t metric = 0);

// n rows uniform in [-1, 1) in nlist lists (random centroids; each row in its
// nearest centroid's list under l2), IDs first_id .. first_id + n - 1
// shuffled, cosine rows stored normalised; everything drawn from `rng`.
IvfFlatFileBuilder random_flat_file(size_t d, size_t nlist, size_t n, uint32_t metric, std::mt19937& rng,
                                    int64_t first_id);

// Unsigned LEB128 of one value.
std::vector<uint8_t> leb128(uint64_t value);
// IDs ascending -> gap bytes (first gap 0) with base = ids.front().
std::vector<uint8_t> encode_gaps(std::span<const int64_t> ids);

// Opens a reader over `bytes` (at least 64) served by a MemorySource; the
// observer, when given, receives the source's counters.
ivfflat_io::IVFFlatIndexReader open_flat_reader(std::vector<uint8_t> bytes, const MemorySource::Options& options,
                                                MemorySource::Observer* observer = nullptr);
ivfflat_io::IVFFlatIndexReader open_flat_reader(std::vector<uint8_t> bytes);

// Exhaustive search over every row of the builder's lists with the library's
// kernels: the query is normalised first under cosine; rows the filter (may
// be null) lacks are left out; ascending by distance, equal distances by row
// ID; padded to k with (-1, kF32Max).
SearchResult brute_force_flat(const IvfFlatFileBuilder& file, std::span<const float> query, size_t k,
                              const row_id_filter::RowIdFilter* filter);
// Whether the exhaustive top k of a query has a tie at its cut (then which
// row survives is not determined and only distances can be compared).
bool brute_force_has_tie_at_cut(const IvfFlatFileBuilder& file, std::span<const float> query, size_t k,
                                const row_id_filter::RowIdFilter* filter);

}  // namespace tavren::testing
