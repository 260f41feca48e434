#include "index_reader.hpp"

#include <array>
#include <exception>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

#include "diskann_io.hpp"
#include "error.hpp"
#include "index_config.hpp"
#include "index_io_util.hpp"
#include "ivf_search.hpp"
#include "ivfflat_io.hpp"
#include "ivfsq_io.hpp"
#include "ivfpq_io.hpp"
#include "ivfrq_io.hpp"
#include "numeric.hpp"
#include "progressive.hpp"
#include "row_id_filter.hpp"

namespace tavren::index {

namespace {

using row_id_filter::RowIdFilter;
using FilterBytes = std::optional<std::span<const uint8_t>>;

// ---- The variants ------------------------------------------------------------
//
// Each variant wraps one format reader behind the operations the facade uses.
// An IVF variant (kIvf = true) gives: dimension, nlist, vector_count (signed,
// as the header holds it), metadata, search_pass (one query, probe ranks
// [0, nprobe)), batch_pass (the batch contract: probe ranks [start, end),
// optional seeds), and prepare (what warm-up and optimize_for_search load).
// Every IVF family's reader satisfies ivf_search::IvfIndexReader, so one
// template serves them all; a reader that knows more metadata (PQ
// sub-quantizers, code bits) exposes pq_m(), code_bits() or rq_bits().

template <ivf_search::IvfIndexReader Reader, IndexType kType>
struct IvfVariant {
    static constexpr bool kIvf = true;

    Reader reader;

    uint64_t dimension() const noexcept { return reader.dimension(); }
    uint64_t nlist() const noexcept { return reader.nlist(); }
    // The header's u64 total read as signed, as every IVF type holds its count.
    int64_t vector_count() const noexcept { return static_cast<int64_t>(reader.total()); }

    VectorIndexMetadata metadata() const noexcept {
        VectorIndexMetadata m;
        m.index_type = static_cast<uint32_t>(kType);
        m.dimension = dimension();
        m.nlist = nlist();
        m.metric = reader.metric();
        m.vector_count = vector_count();
        if constexpr (requires { reader.pq_m(); }) m.pq_m = reader.pq_m();
        if constexpr (requires { reader.code_bits(); }) m.code_bits = reader.code_bits();
        if constexpr (requires { reader.rq_bits(); }) m.rq_bits = reader.rq_bits();
        return m;
    }

    SearchResult search_pass(std::span<const float> query, uint64_t top_k, uint64_t nprobe, const RowIdFilter* filter) {
        return reader.search_with_filter(query, top_k, nprobe, filter);
    }

    SearchResult batch_pass(std::span<const float> queries, uint64_t count, uint64_t top_k, uint64_t start,
                            uint64_t end, std::span<const int64_t> seed_ids, std::span<const float> seed_distances,
                            const RowIdFilter* filter, const VectorSearchParams& params) {
        if constexpr (kType == IndexType::IvfPq) {
            // The reuse mode's codes are the reader's own.
            return reader.search_batch_range_with_reuse(
                queries, count, top_k, start, end, seed_ids, seed_distances, filter,
                static_cast<ivfpq_io::BatchTableReuse>(static_cast<uint32_t>(params.ivfpq_table_reuse_mode)),
                params.ivfpq_table_reuse_max_bytes);
        } else {
            (void)params;
            return reader.search_batch_range(queries, count, top_k, start, end, seed_ids, seed_distances, filter);
        }
    }

    // What warm-up and optimize_for_search do: load the metadata, and for
    // IVF-PQ build the precomputed table when it fits the memory budget.
    void prepare() {
        if constexpr (requires { reader.prepare_for_search(); }) {
            reader.prepare_for_search();
        } else {
            reader.ensure_loaded();
        }
    }

    // A reader that keeps search statistics sums them over the passes of
    // one progressive search: they start afresh with each facade search.
    void begin_search() {
        if constexpr (requires { reader.reset_search_stats(); }) reader.reset_search_stats();
    }

    static IvfVariant open(std::unique_ptr<io::SeekRead> input, const std::array<uint8_t, 64>& header) {
        return IvfVariant{Reader::open_with_header(std::move(input), std::span<const uint8_t, 64>(header))};
    }
};

using IvfFlatVariant = IvfVariant<ivfflat_io::IVFFlatIndexReader, IndexType::IvfFlat>;
using IvfSqVariant = IvfVariant<ivfsq_io::IVFSQIndexReader, IndexType::IvfSq>;
using IvfPqVariant = IvfVariant<ivfpq_io::IVFPQIndexReader, IndexType::IvfPq>;
using IvfRqVariant = IvfVariant<ivfrq_io::IVFRQIndexReader, IndexType::IvfRq>;

// DiskANN (kIvf = false) is searched directly rather than through the
// progressive searches. Every DiskANN search form, warm-up and calibration
// are served by the DiskANN reader.
struct DiskAnnVariant {
    static constexpr bool kIvf = false;

