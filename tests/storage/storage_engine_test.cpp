// SPDX-License-Identifier: Apache-2.0
// The storage engine's behaviour in its three modes: round trips, growth,
// cursors, reopening, read-only access, iteration, sync and the trivial
// operations.
#include <set>
#include <thread>

#include "storage/storage_test_util.h"

namespace {

using storage_test::Bytes;
using storage_test::u64_at;

class StorageEngine : public storage_test::StorageDir {};

// Writes one of every typed record through s and reads them back by the
// offsets the writes report.
void typed_round_trip(rk_storage_t *s) {
    const float vec[4] = {1.5f, -0.1f, 3.25e10f, 7e-39f};  // one subnormal
    uint64_t at_u32 = 0, at_u64 = 0, at_f32 = 0, at_arr = 0, at_vec = 0;
    uint64_t c = 0;
    auto start = [&](uint64_t *slot, rk_status_t st, uint64_t size) {
        ASSERT_EQ(st, RK_OK);
        *slot = c - size;
    };
    c = 192;
    start(&at_u32, rk_storage_write_u32(s, 0xCAFEF00D, &c), 4);
    start(&at_u64, rk_storage_write_u64(s, 0x0123456789ABCDEFull, &c), 8);
    start(&at_f32, rk_storage_write_f32(s, -1.0f / 3.0f, &c), 4);
    start(&at_arr, rk_storage_write_f32_array(s, vec, 4, &c), 16);
    start(&at_vec, rk_storage_write_vector(s, 99, vec, 4, &c), 28);

    uint32_t u32 = 0;
    uint64_t u64 = 0, id = 0;
    float f = 0, arr[4] = {}, back[4] = {};
    ASSERT_EQ(rk_storage_read_u32(s, at_u32, &u32), RK_OK);
    ASSERT_EQ(rk_storage_read_u64(s, at_u64, &u64), RK_OK);
    ASSERT_EQ(rk_storage_read_f32(s, at_f32, &f), RK_OK);
    ASSERT_EQ(rk_storage_read_f32_array(s, at_arr, arr, 4), RK_OK);
    ASSERT_EQ(rk_storage_read_vector(s, at_vec, &id, back, 4), RK_OK);
    EXPECT_EQ(u32, 0xCAFEF00Du);
    EXPECT_EQ(u64, 0x0123456789ABCDEFull);
    EXPECT_EQ(f, -1.0f / 3.0f);
    EXPECT_EQ(std::memcmp(arr, vec, sizeof vec), 0);
    EXPECT_EQ(std::memcmp(back, vec, sizeof vec), 0);
    EXPECT_EQ(id, 99u);

    // A wrong dimension is refused after the id is delivered.
    id = 0;
    EXPECT_EQ(rk_storage_read_vector(s, at_vec, &id, back, 3), RK_ERR_INVALID_ARG);
    EXPECT_EQ(id, 99u);
}

TEST_F(StorageEngine, TypedRoundTripInEveryMode) {
    for (const int32_t mode : {RK_STORAGE_MEMORY, RK_STORAGE_FILE, RK_STORAGE_MAPPED}) {
        SCOPED_TRACE(mode);
        rk_storage_t *s = make(mode, RK_STORAGE_CREATE_TRUNCATE);
        ASSERT_NE(s, nullptr);
        typed_round_trip(s);
        EXPECT_EQ(rk_storage_verify(s), RK_OK);
        EXPECT_EQ(rk_storage_sync(s), RK_OK);
        EXPECT_EQ(rk_storage_close(s), RK_OK);
    }
}

TEST_F(StorageEngine, MemoryModeGrowsByDoublingAndAppendsWhateverTheCursor) {
    rk_storage_config_t c = config(RK_STORAGE_MEMORY, 0);
    c.capacity = 0;
    rk_storage_t *s = rk_storage_create(nullptr, &c);
    ASSERT_NE(s, nullptr);
    rk_storage_stats_t st{};
    ASSERT_EQ(rk_storage_get_stats(s, &st), RK_OK);
    EXPECT_EQ(st.total_bytes, 16u << 20);
    EXPECT_EQ(st.free_bytes, 16u << 20);

    uint64_t cursor = 1000;
    ASSERT_EQ(rk_storage_write_u32(s, 5, &cursor), RK_OK);
    EXPECT_EQ(cursor, 4u);  // appended at 0, not at 1000

    Bytes big(20u << 20);
    for (size_t i = 0; i < big.size(); i += 4096) big[i] = static_cast<unsigned char>(i >> 12);
    ASSERT_EQ(rk_storage_write(s, big.data(), big.size(), &cursor), RK_OK);
    EXPECT_EQ(cursor, 4u + big.size());
    ASSERT_EQ(rk_storage_get_stats(s, &st), RK_OK);
    EXPECT_EQ(st.total_bytes, 32u << 20);
    EXPECT_EQ(st.used_bytes, 4u + big.size());
    EXPECT_EQ(st.free_bytes, st.total_bytes - st.used_bytes);

    // The old bytes moved with the growth; a read may not cross the end.
    uint32_t first = 0;
    ASSERT_EQ(rk_storage_read_u32(s, 0, &first), RK_OK);
    EXPECT_EQ(first, 5u);
    unsigned char probe[8];
    EXPECT_EQ(rk_storage_read(s, st.used_bytes - 4, probe, 8), -1);
    EXPECT_EQ(rk_storage_read(s, st.used_bytes - 4, probe, 4), 4);
    EXPECT_EQ(probe[0], big[big.size() - 4]);
    EXPECT_EQ(rk_storage_read(s, UINT64_MAX - 2, probe, 8), -1);
    EXPECT_EQ(rk_storage_close(s), RK_OK);
}

TEST_F(StorageEngine, FileModeCursorsPlaceWritesAndAppendsGoToTheEnd) {
    rk_storage_t *s = make(RK_STORAGE_FILE, RK_STORAGE_CREATE_TRUNCATE);
    ASSERT_NE(s, nullptr);
    uint64_t cursor = 192;
    for (uint32_t v : {1u, 2u, 3u}) ASSERT_EQ(rk_storage_write_u32(s, v, &cursor), RK_OK);
    EXPECT_EQ(cursor, 204u);
    uint32_t v = 0;
    ASSERT_EQ(rk_storage_read_u32(s, 200, &v), RK_OK);
    EXPECT_EQ(v, 3u);
    EXPECT_EQ(rk_storage_append(s, "xyz", 3), 207);
    cursor = 196;
    ASSERT_EQ(rk_storage_write_u32(s, 20, &cursor), RK_OK);  // overwrite in place
    ASSERT_EQ(rk_storage_read_u32(s, 196, &v), RK_OK);
    EXPECT_EQ(v, 20u);
    unsigned char buf[16];
    EXPECT_EQ(rk_storage_read(s, 200, buf, 16), 7);  // short at the end of the file
    EXPECT_EQ(rk_storage_read(s, 5000, buf, 16), 0);
    rk_storage_stats_t st{};
    ASSERT_EQ(rk_storage_get_stats(s, &st), RK_OK);
    EXPECT_EQ(st.used_bytes, 19u);  // bytes written, overwrites included
    EXPECT_EQ(st.total_bytes, 0u);
    EXPECT_EQ(rk_storage_close(s), RK_OK);
    EXPECT_EQ(slurp().size(), 207u);
}

TEST_F(StorageEngine, FileAndMappedStoragesReopenWithTheirData) {
    for (const int32_t mode : {RK_STORAGE_FILE, RK_STORAGE_MAPPED}) {
        SCOPED_TRACE(mode);
        rk_storage_t *s = make(mode, RK_STORAGE_CREATE_TRUNCATE);
        ASSERT_NE(s, nullptr);
        // Enough to make a mapped file grow several times.
        std::vector<float> v(5000);
        for (size_t i = 0; i < v.size(); ++i) v[i] = 0.37f * static_cast<float>(i) - 11.0f;
        ASSERT_EQ(rk_storage_write_f32_array(s, v.data(), v.size(), nullptr), RK_OK);
        ASSERT_EQ(rk_storage_close(s), RK_OK);
        const Bytes file = slurp();
        ASSERT_EQ(file.size(), 192u + 20000u);  // mapped growth padding is cut
        EXPECT_EQ(u64_at(file, 32), 20000u);

        for (const int32_t again : {RK_STORAGE_FILE, RK_STORAGE_MAPPED}) {
            ASSERT_NE(s = make(again, RK_STORAGE_READ_WRITE), nullptr);
            std::vector<float> back(v.size());
            ASSERT_EQ(rk_storage_read_f32_array(s, 192, back.data(), back.size()), RK_OK);
            EXPECT_EQ(std::memcmp(back.data(), v.data(), v.size() * 4), 0);
            // A mapped reopen appends right after the data it found.
            if (again == RK_STORAGE_MAPPED) {
                EXPECT_EQ(rk_storage_append(s, "!", 1), 192 + 20001);
            }
            ASSERT_EQ(rk_storage_close(s), RK_OK);
            if (again == RK_STORAGE_MAPPED) {
                EXPECT_EQ(slurp().size(), 192u + 20001u);
                Bytes trimmed = slurp();
                trimmed.pop_back();
                storage_test::put_u64(trimmed, 32, 20000);
                spit(trimmed);
            }
        }
    }
}

TEST_F(StorageEngine, ReadOnlyAccessNeverWrites) {
    for (const int32_t mode : {RK_STORAGE_FILE, RK_STORAGE_MAPPED}) {
        SCOPED_TRACE(mode);
        Bytes original = header_bytes(8);
        original.insert(original.end(), {1, 2, 3, 4, 5, 6, 7, 8});
        storage_test::put_u64(original, 16, 12345);  // an old modified time
        spit(original);
        ASSERT_EQ(chmod(path().c_str(), 0444), 0);
        rk_storage_t *s = make(mode, RK_STORAGE_READ_ONLY);
        ASSERT_NE(s, nullptr);
        uint64_t v = 0;
        ASSERT_EQ(rk_storage_read_u64(s, 192, &v), RK_OK);
        EXPECT_EQ(v, 0x0807060504030201ull);
        uint64_t cursor = 192;
        EXPECT_EQ(rk_storage_write_u32(s, 9, &cursor), RK_ERR_IO);
        EXPECT_EQ(cursor, 192u);
        EXPECT_EQ(rk_storage_alloc_block(s, 4), -1);
        EXPECT_EQ(rk_storage_close(s), RK_OK);
        EXPECT_EQ(slurp(), original);
        ASSERT_EQ(chmod(path().c_str(), 0644), 0);
        // Unknown access kinds read only, too.
        ASSERT_NE(s = make(mode, 42), nullptr);
        EXPECT_EQ(rk_storage_write_u32(s, 9, nullptr), RK_ERR_IO);
        EXPECT_EQ(rk_storage_close(s), RK_OK);
        EXPECT_EQ(slurp(), original);
    }
}

TEST_F(StorageEngine, AccessKindsCreateTruncateOrRefuse) {
    for (const int32_t access : {RK_STORAGE_WRITE_ONLY, RK_STORAGE_APPEND}) {
        EXPECT_EQ(make(RK_STORAGE_FILE, access), nullptr);
        EXPECT_FALSE(exists());  // refused without leaving a file
    }
    EXPECT_EQ(make(RK_STORAGE_FILE, RK_STORAGE_READ_WRITE), nullptr);  // must exist

    Bytes old = header_bytes(4);
    old.insert(old.end(), {9, 9, 9, 9});
    spit(old);
    rk_storage_t *s = make(RK_STORAGE_FILE, RK_STORAGE_CREATE);
    ASSERT_NE(s, nullptr);  // kind 4 keeps the bytes but starts data_size at 0
    EXPECT_EQ(slurp().size(), 196u);
    EXPECT_EQ(u64_at(slurp(), 32), 0u);
    ASSERT_EQ(rk_storage_close(s), RK_OK);
    ASSERT_NE(s = make(RK_STORAGE_FILE, RK_STORAGE_CREATE_TRUNCATE), nullptr);
    EXPECT_EQ(slurp().size(), 192u);
    ASSERT_EQ(rk_storage_close(s), RK_OK);

    EXPECT_EQ(rk_storage_open(nullptr, nullptr, RK_STORAGE_CREATE), nullptr);
    EXPECT_EQ(rk_storage_create(nullptr, nullptr), nullptr);
    rk_storage_config_t bad = config(7, RK_STORAGE_CREATE, "never");
    EXPECT_EQ(rk_storage_create(nullptr, &bad), nullptr);
    EXPECT_FALSE(exists("never"));
    ASSERT_NE(s = rk_storage_open(nullptr, path().c_str(), RK_STORAGE_READ_ONLY), nullptr);
    EXPECT_EQ(rk_storage_close(s), RK_OK);
}

TEST_F(StorageEngine, DestroyRemovesTheFile) {
    for (const int32_t mode : {RK_STORAGE_FILE, RK_STORAGE_MAPPED}) {
        rk_storage_t *s = make(mode, RK_STORAGE_CREATE);
        ASSERT_NE(s, nullptr);
        ASSERT_TRUE(exists());
        EXPECT_EQ(rk_storage_destroy(s), RK_OK);
        EXPECT_FALSE(exists());
    }
    rk_storage_t *m = make(RK_STORAGE_MEMORY, 0);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(rk_storage_destroy(m), RK_OK);
    EXPECT_EQ(rk_storage_destroy(nullptr), RK_ERR_INVALID_ARG);
}

TEST_F(StorageEngine, IteratorVisitsEveryBlockInEveryMode) {
    for (const int32_t mode : {RK_STORAGE_MEMORY, RK_STORAGE_FILE, RK_STORAGE_MAPPED}) {
        SCOPED_TRACE(mode);
        rk_storage_t *s = make(mode, RK_STORAGE_CREATE_TRUNCATE);
        ASSERT_NE(s, nullptr);
        const int32_t first = rk_storage_alloc_block(s, 0);
        ASSERT_GT(first, 0);
        EXPECT_EQ(rk_storage_alloc_block(s, 5), first + 37);
        rk_storage_iterator_t *it = rk_storage_iterator_create(s);
        ASSERT_NE(it, nullptr);
        ASSERT_EQ(rk_storage_iterator_next(it), 1);
        rk_storage_block_header_t info{};
        unsigned char payload[8] = {7, 7, 7, 7, 7, 7, 7, 7};
        EXPECT_EQ(rk_storage_iterator_get_data(it, payload, sizeof payload), 0u);  // empty block
        ASSERT_EQ(rk_storage_iterator_next(it), 1);
        EXPECT_EQ(rk_storage_iterator_get_data(it, payload, sizeof payload), 5u);
        EXPECT_EQ(payload[4], 0);
        EXPECT_EQ(payload[5], 7);
        EXPECT_EQ(rk_storage_iterator_get_data(it, payload, 2), 2u);
        EXPECT_EQ(rk_storage_iterator_next(it), 0);
        rk_storage_iterator_destroy(it);
        ASSERT_EQ(rk_storage_get_block_info(s, static_cast<uint64_t>(first), &info), RK_OK);
        EXPECT_EQ(info.block_id, 1u);
        rk_storage_stats_t st{};
        ASSERT_EQ(rk_storage_get_stats(s, &st), RK_OK);
        EXPECT_EQ(st.blocks_allocated, 2u);
        EXPECT_EQ(rk_storage_close(s), RK_OK);
    }
    EXPECT_EQ(rk_storage_iterator_next(nullptr), 0);
    EXPECT_EQ(rk_storage_iterator_create(nullptr), nullptr);
}

TEST_F(StorageEngine, TrivialOperationsAndArgumentChecks) {
    rk_storage_t *s = make(RK_STORAGE_MEMORY, 0);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(rk_storage_register_backend("x", nullptr), RK_ERR_NOT_SUPPORTED);
    EXPECT_EQ(rk_storage_compact(s), RK_OK);
    EXPECT_EQ(rk_storage_compact(nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_storage_free_block(s, 0), RK_OK);
    EXPECT_EQ(rk_storage_sync(s), RK_OK);
    EXPECT_EQ(rk_storage_sync(nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_storage_verify(nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_storage_write(s, nullptr, 4, nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_storage_write(s, "a", 0, nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_storage_write_f32_array(s, nullptr, 3, nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_storage_write_vector(s, 1, nullptr, 3, nullptr), RK_ERR_INVALID_ARG);
    const float f = 1;
    EXPECT_EQ(rk_storage_write_vector(s, 1, &f, 0, nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_storage_write_u32(nullptr, 1, nullptr), RK_ERR_INVALID_ARG);
    unsigned char b[4];
    EXPECT_EQ(rk_storage_read(nullptr, 0, b, 4), -1);
    EXPECT_EQ(rk_storage_read(s, 0, nullptr, 4), -1);
    EXPECT_EQ(rk_storage_read(s, 0, b, 0), -1);
    EXPECT_EQ(rk_storage_append(s, nullptr, 1), -1);
    EXPECT_EQ(rk_storage_alloc_block(s, 1ull << 32), -1);  // payload_size holds 32 bits
    EXPECT_EQ(rk_storage_get_stats(s, nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_storage_stats_t{}.used_bytes, 0u);
    EXPECT_EQ(rk_storage_close(s), RK_OK);
    EXPECT_EQ(rk_storage_close(nullptr), RK_ERR_INVALID_ARG);
}

TEST_F(StorageEngine, CallersArenaHoldsTheStorage) {
    rk_arena_t *arena = nullptr;
    ASSERT_EQ(rk_arena_create(0, &arena), RK_OK);
    rk_storage_config_t c = config(RK_STORAGE_FILE, RK_STORAGE_CREATE_TRUNCATE);
    rk_storage_t *s = rk_storage_create(arena, &c);
    ASSERT_NE(s, nullptr);
    const size_t used = rk_arena_get_used_size(arena);
    EXPECT_GT(used, 0u);
    // Scratch buffers of typed I/O come from the hooks: the arena stays put
    // however many bytes go through.
    std::vector<float> v(1000, 0.5f);
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(rk_storage_write_f32_array(s, v.data(), v.size(), nullptr), RK_OK);
        ASSERT_EQ(rk_storage_write_vector(s, i, v.data(), 1000, nullptr), RK_OK);
        ASSERT_EQ(rk_storage_read_f32_array(s, 192, v.data(), v.size()), RK_OK);
        ASSERT_GT(rk_storage_alloc_block(s, 512), 0);
    }
    EXPECT_EQ(rk_arena_get_used_size(arena), used);
    EXPECT_EQ(rk_storage_close(s), RK_OK);
    EXPECT_GT(rk_arena_get_used_size(arena), 0u);  // the caller's arena lives on
    rk_arena_destroy(arena);
}

TEST_F(StorageEngine, ConcurrentWritersNeverShareBlocksOrLoseBytes) {
    for (const int32_t mode : {RK_STORAGE_MEMORY, RK_STORAGE_FILE, RK_STORAGE_MAPPED}) {
        SCOPED_TRACE(mode);
        rk_storage_t *s = make(mode, RK_STORAGE_CREATE_TRUNCATE);
        ASSERT_NE(s, nullptr);
        constexpr int kThreads = 4, kBlocks = 200;
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([s] {
                for (int i = 0; i < kBlocks; ++i) {
                    ASSERT_GT(rk_storage_alloc_block(s, 3), 0);
                    if (i % 50 == 0) {
                        ASSERT_EQ(rk_storage_sync(s), RK_OK);
                    }
                }
            });
        }
        for (std::thread &t : threads) t.join();
        std::set<uint64_t> ids;
        uint64_t offset = mode == RK_STORAGE_MEMORY ? 0 : 192;
        for (int n = 0; n < kThreads * kBlocks; ++n, offset += 35) {
            rk_storage_block_header_t info{};
            ASSERT_EQ(rk_storage_get_block_info(s, offset, &info), RK_OK);
            EXPECT_EQ(info.payload_size, 3u);
            ids.insert(info.block_id);
        }
        EXPECT_EQ(ids.size(), static_cast<size_t>(kThreads * kBlocks));
        EXPECT_EQ(*ids.rbegin(), static_cast<uint64_t>(kThreads * kBlocks - 1));
        rk_storage_stats_t st{};
        ASSERT_EQ(rk_storage_get_stats(s, &st), RK_OK);
        EXPECT_EQ(st.blocks_allocated, static_cast<uint64_t>(kThreads * kBlocks));
        EXPECT_EQ(rk_storage_close(s), RK_OK);
    }
}

}  // namespace
