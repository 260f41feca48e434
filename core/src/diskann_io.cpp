#include "diskann_io.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <new>
#include <utility>
#include <variant>

#include "numeric.hpp"
#include "pool.hpp"

namespace tavren::diskann_io {

namespace fmtd = diskann_format;

namespace {

constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();
constexpr uint64_t kPreloadGranule = 65536;
constexpr uint64_t kU32StreamBuffer = 1048576;
constexpr size_t kResidentRanges = 5;

uint64_t section_length(const DiskAnnHeader& h, size_t s) noexcept { return h.sections[s].length; }

// An addition that must not overflow, else InvalidData `message`.
uint64_t add_or(uint64_t a, uint64_t b, std::string_view message) {
    const std::optional<uint64_t> r = checked_add(a, b);
    if (!r) invalid_data("{}", message);
    return *r;
}

// The checks shared by the estimates and the quantities they use.
struct ResidentTerms {
    uint64_t quantizer = 0;    // P: codebook floats and m + 1 chunk offsets
    uint64_t row_ids = 0;      // R: decoded row IDs
    uint64_t codeword_norms = 0;
    uint64_t transposed_codebook = 0;  // the dimension-major copy the distance tables read
};

constexpr std::string_view kSizeOverflow = "DiskANN resident size overflows usize";

ResidentTerms resident_terms(const DiskAnnHeader& h) {
    if (h.pq_bits != 4 && h.pq_bits != 8) invalid_input("DiskANN pq.bits must be 4 or 8");
    if (section_length(h, fmtd::kSectionRowIds) < fmtd::kRowIdHeaderBytes) {
        invalid_data("DiskANN row-ID section header is truncated");
    }
    if (section_length(h, fmtd::kSectionAdjacencyPages) % fmtd::kPageBytes != 0) {
        invalid_data("DiskANN adjacency section is not page-aligned");
    }
    const uint64_t ksub = h.pq_bits == 4 ? 16 : 256;
    const uint64_t m = h.pq_m;
    ResidentTerms t;
    // 4 d ksub + 8 (m + 1): all factors are u32-sized, so only the sum can overflow.
    t.quantizer = add_or(4 * uint64_t{h.dimension} * ksub, 8 * (m + 1), kSizeOverflow);
    t.row_ids = section_length(h, fmtd::kSectionRowIds) - fmtd::kRowIdHeaderBytes;
    t.codeword_norms = 4 * m * ksub;
    // Charged whenever the chunks can all be four wide (d = 4 m), whether or
    // not the stored plan and the machine end up building the copy.
    if (uint64_t{h.dimension} == 4 * m) t.transposed_codebook = 4 * uint64_t{h.dimension} * ksub;
    return t;
}

uint64_t steady_from(const DiskAnnHeader& h, const ResidentTerms& t) {
    uint64_t s = add_or(t.row_ids, t.quantizer, kSizeOverflow);
    s = add_or(s, section_length(h, fmtd::kSectionPqCodes), kSizeOverflow);
    s = add_or(s, section_length(h, fmtd::kSectionAdjacencyIndex), kSizeOverflow);
    s = add_or(s, section_length(h, fmtd::kSectionAdjacencyPages) / fmtd::kPageBytes, kSizeOverflow);
    s = add_or(s, t.codeword_norms, kSizeOverflow);
    return add_or(s, t.transposed_codebook, kSizeOverflow);
}

// A zero-filled buffer of `len` bytes, or InvalidData "DiskANN {name} allocation failed".
std::vector<uint8_t> zeroed_buffer(uint64_t len, std::string_view name) {
    std::vector<uint8_t> v;
    try {
        if (len > v.max_size()) throw std::bad_alloc();
        v.resize(static_cast<size_t>(len));
    } catch (const std::bad_alloc&) {
        invalid_data("DiskANN {} allocation failed", name);
    }
    return v;
}

uint64_t elapsed_ns(std::chrono::steady_clock::time_point start) noexcept {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start);
    return ns.count() < 0 ? 0 : static_cast<uint64_t>(ns.count());
}

}  // namespace

uint64_t resident_steady_bytes(const DiskAnnHeader& header) {
    return steady_from(header, resident_terms(header));
}

