// SPDX-License-Identifier: Apache-2.0
// The database handle: open and its configuration, close, statistics, the
// error getters and the printed report.
#include <sys/stat.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>

#include "db/db.h"
#include "db_test_util.h"
#include "rk_platform.h"

namespace {

using rk_test::str;

TEST(DbOpen, FlagsSetOnlyReadOnlyAndCreate) {
    struct Case {
        uint32_t flags;
        uint32_t read_only, create;
    } cases[] = {{0, 0, 0}, {RK_OPEN_READ_ONLY, 1, 0}, {RK_OPEN_CREATE, 0, 1}, {5, 1, 1}, {~5u, 0, 0}};
    for (const Case &c : cases) {
        rk_vecdb_t *db = nullptr;
        ASSERT_EQ(rk_vecdb_open(nullptr, c.flags, &db), RK_OK) << c.flags;
        EXPECT_EQ(db->config.read_only, c.read_only) << c.flags;
        EXPECT_EQ(db->config.create_if_missing, c.create) << c.flags;
        EXPECT_EQ(db->config.storage_mode, RK_DB_DEFAULT_MODE);
        EXPECT_EQ(db->config.arena_size, 0x4000000u);
        EXPECT_EQ(db->config.cache_size, 0x8000000u);
        EXPECT_EQ(db->config.path.data, nullptr);
        EXPECT_EQ(rk_vecdb_close(db), RK_OK);
    }
}

TEST(DbOpen, NullConfigGivesMemoryDatabaseWithDefaults) {
    const int64_t before = rk_time_now();
    rk_vecdb_t *db = nullptr;
    ASSERT_EQ(rk_vecdb_open_ex(nullptr, &db), RK_OK);
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(rk_vecdb_is_open(db), 1);
    EXPECT_EQ(db->config.create_if_missing, 1u);
    EXPECT_EQ(db->arena->block_size, 0x4000000u);
    EXPECT_EQ(db->collection_capacity, 16u);
    EXPECT_EQ(db->collection_count, 0u);
    EXPECT_GE(db->opened_at, before);
    EXPECT_LE(db->opened_at, rk_time_now());
    rk_vecdb_stats_t stats;
    std::memset(&stats, 0xff, sizeof stats);
    ASSERT_EQ(rk_vecdb_get_stats(db, &stats), RK_OK);
    const rk_vecdb_stats_t zero{};
    EXPECT_EQ(std::memcmp(&stats, &zero, sizeof stats), 0);
    EXPECT_EQ(rk_vecdb_close(db), RK_OK);
}

TEST(DbOpen, ArenaSizeZeroMeansDefaultElseTaken) {
    for (uint64_t size : {uint64_t{0}, uint64_t{1} << 20}) {
        rk_vecdb_config_t c{};
        c.arena_size = size;
        rk_vecdb_t *db = nullptr;
        ASSERT_EQ(rk_vecdb_open_ex(&c, &db), RK_OK);
        EXPECT_EQ(db->arena->block_size, size == 0 ? 0x4000000u : size);
        EXPECT_EQ(rk_vecdb_close(db), RK_OK);
    }
}

TEST(DbOpen, RefusesNullOutAndOnDiskModes) {
    EXPECT_EQ(rk_vecdb_open(nullptr, 0, nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_vecdb_open_ex(nullptr, nullptr), RK_ERR_INVALID_ARG);

    // On-disk databases open; a path that holds a plain file is refused in
    // every persistent mode and the file is left alone.
    char file_path[] = "/tmp/zevud-db-test-file-XXXXXX";
    const int fd = mkstemp(file_path);
    ASSERT_GE(fd, 0);
    close(fd);
    const rk_string_t path = str(file_path);
    rk_vecdb_t *db = reinterpret_cast<rk_vecdb_t *>(&db);  // must be reset to null
    EXPECT_EQ(rk_vecdb_open(&path, RK_OPEN_CREATE, &db), RK_ERR_EXISTS);
    EXPECT_EQ(db, nullptr);
    for (uint32_t mode : {RK_DB_PERSISTENT, RK_DB_DEFAULT_MODE, 7u}) {
        rk_vecdb_config_t c{};
        c.path = path;
        c.storage_mode = mode;
        EXPECT_EQ(rk_vecdb_open_ex(&c, &db), RK_ERR_EXISTS) << mode;
        EXPECT_EQ(db, nullptr);
    }
    struct stat st;
    EXPECT_EQ(stat(file_path, &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    unlink(file_path);
}

TEST(DbOpen, EmptyPathIsMemoryAndMemoryModeKeepsOwnCopyOfPath) {
    const rk_string_t empty = str("");
    rk_vecdb_t *db = nullptr;
    ASSERT_EQ(rk_vecdb_open(&empty, 0, &db), RK_OK);
    EXPECT_EQ(db->config.path.data, nullptr);
    EXPECT_EQ(rk_vecdb_close(db), RK_OK);

    std::string text = "/some/dir";
    rk_vecdb_config_t c{};
    c.path = rk_string_t{text.c_str(), 0};  // the length is measured up to the NUL
    c.storage_mode = RK_DB_MEMORY;
    ASSERT_EQ(rk_vecdb_open_ex(&c, &db), RK_OK);
    text[1] = 'X';
    EXPECT_STREQ(db->config.path.data, "/some/dir");
    EXPECT_EQ(db->config.path.len, 9u);
    EXPECT_EQ(rk_vecdb_close(db), RK_OK);
}

TEST(DbHandle, NullHandles) {
    EXPECT_EQ(rk_vecdb_close(nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_vecdb_sync(nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_vecdb_is_open(nullptr), 0);
    rk_vecdb_stats_t stats{};
    EXPECT_EQ(rk_vecdb_get_stats(nullptr, &stats), RK_ERR_INVALID_ARG);
    rk_vecdb_reset_stats(nullptr);
    EXPECT_EQ(rk_vecdb_get_last_error(nullptr), RK_ERR_UNKNOWN);
    EXPECT_STREQ(rk_vecdb_get_error_message(nullptr), "Invalid database handle");

    rk_test::Db db;
    EXPECT_EQ(rk_vecdb_get_stats(db, nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_vecdb_sync(db), RK_OK);
    EXPECT_EQ(rk_vecdb_get_last_error(db), RK_OK);
    EXPECT_STREQ(rk_vecdb_get_error_message(db), "Success");
}

TEST(DbHandle, ResetStatsKeepsOnlyTheCollectionCount) {
    rk_test::Db db;
    const rk_string_t a = str("a"), b = str("b");
    ASSERT_EQ(rk_vecdb_create_collection(db, &a, 4, nullptr), RK_OK);
    ASSERT_EQ(rk_vecdb_create_collection(db, &b, 4, nullptr), RK_OK);
    db.get()->stats.reserved[3] = 99;
    db.get()->stats.collections = 7;
    rk_vecdb_reset_stats(db);
    rk_vecdb_stats_t stats{};
    ASSERT_EQ(rk_vecdb_get_stats(db, &stats), RK_OK);
    EXPECT_EQ(stats.collections, 2u);
    for (uint64_t r : stats.reserved) EXPECT_EQ(r, 0u);
}

TEST(DbHandle, StoresLogCallbackWithoutCallingIt) {
    static std::atomic<int> calls{0};
    const rk_log_callback_fn cb = [](uint32_t, const char *, uint32_t, const char *, int64_t, const char *,
                                     void *) { calls.fetch_add(1); };
    int tag = 0;
    rk_vecdb_set_log_callback(cb, &tag);
    void *user = nullptr;
    EXPECT_EQ(rk::db_stored_log_callback(&user), cb);
    EXPECT_EQ(user, &tag);
    {
        rk_test::Db db;
        const rk_string_t n = str("n");
        const float v[2] = {1, 2};
        EXPECT_EQ(rk_vecdb_insert(db, &n, v, 2, nullptr), RK_OK);
    }
    EXPECT_EQ(calls.load(), 0);
    rk_vecdb_set_log_callback(nullptr, nullptr);
    EXPECT_EQ(rk::db_stored_log_callback(nullptr), nullptr);
}

// ---- the printed report, byte for byte ----

std::string expected_header(const char *path, uint64_t collections, uint64_t memory) {
    return std::string(
               "Rakmo ZevUD Information\n=======================\nVersion:     0.1.32\nPath:        ") +
           path + "\nStatus:      Open\nCollections: " + std::to_string(collections) +
           "\nMemory:      " + std::to_string(memory) + " bytes\n";
}

uint64_t memory_of(rk_vecdb_t *db) {
    uint64_t total = rk_arena_get_used_size(db->arena);
    for (uint64_t i = 0; i < db->collection_count; ++i) {
        rk_collection_stats_t s{};
        EXPECT_EQ(rk_collection_get_stats(db->collections[i].collection, &s), RK_OK);
        total += s.memory_used;
    }
    return total;
}

TEST(DbPrintInfo, NullHandle) {
    rk_test::CaptureStdout cap;
    const int n = rk_vecdb_print_info(nullptr);
    EXPECT_EQ(cap.text(), "Database: NULL\n");
    EXPECT_EQ(n, 15);
}

TEST(DbPrintInfo, EmptyMemoryDatabase) {
    rk_test::Db db;
    const uint64_t memory = memory_of(db);
    rk_test::CaptureStdout cap;
    const int n = rk_vecdb_print_info(db);
    const std::string expected = expected_header("(memory)", 0, memory);
    EXPECT_EQ(cap.text(), expected);
    const std::string last_line = "Memory:      " + std::to_string(memory) + " bytes\n";
    EXPECT_EQ(n, static_cast<int>(last_line.size()));
}

TEST(DbPrintInfo, ListsCollectionsInRegistryOrder) {
    rk_vecdb_config_t c{};
    c.path = str("/var/db/x");
    c.storage_mode = RK_DB_MEMORY;
    rk_vecdb_t *db = nullptr;
    ASSERT_EQ(rk_vecdb_open_ex(&c, &db), RK_OK);
    const rk_string_t zeta = str("zeta"), alpha = str("alpha");
    std::vector<float> rows(3 * 5, 0.5f);
    ASSERT_EQ(rk_vecdb_insert_batch(db, &zeta, rows.data(), 5, 3, nullptr), RK_OK);
    ASSERT_EQ(rk_vecdb_create_collection(db, &alpha, 128, nullptr), RK_OK);
    const uint64_t memory = memory_of(db);
    rk_test::CaptureStdout cap;
    const int n = rk_vecdb_print_info(db);
    const std::string tail = "\nCollections:\n  - zeta: 3 vectors, 5 dims\n  - alpha: 0 vectors, 128 dims\n";
    EXPECT_EQ(cap.text(), expected_header("/var/db/x", 2, memory) + tail);
    EXPECT_EQ(n, static_cast<int>(std::strlen("  - alpha: 0 vectors, 128 dims\n")));
    EXPECT_EQ(rk_vecdb_close(db), RK_OK);
}

// ---- allocation failures leave nothing behind ----

struct FailingHooks {
    std::atomic<int> fail_at{-1};  // 0-based index of the hook call that fails
    std::atomic<int> calls{0};
    std::atomic<int> live{0};
};
FailingHooks g_hooks;

void *failing_malloc(size_t n, void *) {
    if (g_hooks.calls.fetch_add(1) == g_hooks.fail_at.load()) return nullptr;
    g_hooks.live.fetch_add(1);
    return std::malloc(n);
}
void *failing_realloc(void *p, size_t n, void *) { return std::realloc(p, n); }
void failing_free(void *p, void *) {
    if (p != nullptr) g_hooks.live.fetch_sub(1);
    std::free(p);
}

class DbAllocFailure : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = *rk_get_allocator();
        const rk_allocator_t hooks = {failing_malloc, failing_realloc, failing_free, nullptr};
        ASSERT_EQ(rk_set_allocator(&hooks), RK_OK);
    }
    void TearDown() override { ASSERT_EQ(rk_set_allocator(&saved_), RK_OK); }
    rk_allocator_t saved_{};
};

TEST_F(DbAllocFailure, OpenFailsCleanlyAtEveryHookAllocation) {
    // Open takes the handle and then the lock's storage from the hooks.
    for (int fail = 0; fail < 2; ++fail) {
        g_hooks.calls = 0;
        g_hooks.fail_at = fail;
        rk_vecdb_t *db = nullptr;
        EXPECT_EQ(rk_vecdb_open(nullptr, 0, &db), RK_ERR_NO_MEMORY) << fail;
        EXPECT_EQ(db, nullptr);
        EXPECT_EQ(g_hooks.live.load(), 0) << fail;
    }
    g_hooks.fail_at = -1;
}

TEST_F(DbAllocFailure, CreateFailsCleanlyAndRegistryStaysIntact) {
    g_hooks.fail_at = -1;
    rk_vecdb_t *db = nullptr;
    ASSERT_EQ(rk_vecdb_open(nullptr, 0, &db), RK_OK);
    const rk_string_t keep = str("keep");
    ASSERT_EQ(rk_vecdb_create_collection(db, &keep, 3, nullptr), RK_OK);
    const int live_before = g_hooks.live.load();
    int failures = 0;
    for (int fail = 0; fail < 16; ++fail) {
        g_hooks.calls = 0;
        g_hooks.fail_at = fail;
        const rk_string_t name = str("new");
        const rk_status_t st = rk_vecdb_create_collection(db, &name, 3, nullptr);
        g_hooks.fail_at = -1;
        if (st == RK_OK) {
            ASSERT_EQ(rk_vecdb_drop_collection(db, &name), RK_OK);
            break;
        }
        ++failures;
        EXPECT_TRUE(st == RK_ERR_NO_MEMORY || st == RK_ERR_UNKNOWN) << st;
        EXPECT_EQ(rk_vecdb_has_collection(db, &name), 0);
        EXPECT_EQ(g_hooks.live.load(), live_before) << fail;
    }
    EXPECT_GE(failures, 1);
    EXPECT_EQ(rk_vecdb_list_collections(db, nullptr, 0), 1u);
    EXPECT_EQ(rk_vecdb_close(db), RK_OK);
    EXPECT_EQ(g_hooks.live.load(), 0);
}

}  // namespace
