// SPDX-License-Identifier: Apache-2.0
// Batch search: every query answered bit for bit as a single search would
// answer it, on any number of threads, with the argument checks; and batches
// running beside a writer (the TSan run picks the Concurrency suite up).
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "rk_collection.h"
#include "rk_database.h"

namespace {

constexpr uint32_t kDim = 12;

rk_collection_t *make(int32_t type, uint32_t metric) {
    rk_collection_config_t cfg{};
    cfg.name = rk_string_t{"b", 1};
    cfg.dimension = kDim;
    cfg.metric = metric;
    cfg.index_type = type;
    return rk_collection_create(nullptr, &cfg);
}

std::vector<float> rows(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> g;
    std::vector<float> v(n * kDim);
    for (auto &x : v) x = g(rng);
    return v;
}

// Records carry "tag" = i % 5, so filters keep a fifth of them.
void fill(rk_collection_t *c, const std::vector<float> &v) {
    for (size_t i = 0; i < v.size() / kDim; ++i) {
        rk_meta_entry_t e{};
        e.key = rk_string_t{"tag", 3};
        e.type = RK_META_INT32;
        e.value.i32 = int32_t(i % 5);
        ASSERT_EQ(rk_collection_insert_with_meta(c, &v[i * kDim], &e, 1, nullptr), RK_OK);
    }
}

rk_filter_t tag_is(int32_t t) {
    rk_filter_t f{};
    f.kind = 3;
    f.key = "tag";
    f.op = RK_FILTER_EQ;
    f.value.i32 = t;
    return f;
}

bool same(const rk_search_result_t &a, const rk_search_result_t &b) {
    return a.id == b.id && std::memcmp(&a.distance, &b.distance, sizeof(float)) == 0 && a.vector == b.vector &&
           a.metadata == b.metadata && a.metadata_count == b.metadata_count;
}

// The batch against nq single searches for one set of options.
void expect_batch_matches_singles(rk_collection_t *c, const std::vector<float> &q, const rk_search_params_t &p,
                                  uint32_t effort) {
    const uint64_t nq = q.size() / kDim;
    std::vector<rk_search_result_t> one(p.k);
    std::vector<std::vector<rk_search_result_t>> want(nq);
    std::vector<uint64_t> want_n(nq);
    for (uint64_t i = 0; i < nq; ++i) {
        ASSERT_EQ(rk_collection_search_ex(c, &q[i * kDim], &p, effort, one.data(), &want_n[i]), RK_OK);
        want[i].assign(one.begin(), one.begin() + long(want_n[i]));
    }
    for (uint32_t threads : {1u, 2u, 3u, 0u}) {
        std::vector<rk_search_result_t> got(nq * p.k);
        std::vector<uint64_t> counts(nq, 99);
        ASSERT_EQ(rk_collection_search_batch(c, q.data(), nq, &p, effort, threads, got.data(), counts.data()),
                  RK_OK);
        for (uint64_t i = 0; i < nq; ++i) {
            ASSERT_EQ(counts[i], want_n[i]) << "query " << i << " threads " << threads;
            for (uint64_t j = 0; j < counts[i]; ++j)
                EXPECT_TRUE(same(got[i * p.k + j], want[i][j])) << "query " << i << " hit " << j;
        }
    }
}

TEST(BatchSearch, BitIdenticalToSingleSearchesOnEveryPath) {
    struct Case {
        int32_t type;
        uint32_t metric;
    };
    for (const Case cs : {Case{RK_INDEX_FLAT, RK_METRIC_L2}, Case{RK_INDEX_FLAT, RK_METRIC_COSINE},
                          Case{RK_INDEX_HNSW, RK_METRIC_L2}, Case{RK_INDEX_HNSW, RK_METRIC_IP},
                          Case{RK_INDEX_IVF, RK_METRIC_L2}, Case{RK_INDEX_IVF, RK_METRIC_COSINE}}) {
        rk_collection_t *c = make(cs.type, cs.metric);
        ASSERT_NE(c, nullptr);
        fill(c, rows(600, 1 + uint32_t(cs.type)));
        if (cs.type != RK_INDEX_FLAT) {
            ASSERT_EQ(rk_collection_build_index(c), RK_OK);
        }
        const std::vector<float> q = rows(37, 99);
        const rk_filter_t f = tag_is(2);
        rk_search_params_t p{};
        p.k = 10;
        expect_batch_matches_singles(c, q, p, 0);
        // IVF answers unfiltered queries of a batch together: with a
        // per-call nprobe, and asking for more than the collection holds.
        expect_batch_matches_singles(c, q, p, 2);
        p.k = 700;
        expect_batch_matches_singles(c, q, p, 0);
        p.k = 10;
        p.filter = &f;
        p.include_vector = 1;
        p.include_metadata = 1;
        expect_batch_matches_singles(c, q, p, 0);
        p.k = 150;  // more than the filter lets through: the top-up fills in
        expect_batch_matches_singles(c, q, p, cs.type == RK_INDEX_FLAT ? 0 : 8);
        rk_collection_destroy(c);
    }
}

TEST(BatchSearch, ArgumentsAndEdges) {
    rk_collection_t *c = make(RK_INDEX_FLAT, RK_METRIC_L2);
    fill(c, rows(5, 3));
    const std::vector<float> q = rows(3, 4);
    std::vector<rk_search_result_t> res(30);
    std::vector<uint64_t> counts(3, 7);
    EXPECT_EQ(rk_collection_search_batch(nullptr, q.data(), 3, nullptr, 0, 1, res.data(), counts.data()),
              RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_collection_search_batch(c, nullptr, 3, nullptr, 0, 1, res.data(), counts.data()),
              RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_collection_search_batch(c, q.data(), 3, nullptr, 0, 1, nullptr, counts.data()),
              RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_collection_search_batch(c, q.data(), 3, nullptr, 0, 1, res.data(), nullptr), RK_ERR_INVALID_ARG);
    rk_search_params_t huge{};
    huge.k = UINT64_MAX / 2;
    EXPECT_EQ(rk_collection_search_batch(c, q.data(), 3, &huge, 0, 1, res.data(), counts.data()),
              RK_ERR_INVALID_ARG);
    // Null options: k 10, so a 5-record collection answers 5 each.
    ASSERT_EQ(rk_collection_search_batch(c, q.data(), 3, nullptr, 0, 8, res.data(), counts.data()), RK_OK);
    for (uint64_t n : counts) EXPECT_EQ(n, 5u);
    rk_search_params_t zero{};
    ASSERT_EQ(rk_collection_search_batch(c, q.data(), 3, &zero, 0, 2, res.data(), counts.data()), RK_OK);
    for (uint64_t n : counts) EXPECT_EQ(n, 0u);
    EXPECT_EQ(rk_collection_search_batch(c, q.data(), 0, nullptr, 0, 2, res.data(), counts.data()), RK_OK);
    rk_collection_destroy(c);
}

TEST(BatchSearch, ByNameMatchesSingleByNameSearches) {
    rk_vecdb_t *db = nullptr;
    ASSERT_EQ(rk_vecdb_open(nullptr, 0, &db), RK_OK);
    const rk_string_t name{"v", 1};
    const std::vector<float> v = rows(300, 5);
    ASSERT_EQ(rk_vecdb_insert_batch(db, &name, v.data(), kDim, 300, nullptr), RK_OK);
    ASSERT_EQ(rk_collection_build_index(rk_vecdb_get_collection(db, &name)), RK_OK);
    const std::vector<float> q = rows(9, 6);
    rk_search_params_t p{};
    p.k = 7;
    std::vector<rk_vecdb_result_t> got(9 * 7);
    std::vector<uint64_t> counts(9);
    ASSERT_EQ(rk_vecdb_search_batch(db, &name, q.data(), kDim, 9, &p, 2, got.data(), counts.data()), RK_OK);
    for (uint64_t i = 0; i < 9; ++i) {
        rk_vecdb_result_t one[7];
        const uint64_t n = rk_vecdb_search(db, &name, &q[i * kDim], kDim, 7, one);
        ASSERT_EQ(counts[i], n);
        for (uint64_t j = 0; j < n; ++j) {
            EXPECT_EQ(got[i * 7 + j].id, one[j].id);
            EXPECT_EQ(std::memcmp(&got[i * 7 + j].distance, &one[j].distance, sizeof(float)), 0);
        }
    }
    const rk_string_t missing{"nope", 4};
    EXPECT_EQ(rk_vecdb_search_batch(db, &missing, q.data(), kDim, 9, &p, 2, got.data(), counts.data()),
              RK_ERR_NOT_FOUND);
    EXPECT_EQ(rk_vecdb_search_batch(db, &name, q.data(), kDim + 1, 9, &p, 2, got.data(), counts.data()),
              RK_ERR_DIMENSION);
    EXPECT_EQ(counts[0], 0u);
    EXPECT_EQ(rk_vecdb_search_batch(nullptr, &name, q.data(), kDim, 9, &p, 2, got.data(), counts.data()),
              RK_ERR_INVALID_ARG);
    ASSERT_EQ(rk_vecdb_close(db), RK_OK);
}

// Batches on two threads each, beside a thread inserting and deleting: every
// answer is sound (sorted, no duplicates) and no access races.
TEST(BatchSearchConcurrency, BatchesBesideAWriter) {
    for (int32_t type : {RK_INDEX_FLAT, RK_INDEX_HNSW}) {
        rk_collection_t *c = make(type, RK_METRIC_L2);
        fill(c, rows(200, 7));
        if (type != RK_INDEX_FLAT) {
            ASSERT_EQ(rk_collection_build_index(c), RK_OK);
        }
        std::atomic<bool> done{false};
        std::atomic<int> faults{0};
        std::thread writer([&] {
            const std::vector<float> more = rows(150, 8);
            for (size_t i = 0; i < 150; ++i) {
                uint64_t id = 0;
                if (rk_collection_insert(c, &more[i * kDim], &id) != RK_OK) faults++;
                if (i % 3 == 0 && rk_collection_delete(c, id - 1) != RK_OK) faults++;
            }
            done.store(true);
        });
        auto reader = [&](uint32_t seed) {
            const std::vector<float> q = rows(16, seed);
            const rk_filter_t f = tag_is(1);
            rk_search_params_t p{};
            p.k = 8;
            std::vector<rk_search_result_t> res(16 * 8);
            std::vector<uint64_t> counts(16);
            do {
                p.filter = p.filter ? nullptr : &f;
                if (rk_collection_search_batch(c, q.data(), 16, &p, 0, 2, res.data(), counts.data()) != RK_OK)
                    faults++;
                for (uint64_t i = 0; i < 16; ++i) {
                    if (counts[i] != 8) faults++;
                    for (uint64_t j = 1; j < counts[i]; ++j) {
                        if (res[i * 8 + j].distance < res[i * 8 + j - 1].distance) faults++;
                        if (res[i * 8 + j].id == res[i * 8 + j - 1].id) faults++;
                    }
                }
            } while (!done.load());
        };
        std::thread r1(reader, 11), r2(reader, 12);
        writer.join();
        r1.join();
        r2.join();
        EXPECT_EQ(faults.load(), 0) << "type " << type;
        rk_collection_destroy(c);
    }
}

}  // namespace
