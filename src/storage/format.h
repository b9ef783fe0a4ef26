// SPDX-License-Identifier: Apache-2.0
// Byte layouts of the storage file: the 192-byte file header, block headers,
// vector records and the collection header record. Everything on disk is
// little-endian and packed; these helpers convert between the records and
// their exact bytes, independent of the host's byte order and padding.
#ifndef RK_STORAGE_FORMAT_H
#define RK_STORAGE_FORMAT_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "rk_storage.h"

namespace rk::storage {

constexpr uint32_t kMagic = RK_STORAGE_MAGIC;
constexpr uint32_t kVersion = RK_STORAGE_VERSION;
constexpr size_t kHeaderSize = RK_STORAGE_HEADER_SIZE;
// The caller-side header record covers this much of the header.
constexpr size_t kHeaderRecordSize = 184;
// rk_storage_write_header marks its headers with 1 here; fresh ones hold 0.
constexpr size_t kHeaderMarkOffset = 184;
constexpr size_t kBlockHeaderSize = RK_STORAGE_BLOCK_HEADER_SIZE;
constexpr size_t kVectorHeadSize = 12;
constexpr size_t kCollectionHeaderSize = RK_STORAGE_COLLECTION_HEADER_SIZE;
// The collection checksum lies at this offset and covers the record's first
// kCollectionChecksumSpan bytes, taken while the checksum field holds 0.
constexpr size_t kCollectionChecksumOffset = 184;
constexpr size_t kCollectionChecksumSpan = 188;

// Field offsets of the file header.
enum HeaderField : size_t {
    kOffMagic = 0,
    kOffVersion = 4,
    kOffCreated = 8,
    kOffModified = 16,
    kOffHeaderSize = 24,
    kOffDataSize = 32,
};

inline void put_u32(unsigned char *p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
inline void put_u64(unsigned char *p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
inline uint32_t get_u32(const unsigned char *p) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}
inline uint64_t get_u64(const unsigned char *p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}
inline void put_f32(unsigned char *p, float f) {
    uint32_t bits;
    std::memcpy(&bits, &f, 4);
    put_u32(p, bits);
}
inline float get_f32(const unsigned char *p) {
    const uint32_t bits = get_u32(p);
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}

// The header a new storage starts with: magic, version, created = modified =
// now, header_size 192, everything else 0.
void make_fresh_header(unsigned char image[kHeaderSize], int64_t now);

// The 184 bytes of a header record, field by field.
void encode_header_record(const rk_storage_header_t &record, unsigned char out[kHeaderRecordSize]);
void decode_header_record(const unsigned char in[kHeaderRecordSize], rk_storage_header_t *record);

void encode_block_header(const rk_storage_block_header_t &block, unsigned char out[kBlockHeaderSize]);
void decode_block_header(const unsigned char in[kBlockHeaderSize], rk_storage_block_header_t *block);

// The exact 192 bytes of a collection header record. Collection files build
// their checksum over bytes 0..187 of this image, encoded with checksum 0.
void encode_collection_header(const rk_storage_collection_header_t &record,
                              unsigned char out[kCollectionHeaderSize]);
void decode_collection_header(const unsigned char in[kCollectionHeaderSize],
                              rk_storage_collection_header_t *record);

// One field of the collection header record: its offset and width. The
// writer sends the record as these fields, one write each.
struct FieldSpan {
    uint16_t offset;
    uint16_t size;
};
constexpr size_t kCollectionFieldCount = 24;
extern const FieldSpan kCollectionFields[kCollectionFieldCount];

}  // namespace rk::storage

#endif
