// SPDX-License-Identifier: Apache-2.0
// Line template expansion for the logger.
#include "platform/log_format.h"

#include <cstdio>
#include <cstring>

#include "platform/os.h"
#include "rk_log.h"

namespace rk {

namespace {

// Appends up to n bytes of text, cut to the room left (one byte stays for
// the terminator).
struct LineWriter {
    char *out;
    size_t cap;
    size_t len = 0;

    bool full() const { return len + 1 >= cap; }
    void put(const char *text, size_t n) {
        const size_t room = cap - 1 - len;
        if (n > room) n = room;
        std::memcpy(out + len, text, n);
        len += n;
    }
    void put(const char *text) {
        if (text) put(text, std::strlen(text));
    }
};

}  // namespace

const char *log_base_name(const char *path) {
    if (!path) return "";
    const char *slash = std::strrchr(path, '/');
    if (slash) return slash + 1;
    const char *backslash = std::strrchr(path, '\\');
    return backslash ? backslash + 1 : path;
}

void log_format_timestamp(char *out, size_t cap, int64_t epoch_ms) {
    // Floor division keeps times before 1970 on the right second.
    int64_t seconds = epoch_ms / 1000;
    int64_t millis = epoch_ms % 1000;
    if (millis < 0) {
        millis += 1000;
        seconds -= 1;
    }
    os::LocalTime t{};
    os::local_time(seconds, &t);
    std::snprintf(out, cap, "%04d-%02d-%02d %02d:%02d:%02d.%03u", t.year, t.month, t.day, t.hour, t.minute,
                  t.second, static_cast<unsigned>(millis));
}

size_t log_expand_template(char *out, size_t cap, const char *tmpl, const LogLineParts &parts) {
    LineWriter w{out, cap};
    char scratch[32];
    for (const char *p = tmpl ? tmpl : ""; *p && !w.full(); ++p) {
        if (*p != '%') {
            w.put(p, 1);
            continue;
        }
        const char directive = p[1];
        if (directive == '\0') {  // a '%' ending the template stands for itself
            w.put("%", 1);
            break;
        }
        ++p;
        switch (directive) {
            case 'T':
                w.put(parts.timestamp);
                break;
            case 'L':
                std::snprintf(scratch, sizeof scratch, "%-5s", rk_log_level_string(parts.level));
                w.put(scratch);
                break;
            case 'F':
                w.put(log_base_name(parts.file));
                break;
            case 'N':
                std::snprintf(scratch, sizeof scratch, "%d", parts.line);
                w.put(scratch);
                break;
            case 'M':
                w.put(parts.function);
                break;
            case 'm':
                w.put(parts.message);
                break;
            case '%':
                w.put("%", 1);
                break;
            default:
                break;  // unknown directives vanish with their '%'
        }
    }
    out[w.len] = '\0';
    return w.len;
}

}  // namespace rk