uint64_t resident_peak_bytes(const DiskAnnHeader& h) {
    const ResidentTerms t = resident_terms(h);
    const uint64_t l0 = section_length(h, fmtd::kSectionCodebook);
    const uint64_t l1 = section_length(h, fmtd::kSectionRowIds);
    const uint64_t l2 = section_length(h, fmtd::kSectionPqCodes);
    const uint64_t l4 = section_length(h, fmtd::kSectionAdjacencyIndex);
    // Stage 1: every resident section as read, the probe byte and the quantizer.
    uint64_t s1 = add_or(l0, l1, kSizeOverflow);
    s1 = add_or(s1, l2, kSizeOverflow);
    s1 = add_or(s1, l4, kSizeOverflow);
    const std::optional<uint64_t> p1 = checked_add(t.quantizer, 1);
    if (!p1) invalid_data("DiskANN resident peak size overflows usize");
    s1 = add_or(s1, *p1, "DiskANN resident peak size overflows usize");
    // Stage 2: codebook bytes gone, decoded row IDs in.
    uint64_t s2 = add_or(l1, l2, kSizeOverflow);
    s2 = add_or(s2, l4, kSizeOverflow);
    s2 = add_or(s2, t.quantizer, kSizeOverflow);
    s2 = add_or(s2, t.row_ids, kSizeOverflow);
    s2 = add_or(s2, 1, kSizeOverflow);
    // Stage 3: row-ID bytes gone, decoded adjacency index in.
    uint64_t s3 = add_or(l2, l4, kSizeOverflow);
    s3 = add_or(s3, t.quantizer, kSizeOverflow);
    s3 = add_or(s3, t.row_ids, kSizeOverflow);
    s3 = add_or(s3, l4, kSizeOverflow);
    s3 = add_or(s3, 1, kSizeOverflow);
    const uint64_t s4 = steady_from(h, t);
    return std::max({s1, s2, s3, s4});
}

uint64_t row_id_order_peak_bytes(const DiskAnnHeader& header, uint64_t extra_bytes) {
    const uint64_t steady = resident_steady_bytes(header);
    const uint64_t l3 = section_length(header, fmtd::kSectionRowIdOrder);
    constexpr std::string_view kOverflow = "DiskANN row-ID lookup peak size overflows usize";
    uint64_t peak = add_or(extra_bytes, steady, kOverflow);
    peak = add_or(peak, l3, kOverflow);
    return add_or(peak, std::min(l3, kU32StreamBuffer), kOverflow);
}

Error map_read_error(const Error& error, std::string_view what) {
    if (error.kind() == ErrorKind::UnexpectedEof) {
        return Error(ErrorKind::InvalidData, fmt::format("DiskANN {} is truncated", what));
    }
    return error;
}

void pread_mapped(const io::SeekRead& input, std::span<io::ReadRequest> requests, std::string_view what) {
    try {
        input.pread(requests);
    } catch (const Error& e) {
        throw map_read_error(e, what);
    }
}

pq::ProductQuantizer decode_pq_codebook(std::span<const uint8_t> bytes, const DiskAnnHeader& header) {
    const fmtd::PqCodebookSection section = fmtd::decode_pq_codebook_section(bytes, header);
    std::vector<size_t> offsets(section.chunk_offsets.begin(), section.chunk_offsets.end());
    auto made = pq::ProductQuantizer::try_with_chunk_offsets(section.dimension, section.nbits, std::move(offsets));
    if (auto* text = std::get_if<std::string_view>(&made)) invalid_data("{}", *text);
    pq::ProductQuantizer quantizer = std::move(std::get<pq::ProductQuantizer>(made));
    if (!quantizer.try_set_centroids(fmtd::decode_pq_centroids(section))) {
        invalid_data("DiskANN PQ norms allocation failed");
    }
    if (!quantizer.has_valid_layout()) invalid_data("invalid DiskANN PQ codebook layout");
    return quantizer;
}

std::vector<uint32_t> read_u32_section(const io::SeekRead& input, uint64_t offset, uint64_t length,
                                       std::string_view name) {
    if (length % 4 != 0) invalid_data("DiskANN {} section is not u32-aligned", name);
    std::vector<uint32_t> values;
    try {
        if (length / 4 > values.max_size()) throw std::bad_alloc();
        values.reserve(static_cast<size_t>(length / 4));
    } catch (const std::bad_alloc&) {
        invalid_data("DiskANN {} allocation failed", name);
    }
    // A multiple of 4, so every chunk holds whole values.
    std::vector<uint8_t> buffer = zeroed_buffer(std::min(std::max<uint64_t>(length, 4), kU32StreamBuffer), name);
    uint64_t done = 0;
    while (done < length) {
        const size_t chunk = static_cast<size_t>(std::min<uint64_t>(buffer.size(), length - done));
        io::ReadRequest request{buffer.data(), chunk, offset + done};
        pread_mapped(input, std::span<io::ReadRequest>(&request, 1), name);
        for (size_t i = 0; i < chunk; i += 4) {
            uint32_t v;
            std::memcpy(&v, buffer.data() + i, 4);
            values.push_back(v);
        }
        done += chunk;
    }
    return values;
}

// ---- SharedWindowCache ----------------------------------------------------------------

