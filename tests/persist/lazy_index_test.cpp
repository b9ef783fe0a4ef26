// SPDX-License-Identifier: Apache-2.0
// Opening a database leaves a dormant index empty (nothing reads it); the
// index takes every record when it becomes active or is built, and answers
// as an index fed at open would.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "collection/collection_file.h"
#include "collection/internal.h"
#include "persist_test_util.h"
#include "rk_collection.h"
#include "rk_database.h"
#include "rk_index.h"

namespace {

using persist_test::ScratchDir;
using persist_test::str;

constexpr uint32_t kDim = 6;

std::vector<float> row(uint64_t i) {
    std::vector<float> v(kDim);
    for (uint32_t d = 0; d < kDim; ++d) v[d] = 0.31f * float(i % 17) + 0.07f * float(d) + 0.013f * float(i);
    return v;
}

rk_collection_t *open_and_get(const std::string &dir, rk_vecdb_t **db) {
    const rk_string_t path = str(dir);
    EXPECT_EQ(rk_vecdb_open(&path, RK_OPEN_CREATE, db), RK_OK);
    const rk_string_t name = str("g");
    return rk_vecdb_get_collection(*db, &name);
}

TEST(LazyIndex, DatabaseOpenLeavesTheDormantIndexEmptyUntilItIsNeeded) {
    ScratchDir dir;
    rk_vecdb_t *db = nullptr;
    {
        const rk_string_t path = str(dir.path());
        ASSERT_EQ(rk_vecdb_open(&path, RK_OPEN_CREATE, &db), RK_OK);
        rk_collection_config_t cfg{};
        cfg.name = str("g");
        cfg.dimension = kDim;
        cfg.index_type = RK_INDEX_HNSW;
        rk_collection_t *c = nullptr;
        ASSERT_EQ(rk_vecdb_create_collection_ex(db, &cfg, &c), RK_OK);
        for (uint64_t i = 0; i < 200; ++i) ASSERT_EQ(rk_collection_insert(c, row(i).data(), nullptr), RK_OK);
        ASSERT_EQ(rk_vecdb_close(db), RK_OK);
    }
    rk_collection_t *c = open_and_get(dir.path(), &db);
    ASSERT_NE(c, nullptr);
    ASSERT_NE(c->index, nullptr);
    EXPECT_EQ(rk_index_get_ntotal(c->index), 0u);  // 200 before: every record re-added at open
    // The plain load still feeds it, as it always did.
    rk_collection_t *plain = rk_collection_load(nullptr, (dir / "g.rkcol").c_str());
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(rk_index_get_ntotal(plain->index), 200u);
    rk_collection_destroy(plain);

    // Becoming active (the threshold reached by an insert) fills it with
    // every record, the new one included.
    c->index_threshold = 1;
    ASSERT_EQ(rk_collection_insert(c, row(500).data(), nullptr), RK_OK);
    EXPECT_EQ(rk_index_get_ntotal(c->index), 201u);
    rk_search_result_t r[5];
    rk_search_params_t p{};
    p.k = 5;
    ASSERT_EQ(rk_collection_search(c, row(500).data(), &p, r), 5u);
    EXPECT_EQ(r[0].id, 201u);
    ASSERT_EQ(rk_vecdb_close(db), RK_OK);

    // Built after the open: the index holds every record.
    c = open_and_get(dir.path(), &db);
    ASSERT_NE(c, nullptr);
    ASSERT_EQ(rk_collection_build_index(c), RK_OK);
    EXPECT_EQ(rk_index_get_ntotal(c->index), 201u);
    ASSERT_EQ(rk_vecdb_close(db), RK_OK);
}

}  // namespace
