// SPDX-License-Identifier: Apache-2.0
// Typed readers and writers, header records, blocks and the block iterator,
// all built on the storage's locked write and read.
#include <cstring>

#include "core/alloc.h"
#include "core/status.h"
#include "storage/storage_internal.h"

namespace rk::storage {
namespace {

// Field spans of the caller-side header record, written one by one.
constexpr FieldSpan kHeaderFields[] = {
    {0, 4}, {4, 4}, {8, 8}, {16, 8}, {24, 8}, {32, 8}, {40, 8}, {48, 8}, {56, 4}, {60, 4}, {64, 120},
};

// Writes the spans of an encoded record from *cursor, advancing it.
rk_status_t write_fields(rk_storage_t *s, const unsigned char *image, const FieldSpan *fields, size_t count,
                         uint64_t *cursor) {
    for (size_t i = 0; i < count; ++i) {
        RK_TRY(write(s, image + fields[i].offset, fields[i].size, cursor, cursor));
    }
    return RK_OK;
}

// Scratch bytes for 4 * count floats, or null when the size overflows or the
// hooks refuse.
unsigned char *float_scratch(uint64_t count, size_t extra, size_t *bytes) {
    size_t n;
    if (count > SIZE_MAX || !mul_size(static_cast<size_t>(count), 4, &n) || !add_size(n, extra, &n)) {
        return nullptr;
    }
    *bytes = n;
    return hook_array<unsigned char>(n);
}

void encode_floats(unsigned char *out, const float *values, uint64_t count) {
    for (uint64_t i = 0; i < count; ++i) put_f32(out + 4 * i, values[i]);
}

void decode_floats(float *out, const unsigned char *in, uint64_t count) {
    for (uint64_t i = 0; i < count; ++i) out[i] = get_f32(in + 4 * i);
}

template <size_t N>
rk_status_t read_fixed(rk_storage_t *s, uint64_t offset, unsigned char (&buf)[N]) {
    return read_exact(s, offset, buf, N) ? RK_OK : RK_ERR_UNKNOWN;
}

}  // namespace
}  // namespace rk::storage

using namespace rk::storage;

