// Loading the inverted lists of an IVF file, for every IVF family: the
// metadata (centroids and offset table) in bounded pieces, consecutive lists
// in batched reads of at most 64 MiB within the host's range cap, and lists
// too large for that streamed in bounded row chunks, their ID section read at
// once or piece by piece. A list's rows are codes of `code_size` bytes (4 d
// for IVF-FLAT); nothing here looks inside a code.
//
// Planner and loader: ListStore decides which byte ranges to read and turns
// the bytes into list views (row IDs decoded, codes where they lie in the
// store's scratch). Scanning is the families' business (ivf_search).
//
// Thread rules: a ListStore is used by one thread at a time (its reader's);
// every read happens on that thread. Messages carry the family's name
// (ListFormat::family), e.g. "IVF-FLAT list payload overflow".
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <new>
#include <span>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "index_io_util.hpp"
#include "io.hpp"

namespace tavren::ivf_lists {

// An array of n elements of `elem` bytes must be representable; beyond that
// the request is a caller fault, not a shortage of memory ("capacity
// overflow" assertion).
inline void check_capacity(uint64_t n, uint64_t elem) {
    if (n > static_cast<uint64_t>(std::numeric_limits<std::ptrdiff_t>::max()) / elem) panic("capacity overflow");
}

// Asks the system to back a large scratch allocation with large pages, so
// that filling it for the first time takes a few page faults rather than one
// per 4 KiB (each fault is costly on virtual machines). A hint only: nothing
// changes when the system declines; small ranges are left alone.
void advise_large_pages(void* p, size_t bytes) noexcept;
// Touches every page of a large fresh allocation, spread over the pool, so
// the first batched read that fills it does not take its page faults one
// after the other on the calling thread (68 MiB of fresh pages cost 0.3 to
// 0.9 s on one thread of a virtual machine, a few tens of milliseconds on
// eight). Writes a zero byte per page; small ranges are left alone.
void prefault_pages(void* p, size_t bytes);

// Uninitialised elements of a trivial type, grown on demand; the contents do
// not survive growth. What a read or a scan overwrites is never zeroed first.
template <class T, size_t Align = alignof(T)>
class ScratchArray {
public:
    T* reserve(size_t n) {
        if (n > capacity_) grow(n);
        return data_.get();
    }
    T* data() const noexcept { return data_.get(); }
    size_t capacity() const noexcept { return capacity_; }
    size_t bytes() const noexcept { return capacity_ * sizeof(T); }
    void release() noexcept {
        data_.reset();
        capacity_ = 0;
    }

private:
    struct Free {
        void operator()(T* p) const noexcept { ::operator delete(p, std::align_val_t{Align}); }
    };

    void grow(size_t n) {
        check_capacity(n, sizeof(T));
        // Doubling up to one read budget spares regrowth when sizes vary from
        // call to call; beyond it only what is asked for.
        const size_t budget = static_cast<size_t>(index_io_util::kReadBudgetBytes / sizeof(T));
        const size_t doubled = capacity_ > budget / 2 ? budget : capacity_ * 2;
        size_t want = n > doubled ? n : doubled;
        // A batched read needs its budget plus a few bytes of pads per list:
        // a sixteenth more than the budget keeps such requests from
        // reallocating (and touching 64 MiB of fresh pages) each time a
        // batch's pads come out a little larger. A request above half the
        // budget gets that size at once: the batches of a walk over many
        // lists come close to the budget, and growing from 40 MiB to 68 MiB
        // on a later batch would touch both.
        if (want > budget / 2 && want < budget + budget / 16) want = budget + budget / 16;
        release();
        data_.reset(static_cast<T*>(::operator new(want * sizeof(T), std::align_val_t{Align})));
        capacity_ = want;
        advise_large_pages(data_.get(), want * sizeof(T));
        prefault_pages(data_.get(), want * sizeof(T));
    }

