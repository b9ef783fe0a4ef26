// SPDX-License-Identifier: Apache-2.0
// The index object: creation rules, dispatch by type, removal on every type,
// ranking by the configured metric, and arena ownership.
#include <gtest/gtest.h>

#include <cfloat>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <vector>

#include "rk_error.h"
#include "rk_index.h"
#include "rk_memory.h"
#include "rk_platform.h"
#include "vector/kernels.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace {

constexpr uint32_t kDim = 8;

rk_index_config_t config_for(uint32_t type, uint32_t metric = RK_METRIC_L2) {
    rk_index_config_t c;
    std::memset(&c, 0, sizeof c);
    c.type = type;
    c.metric = metric;
    c.dimension = kDim;
    if (type % 2 == 1) {
        c.params.ivf.nlist = 4;
        c.params.ivf.nprobe = 4;  // every list: searches are exhaustive
        c.params.ivf.train_iterations = 5;
    } else {
        c.params.hnsw.m = 8;
        c.params.hnsw.ef_construction = 64;
        c.params.hnsw.ef_search = 64;
    }
    if (type == RK_INDEX_IVF_PQ || type == RK_INDEX_HNSW_PQ) {
        c.pq_m = 4;
        c.pq_nbits = 4;
    }
    return c;
}

// Rows of kDim non-integer floats from a fixed seed.
std::vector<float> random_rows(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> v(n * kDim);
    for (float &x : v) x = dist(gen);
    return v;
}

std::vector<uint64_t> ids_from(uint64_t first, size_t n) {
    std::vector<uint64_t> ids(n);
    for (size_t i = 0; i < n; ++i) ids[i] = first + i;
    return ids;
}

// A filled index of the given type in its own arena, its draws pinned.
rk_index_t *filled(uint32_t type, const std::vector<float> &rows, uint32_t metric = RK_METRIC_L2) {
    rk_srand(7);
    const rk_index_config_t c = config_for(type, metric);
    rk_index_t *ix = rk_index_create(nullptr, &c);
    if (!ix) return nullptr;
    const size_t n = rows.size() / kDim;
    EXPECT_EQ(rk_index_train(ix, rows.data(), n), RK_OK);
    const std::vector<uint64_t> ids = ids_from(1, n);
    EXPECT_EQ(rk_index_add_batch(ix, ids.data(), rows.data(), n), RK_OK);
    return ix;
}

std::vector<rk_index_result_t> search(rk_index_t *ix, const float *q, uint64_t k) {
    std::vector<rk_index_result_t> r(k);
    r.resize(rk_index_search(ix, q, k, r.data()));
    return r;
}

TEST(IndexCreate, RefusesTypesOutsideOneToSixAndBadConfigurations) {
    rk_arena_t *arena = nullptr;
    ASSERT_EQ(rk_arena_create(0, &arena), RK_OK);
    const size_t used = rk_arena_get_used_size(arena);
    for (uint32_t type : {0u, 7u, 100u}) {
        rk_index_config_t c = config_for(2);
        c.type = type;
        EXPECT_EQ(rk_index_create(arena, &c), nullptr) << type;
        EXPECT_EQ(rk_index_create(nullptr, &c), nullptr) << type;
    }
    EXPECT_EQ(rk_arena_get_used_size(arena), used);
    EXPECT_EQ(rk_index_create(arena, nullptr), nullptr);
    rk_index_config_t bad_metric = config_for(1, 3);
    EXPECT_EQ(rk_index_create(nullptr, &bad_metric), nullptr);
    rk_index_config_t no_dim = config_for(2);
    no_dim.dimension = 0;
    EXPECT_EQ(rk_index_create(nullptr, &no_dim), nullptr);
    rk_index_config_t no_lists = config_for(1);
    no_lists.params.ivf.nlist = 0;
    EXPECT_EQ(rk_index_create(nullptr, &no_lists), nullptr);
    rk_arena_destroy(arena);
}

