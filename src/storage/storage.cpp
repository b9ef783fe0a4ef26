// SPDX-License-Identifier: Apache-2.0
// The storage engine: lifecycle and raw positioned I/O over a memory buffer,
// a file descriptor or a mapped view.
#include <cstring>

#include "core/alloc.h"
#include "core/status.h"
#include "platform/file_os.h"
#include "storage/storage_internal.h"

namespace rk::storage {
namespace {

constexpr uint64_t kDefaultMemoryCapacity = 0x1000000;  // 16 MiB
constexpr size_t kOwnArenaBlock = 0x400000;             // 4 MiB

// Unlocks on every path out of a locked section.
class Locked {
public:
    explicit Locked(rk_storage_t *s) : s_(s) { rk_mutex_lock(s_->mutex); }
    ~Locked() { rk_mutex_unlock(s_->mutex); }
    Locked(const Locked &) = delete;
    Locked &operator=(const Locked &) = delete;

private:
    rk_storage_t *s_;
};

bool is_file_backed(const rk_storage_t *s) { return s->config.mode != RK_STORAGE_MEMORY; }

os::OpenMode open_mode(int32_t access) {
    switch (access) {
        case RK_STORAGE_READ_WRITE:
            return os::OpenMode::read_write;
        case RK_STORAGE_CREATE:
            return os::OpenMode::read_write_create;
        case RK_STORAGE_CREATE_TRUNCATE:
            return os::OpenMode::read_write_trunc;
        default:
            return os::OpenMode::read;
    }
}

bool creates_file(int32_t access) {
    return access == RK_STORAGE_CREATE || access == RK_STORAGE_CREATE_TRUNCATE;
}

// Releases what a failed creation made; always null.
rk_storage_t *abandon(rk_storage_t *s, rk_arena_t *owned) {
    if (s) {
        if (s->fd >= 0) os::close_file(s->fd);
        rk_mutex_destroy(s->mutex);
    }
    rk_arena_destroy(owned);
    return nullptr;
}

// Reads and validates the header of an existing file into s->header.
bool load_header(rk_storage_t *s) {
    unsigned char image[kHeaderSize];
    if (os::read_at(s->fd, 0, image, kHeaderSize) != static_cast<int64_t>(kHeaderSize)) return false;
    if (get_u32(image + kOffMagic) != kMagic) return false;
    if ((get_u32(image + kOffVersion) >> 16) != (kVersion >> 16)) return false;
    std::memcpy(s->header, image, kHeaderSize);
    return true;
}

bool open_file(rk_storage_t *s) {
    const int32_t access = s->config.access;
    // Write-only kinds can never read the header back: refuse them before
    // the file system is touched, so no empty file is left behind.
    if (access == RK_STORAGE_WRITE_ONLY || access == RK_STORAGE_APPEND) return false;
    s->read_only = !creates_file(access) && access != RK_STORAGE_READ_WRITE;
    s->fd = os::open_file(s->path, open_mode(access));
    if (s->fd < 0) return false;
    if (creates_file(access)) {
        return os::write_at(s->fd, 0, s->header, kHeaderSize) == static_cast<int64_t>(kHeaderSize);
    }
    return load_header(s);
}

// Maps the whole file; without a view the storage goes on through its
// descriptor, appending at `used` all the same.
bool open_mapping(rk_storage_t *s) {
    int64_t size = os::size_fd(s->fd);
    if (size < static_cast<int64_t>(kHeaderSize)) {
        if (s->read_only || os::truncate_fd(s->fd, kHeaderSize) != 0) return false;
        size = kHeaderSize;
    }
    const auto file_size = static_cast<uint64_t>(size);
    // The data end comes from the header, but never lies past the file's end:
    // a damaged header must not open reads beyond the view.
    const uint64_t data = header_data_size(s);
    s->used = data > file_size - kHeaderSize ? file_size : kHeaderSize + data;
    s->capacity = file_size;
    s->size_at_open = file_size;
    s->base = static_cast<unsigned char *>(os::map_file(s->fd, file_size, !s->read_only));
    return true;
}

bool open_memory(rk_storage_t *s) {
    s->capacity = s->config.capacity ? s->config.capacity : kDefaultMemoryCapacity;
    if (s->capacity > SIZE_MAX) return false;
    s->base = static_cast<unsigned char *>(rk_arena_alloc(s->arena, static_cast<size_t>(s->capacity)));
    s->used = 0;
    return s->base != nullptr;
}

bool open_backing(rk_storage_t *s) {
    if (s->config.mode == RK_STORAGE_MEMORY) return open_memory(s);
    if (!s->config.path.data) return false;
    s->path = rk_arena_strdup(s->arena, s->config.path.data);
    if (!s->path || !open_file(s)) return false;
    return s->config.mode != RK_STORAGE_MAPPED || open_mapping(s);
}

// The capacity that holds need bytes, doubling from current; 0 on overflow.
uint64_t grown_capacity(uint64_t current, uint64_t need) {
    uint64_t cap = current ? current : 1;
    while (cap < need) {
        if (cap > UINT64_MAX / 2) return 0;
        cap *= 2;
    }
    return cap;
}

rk_status_t write_memory(rk_storage_t *s, const void *data, uint64_t length, uint64_t *start) {
    uint64_t need;
    if (__builtin_add_overflow(s->used, length, &need)) return RK_ERR_NO_MEMORY;
    if (need > s->capacity) {
        const uint64_t cap = grown_capacity(s->capacity, need);
        if (cap == 0 || cap > SIZE_MAX) return RK_ERR_NO_MEMORY;
        auto *grown = static_cast<unsigned char *>(rk_arena_alloc(s->arena, static_cast<size_t>(cap)));
        if (!grown) return RK_ERR_NO_MEMORY;
        if (s->used) std::memcpy(grown, s->base, static_cast<size_t>(s->used));
        s->base = grown;
        s->capacity = cap;
    }
    std::memcpy(s->base + s->used, data, static_cast<size_t>(length));
    *start = s->used;
    s->used = need;
    return RK_OK;
}

// Grows a mapped file to hold need bytes and maps it again.
rk_status_t grow_mapping(rk_storage_t *s, uint64_t need) {
    const uint64_t cap = grown_capacity(s->capacity, need);
    if (cap == 0) return RK_ERR_IO;
    if (os::unmap_file(s->base, s->capacity) != 0) return RK_ERR_IO;  // old view kept
    s->base = nullptr;
    if (os::truncate_fd(s->fd, cap) != 0) return RK_ERR_IO;
    s->capacity = cap;
    s->base = static_cast<unsigned char *>(os::map_file(s->fd, cap, true));
    return s->base ? RK_OK : RK_ERR_IO;
}

rk_status_t write_mapped(rk_storage_t *s, const void *data, uint64_t length, uint64_t *start) {
    uint64_t need;
    if (__builtin_add_overflow(s->used, length, &need)) return RK_ERR_IO;
    if (need > s->capacity) RK_TRY(grow_mapping(s, need));
    std::memcpy(s->base + s->used, data, static_cast<size_t>(length));
    if (s->config.sync && os::flush_view(s->base, need) != 0) return RK_ERR_UNKNOWN;
    *start = s->used;
    s->used = need;
    return RK_OK;
}

// Descriptor writes: file mode at `at` or the end of the file; a mapped
// storage that lost its view keeps appending at its data end.
rk_status_t write_descriptor(rk_storage_t *s, const void *data, uint64_t length, const uint64_t *at,
                             uint64_t *start) {
    if (s->fd < 0 || length > SIZE_MAX) return RK_ERR_IO;
    uint64_t pos;
    if (s->config.mode == RK_STORAGE_MAPPED) {
        pos = s->used;
    } else if (at) {
        pos = *at;
    } else {
        const int64_t end = os::seek(s->fd, 0, os::Whence::end);
        if (end < 0) return RK_ERR_IO;
        pos = static_cast<uint64_t>(end);
    }
    const bool written =
        os::write_at(s->fd, pos, data, static_cast<size_t>(length)) == static_cast<int64_t>(length);
    const rk_status_t cause = written ? RK_OK : os::write_failure_status();
    // Committed even after a failed write, so what did land is durable.
    const bool synced = !s->config.sync || os::sync_fd(s->fd) == 0;
    RK_TRY(cause);
    if (!synced) return os::write_failure_status();
    *start = pos;
    if (s->config.mode == RK_STORAGE_MAPPED) s->used = pos + length;
    return RK_OK;
}

// Writes the header image back at offset 0 (modified = now) and cuts a
// mapped file's growth padding.
rk_status_t persist_header(rk_storage_t *s) {
    rk_status_t status = RK_OK;
    put_u64(s->header + kOffModified, static_cast<uint64_t>(rk_time_now()));
    if (os::write_at(s->fd, 0, s->header, kHeaderSize) != static_cast<int64_t>(kHeaderSize)) {
        status = RK_ERR_IO;
    }
    if (s->config.mode == RK_STORAGE_MAPPED) {
        const uint64_t keep = s->used > s->size_at_open ? s->used : s->size_at_open;
        const int64_t size = os::size_fd(s->fd);
        if (size > 0 && static_cast<uint64_t>(size) > keep && os::truncate_fd(s->fd, keep) != 0) {
            status = RK_ERR_IO;
        }
    }
    if (s->config.sync && os::sync_fd(s->fd) != 0) status = RK_ERR_IO;
    return status;
}

rk_status_t close_locked(rk_storage_t *s) {
    rk_status_t status = RK_OK;
    if (s->base && s->config.mode == RK_STORAGE_MAPPED) {
        if (s->config.sync && !s->read_only && os::flush_view(s->base, s->used) != 0) {
            status = RK_ERR_IO;
        }
        if (os::unmap_file(s->base, s->capacity) != 0) status = RK_ERR_IO;
        s->base = nullptr;
    }
    if (s->fd >= 0) {
        if (!s->read_only && persist_header(s) != RK_OK) status = RK_ERR_IO;
        if (os::close_file(s->fd) != 0) status = RK_ERR_IO;
        s->fd = -1;
    }
    return status;
}

}  // namespace

uint64_t data_start(rk_storage_t *s) {
    return s->config.mode == RK_STORAGE_MEMORY ? 0 : get_u64(s->header + kOffHeaderSize);
}

rk_status_t write(rk_storage_t *s, const void *data, uint64_t length, const uint64_t *at, uint64_t *end) {
    if (!s || !data || length == 0) return RK_ERR_INVALID_ARG;
    Locked lock(s);
    if (s->read_only) return RK_ERR_IO;  // as a write on a read-only descriptor fails
    uint64_t start = 0;
    rk_status_t status;
    if (s->config.mode == RK_STORAGE_MEMORY) {
        status = write_memory(s, data, length, &start);
    } else if (s->base) {
        status = write_mapped(s, data, length, &start);
    } else {
        status = write_descriptor(s, data, length, at, &start);
    }
    RK_TRY(status);
    put_u64(s->header + kOffDataSize, header_data_size(s) + length);
    s->stats[kStatBytesWritten] += length;
    if (end) *end = start + length;
    return RK_OK;
}

int64_t read(rk_storage_t *s, uint64_t offset, void *buffer, uint64_t size) {
    if (!s || !buffer || size == 0 || size > SIZE_MAX) return -1;
    Locked lock(s);
    if (s->base) {
        uint64_t last;
        if (__builtin_add_overflow(offset, size, &last) || last > s->used) return -1;
        std::memcpy(buffer, s->base + offset, static_cast<size_t>(size));
        return static_cast<int64_t>(size);
    }
    if (s->fd < 0) return -1;
    return os::read_at(s->fd, offset, buffer, static_cast<size_t>(size));
}

bool range_readable(rk_storage_t *s, uint64_t offset, uint64_t size) {
    uint64_t last;
    if (__builtin_add_overflow(offset, size, &last)) return false;
    Locked lock(s);
    if (s->base) return last <= s->used;
    if (s->fd < 0) return false;
    const int64_t file_size = os::size_fd(s->fd);
    return file_size >= 0 && last <= static_cast<uint64_t>(file_size);
}

}  // namespace rk::storage

