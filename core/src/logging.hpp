// The library's one diagnostic sink: standard error, one line per call.
#pragma once

#include <cstdint>
#include <string_view>

namespace tavren::logging {

// Writes `message` and a line feed to standard error under the stdio lock of
// stderr, so lines of concurrent calls never interleave. `level` is accepted
// and not written; nothing is filtered here (callers decide whether to log).
// Never fails and never raises SIGPIPE, even when standard error is a closed pipe.
void emit_log(uint8_t level, std::string_view message) noexcept;

// The same write without a level; used for assertion reports.
void write_stderr_line(std::string_view message) noexcept;

// True when the environment variable `name` exists, whatever its value; read
// again at each call so a host can switch a log line on and off while running.
bool env_flag_present(const char* name) noexcept;

}  // namespace tavren::logging
