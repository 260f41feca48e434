#include "ivfpq_io.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <new>
#include <numeric>
#include <optional>

#include "distance.hpp"
#include "error.hpp"
#include "ivfpq_batch_log.hpp"
#include "logging.hpp"
#include "index_io_util.hpp"
#include "metric.hpp"
#include "numeric.hpp"
#include "pool.hpp"

namespace tavren::ivfpq_io {

namespace fmtv = ivfpq_format;

fmtv::Header validate_header(std::span<const uint8_t, fmtv::kHeaderBytes> bytes) {
    const fmtv::Header h = fmtv::Header::decode_from(bytes);
    if (h.magic != fmtv::kMagic) invalid_data("Invalid IVFPQ magic: 0x{:08X}", h.magic);
    if (h.version != fmtv::kVersion) invalid_data("Unsupported IVFPQ version: {}", h.version);
    index_io_util::validate_positive_i32(h.dimension, "d");
    index_io_util::validate_positive_i32(h.nlist, "nlist");
    index_io_util::validate_positive_i32(h.m, "m");
    index_io_util::validate_positive_i32(h.ksub, "ksub");
    index_io_util::validate_positive_i32(h.dsub, "dsub");
    if (h.ksub != 16 && h.ksub != 256) invalid_data("unsupported ksub {} (must be 16 or 256)", h.ksub);
    const int64_t product = int64_t{h.m} * int64_t{h.dsub};
    if (product != h.dimension) {
        invalid_data("PQ invariant violated: d={} != m*dsub={}*{}={}", h.dimension, h.m, h.dsub, product);
    }
    if (h.ksub == 16 && h.m % 2 != 0) invalid_data("4-bit PQ requires even m, got {}", h.m);
    if (h.metric > kMetricCosine) invalid_data("Unknown metric type: {}", h.metric);
    if (h.total < 0) invalid_data("IVFPQ total vector count must be non-negative");
    index_io_util::validate_reserved_zero(bytes.subspan(fmtv::kReservedAt, fmtv::kReservedBytes), "IVFPQ");
    if ((h.flags & ~fmtv::kKnownFlags) != 0) {
        invalid_data("Unsupported IVFPQ flags: 0x{:08X}", h.flags & ~fmtv::kKnownFlags);
    }
    const uint32_t required = fmtv::kFlagDeltaIds | fmtv::kFlagTransposedCodes;
    if ((h.flags & required) != required) invalid_data("IVFPQ v1 requires delta IDs and transposed codes");
    return h;
}

SortedPqListMetadata build_sorted_pq_list_metadata(std::span<const int64_t> ids) {
    SortedPqListMetadata meta;
    if (ids.empty()) return meta;
    meta.order.resize(ids.size());
    std::iota(meta.order.begin(), meta.order.end(), size_t{0});
    if (!std::is_sorted(ids.begin(), ids.end())) {
        std::stable_sort(meta.order.begin(), meta.order.end(), [&](size_t a, size_t b) { return ids[a] < ids[b]; });
    }
    std::vector<int64_t> sorted(ids.size());
    for (size_t i = 0; i < sorted.size(); ++i) sorted[i] = ids[meta.order[i]];
    index_io_util::EncodedIds encoded = index_io_util::encode_delta_varint_ids(sorted);
    meta.base_id = encoded.base;
    meta.id_bytes = std::move(encoded.bytes);
    return meta;
}

void transpose_sorted_pq_codes(std::span<const uint8_t> codes, std::span<const size_t> order, size_t code_size,
                               std::vector<uint8_t>& out) {
    constexpr size_t kTile = 32;
    const size_t count = order.size();
    const std::optional<uint64_t> len = checked_mul(count, code_size);
    if (!len) panic("IVF-PQ transposed code length overflows usize");
    check_len(*len, codes.size());
    out.resize(static_cast<size_t>(*len));
    for (size_t r0 = 0; r0 < count; r0 += kTile) {
        const size_t r1 = std::min(count, r0 + kTile);
        for (size_t k0 = 0; k0 < code_size; k0 += kTile) {
            const size_t k1 = std::min(code_size, k0 + kTile);
            for (size_t r = r0; r < r1; ++r) {
                const size_t p = order[r];
                check_index(p, count);
                const uint8_t* row = codes.data() + p * code_size;
                for (size_t k = k0; k < k1; ++k) out[k * count + r] = row[k];
            }
        }
    }
}

std::vector<float> compute_precomputed_table(std::span<const float> centroids, const pq::ProductQuantizer& pq,
                                             size_t nlist, size_t d) {
    const size_t m = pq.m();
    const size_t ksub = pq.ksub();
    const size_t dsub = m == 0 ? 0 : d / m;
    std::optional<uint64_t> len = checked_mul(nlist, m);
    if (len) len = checked_mul(*len, ksub);
    if (!len || *len > std::numeric_limits<size_t>::max() / sizeof(float)) {
        invalid_data("IVFPQ precomputed table size overflow");
    }
    check_len(static_cast<uint64_t>(nlist) * d, centroids.size());
    check_len(static_cast<uint64_t>(m) * ksub * dsub, pq.centroids().size());
    std::vector<float> table;
    try {
        table.assign(static_cast<size_t>(*len), 0.0f);
    } catch (const std::bad_alloc&) {
        throw Error(ErrorKind::OutOfMemory, "IVFPQ precomputed table allocation failed");
    }
    const std::vector<float> norms = pq.compute_centroid_norms();
    const std::span<const float> codebook = pq.centroids();
    pool::parallel_for_each_index(nlist, [&](size_t l) {
        for (size_t j = 0; j < m; ++j) {
            const float* sub = centroids.data() + l * d + j * dsub;
            for (size_t c = 0; c < ksub; ++c) {
                const float* word = codebook.data() + (j * ksub + c) * dsub;
                float dot = 0.0f;
                for (size_t t = 0; t < dsub; ++t) dot += sub[t] * word[t];
                table[(l * m + j) * ksub + c] = 2.0f * dot + norms[j * ksub + c];
            }
        }
    });
    return table;
}

namespace {

void write_field(io::SeekWrite& out, std::span<const uint8_t> bytes, size_t at, size_t len) {
    out.write_all(bytes.subspan(at, len));
}

// A reader refuses non-finite metadata, so the writer does not produce it.
void require_finite(std::span<const float> values, std::string_view what) {
    for (float v : values) {
        if (!std::isfinite(v)) invalid_input("IVF-PQ {} holds a non-finite value", what);
    }
}

}  // namespace

void write_ivfpq_index(const ivfpq::IVFPQIndex& index, io::SeekWrite& out) {
    write_ivfpq_index_with_limits(index, out, WriteLimits{});
}

void write_ivfpq_index_with_limits(const ivfpq::IVFPQIndex& index, io::SeekWrite& out, const WriteLimits& limits) {
    const pq::ProductQuantizer& pq = index.pq();
    const uint64_t d = index.dimension();
    const uint64_t nlist = index.nlist();
    const uint64_t m = pq.m();
    const uint64_t ksub = pq.ksub();
    const uint64_t dsub = m == 0 ? 0 : d / m;
    const uint64_t code_size = pq.code_size();
    const auto& list_ids = index.list_ids();
    const auto& list_codes = index.list_codes();

    // ---- checks: nothing is written unless all pass ----
    if (ksub == 16 && m % 2 != 0) invalid_input("4-bit IVF-PQ requires even m, got {}", m);
    fmtv::Header header;
    header.dimension = index_io_util::usize_to_i32(d, "dimension", limits.max_i32);
    header.nlist = index_io_util::usize_to_i32(nlist, "nlist", limits.max_i32);
    header.m = index_io_util::usize_to_i32(m, "pq m", limits.max_i32);
    header.ksub = index_io_util::usize_to_i32(ksub, "pq ksub", limits.max_i32);
    header.dsub = index_io_util::usize_to_i32(dsub, "pq dsub", limits.max_i32);
    if (d == 0 || nlist == 0 || m == 0 || m * dsub != d) {
        invalid_input("IVF-PQ dimension, nlist and m must be positive with m dividing the dimension");
    }
    if (index.metric() > kMetricCosine) invalid_input("Unknown metric type: {}", index.metric());
    // The reader sizes each metadata section by these element counts and
    // refuses any above the section limit (the rotation's whether or not the
    // file has one): a file beyond them could never be opened.
    index_io_util::checked_section_size(d, d);
    const uint64_t centroid_values = index_io_util::checked_section_size(nlist, d);
    const uint64_t codebook_values = index_io_util::checked_section_size(m * ksub, dsub);
    if (index.centroids().size() != centroid_values) {
        invalid_input("IVF-PQ centroid storage does not match nlist * dimension");
    }
    if (pq.centroids().size() != codebook_values) invalid_input("IVF-PQ codebook does not match m * ksub * dsub");
    const std::optional<opq::OPQMatrix>& rotation = index.opq();
    if (rotation && rotation->rotation().size() != d * d) {
        invalid_input("IVF-PQ rotation does not match dimension * dimension");
    }
    if (rotation) require_finite(rotation->rotation(), "rotation");
    require_finite(index.centroids(), "centroids");
    require_finite(pq.centroids(), "codebook");
    if (list_ids.size() != nlist || list_codes.size() != nlist) {
        invalid_input("IVF-PQ inverted-list state does not match nlist");
    }
    int64_t total = 0;
    for (const auto& ids : list_ids) {
        std::optional<int64_t> sum;
        if (ids.size() <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
            sum = checked_add_i64(total, static_cast<int64_t>(ids.size()));
        }
        if (!sum) invalid_input("total vector count exceeds i64 length limit");
        total = *sum;
    }
    header.metric = index.metric();
    header.total = total;
    header.flags = fmtv::kFlagDeltaIds | fmtv::kFlagTransposedCodes | (rotation ? fmtv::kFlagOpq : 0) |
                   (index.by_residual() ? fmtv::kFlagByResidual : 0);

    // ---- planning: every list's order, ID section and table fields ----
    std::vector<uint64_t> code_bytes(nlist, 0);
    for (uint64_t l = 0; l < nlist; ++l) {
        const std::optional<uint64_t> bytes = ivf_format::list_code_bytes(
            static_cast<int64_t>(std::min<uint64_t>(list_ids[l].size(), std::numeric_limits<int64_t>::max())),
            code_size);
        if (!bytes) invalid_data("inverted list byte size overflow");
        code_bytes[l] = *bytes;
        if (list_codes[l].size() != *bytes) invalid_input("IVFPQ code length mismatch at list {}", l);
    }
    std::vector<fmtv::OffsetEntry> entries(nlist);
    for (uint64_t l = 0; l < nlist; ++l) {
        entries[l].count = index_io_util::usize_to_i32(list_ids[l].size(), "list count", limits.max_i32);
    }
    std::vector<SortedPqListMetadata> metas(nlist);
    pool::parallel_for_each_index(nlist, [&](size_t l) { metas[l] = build_sorted_pq_list_metadata(list_ids[l]); });
    std::vector<uint64_t> payload_bytes(nlist, 0);
    for (uint64_t l = 0; l < nlist; ++l) {
        if (entries[l].count == 0) continue;
        entries[l].id_bytes_len =
            index_io_util::usize_to_i32(metas[l].id_bytes.size(), "delta ID section", limits.max_i32);
        const std::optional<uint64_t> len =
            ivf_format::list_payload_len(entries[l].id_bytes_len, code_bytes[l]);
        if (!len) invalid_input("IVFPQ list size overflow");
        payload_bytes[l] = *len;
    }

    // ---- header and metadata ----
    std::array<uint8_t, fmtv::kHeaderBytes> header_bytes{};
    header.encode_to(header_bytes);
    for (const auto& [at, len] : fmtv::Header::kFields) write_field(out, header_bytes, at, len);
    if (rotation) index_io_util::write_f32_slice(out, rotation->rotation());
    index_io_util::write_f32_slice(out, index.centroids());
    index_io_util::write_f32_slice(out, pq.centroids());

    // ---- offset table: positions in the host's output ----
    index_io_util::write_ivf_offset_table(out, entries, payload_bytes, limits.max_i64,
                                          "IVFPQ data start offset overflow", "IVFPQ offset overflow");

    // ---- payloads ----
    std::vector<uint8_t> transposed;
    for (uint64_t l = 0; l < nlist; ++l) {
        if (entries[l].count == 0) continue;
        std::array<uint8_t, fmtv::kIdBlockHeaderBytes> id_header{};
        fmtv::IdBlockHeader{metas[l].base_id, entries[l].id_bytes_len}.encode_to(id_header);
        write_field(out, id_header, 0, 8);
        write_field(out, id_header, 8, 4);
        out.write_all(metas[l].id_bytes);
        transpose_sorted_pq_codes(list_codes[l], metas[l].order, code_size, transposed);
        out.write_all(transposed);
    }
}

// ---- Reader ------------------------------------------------------------------

IVFPQIndexReader::IVFPQIndexReader(std::unique_ptr<io::SeekRead> input, const fmtv::Header& h)
    : input_(std::move(input)),
      pq_(pq::ProductQuantizer::with_nbits(static_cast<size_t>(h.dimension), static_cast<size_t>(h.m),
                                           h.ksub == 16 ? 4 : 8)),
      lists_(ivf_lists::ListFormat{"IVF-PQ", pq_.code_size(), 1, true}, static_cast<size_t>(h.nlist)),
      d_(static_cast<uint64_t>(h.dimension)),
      nlist_(static_cast<uint64_t>(h.nlist)),
      m_(static_cast<uint64_t>(h.m)),
      ksub_(static_cast<uint64_t>(h.ksub)),
      dsub_(static_cast<uint64_t>(h.dsub)),
      total_(h.total),
      metric_(h.metric),
      by_residual_((h.flags & fmtv::kFlagByResidual) != 0),
      has_opq_((h.flags & fmtv::kFlagOpq) != 0) {}

IVFPQIndexReader IVFPQIndexReader::open_with_header(std::unique_ptr<io::SeekRead> input,
                                                    std::span<const uint8_t, fmtv::kHeaderBytes> header) {
    const fmtv::Header h = validate_header(header);
    return IVFPQIndexReader(std::move(input), h);
}

IVFPQIndexReader IVFPQIndexReader::open_with_header_and_options(std::unique_ptr<io::SeekRead> input,
                                                                std::span<const uint8_t, fmtv::kHeaderBytes> header,
                                                                const read_options::VectorIndexReaderOptions& options) {
    IVFPQIndexReader reader = open_with_header(std::move(input), header);
    reader.memory_budget_ = options.memory_budget_bytes;
    return reader;
}

namespace {

std::vector<float> finite_section(std::span<const uint8_t> bytes, std::string_view what) {
    std::vector<float> values = index_io_util::bytes_to_f32_vec(bytes);
    for (float v : values) {
        if (!std::isfinite(v)) invalid_data("IVFPQ {} holds a non-finite value", what);
    }
    return values;
}

uint64_t checked_bytes(uint64_t elements, std::string_view message) {
    const std::optional<uint64_t> bytes = checked_mul(elements, 4);
    if (!bytes) invalid_data("{}", message);
    return *bytes;
}

}  // namespace

void IVFPQIndexReader::ensure_loaded() {
    if (loaded_) return;
    constexpr std::string_view kOverflow = "section size overflow in index header";
    const uint64_t rotation_values = index_io_util::checked_section_size(d_, d_, kOverflow);
    const uint64_t centroid_values = index_io_util::checked_section_size(nlist_, d_, kOverflow);
    const std::optional<uint64_t> m_ksub = checked_mul(m_, ksub_);
    if (!m_ksub) invalid_data("m*ksub overflow");
    const uint64_t codebook_values = index_io_util::checked_section_size(*m_ksub, dsub_, kOverflow);
    const uint64_t rotation_bytes = has_opq_ ? checked_bytes(rotation_values, "OPQ byte length overflow") : 0;
    const uint64_t centroid_bytes = checked_bytes(centroid_values, "centroid byte length overflow");
    const uint64_t codebook_bytes = checked_bytes(codebook_values, "PQ centroid byte length overflow");
    const std::optional<uint64_t> table_bytes = checked_mul(nlist_, fmtv::kOffsetEntryBytes);
    if (!table_bytes) invalid_data("IVFPQ offset table byte length overflow");
    std::optional<uint64_t> total_bytes = checked_add(rotation_bytes, centroid_bytes);
    if (total_bytes) total_bytes = checked_add(*total_bytes, codebook_bytes);
    if (total_bytes) total_bytes = checked_add(*total_bytes, *table_bytes);
    if (!total_bytes || *total_bytes > std::numeric_limits<size_t>::max()) {
        invalid_data("IVFPQ metadata size overflow");
    }

    // The buffer grows with what has been read: a header that claims more
    // than the file holds fails on the read, not on an allocation of its claim.
    std::vector<uint8_t> bytes;
    try {
        for (uint64_t pos = 0; pos < *total_bytes;) {
            const uint64_t n = std::min(index_io_util::kReadBudgetBytes, *total_bytes - pos);
            bytes.resize(static_cast<size_t>(pos + n));
            io::ReadRequest request{bytes.data() + pos, static_cast<size_t>(n), fmtv::kHeaderBytes + pos};
            input_->pread(std::span<io::ReadRequest>(&request, 1));
            pos += n;
        }
    } catch (const std::bad_alloc&) {
        fail(ErrorKind::OutOfMemory, "IVFPQ metadata of {} bytes does not fit in memory", *total_bytes);
    }
    const std::span<const uint8_t> all(bytes);
    size_t at = 0;
    auto take = [&](uint64_t len) {
        const std::span<const uint8_t> piece = all.subspan(at, static_cast<size_t>(len));
        at += static_cast<size_t>(len);
        return piece;
    };
    std::optional<opq::OPQMatrix> rotation;
    if (has_opq_) {
        rotation = opq::OPQMatrix::from_rotation(d_, m_, finite_section(take(rotation_bytes), "rotation"));
    }
    std::vector<float> centroids = finite_section(take(centroid_bytes), "centroids");
    std::vector<float> codebook = finite_section(take(codebook_bytes), "codebook");

    ivf_lists::ListTable table;
    table.offsets.assign(nlist_, 0);
    table.counts.assign(nlist_, 0);
    table.id_bytes_lens.assign(nlist_, 0);
    int64_t sum = 0;
    for (size_t l = 0; l < nlist_; ++l) {
        const fmtv::OffsetEntry e =
            fmtv::OffsetEntry::decode_from(take(fmtv::kOffsetEntryBytes).first<fmtv::kOffsetEntryBytes>());
        if (e.count < 0) invalid_data("negative list count {} at list {}", e.count, l);
        const std::optional<int64_t> next = checked_add_i64(sum, e.count);
        if (!next) invalid_data("IVFPQ vector count overflow");
        sum = *next;
        if (e.id_bytes_len < 0) invalid_data("negative id_bytes_len {} at list {}", e.id_bytes_len, l);
        if (e.count > 0 && e.id_bytes_len == 0) {
            invalid_data("missing id_bytes_len for non-empty IVFPQ list {}", l);
        }
        table.offsets[l] = e.offset;
        table.counts[l] = e.count;
        table.id_bytes_lens[l] = e.id_bytes_len;
    }
    if (sum != total_) invalid_data("IVFPQ header vector count {} does not match list total {}", total_, sum);

    pq_.set_centroids(std::move(codebook));
    opq_ = std::move(rotation);
    centroids_ = std::move(centroids);
    lists_.set_table(std::move(table));
    loaded_ = true;
}

std::vector<ivf_lists::ListData> IVFPQIndexReader::read_lists(std::span<const size_t> lists) {
    ensure_loaded();
    return lists_.read_lists(*input_, lists);
}

bool IVFPQIndexReader::build_precomputed_table(uint64_t budget_bytes) {
    ensure_loaded();
    if (!precomputed_table_.empty()) return true;
    if (metric_ != kMetricL2 || !by_residual_) return false;
    std::optional<uint64_t> bytes = checked_mul(nlist_, m_);
    if (bytes) bytes = checked_mul(*bytes, ksub_);
    if (bytes) bytes = checked_mul(*bytes, sizeof(float));
    if (!bytes || *bytes > budget_bytes) return false;
    precomputed_table_ = compute_precomputed_table(centroids_, pq_, nlist_, d_);
    return true;
}

uint64_t IVFPQIndexReader::list_payload_len(size_t list) {
    ensure_loaded();
    return lists_.payload_len(list);
}

bool IVFPQIndexReader::prepare_for_search() {
    ensure_loaded();
    // What the reader already holds counts against its budget.
    uint64_t resident = saturating_mul(centroids_.size(), sizeof(float));
    resident = saturating_add(resident, saturating_mul(pq_.centroids().size(), 2 * sizeof(float)));
    resident = saturating_add(resident, saturating_mul(nlist_, 16));
    if (opq_) resident = saturating_add(resident, saturating_mul(d_ * d_, sizeof(float)));
    return build_precomputed_table(saturating_sub(memory_budget_, resident));
}

namespace {

using Clock = std::chrono::steady_clock;

double ms(std::chrono::nanoseconds d) { return static_cast<double>(d.count()) / 1e6; }

// The host input, borrowed for the measured reads of one call.
struct BorrowedRead final : io::SeekRead {
    const io::SeekRead* inner;
    explicit BorrowedRead(const io::SeekRead& r) : inner(&r) {}
    void pread(std::span<io::ReadRequest> requests) const override { inner->pread(requests); }
    io::ReadCapabilities capabilities() const override { return inner->capabilities(); }
};

// The scanner, counting each scan's rows and matches for the timing line.
struct CountingScanner {
    using Query = ivfpq::PqScanner::Query;
    const ivfpq::PqScanner& inner;
    ivfpq_batch_log::BatchScanCounters& counters;
    const row_id_filter::RowIdFilter* filter;
    size_t nbits;