extern "C" {

RK_API rk_status_t rk_storage_write_u32(rk_storage_t *storage, uint32_t value, uint64_t *cursor) {
    unsigned char b[4];
    put_u32(b, value);
    return rk_storage_write(storage, b, sizeof b, cursor);
}

RK_API rk_status_t rk_storage_write_u64(rk_storage_t *storage, uint64_t value, uint64_t *cursor) {
    unsigned char b[8];
    put_u64(b, value);
    return rk_storage_write(storage, b, sizeof b, cursor);
}

RK_API rk_status_t rk_storage_write_f32(rk_storage_t *storage, float value, uint64_t *cursor) {
    unsigned char b[4];
    put_f32(b, value);
    return rk_storage_write(storage, b, sizeof b, cursor);
}

RK_API rk_status_t rk_storage_write_f32_array(rk_storage_t *storage, const float *values, uint64_t count,
                                              uint64_t *cursor) {
    if (!storage || !values || count == 0) return RK_ERR_INVALID_ARG;
    size_t bytes = 0;
    rk::HookPtr<unsigned char> scratch(float_scratch(count, 0, &bytes));
    if (!scratch) return RK_ERR_NO_MEMORY;
    encode_floats(scratch.get(), values, count);
    return rk_storage_write(storage, scratch.get(), bytes, cursor);
}

RK_API rk_status_t rk_storage_write_vector(rk_storage_t *storage, uint64_t id, const float *values,
                                           uint32_t dimension, uint64_t *cursor) {
    if (!storage || !values || dimension == 0) return RK_ERR_INVALID_ARG;
    size_t bytes = 0;
    rk::HookPtr<unsigned char> record(float_scratch(dimension, kVectorHeadSize, &bytes));
    if (!record) return RK_ERR_NO_MEMORY;
    put_u64(record.get(), id);
    put_u32(record.get() + 8, dimension);
    encode_floats(record.get() + kVectorHeadSize, values, dimension);
    return rk_storage_write(storage, record.get(), bytes, cursor);
}

RK_API rk_status_t rk_storage_read_u32(rk_storage_t *storage, uint64_t offset, uint32_t *out) {
    if (!storage || !out) return RK_ERR_INVALID_ARG;
    unsigned char b[4];
    RK_TRY(read_fixed(storage, offset, b));
    *out = get_u32(b);
    return RK_OK;
}

RK_API rk_status_t rk_storage_read_u64(rk_storage_t *storage, uint64_t offset, uint64_t *out) {
    if (!storage || !out) return RK_ERR_INVALID_ARG;
    unsigned char b[8];
    RK_TRY(read_fixed(storage, offset, b));
    *out = get_u64(b);
    return RK_OK;
}

RK_API rk_status_t rk_storage_read_f32(rk_storage_t *storage, uint64_t offset, float *out) {
    if (!storage || !out) return RK_ERR_INVALID_ARG;
    unsigned char b[4];
    RK_TRY(read_fixed(storage, offset, b));
    *out = get_f32(b);
    return RK_OK;
}

RK_API rk_status_t rk_storage_read_f32_array(rk_storage_t *storage, uint64_t offset, float *out,
                                             uint64_t count) {
    if (!storage || !out || count == 0) return RK_ERR_INVALID_ARG;
    // A count taken from a file must not size an allocation the file cannot
    // fill.
    if (count > UINT64_MAX / 4 || !range_readable(storage, offset, count * 4)) return RK_ERR_UNKNOWN;
    size_t bytes = 0;
    rk::HookPtr<unsigned char> scratch(float_scratch(count, 0, &bytes));
    if (!scratch) return RK_ERR_NO_MEMORY;
    if (!read_exact(storage, offset, scratch.get(), bytes)) return RK_ERR_UNKNOWN;
    decode_floats(out, scratch.get(), count);
    return RK_OK;
}

RK_API rk_status_t rk_storage_read_vector(rk_storage_t *storage, uint64_t offset, uint64_t *id_out,
                                          float *values_out, uint32_t dimension) {
    if (!storage || !id_out || !values_out || dimension == 0) return RK_ERR_INVALID_ARG;
    unsigned char head[kVectorHeadSize];
    RK_TRY(read_fixed(storage, offset, head));
    *id_out = get_u64(head);
    if (get_u32(head + 8) != dimension) return RK_ERR_INVALID_ARG;
    // The values arrive as bytes in the caller's array and are decoded in
    // place, front to back (each value's bytes are read before it is stored).
    const uint64_t bytes = 4ull * dimension;
    auto *raw = reinterpret_cast<unsigned char *>(values_out);
    if (offset > UINT64_MAX - kVectorHeadSize || !read_exact(storage, offset + kVectorHeadSize, raw, bytes)) {
        return RK_ERR_UNKNOWN;
    }
    for (uint32_t i = 0; i < dimension; ++i) values_out[i] = get_f32(raw + 4ull * i);
    return RK_OK;
}

RK_API rk_status_t rk_storage_write_header(rk_storage_t *storage, const rk_storage_header_t *record) {
    if (!storage || !record) return RK_ERR_INVALID_ARG;
    unsigned char image[kHeaderRecordSize];
    encode_header_record(*record, image);
    uint64_t cursor = 0;
    RK_TRY(
        write_fields(storage, image, kHeaderFields, sizeof kHeaderFields / sizeof kHeaderFields[0], &cursor));
    return rk_storage_write_u32(storage, 1, &cursor);
}

RK_API rk_status_t rk_storage_read_header(rk_storage_t *storage, rk_storage_header_t *record) {
    if (!storage || !record) return RK_ERR_INVALID_ARG;
    unsigned char image[kHeaderRecordSize];
    RK_TRY(read_fixed(storage, 0, image));
    decode_header_record(image, record);
    return record->magic == kMagic ? RK_OK : RK_ERR_FILE_CORRUPTED;
}

RK_API rk_status_t rk_storage_write_collection_header(rk_storage_t *storage,
                                                      const rk_storage_collection_header_t *record,
                                                      uint64_t *cursor) {
    if (!storage || !record) return RK_ERR_INVALID_ARG;
    unsigned char image[kCollectionHeaderSize];
    encode_collection_header(*record, image);
    uint64_t at = cursor ? *cursor : 0;
    RK_TRY(write_fields(storage, image, kCollectionFields, kCollectionFieldCount, &at));
    if (cursor) *cursor = at;
    return RK_OK;
}

RK_API rk_status_t rk_storage_read_collection_header(rk_storage_t *storage, uint64_t offset,
                                                     rk_storage_collection_header_t *record) {
    if (!storage || !record) return RK_ERR_INVALID_ARG;
    unsigned char image[kCollectionHeaderSize];
    RK_TRY(read_fixed(storage, offset, image));
    decode_collection_header(image, record);
    return RK_OK;
}

RK_API int32_t rk_storage_alloc_block(rk_storage_t *storage, uint64_t size) {
    // payload_size holds 32 bits: a larger block could never be walked over.
    if (!storage || size > UINT32_MAX) return -1;
    const size_t bytes = kBlockHeaderSize + static_cast<size_t>(size);
    rk::HookPtr<unsigned char> block(static_cast<unsigned char *>(rk_calloc(bytes, 1)));
    if (!block) return -1;
    // The counter is read, written and advanced under the storage's lock
    // (recursive), so concurrent allocations never share an id.
    rk_mutex_lock(storage->mutex);
    rk_storage_block_header_t head{};
    head.block_id = storage->stats[kStatBlockCounter];
    head.payload_size = static_cast<uint32_t>(size);
    encode_block_header(head, block.get());
    uint64_t end = 0;
    const rk_status_t status = write(storage, block.get(), bytes, nullptr, &end);
    if (status == RK_OK) ++storage->stats[kStatBlockCounter];
    rk_mutex_unlock(storage->mutex);
    return status == RK_OK ? static_cast<int32_t>(static_cast<uint32_t>(end)) : -1;
}

RK_API rk_status_t rk_storage_free_block(rk_storage_t *, uint64_t) { return RK_OK; }

RK_API rk_status_t rk_storage_get_block_info(rk_storage_t *storage, uint64_t offset,
                                             rk_storage_block_header_t *out) {
    if (!storage || !out) return RK_ERR_INVALID_ARG;
    unsigned char image[kBlockHeaderSize];
    RK_TRY(read_fixed(storage, offset, image));
    decode_block_header(image, out);
    return RK_OK;
}

RK_API rk_storage_iterator_t *rk_storage_iterator_create(rk_storage_t *storage) {
    if (!storage) return nullptr;
    auto *it = static_cast<rk_storage_iterator_t *>(
        rk_arena_calloc(storage->arena, 1, sizeof(rk_storage_iterator_t)));
    if (!it) return nullptr;
    it->storage = storage;
    // Blocks begin where the data region does: offset 0 of a memory buffer,
    // header_size in a file. A damaged size saturates instead of wrapping.
    it->position = data_start(storage);
    if (__builtin_add_overflow(it->position, header_data_size(storage), &it->end)) {
        it->end = UINT64_MAX;
    }
    return it;
}

RK_API int rk_storage_iterator_next(rk_storage_iterator_t *iterator) {
    if (!iterator || !iterator->storage) return 0;
    if (iterator->started) {
        const uint64_t step = kBlockHeaderSize + uint64_t{iterator->current.payload_size};
        if (iterator->position > UINT64_MAX - step) return 0;
        iterator->position += step;
    }
    iterator->started = 1;
    if (iterator->position >= iterator->end) return 0;
    unsigned char image[kBlockHeaderSize];
    if (read_fixed(iterator->storage, iterator->position, image) != RK_OK) return 0;
    decode_block_header(image, &iterator->current);
    return 1;
}

RK_API uint64_t rk_storage_iterator_get_data(rk_storage_iterator_t *iterator, void *buffer, uint64_t length) {
    if (!iterator || !iterator->storage || !buffer || length == 0) return 0;
    const uint64_t payload = iterator->current.payload_size;
    const uint64_t n = payload < length ? payload : length;
    if (n == 0 || iterator->position > UINT64_MAX - kBlockHeaderSize) return 0;
    const int64_t got = read(iterator->storage, iterator->position + kBlockHeaderSize, buffer, n);
    return got < 0 ? 0 : static_cast<uint64_t>(got);
}

RK_API void rk_storage_iterator_destroy(rk_storage_iterator_t *) {}

}  // extern "C"