struct SharedWindowCache::Shard {
    std::mutex mutex;
    std::condition_variable ready;
    std::atomic<uint64_t> capacity{0};
    // Guarded by mutex.
    bool poisoned = false;
    OffsetLru lru;
    std::unordered_map<uint64_t, SharedWindow> windows;
    std::unordered_set<uint64_t> pending;
    uint64_t resident_bytes = 0;
};

namespace {

using Shard = SharedWindowCache::Shard;

uint64_t charge_of(const SharedWindow& w) noexcept { return w ? w->capacity() : 0; }

[[noreturn]] void poisoned_shard() { invalid_data("DiskANN shared window cache state is poisoned"); }

// A shard's lock with its wait measured. Refuses a poisoned shard. An
// assertion failure that escapes while the lock is held (see guarded())
// poisons the shard and wakes its waiters so they see the poison.
struct ShardLock {
    std::unique_lock<std::mutex> lock;
    LockWait wait;

    explicit ShardLock(Shard& shard) {
        const auto start = std::chrono::steady_clock::now();
        lock = std::unique_lock<std::mutex>(shard.mutex);
        wait = LockWait{1, elapsed_ns(start)};
        if (shard.poisoned) {
            lock.unlock();
            poisoned_shard();
        }
    }
};

template <class F>
decltype(auto) guarded(Shard& shard, F&& f) {
    try {
        return f();
    } catch (const AssertionFailure&) {
        shard.poisoned = true;
        shard.ready.notify_all();
        throw;
    }
}

// Drops the oldest windows until the shard fits its capacity; the count.
uint64_t evict_to_capacity(Shard& s) {
    uint64_t evicted = 0;
    const uint64_t capacity = s.capacity.load(std::memory_order_relaxed);
    while (s.resident_bytes > capacity) {
        const std::optional<uint64_t> oldest = s.lru.pop_oldest();
        if (!oldest) break;
        auto it = s.windows.find(*oldest);
        TD_ASSERT(it != s.windows.end(), "DiskANN LRU touched offset must exist");
        s.resident_bytes = saturating_sub(s.resident_bytes, charge_of(it->second));
        s.windows.erase(it);
        ++evicted;
    }
    return evicted;
}

// Wakes every waiter of a shard when it goes out of scope, also on unwinding.
struct WakeAll {
    std::condition_variable& cv;
    ~WakeAll() { cv.notify_all(); }
};

}  // namespace

SharedWindowCache::SharedWindowCache(uint64_t total_capacity, size_t max_shards) {
    shard_count_ = total_capacity < kShardingThreshold ? 1 : std::max<size_t>(1, max_shards);
    shards_ = std::make_unique<Shard[]>(shard_count_);
    for (size_t i = 0; i < shard_count_; ++i) {
        shards_[i].capacity.store(total_capacity / shard_count_ + (i < total_capacity % shard_count_ ? 1 : 0),
                                  std::memory_order_relaxed);
    }
}

SharedWindowCache::~SharedWindowCache() = default;

size_t SharedWindowCache::shard_of(uint64_t offset) const noexcept {
    uint64_t x = offset / 4096 + 0x9E3779B97F4A7C15ull;
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBull;
    x ^= x >> 31;
    return static_cast<size_t>(x % shard_count_);
}

SharedWindowLookup SharedWindowCache::lookup_or_reserve(uint64_t offset, uint64_t expected_length) {
    Shard& s = shards_[shard_of(offset)];
    ShardLock guard(s);
    SharedWindowLookup result;
    result.lock_wait = guard.wait;
    guarded(s, [&] {
        auto it = s.windows.find(offset);
        if (it != s.windows.end()) {
            if (it->second->size() == expected_length) {
                s.lru.touch(offset);
                result.kind = SharedWindowLookup::Kind::Hit;
                result.window = it->second;
                return;
            }
            // Stale: another length than the caller's window.
            s.lru.remove(offset);
            s.resident_bytes = saturating_sub(s.resident_bytes, charge_of(it->second));
            s.windows.erase(it);
        }
        if (s.pending.count(offset) != 0) {
            result.kind = SharedWindowLookup::Kind::Wait;
            return;
        }
        s.pending.insert(offset);
        result.kind = SharedWindowLookup::Kind::Reserved;
        result.reservation = WindowReservation(this, offset);
    });
    return result;
}

WindowPublishResult SharedWindowCache::publish(uint64_t offset, SharedWindow window) {
    TD_ASSERT(window != nullptr, "DiskANN published window must not be null");
    Shard& s = shards_[shard_of(offset)];
    WindowPublishResult result;
    // Declared before the lock: the waiters are woken after it is released,
    // and also when storing the window fails.
    WakeAll wake{s.ready};
    ShardLock guard(s);
    result.lock_wait = guard.wait;
    guarded(s, [&] {
        s.pending.erase(offset);
        const uint64_t charge = charge_of(window);
        auto [it, inserted] = s.windows.try_emplace(offset, window);
        if (!inserted) {
            s.resident_bytes = saturating_sub(s.resident_bytes, charge_of(it->second));
            it->second = std::move(window);
        }
        s.resident_bytes = saturating_add(s.resident_bytes, charge);
        s.lru.touch(offset);
        result.evicted = evict_to_capacity(s);
    });
    return result;
}

