// SPDX-License-Identifier: Apache-2.0
// Search effort of the index object: per-call effort against the stored
// setting, recall as effort grows, the family each setting belongs to, the
// setting in index files, and settings changed while searches run.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "persist/persist_test_util.h"
#include "rk_error.h"
#include "rk_index.h"
#include "rk_platform.h"
#include "support/float_bits.h"
#include "vector/kernels.h"

namespace {

using rk_test::bits;

constexpr uint32_t kDim = 16;
constexpr uint32_t kLists = 24;
constexpr size_t kRows = 3000;
constexpr size_t kQueries = 60;
constexpr uint64_t kK = 10;

// Rows around 30 centres whose spreads overlap, so that a search with little
// effort misses true neighbours.
std::vector<float> clustered_rows(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::mt19937 centre_gen(99);
    std::normal_distribution<float> spread(0.0f, 1.2f);
    std::uniform_real_distribution<float> where(-1.5f, 1.5f);
    std::vector<float> centres(30 * kDim);
    for (float &x : centres) x = where(centre_gen);
    std::uniform_int_distribution<size_t> pick(0, 29);
    std::vector<float> v(n * kDim);
    for (size_t i = 0; i < n; ++i) {
        const float *c = centres.data() + pick(gen) * kDim;
        for (uint32_t d = 0; d < kDim; ++d) v[i * kDim + d] = c[d] + spread(gen);
    }
    return v;
}

rk_index_config_t config_for(uint32_t type) {
    rk_index_config_t c;
    std::memset(&c, 0, sizeof c);
    c.type = type;
    c.metric = RK_METRIC_L2;
    c.dimension = kDim;
    if (type % 2 == 1) {
        c.params.ivf.nlist = kLists;
        c.params.ivf.nprobe = 2;
        c.params.ivf.train_iterations = 6;
    } else {
        c.params.hnsw.m = 4;
        c.params.hnsw.ef_construction = 16;
        c.params.hnsw.ef_search = 10;
    }
    if (type == RK_INDEX_IVF_PQ || type == RK_INDEX_HNSW_PQ) {
        c.pq_m = 4;
        c.pq_nbits = 4;
    }
    return c;
}

// One filled index of each searchable type (1 to 5) over the same rows.
class Effort : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        rows_ = clustered_rows(kRows, 1);
        queries_ = clustered_rows(kQueries, 2);
        for (uint32_t type = 1; type <= 5; ++type) {
            rk_srand(7);
            const rk_index_config_t c = config_for(type);
            rk_index_t *ix = rk_index_create(nullptr, &c);
            ASSERT_NE(ix, nullptr) << type;
            ASSERT_EQ(rk_index_train(ix, rows_.data(), kRows), RK_OK) << type;
            std::vector<uint64_t> ids(kRows);
            for (size_t i = 0; i < kRows; ++i) ids[i] = i;
            ASSERT_EQ(rk_index_add_batch(ix, ids.data(), rows_.data(), kRows), RK_OK) << type;
            index_[type] = ix;
        }
    }
    static void TearDownTestSuite() {
        for (rk_index_t *&ix : index_) rk_index_destroy(ix), ix = nullptr;
    }

    static const float *query(size_t i) { return queries_.data() + i * kDim; }

    // The ids of the k nearest rows, by the plain squared distance.
    static std::vector<uint64_t> truth(const float *q, uint64_t k) {
        std::vector<std::pair<float, uint64_t>> all(kRows);
        for (size_t i = 0; i < kRows; ++i) all[i] = {rk::kern::l2sq(q, rows_.data() + i * kDim, kDim), i};
        std::partial_sort(all.begin(), all.begin() + long(k), all.end());
        std::vector<uint64_t> ids(k);
        for (uint64_t i = 0; i < k; ++i) ids[i] = all[i].second;
        return ids;
    }

    // recall@k over every query with this per-call effort.
    static double recall(rk_index_t *ix, uint32_t effort) {
        size_t found = 0;
        rk_index_result_t r[kK];
        for (size_t qi = 0; qi < kQueries; ++qi) {
            const uint64_t n = rk_index_search_ex(ix, query(qi), kK, effort, r);
            const std::vector<uint64_t> t = truth(query(qi), kK);
            for (uint64_t i = 0; i < n; ++i) found += std::count(t.begin(), t.end(), r[i].id);
        }
        return double(found) / double(kQueries * kK);
    }

    static uint32_t stored(const rk_index_t *ix) {
        uint32_t v = 0;
        const rk_status_t st =
            rk_index_get_type(ix) % 2 == 1 ? rk_index_get_nprobe(ix, &v) : rk_index_get_ef_search(ix, &v);
        EXPECT_EQ(st, RK_OK);
        return v;
    }
    static void store(rk_index_t *ix, uint32_t v) {
        const rk_status_t st =
            rk_index_get_type(ix) % 2 == 1 ? rk_index_set_nprobe(ix, v) : rk_index_set_ef_search(ix, v);
        ASSERT_EQ(st, RK_OK);
    }

    static std::vector<float> rows_;
    static std::vector<float> queries_;
    static rk_index_t *index_[6];
};

