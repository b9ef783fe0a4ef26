// SPDX-License-Identifier: Apache-2.0
// Byte-exact layouts of the storage file: file header, header records,
// vector records, blocks and the collection header record; and what a file
// must hold to be opened.
#include <cmath>

#include "rk_platform.h"
#include "storage/format.h"
#include "storage/storage_test_util.h"

namespace {

using storage_test::Bytes;
using storage_test::u32_at;
using storage_test::u64_at;

class StorageFormat : public storage_test::StorageDir {};

TEST_F(StorageFormat, FreshHeaderAndDataSizeWrittenAtClose) {
    const int64_t before = rk_time_now();
    rk_storage_t *s = make(RK_STORAGE_FILE, RK_STORAGE_CREATE_TRUNCATE);
    ASSERT_NE(s, nullptr);
    Bytes b = slurp();
    ASSERT_EQ(b.size(), 192u);
    EXPECT_EQ(std::string(b.begin(), b.begin() + 4), "DVKR");
    EXPECT_EQ(u32_at(b, 4), 0x00010000u);
    const int64_t created = static_cast<int64_t>(u64_at(b, 8));
    EXPECT_GE(created, before);
    EXPECT_LE(created, rk_time_now());
    EXPECT_EQ(u64_at(b, 16), u64_at(b, 8));
    EXPECT_EQ(u64_at(b, 24), 192u);
    EXPECT_EQ(u64_at(b, 32), 0u);
    for (size_t i = 40; i < 192; ++i) ASSERT_EQ(b[i], 0) << "offset " << i;

    const char data[10] = "abcdefghi";
    uint64_t cursor = 192;
    ASSERT_EQ(rk_storage_write(s, data, 10, &cursor), RK_OK);
    ASSERT_EQ(rk_storage_write(s, data, 4, &cursor), RK_OK);  // overwrites count too
    EXPECT_EQ(u64_at(slurp(), 32), 0u);                       // the size lives in memory until close
    ASSERT_EQ(rk_storage_close(s), RK_OK);
    b = slurp();
    ASSERT_EQ(b.size(), 206u);
    EXPECT_EQ(u64_at(b, 32), 14u);
    EXPECT_EQ(static_cast<int64_t>(u64_at(b, 8)), created);
    EXPECT_GE(static_cast<int64_t>(u64_at(b, 16)), created);
}

TEST_F(StorageFormat, HeaderRecordRoundTripMarksOffset184) {
    rk_storage_t *s = make(RK_STORAGE_FILE, RK_STORAGE_CREATE_TRUNCATE);
    ASSERT_NE(s, nullptr);
    rk_storage_header_t h{};
    h.magic = RK_STORAGE_MAGIC;
    h.version = 0x00010007;
    h.created = -5;
    h.modified = 0x0102030405060708;
    h.header_size = 192;
    h.data_size = 77;
    h.reserved[1] = 9;
    h.reserved32[0] = 0xAABBCCDD;
    h.reserved_bytes[119] = 0x5A;
    ASSERT_EQ(rk_storage_write_header(s, &h), RK_OK);
    Bytes b = slurp();
    EXPECT_EQ(u32_at(b, 4), 0x00010007u);
    EXPECT_EQ(u64_at(b, 8), static_cast<uint64_t>(-5));
    EXPECT_EQ(u64_at(b, 16), 0x0102030405060708u);
    EXPECT_EQ(u64_at(b, 32), 77u);
    EXPECT_EQ(u64_at(b, 48), 9u);
    EXPECT_EQ(u32_at(b, 56), 0xAABBCCDDu);
    EXPECT_EQ(b[183], 0x5A);
    EXPECT_EQ(u32_at(b, 184), 1u);

    rk_storage_header_t back{};
    ASSERT_EQ(rk_storage_read_header(s, &back), RK_OK);
    EXPECT_EQ(std::memcmp(&back, &h, sizeof h), 0);
    ASSERT_EQ(rk_storage_close(s), RK_OK);

    // A header made at creation carries 0 at 184.
    ASSERT_NE(s = make(RK_STORAGE_FILE, RK_STORAGE_CREATE_TRUNCATE, "other"), nullptr);
    EXPECT_EQ(u32_at(slurp("other"), 184), 0u);
    ASSERT_EQ(rk_storage_close(s), RK_OK);
}

TEST_F(StorageFormat, VectorRecordAndPlainValues) {
    rk_storage_t *s = make(RK_STORAGE_FILE, RK_STORAGE_CREATE_TRUNCATE);
    ASSERT_NE(s, nullptr);
    const float v[3] = {0.1f, -2.75f, 3.3e-7f};
    uint64_t cursor = 192;
    ASSERT_EQ(rk_storage_write_vector(s, 0x1122334455667788ull, v, 3, &cursor), RK_OK);
    EXPECT_EQ(cursor, 192u + 24u);
    ASSERT_EQ(rk_storage_write_f32_array(s, v, 3, &cursor), RK_OK);
    ASSERT_EQ(rk_storage_write_u64(s, 7, &cursor), RK_OK);
    ASSERT_EQ(cursor, 192u + 24 + 12 + 8);
    ASSERT_EQ(rk_storage_close(s), RK_OK);
    const Bytes b = slurp();
    EXPECT_EQ(u64_at(b, 192), 0x1122334455667788ull);
    EXPECT_EQ(u32_at(b, 200), 3u);
    for (int i = 0; i < 3; ++i) {
        uint32_t bits;
        std::memcpy(&bits, &v[i], 4);
        EXPECT_EQ(u32_at(b, 204 + 4 * i), bits);
        EXPECT_EQ(u32_at(b, 216 + 4 * i), bits);  // the array has no count prefix
    }
    EXPECT_EQ(u64_at(b, 228), 7u);
}

TEST_F(StorageFormat, BlocksLieBackToBack) {
    rk_storage_t *s = make(RK_STORAGE_FILE, RK_STORAGE_CREATE_TRUNCATE);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(rk_storage_alloc_block(s, 10), 192 + 42);
    EXPECT_EQ(rk_storage_alloc_block(s, 0), 192 + 42 + 32);
    rk_storage_block_header_t first{}, second{};
    ASSERT_EQ(rk_storage_get_block_info(s, 192, &first), RK_OK);
    ASSERT_EQ(rk_storage_get_block_info(s, 234, &second), RK_OK);
    EXPECT_EQ(first.payload_size, 10u);
    EXPECT_EQ(second.payload_size, 0u);
    EXPECT_EQ(second.block_id, first.block_id + 1);
    ASSERT_EQ(rk_storage_close(s), RK_OK);
    const Bytes b = slurp();
    ASSERT_EQ(b.size(), 192u + 42 + 32);
    EXPECT_EQ(u64_at(b, 192), 0u);
    EXPECT_EQ(u32_at(b, 200), 10u);
    for (size_t i = 204; i < 234; ++i) ASSERT_EQ(b[i], 0) << i;  // reserved, state, payload
    EXPECT_EQ(u64_at(b, 234), 1u);

    // The counter starts again at 0 each time a storage is opened.
    ASSERT_NE(s = make(RK_STORAGE_FILE, RK_STORAGE_READ_WRITE), nullptr);
    ASSERT_EQ(rk_storage_alloc_block(s, 1), 266 + 33);
    ASSERT_EQ(rk_storage_get_block_info(s, 266, &first), RK_OK);
    EXPECT_EQ(first.block_id, 0u);
    ASSERT_EQ(rk_storage_close(s), RK_OK);
}

rk_storage_collection_header_t sample_collection_header() {
    rk_storage_collection_header_t h{};
    h.magic = RK_STORAGE_COLLECTION_MAGIC;
    h.version = 0x00010000;
    h.created_at = 1700000000;
    h.modified_at = 1700000123;
    std::strcpy(h.name, "docs");
    h.dimension = 128;
    h.metric = 2;
    h.index_type = 0xFFFFFFFFu;
    h.count = 3;
    h.next_id = 0x0102030405060708ull;
    h.hnsw_m = 16;
    h.hnsw_ef_construction = 200;
    h.hnsw_ef_search = 50;
    h.ivf_nlist = 11;
    h.ivf_nprobe = 12;
    h.data_offset = 0xA1A2A3A4A5A6A7A8ull;
    h.data_size = 0xB1B2B3B4B5B6B7B8ull;
    h.reserved[3] = 0xC1C2C3C4C5C6C7C8ull;
    h.index_threshold = 100000000;
    h.checksum = 0xDEADBEEF;
    h.reserved_tail[3] = 0x77;
    return h;
}

TEST_F(StorageFormat, CollectionHeaderIsPackedAt192) {
    rk_storage_t *s = make(RK_STORAGE_FILE, RK_STORAGE_CREATE_TRUNCATE);
    ASSERT_NE(s, nullptr);
    const rk_storage_collection_header_t h = sample_collection_header();
    uint64_t cursor = 192;
    ASSERT_EQ(rk_storage_write_collection_header(s, &h, &cursor), RK_OK);
    EXPECT_EQ(cursor, 384u);
    rk_storage_collection_header_t back{};
    ASSERT_EQ(rk_storage_read_collection_header(s, 192, &back), RK_OK);
    EXPECT_EQ(std::memcmp(&back, &h, sizeof h), 0);
    ASSERT_EQ(rk_storage_close(s), RK_OK);

    const Bytes file = slurp();
    ASSERT_EQ(file.size(), 384u);
    const Bytes r(file.begin() + 192, file.end());
    EXPECT_EQ(std::string(r.begin(), r.begin() + 4), "OCKR");
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&r[24])), "docs");
    EXPECT_EQ(u32_at(r, 88), 128u);
    EXPECT_EQ(u32_at(r, 96), 0xFFFFFFFFu);
    EXPECT_EQ(u64_at(r, 104), 0x0102030405060708ull);
    EXPECT_EQ(u32_at(r, 128), 12u);
    EXPECT_EQ(u64_at(r, 132), 0xA1A2A3A4A5A6A7A8ull);  // unaligned u64s
    EXPECT_EQ(u64_at(r, 140), 0xB1B2B3B4B5B6B7B8ull);
    EXPECT_EQ(u64_at(r, 172), 0xC1C2C3C4C5C6C7C8ull);
    EXPECT_EQ(u32_at(r, 180), 100000000u);
    EXPECT_EQ(u32_at(r, 184), 0xDEADBEEFu);
    EXPECT_EQ(r[191], 0x77);

    // The encoder other code checksums agrees byte for byte with the file.
    unsigned char image[192];
    rk::storage::encode_collection_header(h, image);
    EXPECT_EQ(std::memcmp(image, r.data(), 192), 0);
}