LockWait SharedWindowCache::cancel(std::span<const uint64_t> offsets) {
    LockWait total;
    if (offsets.empty()) return total;
    // Shards in ascending order; a shard no offset maps to is not locked.
    std::array<bool, kMaxShards> touched{};
    std::vector<bool> touched_many;
    const bool many = shard_count_ > kMaxShards;
    if (many) touched_many.assign(shard_count_, false);
    for (uint64_t o : offsets) {
        const size_t i = shard_of(o);
        if (many) touched_many[i] = true; else touched[i] = true;
    }
    for (size_t i = 0; i < shard_count_; ++i) {
        if (!(many ? touched_many[i] : touched[i])) continue;
        Shard& s = shards_[i];
        WakeAll wake{s.ready};
        ShardLock guard(s);
        for (uint64_t o : offsets) {
            if (shard_of(o) == i) s.pending.erase(o);
        }
        total.add(guard.wait);
    }
    return total;
}

WindowWaitResult SharedWindowCache::wait_for(uint64_t offset, uint64_t expected_length) {
    Shard& s = shards_[shard_of(offset)];
    ShardLock guard(s);
    WindowWaitResult result;
    result.lock_wait = guard.wait;
    while (s.pending.count(offset) != 0) {
        s.ready.wait(guard.lock);
        if (s.poisoned) {
            guard.lock.unlock();
            poisoned_shard();
        }
    }
    guarded(s, [&] {
        auto it = s.windows.find(offset);
        if (it != s.windows.end() && it->second->size() == expected_length) {
            s.lru.touch(offset);
            result.window = it->second;
        }
    });
    return result;
}

void SharedWindowCache::set_total_capacity(uint64_t total) {
    for (size_t i = 0; i < shard_count_; ++i) {
        Shard& s = shards_[i];
        s.capacity.store(total / shard_count_ + (i < total % shard_count_ ? 1 : 0), std::memory_order_relaxed);
        ShardLock guard(s);
        guarded(s, [&] { (void)evict_to_capacity(s); });
    }
}

uint64_t SharedWindowCache::total_capacity() const noexcept {
    uint64_t sum = 0;
    for (size_t i = 0; i < shard_count_; ++i) sum += shards_[i].capacity.load(std::memory_order_relaxed);
    return sum;
}

SharedWindowCache::ShardSnapshot SharedWindowCache::snapshot(size_t shard) const {
    check_index(shard, shard_count_);
    Shard& s = shards_[shard];
    std::lock_guard<std::mutex> lock(s.mutex);
    return ShardSnapshot{s.capacity.load(std::memory_order_relaxed), s.resident_bytes, s.windows.size(),
                         s.pending.size(), s.lru.oldest_to_newest()};
}

void SharedWindowCache::with_shard_lock_for_testing(size_t shard, const std::function<void()>& f) {
    check_index(shard, shard_count_);
    Shard& s = shards_[shard];
    ShardLock guard(s);
    guarded(s, f);
}

// ---- WindowReservation ---------------------------------------------------------------

WindowReservation::WindowReservation(WindowReservation&& other) noexcept
    : cache_(std::exchange(other.cache_, nullptr)), offset_(other.offset_) {}

WindowReservation& WindowReservation::operator=(WindowReservation&& other) noexcept {
    if (this != &other) {
        WindowReservation dropped(std::move(*this));
        cache_ = std::exchange(other.cache_, nullptr);
        offset_ = other.offset_;
    }
    return *this;
}

WindowReservation::~WindowReservation() {
    if (cache_ == nullptr) return;
    try {
        (void)cancel();
    } catch (...) {
        // A poisoned shard: its waiters were woken when it was poisoned and
        // fail on their own; nothing is left to withdraw here.
    }
}

WindowPublishResult WindowReservation::publish(SharedWindow window) {
    TD_ASSERT(cache_ != nullptr, "DiskANN window reservation was already spent");
    SharedWindowCache* cache = std::exchange(cache_, nullptr);
    return cache->publish(offset_, std::move(window));
}

LockWait WindowReservation::cancel() {
    if (cache_ == nullptr) return {};
    SharedWindowCache* cache = std::exchange(cache_, nullptr);
    const uint64_t offsets[1] = {offset_};
    return cache->cancel(offsets);
}

uint64_t WindowReservation::release() noexcept {
    cache_ = nullptr;
    return offset_;
}

// ---- Validation cache -------------------------------------------------------------------

CachedValidationError CachedValidationError::from_error(const Error& error) {
    return CachedValidationError{error.kind(), error.message()};
}