    diskann_io::DiskAnnIndexReader reader;

    uint64_t dimension() const noexcept { return reader.header().dimension; }

    VectorIndexMetadata metadata() const noexcept {
        const diskann_format::DiskAnnHeader& h = reader.header();
        VectorIndexMetadata m;
        m.index_type = static_cast<uint32_t>(IndexType::DiskAnn);
        m.dimension = h.dimension;
        m.nlist = 1;
        m.metric = h.metric;
        m.vector_count = static_cast<int64_t>(h.vector_count);
        m.pq_m = h.pq_m;
        m.code_bits = h.pq_bits;
        m.diskann = DiskAnnGraphParams{h.max_degree, h.build_search_list_size, h.alpha};
        return m;
    }

    DiskAnnReadReport read_report() const {
        DiskAnnReadReport r;
        const auto latency = reader.header_read_latency().count();
        r.latency_ns = latency < 0 ? 0 : static_cast<uint64_t>(latency);
        r.plan = read_options::ReadPlan::default_for(reader.read_profile()).with_capabilities(reader.read_capabilities());
        r.max_ranges_per_call = reader.read_capabilities().max_ranges_per_call;
        r.preloaded_adjacency_bytes = reader.adjacency_preload().size();
        if (reader.has_resident()) {
            r.adjacency_cache_bytes = reader.adjacency_cache().total_capacity();
            r.vector_cache_bytes = reader.raw_vector_cache().total_capacity();
        }
        r.memory_budget_bytes = reader.cache_budgets().memory_budget_bytes;
        return r;
    }

    void prepare() { reader.optimize_for_search(); }

    // One query with the width resolved from the parameters and, for the
    // automatic width, the calibrated search-list size.
    SearchResult search(std::span<const float> query, const VectorSearchParams& params) {
        const uint64_t l_search = params.resolve_diskann_l_search_with(reader.calibrated_l_search());
        SearchResult result;
        reader.search(query, params.top_k, l_search, result.ids, result.distances);
        return result;
    }

    // One query restricted to the filter's row IDs; the bytes are decoded by
    // the reader (the facade has only counted them for the automatic width).
    SearchResult search_filtered(std::span<const float> query, const VectorSearchParams& params,
                                 std::span<const uint8_t> filter) {
        const uint64_t l_search = params.resolve_diskann_l_search_with(reader.calibrated_l_search());
        SearchResult result;
        reader.search_with_roaring_filter(query, params.top_k, l_search, filter, result.ids, result.distances);
        return result;
    }

    // nq filtered queries sharing one filter.
    SearchResult search_batch_filtered(std::span<const float> queries, const VectorSearchParams& params,
                                       std::span<const uint8_t> filter) {
        const uint64_t l_search = params.resolve_diskann_l_search_with(reader.calibrated_l_search());
        SearchResult result;
        reader.search_batch_with_roaring_filter(queries, params.top_k, l_search, filter, result.ids,
                                                result.distances);
        return result;
    }

