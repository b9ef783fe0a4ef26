// SPDX-License-Identifier: Apache-2.0
// Encoding and decoding of the storage file's records.
#include "storage/format.h"

#include <cstddef>

namespace rk::storage {

// The public record is the file layout itself: packed, 192 bytes, every
// field where the table below puts it.
static_assert(sizeof(rk_storage_collection_header_t) == kCollectionHeaderSize);
static_assert(offsetof(rk_storage_collection_header_t, magic) == 0);
static_assert(offsetof(rk_storage_collection_header_t, version) == 4);
static_assert(offsetof(rk_storage_collection_header_t, created_at) == 8);
static_assert(offsetof(rk_storage_collection_header_t, modified_at) == 16);
static_assert(offsetof(rk_storage_collection_header_t, name) == 24);
static_assert(offsetof(rk_storage_collection_header_t, dimension) == 88);
static_assert(offsetof(rk_storage_collection_header_t, metric) == 92);
static_assert(offsetof(rk_storage_collection_header_t, index_type) == 96);
static_assert(offsetof(rk_storage_collection_header_t, count) == 100);
static_assert(offsetof(rk_storage_collection_header_t, next_id) == 104);
static_assert(offsetof(rk_storage_collection_header_t, hnsw_m) == 112);
static_assert(offsetof(rk_storage_collection_header_t, hnsw_ef_construction) == 116);
static_assert(offsetof(rk_storage_collection_header_t, hnsw_ef_search) == 120);
static_assert(offsetof(rk_storage_collection_header_t, ivf_nlist) == 124);
static_assert(offsetof(rk_storage_collection_header_t, ivf_nprobe) == 128);
static_assert(offsetof(rk_storage_collection_header_t, data_offset) == 132);
static_assert(offsetof(rk_storage_collection_header_t, data_size) == 140);
static_assert(offsetof(rk_storage_collection_header_t, reserved) == 148);
static_assert(offsetof(rk_storage_collection_header_t, index_threshold) == 180);
static_assert(offsetof(rk_storage_collection_header_t, checksum) == kCollectionChecksumOffset);
static_assert(offsetof(rk_storage_collection_header_t, reserved_tail) == 188);

const FieldSpan kCollectionFields[kCollectionFieldCount] = {
    {0, 4},   {4, 4},   {8, 8},   {16, 8},  {24, 64}, {88, 4},  {92, 4},  {96, 4},
    {100, 4}, {104, 8}, {112, 4}, {116, 4}, {120, 4}, {124, 4}, {128, 4}, {132, 8},
    {140, 8}, {148, 8}, {156, 8}, {164, 8}, {172, 8}, {180, 4}, {184, 4}, {188, 4},
};

void make_fresh_header(unsigned char image[kHeaderSize], int64_t now) {
    std::memset(image, 0, kHeaderSize);
    put_u32(image + kOffMagic, kMagic);
    put_u32(image + kOffVersion, kVersion);
    put_u64(image + kOffCreated, static_cast<uint64_t>(now));
    put_u64(image + kOffModified, static_cast<uint64_t>(now));
    put_u64(image + kOffHeaderSize, kHeaderSize);
}

void encode_header_record(const rk_storage_header_t &r, unsigned char out[kHeaderRecordSize]) {
    put_u32(out + 0, r.magic);
    put_u32(out + 4, r.version);
    put_u64(out + 8, static_cast<uint64_t>(r.created));
    put_u64(out + 16, static_cast<uint64_t>(r.modified));
    put_u64(out + 24, r.header_size);
    put_u64(out + 32, r.data_size);
    put_u64(out + 40, r.reserved[0]);
    put_u64(out + 48, r.reserved[1]);
    put_u32(out + 56, r.reserved32[0]);
    put_u32(out + 60, r.reserved32[1]);
    std::memcpy(out + 64, r.reserved_bytes, sizeof r.reserved_bytes);
}

void decode_header_record(const unsigned char in[kHeaderRecordSize], rk_storage_header_t *r) {
    r->magic = get_u32(in + 0);
    r->version = get_u32(in + 4);
    r->created = static_cast<int64_t>(get_u64(in + 8));
    r->modified = static_cast<int64_t>(get_u64(in + 16));
    r->header_size = get_u64(in + 24);
    r->data_size = get_u64(in + 32);
    r->reserved[0] = get_u64(in + 40);
    r->reserved[1] = get_u64(in + 48);
    r->reserved32[0] = get_u32(in + 56);
    r->reserved32[1] = get_u32(in + 60);
    std::memcpy(r->reserved_bytes, in + 64, sizeof r->reserved_bytes);
}

void encode_block_header(const rk_storage_block_header_t &b, unsigned char out[kBlockHeaderSize]) {
    put_u64(out + 0, b.block_id);
    put_u32(out + 8, b.payload_size);
    put_u32(out + 12, b.reserved0);
    put_u32(out + 16, b.reserved1);
    out[20] = b.state;
    std::memcpy(out + 21, b.reserved2, sizeof b.reserved2);
}

void decode_block_header(const unsigned char in[kBlockHeaderSize], rk_storage_block_header_t *b) {
    b->block_id = get_u64(in + 0);
    b->payload_size = get_u32(in + 8);
    b->reserved0 = get_u32(in + 12);
    b->reserved1 = get_u32(in + 16);
    b->state = in[20];
    std::memcpy(b->reserved2, in + 21, sizeof b->reserved2);
}

void encode_collection_header(const rk_storage_collection_header_t &r,
                              unsigned char out[kCollectionHeaderSize]) {
    put_u32(out + 0, r.magic);
    put_u32(out + 4, r.version);
    put_u64(out + 8, static_cast<uint64_t>(r.created_at));
    put_u64(out + 16, static_cast<uint64_t>(r.modified_at));
    std::memcpy(out + 24, r.name, sizeof r.name);
    put_u32(out + 88, r.dimension);
    put_u32(out + 92, r.metric);
    put_u32(out + 96, r.index_type);
    put_u32(out + 100, r.count);
    put_u64(out + 104, r.next_id);
    put_u32(out + 112, r.hnsw_m);
    put_u32(out + 116, r.hnsw_ef_construction);
    put_u32(out + 120, r.hnsw_ef_search);
    put_u32(out + 124, r.ivf_nlist);
    put_u32(out + 128, r.ivf_nprobe);
    put_u64(out + 132, r.data_offset);
    put_u64(out + 140, r.data_size);
    for (int i = 0; i < 4; ++i) put_u64(out + 148 + 8 * i, r.reserved[i]);
    put_u32(out + 180, r.index_threshold);
    put_u32(out + 184, r.checksum);
    std::memcpy(out + 188, r.reserved_tail, sizeof r.reserved_tail);
}

void decode_collection_header(const unsigned char in[kCollectionHeaderSize],
                              rk_storage_collection_header_t *r) {
    r->magic = get_u32(in + 0);
    r->version = get_u32(in + 4);
    r->created_at = static_cast<int64_t>(get_u64(in + 8));
    r->modified_at = static_cast<int64_t>(get_u64(in + 16));
    std::memcpy(r->name, in + 24, sizeof r->name);
    r->dimension = get_u32(in + 88);
    r->metric = get_u32(in + 92);
    r->index_type = get_u32(in + 96);
    r->count = get_u32(in + 100);
    r->next_id = get_u64(in + 104);
    r->hnsw_m = get_u32(in + 112);
    r->hnsw_ef_construction = get_u32(in + 116);
    r->hnsw_ef_search = get_u32(in + 120);
    r->ivf_nlist = get_u32(in + 124);
    r->ivf_nprobe = get_u32(in + 128);
    r->data_offset = get_u64(in + 132);
    r->data_size = get_u64(in + 140);
    for (int i = 0; i < 4; ++i) r->reserved[i] = get_u64(in + 148 + 8 * i);
    r->index_threshold = get_u32(in + 180);
    r->checksum = get_u32(in + 184);
    std::memcpy(r->reserved_tail, in + 188, sizeof r->reserved_tail);
}

}  // namespace rk::storage