Error CachedValidationError::to_error() const { return Error(kind, message); }

AdjacencyValidationClaim::~AdjacencyValidationClaim() {
    if (!published_) cache_->set_state_and_wake(page_, AdjacencyValidationCache::kUnchecked);
}

void AdjacencyValidationClaim::publish(uint8_t outcome) noexcept {
    published_ = true;
    cache_->set_state_and_wake(page_, outcome);
}

AdjacencyValidationCache::AdjacencyValidationCache(uint64_t page_count) : page_count_(page_count) {
    try {
        if (page_count > std::numeric_limits<size_t>::max() / 2) throw std::bad_alloc();
        states_ = std::make_unique<std::atomic<uint8_t>[]>(static_cast<size_t>(page_count));
    } catch (const std::bad_alloc&) {
        invalid_data("DiskANN adjacency validation cache allocation failed");
    }
    for (uint64_t i = 0; i < page_count; ++i) states_[i].store(kUnchecked, std::memory_order_relaxed);
}

uint8_t AdjacencyValidationCache::state(uint64_t page) const noexcept {
    return page < page_count_ ? states_[page].load(std::memory_order_acquire) : kUnchecked;
}

void AdjacencyValidationCache::set_state_and_wake(uint64_t page, uint8_t state) noexcept {
    {
        std::lock_guard<std::mutex> lock(wait_mutex_);
        states_[page].store(state, std::memory_order_release);
    }
    ready_.notify_all();
}

std::optional<AdjacencyValidationClaim> AdjacencyValidationCache::try_claim(uint64_t page) {
    if (page >= page_count_) invalid_data("DiskANN adjacency page is out of range");
    uint8_t expected = kUnchecked;
    if (!states_[page].compare_exchange_strong(expected, kClaimed, std::memory_order_acq_rel)) return std::nullopt;
    return AdjacencyValidationClaim(this, page);
}

uint8_t AdjacencyValidationCache::wait_while_claimed(uint64_t page) {
    if (page >= page_count_) invalid_data("DiskANN adjacency page is out of range");
    std::unique_lock<std::mutex> lock(wait_mutex_);
    ready_.wait(lock, [&] { return states_[page].load(std::memory_order_acquire) != kClaimed; });
    return states_[page].load(std::memory_order_acquire);
}

Error AdjacencyValidationCache::recorded_error(uint64_t page) {
    std::lock_guard<std::mutex> lock(errors_mutex_);
    auto it = errors_.find(page);
    TD_ASSERT(it != errors_.end(), "DiskANN invalid adjacency page must have a recorded error");
    return it->second.to_error();
}

void AdjacencyValidationCache::validate_once(uint64_t page, const std::function<void()>& check) {
    if (page >= page_count_) invalid_data("DiskANN adjacency page is out of range");
    for (;;) {
        uint8_t state = states_[page].load(std::memory_order_acquire);
        switch (state) {
            case kValid:
                return;
            case kInvalid:
                throw recorded_error(page);
            case kClaimed:
                (void)wait_while_claimed(page);
                continue;
            default:
                break;
        }
        std::optional<AdjacencyValidationClaim> claim = try_claim(page);
        if (!claim) continue;
        try {
            check();
        } catch (const Error& e) {
            {
                std::lock_guard<std::mutex> lock(errors_mutex_);
                errors_.insert_or_assign(page, CachedValidationError::from_error(e));
            }
            claim->publish(kInvalid);
            throw;
        }
        claim->publish(kValid);
        return;
    }
}

void AdjacencyValidationCache::validate_page(uint64_t page, std::span<const uint8_t> bytes,
                                             const DiskAnnHeader& header, const AdjacencyIndex& index) {
    validate_once(page, [&] { fmtd::validate_adjacency_page_payload(header, index, page, bytes); });
}

// ---- Reader -------------------------------------------------------------------------------

