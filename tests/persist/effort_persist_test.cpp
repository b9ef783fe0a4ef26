// SPDX-License-Identifier: Apache-2.0
// The search effort a collection stores survives its file, a database close
// and reopen, and the rebuild that follows a load.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "persist_test_util.h"
#include "rk_collection.h"
#include "rk_database.h"
#include "rk_index.h"
#include "support/float_bits.h"

namespace {

using persist_test::ScratchDir;
using persist_test::str;
using rk_test::bits;

constexpr uint32_t kDim = 10;

std::vector<float> rows(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> g(0.0f, 0.7f);
    std::vector<float> v(n * kDim);
    for (float &x : v) x = g(rng);
    return v;
}

void fill_and_build(rk_collection_t *c, size_t n) {
    const std::vector<float> v = rows(n, 21);
    for (size_t i = 0; i < n; ++i) ASSERT_EQ(rk_collection_insert(c, &v[i * kDim], nullptr), RK_OK);
    ASSERT_EQ(rk_collection_build_index(c), RK_OK);
}

bool is_ivf(int32_t type) { return type % 2 != 0; }

rk_status_t set_effort(rk_collection_t *c, int32_t type, uint32_t v) {
    return is_ivf(type) ? rk_collection_set_nprobe(c, v) : rk_collection_set_ef_search(c, v);
}

// The collection's setting, and the live index's when it has one.
void expect_effort(rk_collection_t *c, int32_t type, uint32_t want) {
    uint32_t v = 0;
    ASSERT_EQ(is_ivf(type) ? rk_collection_get_nprobe(c, &v) : rk_collection_get_ef_search(c, &v), RK_OK);
    EXPECT_EQ(v, want);
    if (!c->index) return;
    uint32_t live = 0;
    ASSERT_EQ(is_ivf(type) ? rk_index_get_nprobe(c->index, &live) : rk_index_get_ef_search(c->index, &live),
              RK_OK);
    EXPECT_EQ(live, want);
}

std::vector<rk_search_result_t> answer(rk_collection_t *c, const float *q) {
    std::vector<rk_search_result_t> r(8);
    rk_search_params_t p{};
    p.k = 8;
    uint64_t n = 0;
    EXPECT_EQ(rk_collection_search_ex(c, q, &p, 0, r.data(), &n), RK_OK);
    r.resize(n);
    return r;
}

rk_collection_t *make(int32_t type, const char *name = "c") {
    rk_collection_config_t cfg{};
    cfg.name = str(name);
    cfg.dimension = kDim;
    cfg.index_type = type;
    return rk_collection_create(nullptr, &cfg);
}

struct Case {
    int32_t type;
    uint32_t value;
};

// The header holds the setting of types 1 to 4, the extension block that of
// the others and of the default configuration. Values beyond any list count
// or graph size mean "everything" and come back as they were, with the rest
// of the index settings (the default configuration's 5 lists among them).
TEST(EffortPersist, CollectionFileKeepsTheSettingThroughLoadAndRebuild) {
    ScratchDir dir;
    const Case cases[] = {{RK_INDEX_IVF, 7},     {RK_INDEX_HNSW, 61}, {RK_INDEX_IVF_SQ, 2},   {-1, 4},
                          {RK_INDEX_IVF, 70000}, {-1, 1000000},       {RK_INDEX_HNSW, 100000}};
    for (const Case &k : cases) {
        SCOPED_TRACE(testing::Message() << "type " << k.type << " value " << k.value);
        const int32_t family = k.type == -1 ? RK_INDEX_IVF : k.type;
        rk_collection_t *c = make(k.type);
        ASSERT_NE(c, nullptr);
        fill_and_build(c, 300);
        rk_index_stats_t before{};
        ASSERT_EQ(rk_index_get_stats(c->index, &before), RK_OK);
        ASSERT_EQ(set_effort(c, family, k.value), RK_OK);
        const std::string path = dir / "c.rkc";
        ASSERT_EQ(rk_collection_save(c, path.c_str()), RK_OK);
        rk_collection_t *back = rk_collection_load(nullptr, path.c_str());
        ASSERT_NE(back, nullptr);
        ASSERT_NE(back->index, nullptr);
        EXPECT_EQ(rk_index_get_type(back->index), rk_index_get_type(c->index));
        expect_effort(back, family, k.value);
        ASSERT_EQ(rk_collection_build_index(back), RK_OK);
        expect_effort(back, family, k.value);
        // The rest of the index's settings came back too.
        rk_index_stats_t after{};
        ASSERT_EQ(rk_index_get_stats(back->index, &after), RK_OK);
        EXPECT_EQ(after.nlist, before.nlist);
        rk_collection_destroy(back);
        rk_collection_destroy(c);
    }
}

// A by-name database saves each collection with its index file; after a
// reopen the setting is in force on the loaded index, which answers as
// before, and a rebuild keeps it.
TEST(EffortPersist, DatabaseCloseAndReopenKeepTheSetting) {
    ScratchDir dir;
    const std::string where = dir / "db";
    const rk_string_t path = str(where);
    const std::vector<float> q = rows(3, 22);
    const Case cases[] = {{RK_INDEX_HNSW, 48}, {RK_INDEX_IVF, 3}, {RK_INDEX_IVF_SQ, 1}};
    std::vector<std::vector<rk_search_result_t>> before;
    rk_vecdb_t *db = nullptr;
    ASSERT_EQ(rk_vecdb_open(&path, RK_OPEN_CREATE, &db), RK_OK);
    for (const Case &k : cases) {
        const std::string name = "c" + std::to_string(k.type);
        rk_collection_config_t cfg{};
        cfg.name = str(name.c_str());
        cfg.dimension = kDim;
        cfg.index_type = k.type;
        rk_collection_t *c = nullptr;
        ASSERT_EQ(rk_vecdb_create_collection_ex(db, &cfg, &c), RK_OK);
        fill_and_build(c, 400);
        ASSERT_EQ(set_effort(c, k.type, k.value), RK_OK);
        for (size_t i = 0; i < 3; ++i) before.push_back(answer(c, &q[i * kDim]));
    }
    ASSERT_EQ(rk_vecdb_close(db), RK_OK);

    ASSERT_EQ(rk_vecdb_open(&path, 0, &db), RK_OK);
    size_t at = 0;
    for (const Case &k : cases) {
        SCOPED_TRACE(k.type);
        const std::string name = "c" + std::to_string(k.type);
        const rk_string_t n = str(name.c_str());
        rk_collection_t *c = rk_vecdb_get_collection(db, &n);
        ASSERT_NE(c, nullptr);
        EXPECT_TRUE(rk_collection_has_index(c));
        expect_effort(c, k.type, k.value);
        for (size_t i = 0; i < 3; ++i, ++at) {
            const auto now = answer(c, &q[i * kDim]);
            ASSERT_EQ(now.size(), before[at].size());
            for (size_t j = 0; j < now.size(); ++j) {
                EXPECT_EQ(now[j].id, before[at][j].id);
                EXPECT_EQ(bits(now[j].distance), bits(before[at][j].distance));
            }
        }
        ASSERT_EQ(rk_collection_rebuild_index(c), RK_OK);
        expect_effort(c, k.type, k.value);
    }
    ASSERT_EQ(rk_vecdb_close(db), RK_OK);
}

}  // namespace