TEST(IndexCreate, FreshIndexFigures) {
    const rk_index_config_t ivf = config_for(RK_INDEX_IVF);
    rk_index_config_t ivf5 = ivf;
    ivf5.params.ivf.nlist = 5;
    const rk_index_config_t hnsw = config_for(RK_INDEX_HNSW);
    rk_index_t *a = rk_index_create(nullptr, &ivf5);
    rk_index_t *b = rk_index_create(nullptr, &hnsw);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(rk_index_get_memory_usage(a), 352u);
    EXPECT_EQ(rk_index_get_memory_usage(b), 168u + 8u * 4096u);
    EXPECT_EQ(rk_index_is_trained(a), 0u);
    EXPECT_EQ(rk_index_is_trained(b), 1u);
    EXPECT_EQ(rk_index_get_dim(a), kDim);
    EXPECT_EQ(rk_index_get_type(b), static_cast<uint32_t>(RK_INDEX_HNSW));
    rk_index_stats_t s;
    std::memset(&s, 0xAB, sizeof s);
    ASSERT_EQ(rk_index_get_stats(a, &s), RK_OK);
    EXPECT_EQ(s.nlist, 5u);
    EXPECT_EQ(s.max_level, 0u);
    EXPECT_EQ(s.reserved0, 0u);
    EXPECT_EQ(s.reserved1, 0u);
    EXPECT_EQ(s.memory_bytes, 352u);
    EXPECT_EQ(rk_index_get_stats(a, nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_index_get_stats(nullptr, &s), RK_ERR_INVALID_ARG);
    rk_index_destroy(a);
    rk_index_destroy(b);
    rk_index_destroy(nullptr);
}

TEST(IndexCreate, NullIndexGettersAreNeutral) {
    float q[kDim] = {};
    rk_index_result_t r[2];
    uint64_t id = 1;
    EXPECT_EQ(rk_index_get_dim(nullptr), 0u);
    EXPECT_EQ(rk_index_get_ntotal(nullptr), 0u);
    EXPECT_EQ(rk_index_get_type(nullptr), 0u);
    EXPECT_EQ(rk_index_get_memory_usage(nullptr), 0u);
    EXPECT_EQ(rk_index_is_trained(nullptr), 0u);
    EXPECT_EQ(rk_index_search(nullptr, q, 2, r), 0u);
    EXPECT_EQ(rk_index_add(nullptr, 1, q), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_index_train(nullptr, q, 1), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_index_remove(nullptr, 1), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_index_remove_batch(nullptr, &id, 1), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_index_search_batch(nullptr, q, 1, 2, r), RK_ERR_INVALID_ARG);
}

TEST(IndexDispatch, TypeSixStoresNothingAndAnswersNothing) {
    const rk_index_config_t c = config_for(RK_INDEX_HNSW_SQ);
    rk_index_t *ix = rk_index_create(nullptr, &c);
    ASSERT_NE(ix, nullptr);
    const std::vector<float> rows = random_rows(4, 1);
    const std::vector<uint64_t> ids = ids_from(1, 4);
    EXPECT_EQ(rk_index_add_batch(ix, ids.data(), rows.data(), 4), RK_ERR_NOT_SUPPORTED);
    rk_index_result_t r[4];
    EXPECT_EQ(rk_index_search(ix, rows.data(), 4, r), 0u);
    EXPECT_EQ(rk_index_get_memory_usage(ix), 24u);
    EXPECT_EQ(rk_index_train(ix, rows.data(), 4), RK_OK);
    EXPECT_EQ(rk_index_remove(ix, 1), RK_OK);
    rk_index_destroy(ix);
}

TEST(IndexDispatch, UntrainedIvfRefusesAddsAndTrainingNeedsAsManyRowsAsLists) {
    const rk_index_config_t c = config_for(RK_INDEX_IVF_SQ);
    rk_index_t *ix = rk_index_create(nullptr, &c);
    ASSERT_NE(ix, nullptr);
    const std::vector<float> rows = random_rows(8, 2);
    EXPECT_EQ(rk_index_add(ix, 1, rows.data()), RK_ERR_INDEX_NOT_READY);
    EXPECT_EQ(rk_index_train(ix, rows.data(), 3), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_index_is_trained(ix), 0u);
    EXPECT_EQ(rk_index_train(ix, rows.data(), 0), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_index_train(ix, rows.data(), 8), RK_OK);
    EXPECT_EQ(rk_index_is_trained(ix), 1u);
    EXPECT_EQ(rk_index_add(ix, 1, rows.data()), RK_OK);
    EXPECT_EQ(rk_index_get_ntotal(ix), 1u);
    rk_index_destroy(ix);
}

TEST(IndexDispatch, BatchSearchMarksQueriesWithoutHits) {
    const rk_index_config_t c = config_for(RK_INDEX_HNSW);
    rk_index_t *ix = rk_index_create(nullptr, &c);
    ASSERT_NE(ix, nullptr);
    const std::vector<float> q = random_rows(3, 3);
    rk_index_result_t r[6];
    std::memset(r, 0, sizeof r);
    ASSERT_EQ(rk_index_search_batch(ix, q.data(), 3, 2, r), RK_OK);
    for (int i : {0, 2, 4}) {
        EXPECT_EQ(r[i].id, UINT64_MAX);
        EXPECT_EQ(r[i].distance, FLT_MAX);
    }
    EXPECT_EQ(r[1].id, 0u);
    EXPECT_EQ(rk_index_search_batch(ix, q.data(), 0, 2, r), RK_OK);
    rk_index_destroy(ix);
}

// IVF types rank the centroids for several queries at once: more queries
// than one such group, and than one group of the dispatcher, must still get
// the answers of one search each, bit for bit.
TEST(IndexDispatch, BatchSearchAnswersEachQueryIntoItsOwnSlots) {
    const std::vector<float> rows = random_rows(50, 4);
    const std::vector<float> queries = random_rows(70, 9);
    for (uint32_t metric : {RK_METRIC_L2, RK_METRIC_IP, RK_METRIC_COSINE}) {
        for (uint32_t type : {1u, 2u, 3u, 4u, 5u}) {
            SCOPED_TRACE(testing::Message() << "type " << type << ", metric " << metric);
            rk_index_t *ix = filled(type, rows, metric);
            ASSERT_NE(ix, nullptr);
            // Two of the four lists: which two depends on each query's ranking.
            if (type % 2 == 1) {
                ASSERT_EQ(rk_index_set_nprobe(ix, 2), RK_OK);
            }
            constexpr uint64_t k = 3;
            std::vector<rk_index_result_t> batch(70 * k);
            ASSERT_EQ(rk_index_search_batch(ix, queries.data(), 70, k, batch.data()), RK_OK);
            for (uint64_t i = 0; i < 70; ++i) {
                const auto one = search(ix, queries.data() + i * kDim, k);
                ASSERT_EQ(one.size(), k);
                for (uint64_t j = 0; j < k; ++j) {
                    EXPECT_EQ(batch[i * k + j].id, one[j].id);
                    EXPECT_EQ(batch[i * k + j].distance, one[j].distance);
                }
            }
            rk_index_destroy(ix);
        }
    }
}

// A removed id must never come back from a search, whatever the type, while
// ntotal keeps counting insertions.
TEST(IndexRemove, RemovedIdsAreNeverReturnedByAnyType) {
    const std::vector<float> rows = random_rows(60, 5);
    for (uint32_t type : {1u, 2u, 3u, 4u, 5u}) {
        SCOPED_TRACE(type);
        rk_index_t *ix = filled(type, rows);
        ASSERT_NE(ix, nullptr);
        const uint64_t before = rk_index_get_ntotal(ix);
        // Each row finds itself first; remove ids 1, 2 (the entry point of the
        // graph types is among the first) and 30.
        const uint64_t gone[] = {1, 2, 30};
        ASSERT_EQ(rk_index_remove_batch(ix, gone, 3), RK_OK);
        EXPECT_EQ(rk_index_remove(ix, 999), RK_OK);
        EXPECT_EQ(rk_index_get_ntotal(ix), before);
        for (uint64_t id : gone) {
            const auto hits = search(ix, rows.data() + (id - 1) * kDim, 60);
            EXPECT_FALSE(hits.empty());
            for (const auto &h : hits) EXPECT_NE(h.id, id);
        }
        const auto all = search(ix, rows.data() + 10 * kDim, 60);
        std::set<uint64_t> seen;
        for (const auto &h : all) seen.insert(h.id);
        EXPECT_EQ(seen.count(1) + seen.count(2) + seen.count(30), 0u);
        rk_index_destroy(ix);
    }
}

TEST(IndexRemove, RemovingEveryNodeEmptiesTheGraphAndReinsertionWorks) {
    const std::vector<float> rows = random_rows(10, 6);
    rk_index_t *ix = filled(RK_INDEX_HNSW, rows);
    ASSERT_NE(ix, nullptr);
    const std::vector<uint64_t> ids = ids_from(1, 10);
    ASSERT_EQ(rk_index_remove_batch(ix, ids.data(), 10), RK_OK);
    EXPECT_TRUE(search(ix, rows.data(), 5).empty());
    EXPECT_EQ(rk_index_get_ntotal(ix), 10u);
    ASSERT_EQ(rk_index_add(ix, 3, rows.data() + 2 * kDim), RK_OK);
    const auto hits = search(ix, rows.data() + 2 * kDim, 5);
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0].id, 3u);
    EXPECT_EQ(hits[0].distance, 0.0f);
    rk_index_destroy(ix);
}