    void plan_batch(size_t lists, uint64_t pairs, size_t active) const { inner.plan_batch(lists, pairs, active); }
    Query prepare(std::span<const float> q) const { return inner.prepare(q); }
    void scan(const Query& q, std::span<const int64_t> ids, std::span<const uint8_t> codes,
              const row_id_filter::RowIdFilter* f, ivfpq::TopKHeap& heap) const {
        scan_list(q, 0, ids, codes, f, heap);
    }
    void scan_list(const Query& q, size_t list, std::span<const int64_t> ids, std::span<const uint8_t> codes,
                   const row_id_filter::RowIdFilter* f, ivfpq::TopKHeap& heap) const {
        uint64_t g = ids.size();
        if (f != nullptr) {
            g = 0;
            for (int64_t id : ids) g += f->contains(id) ? 1 : 0;
        }
        counters.record(list, ids.size(), g, f != nullptr, nbits);
        inner.scan_list(q, list, ids, codes, f, heap);
    }
    uint64_t row_work() const noexcept { return inner.row_work(); }
};

}  // namespace

ivf_search::ReaderView IVFPQIndexReader::view(uint32_t engine_metric) {
    return ivf_search::ReaderView{lists_, *input_, scratch_, centroids_, d_, nlist_, engine_metric};
}

ivfpq::ScanIndex IVFPQIndexReader::scan_index() const {
    ivfpq::ScanIndex idx;
    idx.pq = &pq_;
    idx.centroids = centroids_;
    idx.precomputed = precomputed_table_;
    idx.d = d_;
    idx.m = m_;
    idx.ksub = ksub_;
    idx.nbits = pq_.nbits();
    idx.metric = metric_;
    idx.by_residual = by_residual_;
    return idx;
}

std::vector<float> IVFPQIndexReader::preprocess(std::span<const float> queries, size_t nq) const {
    std::vector<float> q(queries.begin(), queries.end());
    if (metric_ == kMetricCosine) {
        for (size_t i = 0; i < nq; ++i) distance::fvec_normalize(std::span<float>(q).subspan(i * d_, d_));
    }
    if (opq_) {
        // Normalisation first, then the rotation the centroids and codes live in.
        std::vector<float> rotated(q.size(), 0.0f);
        opq_->apply_batch(q, rotated, nq);
        return rotated;
    }
    return q;
}

SearchResult IVFPQIndexReader::search_with_filter(std::span<const float> query, size_t k, size_t nprobe,
                                                  const row_id_filter::RowIdFilter* filter) {
    ensure_loaded();
    if (query.size() != d_) invalid_input("query length {} does not match index dimension {}", query.size(), d_);
    if (k == 0) invalid_input("k must be greater than 0");
    if (nprobe == 0) invalid_input("nprobe must be greater than 0");
    const std::vector<float> q = preprocess(query, 1);
    const bool precomputed = metric_ == kMetricL2 && by_residual_ && !precomputed_table_.empty();
    const ivfpq::TableMethod method = precomputed    ? ivfpq::TableMethod::Precomputed
                                      : by_residual_ ? ivfpq::TableMethod::PerPair
                                                     : ivfpq::TableMethod::QueryTable;
    const ivfpq::PqScanner scanner(scan_index(), method);
    // The queries arrive preprocessed: the engine must not normalise again.
    return ivf_search::search_one(view(kMetricL2), scanner, q, k, nprobe, filter);
}

SearchResult IVFPQIndexReader::search_batch_range(std::span<const float> queries, size_t nq, size_t k,
                                                  size_t probe_start, size_t probe_end,
                                                  std::span<const int64_t> seed_ids,
                                                  std::span<const float> seed_distances,
                                                  const row_id_filter::RowIdFilter* filter) {
    return search_batch_range_with_reuse(queries, nq, k, probe_start, probe_end, seed_ids, seed_distances, filter,
                                         BatchTableReuse::Auto, kDefaultReuseBudgetBytes);
}

SearchResult IVFPQIndexReader::search_batch_range_with_reuse(std::span<const float> queries, size_t nq, size_t k,
                                                             size_t probe_start, size_t probe_end,
                                                             std::span<const int64_t> seed_ids,
                                                             std::span<const float> seed_distances,
                                                             const row_id_filter::RowIdFilter* filter,
                                                             BatchTableReuse mode, uint64_t budget_bytes) {
    const auto load_start = Clock::now();
    ensure_loaded();
    const auto load_end = Clock::now();
    index_io_util::validate_batch_queries(queries, nq, d_, k);
    if (probe_start >= probe_end) invalid_input("probe range must be non-empty");
    ivf_search::validate_batch_seed(seed_ids, seed_distances, nq, k);

    // One table per query is kept only when all of them fit the budget.
    std::optional<uint64_t> required = checked_mul(nq, m_);
    if (required) required = checked_mul(*required, ksub_);
    if (required) required = checked_mul(*required, sizeof(float));
    const bool fits = required && *required <= budget_bytes;
    ivfpq::TableMethod method = ivfpq::TableMethod::PerPair;
    if (mode != BatchTableReuse::Off && fits) {
        if (metric_ == kMetricL2 && by_residual_ && !precomputed_table_.empty()) {
            method = ivfpq::TableMethod::Precomputed;
        } else if (!by_residual_ && pq_.nbits() == 8 && probe_end - probe_start >= 2 &&
                   (mode == BatchTableReuse::On || nq >= 64)) {
            method = ivfpq::TableMethod::QueryTable;
        }
    }
    // The split (8-bit l2 residual codes without the precomputed table): its
    // own bound, 8-byte entries for the nq ephemeral tables, a stable table
    // per worker and the codeword norms.
    bool auto_split = false;
    if (method == ivfpq::TableMethod::PerPair && mode != BatchTableReuse::Off && metric_ == kMetricL2 &&
        by_residual_ && precomputed_table_.empty() && pq_.nbits() == 8 &&
        (mode == BatchTableReuse::On || nq >= 64)) {
        std::optional<uint64_t> split_bytes = checked_add(static_cast<uint64_t>(nq),
                                                          static_cast<uint64_t>(pool::current_num_threads()) + 1);
        if (split_bytes) split_bytes = checked_mul(*split_bytes, m_);
        if (split_bytes) split_bytes = checked_mul(*split_bytes, ksub_);
        if (split_bytes) split_bytes = checked_mul(*split_bytes, sizeof(double));
        if (split_bytes && *split_bytes <= budget_bytes) {
            method = ivfpq::TableMethod::Split;
            auto_split = mode == BatchTableReuse::Auto;
        }
    }
    const ivfpq::PqScanner scanner(scan_index(), method, auto_split);
    const bool timing = ivfpq_batch_log::timing_enabled();
    const bool reuse_log = !by_residual_ && ivfpq_batch_log::reuse_enabled();
    if (!timing && !reuse_log) {
        const std::vector<float> q = preprocess(queries, nq);
        last_batch_split_ = false;
        SearchResult out = ivf_search::search_batch(view(kMetricL2), scanner, q, nq, k, probe_start, probe_end,
                                                    seed_ids, seed_distances, filter);
        last_batch_split_ = scanner.split_active();
        return out;
    }

    // Described on standard error: the same search, counted and timed.
    ivfpq_batch_log::BatchTiming t;
    const auto t0 = Clock::now();
    const std::vector<float> q = preprocess(queries, nq);
    const auto t1 = Clock::now();
    // The probe plan again, for the counters (the engine makes its own).
    const kmeans::TopKBatch probes = kmeans::find_topk_batch(q, nq, centroids_, nlist_, d_, probe_end);
    std::vector<uint64_t> queries_of(nlist_, 0);
    for (size_t i = 0; i < nq; ++i) {
        for (size_t r = probe_start; r < probes.lists[i].size(); ++r) {
            t.query_list_pairs = saturating_add(t.query_list_pairs, 1);
            const size_t l = probes.lists[i][r];
            if (lists_.count(l) > 0) ++queries_of[l];
        }
    }
    for (size_t l = 0; l < nlist_; ++l) {
        if (queries_of[l] == 0) continue;
        ++t.unique_lists;
        t.unique_list_rows = saturating_add(t.unique_list_rows, static_cast<uint64_t>(lists_.count(l)));
    }
    const auto t2 = Clock::now();
    ivfpq_batch_log::BatchScanCounters counters(nlist_);
    const CountingScanner counting{scanner, counters, filter, pq_.nbits()};
    io::MeasuredSeekRead<BorrowedRead> measured(BorrowedRead{*input_});
    measured.begin_measurement();
    ivf_search::ReaderView v = view(kMetricL2);
    ivf_search::ReaderView measured_view{v.lists, measured, v.scratch, v.centroids, v.d, v.nlist, v.metric};
    SearchResult out;
    last_batch_split_ = false;
    try {
        out = ivf_search::search_batch(measured_view, counting, q, nq, k, probe_start, probe_end, seed_ids,
                                       seed_distances, filter);
    } catch (...) {
        (void)measured.take_measurement();
        throw;
    }
    const io::ReadMeasurement reads = measured.take_measurement();
    last_batch_split_ = scanner.split_active();
    const auto t3 = Clock::now();
    t.read_calls = reads.read_calls;
    t.requested_bytes = reads.read_bytes;
    t.pq_codes_evaluated = counters.pq_codes_evaluated.load();
    t.sparse_query_list_pairs = counters.sparse_pairs.load();
    t.dense_query_list_pairs = counters.dense_pairs.load();
    t.actual_pq_codes_evaluated = counters.actual_codes.load();
    for (size_t l = 0; l < nlist_; ++l) {
        // Every query of a list scans each of its runs once.
        if (queries_of[l] == 0) continue;
        t.matched_rows = saturating_add(t.matched_rows, counters.matched_by_list[l].load() / queries_of[l]);
    }
    t.min_hits_per_query = k;
    for (size_t i = 0; i < nq; ++i) {
        uint64_t hits = 0;
        for (size_t j = 0; j < k; ++j) hits += out.ids[i * k + j] != -1 || out.distances[i * k + j] != kF32Max;
        if (hits < k) ++t.queries_below_k;
        t.min_hits_per_query = std::min<uint64_t>(t.min_hits_per_query, hits);
    }
    const auto t4 = Clock::now();
    t.load_ms = ms(load_end - load_start);
    t.preprocess_ms = ms(t1 - t0);
    t.coarse_ms = ms(t2 - t1);
    t.io_read_ms = ms(reads.read_time);
    // The engine's walk (its own probe selection, reads, scans and merges).
    t.scan_ms = std::max(0.0, ms(t3 - t2) - t.io_read_ms);
    t.finalize_ms = ms(t4 - t3);
    t.total_ms = ms(t4 - load_start);
    if (timing) {
        logging::emit_log(3, ivfpq_batch_log::timing_line(t, nq, probe_end - probe_start, pq_.nbits(), k,
                                                          filter != nullptr));
    }
    if (reuse_log) {
        const bool enabled = method == ivfpq::TableMethod::QueryTable;
        const uint64_t built = scanner.tables_built();
        logging::emit_log(3, ivfpq_batch_log::reuse_line(static_cast<uint32_t>(mode), enabled, built > 0, metric_,
                                                         pq_.nbits(), nq, probe_end, t.unique_lists,
                                                         filter != nullptr, required, budget_bytes, built));
    }
    return out;
}

}  // namespace tavren::ivfpq_io
