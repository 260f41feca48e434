#include "error.hpp"

#include "logging.hpp"

namespace tavren {

void throw_error(ErrorKind kind, std::string message) { throw Error(kind, std::move(message)); }

void assertion_failed(std::string message) {
    logging::write_stderr_line(fmt::format("panicked: {}", message));
    throw AssertionFailure(std::move(message));
}

void index_out_of_bounds(uint64_t index, uint64_t len) {
    assertion_failed(fmt::format("index out of bounds: the len is {} but the index is {}", len, index));
}

void slice_too_short(uint64_t needed, uint64_t len) {
    assertion_failed(fmt::format("range end index {} out of range for slice of length {}", needed, len));
}

}  // namespace tavren
