// SPDX-License-Identifier: Apache-2.0
// The registry: create, drop, get, list, and the names it refuses.
#include <gtest/gtest.h>

#include <string>

#include "db/db.h"
#include "db_test_util.h"

namespace {

using rk_test::str;

TEST(DbRegistry, DuplicateCreateAndRepeatedDrop) {
    rk_test::Db db;
    const rk_string_t name = str("docs");
    rk_collection_t *first = nullptr;
    ASSERT_EQ(rk_vecdb_create_collection(db, &name, 8, &first), RK_OK);
    ASSERT_NE(first, nullptr);
    rk_collection_t *second = reinterpret_cast<rk_collection_t *>(&second);
    EXPECT_EQ(rk_vecdb_create_collection(db, &name, 8, &second), RK_ERR_EXISTS);
    EXPECT_EQ(second, reinterpret_cast<rk_collection_t *>(&second));  // untouched on failure
    EXPECT_EQ(rk_vecdb_get_collection(db, &name), first);
    EXPECT_EQ(rk_vecdb_drop_collection(db, &name), RK_OK);
    EXPECT_EQ(rk_vecdb_drop_collection(db, &name), RK_ERR_NOT_FOUND);
    EXPECT_EQ(rk_vecdb_has_collection(db, &name), 0);
    rk_vecdb_stats_t stats{};
    ASSERT_EQ(rk_vecdb_get_stats(db, &stats), RK_OK);
    EXPECT_EQ(stats.collections, 0u);
}

TEST(DbRegistry, DefaultCollectionIsL2WithHnswIndex) {
    rk_test::Db db;
    const rk_string_t name = str("v");
    rk_collection_t *c = nullptr;
    ASSERT_EQ(rk_vecdb_create_collection(db, &name, 12, &c), RK_OK);
    rk_collection_stats_t s{};
    ASSERT_EQ(rk_collection_get_stats(c, &s), RK_OK);
    EXPECT_EQ(s.dimension, 12u);
    EXPECT_EQ(c->metric, static_cast<uint32_t>(RK_METRIC_L2));
    if (rk_test::index_objects_available()) {
        EXPECT_EQ(s.index_type, RK_INDEX_HNSW);
    }
    EXPECT_EQ(s.count, 0u);
    EXPECT_STREQ(rk_collection_get_name(c), "v");
}

TEST(DbRegistry, NamesCompareByLengthAndBytes) {
    rk_test::Db db;
    const rk_string_t ab = str("ab");
    ASSERT_EQ(rk_vecdb_create_collection(db, &ab, 2, nullptr), RK_OK);
    const rk_string_t prefix{"ab", 1}, longer = str("abc"), upper = str("AB");
    EXPECT_EQ(rk_vecdb_get_collection(db, &prefix), nullptr);
    EXPECT_EQ(rk_vecdb_get_collection(db, &longer), nullptr);
    EXPECT_EQ(rk_vecdb_get_collection(db, &upper), nullptr);
    const std::string copy = "ab";  // another buffer, same bytes
    const rk_string_t same = str(copy);
    EXPECT_NE(rk_vecdb_get_collection(db, &same), nullptr);
}

TEST(DbRegistry, SeventeenthCollectionDoublesTheRegistry) {
    rk_test::Db db;
    std::vector<rk_collection_t *> made;
    for (int i = 0; i < 17; ++i) {
        const std::string n = "c" + std::to_string(i);
        const rk_string_t name = str(n);
        rk_collection_t *c = nullptr;
        ASSERT_EQ(rk_vecdb_create_collection(db, &name, 4, &c), RK_OK) << i;
        made.push_back(c);
        EXPECT_EQ(db.get()->collection_capacity, i < 16 ? 16u : 32u);
    }
    // Every collection is still reachable under its name after the move.
    for (int i = 0; i < 17; ++i) {
        const std::string n = "c" + std::to_string(i);
        const rk_string_t name = str(n);
        EXPECT_EQ(rk_vecdb_get_collection(db, &name), made[static_cast<size_t>(i)]);
    }
    rk_vecdb_stats_t stats{};
    ASSERT_EQ(rk_vecdb_get_stats(db, &stats), RK_OK);
    EXPECT_EQ(stats.collections, 17u);
}

TEST(DbRegistry, ListKeepsCreationOrderAcrossDrops) {
    rk_test::Db db;
    for (const char *n : {"one", "two", "three", "four"}) {
        const rk_string_t name = str(n);
        ASSERT_EQ(rk_vecdb_create_collection(db, &name, 3, nullptr), RK_OK);
    }
    const rk_string_t two = str("two");
    ASSERT_EQ(rk_vecdb_drop_collection(db, &two), RK_OK);

    EXPECT_EQ(rk_vecdb_list_collections(db, nullptr, 5), 3u);
    rk_string_t names[5] = {};
    EXPECT_EQ(rk_vecdb_list_collections(db, names, 0), 3u);
    EXPECT_EQ(names[0].data, nullptr);  // capacity 0 only counts
    EXPECT_EQ(rk_vecdb_list_collections(db, names, 1), 1u);
    EXPECT_STREQ(names[0].data, "one");
    EXPECT_EQ(names[1].data, nullptr);
    ASSERT_EQ(rk_vecdb_list_collections(db, names, 5), 3u);
    const char *expected[] = {"one", "three", "four"};
    for (int i = 0; i < 3; ++i) {
        EXPECT_STREQ(names[i].data, expected[i]);
        EXPECT_EQ(names[i].len, std::strlen(expected[i]));
    }
    EXPECT_EQ(names[3].data, nullptr);
    EXPECT_EQ(rk_vecdb_list_collections(nullptr, names, 5), 0u);
}

TEST(DbRegistry, CreateExTakesTheWholeConfiguration) {
    rk_test::Db db;
    rk_collection_config_t cfg{};
    cfg.name = str("flat");
    cfg.dimension = 3;
    cfg.metric = RK_METRIC_IP;
    cfg.index_type = RK_INDEX_FLAT;
    rk_collection_t *c = nullptr;
    ASSERT_EQ(rk_vecdb_create_collection_ex(db, &cfg, &c), RK_OK);
    EXPECT_EQ(rk_vecdb_get_collection(db, &cfg.name), c);
    rk_collection_stats_t s{};
    ASSERT_EQ(rk_collection_get_stats(c, &s), RK_OK);
    EXPECT_EQ(s.index_type, -1);  // flat: no index object

    // Inner product: the nearest record has the largest dot product.
    const float a[3] = {1, 0, 0}, b[3] = {5, 0, 0}, q[3] = {1, 0, 0};
    ASSERT_EQ(rk_vecdb_insert(db, &cfg.name, a, 3, nullptr), RK_OK);
    ASSERT_EQ(rk_vecdb_insert(db, &cfg.name, b, 3, nullptr), RK_OK);
    rk_vecdb_result_t r[2];
    ASSERT_EQ(rk_vecdb_search(db, &cfg.name, q, 3, 2, r), 2u);
    EXPECT_EQ(r[0].id, 2u);
    EXPECT_EQ(r[0].distance, -5.0f);
    EXPECT_EQ(r[1].distance, -1.0f);
}

TEST(DbRegistry, NullArgumentsAndDimensionZero) {
    rk_test::Db db;
    const rk_string_t name = str("x");
    const rk_string_t no_data{nullptr, 3};
    EXPECT_EQ(rk_vecdb_create_collection(nullptr, &name, 4, nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_vecdb_create_collection(db, nullptr, 4, nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_vecdb_create_collection(db, &no_data, 4, nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_vecdb_create_collection_ex(db, nullptr, nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_vecdb_create_collection(db, &name, 0, nullptr), RK_ERR_UNKNOWN);
    EXPECT_EQ(rk_vecdb_has_collection(db, &name), 0);
    EXPECT_EQ(rk_vecdb_drop_collection(nullptr, &name), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_vecdb_drop_collection(db, nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_vecdb_drop_collection(db, &no_data), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_vecdb_get_collection(nullptr, &name), nullptr);
    EXPECT_EQ(rk_vecdb_get_collection(db, nullptr), nullptr);
    EXPECT_EQ(rk_vecdb_get_collection(db, &no_data), nullptr);
    EXPECT_EQ(rk_vecdb_has_collection(db, nullptr), 0);
    rk_vecdb_stats_t stats{};
    ASSERT_EQ(rk_vecdb_get_stats(db, &stats), RK_OK);
    EXPECT_EQ(stats.collections, 0u);
}

// Names that could not serve as a file name in a database directory are
// refused by every path that creates a collection; nothing is registered.
TEST(DbRegistry, RefusesNamesUnsafeAsFileNames) {
    rk_test::Db db;
    const std::string bad[] = {"",
                               ".",
                               "..",
                               "a/b",
                               "/abs",
                               "a\\b",
                               "line\nfeed",
                               "cr\r",
                               "../x",
                               "x/..",
                               std::string("nul\0in", 6)};
    const float v[2] = {1, 2};
    for (const std::string &n : bad) {
        const rk_string_t name{n.c_str(), n.size()};
        rk_collection_config_t cfg{};
        cfg.name = name;
        cfg.dimension = 2;
        uint64_t ids[1] = {0};
        EXPECT_EQ(rk_vecdb_create_collection(db, &name, 2, nullptr), RK_ERR_INVALID_ARG) << n;
        EXPECT_EQ(rk_vecdb_create_collection_ex(db, &cfg, nullptr), RK_ERR_INVALID_ARG) << n;
        EXPECT_EQ(rk_vecdb_insert(db, &name, v, 2, nullptr), RK_ERR_INVALID_ARG) << n;
        EXPECT_EQ(rk_vecdb_insert_batch(db, &name, v, 2, 1, ids), RK_ERR_INVALID_ARG) << n;
        EXPECT_EQ(rk_vecdb_insert_batch(db, &name, v, 2, 0, nullptr), RK_ERR_INVALID_ARG) << n;
        EXPECT_EQ(ids[0], 0u);
    }
    EXPECT_EQ(rk_vecdb_list_collections(db, nullptr, 0), 0u);

    // Dots, spaces and other punctuation inside a name are fine.
    for (const char *ok : {"...", ".hidden", "a.b", "with space", "ünïcödé", "a:b"}) {
        const rk_string_t name = str(ok);
        EXPECT_EQ(rk_vecdb_create_collection(db, &name, 2, nullptr), RK_OK) << ok;
    }
}

}  // namespace