    std::unique_ptr<T, Free> data_;
    size_t capacity_ = 0;
};

// What a family's list payloads hold.
struct ListFormat {
    std::string_view family;  // the name its messages start with ("IVF-FLAT")
    uint64_t code_size = 0;   // bytes of one row's code
    // The code section of a payload read alone is a whole number of these
    // (4: f32 rows), and batched codes start on such a boundary.
    uint64_t code_align = 4;
    // Codes stored column by column (code byte k of row r at k * count + r,
    // count the list's rows): a streamed chunk is read as one stripe per code
    // byte and handed over in the same layout over its own rows.
    bool transposed = false;
};

// Byte budgets of a reader. The defaults are the file format's; tests lower
// them to reach the piecewise paths with small files.
struct ReadBudgets {
    // A list whose payload is above this is streamed instead of batched.
    uint64_t stream_threshold = index_io_util::kReadBudgetBytes;
    // A streamed list whose 12-byte ID block header, ID section and decoded
    // IDs fit in this reads its IDs at once; a larger one reads its ID section
    // piece by piece alongside its row chunks. At most kReadBudgetBytes.
    uint64_t id_block_budget = index_io_util::kReadBudgetBytes;
    // Decoded IDs (and the ID window, when piecewise) plus one row chunk.
    // At most kChunkBudgetBytes.
    uint64_t chunk_budget = index_io_util::kChunkBudgetBytes;
    // Most ID-section bytes held at once when the IDs are read piecewise.
    uint64_t id_window_bytes = uint64_t{8} << 20;
    // Most metadata bytes (centroids and offset table) per read call.
    uint64_t metadata_piece_bytes = index_io_util::kReadBudgetBytes;
};
// Asserts each budget within its range (tests lower them).
void check_read_budgets(const ReadBudgets& budgets);

// The batched-read decoder of a list's delta-varint row IDs: exactly `count`
// IDs; bytes after them are ignored. InvalidData: "truncated varint", "varint
// exceeds u64 range" (a tenth byte above 1 in its low seven bits), "varint
// exceeds 64 bits" (a tenth byte announcing an eleventh), "decoded ID
// sequence is not monotonically non-decreasing". Reserves at most one ID per
// section byte, whatever `count` claims.
std::vector<int64_t> decode_delta_varint_ids(int64_t base, std::span<const uint8_t> section, uint64_t count);

// ---- Read buffers --------------------------------------------------------------------

// A read buffer whose code section starts on a 4-byte boundary, so f32 codes
// are used where they lie. The window of `total_len` bytes starts at storage
// byte pad = (4 - prefix_len % 4) % 4; the codes start at storage byte pad +
// prefix_len. Pad and tail bytes are zero; the window is the reader's to
// fill. Move-only.
class AlignedPayload {
public:
    AlignedPayload() noexcept = default;
    // InvalidData: "{family} vector suffix overflow" (prefix + codes
    // overflow), "{family} vector suffix has an invalid shape" (total is not
    // prefix + codes, or codes not a multiple of the format's code_align),
    // "{family} aligned payload overflow".
    AlignedPayload(uint64_t total_len, uint64_t prefix_len, uint64_t code_bytes, const ListFormat& format);

    std::span<uint8_t> read_buf_mut() noexcept { return {bytes() + pad_, total_len_}; }
    std::span<const uint8_t> read_bytes() const noexcept { return {bytes() + pad_, total_len_}; }
    std::span<const uint8_t> codes() const noexcept { return {bytes() + pad_ + prefix_len_, code_bytes_}; }

    size_t pad() const noexcept { return pad_; }
    size_t total_len() const noexcept { return total_len_; }
    size_t prefix_len() const noexcept { return prefix_len_; }
    size_t code_bytes() const noexcept { return code_bytes_; }
    // Where the storage begins (tests check the alignment of the codes).
    const uint8_t* storage_bytes() const noexcept { return bytes(); }

protected:
    const float* words() const noexcept { return storage_.get(); }

private:
    uint8_t* bytes() const noexcept { return reinterpret_cast<uint8_t*>(storage_.get()); }