using namespace rk::storage;

extern "C" {

RK_API rk_storage_t *rk_storage_create(rk_arena_t *arena, const rk_storage_config_t *config) {
    if (!config) return nullptr;
    if (config->mode < RK_STORAGE_MEMORY || config->mode > RK_STORAGE_MAPPED) return nullptr;
    rk_arena_t *owned = nullptr;
    if (!arena) {
        if (rk_arena_create(kOwnArenaBlock, &owned) != RK_OK) return nullptr;
        arena = owned;
    }
    auto *s = static_cast<rk_storage_t *>(rk_arena_calloc(arena, 1, sizeof(rk_storage_t)));
    if (!s) return abandon(nullptr, owned);
    s->config = *config;
    s->arena = arena;
    s->owns_arena = owned ? 1 : 0;
    s->fd = -1;
    make_fresh_header(s->header, rk_time_now());
    if (rk_mutex_create(arena, nullptr, &s->mutex) != RK_OK) return abandon(nullptr, owned);
    if (!open_backing(s)) return abandon(s, owned);
    return s;
}

RK_API rk_storage_t *rk_storage_open(rk_arena_t *arena, const char *path, int32_t access) {
    rk_storage_config_t config{};
    config.mode = RK_STORAGE_FILE;
    config.access = access;
    config.path = rk_string_t{path, path ? std::strlen(path) : 0};
    config.page_size = 4096;
    config.capacity = 0x4000000;
    config.reserved2 = 1;
    config.reserved4 = 1;
    return rk_storage_create(arena, &config);
}

RK_API rk_status_t rk_storage_close(rk_storage_t *storage) {
    if (!storage) return RK_ERR_INVALID_ARG;
    rk_mutex_lock(storage->mutex);
    const rk_status_t status = close_locked(storage);
    rk_mutex_unlock(storage->mutex);
    rk_mutex_destroy(storage->mutex);
    if (storage->owns_arena) rk_arena_destroy(storage->arena);
    return status;
}

RK_API rk_status_t rk_storage_destroy(rk_storage_t *storage) {
    if (!storage) return RK_ERR_INVALID_ARG;
    // The name goes first: closing may release the object with its path, and
    // an open descriptor keeps working on an unlinked file until it closes.
    const bool removed =
        !is_file_backed(storage) || !storage->path || rk::os::remove_file(storage->path) == 0;
    const rk_status_t status = rk_storage_close(storage);
    return removed ? status : RK_ERR_IO;
}

RK_API rk_status_t rk_storage_sync(rk_storage_t *storage) {
    if (!storage) return RK_ERR_INVALID_ARG;
    // Under the lock: a write that grows a mapped file replaces the view.
    Locked lock(storage);
    if (storage->base && storage->config.mode == RK_STORAGE_MAPPED) {
        return rk::os::flush_view(storage->base, storage->used) == 0 ? RK_OK : RK_ERR_UNKNOWN;
    }
    if (storage->fd >= 0) return rk::os::sync_fd(storage->fd) == 0 ? RK_OK : RK_ERR_UNKNOWN;
    return RK_OK;
}

RK_API rk_status_t rk_storage_verify(rk_storage_t *storage) {
    if (!storage) return RK_ERR_INVALID_ARG;
    Locked lock(storage);
    if (get_u32(storage->header + kOffMagic) != kMagic) return RK_ERR_FILE_CORRUPTED;
    if ((get_u32(storage->header + kOffVersion) >> 16) != (kVersion >> 16)) return RK_ERR_NOT_SUPPORTED;
    return RK_OK;
}

RK_API rk_status_t rk_storage_compact(rk_storage_t *storage) { return storage ? RK_OK : RK_ERR_INVALID_ARG; }

RK_API rk_status_t rk_storage_register_backend(const char *, const void *) { return RK_ERR_NOT_SUPPORTED; }

RK_API rk_status_t rk_storage_get_stats(rk_storage_t *storage, rk_storage_stats_t *out) {
    if (!storage || !out) return RK_ERR_INVALID_ARG;
    Locked lock(storage);
    *out = rk_storage_stats_t{};
    if (storage->config.mode == RK_STORAGE_MEMORY) {
        out->total_bytes = storage->capacity;
        out->used_bytes = storage->used;
        out->free_bytes = storage->capacity - storage->used;
    } else {
        out->used_bytes = storage->stats[kStatBytesWritten];
    }
    out->blocks_allocated = storage->stats[kStatBlockCounter];
    return RK_OK;
}

RK_API rk_status_t rk_storage_write(rk_storage_t *storage, const void *data, uint64_t length,
                                    uint64_t *cursor) {
    return write(storage, data, length, cursor, cursor);
}

RK_API int32_t rk_storage_read(rk_storage_t *storage, uint64_t offset, void *buffer, uint64_t size) {
    if (size > INT32_MAX) return -1;
    return static_cast<int32_t>(read(storage, offset, buffer, size));
}

RK_API int32_t rk_storage_append(rk_storage_t *storage, const void *data, uint64_t length) {
    uint64_t end = 0;
    if (write(storage, data, length, nullptr, &end) != RK_OK) return -1;
    return static_cast<int32_t>(static_cast<uint32_t>(end));
}

}  // extern "C"
