// SPDX-License-Identifier: Apache-2.0
// Exported file-system utilities: descriptor I/O, whole files, queries and
// directory changes. Path helpers and temporary names are in file_path.cpp.
#include <climits>
#include <cstring>

#include "core/alloc.h"
#include "core/status.h"
#include "platform/file_internal.h"
#include "platform/file_os.h"
#include "rk_platform.h"

namespace rk {

const char *path_text(const rk_string_t *path) { return path ? path->data : nullptr; }

char *heap_strdup(const char *text, size_t length) {
    char *copy = hook_array<char>(length + 1);
    if (!copy) return nullptr;
    std::memcpy(copy, text, length);
    copy[length] = '\0';
    return copy;
}

namespace {

// Only the first two characters of a mode text count.
os::OpenMode parse_mode(const rk_string_t *mode) {
    const char *m = path_text(mode);
    if (!m || m[0] == '\0') return os::OpenMode::read;
    const bool plus = m[1] == '+';
    switch (m[0]) {
        case 'r':
            return plus ? os::OpenMode::read_write : os::OpenMode::read;
        case 'w':
            return plus ? os::OpenMode::read_write_trunc : os::OpenMode::write_trunc;
        case 'a':
            return os::OpenMode::write_append;
        default:
            return os::OpenMode::read;
    }
}

// Closes fd and folds a failing close into status: a close can report a
// deferred write error, which must not be lost.
rk_status_t close_checked(int fd, rk_status_t status) {
    const int r = os::close_file(fd);
    return (status == RK_OK && r != 0) ? RK_ERR_IO : status;
}

rk_status_t copy_fd(int in, int out) {
    unsigned char chunk[4096];
    for (;;) {
        const int64_t n = os::read_some(in, chunk, sizeof chunk);
        if (n == 0) return RK_OK;
        // A read error is not the end of the file: the copy would be short.
        if (n < 0) return RK_ERR_IO;
        if (os::write_all(out, chunk, static_cast<size_t>(n)) != n) return os::write_failure_status();
    }
}

rk_status_t remove_tree(const char *path);

rk_status_t remove_child(const char *parent, const char *name) {
    const size_t a = std::strlen(parent), b = std::strlen(name);
    HookPtr<char> child(hook_array<char>(a + b + 2));
    if (!child) return RK_ERR_NO_MEMORY;
    std::memcpy(child.get(), parent, a);
    child.get()[a] = '/';
    std::memcpy(child.get() + a + 1, name, b + 1);
    os::PathInfo info;
    // Links are removed as entries; following one would empty its target.
    if (os::stat_path(child.get(), &info, false) != 0) return RK_ERR_IO;
    if (info.is_directory) return remove_tree(child.get());
    return os::remove_file(child.get()) == 0 ? RK_OK : RK_ERR_IO;
}

rk_status_t remove_tree(const char *path) {
    os::DirStream *dir = os::dir_open(path);
    if (!dir) return RK_ERR_IO;
    rk_status_t status = RK_OK;
    while (const char *name = os::dir_next(dir)) {
        status = remove_child(path, name);
        if (status != RK_OK) break;
    }
    os::dir_close(dir);
    RK_TRY(status);
    return os::remove_dir(path) == 0 ? RK_OK : RK_ERR_IO;
}

size_t count_entries(const char *path, bool *ok) {
    os::DirStream *dir = os::dir_open(path);
    *ok = dir != nullptr;
    size_t count = 0;
    while (dir && os::dir_next(dir)) ++count;
    os::dir_close(dir);
    return count;
}

void free_names(char **names, size_t count) {
    for (size_t i = 0; i < count; ++i) rk_free(names[i]);
}

}  // namespace
}  // namespace rk

using rk::path_text;

