// SPDX-License-Identifier: Apache-2.0
// The process-wide logger.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "platform/log_format.h"
#include "platform/os.h"
#include "rk_error.h"
#include "rk_log.h"

namespace {

constexpr size_t kMessageBytes = RK_LOG_MESSAGE_MAX + 1;
constexpr size_t kLineBytes = RK_LOG_LINE_MAX + 1;
constexpr size_t kFormatBytes = RK_LOG_FORMAT_MAX + 1;

constexpr const char *kLevelNames[] = {"TRACE", "DEBUG", "INFO", "WARN", "ERROR", "FATAL"};
constexpr int kLevelCount = sizeof(kLevelNames) / sizeof(kLevelNames[0]);

// The threshold is read without the lock, so it is atomic; everything else
// is only touched under the lock.
std::atomic<int> g_level{RK_LOG_INFO};
rk_log_callback_fn g_callback = nullptr;
void *g_callback_data = nullptr;
std::FILE *g_file = nullptr;
bool g_console = true;
char g_format[kFormatBytes] = RK_LOG_DEFAULT_FORMAT;

// The lock lives for the whole process and is never destroyed: a thread
// still logging while another shuts the logger down, or a log call from an
// exit handler, must not find it gone. Recursive, so a callback may log.
std::recursive_mutex &log_lock() {
    alignas(std::recursive_mutex) static unsigned char storage[sizeof(std::recursive_mutex)];
    static std::recursive_mutex *lock = ::new (storage) std::recursive_mutex();
    return *lock;
}

using Guard = std::lock_guard<std::recursive_mutex>;

// A C caller may pass any int as a level, and reading a value outside the
// enumerators through the C++ enum type is undefined: the level's bits are
// read as the int they are.
int level_bits(const rk_log_level_t &level) {
    static_assert(sizeof(rk_log_level_t) == sizeof(int));
    int v;
    std::memcpy(&v, &level, sizeof v);
    return v;
}

void write_line(std::FILE *stream, const char *line, size_t len) {
    std::fwrite(line, 1, len, stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

// Delivers a formatted message; the caller has checked the threshold.
void emit(int level, const char *file, int line, const char *function, const char *message) {
    const bool fatal = level == RK_LOG_FATAL;
    {
        Guard guard(log_lock());
        if (g_callback) {
            g_callback(static_cast<uint32_t>(level), file, static_cast<uint32_t>(line), function,
                       rk::os::wall_ms(), message, g_callback_data);
            return;  // the callback owns the message, fatal ones included
        }
        char timestamp[32];
        rk::log_format_timestamp(timestamp, sizeof timestamp, rk::os::wall_ms());
        char text[kLineBytes];
        const rk::LogLineParts parts{level, file, line, function, message, timestamp};
        const size_t len = rk::log_expand_template(text, sizeof text, g_format, parts);
        if (g_console) write_line(level >= RK_LOG_ERROR ? stderr : stdout, text, len);
        if (g_file) write_line(g_file, text, len);
    }
    if (fatal) std::abort();
}

void format_message(char *out, const char *format, va_list args) {
    out[0] = '\0';
    if (format) std::vsnprintf(out, kMessageBytes, format, args);
}

bool names_equal_ignoring_case(const char *a, const char *b) {
    auto fold = [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; };
    for (; *a && *b; ++a, ++b) {
        if (fold(*a) != fold(*b)) return false;
    }
    return *a == *b;
}

}  // namespace

extern "C" {

RK_API void rk_log_write_v(rk_log_level_t level, const char *file, int line, const char *function,
                           const char *format, va_list args) {
    if (level_bits(level) < g_level.load(std::memory_order_relaxed)) return;
    char message[kMessageBytes];
    format_message(message, format, args);
    emit(level_bits(level), file, line, function, message);
}

RK_API void rk_log_write(rk_log_level_t level, const char *file, int line, const char *function,
                         const char *format, ...) {
    if (level_bits(level) < g_level.load(std::memory_order_relaxed)) return;
    va_list args;
    va_start(args, format);
    char message[kMessageBytes];
    format_message(message, format, args);
    va_end(args);
    emit(level_bits(level), file, line, function, message);
}

RK_API void rk_log_set_level(rk_log_level_t level) {
    Guard guard(log_lock());
    g_level.store(level_bits(level), std::memory_order_relaxed);
}

RK_API rk_log_level_t rk_log_get_level(void) {
    return static_cast<rk_log_level_t>(g_level.load(std::memory_order_relaxed));
}

RK_API void rk_log_set_console(int enabled) {
    Guard guard(log_lock());
    g_console = enabled != 0;
}

RK_API rk_status_t rk_log_set_file(const char *path, int append) {
    Guard guard(log_lock());
    if (g_file) {
        std::fclose(g_file);
        g_file = nullptr;
    }
    if (!path) return RK_OK;
    // Binary: lines end in "\n" alone on every system, so a log file's bytes
    // do not depend on where it was written.
    g_file = std::fopen(path, append ? "ab" : "wb");
    return g_file ? RK_OK : RK_ERR_FILE_NOT_FOUND;
}

RK_API void rk_log_set_callback(rk_log_callback_fn callback, void *user_data) {
    Guard guard(log_lock());
    g_callback = callback;
    g_callback_data = user_data;
}

RK_API void rk_log_set_format(const char *format) {
    if (!format) return;
    Guard guard(log_lock());
    const size_t n = strnlen(format, RK_LOG_FORMAT_MAX);
    std::memcpy(g_format, format, n);
    g_format[n] = '\0';
}

RK_API void rk_log_flush(void) {
    Guard guard(log_lock());
    if (g_console) {
        std::fflush(stdout);
        std::fflush(stderr);
    }
    if (g_file) std::fflush(g_file);
}

RK_API void rk_log_shutdown(void) {
    Guard guard(log_lock());
    if (g_file) {
        std::fclose(g_file);
        g_file = nullptr;
    }
}

RK_API const char *rk_log_level_string(int level) {
    return (level >= 0 && level < kLevelCount) ? kLevelNames[level] : "UNKNOWN";
}

RK_API rk_log_level_t rk_log_level_from_string(const char *text) {
    if (text) {
        for (int i = 0; i < kLevelCount; ++i) {
            if (names_equal_ignoring_case(text, kLevelNames[i])) return static_cast<rk_log_level_t>(i);
        }
    }
    return RK_LOG_INFO;
}

RK_API int64_t rk_log_timestamp(void) { return rk::os::wall_ms(); }

}  // extern "C"
