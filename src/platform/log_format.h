// SPDX-License-Identifier: Apache-2.0
// Building one log line from the line template (internal, for the logger
// and its tests).
#ifndef RK_PLATFORM_LOG_FORMAT_H
#define RK_PLATFORM_LOG_FORMAT_H

#include <cstddef>
#include <cstdint>

namespace rk {

// The pieces a template directive can expand to; null texts count as empty.
struct LogLineParts {
    int level;
    const char *file;  // full path; %F shows its base name
    int line;
    const char *function;
    const char *message;
    const char *timestamp;  // %T text
};

// Expands tmpl into out (capacity cap >= 1, always NUL-terminated, at most
// cap - 1 characters); each expansion is cut to the room left. Returns the
// length written.
size_t log_expand_template(char *out, size_t cap, const char *tmpl, const LogLineParts &parts);

// The text after the last '/' or, when there is none, after the last '\'.
const char *log_base_name(const char *path);

// "YYYY-MM-DD hh:mm:ss.mmm" in local time for a calendar time in
// milliseconds; out needs 32 bytes.
void log_format_timestamp(char *out, size_t cap, int64_t epoch_ms);

}  // namespace rk

#endif