std::vector<float> Effort::rows_;
std::vector<float> Effort::queries_;
rk_index_t *Effort::index_[6] = {};

// Same ids, same distance bits, same count.
void expect_same_hits(const rk_index_result_t *a, uint64_t na, const rk_index_result_t *b, uint64_t nb) {
    ASSERT_EQ(na, nb);
    for (uint64_t i = 0; i < na; ++i) {
        EXPECT_EQ(a[i].id, b[i].id) << "rank " << i;
        EXPECT_EQ(bits(a[i].distance), bits(b[i].distance)) << "rank " << i;
    }
}

TEST_F(Effort, PerCallEffortAnswersAsTheStoredSettingDoes) {
    for (uint32_t type = 1; type <= 5; ++type) {
        rk_index_t *ix = index_[type];
        const uint32_t before = stored(ix);
        for (uint32_t effort : {1u, 3u, 10u, 37u, kLists, 200u}) {
            SCOPED_TRACE(testing::Message() << "type " << type << " effort " << effort);
            for (size_t qi = 0; qi < 8; ++qi) {
                rk_index_result_t per_call[kK], with_stored[kK];
                const uint64_t n = rk_index_search_ex(ix, query(qi), kK, effort, per_call);
                // The call leaves the stored setting alone.
                EXPECT_EQ(stored(ix), before);
                store(ix, effort);
                const uint64_t m = rk_index_search(ix, query(qi), kK, with_stored);
                expect_same_hits(per_call, n, with_stored, m);
                const uint64_t z = rk_index_search_ex(ix, query(qi), kK, 0, with_stored);
                expect_same_hits(per_call, n, with_stored, z);
                store(ix, before);
            }
        }
    }
}

TEST_F(Effort, EffortIsCappedAtTheListCountAndTheGraphSize) {
    rk_index_result_t a[kK], b[kK];
    for (uint32_t type : {1u, 3u, 5u}) {
        SCOPED_TRACE(type);
        const uint64_t n = rk_index_search_ex(index_[type], query(0), kK, kLists, a);
        const uint64_t m = rk_index_search_ex(index_[type], query(0), kK, UINT32_MAX, b);
        expect_same_hits(a, n, b, m);
    }
    for (uint32_t type : {2u, 4u}) {
        SCOPED_TRACE(type);
        const uint64_t n = rk_index_search_ex(index_[type], query(0), kK, uint32_t(kRows), a);
        const uint64_t m = rk_index_search_ex(index_[type], query(0), kK, UINT32_MAX, b);
        expect_same_hits(a, n, b, m);
        EXPECT_EQ(n, kK);
    }
}