    // A batch with the width resolved as for one query.
    SearchResult search_batch(std::span<const float> queries, const VectorSearchParams& params) {
        const uint64_t l_search = params.resolve_diskann_l_search_with(reader.calibrated_l_search());
        SearchResult result;
        reader.search_batch(queries, params.top_k, l_search, result.ids, result.distances);
        return result;
    }
};

using ReaderVariant = std::variant<IvfFlatVariant, IvfSqVariant, IvfPqVariant, IvfRqVariant, DiskAnnVariant>;

// ---- Opening -----------------------------------------------------------------

template <size_t N>
void read_prefix(const io::SeekRead& input, std::array<uint8_t, N>& out) {
    io::ReadRequest request{out.data(), N, 0};
    input.pread(std::span<io::ReadRequest>(&request, 1));
}

bool is_known_magic(uint32_t magic) noexcept {
    return magic == kIvfFlatFileMagic || magic == kIvfSqFileMagic || magic == kIvfPqFileMagic ||
           magic == kIvfRqFileMagic || magic == kDiskAnnFileMagic;
}

[[noreturn]] void unknown_magic(uint32_t magic) {
    invalid_data("unknown vector index magic: 0x{:08X}", magic);
}

ReaderVariant open_variant(std::unique_ptr<io::SeekRead> input, const std::array<uint8_t, 64>& header,
                           const read_options::VectorIndexReaderOptions& options) {
    // The IVF-SQ, IVF-PQ, IVF-RQ and DiskANN readers take the options.
    const uint32_t magic = index_io_util::load_le<uint32_t>(header, 0);
    switch (magic) {
        case kIvfFlatFileMagic:
            return IvfFlatVariant::open(std::move(input), header);
        case kIvfSqFileMagic:
            // Sized from the memory budget, so opened with the options.
            return IvfSqVariant{ivfsq_io::IVFSQIndexReader::open_with_header_and_options(
                std::move(input), std::span<const uint8_t, 64>(header), options)};
        case kIvfPqFileMagic:
            // The precomputed table is bounded by the memory budget.
            return IvfPqVariant{ivfpq_io::IVFPQIndexReader::open_with_header_and_options(
                std::move(input), std::span<const uint8_t, 64>(header), options)};
        case kIvfRqFileMagic:
            // Charges its metadata and list reads to the memory budget.
            return IvfRqVariant{ivfrq_io::IVFRQIndexReader::open_with_header_and_options(
                std::move(input), std::span<const uint8_t, 64>(header), options)};
        case kDiskAnnFileMagic:
            return DiskAnnVariant{diskann_io::DiskAnnIndexReader::open_with_options(std::move(input), options)};
        default:
            unknown_magic(magic);
    }
}

}  // namespace

struct VectorIndexReader::Variants {
    ReaderVariant value;
};

VectorIndexReader::VectorIndexReader(std::unique_ptr<Variants> variants) noexcept : variants_(std::move(variants)) {}
VectorIndexReader::VectorIndexReader(VectorIndexReader&&) noexcept = default;
VectorIndexReader& VectorIndexReader::operator=(VectorIndexReader&&) noexcept = default;
VectorIndexReader::~VectorIndexReader() = default;

VectorIndexReader VectorIndexReader::open_with_options(std::unique_ptr<io::SeekRead> input,
                                                       const read_options::VectorIndexReaderOptions& options) {
    TD_ASSERT(input != nullptr, "reader input must not be null");
    static_assert(kReaderHeaderProbeBytes == 64 && kMagicProbeBytes == 4);
    std::array<uint8_t, kReaderHeaderProbeBytes> header{};
    try {
        read_prefix(*input, header);
    } catch (const Error&) {
        // A short file or a failing host: the first bytes alone say whether
        // this was a file of ours at all.
        std::exception_ptr first = std::current_exception();
        std::array<uint8_t, kMagicProbeBytes> probe{};
        read_prefix(*input, probe);  // its failure replaces the first one
        const uint32_t magic = index_io_util::load_le<uint32_t>(probe, 0);
        if (is_known_magic(magic)) std::rethrow_exception(first);
        unknown_magic(magic);
    }
    auto variants = std::make_unique<Variants>(Variants{open_variant(std::move(input), header, options)});
    return VectorIndexReader(std::move(variants));
}

VectorIndexMetadata VectorIndexReader::metadata() const noexcept {
    return std::visit([](const auto& v) { return v.metadata(); }, variants_->value);
}

uint64_t VectorIndexReader::dimension() const noexcept {
    return std::visit([](const auto& v) -> uint64_t { return v.dimension(); }, variants_->value);
}

std::optional<DiskAnnReadReport> VectorIndexReader::diskann_read_report() const {
    return std::visit(
        [](const auto& v) -> std::optional<DiskAnnReadReport> {
            if constexpr (std::decay_t<decltype(v)>::kIvf) {
                return std::nullopt;
            } else {
                return v.read_report();
            }
        },
        variants_->value);
}

// ---- Searches --------------------------------------------------------------------

namespace {

// The filter's row count, needed only by the automatic width; counted before
// the index type is looked at.
std::optional<uint64_t> filter_row_count(const FilterBytes& filter, const VectorSearchParams& params) {
    if (!filter || params.width_type != kWidthAutomatic) return std::nullopt;
    return index_io_util::decode_roaring_filter_cardinality(*filter);
}

template <class V>
uint64_t checked_vector_count(const V& v) {
    const int64_t count = v.vector_count();
    if (count < 0) invalid_input("negative IVF vector count");
    return static_cast<uint64_t>(count);
}

// What the progressive widening of an IVF search starts from: the list count,
// the probes of the first pass and the rows the automatic width counts on.
struct IvfProbePlan {
    uint64_t nlist;
    uint64_t nprobe;
    uint64_t rows;
};

template <class V>
IvfProbePlan ivf_probe_plan(const V& v, const VectorSearchParams& params, std::optional<uint64_t> filter_rows) {
    static_assert(V::kIvf, "DiskANN searches are routed separately");
    const uint64_t count = checked_vector_count(v);
    const uint64_t nlist = v.nlist();
    return {nlist, params.resolve_ivf_nprobe(nlist, count, filter_rows), filter_rows.value_or(count)};
}

}  // namespace

SearchResult VectorIndexReader::search(std::span<const float> query, const VectorSearchParams& params) {
    return search_single(query, params, std::nullopt);
}

SearchResult VectorIndexReader::search_with_roaring_filter(std::span<const float> query,
                                                           const VectorSearchParams& params,
                                                           std::span<const uint8_t> filter) {
    return search_single(query, params, filter);
}

SearchResult VectorIndexReader::search_batch(std::span<const float> queries, uint64_t nq,
                                             const VectorSearchParams& params) {
    return search_many(queries, nq, params, std::nullopt);
}

SearchResult VectorIndexReader::search_batch_with_roaring_filter(std::span<const float> queries, uint64_t nq,
                                                                 const VectorSearchParams& params,
                                                                 std::span<const uint8_t> filter) {
    return search_many(queries, nq, params, filter);
}

SearchResult VectorIndexReader::search_single(std::span<const float> query, const VectorSearchParams& params,
                                              const FilterBytes& filter) {
    validate_query(query, dimension());
    params.validate();
    const std::optional<uint64_t> filter_rows = filter_row_count(filter, params);
    return std::visit(
        [&](auto& v) -> SearchResult {
            if constexpr (!std::decay_t<decltype(v)>::kIvf) {
                if (filter) return v.search_filtered(query, params, *filter);
                return v.search(query, params);
            } else {
            const IvfProbePlan plan = ivf_probe_plan(v, params, filter_rows);
            v.begin_search();
            return progressive::progressive_ivf_search(
                params.width_type, plan.nlist, plan.nprobe, params.top_k, plan.rows, filter,
                [&](uint64_t probes, const RowIdFilter* f) { return v.search_pass(query, params.top_k, probes, f); });
            }
        },
        variants_->value);
}

SearchResult VectorIndexReader::search_many(std::span<const float> queries, uint64_t nq,
                                            const VectorSearchParams& params, const FilterBytes& filter) {
    validate_queries(queries, nq, dimension());
    params.validate();
    const std::optional<uint64_t> filter_rows = filter_row_count(filter, params);
    return std::visit(
        [&](auto& v) -> SearchResult {
            if constexpr (!std::decay_t<decltype(v)>::kIvf) {
                if (filter) return v.search_batch_filtered(queries, params, *filter);
                return v.search_batch(queries, params);
            } else {
            const IvfProbePlan plan = ivf_probe_plan(v, params, filter_rows);
            v.begin_search();
            return progressive::progressive_ivf_batch_search(
                params.width_type, plan.nlist, plan.nprobe, queries, nq, params.top_k, plan.rows, filter,
                [&](std::span<const float> group, uint64_t group_count, uint64_t start, uint64_t end,
                    std::span<const int64_t> seed_ids, std::span<const float> seed_distances, const RowIdFilter* f) {
                    return v.batch_pass(group, group_count, params.top_k, start, end, seed_ids, seed_distances, f,
                                        params);
                });
            }
        },
        variants_->value);
}

// ---- Warm-up, optimize, calibration ------------------------------------------------

void VectorIndexReader::warmup_queries(std::span<const float> queries, uint64_t nq, uint64_t l_search) {
    const std::optional<uint64_t> expected = checked_mul(nq, dimension());
    if (!expected) invalid_input("warmup query count * dimension overflows usize");
    if (queries.size() != *expected) {
        invalid_input("warmup queries length {} does not match query count * dimension {}", queries.size(), *expected);
    }
    validate_finite_values(queries, queries.size(), "warmup queries");
    std::visit(
        [&](auto& v) {
            // IVF readers only load what their first search would; they run no
            // query, so the DiskANN search-list size means nothing to them.
            if constexpr (!std::decay_t<decltype(v)>::kIvf) {
                // DiskANN optimises, then searches every query for its nearest row.
                v.reader.warmup_queries(queries, l_search);
            } else {
                v.prepare();
            }
        },
        variants_->value);
}

void VectorIndexReader::optimize_for_search() {
    std::visit([](auto& v) { v.prepare(); }, variants_->value);
}

uint64_t VectorIndexReader::calibrate_search_width(std::span<const float> queries, uint64_t nq, uint64_t top_k) {
    validate_queries(queries, nq, dimension());
    if (top_k == 0) invalid_input("{} must be greater than 0", "top_k");
    return std::visit(
        [&](auto& v) -> uint64_t {
            if constexpr (!std::decay_t<decltype(v)>::kIvf) {
                return v.reader.calibrate_l_search(queries, top_k);
            } else {
                invalid_input("search-width calibration is currently only available for DiskANN");
            }
        },
        variants_->value);
}

}  // namespace tavren::index
