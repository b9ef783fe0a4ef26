// SPDX-License-Identifier: Apache-2.0
// Path helpers, temporary names and crash-safe whole-file replacement.
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstring>

#include "core/alloc.h"
#include "core/status.h"
#include "platform/file_internal.h"
#include "platform/file_os.h"
#include "rk_memory.h"
#include "rk_platform.h"

namespace rk {
namespace {

constexpr size_t kTempSuffix = 6;
constexpr int kTempAttempts = 1000;
constexpr size_t kAbsPathMax = 4096;

// Temporary names draw from their own stream so they never disturb the
// process-wide generator, whose sequence other subsystems reproduce.
uint64_t temp_entropy() {
    static std::atomic<uint64_t> counter{0};
    const auto ticks =
        static_cast<uint64_t>(std::chrono::high_resolution_clock::now().time_since_epoch().count());
    uint64_t z = ticks + 0x9E3779B97F4A7C15ull * (counter.fetch_add(1) + 1);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// The six trailing 'X' of a template, or null when it has none.
char *temp_suffix(char *text) {
    if (!text) return nullptr;
    const size_t n = std::strlen(text);
    if (n < kTempSuffix) return nullptr;
    char *s = text + n - kTempSuffix;
    for (size_t i = 0; i < kTempSuffix; ++i) {
        if (s[i] != 'X') return nullptr;
    }
    return s;
}

void fill_suffix(char *suffix) {
    static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    uint64_t bits = temp_entropy();
    for (size_t i = 0; i < kTempSuffix; ++i) {
        suffix[i] = kAlphabet[bits % (sizeof kAlphabet - 1)];
        bits /= sizeof kAlphabet - 1;
    }
}

// The position of the last separator: the last '/', or with none the last
// '\'; null when there is neither.
const char *last_separator(const char *path) {
    const char *slash = std::strrchr(path, '/');
    return slash ? slash : std::strrchr(path, '\\');
}

#if !defined(_WIN32)
// Appends one component to an absolute path held in out (length *len),
// resolving "." and ".." lexically. False when the result would not fit.
bool push_component(char *out, size_t *len, const char *part, size_t n) {
    if (n == 0 || (n == 1 && part[0] == '.')) return true;
    if (n == 2 && part[0] == '.' && part[1] == '.') {
        while (*len > 1 && out[*len - 1] != '/') --*len;
        if (*len > 1) --*len;  // drop the separator too, except the root
        out[*len] = '\0';
        return true;
    }
    const size_t sep = (*len > 1) ? 1 : 0;
    if (*len + sep + n >= kAbsPathMax) return false;
    if (sep) out[(*len)++] = '/';
    std::memcpy(out + *len, part, n);
    *len += n;
    out[*len] = '\0';
    return true;
}

// Resolves text against out (an absolute path of length *len).
bool push_path(char *out, size_t *len, const char *text) {
    while (*text) {
        const char *end = std::strchr(text, '/');
        const size_t n = end ? static_cast<size_t>(end - text) : std::strlen(text);
        if (!push_component(out, len, text, n)) return false;
        text += n;
        if (*text == '/') ++text;
    }
    return true;
}

#endif

void remove_temp(int fd, const char *temp) {
    if (fd >= 0) os::close_file(fd);
    (void)os::remove_file(temp);
}

// Writes, syncs and closes the temporary file; on failure it is removed and
// the cause (a full disk, say) returned.
rk_status_t fill_temp(int fd, const char *temp, const void *data, size_t length) {
    const bool written = length == 0 || os::write_all(fd, data, length) == static_cast<int64_t>(length);
    if (!written || os::sync_fd(fd) != 0) {
        const rk_status_t cause = os::last_error_status();
        remove_temp(fd, temp);
        return cause;
    }
    if (os::close_file(fd) != 0) {
        const rk_status_t cause = os::last_error_status();
        remove_temp(-1, temp);
        return cause;
    }
    return RK_OK;
}

}  // namespace

rk_status_t file_write_atomic(const char *path, const void *data, size_t length) {
    if (!path || (!data && length)) return RK_ERR_INVALID_ARG;
    static const char kSuffix[] = ".tmp-XXXXXX";
    const size_t n = std::strlen(path);
    HookPtr<char> temp(hook_array<char>(n + sizeof kSuffix));
    // The directory part; "." when the path has none.
    HookPtr<char> dir(hook_array<char>(n + 2));
    if (!temp || !dir) return RK_ERR_NO_MEMORY;
    std::memcpy(temp.get(), path, n);
    std::memcpy(temp.get() + n, kSuffix, sizeof kSuffix);
    const char *sep = std::strrchr(path, '/');
    if (sep) {
        const size_t d = sep == path ? 1 : static_cast<size_t>(sep - path);
        std::memcpy(dir.get(), path, d);
        dir.get()[d] = '\0';
    } else {
        std::memcpy(dir.get(), ".", 2);
    }
    const int fd = os::make_temp_file(temp.get());
    if (fd < 0) return os::last_error_status();
    RK_TRY(fill_temp(fd, temp.get(), data, length));
    if (os::rename_path(temp.get(), path) != 0) {
        const rk_status_t cause = os::last_error_status();
        remove_temp(-1, temp.get());
        return cause;
    }
    // The new contents are in place; the rename itself is durable only once
    // the directory entry is.
    return os::sync_dir(dir.get()) == 0 ? RK_OK : RK_ERR_IO;
}

}  // namespace rk

using rk::path_text;

extern "C" {

RK_API char *rk_file_mktemp(char *template_text) {
    char *suffix = rk::temp_suffix(template_text);
    if (!suffix) return nullptr;
    for (int attempt = 0; attempt < rk::kTempAttempts; ++attempt) {
        rk::fill_suffix(suffix);
        rk::os::PathInfo info;
        if (rk::os::stat_path(template_text, &info, false) != 0) return template_text;
    }
    return nullptr;
}

RK_API char *rk_file_mkdtemp(char *template_text) {
    char *suffix = rk::temp_suffix(template_text);
    if (!suffix) return nullptr;
    // Creating the directory is the test for a free name, so two callers can
    // never both win the same one.
    for (int attempt = 0; attempt < rk::kTempAttempts; ++attempt) {
        rk::fill_suffix(suffix);
        if (rk::os::make_dir(template_text, 0700) == 0) return template_text;
        if (!rk::os::last_error_was_exists()) return nullptr;
    }
    return nullptr;
}

RK_API char *rk_file_join(rk_arena_t *arena, const char *part, ...) {
    if (!arena) return nullptr;
    va_list args;
    va_start(args, part);
    size_t total = 1;
    bool overflow = false;
    for (const char *p = part; p; p = va_arg(args, const char *)) {
        overflow |= !rk::add_size(total, std::strlen(p) + 1, &total);
    }
    va_end(args);
    char *out = overflow ? nullptr : static_cast<char *>(rk_arena_alloc(arena, total));
    if (!out) return nullptr;
    size_t len = 0;
    va_start(args, part);
    for (const char *p = part; p; p = va_arg(args, const char *)) {
        if (len > 0) out[len++] = '/';
        const size_t n = std::strlen(p);
        std::memcpy(out + len, p, n);
        len += n;
    }
    va_end(args);
    out[len] = '\0';
    return out;
}

RK_API const char *rk_file_basename(const rk_string_t *path) {
    const char *p = path_text(path);
    if (!p) return nullptr;
    const char *sep = rk::last_separator(p);
    return sep ? sep + 1 : p;
}

RK_API char *rk_file_dirname(rk_arena_t *arena, const rk_string_t *path) {
    const char *p = path_text(path);
    if (!p || !arena) return nullptr;
    const char *sep = rk::last_separator(p);
    // "." goes to the arena like every other result, so callers never have
    // to tell two owners apart.
    const char *from = sep ? p : ".";
    const size_t n = sep ? static_cast<size_t>(sep - p) : 1;
    auto *out = static_cast<char *>(rk_arena_alloc(arena, n + 1));
    if (!out) return nullptr;
    std::memcpy(out, from, n);
    out[n] = '\0';
    return out;
}

RK_API char *rk_file_abs_path(rk_arena_t *, const rk_string_t *path) {
    const char *p = path_text(path);
    if (!p) return nullptr;
#if defined(_WIN32)
    // Drive letters, UNC names and both separators: the system resolves them,
    // into a buffer of MAX_PATH characters.
    char full[260];
    return rk::os::full_path(p, full, sizeof full) == 0 ? rk::heap_strdup(full, std::strlen(full)) : nullptr;
#else
    char out[rk::kAbsPathMax] = "/";
    size_t len = 1;
    if (p[0] != '/') {
        char cwd[rk::kAbsPathMax];
        if (rk::os::current_dir(cwd, sizeof cwd) != 0 || !rk::push_path(out, &len, cwd)) {
            return nullptr;
        }
    }
    if (!rk::push_path(out, &len, p)) return nullptr;
    return rk::heap_strdup(out, len);
#endif
}

RK_API char *rk_file_normalize_path(rk_arena_t *, const rk_string_t *path) {
    const char *p = path_text(path);
    return p ? rk::heap_strdup(p, std::strlen(p)) : nullptr;
}

}  // extern "C"