extern "C" {

RK_API rk_file_t rk_file_open(const rk_string_t *path, const rk_string_t *mode) {
    const char *p = path_text(path);
    if (!p) return -1;
    return rk::os::open_file(p, rk::parse_mode(mode));
}

RK_API int rk_file_close(rk_file_t fd) { return rk::os::close_file(fd) == 0 ? 0 : -1; }

RK_API int32_t rk_file_read(rk_file_t fd, void *buffer, int32_t size) {
    if (fd < 0 || !buffer || size < 0) return -1;
    const int64_t n = rk::os::read_some(fd, buffer, static_cast<size_t>(size));
    return n < 0 ? -1 : static_cast<int32_t>(n);
}

RK_API int32_t rk_file_write(rk_file_t fd, const void *data, int32_t length) {
    if (fd < 0 || !data || length < 0) return -1;
    const int64_t n = rk::os::write_all(fd, data, static_cast<size_t>(length));
    return n == length ? length : -1;
}

RK_API int32_t rk_file_seek(rk_file_t fd, int32_t offset, int origin) {
    if (fd < 0 || origin < 0 || origin > 2) return -1;
    const int64_t pos = rk::os::seek(fd, offset, static_cast<rk::os::Whence>(origin));
    return (pos < 0 || pos > INT32_MAX) ? -1 : static_cast<int32_t>(pos);
}

RK_API void *rk_file_read_all(const rk_string_t *path, uint64_t *size_out) {
    const int fd = rk::os::open_file(path_text(path), rk::os::OpenMode::read);
    if (fd < 0) return nullptr;
    const int64_t size = rk::os::size_fd(fd);
    char *buffer = nullptr;
    if (size >= 0 && static_cast<uint64_t>(size) < SIZE_MAX) {
        buffer = rk::hook_array<char>(static_cast<size_t>(size) + 1);
    }
    if (buffer && rk::os::read_at(fd, 0, buffer, static_cast<size_t>(size)) != size) {
        rk_free(buffer);
        buffer = nullptr;
    }
    rk::os::close_file(fd);
    if (!buffer) return nullptr;
    buffer[size] = '\0';
    if (size_out) *size_out = static_cast<uint64_t>(size);
    return buffer;
}

RK_API rk_status_t rk_file_write_all(const rk_string_t *path, const void *data, uint64_t length) {
    if (!data && length) return RK_ERR_INVALID_ARG;
    if (length > SIZE_MAX) return RK_ERR_IO;
    const int fd = rk::os::open_file(path_text(path), rk::os::OpenMode::write_trunc);
    if (fd < 0) return RK_ERR_IO;
    const auto n = static_cast<size_t>(length);
    const rk_status_t status = (n == 0 || rk::os::write_all(fd, data, n) == static_cast<int64_t>(n))
                                   ? RK_OK
                                   : rk::os::write_failure_status();
    return rk::close_checked(fd, status);
}

RK_API rk_status_t rk_file_copy(const rk_string_t *source, const rk_string_t *destination) {
    const int in = rk::os::open_file(path_text(source), rk::os::OpenMode::read);
    if (in < 0) return RK_ERR_IO;
    const int out = rk::os::open_file(path_text(destination), rk::os::OpenMode::write_trunc);
    if (out < 0) {
        rk::os::close_file(in);
        return RK_ERR_IO;
    }
    const rk_status_t status = rk::copy_fd(in, out);
    rk::os::close_file(in);
    return rk::close_checked(out, status);
}

RK_API int rk_file_exists(const rk_string_t *path) {
    rk::os::PathInfo info;
    rk::os::stat_path(path_text(path), &info);
    return info.exists;
}

RK_API int rk_file_is_directory(const rk_string_t *path) {
    rk::os::PathInfo info;
    rk::os::stat_path(path_text(path), &info);
    return info.is_directory;
}

RK_API int rk_file_is_regular(const rk_string_t *path) {
    rk::os::PathInfo info;
    rk::os::stat_path(path_text(path), &info);
    return info.is_regular;
}

RK_API int64_t rk_file_size(const rk_string_t *path) {
    rk::os::PathInfo info;
    return rk::os::stat_path(path_text(path), &info) == 0 ? info.size : -1;
}

RK_API int64_t rk_file_mtime(const rk_string_t *path) {
    rk::os::PathInfo info;
    return rk::os::stat_path(path_text(path), &info) == 0 ? info.mtime : -1;
}

RK_API rk_status_t rk_file_mkdir(const rk_string_t *path) {
    return rk::os::make_dir(path_text(path)) == 0 ? RK_OK : RK_ERR_IO;
}

RK_API rk_status_t rk_file_rmdir(const rk_string_t *path) {
    return rk::os::remove_dir(path_text(path)) == 0 ? RK_OK : RK_ERR_IO;
}

RK_API rk_status_t rk_file_unlink(const rk_string_t *path) {
    return rk::os::remove_file(path_text(path)) == 0 ? RK_OK : RK_ERR_IO;
}

RK_API rk_status_t rk_file_rename(const rk_string_t *from, const rk_string_t *to) {
    return rk::os::rename_path(path_text(from), path_text(to)) == 0 ? RK_OK : RK_ERR_IO;
}

RK_API rk_status_t rk_file_mkdir_recursive(const rk_string_t *path) {
    const char *p = path_text(path);
    if (!p) return RK_ERR_IO;
    rk::HookPtr<char> copy(rk::heap_strdup(p, std::strlen(p)));
    if (!copy) return RK_ERR_NO_MEMORY;
    rk::os::PathInfo info;
    // Each prefix ending before a separator is created when missing; a
    // prefix that exists as a file makes the next creation fail.
    for (char *c = copy.get(); *c; ++c) {
        if (*c != '/' && *c != '\\') continue;
        *c = '\0';
        if (copy.get()[0] != '\0' && rk::os::stat_path(copy.get(), &info) != 0 &&
            rk::os::make_dir(copy.get()) != 0) {
            return RK_ERR_IO;
        }
        *c = '/';
    }
    if (rk::os::stat_path(copy.get(), &info) != 0 && rk::os::make_dir(copy.get()) != 0) {
        return RK_ERR_IO;
    }
    return RK_OK;
}

RK_API rk_status_t rk_file_rmdir_recursive(const rk_string_t *path) {
    const char *p = path_text(path);
    rk::os::PathInfo info;
    // A link to a directory is not walked: its target is not ours to empty.
    if (!p || rk::os::stat_path(p, &info, false) != 0 || !info.is_directory) return RK_ERR_IO;
    return rk::remove_tree(p);
}

RK_API char **rk_file_list_dir(const rk_string_t *path, rk_arena_t *arena) {
    const char *p = path_text(path);
    if (!p || !arena) return nullptr;
    bool ok;
    const size_t count = rk::count_entries(p, &ok);
    if (!ok) return nullptr;
    auto **names = rk::arena_array<char *>(arena, count + 1);
    rk::os::DirStream *dir = names ? rk::os::dir_open(p) : nullptr;
    if (!dir) return nullptr;
    // The directory may change between the passes: take at most count names.
    size_t n = 0;
    while (n < count) {
        const char *name = rk::os::dir_next(dir);
        if (!name) break;
        names[n] = rk::heap_strdup(name, std::strlen(name));
        if (!names[n]) {
            rk::free_names(names, n);
            rk::os::dir_close(dir);
            return nullptr;
        }
        ++n;
    }
    names[n] = nullptr;
    rk::os::dir_close(dir);
    return names;
}

}  // extern "C"
