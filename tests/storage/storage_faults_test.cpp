// SPDX-License-Identifier: Apache-2.0
// Damaged and hostile storage files, failing writes, syncs and mappings,
// and allocator failures: every one gives an error status, never a crash,
// a hang, an oversized allocation or a failure reported as success.
#include <cstdlib>

#include "storage/storage_test_util.h"

namespace {

using rk::os::Fault;
using storage_test::Bytes;
using storage_test::put_u32;
using storage_test::put_u64;
using storage_test::u64_at;

class StorageFaults : public storage_test::StorageDir {};

// Allocator hooks that record the largest request and can refuse all.
struct Hooks {
    static inline size_t largest = 0;
    static inline bool refuse = false;
    static void *malloc_fn(size_t n, void *) {
        largest = n > largest ? n : largest;
        return refuse ? nullptr : std::malloc(n);
    }
    static void *realloc_fn(void *p, size_t n, void *) { return std::realloc(p, n); }
    static void free_fn(void *p, void *) { std::free(p); }
};

class HookedStorageFaults : public StorageFaults {
protected:
    void SetUp() override {
        StorageFaults::SetUp();
        saved_ = *rk_get_allocator();
        const rk_allocator_t hooks{Hooks::malloc_fn, Hooks::realloc_fn, Hooks::free_fn, nullptr};
        ASSERT_EQ(rk_set_allocator(&hooks), RK_OK);
        Hooks::largest = 0;
        Hooks::refuse = false;
    }
    void TearDown() override {
        ASSERT_EQ(rk_set_allocator(&saved_), RK_OK);
        StorageFaults::TearDown();
    }
    rk_allocator_t saved_{};
};

TEST_F(HookedStorageFaults, HostileCountsNeverSizeAnAllocation) {
    Bytes file = header_bytes(64);
    file.resize(192 + 64, 0x11);
    spit(file);
    for (const int32_t mode : {RK_STORAGE_FILE, RK_STORAGE_MAPPED}) {
        SCOPED_TRACE(mode);
        rk_storage_t *s = make(mode, RK_STORAGE_READ_ONLY);
        ASSERT_NE(s, nullptr);
        Hooks::largest = 0;
        float out[16];
        EXPECT_EQ(rk_storage_read_f32_array(s, 192, out, 1ull << 40), RK_ERR_UNKNOWN);
        EXPECT_EQ(rk_storage_read_f32_array(s, 192, out, UINT64_MAX / 2), RK_ERR_UNKNOWN);
        EXPECT_EQ(rk_storage_read_f32_array(s, UINT64_MAX - 3, out, 2), RK_ERR_UNKNOWN);
        EXPECT_EQ(rk_storage_read_f32_array(s, 192 + 60, out, 2), RK_ERR_UNKNOWN);
        EXPECT_LE(Hooks::largest, file.size());
        EXPECT_EQ(rk_storage_read_f32_array(s, 192, out, 16), RK_OK);
        EXPECT_EQ(rk_storage_close(s), RK_OK);
    }
}

TEST_F(StorageFaults, MappedOpenNeverTrustsDataSizePastTheFile) {
    Bytes file = header_bytes(UINT64_MAX - 100);
    file.resize(192 + 8, 0x22);
    spit(file);
    rk_storage_t *s = make(RK_STORAGE_MAPPED, RK_STORAGE_READ_WRITE);
    ASSERT_NE(s, nullptr);
    uint64_t v = 0;
    EXPECT_EQ(rk_storage_read_u64(s, 192, &v), RK_OK);
    EXPECT_EQ(rk_storage_read_u64(s, 196, &v), RK_ERR_UNKNOWN);  // past the file
    EXPECT_EQ(rk_storage_read_u64(s, 1ull << 40, &v), RK_ERR_UNKNOWN);
    EXPECT_EQ(rk_storage_append(s, "ab", 2), 192 + 8 + 2);  // after what is there
    EXPECT_EQ(rk_storage_close(s), RK_OK);
    EXPECT_EQ(slurp().size(), 202u);
}

TEST_F(StorageFaults, IterationOverDamagedBlocksEnds) {
    // Three blocks: a sane one, one whose payload runs far past the file,
    // then garbage. The header claims far more data than there is.
    Bytes file = header_bytes(UINT64_MAX);
    file.resize(192 + 32 + 4 + 32 + 16, 0);
    put_u32(file, 192 + 8, 4);
    put_u64(file, 192 + 36, 7);
    put_u32(file, 192 + 36 + 8, 0xFFFFFFFFu);
    spit(file);
    for (const int32_t mode : {RK_STORAGE_FILE, RK_STORAGE_MAPPED}) {
        SCOPED_TRACE(mode);
        rk_storage_t *s = make(mode, RK_STORAGE_READ_ONLY);
        ASSERT_NE(s, nullptr);
        rk_storage_iterator_t *it = rk_storage_iterator_create(s);
        ASSERT_NE(it, nullptr);
        int visited = 0;
        unsigned char buf[64];
        while (rk_storage_iterator_next(it) == 1 && visited < 10) {
            ++visited;
            rk_storage_iterator_get_data(it, buf, sizeof buf);
        }
        EXPECT_EQ(visited, 2);
        EXPECT_EQ(rk_storage_iterator_next(it), 0);
        EXPECT_EQ(rk_storage_close(s), RK_OK);
    }
}

TEST_F(StorageFaults, FailedFileWritesChangeNothingAndLoseNothing) {
    rk_storage_t *s = make(RK_STORAGE_FILE, RK_STORAGE_CREATE_TRUNCATE);
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(rk_storage_write_u64(s, 0xAAAA, nullptr), RK_OK);
    uint64_t cursor = 200;
    rk::os::fault_arm(Fault::write, 1);
    EXPECT_EQ(rk_storage_write_u64(s, 0xBBBB, &cursor), RK_ERR_IO);
    EXPECT_EQ(cursor, 200u);
    rk::os::fault_arm(Fault::write, 1);
    EXPECT_EQ(rk_storage_append(s, "abc", 3), -1);
    rk::os::fault_arm(Fault::write, 1);
    EXPECT_EQ(rk_storage_alloc_block(s, 8), -1);
    rk_storage_stats_t st{};
    ASSERT_EQ(rk_storage_get_stats(s, &st), RK_OK);
    EXPECT_EQ(st.used_bytes, 8u);
    EXPECT_EQ(st.blocks_allocated, 0u);  // the counter moved only for written blocks
    EXPECT_EQ(rk_storage_alloc_block(s, 0), 192 + 8 + 32);
    uint64_t v = 0;
    ASSERT_EQ(rk_storage_read_u64(s, 192, &v), RK_OK);
    EXPECT_EQ(v, 0xAAAAu);
    ASSERT_EQ(rk_storage_close(s), RK_OK);
    EXPECT_EQ(u64_at(slurp(), 32), 40u);  // only the bytes that were written
    rk_storage_block_header_t info{};
    ASSERT_NE(s = make(RK_STORAGE_FILE, RK_STORAGE_READ_ONLY), nullptr);
    ASSERT_EQ(rk_storage_get_block_info(s, 200, &info), RK_OK);
    EXPECT_EQ(info.block_id, 0u);
    EXPECT_EQ(rk_storage_close(s), RK_OK);
}

TEST_F(StorageFaults, FailuresToMakeDataDurableAreReported) {
    // A commit that fails with sync set fails the write.
    rk_storage_config_t c = config(RK_STORAGE_FILE, RK_STORAGE_CREATE_TRUNCATE);
    c.sync = 1;
    rk_storage_t *s = rk_storage_create(nullptr, &c);
    ASSERT_NE(s, nullptr);
    rk::os::fault_arm(Fault::sync, 1);
    EXPECT_EQ(rk_storage_write_u32(s, 1, nullptr), RK_ERR_IO);
    rk::os::fault_arm(Fault::sync, 1);
    EXPECT_EQ(rk_storage_sync(s), RK_ERR_UNKNOWN);
    EXPECT_EQ(rk_storage_sync(s), RK_OK);
    // Writing the header back at close fails: close says so.
    rk::os::fault_arm(Fault::write, 1);
    EXPECT_EQ(rk_storage_close(s), RK_ERR_IO);

    // A mapped view whose flush fails with sync set.
    c = config(RK_STORAGE_MAPPED, RK_STORAGE_CREATE_TRUNCATE);
    c.sync = 1;
    ASSERT_NE(s = rk_storage_create(nullptr, &c), nullptr);
    ASSERT_EQ(rk_storage_write_u32(s, 1, nullptr), RK_OK);
    rk::os::fault_arm(Fault::sync, 1);
    EXPECT_EQ(rk_storage_write_u32(s, 2, nullptr), RK_ERR_UNKNOWN);
    EXPECT_EQ(rk_storage_append(s, "z", 1), 192 + 4 + 1);  // the failed write left no hole
    rk::os::fault_arm(Fault::sync, 1);
    EXPECT_EQ(rk_storage_sync(s), RK_ERR_UNKNOWN);
    EXPECT_EQ(rk_storage_close(s), RK_OK);
    EXPECT_EQ(u64_at(slurp(), 32), 5u);

    // A fresh header that cannot be written fails the creation.
    rk::os::fault_arm(Fault::write, 1);
    EXPECT_EQ(make(RK_STORAGE_FILE, RK_STORAGE_CREATE_TRUNCATE, "new"), nullptr);
}

TEST_F(StorageFaults, MappedStorageCarriesOnThroughItsDescriptor) {
    // The mapping fails at open: descriptor I/O from the start.
    rk::os::fault_arm(Fault::map, 1);
    rk_storage_t *s = make(RK_STORAGE_MAPPED, RK_STORAGE_CREATE_TRUNCATE);
    ASSERT_NE(s, nullptr);
    typedef unsigned char Chunk[1000];
    Chunk a, b;
    std::memset(a, 0xA5, sizeof a);
    std::memset(b, 0x5B, sizeof b);
    EXPECT_EQ(rk_storage_append(s, a, sizeof a), 192 + 1000);
    ASSERT_EQ(rk_storage_close(s), RK_OK);

    // Growth fails half-way (file size cannot be set): the write reports it,
    // and later writes go on through the descriptor right after the data.
    ASSERT_NE(s = make(RK_STORAGE_MAPPED, RK_STORAGE_READ_WRITE), nullptr);
    rk::os::fault_arm(Fault::truncate, 1);
    EXPECT_EQ(rk_storage_append(s, b, sizeof b), -1);
    EXPECT_EQ(rk_storage_append(s, b, sizeof b), 192 + 2000);
    unsigned char back[1000];
    EXPECT_EQ(rk_storage_read(s, 192 + 1000, back, sizeof back), 1000);
    EXPECT_EQ(std::memcmp(back, b, sizeof b), 0);
    ASSERT_EQ(rk_storage_close(s), RK_OK);

    // Growth whose new mapping fails.
    ASSERT_NE(s = make(RK_STORAGE_MAPPED, RK_STORAGE_READ_WRITE), nullptr);
    rk::os::fault_arm(Fault::map, 1);
    EXPECT_EQ(rk_storage_append(s, a, sizeof a), -1);
    EXPECT_EQ(rk_storage_append(s, a, sizeof a), 192 + 3000);
    ASSERT_EQ(rk_storage_close(s), RK_OK);

    const Bytes file = slurp();
    ASSERT_EQ(file.size(), 192u + 3000u);
    EXPECT_EQ(u64_at(file, 32), 3000u);
    EXPECT_EQ(file[192], 0xA5);
    EXPECT_EQ(file[192 + 1000], 0x5B);
    EXPECT_EQ(file[192 + 2999], 0xA5);
}

TEST_F(HookedStorageFaults, ScratchBuffersThatCannotBeHad) {
    rk_storage_t *s = make(RK_STORAGE_FILE, RK_STORAGE_CREATE_TRUNCATE);
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(rk_storage_write_u32(s, 1, nullptr), RK_OK);
    const float v[2] = {1, 2};
    float out[1];
    Hooks::refuse = true;
    EXPECT_EQ(rk_storage_write_f32_array(s, v, 2, nullptr), RK_ERR_NO_MEMORY);
    EXPECT_EQ(rk_storage_write_vector(s, 1, v, 2, nullptr), RK_ERR_NO_MEMORY);
    EXPECT_EQ(rk_storage_read_f32_array(s, 192, out, 1), RK_ERR_NO_MEMORY);
    EXPECT_EQ(rk_storage_alloc_block(s, 4), -1);
    Hooks::refuse = false;
    rk_storage_stats_t st{};
    ASSERT_EQ(rk_storage_get_stats(s, &st), RK_OK);
    EXPECT_EQ(st.used_bytes, 4u);
    EXPECT_EQ(st.blocks_allocated, 0u);
    EXPECT_EQ(rk_storage_close(s), RK_OK);
}

// A save in the shape collection files use (header, records, header again),
// failing at each write in turn: the failing step is reported, and a file
// that was complete before is never reported complete with less.
TEST_F(StorageFaults, EveryWriteOfASaveCanFail) {
    const float rec[3] = {0.25f, -1.5f, 9.75f};
    auto save = [&](rk_storage_t *s) -> rk_status_t {
        rk_storage_collection_header_t h{};
        h.magic = RK_STORAGE_COLLECTION_MAGIC;
        uint64_t cursor = 192;
        rk_status_t st = rk_storage_write_collection_header(s, &h, &cursor);
        for (uint64_t id = 1; st == RK_OK && id <= 3; ++id) {
            st = rk_storage_write_u64(s, id, &cursor);
            if (st == RK_OK) st = rk_storage_write_f32_array(s, rec, 3, &cursor);
        }
        h.count = 3;
        uint64_t top = 192;
        return st == RK_OK ? rk_storage_write_collection_header(s, &h, &top) : st;
    };
    rk_storage_t *s = make(RK_STORAGE_FILE, RK_STORAGE_CREATE);
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(save(s), RK_OK);
    ASSERT_EQ(rk_storage_close(s), RK_OK);
    const uint64_t writes = rk::os::fault_calls(Fault::write);
    ASSERT_GT(writes, 40u);
    for (uint64_t n = 1; n <= writes; ++n) {
        rk::os::fault_clear();
        rk::os::fault_arm(Fault::write, n);
        rk_storage_t *t = make(RK_STORAGE_FILE, RK_STORAGE_CREATE, "again");
        if (!t) continue;  // the fresh header itself failed: nothing was claimed
        const rk_status_t saved = save(t);
        const rk_status_t closed = rk_storage_close(t);
        EXPECT_TRUE(saved != RK_OK || closed != RK_OK) << "write " << n << " failed silently";
    }
}

}  // namespace