TEST(IndexDispatch, GraphIdsBeyondTheSlotLimitAreRefused) {
    const rk_index_config_t c = config_for(RK_INDEX_HNSW);
    rk_index_t *ix = rk_index_create(nullptr, &c);
    ASSERT_NE(ix, nullptr);
    const std::vector<float> v = random_rows(1, 14);
    EXPECT_EQ(rk_index_add(ix, UINT64_MAX, v.data()), RK_ERR_TOO_LARGE);
    EXPECT_EQ(rk_index_add(ix, uint64_t{1} << 40, v.data()), RK_ERR_TOO_LARGE);
    EXPECT_EQ(rk_index_get_ntotal(ix), 0u);
    EXPECT_EQ(rk_index_add(ix, 5000, v.data()), RK_OK);
    EXPECT_EQ(rk_index_get_memory_usage(ix), 168u + 8u * 10002u);
    rk_index_destroy(ix);
}

// The distance every hit reports, recomputed for the configured metric.
float metric_distance(uint32_t metric, const float *q, const float *v) {
    if (metric == RK_METRIC_L2) return rk::kern::l2sq(q, v, kDim);
    return -rk::kern::dot(q, v, kDim);
}

// Every hit carries the configured metric's distance to its own vector and
// hits come nearest first. IVF probing every list is exact; the graph finds
// most of the true neighbours.
TEST(IndexMetric, FloatTypesRankByTheConfiguredMetric) {
    const std::vector<float> rows = random_rows(40, 8);
    const std::vector<float> queries = random_rows(5, 9);
    for (uint32_t type : {1u, 2u}) {
        for (uint32_t metric : {0u, 1u}) {
            SCOPED_TRACE(testing::Message() << "type " << type << " metric " << metric);
            rk_index_t *ix = filled(type, rows, metric);
            ASSERT_NE(ix, nullptr);
            size_t found = 0;
            for (int qi = 0; qi < 5; ++qi) {
                const float *q = queries.data() + qi * kDim;
                std::vector<std::pair<float, uint64_t>> truth;
                for (uint64_t i = 0; i < 40; ++i)
                    truth.push_back({metric_distance(metric, q, rows.data() + i * kDim), i + 1});
                std::sort(truth.begin(), truth.end());
                const auto hits = search(ix, q, 5);
                ASSERT_EQ(hits.size(), 5u);
                for (size_t j = 0; j < 5; ++j) {
                    ASSERT_GE(hits[j].id, 1u);
                    ASSERT_LE(hits[j].id, 40u);
                    EXPECT_FLOAT_EQ(hits[j].distance,
                                    metric_distance(metric, q, rows.data() + (hits[j].id - 1) * kDim));
                    if (j > 0) {
                        EXPECT_LE(hits[j - 1].distance, hits[j].distance);
                    }
                    for (size_t t = 0; t < 5; ++t) found += hits[j].id == truth[t].second;
                    if (type == RK_INDEX_IVF) {
                        EXPECT_EQ(hits[j].id, truth[j].second);
                    }
                }
            }
            EXPECT_GE(found, 12u);  // recall of the top 5 over five queries
            rk_index_destroy(ix);
        }
    }
}