// A stored nprobe of 0 scans no list; a per-call 0 means the stored value.
TEST_F(Effort, ZeroStoredListsAnswerNothingAndZeroPerCallMeansStored) {
    rk_index_t *ix = index_[RK_INDEX_IVF];
    const uint32_t before = stored(ix);
    rk_index_result_t r[kK];
    store(ix, 0);
    EXPECT_EQ(rk_index_search(ix, query(0), kK, r), 0u);
    EXPECT_EQ(rk_index_search_ex(ix, query(0), kK, 0, r), 0u);
    EXPECT_EQ(rk_index_search_ex(ix, query(0), kK, 1, r), kK);
    store(ix, before);
}

TEST_F(Effort, RecallNeverFallsAsEffortGrows) {
    for (uint32_t type : {1u, 2u}) {
        SCOPED_TRACE(type);
        const std::vector<uint32_t> sweep = type == RK_INDEX_IVF
                                                ? std::vector<uint32_t>{1, 2, 4, 8, 16, kLists}
                                                : std::vector<uint32_t>{10, 20, 40, 80, 160, 320};
        std::vector<double> curve;
        for (uint32_t e : sweep) curve.push_back(recall(index_[type], e));
        for (size_t i = 1; i < curve.size(); ++i) EXPECT_GE(curve[i], curve[i - 1]) << "effort " << sweep[i];
        // The data is hard enough that the least effort misses neighbours.
        EXPECT_LT(curve.front(), 0.9);
        EXPECT_GT(curve.back(), curve.front());
    }
}

// Scanning every list of a float IVF is the exhaustive search.
TEST_F(Effort, IvfProbingEveryListFindsTheExactNeighbours) {
    rk_index_t *ix = index_[RK_INDEX_IVF];
    EXPECT_EQ(recall(ix, kLists), 1.0);
    rk_index_result_t r[kK];
    for (size_t qi = 0; qi < kQueries; ++qi) {
        ASSERT_EQ(rk_index_search_ex(ix, query(qi), kK, kLists, r), kK);
        const std::vector<uint64_t> t = truth(query(qi), kK);
        for (uint64_t i = 0; i < kK; ++i) EXPECT_EQ(r[i].id, t[i]) << "query " << qi << " rank " << i;
    }
}

TEST(EffortSettings, EachSettingBelongsToItsFamily) {
    for (uint32_t type = 1; type <= 6; ++type) {
        SCOPED_TRACE(type);
        const rk_index_config_t c = config_for(type);
        rk_index_t *ix = rk_index_create(nullptr, &c);
        ASSERT_NE(ix, nullptr);
        const bool ivf = type % 2 == 1;
        uint32_t out = 0xC0FFEE;
        const rk_status_t own = ivf ? RK_ERR_NOT_SUPPORTED : RK_OK;
        EXPECT_EQ(rk_index_set_ef_search(ix, 55), own);
        EXPECT_EQ(rk_index_get_ef_search(ix, &out), own);
        EXPECT_EQ(out, ivf ? 0xC0FFEEu : 55u);
        out = 0xC0FFEE;
        const rk_status_t other = ivf ? RK_OK : RK_ERR_NOT_SUPPORTED;
        EXPECT_EQ(rk_index_set_nprobe(ix, 9), other);
        EXPECT_EQ(rk_index_get_nprobe(ix, &out), other);
        EXPECT_EQ(out, ivf ? 9u : 0xC0FFEEu);
        EXPECT_EQ(rk_index_get_ef_search(ix, nullptr), RK_ERR_INVALID_ARG);
        EXPECT_EQ(rk_index_get_nprobe(ix, nullptr), RK_ERR_INVALID_ARG);
        rk_index_destroy(ix);
    }
    uint32_t out = 7;
    EXPECT_EQ(rk_index_set_ef_search(nullptr, 1), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_index_set_nprobe(nullptr, 1), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_index_get_ef_search(nullptr, &out), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_index_get_nprobe(nullptr, &out), RK_ERR_INVALID_ARG);
    EXPECT_EQ(out, 7u);
    float q[kDim] = {};
    rk_index_result_t r[1];
    EXPECT_EQ(rk_index_search_ex(nullptr, q, 1, 5, r), 0u);
}

