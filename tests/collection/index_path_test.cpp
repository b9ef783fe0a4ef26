// SPDX-License-Identifier: Apache-2.0
// Collections with an index: defaults per type, build / rebuild / clear /
// drop, the index path of search (stale hits dropped, duplicates removed,
// top-up merged by distance in the collection's metric), training on the
// spot, and the typical request from creation to search.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <set>
#include <vector>

#include "collection/internal.h"
#include "rk_collection.h"
#include "rk_index.h"
#include "rk_vector.h"

namespace {

rk_collection_t *make(uint32_t dim, int32_t type, uint32_t metric = RK_METRIC_L2) {
    rk_collection_config_t cfg{};
    cfg.name = rk_string_t{"t", 1};
    cfg.dimension = dim;
    cfg.metric = metric;
    cfg.index_type = type;
    return rk_collection_create(nullptr, &cfg);
}

std::vector<float> rows(size_t n, uint32_t dim, uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> g;
    std::vector<float> v(n * dim);
    for (auto &x : v) x = g(rng);
    return v;
}

void fill(rk_collection_t *c, const std::vector<float> &v) {
    const size_t n = v.size() / c->dimension;
    for (size_t i = 0; i < n; ++i) ASSERT_EQ(rk_collection_insert(c, &v[i * c->dimension], nullptr), RK_OK);
}

std::vector<uint64_t> exact_ids(rk_collection_t *c, const float *q, uint64_t k) {
    std::vector<std::pair<float, uint64_t>> d;
    for (uint64_t i = 0; i < c->count; ++i)
        d.push_back(
            {rk_vec_distance(q, c->records[i].vector, c->dimension, int(c->metric)), c->records[i].id});
    std::stable_sort(d.begin(), d.end(), [](auto &a, auto &b) { return a.first < b.first; });
    std::vector<uint64_t> out;
    for (uint64_t i = 0; i < k && i < d.size(); ++i) out.push_back(d[i].second);
    return out;
}

void expect_sound(rk_collection_t *c, const float *q, const rk_search_result_t *r, uint64_t n) {
    std::set<uint64_t> seen;
    for (uint64_t i = 0; i < n; ++i) {
        const rk_record_t *rec = nullptr;
        ASSERT_EQ(rk_collection_get_record(c, r[i].id, &rec), RK_OK) << "stale id " << r[i].id;
        EXPECT_TRUE(seen.insert(r[i].id).second) << "duplicate id " << r[i].id;
        EXPECT_EQ(r[i].distance, rk_vec_distance(q, rec->vector, c->dimension, int(c->metric)));
        if (i) {
            EXPECT_LE(r[i - 1].distance, r[i].distance);
        }
    }
}

TEST(CollectionIndex, ExplicitTypesGetWorkingDefaultsForAnySize) {
    for (int32_t type : {RK_INDEX_IVF, RK_INDEX_HNSW}) {
        for (size_t n : {1u, 2u, 7u, 300u}) {
            rk_collection_t *c = make(8, type, RK_METRIC_IP);
            ASSERT_NE(c, nullptr);
            ASSERT_NE(c->index, nullptr) << type;
            const std::vector<float> v = rows(n, 8, uint32_t(n));
            fill(c, v);
            ASSERT_EQ(rk_collection_build_index(c), RK_OK) << "type " << type << " n " << n;
            EXPECT_EQ(c->index_threshold, 0u);
            EXPECT_EQ(rk_collection_has_index(c), 1);
            rk_collection_stats_t st{};
            ASSERT_EQ(rk_collection_get_stats(c, &st), RK_OK);
            EXPECT_EQ(st.index_type, type);
            std::vector<rk_search_result_t> res(10);
            const uint64_t got = rk_collection_search(c, v.data(), nullptr, res.data());
            EXPECT_EQ(got, std::min<uint64_t>(n, 10));
            expect_sound(c, v.data(), res.data(), got);
            rk_collection_destroy(c);
        }
    }
}

TEST(CollectionIndex, BuildRebuildClearAndDrop) {
    rk_collection_t *c = make(4, RK_INDEX_FLAT);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->index, nullptr);
    EXPECT_EQ(rk_collection_build_index(c), RK_ERR_INVALID_ARG);  // empty
    EXPECT_EQ(rk_collection_build_index(nullptr), RK_ERR_INVALID_ARG);
    fill(c, rows(50, 4, 1));
    // No index: the default configuration (IVF) is built.
    ASSERT_EQ(rk_collection_build_index(c), RK_OK);
    EXPECT_EQ(rk_index_get_type(c->index), uint32_t(RK_INDEX_IVF));
    ASSERT_EQ(rk_collection_drop_index(c), RK_OK);
    EXPECT_EQ(c->index, nullptr);
    EXPECT_EQ(c->index_enabled, 0u);
    EXPECT_EQ(rk_collection_drop_index(nullptr), RK_ERR_INVALID_ARG);
    rk_collection_destroy(c);

