// SPDX-License-Identifier: Apache-2.0
// Search effort seen from a collection: which collections have which
// setting, the live index following it, rebuilds and clears keeping it,
// rk_collection_search_ex against the stored setting, its fields, its
// refusals and its allocation failures, and settings changed mid-search.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "rk_collection.h"
#include "rk_index.h"
#include "support/alloc_faults.h"
#include "support/float_bits.h"

namespace {

using rk_test::bits;

constexpr uint32_t kDim = 12;
constexpr size_t kRows = 600;

rk_collection_t *make(int32_t type) {
    rk_collection_config_t cfg{};
    cfg.name = rk_string_t{"e", 1};
    cfg.dimension = kDim;
    cfg.metric = RK_METRIC_L2;
    cfg.index_type = type;
    return rk_collection_create(nullptr, &cfg);
}

std::vector<float> rows(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> g(0.0f, 1.3f);
    std::vector<float> v(n * kDim);
    for (float &x : v) x = g(rng);
    return v;
}

// Every record carries one metadata entry, "n" = its position.
void fill(rk_collection_t *c, const std::vector<float> &v) {
    for (size_t i = 0; i < v.size() / kDim; ++i) {
        rk_meta_entry_t e{};
        e.key = rk_string_t{"n", 1};
        e.type = RK_META_INT32;
        e.value.i32 = int32_t(i);
        ASSERT_EQ(rk_collection_insert_with_meta(c, &v[i * kDim], &e, 1, nullptr), RK_OK);
    }
}

// A built collection of the given index type over kRows rows.
rk_collection_t *built(int32_t type) {
    rk_collection_t *c = make(type);
    EXPECT_NE(c, nullptr);
    if (!c) return nullptr;
    fill(c, rows(kRows, 3));
    EXPECT_EQ(rk_collection_build_index(c), RK_OK);
    return c;
}

struct Answer {
    rk_status_t status;
    std::vector<rk_search_result_t> hits;
};

Answer search_ex(rk_collection_t *c, const float *q, uint64_t k, uint32_t effort, uint32_t vec = 0,
                 uint32_t meta = 0) {
    rk_search_params_t p{};
    p.k = k;
    p.include_vector = vec;
    p.include_metadata = meta;
    Answer a;
    a.hits.resize(k);
    uint64_t n = 12345;
    a.status = rk_collection_search_ex(c, q, &p, effort, a.hits.data(), &n);
    a.hits.resize(n);
    return a;
}

void expect_same(const std::vector<rk_search_result_t> &a, const std::vector<rk_search_result_t> &b) {
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(a[i].id, b[i].id) << "rank " << i;
        EXPECT_EQ(bits(a[i].distance), bits(b[i].distance)) << "rank " << i;
    }
}

