// SPDX-License-Identifier: Apache-2.0
// The exhaustive scan against a plain reference: every candidate measured
// with rk_vec_distance, ordered by the selection sort (ties included), for
// every metric, with and without filters, contiguous and scattered vectors.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "collection/internal.h"
#include "collection/select.h"
#include "rk_collection.h"
#include "rk_vector.h"
#include "support/float_bits.h"

namespace {

struct Ref {
    uint64_t id;
    float dist;
};

// The selection ordering written the obvious way.
std::vector<Ref> reference(rk_collection_t *c, const float *q, const rk_filter_t *filter, uint64_t k) {
    std::vector<Ref> p;
    for (uint64_t i = 0; i < c->count; ++i) {
        const rk_record_t &r = c->records[i];
        if (rk::coll::filter_match(&r, filter))
            p.push_back({r.id, rk_vec_distance(q, r.vector, c->dimension, int(c->metric))});
    }
    const size_t m = std::min<size_t>(k, p.size());
    for (size_t j = 0; j < m; ++j) {
        size_t best = j;
        for (size_t i = j + 1; i < p.size(); ++i)
            if (p[i].dist < p[best].dist) best = i;
        std::swap(p[j], p[best]);
    }
    p.resize(m);
    return p;
}

using rk_test::bits;

void expect_same(rk_collection_t *c, const float *q, const rk_filter_t *filter, uint64_t k) {
    const std::vector<Ref> want = reference(c, q, filter, k);
    std::vector<rk_search_result_t> got(k + 1);
    rk_search_params_t p{};
    p.k = k;
    p.filter = filter;
    p.include_vector = 1;
    const uint64_t n = rk_collection_search(c, q, &p, got.data());
    ASSERT_EQ(n, want.size()) << "k=" << k;
    for (size_t i = 0; i < n; ++i) {
        ASSERT_EQ(got[i].id, want[i].id) << "k=" << k << " rank " << i;
        ASSERT_EQ(bits(got[i].distance), bits(want[i].dist)) << "rank " << i;
        EXPECT_EQ(got[i].vector, nullptr);  // the scan does not fill vectors
        EXPECT_EQ(got[i].metadata, nullptr);
    }
}

// Collection whose vectors come from a small palette, so many distances tie
// exactly, and whose records alternate with and without metadata (scattered
// vectors) in its second half.
rk_collection_t *tied_collection(uint32_t dim, uint32_t metric, int n, std::mt19937 &rng) {
    rk_collection_config_t cfg{};
    cfg.dimension = dim;
    cfg.metric = metric;
    rk_collection_t *c = rk_collection_create(nullptr, &cfg);
    std::uniform_int_distribution<int> pick(0, 5);
    std::normal_distribution<float> g;
    std::vector<std::vector<float>> palette(6, std::vector<float>(dim));
    for (auto &v : palette)
        for (auto &x : v) x = g(rng);
    for (int i = 0; i < n; ++i) {
        rk_meta_entry_t e{};
        e.key = rk_string_t{"odd", 3};
        e.type = RK_META_INT32;
        e.value.i32 = i % 2;
        const bool meta = i >= n / 2;
        EXPECT_EQ(
            rk_collection_insert_with_meta(c, palette[pick(rng)].data(), meta ? &e : nullptr, meta, nullptr),
            RK_OK);
    }
    return c;
}

TEST(CollectionScan, MatchesSelectionOrderWithTies) {
    std::mt19937 rng(7);
    for (uint32_t metric : {0u, 1u, 2u, 7u}) {
        // Enough rows for the scan to measure several chunks, each with the
        // next chunk's first rows passed along.
        rk_collection_t *c = tied_collection(13, metric, 2600, rng);
        // Delete a few to break contiguous runs.
        for (uint64_t id = 5; id < 2600; id += 97) ASSERT_EQ(rk_collection_delete(c, id), RK_OK);
        rk_filter_t odd{};
        odd.kind = RK_FILTER_CONDITION;
        odd.key = "odd";
        odd.op = RK_FILTER_NE;
        odd.value.i32 = 1;
        std::vector<float> q(13);
        std::normal_distribution<float> g;
        for (auto &x : q) x = g(rng);
        for (uint64_t k : {1u, 2u, 10u, 37u, 300u, 5000u}) {
            expect_same(c, q.data(), nullptr, k);
            expect_same(c, q.data(), &odd, k);
        }
        // A query equal to a stored vector: exact zero distances tie too.
        expect_same(c, c->records[3].vector, nullptr, 50);
        rk_collection_destroy(c);
    }
}

TEST(CollectionScan, NonFiniteDistancesFallBackToTheSelectionItself) {
    std::mt19937 rng(3);
    rk_collection_t *c = tied_collection(4, RK_METRIC_L2, 300, rng);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    float odd[4] = {nan, 0, 0, 0};
    ASSERT_EQ(rk_collection_upsert(c, 20, odd), RK_OK);
    float big[4] = {inf, 0, 0, 0};
    ASSERT_EQ(rk_collection_upsert(c, 40, big), RK_OK);
    float q[4] = {0.5f, 0, 0, 0};
    for (uint64_t k : {1u, 5u, 25u}) expect_same(c, q, nullptr, k);
    float qnan[4] = {nan, 1, 1, 1};
    expect_same(c, qnan, nullptr, 5);
    rk_collection_destroy(c);
}

TEST(CollectionScan, SelectorAgreesWithLiteralSelectionOnRandomStreams) {
    std::mt19937 rng(11);
    for (int round = 0; round < 300; ++round) {
        const uint64_t n = 1 + rng() % 200, cap = 1 + rng() % 30;
        std::vector<rk::coll::Pair> all(n);
        for (uint64_t i = 0; i < n; ++i) all[i] = {i, float(rng() % 6)};
        rk::coll::TopSelector top;
        ASSERT_TRUE(top.init(cap));
        for (auto &p : all) top.push(p.id, p.dist);
        std::vector<rk::coll::Pair> got(cap);
        const uint64_t m = top.finish(got.data());
        rk::coll::select_literal(all.data(), n, cap);
        ASSERT_EQ(m, std::min(n, cap));
        for (uint64_t i = 0; i < m; ++i)
            ASSERT_EQ(got[i].id, all[i].id) << "round " << round << " rank " << i;
    }
}

TEST(CollectionScan, EdgeCases) {
    rk_collection_config_t cfg{};
    cfg.dimension = 2;
    rk_collection_t *c = rk_collection_create(nullptr, &cfg);
    const float v[3][2] = {{3, 0}, {1, 0}, {2, 0}};
    for (auto &row : v) ASSERT_EQ(rk_collection_insert(c, row, nullptr), RK_OK);
    rk_search_result_t res[12];
    const float q[2] = {0, 0};
    rk_search_params_t p{};
    p.k = 10;
    ASSERT_EQ(rk_collection_search(c, q, &p, res), 3u);
    EXPECT_EQ(res[0].id, 2u);
    EXPECT_EQ(res[1].id, 3u);
    EXPECT_EQ(res[2].id, 1u);
    EXPECT_EQ(res[2].distance, 9.0f);  // squared L2
    p.k = 0;
    EXPECT_EQ(rk_collection_search(c, q, &p, res), 0u);
    EXPECT_EQ(rk_collection_search(nullptr, q, nullptr, res), 0u);
    EXPECT_EQ(rk_collection_search(c, nullptr, nullptr, res), 0u);
    EXPECT_EQ(rk_collection_search(c, q, nullptr, nullptr), 0u);
    for (int i = 0; i < 20; ++i) ASSERT_EQ(rk_collection_insert(c, v[0], nullptr), RK_OK);
    EXPECT_EQ(rk_collection_search(c, q, nullptr, res), 10u);  // null options: k 10

    // Search by id: the record itself comes first at distance 0.
    ASSERT_EQ(rk_collection_search_by_id(c, 3, nullptr, res), 10u);
    EXPECT_EQ(res[0].id, 3u);
    EXPECT_EQ(res[0].distance, 0.0f);
    EXPECT_EQ(rk_collection_search_by_id(c, 999, nullptr, res), 0u);
    EXPECT_EQ(rk_collection_search_by_id(nullptr, 1, nullptr, res), 0u);
    rk_collection_destroy(c);
}

}  // namespace