TEST(EffortSettings, GraphAndListsCarryTheirOwnSetting) {
    rk_hnsw_params_t hp{};
    hp.m = 4;
    hp.ef_construction = 16;
    hp.ef_search = 12;
    rk_hnsw_t *h = rk_hnsw_create(nullptr, kDim, &hp);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(rk_hnsw_get_ef_search(h), 12u);
    EXPECT_EQ(rk_hnsw_set_ef_search(h, 300), RK_OK);
    EXPECT_EQ(rk_hnsw_get_ef_search(h), 300u);
    rk_hnsw_destroy(h);
    const rk_ivf_params_t ip{8, 3, 4, {0, 0}};
    rk_ivf_t *v = rk_ivf_create(nullptr, kDim, &ip);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(rk_ivf_get_nprobe(v), 3u);
    EXPECT_EQ(rk_ivf_set_nprobe(v, 0), RK_OK);
    EXPECT_EQ(rk_ivf_get_nprobe(v), 0u);
    rk_ivf_destroy(v);
    EXPECT_EQ(rk_hnsw_set_ef_search(nullptr, 1), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_hnsw_get_ef_search(nullptr), 0u);
    EXPECT_EQ(rk_ivf_set_nprobe(nullptr, 1), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_ivf_get_nprobe(nullptr), 0u);
}

// The value set at run time is the one the file keeps, and the loaded index
// answers as the saved one did.
TEST_F(Effort, SavedFilesKeepTheSettingInForce) {
    persist_test::ScratchDir dir;
    rk_arena_t *arena = nullptr;
    ASSERT_EQ(rk_arena_create(0, &arena), RK_OK);
    for (uint32_t type = 1; type <= 5; ++type) {
        SCOPED_TRACE(type);
        rk_index_t *ix = index_[type];
        const uint32_t before = stored(ix);
        const uint32_t value = type % 2 == 1 ? 5 : 57;
        store(ix, value);
        const std::string path = dir / ("ix" + std::to_string(type));
        const rk_string_t p = persist_test::str(path);
        ASSERT_EQ(rk_index_save(ix, &p), RK_OK);
        rk_index_t *back = rk_index_load(arena, &p);
        ASSERT_NE(back, nullptr);
        EXPECT_EQ(stored(back), value);
        for (size_t qi = 0; qi < 4; ++qi) {
            rk_index_result_t a[kK], b[kK];
            const uint64_t n = rk_index_search(ix, query(qi), kK, a);
            const uint64_t m = rk_index_search(back, query(qi), kK, b);
            expect_same_hits(a, n, b, m);
        }
        rk_index_destroy(back);
        store(ix, before);
    }
    rk_arena_destroy(arena);
}

// Searches running while the setting changes see the old or the new value,
// never a torn one: every answer is a full, ordered list of real ids.
TEST_F(Effort, ConcurrentSettingAndSearching) {
    for (uint32_t type : {1u, 2u}) {
        SCOPED_TRACE(type);
        rk_index_t *ix = index_[type];
        const uint32_t before = stored(ix);
        std::atomic<bool> done{false};
        std::atomic<int> faults{0};
        auto searcher = [&](uint32_t effort) {
            rk_index_result_t r[kK];
            for (size_t round = 0; round < 200; ++round) {
                const uint64_t n = rk_index_search_ex(ix, query(round % kQueries), kK, effort, r);
                if (n != kK) faults++;
                for (uint64_t i = 0; i < n; ++i) {
                    if (r[i].id >= kRows) faults++;
                    if (i && r[i].distance < r[i - 1].distance) faults++;
                }
            }
        };
        std::thread setter([&] {
            for (uint32_t i = 0; !done.load(); ++i) {
                store(ix, 1 + i % 64);
                if (stored(ix) == 0) faults++;
            }
        });
        std::thread a(searcher, 0u), b(searcher, 7u);
        a.join();
        b.join();
        done = true;
        setter.join();
        EXPECT_EQ(faults.load(), 0);
        store(ix, before);
    }
}

}  // namespace
