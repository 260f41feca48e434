// Row-ID filter bytes from arbitrary input.
//
// Decoding either fails with tavren::Error (InvalidInput) or yields a treemap
// whose walk is strictly ascending, whose lookups agree with the walk and
// whose count matches both the walk and the cardinality decoder. Undecodable
// bytes must not make the library write to standard error: while decoding,
// file descriptor 2 points at a scratch file that must stay empty (set
// TD_FUZZ_KEEP_STDERR=1 to decode with the real standard error, e.g. when
// reproducing a crash).
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>

#include "index_io_util.hpp"

namespace {

namespace util = tavren::index_io_util;

void check(bool ok) {
    if (!ok) __builtin_trap();
}

int g_scratch_fd = -1;
int g_saved_stderr = -1;

// Sends fd 2 to the scratch file until the guard ends, then checks that
// nothing was written there.
struct QuietStderr {
    QuietStderr() {
        if (g_scratch_fd < 0) return;
        std::fflush(stderr);
        dup2(g_scratch_fd, 2);
    }
    ~QuietStderr() {
        if (g_scratch_fd < 0) return;
        std::fflush(stderr);
        dup2(g_saved_stderr, 2);
        const off_t written = lseek(g_scratch_fd, 0, SEEK_CUR);
        if (written != 0) {
            std::fprintf(stderr, "the filter decoder wrote %lld bytes to standard error\n",
                         static_cast<long long>(written));
            __builtin_trap();
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* keep = std::getenv("TD_FUZZ_KEEP_STDERR");
    if (keep != nullptr && keep[0] == '1') return 0;
    g_scratch_fd = memfd_create("td_fuzz_stderr", 0);
    if (g_scratch_fd >= 0) g_saved_stderr = dup(2);
    if (g_saved_stderr < 0) g_scratch_fd = -1;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> bytes(data, size);
    std::optional<util::RoaringTreemap> treemap;
    uint64_t counted = 0;
    bool decoded = false;
    bool counted_ok = false;
    {
        QuietStderr quiet;
        try {
            treemap.emplace(util::decode_roaring_filter(bytes));
            decoded = true;
        } catch (const tavren::Error& e) {
            check(e.kind() == tavren::ErrorKind::InvalidInput);
        }
        try {
            counted = util::decode_roaring_filter_cardinality(bytes);
            counted_ok = true;
        } catch (const tavren::Error& e) {
            check(e.kind() == tavren::ErrorKind::InvalidInput);
        }
    }
    check(decoded == counted_ok);
    if (!decoded) return 0;

    const util::RoaringTreemap& t = *treemap;
    check(t.cardinality() == counted);
    check(t.is_empty() == (counted == 0));
    const util::RowIdFilter filter(t);
    constexpr uint64_t kWalkLimit = uint64_t{1} << 12;
    uint64_t walked = 0;
    uint64_t previous = 0;
    const bool complete = t.for_each([&](uint64_t v) {
        check(walked == 0 || v > previous);
        check(t.contains(v));
        check(filter.contains(static_cast<int64_t>(v)) == (v < (uint64_t{1} << 63)));
        if (v > 0) check(t.contains(v - 1) == (walked > 0 && previous == v - 1));
        previous = v;
        return ++walked < kWalkLimit;
    });
    if (complete) check(walked == counted);
    return 0;
}