    std::unique_ptr<float[]> storage_;  // 4-byte words: f32 rows are read as what they are
    size_t pad_ = 0;
    size_t total_len_ = 0;
    size_t prefix_len_ = 0;
    size_t code_bytes_ = 0;
};

// One planned read of a batch.
struct ListRead {
    size_t slot;  // position of the list in the request
    size_t list;
    int32_t count;
    int32_t id_bytes_len;
    uint64_t offset;  // payload offset in the file
};

// One list as the store hands it out: ascending row IDs, codes in the same
// order, the list index. An empty list has neither.
struct ListData {
    std::vector<int64_t> ids;
    AlignedPayload codes;
    size_t list = 0;
};

// One list of a batched read as the searches see it: views into the store's
// scratch, valid until the next list read on the same store. An empty list
// has neither IDs nor codes. Codes start on a code_align boundary (64 for
// lists of 4 KiB of codes or more).
struct ListView {
    std::span<const int64_t> ids;
    std::span<const uint8_t> codes;  // ids.size() codes of code_size bytes
    size_t list = 0;
    // Per-row data a family stores apart from its codes (a ListPayloadLayout's
    // second section); empty for the standard payload.
    std::span<const uint8_t> side;
};

// A family whose list payload is not "12-byte ID block, then rows of
// code_size bytes" describes it to the store with a layout; the store then
// plans, batches, reads and hands out its lists as views (ListView::codes and
// ListView::side where the layout puts them). The layout keeps the family's
// own checks and texts. Called on the store's thread only.
class ListPayloadLayout {
public:
    // Payload bytes of a list, 0 when empty; the family's faults for a list
    // out of range or sizes that overflow.
    virtual uint64_t payload_len(size_t list) const = 0;
    // Where a non-empty list's payload lies in the file.
    virtual uint64_t payload_offset(size_t list) const = 0;
    // Where its code section starts within the payload: the store puts that
    // byte on a 64-byte boundary of its arena.
    virtual uint64_t code_start(size_t list) const = 0;
    // Called with the summed payload bytes of a read group before anything
    // of that size is allocated (a reader's memory budget).
    virtual void admit_group(uint64_t payload_bytes) const = 0;
    // A payload above this is read alone, in pieces of this size, into a
    // buffer that grows with what the host delivered; smaller ones go into
    // the group's batched read.
    virtual uint64_t read_piece() const = 0;
    // The rows a non-empty list claims (reserved for its decoded IDs; the
    // payload length already accounts for them).
    virtual uint64_t max_rows(size_t list) const = 0;
    // Checks one payload read whole, appends its row IDs to `ids` and sets
    // view.codes and view.side inside `payload`.
    virtual void parse(size_t list, std::span<const uint8_t> payload, std::vector<int64_t>& ids,
                       ListView& view) const = 0;

protected:
    ~ListPayloadLayout() = default;
};

// The offset table, one entry per list, as stored.
struct ListTable {
    std::vector<int64_t> offsets;
    std::vector<int32_t> counts;
    std::vector<int32_t> id_bytes_lens;
};

// The centroids and offset table of a file.
struct Metadata {
    std::vector<float> centroids;  // nlist x d
    ListTable table;
};

// Reads the metadata section at `start` (nlist x d f32 centroids, then nlist
// offset-table entries) in pieces of at most budgets.metadata_piece_bytes, so
// a header claiming more than the file holds fails on the read before
// anything near its claim is allocated. InvalidData, first the size checks
// ("section size overflow in {family} header", "{family} centroid bytes
// overflow", "{family} offset table overflow", "{family} metadata size
// overflow"), then read errors, then the first fault of the table in list
// order ("negative list count {} at list {}", "{family} vector count
// overflow", "negative id_bytes_len {} at list {}", "missing delta ID bytes
// for non-empty {family} list {}"), then "{family} header vector count {}
// does not match list total {}". OutOfMemory "{family} metadata of {} bytes
// does not fit in memory".
Metadata load_metadata(const io::SeekRead& input, uint64_t start, size_t nlist, size_t d, uint64_t header_total,
                       const ReadBudgets& budgets, std::string_view family);

// Receives one streamed chunk: its rows' IDs and their codes.
using ChunkConsumer = std::function<void(std::span<const int64_t> ids, std::span<const uint8_t> codes)>;

// The lists of one open file: its offset table, its format and budgets, and
// the scratch its batched reads and streamed chunks land in.
class ListStore {
public:
    ListStore();
    ListStore(ListFormat format, size_t nlist);
    ListStore(ListStore&&) noexcept;
    ListStore& operator=(ListStore&&) noexcept;
    ~ListStore();