TEST(IndexMetric, CosineIgnoresVectorLength) {
    for (uint32_t type : {1u, 2u}) {
        SCOPED_TRACE(type);
        std::vector<float> rows = random_rows(20, 10);
        // Row 5 scaled far out: under cosine it is still its own nearest.
        for (uint32_t d = 0; d < kDim; ++d) rows[4 * kDim + d] *= 50.0f;
        rk_index_t *ix = filled(type, rows, RK_METRIC_COSINE);
        ASSERT_NE(ix, nullptr);
        std::vector<float> q(rows.begin() + 4 * kDim, rows.begin() + 5 * kDim);
        for (float &x : q) x *= 0.01f;
        const auto hits = search(ix, q.data(), 1);
        ASSERT_EQ(hits.size(), 1u);
        EXPECT_EQ(hits[0].id, 5u);
        EXPECT_NEAR(hits[0].distance, 0.0f, 1e-5f);
        rk_index_destroy(ix);
    }
}

// Type 3 whose product quantiser could not be made stores float vectors and
// answers as type 1 does.
TEST(IndexDispatch, IvfPqWithoutQuantiserBehavesLikeIvf) {
    const std::vector<float> rows = random_rows(30, 11);
    rk_srand(3);
    rk_index_config_t c = config_for(RK_INDEX_IVF_PQ);
    c.pq_m = 0;
    rk_index_t *pq = rk_index_create(nullptr, &c);
    ASSERT_NE(pq, nullptr);
    ASSERT_EQ(rk_index_train(pq, rows.data(), 30), RK_OK);
    const std::vector<uint64_t> ids = ids_from(1, 30);
    ASSERT_EQ(rk_index_add_batch(pq, ids.data(), rows.data(), 30), RK_OK);
    rk_srand(3);
    const rk_index_config_t c1 = config_for(RK_INDEX_IVF);
    rk_index_t *ivf = rk_index_create(nullptr, &c1);
    ASSERT_EQ(rk_index_train(ivf, rows.data(), 30), RK_OK);
    ASSERT_EQ(rk_index_add_batch(ivf, ids.data(), rows.data(), 30), RK_OK);
    const auto a = search(pq, rows.data() + 3 * kDim, 6);
    const auto b = search(ivf, rows.data() + 3 * kDim, 6);
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(a[i].id, b[i].id);
        EXPECT_EQ(a[i].distance, b[i].distance);
    }
    rk_index_destroy(pq);
    rk_index_destroy(ivf);
}