TEST(CollectionEffort, EachSettingBelongsToTheIndexFamily) {
    uint32_t out = 0xBEEF;
    rk_collection_t *hnsw = make(RK_INDEX_HNSW);
    EXPECT_EQ(rk_collection_set_ef_search(hnsw, 44), RK_OK);
    EXPECT_EQ(rk_collection_get_ef_search(hnsw, &out), RK_OK);
    EXPECT_EQ(out, 44u);
    uint32_t live = 0;
    ASSERT_EQ(rk_index_get_ef_search(hnsw->index, &live), RK_OK);
    EXPECT_EQ(live, 44u);  // the live index follows at once
    out = 0xBEEF;
    EXPECT_EQ(rk_collection_set_nprobe(hnsw, 4), RK_ERR_NOT_SUPPORTED);
    EXPECT_EQ(rk_collection_get_nprobe(hnsw, &out), RK_ERR_NOT_SUPPORTED);
    EXPECT_EQ(out, 0xBEEFu);

    rk_collection_t *ivf = make(RK_INDEX_IVF_SQ);
    EXPECT_EQ(rk_collection_set_nprobe(ivf, 6), RK_OK);
    EXPECT_EQ(rk_collection_get_nprobe(ivf, &out), RK_OK);
    EXPECT_EQ(out, 6u);
    out = 0xBEEF;
    EXPECT_EQ(rk_collection_set_ef_search(ivf, 4), RK_ERR_NOT_SUPPORTED);
    EXPECT_EQ(rk_collection_get_ef_search(ivf, &out), RK_ERR_NOT_SUPPORTED);
    EXPECT_EQ(out, 0xBEEFu);

    // The default configuration is an IVF with nprobe 3.
    rk_collection_t *dflt = make(-1);
    EXPECT_EQ(rk_collection_get_nprobe(dflt, &out), RK_OK);
    EXPECT_EQ(out, 3u);
    EXPECT_EQ(rk_collection_get_ef_search(dflt, &out), RK_ERR_NOT_SUPPORTED);

    // A flat collection has neither, until a build gives it the default.
    rk_collection_t *flat = make(RK_INDEX_FLAT);
    out = 0xBEEF;
    EXPECT_EQ(rk_collection_set_ef_search(flat, 4), RK_ERR_NOT_SUPPORTED);
    EXPECT_EQ(rk_collection_set_nprobe(flat, 4), RK_ERR_NOT_SUPPORTED);
    EXPECT_EQ(rk_collection_get_nprobe(flat, &out), RK_ERR_NOT_SUPPORTED);
    EXPECT_EQ(out, 0xBEEFu);
    fill(flat, rows(20, 4));
    ASSERT_EQ(rk_collection_build_index(flat), RK_OK);
    EXPECT_EQ(rk_collection_get_nprobe(flat, &out), RK_OK);
    EXPECT_EQ(out, 3u);

    EXPECT_EQ(rk_collection_set_ef_search(nullptr, 1), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_collection_set_nprobe(nullptr, 1), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_collection_get_ef_search(nullptr, &out), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_collection_get_nprobe(nullptr, &out), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_collection_get_ef_search(hnsw, nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_collection_get_nprobe(ivf, nullptr), RK_ERR_INVALID_ARG);
    for (rk_collection_t *c : {hnsw, ivf, dflt, flat}) rk_collection_destroy(c);
}

// Build, rebuild and clear make fresh indexes from the collection's settings,
// so a value set before or after a build carries over.
TEST(CollectionEffort, RebuildsAndClearsKeepTheSetting) {
    rk_collection_t *c = make(RK_INDEX_HNSW);
    ASSERT_NE(c, nullptr);
    ASSERT_EQ(rk_collection_set_ef_search(c, 77), RK_OK);  // before any build
    fill(c, rows(200, 5));
    auto expect_ef = [&](uint32_t want) {
        uint32_t v = 0, live = 0;
        EXPECT_EQ(rk_collection_get_ef_search(c, &v), RK_OK);
        EXPECT_EQ(v, want);
        ASSERT_NE(c->index, nullptr);
        EXPECT_EQ(rk_index_get_ef_search(c->index, &live), RK_OK);
        EXPECT_EQ(live, want);
    };
    ASSERT_EQ(rk_collection_build_index(c), RK_OK);
    expect_ef(77);
    ASSERT_EQ(rk_collection_set_ef_search(c, 19), RK_OK);
    ASSERT_EQ(rk_collection_build_index(c), RK_OK);
    expect_ef(19);
    ASSERT_EQ(rk_collection_rebuild_index(c), RK_OK);
    expect_ef(19);
    ASSERT_EQ(rk_collection_clear(c), RK_OK);
    expect_ef(19);
    rk_collection_destroy(c);

    rk_collection_t *v = make(RK_INDEX_IVF);
    fill(v, rows(200, 6));
    ASSERT_EQ(rk_collection_build_index(v), RK_OK);
    ASSERT_EQ(rk_collection_set_nprobe(v, 2), RK_OK);
    ASSERT_EQ(rk_collection_rebuild_index(v), RK_OK);
    uint32_t np = 0;
    EXPECT_EQ(rk_index_get_nprobe(v->index, &np), RK_OK);
    EXPECT_EQ(np, 2u);
    rk_collection_destroy(v);
}

TEST(CollectionEffort, PerCallEffortAnswersAsTheStoredSettingDoes) {
    const std::vector<float> q = rows(6, 9);
    for (int32_t type : {RK_INDEX_IVF, RK_INDEX_HNSW}) {
        rk_collection_t *c = built(type);
        ASSERT_NE(c, nullptr);
        const bool ivf = type == RK_INDEX_IVF;
        auto store = [&](uint32_t v) {
            ASSERT_EQ(ivf ? rk_collection_set_nprobe(c, v) : rk_collection_set_ef_search(c, v), RK_OK);
        };
        uint32_t before = 0;
        ASSERT_EQ(ivf ? rk_collection_get_nprobe(c, &before) : rk_collection_get_ef_search(c, &before),
                  RK_OK);
        for (uint32_t effort : {1u, 2u, 5u, 16u, 40u}) {
            SCOPED_TRACE(testing::Message() << "type " << type << " effort " << effort);
            for (size_t qi = 0; qi < 6; ++qi) {
                const float *query = &q[qi * kDim];
                const Answer per_call = search_ex(c, query, 10, effort);
                ASSERT_EQ(per_call.status, RK_OK);
                store(effort);
                const Answer with_stored = search_ex(c, query, 10, 0);
                std::vector<rk_search_result_t> plain(10);
                rk_search_params_t p{};
                p.k = 10;
                plain.resize(rk_collection_search(c, query, &p, plain.data()));
                store(before);
                expect_same(per_call.hits, with_stored.hits);
                expect_same(per_call.hits, plain);
            }
        }
        rk_collection_destroy(c);
    }
}

// With one list scanned, most of a large answer comes from the scan top-up:
// search_ex points every result at its record, where rk_collection_search
// leaves the top-up's fields empty.
TEST(CollectionEffort, SearchExFillsTheFieldsOfTopUpResultsToo) {
    rk_collection_t *c = built(RK_INDEX_IVF);
    ASSERT_NE(c, nullptr);
    const std::vector<float> q = rows(1, 10);
    const uint64_t k = 200;
    const Answer both = search_ex(c, q.data(), k, 1, 1, 1);
    ASSERT_EQ(both.status, RK_OK);
    ASSERT_EQ(both.hits.size(), k);
    for (const rk_search_result_t &r : both.hits) {
        const rk_record_t *rec = nullptr;
        ASSERT_EQ(rk_collection_get_record(c, r.id, &rec), RK_OK);
        EXPECT_EQ(r.vector, rec->vector) << r.id;
        EXPECT_EQ(r.metadata, rec->metadata) << r.id;
        EXPECT_EQ(r.metadata_count, 1u) << r.id;
    }
    const Answer meta_only = search_ex(c, q.data(), k, 1, 0, 1);
    expect_same(both.hits, meta_only.hits);
    for (const rk_search_result_t &r : meta_only.hits) {
        EXPECT_EQ(r.vector, nullptr);
        EXPECT_NE(r.metadata, nullptr);
    }
    // The same search through rk_collection_search: the top-up is there and
    // carries nothing, which is what search_ex adds.
    ASSERT_EQ(rk_collection_set_nprobe(c, 1), RK_OK);
    std::vector<rk_search_result_t> plain(k);
    rk_search_params_t p{};
    p.k = k;
    p.include_vector = 1;
    p.include_metadata = 1;
    plain.resize(rk_collection_search(c, q.data(), &p, plain.data()));
    expect_same(both.hits, plain);
    size_t empty = 0;
    for (const rk_search_result_t &r : plain) empty += r.vector == nullptr;
    EXPECT_GT(empty, 0u);
    rk_collection_destroy(c);

    // A collection without an index answers by the scan alone.
    rk_collection_t *flat = make(RK_INDEX_FLAT);
    fill(flat, rows(30, 11));
    const Answer scan = search_ex(flat, q.data(), 5, 0, 1, 0);
    ASSERT_EQ(scan.status, RK_OK);
    ASSERT_EQ(scan.hits.size(), 5u);
    for (const rk_search_result_t &r : scan.hits) {
        EXPECT_NE(r.vector, nullptr);
        EXPECT_EQ(r.metadata, nullptr);
    }
    rk_collection_destroy(flat);
}

TEST(CollectionEffort, SearchExRefusesNullsAndCountsNothingThen) {
    rk_collection_t *c = built(RK_INDEX_HNSW);
    ASSERT_NE(c, nullptr);
    const std::vector<float> q = rows(1, 12);
    rk_search_result_t r[10];
    uint64_t n = 99;
    EXPECT_EQ(rk_collection_search_ex(nullptr, q.data(), nullptr, 0, r, &n), RK_ERR_INVALID_ARG);
    EXPECT_EQ(n, 0u);
    n = 99;
    EXPECT_EQ(rk_collection_search_ex(c, nullptr, nullptr, 0, r, &n), RK_ERR_INVALID_ARG);
    EXPECT_EQ(n, 0u);
    n = 99;
    EXPECT_EQ(rk_collection_search_ex(c, q.data(), nullptr, 0, nullptr, &n), RK_ERR_INVALID_ARG);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(rk_collection_search_ex(c, q.data(), nullptr, 0, r, nullptr), RK_ERR_INVALID_ARG);
    // Null options ask for 10; k 0 is an empty success.
    EXPECT_EQ(rk_collection_search_ex(c, q.data(), nullptr, 0, r, &n), RK_OK);
    EXPECT_EQ(n, 10u);
    rk_search_params_t p{};
    EXPECT_EQ(rk_collection_search_ex(c, q.data(), &p, 0, r, &n), RK_OK);
    EXPECT_EQ(n, 0u);
    rk_collection_destroy(c);
}

// Failing each allocation of a search in turn: a failure is reported as
// RK_ERR_NO_MEMORY with nothing counted, never as a short answer. (The index
// may lose its own working memory and answer nothing; the scan then answers
// in full.)
TEST(CollectionEffort, SearchExReportsEveryFailedAllocation) {
    const std::vector<float> q = rows(1, 13);
    for (int32_t type : {RK_INDEX_FLAT, RK_INDEX_IVF, RK_INDEX_HNSW}) {
        SCOPED_TRACE(type);
        rk_collection_t *c = type == RK_INDEX_FLAT ? make(type) : built(type);
        ASSERT_NE(c, nullptr);
        if (type == RK_INDEX_FLAT) fill(c, rows(kRows, 3));
        const uint64_t k = 50;
        const Answer want = search_ex(c, q.data(), k, 2, 1, 1);
        ASSERT_EQ(want.status, RK_OK);
        ASSERT_EQ(want.hits.size(), k);
        int refused = 0;
        bool finished = false;
        rk_test::FailingAllocator hooks;
        ASSERT_TRUE(hooks.installed());
        for (long at = 0; at < 100; ++at) {
            hooks.arm(at);
            const Answer got = search_ex(c, q.data(), k, 2, 1, 1);
            hooks.disarm();
            if (!hooks.failed()) {
                EXPECT_EQ(got.status, RK_OK);
                expect_same(got.hits, want.hits);
                finished = true;
                break;
            }
            if (got.status == RK_ERR_NO_MEMORY) {
                EXPECT_TRUE(got.hits.empty()) << at;
                ++refused;
            } else {
                EXPECT_EQ(got.status, RK_OK) << at;
                EXPECT_EQ(got.hits.size(), k) << at;
            }
        }
        EXPECT_TRUE(finished);
        EXPECT_GE(refused, 1);
        rk_collection_destroy(c);
    }
}

// Searches beside a thread that keeps changing the setting: every answer is
// complete and ordered, and the last value set is the one kept.
TEST(CollectionEffort, ConcurrentSetAndSearch) {
    rk_collection_t *c = built(RK_INDEX_HNSW);
    ASSERT_NE(c, nullptr);
    const std::vector<float> q = rows(8, 14);
    std::atomic<bool> done{false};
    std::atomic<int> faults{0};
    auto searcher = [&](uint32_t effort) {
        for (int round = 0; round < 150; ++round) {
            const Answer a = search_ex(c, &q[size_t(round % 8) * kDim], 10, effort);
            if (a.status != RK_OK || a.hits.size() != 10) faults++;
            for (size_t i = 1; i < a.hits.size(); ++i)
                if (a.hits[i].distance < a.hits[i - 1].distance) faults++;
        }
    };
    std::thread setter([&] {
        uint32_t v = 0;
        for (uint32_t i = 0; !done.load(); ++i) {
            if (rk_collection_set_ef_search(c, 10 + i % 50) != RK_OK) faults++;
            if (rk_collection_get_ef_search(c, &v) != RK_OK || v < 10) faults++;
        }
        if (rk_collection_set_ef_search(c, 33) != RK_OK) faults++;
    });
    std::thread a(searcher, 0u), b(searcher, 25u);
    a.join();
    b.join();
    done = true;
    setter.join();
    EXPECT_EQ(faults.load(), 0);
    uint32_t v = 0;
    EXPECT_EQ(rk_collection_get_ef_search(c, &v), RK_OK);
    EXPECT_EQ(v, 33u);
    rk_collection_destroy(c);
}

}  // namespace