    // Takes the loaded offset table (checked by load_metadata).
    void set_table(ListTable table);
    bool has_table() const noexcept { return table_.counts.size() == nlist_ && nlist_ != 0; }

    const ListFormat& format() const noexcept { return format_; }
    size_t nlist() const noexcept { return nlist_; }
    const ReadBudgets& budgets() const noexcept { return budgets_; }
    void set_budgets(const ReadBudgets& budgets);

    // Row count of a list (asserts a loaded table and an index below nlist).
    int32_t count(size_t list) const;
    // Payload bytes of a list (0 when empty). InvalidInput "list_id {} out
    // of range (nlist={})"; InvalidData "{family} list payload overflow".
    uint64_t payload_len(size_t list) const;
    // How many of `lists`, counted from the first (always at least one when
    // any are given), one batched read takes: payloads within 64 MiB and
    // non-empty lists within the host's range cap.
    size_t batch_read_end(const io::SeekRead& input, std::span<const size_t> lists) const;

    // One ListData per requested list, in request order, from as few host
    // calls as the budget and the range cap allow; empty lists cost no range.
    // On failure nothing is returned.
    std::vector<ListData> read_lists(const io::SeekRead& input, std::span<const size_t> lists) const;
    // The same reads and checks (same host calls, same failures in the same
    // order), into the store's scratch instead of fresh buffers: the views
    // stay valid until the next list read on this store. For lists whose
    // payloads together stay within one batched read (batch_read_end), which
    // bounds the scratch; larger requests are served all the same.
    std::span<const ListView> read_views(const io::SeekRead& input, std::span<const size_t> lists);
    // Reads one list in bounded row chunks, one host call per chunk, handing
    // each to `consumer` before reading the next. The IDs are read at once
    // when they fit the ID budget, else piece by piece with the chunks, so any
    // list the writer can produce is readable. On failure the consumer has
    // seen the chunks before it. The chunk spans are valid only during the
    // consumer call, and the consumer must not read lists from this store.
    void read_streamed(const io::SeekRead& input, size_t list, const ChunkConsumer& consumer);

    // The same planning and batched reads for a family's own payload layout:
    // lists taken by batch_read_end's rule over layout.payload_len; the
    // group charged with admit_group; payloads above read_piece read alone in
    // pieces, in list order, before the one batched call of the others; then
    // every payload parsed in list order. Views stay valid until the next
    // list read on this store. OutOfMemory "{family} list payload of {}
    // bytes does not fit in memory".
    size_t batch_read_end(const io::SeekRead& input, std::span<const size_t> lists, const ListPayloadLayout& layout) const;
    std::span<const ListView> read_views(const io::SeekRead& input, std::span<const size_t> lists,
                                         const ListPayloadLayout& layout);

    // Bytes of scratch held between calls: the read arena (one batched read:
    // 64 MiB of payloads plus pads of at most code_align - 1 bytes per list,
    // 63 for lists of 4 KiB of codes or more (63 per list for a layout); or
    // one streamed chunk), the decoded row IDs of that batch (8 bytes per
    // row), its views and plans, and a layout's payloads read in pieces.
    size_t scratch_bytes() const noexcept;

private:
    struct Scratch;
    Scratch& scratch();
    void read_ids_then_chunks(const io::SeekRead& input, uint64_t offset, uint64_t count, uint64_t id_len,
                              const ChunkConsumer& consumer);
    void read_ids_with_chunks(const io::SeekRead& input, uint64_t offset, uint64_t count, uint64_t id_len,
                              const ChunkConsumer& consumer);

    ListFormat format_;
    size_t nlist_ = 0;
    ListTable table_;
    ReadBudgets budgets_;
    std::unique_ptr<Scratch> scratch_;  // made on the first list read
};

}  // namespace tavren::ivf_lists