DeploymentProfile read_profile_for_latency(std::chrono::nanoseconds latency) noexcept {
    const auto ns = latency.count();
    if (ns < 50'000) return DeploymentProfile::Memory;
    if (ns < 750'000) return DeploymentProfile::LocalStorage;
    if (ns < 3'000'000) return DeploymentProfile::RemoteStorage;
    return DeploymentProfile::ObjectStore;
}

DiskAnnIndexReader::~DiskAnnIndexReader() = default;

DiskAnnIndexReader DiskAnnIndexReader::open_with_options(std::shared_ptr<const io::SeekRead> input,
                                                         const read_options::VectorIndexReaderOptions& options) {
    TD_ASSERT(input != nullptr, "DiskANN reader input must not be null");
    const auto start = std::chrono::steady_clock::now();
    std::array<uint8_t, fmtd::kHeaderBytes> bytes{};
    io::ReadRequest request{bytes.data(), bytes.size(), 0};
    pread_mapped(*input, std::span<io::ReadRequest>(&request, 1), "header");
    const uint64_t measured = elapsed_ns(start);

    DiskAnnIndexReader reader;
    reader.header_ = DiskAnnHeader::decode(bytes);
    reader.read_capabilities_ = input->capabilities();
    const uint64_t hint = reader.read_capabilities_.read_latency_ns;
    const uint64_t latency = hint != 0 ? hint : std::max<uint64_t>(measured, 1);
    reader.header_read_latency_ =
        std::chrono::nanoseconds(static_cast<int64_t>(std::min<uint64_t>(latency, std::numeric_limits<int64_t>::max())));
    const DeploymentProfile profile = read_profile_for_latency(reader.header_read_latency_);
    const uint64_t steady = resident_steady_bytes(reader.header_);
    reader.cache_budgets_ =
        options.resolve_cache_budgets(profile, steady, section_length(reader.header_, fmtd::kSectionAdjacencyPages),
                                      section_length(reader.header_, fmtd::kSectionRawVectors));
    reader.adjacency_preload_ = std::make_shared<const std::vector<uint8_t>>();
    reader.row_id_order_ = std::make_shared<RowIdOrderState>();
    reader.scratch_ = DiskAnnQueryScratch::create();
    reader.input_ = std::move(input);
    return reader;
}

DiskAnnResidentData& DiskAnnIndexReader::resident() const {
    if (!resident_) invalid_data("DiskANN resident sections are not loaded");
    return *resident_;
}

void DiskAnnIndexReader::ensure_resident() {
    if (resident_) return;
    const uint64_t peak = resident_peak_bytes(header_);
    const uint64_t budget = cache_budgets_.memory_budget_bytes;
    if (peak > budget) {
        invalid_data("DiskANN resident warmup requires {} bytes, exceeding reader budget {}", peak, budget);
    }
    struct Range {
        std::string_view name;
        uint64_t offset;
        uint64_t length;
    };
    const std::array<Range, kResidentRanges> ranges{{
        {"PQ codebook", header_.sections[fmtd::kSectionCodebook].offset, section_length(header_, fmtd::kSectionCodebook)},
        {"row IDs", header_.sections[fmtd::kSectionRowIds].offset, section_length(header_, fmtd::kSectionRowIds)},
        {"PQ codes", header_.sections[fmtd::kSectionPqCodes].offset, section_length(header_, fmtd::kSectionPqCodes)},
        {"adjacency index", header_.sections[fmtd::kSectionAdjacencyIndex].offset,
         section_length(header_, fmtd::kSectionAdjacencyIndex)},
        {"file length probe", header_.file_length - 1, 1},
    }};
    std::array<std::vector<uint8_t>, kResidentRanges> buffers;
    std::array<io::ReadRequest, kResidentRanges> requests{};
    for (size_t i = 0; i < kResidentRanges; ++i) {
        buffers[i] = zeroed_buffer(ranges[i].length, ranges[i].name);
        requests[i] = io::ReadRequest{buffers[i].data(), buffers[i].size(), ranges[i].offset};
    }
    const uint64_t limit = read_capabilities_.max_ranges_per_call;
    const size_t group = limit == 0 || limit >= kResidentRanges ? kResidentRanges : static_cast<size_t>(limit);
    for (size_t at = 0; at < kResidentRanges; at += group) {
        const size_t count = std::min(group, kResidentRanges - at);
        pread_mapped(*input_, std::span<io::ReadRequest>(requests).subspan(at, count), "resident sections");
    }

    pq::ProductQuantizer quantizer = decode_pq_codebook(buffers[0], header_);
    std::vector<uint8_t>().swap(buffers[0]);
    RowIdStorage row_ids = fmtd::decode_row_id_section_owned(std::move(buffers[1]), header_.vector_count);
    std::vector<uint8_t> pq_codes = std::move(buffers[2]);
    AdjacencyIndex adjacency_index = fmtd::decode_adjacency_index(buffers[3], header_);
    std::vector<uint8_t>().swap(buffers[3]);
    std::vector<uint8_t>().swap(buffers[4]);  // the probe proved the file's length by being read
    fmtd::validate_pq_code_padding(header_, pq_codes);
    auto validation = std::make_unique<AdjacencyValidationCache>(fmtd::adjacency_page_count(header_));
    auto data = std::make_shared<DiskAnnResidentData>(DiskAnnResidentData{
        std::move(quantizer), std::move(row_ids), std::move(pq_codes), std::move(adjacency_index),
        std::move(validation), std::make_unique<SharedWindowCache>(cache_budgets_.adjacency_cache_bytes),
        std::make_unique<SharedWindowCache>(cache_budgets_.vector_cache_bytes)});
    resident_ = std::move(data);
}

void DiskAnnIndexReader::resize_shared_cache_budgets(uint64_t total) const {
    const uint64_t a = cache_budgets_.adjacency_cache_bytes;
    const uint64_t r = cache_budgets_.vector_cache_bytes;
    const uint64_t sum = saturating_add(a, r);
    total = std::min(total, sum);
    const uint64_t adjacency_share =
        sum == 0 ? 0 : static_cast<uint64_t>((static_cast<unsigned __int128>(a) * total) / sum);
    const uint64_t raw_share = total - adjacency_share;
    DiskAnnResidentData& data = resident();
    data.adjacency_cache->set_total_capacity(adjacency_share);
    data.raw_vector_cache->set_total_capacity(raw_share);
}

void DiskAnnIndexReader::optimize_for_search() {
    ensure_resident();
    const uint64_t bound = cache_budgets_.adjacency_preload_bytes;
    if (bound == 0 || !adjacency_preload_->empty()) return;
    const uint64_t section = section_length(header_, fmtd::kSectionAdjacencyPages);
    const uint64_t wanted = std::min(bound, section);
    const std::optional<uint64_t> rounded = checked_mul(div_ceil(wanted, kPreloadGranule), kPreloadGranule);
    const uint64_t target = std::min(rounded.value_or(kU64Max), section);
    const uint64_t order_bytes = loaded_row_id_order_bytes();
    const uint64_t steady = resident_steady_bytes(header_);
    const uint64_t available =
        saturating_sub(saturating_sub(cache_budgets_.memory_budget_bytes, steady), order_bytes);
    uint64_t t = std::min(available, target);
    if (t < section) t = t / kPreloadGranule * kPreloadGranule;
    if (t == 0) {
        resize_shared_cache_budgets(available);
        return;
    }
    resize_shared_cache_budgets(available - t);

    std::vector<uint8_t> block = zeroed_buffer(t, "adjacency preload");
    io::ReadRequest request{block.data(), block.size(), header_.sections[fmtd::kSectionAdjacencyPages].offset};
    pread_mapped(*input_, std::span<io::ReadRequest>(&request, 1), "adjacency preload");
    auto shared = std::make_shared<const std::vector<uint8_t>>(std::move(block));

    const DiskAnnResidentData& data = *resident_;
    const uint64_t pages = t / fmtd::kPageBytes;
    const std::span<const uint8_t> bytes(*shared);
    // A few pages per task: one check is some microseconds.
    pool::parallel_for(0, static_cast<size_t>(pages), 8, [&](size_t lo, size_t hi) {
        for (size_t p = lo; p < hi; ++p) {
            data.adjacency_validation->validate_page(p, bytes.subspan(p * fmtd::kPageBytes, fmtd::kPageBytes),
                                                     header_, data.adjacency_index);
        }
    });
    adjacency_preload_ = std::move(shared);
}

DiskAnnIndexReader DiskAnnIndexReader::try_clone_with_shared_state() const {
    DiskAnnIndexReader clone;
    clone.calibrated_l_search_ = calibrated_l_search_;
    clone.header_read_latency_ = header_read_latency_;
    clone.cache_budgets_ = cache_budgets_;
    clone.adjacency_preload_ = adjacency_preload_;
    clone.row_id_order_ = row_id_order_;
    clone.scratch_ = DiskAnnQueryScratch::create();
    clone.input_ = input_;
    clone.header_ = header_;
    clone.resident_ = resident_;
    clone.read_capabilities_ = read_capabilities_;
    return clone;
}

int64_t DiskAnnIndexReader::row_id(uint64_t node) const {
    const std::optional<int64_t> id = resident().row_ids.get(node);
    if (!id) invalid_data("DiskANN row-ID node is out of range");
    return *id;
}

void DiskAnnIndexReader::try_for_each_row_id(const std::function<void(uint64_t, int64_t)>& f) const {
    resident().row_ids.try_for_each(f);
}

void DiskAnnIndexReader::try_for_each_row_id_block(
    const std::function<void(uint64_t, std::span<const int64_t>)>& f) const {
    const fmtd::RowIdStorage& ids = resident().row_ids;
    std::array<int64_t, 1024> block{};
    for (uint64_t first = 0; first < ids.count(); first += block.size()) {
        const size_t len = static_cast<size_t>(std::min<uint64_t>(block.size(), ids.count() - first));
        const std::span<int64_t> out(block.data(), len);
        ids.try_decode_range(first, out);
        f(first, out);
    }
}

AdjacencyLocator DiskAnnIndexReader::adjacency_locator(uint64_t node) const {
    const std::optional<AdjacencyLocator> locator = resident().adjacency_index.locator(node);
    if (!locator) invalid_data("DiskANN adjacency index is truncated");
    return *locator;
}

SharedWindowCache& DiskAnnIndexReader::adjacency_cache() const { return *resident().adjacency_cache; }
SharedWindowCache& DiskAnnIndexReader::raw_vector_cache() const { return *resident().raw_vector_cache; }

namespace {

[[noreturn]] void poisoned_row_id_order() { invalid_data("DiskANN row-ID lookup state is poisoned"); }

// Runs f under the row-ID-order lock; an assertion failure escaping it
// poisons the state for good and wakes the waiters so they see it.
template <class F>
decltype(auto) with_order_lock(RowIdOrderState& state, std::unique_lock<std::mutex>& lock, F&& f) {
    if (state.poisoned) {
        lock.unlock();
        poisoned_row_id_order();
    }
    try {
        return f();
    } catch (const AssertionFailure&) {
        state.poisoned = true;
        state.ready.notify_all();
        throw;
    }
}

// The claim of one row-ID-order load: dropped before it stores the order, it
// puts the state back to NotLoaded and wakes the waiters, who try again.
class OrderLoadClaim {
public:
    explicit OrderLoadClaim(RowIdOrderState& state) noexcept : state_(state) {}
    OrderLoadClaim(const OrderLoadClaim&) = delete;
    OrderLoadClaim& operator=(const OrderLoadClaim&) = delete;
    ~OrderLoadClaim() {
        if (done_) return;
        {
            std::lock_guard<std::mutex> lock(state_.mutex);
            state_.status = RowIdOrderState::Status::NotLoaded;
        }
        state_.ready.notify_all();
    }
    void store(SharedOrder order) noexcept {
        {
            std::lock_guard<std::mutex> lock(state_.mutex);
            state_.order = std::move(order);
            state_.status = RowIdOrderState::Status::Loaded;
        }
        done_ = true;
        state_.ready.notify_all();
    }

private:
    RowIdOrderState& state_;
    bool done_ = false;
};

}  // namespace

uint64_t DiskAnnIndexReader::loaded_row_id_order_bytes() const {
    RowIdOrderState& state = *row_id_order_;
    std::unique_lock<std::mutex> lock(state.mutex);
    return with_order_lock(state, lock, [&]() -> uint64_t {
        if (state.status != RowIdOrderState::Status::Loaded) return 0;
        const std::optional<uint64_t> bytes = checked_mul(state.order->size(), 4);
        if (!bytes) invalid_data("DiskANN row-ID order size overflows usize");
        return *bytes;
    });
}

SharedOrder DiskAnnIndexReader::ensure_row_id_order() const {
    RowIdOrderState& state = *row_id_order_;
    uint64_t peak = 0;
    bool claimed = false;
    {
        // Claim the load under the lock; read without it.
        std::unique_lock<std::mutex> lock(state.mutex);
        for (;;) {
            const std::optional<SharedOrder> settled = with_order_lock(state, lock, [&]() -> std::optional<SharedOrder> {
                switch (state.status) {
                    case RowIdOrderState::Status::Loaded: return state.order;
                    case RowIdOrderState::Status::Unavailable: return SharedOrder{};
                    case RowIdOrderState::Status::Loading: return std::nullopt;
                    case RowIdOrderState::Status::NotLoaded: break;
                }
                peak = row_id_order_peak_bytes(header_, adjacency_preload_->size());
                if (cache_budgets_.memory_budget_bytes < peak) {
                    state.status = RowIdOrderState::Status::Unavailable;
                    state.ready.notify_all();
                    return SharedOrder{};
                }
                state.status = RowIdOrderState::Status::Loading;
                claimed = true;
                return std::nullopt;
            });
            if (settled) return *settled;
            if (claimed) break;
            state.ready.wait(lock);
        }
    }
    OrderLoadClaim claim(state);
    // No row-ID-order lock is held from here: the shard locks below and the
    // host reads run without it.
    const uint64_t budget = cache_budgets_.memory_budget_bytes;
    resize_shared_cache_budgets(budget - peak);
    const fmtd::DiskAnnSection& section = header_.sections[fmtd::kSectionRowIdOrder];
    std::vector<uint32_t> order = read_u32_section(*input_, section.offset, section.length, "row-ID order");
    fmtd::validate_row_id_order(resident().row_ids, order);
    auto shared = std::make_shared<const std::vector<uint32_t>>(std::move(order));
    claim.store(shared);

    constexpr std::string_view kOverflow = "DiskANN filtered resident size overflows usize";
    uint64_t used = add_or(resident_steady_bytes(header_), adjacency_preload_->size(), kOverflow);
    const std::optional<uint64_t> order_bytes = checked_mul(shared->size(), 4);
    if (!order_bytes) invalid_data("{}", kOverflow);
    used = add_or(used, *order_bytes, kOverflow);
    resize_shared_cache_budgets(saturating_sub(budget, used));
    return shared;
}

}  // namespace tavren::diskann_io
