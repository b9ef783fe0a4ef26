// SPDX-License-Identifier: Apache-2.0
// Insert, batch insert and search by name, and the typical request from open
// to close.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "db/db.h"
#include "db_test_util.h"

namespace {

using rk_test::str;
using rk_test::vec_for;

// Open, insert into a new name, search the dormant index by a scan, build
// the index, search again, close.
TEST(DbTypicalRequest, StepByStep) {
    // 1. Open in memory with defaults: 16 registry slots, no collections.
    rk_vecdb_t *db = nullptr;
    ASSERT_EQ(rk_vecdb_open(nullptr, 0, &db), RK_OK);
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(db->collection_capacity, 16u);
    EXPECT_EQ(db->arena->block_size, 0x4000000u);

    // 2. The first insert creates the collection (L2, HNSW, dormant) and the
    // record gets id 1.
    const rk_string_t name = str("embeddings");
    constexpr uint32_t kDim = 16;
    uint64_t id = 0;
    const std::vector<float> first = rk_test::scattered(1, kDim);
    ASSERT_EQ(rk_vecdb_insert(db, &name, first.data(), kDim, &id), RK_OK);
    EXPECT_EQ(id, 1u);
    rk_collection_t *c = rk_vecdb_get_collection(db, &name);
    ASSERT_NE(c, nullptr);
    rk_collection_stats_t s{};
    ASSERT_EQ(rk_collection_get_stats(c, &s), RK_OK);
    EXPECT_EQ(s.count, 1u);
    EXPECT_EQ(s.capacity, 4096u);
    EXPECT_EQ(s.dimension, kDim);
    EXPECT_EQ(c->metric, static_cast<uint32_t>(RK_METRIC_L2));
    const bool with_index = rk_test::index_objects_available();
    if (with_index) {
        EXPECT_EQ(s.index_type, RK_INDEX_HNSW);
        EXPECT_EQ(c->index_threshold, 100000000u);  // present but dormant
    }
    for (uint64_t i = 2; i <= 200; ++i) {
        ASSERT_EQ(rk_vecdb_insert(db, &name, rk_test::scattered(i, kDim).data(), kDim, &id), RK_OK);
        ASSERT_EQ(id, i);
    }

    // 3. Search by scan: the k nearest, ascending, at the distances the
    // kernels give.
    const std::vector<float> query = rk_test::scattered(50, kDim);
    rk_vecdb_result_t scan[5];
    ASSERT_EQ(rk_vecdb_search(db, &name, query.data(), kDim, 5, scan), 5u);
    EXPECT_EQ(scan[0].id, 50u);
    EXPECT_EQ(scan[0].distance, 0.0f);
    for (int i = 0; i < 5; ++i) {
        const std::vector<float> v = rk_test::scattered(scan[i].id, kDim);
        EXPECT_EQ(scan[i].distance, rk_test::l2(query.data(), v.data(), kDim));
        if (i > 0) {
            EXPECT_LE(scan[i - 1].distance, scan[i].distance);
        }
    }
    // No record outside the answer is nearer than its last hit.
    for (uint64_t i = 1; i <= 200; ++i) {
        const std::vector<float> v = rk_test::scattered(i, kDim);
        const float d = rk_test::l2(query.data(), v.data(), kDim);
        const bool listed =
            std::any_of(scan, scan + 5, [&](const rk_vecdb_result_t &r) { return r.id == i; });
        if (!listed) {
            EXPECT_GE(d, scan[4].distance) << i;
        }
    }

    if (!with_index) {
        EXPECT_EQ(rk_vecdb_close(db), RK_OK);
        GTEST_SKIP() << "steps 4 and 5 need index objects, which this build lacks";
    }

    // 4. After the index is built the same search goes through it (topped up
    // by a scan if short). The graph is approximate, so what it guarantees is
    // the shape of the answer: k live records, ascending, each at its exact
    // distance, none nearer than the scan's best.
    ASSERT_EQ(rk_collection_build_index(c), RK_OK);
    EXPECT_EQ(c->index_threshold, 0u);
    ASSERT_EQ(rk_collection_get_stats(c, &s), RK_OK);
    EXPECT_EQ(s.index_trained, 1u);
    rk_vecdb_result_t indexed[5];
    ASSERT_EQ(rk_vecdb_search(db, &name, query.data(), kDim, 5, indexed), 5u);
    for (int i = 0; i < 5; ++i) {
        ASSERT_GE(indexed[i].id, 1u);
        ASSERT_LE(indexed[i].id, 200u);
        const std::vector<float> v = rk_test::scattered(indexed[i].id, kDim);
        EXPECT_EQ(indexed[i].distance, rk_test::l2(query.data(), v.data(), kDim)) << i;
        EXPECT_GE(indexed[i].distance, scan[i].distance) << i;
        if (i > 0) {
            EXPECT_LE(indexed[i - 1].distance, indexed[i].distance);
        }
    }

    // 5. Close releases everything (ASan checks the hooks' memory).
    EXPECT_EQ(rk_vecdb_close(db), RK_OK);
}

TEST(DbSearch, ThreeOfTenAscendingAndEdgeCounts) {
    rk_test::Db db;
    const rk_string_t name = str("ten");
    std::vector<float> rows;
    for (uint64_t i = 1; i <= 10; ++i) {
        const std::vector<float> v = vec_for(11 - i, 4);  // farther first
        rows.insert(rows.end(), v.begin(), v.end());
    }
    uint64_t ids[10] = {};
    ASSERT_EQ(rk_vecdb_insert_batch(db, &name, rows.data(), 4, 10, ids), RK_OK);
    for (uint64_t i = 0; i < 10; ++i) EXPECT_EQ(ids[i], i + 1);

    const std::vector<float> q = vec_for(0, 4);
    rk_vecdb_result_t r[12];
    const rk_vecdb_result_t sentinel{777, -1.0f};
    std::fill(std::begin(r), std::end(r), sentinel);
    ASSERT_EQ(rk_vecdb_search(db, &name, q.data(), 4, 3, r), 3u);
    EXPECT_EQ(r[0].id, 10u);
    EXPECT_EQ(r[1].id, 9u);
    EXPECT_EQ(r[2].id, 8u);
    EXPECT_LT(r[0].distance, r[1].distance);
    EXPECT_LT(r[1].distance, r[2].distance);
    EXPECT_EQ(r[3].id, 777u);  // nothing past k

    EXPECT_EQ(rk_vecdb_search(db, &name, q.data(), 4, 12, r), 10u);
    EXPECT_EQ(r[10].id, 777u);
    EXPECT_EQ(rk_vecdb_search(db, &name, q.data(), 4, 0, r), 0u);
    const rk_string_t missing = str("missing");
    EXPECT_EQ(rk_vecdb_search(db, &missing, q.data(), 4, 3, r), 0u);
    EXPECT_EQ(rk_vecdb_has_collection(db, &missing), 0);  // search never creates
    // A k whose scratch size overflows is a failed allocation, not a crash.
    EXPECT_EQ(rk_vecdb_search(db, &name, q.data(), 4, UINT64_MAX / 8, r), 0u);
}

TEST(DbInsert, MissingNameCreatesCollectionOfThatDimension) {
    rk_test::Db db;
    const rk_string_t name = str("auto");
    const std::vector<float> v = vec_for(3, 6);
    ASSERT_EQ(rk_vecdb_insert(db, &name, v.data(), 6, nullptr), RK_OK);
    rk_collection_t *c = rk_vecdb_get_collection(db, &name);
    ASSERT_NE(c, nullptr);
    rk_collection_stats_t s{};
    ASSERT_EQ(rk_collection_get_stats(c, &s), RK_OK);
    EXPECT_EQ(s.dimension, 6u);
    EXPECT_EQ(c->metric, static_cast<uint32_t>(RK_METRIC_L2));
    if (rk_test::index_objects_available()) {
        EXPECT_EQ(s.index_type, RK_INDEX_HNSW);
    }
    // Dimension 0 for a new name fails as create does, and registers nothing.
    const rk_string_t other = str("other");
    EXPECT_EQ(rk_vecdb_insert(db, &other, v.data(), 0, nullptr), RK_ERR_UNKNOWN);
    EXPECT_EQ(rk_vecdb_has_collection(db, &other), 0);
}

TEST(DbInsertBatch, CountZeroCreatesEmptyCollection) {
    rk_test::Db db;
    const rk_string_t name = str("empty");
    const float v[3] = {1, 2, 3};
    ASSERT_EQ(rk_vecdb_insert_batch(db, &name, v, 3, 0, nullptr), RK_OK);
    rk_collection_t *c = rk_vecdb_get_collection(db, &name);
    ASSERT_NE(c, nullptr);
    rk_collection_stats_t s{};
    ASSERT_EQ(rk_collection_get_stats(c, &s), RK_OK);
    EXPECT_EQ(s.count, 0u);
    EXPECT_EQ(s.dimension, 3u);
    // A second empty batch into the now existing collection is fine too.
    EXPECT_EQ(rk_vecdb_insert_batch(db, &name, v, 3, 0, nullptr), RK_OK);
}

TEST(DbInsertBatch, RowsFollowTheCallersDimension) {
    rk_test::Db db;
    const rk_string_t name = str("rows");
    std::vector<float> rows;
    for (uint64_t i = 1; i <= 4; ++i) {
        const std::vector<float> v = vec_for(i * 10, 3);
        rows.insert(rows.end(), v.begin(), v.end());
    }
    uint64_t ids[4] = {};
    ASSERT_EQ(rk_vecdb_insert_batch(db, &name, rows.data(), 3, 4, ids), RK_OK);
    rk_collection_t *c = rk_vecdb_get_collection(db, &name);
    for (uint64_t i = 0; i < 4; ++i) {
        // Each stored vector is the i-th row: searching for it finds it at 0.
        const std::vector<float> q = vec_for((i + 1) * 10, 3);
        rk_vecdb_result_t r[1];
        ASSERT_EQ(rk_vecdb_search(db, &name, q.data(), 3, 1, r), 1u);
        EXPECT_EQ(r[0].id, ids[i]);
        EXPECT_EQ(r[0].distance, 0.0f);
    }
    rk_collection_stats_t s{};
    ASSERT_EQ(rk_collection_get_stats(c, &s), RK_OK);
    EXPECT_EQ(s.count, 4u);
}

// An existing collection reads its own dimension of floats from the
// caller's buffer; a caller that says otherwise is refused before that read.
TEST(DbShortcuts, DimensionMismatchIsRefused) {
    rk_test::Db db;
    const rk_string_t name = str("d8");
    const std::vector<float> v8 = vec_for(1, 8);
    ASSERT_EQ(rk_vecdb_insert(db, &name, v8.data(), 8, nullptr), RK_OK);
    // Exactly 4 floats each, in their own allocations, so an overread shows
    // under ASan.
    std::vector<float> v4 = vec_for(2, 4);
    uint64_t id = 12345;
    EXPECT_EQ(rk_vecdb_insert(db, &name, v4.data(), 4, &id), RK_ERR_DIMENSION);
    EXPECT_EQ(id, 12345u);
    EXPECT_EQ(rk_vecdb_insert(db, &name, v4.data(), 0, &id), RK_ERR_DIMENSION);
    uint64_t ids[1] = {0};
    EXPECT_EQ(rk_vecdb_insert_batch(db, &name, v4.data(), 4, 1, ids), RK_ERR_DIMENSION);
    EXPECT_EQ(rk_vecdb_insert_batch(db, &name, v4.data(), 4, 0, ids), RK_ERR_DIMENSION);
    EXPECT_EQ(ids[0], 0u);
    rk_vecdb_result_t r[2] = {};
    EXPECT_EQ(rk_vecdb_search(db, &name, v4.data(), 4, 2, r), 0u);
    EXPECT_EQ(rk_vecdb_search(db, &name, v8.data(), 9, 2, r), 0u);
    ASSERT_EQ(rk_vecdb_search(db, &name, v8.data(), 8, 2, r), 1u);
    EXPECT_EQ(r[0].id, 1u);
}

TEST(DbShortcuts, NullArgumentsCreateNothing) {
    rk_test::Db db;
    const rk_string_t name = str("n");
    const rk_string_t no_data{nullptr, 1};
    const float v[2] = {1, 2};
    uint64_t ids[2] = {};
    rk_vecdb_result_t r[2];
    EXPECT_EQ(rk_vecdb_insert(nullptr, &name, v, 2, nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_vecdb_insert(db, nullptr, v, 2, nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_vecdb_insert(db, &no_data, v, 2, nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_vecdb_insert(db, &name, nullptr, 2, nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_vecdb_insert_batch(nullptr, &name, v, 2, 1, ids), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_vecdb_insert_batch(db, nullptr, v, 2, 1, ids), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_vecdb_insert_batch(db, &name, nullptr, 2, 1, ids), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_vecdb_insert_batch(db, &name, nullptr, 2, 0, ids), RK_ERR_INVALID_ARG);
    // count * dimension beyond any buffer
    EXPECT_EQ(rk_vecdb_insert_batch(db, &name, v, 0xffffffffu, UINT64_MAX / 2, ids), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_vecdb_list_collections(db, nullptr, 0), 0u);

    ASSERT_EQ(rk_vecdb_insert(db, &name, v, 2, nullptr), RK_OK);
    EXPECT_EQ(rk_vecdb_search(nullptr, &name, v, 2, 1, r), 0u);
    EXPECT_EQ(rk_vecdb_search(db, nullptr, v, 2, 1, r), 0u);
    EXPECT_EQ(rk_vecdb_search(db, &no_data, v, 2, 1, r), 0u);
    EXPECT_EQ(rk_vecdb_search(db, &name, nullptr, 2, 1, r), 0u);
    EXPECT_EQ(rk_vecdb_search(db, &name, v, 2, 1, nullptr), 0u);
}

}  // namespace
