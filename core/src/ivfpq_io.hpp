// The IVF-PQ file writer and the header checks a reader applies when it opens
// a file (layout in ivfpq_format.hpp).
//
// Every failure throws tavren::Error; the writer keeps no state between calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "io.hpp"
#include "ivfpq.hpp"
#include "ivfpq_format.hpp"

namespace tavren::ivfpq_io {

// The header's fields checked in the reader's order (all InvalidData):
// magic, version, d / nlist / m / ksub / dsub positive, ksub 16 or 256,
// d = m * dsub, even m for ksub 16, metric, non-negative total, zero reserved
// bytes, no unknown flag bits, delta IDs and transposed codes both set.
ivfpq_format::Header validate_header(std::span<const uint8_t, ivfpq_format::kHeaderBytes> bytes);

// How one list goes out: its rows in ascending row-ID order (stable), and its
// ID section.
struct SortedPqListMetadata {
    std::vector<size_t> order;  // positions into the list's IDs and code rows
    std::vector<uint8_t> id_bytes;
    int64_t base_id = 0;  // the smallest ID; 0 for an empty list
};

SortedPqListMetadata build_sorted_pq_list_metadata(std::span<const int64_t> ids);

// Resizes `out` to order.size() * code_size and stores code byte k of the row
// at sorted position r (source row order[r]) at k * count + r. Cache-blocked
// in 32 x 32 tiles; `out` is reused across lists.
void transpose_sorted_pq_codes(std::span<const uint8_t> codes, std::span<const size_t> order, size_t code_size,
                               std::vector<uint8_t>& out);

// The precomputed residual table: entry (l * m + j) * ksub + c = 2 <centroid
// l's sub-vector j, codeword c of sub-quantizer j> + |codeword c|^2 (dot in
// f32, components in order). For a query q and a row of list l with codes
// c_j, |q - (centroid + codewords)|^2 = |q - centroid|^2 + sum_j (entry
// (l, j, c_j) - 2 <q_j, codeword c_j>). InvalidData "IVFPQ precomputed table
// size overflow" when nlist * m * ksub overflows; an allocation failure is an
// OutOfMemory error. One list per parallel item.
std::vector<float> compute_precomputed_table(std::span<const float> centroids, const pq::ProductQuantizer& pq,
                                             size_t nlist, size_t d);

// The bounds the writer enforces. Production code uses the defaults; tests
// lower them to reach every refusal without multi-gigabyte fixtures.
struct WriteLimits {
    uint64_t max_i32 = static_cast<uint64_t>(std::numeric_limits<int32_t>::max());  // i32 header/table fields
    uint64_t max_i64 = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());  // payload offsets
};

// Checks the whole index and writes the file front to back through `out`.
// Everything that depends on the index alone (shapes, finite metadata, the
// section sizes a reader accepts, code lengths, counts and ID sections within
// i32) is settled before the first byte, so such a refusal writes nothing.
// Payload offsets are out.pos() after the metadata plus the table and
// payload lengths: positions in the host's output. A refused offset or a
// write error leaves an incomplete file the caller must discard. Does not
// flush. The index is only read.
void write_ivfpq_index(const ivfpq::IVFPQIndex& index, io::SeekWrite& out);
void write_ivfpq_index_with_limits(const ivfpq::IVFPQIndex& index, io::SeekWrite& out, const WriteLimits& limits);

}  // namespace tavren::ivfpq_io