// ---- arena ownership ---------------------------------------------------------

struct Outstanding {
    long live = 0;
};
void *count_malloc(size_t n, void *ud) {
    ++static_cast<Outstanding *>(ud)->live;
    return std::malloc(n);
}
void *count_realloc(void *p, size_t n, void *ud) {
    if (!p) ++static_cast<Outstanding *>(ud)->live;
    return std::realloc(p, n);
}
void count_free(void *p, void *ud) {
    if (p) --static_cast<Outstanding *>(ud)->live;
    std::free(p);
}

size_t heap_in_use() {
#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__)
    return mallinfo2().uordblks;
#else
    return 0;  // sanitizer builds check the same through leak detection
#endif
}

// Rebuilding an index over and over (as a collection does) must not pile up
// arenas or locks.
TEST(IndexArena, DestroyReleasesTheArenaCreateMadeSoRebuildsDoNotGrow) {
    const rk_allocator_t saved = *rk_get_allocator();
    Outstanding count;
    const rk_allocator_t hooks = {count_malloc, count_realloc, count_free, &count};
    ASSERT_EQ(rk_set_allocator(&hooks), RK_OK);
    const std::vector<float> rows = random_rows(20, 12);
    size_t baseline = 0;
    for (int round = 0; round < 60; ++round) {
        for (uint32_t type = 1; type <= 6; ++type) {
            const rk_index_config_t c = config_for(type);
            rk_index_t *ix = rk_index_create(nullptr, &c);
            ASSERT_NE(ix, nullptr);
            if (type != RK_INDEX_HNSW_SQ) {
                ASSERT_EQ(rk_index_train(ix, rows.data(), 20), RK_OK);
                const std::vector<uint64_t> ids = ids_from(1, 20);
                ASSERT_EQ(rk_index_add_batch(ix, ids.data(), rows.data(), 20), RK_OK);
            }
            rk_index_destroy(ix);
        }
        if (round == 2) baseline = heap_in_use();
    }
    EXPECT_EQ(count.live, 0);
    // 57 further rounds of six 4 MiB arenas would be over a gigabyte.
    EXPECT_LT(heap_in_use(), baseline + (8u << 20));
    ASSERT_EQ(rk_set_allocator(&saved), RK_OK);
}

TEST(IndexArena, DestroyNeverTouchesTheCallersArena) {
    rk_arena_t *arena = nullptr;
    ASSERT_EQ(rk_arena_create(0, &arena), RK_OK);
    const std::vector<float> rows = random_rows(20, 13);
    for (uint32_t type = 1; type <= 6; ++type) {
        const rk_index_config_t c = config_for(type);
        rk_index_t *ix = rk_index_create(arena, &c);
        ASSERT_NE(ix, nullptr);
        if (type != RK_INDEX_HNSW_SQ) {
            ASSERT_EQ(rk_index_train(ix, rows.data(), 20), RK_OK);
            ASSERT_EQ(rk_index_add(ix, 1, rows.data()), RK_OK);
        }
        const size_t used = rk_arena_get_used_size(arena);
        const size_t blocks = rk_arena_get_block_count(arena);
        rk_index_destroy(ix);
        EXPECT_EQ(rk_arena_get_used_size(arena), used);
        EXPECT_EQ(rk_arena_get_block_count(arena), blocks);
    }
    EXPECT_NE(rk_arena_alloc(arena, 64), nullptr);
    rk_arena_destroy(arena);
}

}  // namespace