    // Rebuild and clear recreate the type the collection was made with.
    c = make(4, RK_INDEX_HNSW, RK_METRIC_COSINE);
    fill(c, rows(60, 4, 2));
    ASSERT_EQ(rk_collection_rebuild_index(c), RK_OK);
    EXPECT_EQ(rk_index_get_type(c->index), uint32_t(RK_INDEX_HNSW));
    EXPECT_EQ(rk_index_get_ntotal(c->index), 60u);
    ASSERT_EQ(rk_collection_build_index(c), RK_OK);  // again: no duplicate entries
    EXPECT_EQ(rk_index_get_ntotal(c->index), 60u);
    ASSERT_EQ(rk_collection_clear(c), RK_OK);
    EXPECT_EQ(rk_index_get_type(c->index), uint32_t(RK_INDEX_HNSW));
    EXPECT_EQ(c->index_threshold, 0u);  // still active
    fill(c, rows(5, 4, 3));
    EXPECT_EQ(rk_index_get_ntotal(c->index), 5u);
    rk_collection_destroy(c);
}

TEST(CollectionIndex, ClearedIvfTrainsOnTheSpot) {
    rk_collection_t *c = make(6, RK_INDEX_IVF);
    fill(c, rows(100, 6, 4));
    ASSERT_EQ(rk_collection_build_index(c), RK_OK);
    ASSERT_EQ(rk_collection_clear(c), RK_OK);
    EXPECT_EQ(rk_index_is_trained(c->index), 0u);
    const std::vector<float> v = rows(3, 6, 5);
    fill(c, v);
    EXPECT_EQ(rk_index_is_trained(c->index), 1u);
    EXPECT_EQ(rk_index_get_ntotal(c->index), 3u);
    std::vector<rk_search_result_t> res(5);
    const uint64_t n = rk_collection_search(c, v.data(), nullptr, res.data());
    EXPECT_EQ(n, 3u);
    expect_sound(c, v.data(), res.data(), n);
    rk_collection_destroy(c);
}

TEST(CollectionIndex, SearchDropsStaleHitsAndMergesTheTopUp) {
    for (uint32_t metric : {0u, 1u, 2u}) {
        rk_collection_t *c = make(5, RK_INDEX_IVF, metric);  // IVF keeps removed ids in some builds
        const std::vector<float> v = rows(200, 5, 6 + metric);
        fill(c, v);
        ASSERT_EQ(rk_collection_build_index(c), RK_OK);
        // Delete the exact nearest neighbours of the query.
        const float *q = &v[17 * 5];
        const std::vector<uint64_t> near = exact_ids(c, q, 4);
        for (uint64_t id : near) ASSERT_EQ(rk_collection_delete(c, id), RK_OK);
        std::vector<rk_search_result_t> res(200);
        rk_search_params_t p{};
        p.k = 200;  // more than the index returns: the scan tops up
        p.include_vector = 1;
        const uint64_t n = rk_collection_search(c, q, &p, res.data());
        EXPECT_EQ(n, c->count);
        expect_sound(c, q, res.data(), n);
        for (uint64_t i = 0; i < n; ++i) EXPECT_EQ(std::count(near.begin(), near.end(), res[i].id), 0);
        rk_collection_destroy(c);
    }
}

// More index hits than one batch of re-measuring holds.
TEST(CollectionIndex, ManyIndexHitsAreAllMeasuredAgain) {
    rk_collection_t *c = make(6, RK_INDEX_HNSW, RK_METRIC_COSINE);
    const std::vector<float> v = rows(700, 6, 9);
    fill(c, v);
    ASSERT_EQ(rk_collection_build_index(c), RK_OK);
    std::vector<rk_search_result_t> res(600);
    rk_search_params_t p{};
    p.k = 600;
    const uint64_t n = rk_collection_search(c, &v[3 * 6], &p, res.data());
    EXPECT_EQ(n, 600u);
    expect_sound(c, &v[3 * 6], res.data(), n);
    rk_collection_destroy(c);
}