TEST_F(StorageFormat, CollectionHeaderWriteFailureLeavesCursor) {
    rk_storage_t *s = make(RK_STORAGE_FILE, RK_STORAGE_CREATE_TRUNCATE);
    ASSERT_NE(s, nullptr);
    const rk_storage_collection_header_t h = sample_collection_header();
    uint64_t cursor = 192;
    rk::os::fault_arm(rk::os::Fault::write, 5);
    EXPECT_EQ(rk_storage_write_collection_header(s, &h, &cursor), RK_ERR_IO);
    EXPECT_EQ(cursor, 192u);
    rk_storage_collection_header_t back{};
    EXPECT_EQ(rk_storage_read_collection_header(s, 192, &back), RK_ERR_UNKNOWN);  // short
    ASSERT_EQ(rk_storage_close(s), RK_OK);
}

TEST_F(StorageFormat, OpenValidatesMagicAndMajorVersion) {
    struct Case {
        const char *what;
        Bytes bytes;
        bool opens;
    };
    Bytes bad_magic = header_bytes(0);
    bad_magic[0] = 'X';
    Bytes short_file = header_bytes(0);
    short_file.resize(100);
    const Case cases[] = {
        {"valid", header_bytes(0), true},
        {"minor 5", header_bytes(0, 0x00010005), true},
        {"major 2", header_bytes(0, 0x00020000), false},
        {"major 0", header_bytes(0, 0x00000001), false},
        {"bad magic", bad_magic, false},
        {"100 bytes", short_file, false},
        {"empty", Bytes(), false},
    };
    for (const Case &c : cases) {
        for (const int32_t mode : {RK_STORAGE_FILE, RK_STORAGE_MAPPED}) {
            for (const int32_t access : {RK_STORAGE_READ_ONLY, RK_STORAGE_READ_WRITE}) {
                spit(c.bytes);
                rk_storage_t *s = make(mode, access);
                EXPECT_EQ(s != nullptr, c.opens) << c.what << " mode " << mode << " access " << access;
                if (s) {
                    EXPECT_EQ(rk_storage_verify(s), RK_OK);
                    EXPECT_EQ(rk_storage_close(s), RK_OK);
                }
            }
        }
    }
    EXPECT_EQ(make(RK_STORAGE_FILE, RK_STORAGE_READ_ONLY, "missing"), nullptr);
}

TEST_F(StorageFormat, ReadHeaderReportsAForeignMagic) {
    rk_arena_t *arena = nullptr;
    ASSERT_EQ(rk_arena_create(0, &arena), RK_OK);
    rk_storage_config_t c = config(RK_STORAGE_MEMORY, 0);
    c.capacity = 1024;
    rk_storage_t *s = rk_storage_create(arena, &c);
    ASSERT_NE(s, nullptr);
    rk_storage_header_t h{};
    EXPECT_EQ(rk_storage_read_header(s, &h), RK_ERR_UNKNOWN);  // nothing written yet
    const Bytes junk(184, 0x42);
    ASSERT_EQ(rk_storage_write(s, junk.data(), junk.size(), nullptr), RK_OK);
    EXPECT_EQ(rk_storage_read_header(s, &h), RK_ERR_FILE_CORRUPTED);
    EXPECT_EQ(h.magic, 0x42424242u);
    EXPECT_EQ(rk_storage_verify(s), RK_OK);  // the engine's own image is sound
    EXPECT_EQ(rk_storage_close(s), RK_OK);
    rk_arena_destroy(arena);
}

}  // namespace
