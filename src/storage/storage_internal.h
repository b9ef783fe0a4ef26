// SPDX-License-Identifier: Apache-2.0
// The storage object and the locked primitives its typed operations build on.
#ifndef RK_STORAGE_INTERNAL_H
#define RK_STORAGE_INTERNAL_H

#include <cstdint>

#include "rk_platform.h"
#include "rk_storage.h"
#include "storage/format.h"

// Statistics slots.
enum : int { kStatBytesWritten = 1, kStatBlockCounter = 3, kStatCount = 6 };

struct rk_storage {
    rk_storage_config_t config;
    rk_arena_t *arena;
    int32_t owns_arena;
    int32_t fd;  // -1 when none is open
    char *path;  // NUL-terminated copy in the arena, or null
    unsigned char header[rk::storage::kHeaderSize];
    // Memory mode: the buffer (data from offset 0). Mapped mode: the view of
    // the whole file, or null when the storage works through its descriptor.
    unsigned char *base;
    // Memory mode: bytes in use. Mapped mode: file offset just past the data.
    uint64_t used;
    // Memory mode: buffer size. Mapped mode: size of the file and the view.
    uint64_t capacity;
    uint64_t stats[kStatCount];
    rk_mutex_t *mutex;
    // Opened without write access: every write is refused and close writes
    // nothing back.
    bool read_only;
    // Mapped mode: the file's size at open. Growth pads the file; close cuts
    // the padding but never below this size.
    uint64_t size_at_open;
};

struct rk_storage_iterator {
    rk_storage_t *storage;
    uint64_t position;  // offset of the current block
    uint64_t end;       // no block starts at or past this offset
    rk_storage_block_header_t current;
    int started;  // set by the first rk_storage_iterator_next
};

namespace rk::storage {

// Writes length bytes under the lock. `at` places the bytes in file mode
// (null: at the end of the file); memory and mapped mode always append.
// On success *end (if given) receives the offset just past the bytes.
[[nodiscard]] rk_status_t write(rk_storage_t *s, const void *data, uint64_t length, const uint64_t *at,
                                uint64_t *end);

// Reads up to size bytes at offset under the lock: the count read (in
// memory and mapped mode all or nothing), or -1.
[[nodiscard]] int64_t read(rk_storage_t *s, uint64_t offset, void *buffer, uint64_t size);

// True when exactly size bytes were read.
[[nodiscard]] inline bool read_exact(rk_storage_t *s, uint64_t offset, void *buffer, uint64_t size) {
    return read(s, offset, buffer, size) == static_cast<int64_t>(size);
}

// True when offset + size lies within what a read can reach: the data in
// memory and mapped mode, the file's real size otherwise. Readers check
// sizes taken from a file against it before they allocate.
[[nodiscard]] bool range_readable(rk_storage_t *s, uint64_t offset, uint64_t size);

// The offset where the data region begins in the storage's addressing:
// 0 for a memory buffer, header_size for a file.
[[nodiscard]] uint64_t data_start(rk_storage_t *s);

[[nodiscard]] inline uint64_t header_data_size(const rk_storage_t *s) {
    return get_u64(s->header + kOffDataSize);
}

}  // namespace rk::storage

#endif
