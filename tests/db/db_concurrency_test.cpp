// SPDX-License-Identifier: Apache-2.0
// One database shared by threads: searchers against a writer that inserts
// and creates/drops collections, racing find-or-create, parallel writers to
// different collections, and a drop that must wait for a running search.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>

#include "../platform/thread_helpers.h"
#include "db/db.h"
#include "db_test_util.h"

namespace {

using rk_test::str;
// Record i of every collection here holds point i.
std::vector<float> vec_for(uint64_t id, uint32_t dim) { return rk_test::scattered(id, dim); }

constexpr uint32_t kDim = 8;

// Every result must be a record the writer inserted, at exactly the distance
// its vector has, nearest first: a torn or stale record would show here.
void check_results(const rk_vecdb_result_t *r, uint64_t n, const float *query, uint64_t max_id) {
    for (uint64_t i = 0; i < n; ++i) {
        ASSERT_GE(r[i].id, 1u);
        ASSERT_LE(r[i].id, max_id);
        ASSERT_EQ(r[i].distance, rk_test::l2(query, vec_for(r[i].id, kDim).data(), kDim));
        if (i > 0) {
            ASSERT_LE(r[i - 1].distance, r[i].distance);
        }
    }
}

TEST(DbConcurrency, SearchersAgainstOneWriterWithRegistryChanges) {
    rk_test::Db db;
    const rk_string_t main_name = str("main");
    constexpr uint64_t kRecords = 600;
    constexpr int kSearchers = 3;
    std::atomic<uint64_t> inserted{0};
    std::atomic<bool> done{false};
    std::atomic<uint64_t> searches{0};
    ASSERT_EQ(rk_vecdb_create_collection(db, &main_name, kDim, nullptr), RK_OK);

    rk_test::Pool searchers(kSearchers, [&](int t) {
        rk_vecdb_result_t r[10];
        uint64_t round = 0;
        while (!done.load(std::memory_order_acquire)) {
            ++round;
            const uint64_t seen = inserted.load(std::memory_order_acquire);
            const std::vector<float> q =
                vec_for((round * 7 + static_cast<uint64_t>(t)) % (kRecords + 5), kDim);
            const uint64_t n = rk_vecdb_search(db, &main_name, q.data(), kDim, 10, r);
            // Records present before the search started are all visible.
            ASSERT_GE(n, std::min<uint64_t>(seen, 10));
            check_results(r, n, q.data(), kRecords);
            // Temporary collections come and go under the searcher's feet.
            const std::string tmp = "tmp" + std::to_string(round % 4);
            const rk_string_t tmp_name = str(tmp);
            const uint64_t m = rk_vecdb_search(db, &tmp_name, q.data(), kDim, 10, r);
            // A batch insert adds its rows one by one, so a searcher may
            // catch a temporary collection part-filled.
            ASSERT_LE(m, 5u);
            check_results(r, m, q.data(), 5);
            rk_string_t names[8];
            const uint64_t listed = rk_vecdb_list_collections(db, names, 8);
            ASSERT_GE(listed, 1u);
            ASSERT_LE(listed, 4u);  // main and at most three temporaries
            for (uint64_t i = 0; i < listed; ++i) ASSERT_NE(names[i].data, nullptr);
            searches.fetch_add(1);
        }
    });

    // Let every searcher get going before the writer starts.
    while (searches.load() < static_cast<uint64_t>(kSearchers)) rk_sleep(1);
    for (uint64_t id = 1; id <= kRecords; ++id) {
        uint64_t got = 0;
        ASSERT_EQ(rk_vecdb_insert(db, &main_name, vec_for(id, kDim).data(), kDim, &got), RK_OK);
        ASSERT_EQ(got, id);
        inserted.store(id, std::memory_order_release);
        if (id == kRecords / 2) {
            // From here on searches go through the index, topped up by a scan.
            ASSERT_EQ(rk_collection_build_index(rk_vecdb_get_collection(db, &main_name)), RK_OK);
        }
        if (id % 25 == 0) {
            // At most two temporary collections live at once.
            const std::string made = "tmp" + std::to_string((id / 25) % 4);
            const std::string gone = "tmp" + std::to_string((id / 25 + 2) % 4);
            const rk_string_t made_name = str(made), gone_name = str(gone);
            std::vector<float> rows;
            for (uint64_t j = 1; j <= 5; ++j) {
                const std::vector<float> v = vec_for(j, kDim);
                rows.insert(rows.end(), v.begin(), v.end());
            }
            ASSERT_EQ(rk_vecdb_insert_batch(db, &made_name, rows.data(), kDim, 5, nullptr), RK_OK);
            const rk_status_t st = rk_vecdb_drop_collection(db, &gone_name);
            ASSERT_TRUE(st == RK_OK || st == RK_ERR_NOT_FOUND) << st;
        }
    }
    done.store(true, std::memory_order_release);
    searchers.join();

    // Nothing lost or torn: every record is there, once, under its id, with
    // its own vector.
    rk_collection_t *c = rk_vecdb_get_collection(db, &main_name);
    rk_collection_stats_t s{};
    ASSERT_EQ(rk_collection_get_stats(c, &s), RK_OK);
    EXPECT_EQ(s.count, kRecords);
    std::vector<float> got(kDim);
    for (uint64_t id = 1; id <= kRecords; ++id) {
        ASSERT_EQ(rk_collection_get(c, id, got.data()), RK_OK) << id;
        ASSERT_EQ(got, vec_for(id, kDim)) << id;
    }
    rk_vecdb_stats_t stats{};
    ASSERT_EQ(rk_vecdb_get_stats(db, &stats), RK_OK);
    EXPECT_EQ(stats.collections, rk_vecdb_list_collections(db, nullptr, 0));
}

// Two threads inserting into the same new name both succeed, into one
// collection: the second finds the first's collection instead of failing.
TEST(DbConcurrency, RacingFindOrCreateSharesOneCollection) {
    constexpr int kThreads = 4;
    constexpr uint64_t kEach = 50;
    for (int trial = 0; trial < 5; ++trial) {
        rk_test::Db db;
        const std::string n = "fresh" + std::to_string(trial);
        const rk_string_t name = str(n);
        std::atomic<int> failures{0};
        {
            rk_test::Pool pool(kThreads, [&](int t) {
                for (uint64_t i = 0; i < kEach; ++i) {
                    const std::vector<float> v = vec_for(static_cast<uint64_t>(t) * 1000 + i, kDim);
                    if (rk_vecdb_insert(db, &name, v.data(), kDim, nullptr) != RK_OK) failures.fetch_add(1);
                }
            });
        }
        EXPECT_EQ(failures.load(), 0);
        EXPECT_EQ(rk_vecdb_list_collections(db, nullptr, 0), 1u);
        rk_collection_stats_t s{};
        ASSERT_EQ(rk_collection_get_stats(rk_vecdb_get_collection(db, &name), &s), RK_OK);
        EXPECT_EQ(s.count, kThreads * kEach);
    }
}

// Collections of one database are written in parallel under their own
// locks; they must not share unlocked state such as an arena.
TEST(DbConcurrency, WritersToDifferentCollectionsInParallel) {
    rk_test::Db db;
    constexpr int kThreads = 3;
    constexpr uint64_t kEach = 300;
    {
        rk_test::Pool pool(kThreads, [&](int t) {
            const std::string n = "w" + std::to_string(t);
            const rk_string_t name = str(n);
            std::vector<float> rows;
            for (uint64_t i = 1; i <= kEach; ++i) {
                const std::vector<float> v = vec_for(i, kDim);
                rows.insert(rows.end(), v.begin(), v.end());
            }
            // Batches and single inserts, with a create/drop of a side
            // collection in between to move the registry.
            for (uint64_t i = 0; i < kEach; i += 30) {
                ASSERT_EQ(rk_vecdb_insert_batch(db, &name, rows.data() + i * kDim, kDim, 30, nullptr), RK_OK);
                const std::string side = n + "-side";
                const rk_string_t side_name = str(side);
                ASSERT_EQ(rk_vecdb_create_collection(db, &side_name, kDim, nullptr), RK_OK);
                ASSERT_EQ(rk_vecdb_insert(db, &side_name, rows.data(), kDim, nullptr), RK_OK);
                ASSERT_EQ(rk_vecdb_drop_collection(db, &side_name), RK_OK);
            }
        });
    }
    for (int t = 0; t < kThreads; ++t) {
        const std::string n = "w" + std::to_string(t);
        const rk_string_t name = str(n);
        for (uint64_t id = 1; id <= kEach; id += 29) {
            const std::vector<float> q = vec_for(id, kDim);
            rk_vecdb_result_t r[1];
            ASSERT_EQ(rk_vecdb_search(db, &name, q.data(), kDim, 1, r), 1u);
            EXPECT_EQ(r[0].id, id);
            EXPECT_EQ(r[0].distance, 0.0f);
        }
    }
    EXPECT_EQ(rk_vecdb_list_collections(db, nullptr, 0), static_cast<uint64_t>(kThreads));
}

// ---- a drop waits for a by-name search that is still using the collection ----

// Hooks that hold one allocation of a chosen size until released: the
// search's scratch request, made while the search has the collection.
struct GateHooks {
    std::atomic<size_t> gate_size{0};
    std::atomic<bool> entered{false};
    std::atomic<bool> open{false};
};
GateHooks g_gate;

void *gate_malloc(size_t n, void *) {
    if (n == g_gate.gate_size.load()) {
        g_gate.entered.store(true);
        while (!g_gate.open.load()) rk_sleep(1);
    }
    return std::malloc(n);
}
void *gate_realloc(void *p, size_t n, void *) { return std::realloc(p, n); }
void gate_free(void *p, void *) { std::free(p); }

TEST(DbConcurrency, DropWaitsForRunningSearch) {
    const rk_allocator_t saved = *rk_get_allocator();
    rk_test::Db db;
    const rk_string_t name = str("held");
    for (uint64_t id = 1; id <= 20; ++id) {
        ASSERT_EQ(rk_vecdb_insert(db, &name, vec_for(id, kDim).data(), kDim, nullptr), RK_OK);
    }
    constexpr uint64_t kOddK = 337;  // a scratch size nothing else asks for
    g_gate.gate_size = kOddK * sizeof(rk_search_result_t);
    const rk_allocator_t hooks = {gate_malloc, gate_realloc, gate_free, nullptr};
    ASSERT_EQ(rk_set_allocator(&hooks), RK_OK);

    std::atomic<uint64_t> found{0};
    std::atomic<bool> dropped{false};
    std::vector<rk_vecdb_result_t> r(kOddK);
    const std::vector<float> q = vec_for(4, kDim);
    rk_test::Runner search([&] { found = rk_vecdb_search(db, &name, q.data(), kDim, kOddK, r.data()); });
    while (!g_gate.entered.load()) rk_sleep(1);
    rk_test::Runner drop([&] {
        EXPECT_EQ(rk_vecdb_drop_collection(db, &name), RK_OK);
        dropped = true;
    });
    // The name disappears at once; the collection itself must outlive the
    // search that is using it.
    while (rk_vecdb_has_collection(db, &name) != 0) rk_sleep(1);
    rk_sleep(50);
    EXPECT_FALSE(dropped.load());
    g_gate.open = true;
    search.join();
    drop.join();
    EXPECT_TRUE(dropped.load());
    EXPECT_EQ(found.load(), 20u);
    check_results(r.data(), found.load(), q.data(), 20);
    EXPECT_EQ(r[0].id, 4u);
    ASSERT_EQ(rk_set_allocator(&saved), RK_OK);
    g_gate.gate_size = 0;
}

}  // namespace