TEST(CollectionIndex, IncludeFlagsFillIndexHitsOnly) {
    rk_collection_t *c = make(3, RK_INDEX_HNSW);
    std::vector<float> v = rows(10, 3, 9);
    for (size_t i = 0; i < 10; ++i) {
        rk_meta_entry_t e{};
        e.key = rk_string_t{"i", 1};
        e.type = RK_META_INT32;
        e.value.i32 = int32_t(i);
        ASSERT_EQ(rk_collection_insert_with_meta(c, &v[i * 3], &e, 1, nullptr), RK_OK);
    }
    ASSERT_EQ(rk_collection_build_index(c), RK_OK);
    rk_search_result_t res[5];
    rk_search_params_t p{};
    p.k = 5;
    p.include_vector = 1;
    p.include_metadata = 1;
    const uint64_t n = rk_collection_search(c, v.data(), &p, res);
    ASSERT_EQ(n, 5u);
    for (uint64_t i = 0; i < n; ++i) {
        const rk_record_t *r = nullptr;
        ASSERT_EQ(rk_collection_get_record(c, res[i].id, &r), RK_OK);
        EXPECT_EQ(res[i].vector, r->vector);
        EXPECT_EQ(res[i].metadata, r->metadata);
        EXPECT_EQ(res[i].metadata_count, 1u);
    }
    p.include_vector = 0;
    p.include_metadata = 0;
    ASSERT_EQ(rk_collection_search(c, v.data(), &p, res), 5u);
    EXPECT_EQ(res[0].vector, nullptr);
    EXPECT_EQ(res[0].metadata, nullptr);
    rk_collection_destroy(c);
}

TEST(CollectionIndex, FilteredIndexSearchKeepsOnlyCandidates) {
    rk_collection_t *c = make(4, RK_INDEX_HNSW);
    std::vector<float> v = rows(300, 4, 10);
    for (size_t i = 0; i < 300; ++i) {
        rk_meta_entry_t e{};
        e.key = rk_string_t{"g", 1};
        e.type = RK_META_INT32;
        e.value.i32 = int32_t(i % 5);
        ASSERT_EQ(rk_collection_insert_with_meta(c, &v[i * 4], &e, 1, nullptr), RK_OK);
    }
    ASSERT_EQ(rk_collection_build_index(c), RK_OK);
    rk_filter_t f{};
    f.kind = RK_FILTER_CONDITION;
    f.key = "g";
    f.op = RK_FILTER_EQ;
    f.value.i32 = 3;
    rk_search_result_t res[20];
    const uint64_t n = rk_collection_search_filtered(c, v.data(), &f, 20, res);
    ASSERT_EQ(n, 20u);  // the scan makes up what the index's 20 hits lacked
    expect_sound(c, v.data(), res, n);
    for (uint64_t i = 0; i < n; ++i) EXPECT_EQ((res[i].id - 1) % 5, 3u);
    rk_collection_destroy(c);
}

// The steps of a typical request that concern a collection: created as a
// database would (HNSW, L2), records get ids from 1, a dormant index leaves
// the scan in charge, and after a build the index answers, topped up by the
// scan.
TEST(CollectionIndex, TypicalRequest) {
    rk_arena_t *arena = nullptr;
    ASSERT_EQ(rk_arena_create(0x4000000, &arena), RK_OK);
    rk_collection_config_t cfg{};
    cfg.name = rk_string_t{"docs", 4};
    cfg.dimension = 8;
    cfg.metric = RK_METRIC_L2;
    cfg.index_type = RK_INDEX_HNSW;
    rk_collection_t *c = rk_collection_create(arena, &cfg);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->capacity, 4096u);
    ASSERT_NE(c->index, nullptr);
    const std::vector<float> v = rows(500, 8, 11);
    uint64_t id = 0;
    ASSERT_EQ(rk_collection_insert(c, v.data(), &id), RK_OK);
    EXPECT_EQ(id, 1u);
    for (size_t i = 1; i < 500; ++i) ASSERT_EQ(rk_collection_insert(c, &v[i * 8], nullptr), RK_OK);
    EXPECT_EQ(rk_index_get_ntotal(c->index), 0u);  // dormant: fed nothing

    const float *q = &v[42 * 8];
    std::vector<rk_search_result_t> res(10);
    ASSERT_EQ(rk_collection_search(c, q, nullptr, res.data()), 10u);
    EXPECT_EQ(res[0].id, 43u);
    EXPECT_EQ(res[0].distance, 0.0f);
    const std::vector<uint64_t> want = exact_ids(c, q, 10);
    for (size_t i = 0; i < 10; ++i) EXPECT_EQ(res[i].id, want[i]);

    ASSERT_EQ(rk_collection_build_index(c), RK_OK);
    EXPECT_EQ(rk_index_get_ntotal(c->index), 500u);
    ASSERT_EQ(rk_collection_insert(c, q, &id), RK_OK);  // an active index is fed
    EXPECT_EQ(rk_index_get_ntotal(c->index), 501u);
    ASSERT_EQ(rk_collection_search(c, q, nullptr, res.data()), 10u);
    expect_sound(c, q, res.data(), 10);
    EXPECT_EQ(res[0].distance, 0.0f);
    EXPECT_TRUE(res[0].id == 43 || res[0].id == id);
    rk_collection_destroy(c);
    rk_arena_destroy(arena);
}

}  // namespace
