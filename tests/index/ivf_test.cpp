// SPDX-License-Identifier: Apache-2.0
// IVF index: k-means reproducibility and conformance, list probing, metrics,
// quantised payloads, removal and argument handling.
#include "index/ivf.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "rk_error.h"
#include "rk_index.h"
#include "rk_memory.h"
#include "rk_platform.h"
#include "rk_quant.h"
#include "rk_vector.h"
#include "support/ref_loops.h"

namespace {

using rk_test::ref_dot;
using rk_test::ref_l2;

using rk::IvfHit;

// Gaussian blobs around `centres` random centres; optionally unit length.
std::vector<float> blobs(size_t n, uint32_t dim, int centres, uint32_t seed, bool unit, float spread = 4.0f) {
    std::mt19937 gen(seed);
    std::normal_distribution<float> g(0.0f, 1.0f);
    std::vector<float> c(static_cast<size_t>(centres) * dim), x(n * dim);
    for (auto &v : c) v = spread * g(gen);
    for (size_t r = 0; r < n; ++r) {
        const float *cc = &c[(gen() % centres) * dim];
        float norm = 0.0f;
        for (uint32_t j = 0; j < dim; ++j) {
            x[r * dim + j] = cc[j] + g(gen);
            norm += x[r * dim + j] * x[r * dim + j];
        }
        if (unit) {
            const float f = 1.0f / std::sqrt(norm);
            for (uint32_t j = 0; j < dim; ++j) x[r * dim + j] *= f;
        }
    }
    return x;
}

struct IvfHolder {
    rk_ivf_t *ivf = nullptr;
    IvfHolder(uint32_t dim, uint32_t nlist, uint32_t nprobe, uint32_t iters, uint32_t metric = 0) {
        rk_ivf_params_t p{};
        p.nlist = nlist;
        p.nprobe = nprobe;
        p.train_iterations = iters;
        ivf = rk_ivf_create(nullptr, dim, &p);
        if (ivf) {
            EXPECT_EQ(rk::ivf_set_metric(ivf, metric), RK_OK);
        }
    }
    ~IvfHolder() { rk_ivf_destroy(ivf); }
    IvfHolder(const IvfHolder &) = delete;
    IvfHolder &operator=(const IvfHolder &) = delete;
    rk_ivf_t *operator->() const { return ivf; }
};

std::vector<uint64_t> seq_ids(size_t n, uint64_t first = 1) {
    std::vector<uint64_t> ids(n);
    for (size_t i = 0; i < n; ++i) ids[i] = first + i;
    return ids;
}

// Exact distance under a metric, as the float kernels define it.
float metric_distance(uint32_t metric, const float *q, const float *x, uint32_t dim) {
    if (metric == 1) return -ref_dot(q, x, dim);
    if (metric == 2) {
        const float na = rk_math_sqrt_f32(ref_dot(q, q, dim));
        const float nb = rk_math_sqrt_f32(ref_dot(x, x, dim));
        if (na < 1.1920929e-7f || nb < 1.1920929e-7f) return 1.0f;
        return 1.0f - ref_dot(q, x, dim) / (nb * na);
    }
    return ref_l2(q, x, dim);
}

std::vector<IvfHit> exhaustive(uint32_t metric, const float *q, const std::vector<float> &x, uint32_t dim,
                               size_t k) {
    std::vector<IvfHit> all(x.size() / dim);
    for (size_t r = 0; r < all.size(); ++r)
        all[r] = IvfHit{r + 1, metric_distance(metric, q, &x[r * dim], dim)};
    std::stable_sort(all.begin(), all.end(),
                     [](const IvfHit &a, const IvfHit &b) { return a.distance < b.distance; });
    all.resize(std::min(k, all.size()));
    return all;
}

std::vector<IvfHit> search(const rk_ivf_t *ivf, const float *q, size_t k) {
    std::vector<IvfHit> out(k);
    out.resize(rk::ivf_search(ivf, q, k, out.data()));
    return out;
}

// The clustering as written out longhand: random first row, farthest-point
// picks recomputed over all earlier centroids, then Lloyd rounds.
std::vector<float> reference_kmeans(const std::vector<float> &x, uint32_t dim, uint32_t k, uint32_t iters) {
    const size_t n = x.size() / dim;
    std::vector<float> c(static_cast<size_t>(k) * dim);
    size_t pick = rk_rand() % n;
    std::copy_n(&x[pick * dim], dim, c.begin());
    for (uint32_t i = 1; i < k; ++i) {
        float best = 0.0f;
        for (size_t r = 0; r < n; ++r) {
            float m = FLT_MAX;
            for (uint32_t j = 0; j < i; ++j) m = std::min(m, ref_l2(&x[r * dim], &c[j * dim], dim));
            if (m > best) {
                best = m;
                pick = r;
            }
        }
        std::copy_n(&x[pick * dim], dim, c.begin() + static_cast<ptrdiff_t>(i) * dim);
    }
    std::vector<uint32_t> a(n);
    for (uint32_t it = 0; it < iters; ++it) {
        for (size_t r = 0; r < n; ++r) {
            float best = FLT_MAX;
            a[r] = 0;
            for (uint32_t j = 0; j < k; ++j) {
                const float d = ref_l2(&x[r * dim], &c[j * dim], dim);
                if (d < best) {
                    best = d;
                    a[r] = j;
                }
            }
        }
        std::vector<float> sum(c.size(), 0.0f);
        std::vector<uint32_t> size(k, 0);
        for (size_t r = 0; r < n; ++r) {
            for (uint32_t j = 0; j < dim; ++j) sum[a[r] * dim + j] += x[r * dim + j];
            ++size[a[r]];
        }
        for (uint32_t j = 0; j < k; ++j)
            if (size[j])
                for (uint32_t e = 0; e < dim; ++e)
                    c[j * dim + e] = sum[j * dim + e] / static_cast<float>(size[j]);
    }
    return c;
}

std::vector<float> centroids_of(rk_ivf_t *ivf, uint32_t nlist, uint32_t dim) {
    std::vector<float> c(static_cast<size_t>(nlist) * dim);
    for (uint32_t i = 0; i < nlist; ++i) std::memcpy(&c[i * dim], rk::ivf_centroid(ivf, i), 4 * dim);
    return c;
}

TEST(IvfKmeans, SameSeedGivesSameCentroidsAndMatchesLonghand) {
    const uint32_t dim = 7, nlist = 9;  // odd sizes cross every kernel tail
    const auto x = blobs(300, dim, 5, 1, false);
    IvfHolder a(dim, nlist, 2, 4), b(dim, nlist, 2, 4);
    rk_srand(42);
    ASSERT_EQ(rk::ivf_train(a.ivf, x.data(), 300), RK_OK);
    rk_srand(42);
    ASSERT_EQ(rk::ivf_train(b.ivf, x.data(), 300), RK_OK);
    const auto ca = centroids_of(a.ivf, nlist, dim), cb = centroids_of(b.ivf, nlist, dim);
    EXPECT_EQ(0, std::memcmp(ca.data(), cb.data(), ca.size() * 4));
    rk_srand(42);
    const auto ref = reference_kmeans(x, dim, nlist, 4);
    EXPECT_EQ(0, std::memcmp(ca.data(), ref.data(), ref.size() * 4));
}

// Many lists over tight clusters: most distances of the farthest-point start
// are ruled out by the triangle inequality, and the picks must still be the
// ones the full scan makes, bit for bit.
TEST(IvfKmeans, PrunedStartMatchesLonghand) {
    const uint32_t dim = 16, nlist = 48;
    const auto x = blobs(900, dim, 30, 15, false, 8.0f);
    IvfHolder a(dim, nlist, 2, 2);
    rk_srand(8);
    ASSERT_EQ(rk::ivf_train(a.ivf, x.data(), 900), RK_OK);
    rk_srand(8);
    const auto ref = reference_kmeans(x, dim, nlist, 2);
    const auto got = centroids_of(a.ivf, nlist, dim);
    EXPECT_EQ(0, std::memcmp(got.data(), ref.data(), ref.size() * 4));
}

TEST(IvfKmeans, StartPicksAndTrainingLimits) {
    const uint32_t dim = 3;
    const auto x = blobs(6, dim, 6, 2, false);
    // As many distinct rows as lists and no rounds: every row is a centroid.
    IvfHolder a(dim, 6, 1, 0);
    ASSERT_EQ(rk::ivf_train(a.ivf, x.data(), 6), RK_OK);
    std::set<std::vector<float>> rows, cents;
    for (int r = 0; r < 6; ++r) rows.insert(std::vector<float>(&x[r * dim], &x[r * dim] + dim));
    const auto c = centroids_of(a.ivf, 6, dim);
    for (int r = 0; r < 6; ++r) cents.insert(std::vector<float>(&c[r * dim], &c[r * dim] + dim));
    EXPECT_EQ(rows, cents);
    // Fewer rows than lists is refused and leaves the index untrained.
    IvfHolder b(dim, 7, 1, 3);
    EXPECT_EQ(rk::ivf_train(b.ivf, x.data(), 6), RK_ERR_INVALID_ARG);
    EXPECT_EQ(b->trained, 0u);
    const uint64_t id = 1;
    EXPECT_EQ(rk::ivf_add_batch(b.ivf, &id, x.data(), 1), RK_ERR_INDEX_NOT_READY);
    // Identical rows: the farthest-point search finds nothing beyond 0 and
    // repeats the previous pick.
    std::vector<float> same(5 * dim, 1.5f);
    IvfHolder s(dim, 3, 1, 2);
    ASSERT_EQ(rk::ivf_train(s.ivf, same.data(), 5), RK_OK);
    for (float v : centroids_of(s.ivf, 3, dim)) EXPECT_EQ(v, 1.5f);
}

class IvfMetric : public ::testing::TestWithParam<uint32_t> {};

// With every list probed the index is an exhaustive search: same ids, same
// distance bits, for each metric.
TEST_P(IvfMetric, ProbingAllListsIsExhaustive) {
    const uint32_t metric = GetParam(), dim = 13, nlist = 8;
    const auto x = blobs(700, dim, 6, 3, false);
    IvfHolder h(dim, nlist, nlist, 3, metric);
    rk_srand(7);
    ASSERT_EQ(rk::ivf_train(h.ivf, x.data(), 700), RK_OK);
    const auto ids = seq_ids(700);
    ASSERT_EQ(rk::ivf_add_batch(h.ivf, ids.data(), x.data(), 700), RK_OK);
    uint64_t sum = 0;
    for (uint32_t i = 0; i < nlist; ++i) sum += rk_ivf_get_list_size(h.ivf, i);
    EXPECT_EQ(sum, 700u);
    EXPECT_EQ(rk::ivf_ntotal(h.ivf), 700u);
    const auto qs = blobs(20, dim, 6, 4, false);
    for (int qi = 0; qi < 20; ++qi) {
        const float *q = &qs[qi * dim];
        const auto got = search(h.ivf, q, 10);
        const auto want = exhaustive(metric, q, x, dim, 10);
        ASSERT_EQ(got.size(), want.size());
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].id, want[i].id) << "query " << qi << " rank " << i;
            EXPECT_EQ(got[i].distance, want[i].distance);
        }
    }
}

// Recall of a partial probe against the exhaustive answer on normalised
// 384-dimensional clustered data: every metric reaches the same bar at the
// same settings.
TEST_P(IvfMetric, RecallOnNormalisedData) {
    const uint32_t metric = GetParam(), dim = 384, nlist = 32;
    const size_t n = 3000;
    // Rows and queries drawn from the same clusters; the queries are the
    // last 50 and are not indexed.
    const auto all = blobs(n + 50, dim, 40, 5, true, 0.35f);
    const std::vector<float> x(all.begin(), all.begin() + static_cast<ptrdiff_t>(n * dim));
    const std::vector<float> qs(all.begin() + static_cast<ptrdiff_t>(n * dim), all.end());
    IvfHolder h(dim, nlist, 8, 6, metric);
    rk_srand(11);
    ASSERT_EQ(rk::ivf_train(h.ivf, x.data(), n), RK_OK);
    // Inner product and cosine cluster directions: unit-length centroids.
    for (uint32_t i = 0; metric != 0 && i < nlist; ++i) {
        const float *c = rk::ivf_centroid(h.ivf, i);
        EXPECT_NEAR(ref_dot(c, c, dim), 1.0f, 1e-4f);
    }
    const auto ids = seq_ids(n);
    ASSERT_EQ(rk::ivf_add_batch(h.ivf, ids.data(), x.data(), n), RK_OK);
    size_t hit = 0;
    for (int qi = 0; qi < 50; ++qi) {
        const auto got = search(h.ivf, &qs[qi * dim], 10);
        const auto want = exhaustive(metric, &qs[qi * dim], x, dim, 10);
        for (const auto &w : want)
            for (const auto &g : got) hit += g.id == w.id;
    }
    EXPECT_GE(static_cast<double>(hit) / 500.0, 0.90) << "metric " << metric;
}

INSTANTIATE_TEST_SUITE_P(Metrics, IvfMetric, ::testing::Values(0u, 1u, 2u));

struct CodedCase {
    uint32_t type, metric;
};

class IvfCoded : public ::testing::TestWithParam<CodedCase> {};

// Code entries: with every list probed, the answer is the exhaustive ranking
// of what the codes stand for (SQ: the decoded vector under the metric; PQ:
// rk_pq_distance with the index's metric).
TEST_P(IvfCoded, ProbingAllListsRanksTheCodes) {
    const auto [type, metric] = GetParam();
    const uint32_t dim = 8, nlist = 6;
    const size_t n = 500;
    const auto x = blobs(n, dim, 6, 12, false);
    rk_arena_t *arena = nullptr;
    ASSERT_EQ(rk_arena_create(0, &arena), RK_OK);
    rk_ivf_params_t p{};
    p.nlist = nlist;
    p.nprobe = nlist;
    p.train_iterations = 3;
    rk_ivf_t *ivf = rk_ivf_create(arena, dim, &p);
    ASSERT_NE(ivf, nullptr);
    ASSERT_EQ(rk::ivf_set_metric(ivf, metric), RK_OK);
    rk_pq_t *pq = nullptr;
    rk_sq_quantizer_t *sq = nullptr;
    if (type == 3) {
        ASSERT_EQ(rk_pq_create(arena, dim, 4, 8, &pq), RK_OK);
    } else {
        sq = rk_sq_quantizer_create(arena, dim);
    }
    ASSERT_EQ(rk::ivf_bind(ivf, type, 0, pq, sq), RK_OK);
    EXPECT_EQ(ivf->payload_bytes, type == 3 ? 4u : dim);
    rk_srand(21);
    ASSERT_EQ(rk::ivf_train(ivf, x.data(), n), RK_OK);
    const auto ids = seq_ids(n);
    ASSERT_EQ(rk::ivf_add_batch(ivf, ids.data(), x.data(), n), RK_OK);
    // The payload cannot change under stored entries.
    EXPECT_EQ(rk::ivf_bind(ivf, 1, 0, nullptr, nullptr), RK_ERR_INVALID_ARG);

    std::vector<uint8_t> codes(n * dim);
    std::vector<float> decoded(n * dim);
    for (size_t r = 0; r < n; ++r) {
        if (pq) {
            rk_pq_encode(pq, &x[r * dim], &codes[r * 4]);
        } else {
            ASSERT_EQ(rk_sq_quantize(sq, &x[r * dim], &codes[r * dim]), RK_OK);
            ASSERT_EQ(rk_sq_dequantize(sq, &codes[r * dim], &decoded[r * dim]), RK_OK);
        }
    }
    for (int qi = 0; qi < 10; ++qi) {
        const float *q = &x[(qi * 37) * dim];
        std::vector<IvfHit> want(n);
        for (size_t r = 0; r < n; ++r) {
            const float d = pq ? rk_pq_distance(pq, q, &codes[r * 4], metric)
                               : metric_distance(metric, q, &decoded[r * dim], dim);
            want[r] = IvfHit{r + 1, d};
        }
        std::stable_sort(want.begin(), want.end(),
                         [](const IvfHit &a, const IvfHit &b) { return a.distance < b.distance; });
        const auto got = search(ivf, q, 8);
        ASSERT_EQ(got.size(), 8u);
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].distance, want[i].distance) << "rank " << i;
            // Codes collide, so equal distances may list their ids in
            // another order; distinct distances must agree on the id.
            if ((i == 0 || want[i - 1].distance != want[i].distance) &&
                (i + 1 == want.size() || want[i + 1].distance != want[i].distance)) {
                EXPECT_EQ(got[i].id, want[i].id) << "rank " << i;
            }
        }
    }
    rk_ivf_destroy(ivf);
    rk_arena_destroy(arena);
}

INSTANTIATE_TEST_SUITE_P(Types, IvfCoded,
                         ::testing::Values(CodedCase{5, 0}, CodedCase{5, 1}, CodedCase{5, 2}, CodedCase{3, 0},
                                           CodedCase{3, 1}, CodedCase{3, 2}));

// Type 1 with scalar quantisation configured trains the quantiser but keeps
// float vectors in its lists.
TEST(IvfCoded, FloatListsStillTrainTheirScalarQuantiser) {
    const uint32_t dim = 4;
    const auto x = blobs(50, dim, 3, 13, false);
    rk_arena_t *arena = nullptr;
    ASSERT_EQ(rk_arena_create(0, &arena), RK_OK);
    rk_ivf_params_t p{};
    p.nlist = 3;
    p.nprobe = 3;
    rk_ivf_t *ivf = rk_ivf_create(arena, dim, &p);
    rk_sq_quantizer_t *sq = rk_sq_quantizer_create(arena, dim);
    ASSERT_EQ(rk::ivf_bind(ivf, 1, 2, nullptr, sq), RK_OK);
    EXPECT_EQ(ivf->payload_bytes, 4 * dim);
    ASSERT_EQ(rk::ivf_train(ivf, x.data(), 50), RK_OK);
    float lo = x[0];
    for (size_t r = 1; r < 50; ++r) lo = std::min(lo, x[r * dim]);
    EXPECT_EQ(sq->min[0], lo);
    rk_ivf_destroy(ivf);
    rk_arena_destroy(arena);
}

TEST(IvfSearch, ProbeCountsAndShortAnswers) {
    const uint32_t dim = 4;
    const auto x = blobs(200, dim, 4, 8, false);
    IvfHolder h(dim, 4, 0, 2);
    rk_srand(3);
    ASSERT_EQ(rk::ivf_train(h.ivf, x.data(), 200), RK_OK);
    const auto ids = seq_ids(200);
    std::vector<IvfHit> out(300);
    EXPECT_EQ(rk::ivf_search(h.ivf, x.data(), 5, out.data()), 0u);  // empty index
    ASSERT_EQ(rk::ivf_add_batch(h.ivf, ids.data(), x.data(), 200), RK_OK);
    EXPECT_EQ(rk::ivf_search(h.ivf, x.data(), 5, out.data()), 0u);  // nprobe 0
    EXPECT_EQ(rk::ivf_search(h.ivf, x.data(), 0, out.data()), 0u);
    h->params.nprobe = 1000;  // beyond nlist: every list
    EXPECT_EQ(rk::ivf_search(h.ivf, x.data(), 300, out.data()), 200u);
    h->params.nprobe = 1;
    // k beyond the probed list: exactly its entries, nearest first.
    const uint64_t n = rk::ivf_search(h.ivf, x.data(), 300, out.data());
    uint64_t some_list = 0;
    for (uint32_t i = 0; i < 4; ++i)
        if (rk_ivf_get_list_size(h.ivf, i) == n) some_list = n;
    EXPECT_EQ(some_list, n);
    EXPECT_EQ(out[0].id, 1u);
    EXPECT_EQ(out[0].distance, 0.0f);
    for (uint64_t i = 1; i < n; ++i) EXPECT_LE(out[i - 1].distance, out[i].distance);
}

// The probe order is that of the selection sort: with centroid scores
// {4, 4, 1} its first swap moves list 0 behind list 1, so two probes scan
// lists 2 and 1, not 2 and 0.
TEST(IvfSearch, TiedCentroidsFollowTheSelectionOrder) {
    IvfHolder h(1, 3, 2, 0);
    const float c[3] = {2.0f, -2.0f, 1.0f};
    for (uint32_t i = 0; i < 3; ++i) {
        *rk::ivf_centroid(h.ivf, i) = c[i];
        ASSERT_EQ(rk::ivf_append_raw(h.ivf, i, 10 + i, &c[i]), RK_OK);
    }
    rk::ivf_set_trained(h.ivf, 1);
    const float q = 0.0f;
    const auto got = search(h.ivf, &q, 3);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].id, 12u);
    EXPECT_EQ(got[1].id, 11u);
    // The same scores without ties take the fast path and agree with it.
    *rk::ivf_centroid(h.ivf, 0) = 2.5f;
    const auto fast = search(h.ivf, &q, 3);
    ASSERT_EQ(fast.size(), 2u);
    EXPECT_EQ(fast[1].id, 11u);
}

// Which lists a search probes, for every nprobe, against the selection
// sort run longhand: once without ties, then on scores full of them
// (centroids at small integers on both sides of the query). Each list holds one entry at
// its centroid, so the hits name exactly the probed lists.
TEST(IvfSearch, ProbedListsAreTheSelectionSortsForEveryProbeCount) {
    std::mt19937 gen(7);
    for (int round = 0; round < 300; ++round) {
        const bool ties = round > 0;
        const uint32_t nlist = 48;
        IvfHolder h(1, nlist, 1, 0);
        std::vector<float> c(nlist);
        for (uint32_t i = 0; i < nlist; ++i) {
            c[i] = ties ? float(int(gen() % 41) - 20) : float(i) * 0.37f - 8.0f;
            *rk::ivf_centroid(h.ivf, i) = c[i];
            ASSERT_EQ(rk::ivf_append_raw(h.ivf, i, i, &c[i]), RK_OK);
        }
        rk::ivf_set_trained(h.ivf, 1);
        const float q = 0.0f;
        std::vector<std::pair<float, uint32_t>> model(nlist);
        for (uint32_t i = 0; i < nlist; ++i) model[i] = {(q - c[i]) * (q - c[i]), i};
        for (uint32_t j = 0; j < nlist; ++j) {
            uint32_t m = j;
            for (uint32_t i = j + 1; i < nlist; ++i)
                if (model[i].first < model[m].first) m = i;
            std::swap(model[j], model[m]);
        }
        for (uint32_t np = 1; np <= nlist; ++np) {
            rk::ivf_set_nprobe(h.ivf, np);
            const auto got = search(h.ivf, &q, nlist);
            std::set<uint64_t> lists, want;
            for (const auto &hit : got) lists.insert(hit.id);
            for (uint32_t j = 0; j < np; ++j) want.insert(model[j].second);
            ASSERT_EQ(lists, want) << "round " << round << ", nprobe " << np;
        }
    }
}

TEST(IvfLists, GrowthKeepsEveryEntryInOrder) {
    const uint32_t dim = 5;
    std::vector<float> x(1500 * dim);
    for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>(i % 97) * 0.01f;
    IvfHolder h(dim, 1, 1, 1);
    ASSERT_EQ(rk::ivf_train(h.ivf, x.data(), 1500), RK_OK);
    const auto ids = seq_ids(1500, 100);
    ASSERT_EQ(rk::ivf_add_batch(h.ivf, ids.data(), x.data(), 1025), RK_OK);
    ASSERT_EQ(rk::ivf_add_batch(h.ivf, ids.data() + 1025, x.data() + 1025 * dim, 475), RK_OK);
    ASSERT_EQ(rk_ivf_get_list_size(h.ivf, 0), 1500u);
    for (uint64_t i = 0; i < 1500; ++i) {
        uint64_t id;
        const void *p;
        ASSERT_TRUE(rk::ivf_entry(h.ivf, 0, i, &id, &p));
        EXPECT_EQ(id, 100 + i);
        EXPECT_EQ(0, std::memcmp(p, &x[i * dim], 4 * dim));
    }
    EXPECT_FALSE(rk::ivf_entry(h.ivf, 0, 1500, nullptr, nullptr));
    EXPECT_EQ(rk::ivf_memory_usage(h.ivf), 152u + 40u + 1500u * (4u * dim + 24u));
}

// A removed id never comes back, and what stays answers exactly as an index
// that never held the removed rows.
TEST(IvfRemove, RemovedIdsVanishAndOrderIsKept) {
    for (uint32_t metric : {0u, 2u}) {
        const uint32_t dim = 6, nlist = 5;
        const auto x = blobs(400, dim, 5, 9, false);
        IvfHolder full(dim, nlist, 3, 2, metric), kept(dim, nlist, 3, 2, metric);
        rk_srand(5);
        ASSERT_EQ(rk::ivf_train(full.ivf, x.data(), 400), RK_OK);
        rk_srand(5);
        ASSERT_EQ(rk::ivf_train(kept.ivf, x.data(), 400), RK_OK);
        const auto ids = seq_ids(400);
        ASSERT_EQ(rk::ivf_add_batch(full.ivf, ids.data(), x.data(), 400), RK_OK);
        std::vector<uint64_t> gone;
        for (uint64_t i = 0; i < 400; ++i) {
            if (i % 3 == 0)
                gone.push_back(ids[i]);
            else
                ASSERT_EQ(rk::ivf_add_batch(kept.ivf, &ids[i], &x[i * dim], 1), RK_OK);
        }
        gone.push_back(99999);  // unknown ids are ignored
        uint64_t removed = 0;
        ASSERT_EQ(rk::ivf_remove(full.ivf, gone.data(), gone.size(), &removed), RK_OK);
        EXPECT_EQ(removed, gone.size() - 1);
        EXPECT_EQ(rk::ivf_ntotal(full.ivf), rk::ivf_ntotal(kept.ivf));
        for (int qi = 0; qi < 400; qi += 7) {
            const auto a = search(full.ivf, &x[qi * dim], 20), b = search(kept.ivf, &x[qi * dim], 20);
            ASSERT_EQ(a.size(), b.size());
            for (size_t i = 0; i < a.size(); ++i) {
                EXPECT_EQ(a[i].id, b[i].id);
                EXPECT_EQ(a[i].distance, b[i].distance);
                EXPECT_NE((a[i].id - 1) % 3, 0u);
            }
        }
        // Removing everything leaves an empty index that answers nothing.
        ASSERT_EQ(rk::ivf_remove(full.ivf, ids.data(), ids.size(), &removed), RK_OK);
        EXPECT_EQ(rk::ivf_ntotal(full.ivf), 0u);
        EXPECT_TRUE(search(full.ivf, x.data(), 5).empty());
    }
}

TEST(IvfArgs, CreationAndAccessorsRefuseBadInput) {
    rk_ivf_params_t p{};
    p.nlist = 5;
    EXPECT_EQ(rk_ivf_create(nullptr, 0, &p), nullptr);
    EXPECT_EQ(rk_ivf_create(nullptr, 4, nullptr), nullptr);
    p.nlist = 0;
    EXPECT_EQ(rk_ivf_create(nullptr, 4, &p), nullptr);
    // Sizes that cannot be had fail cleanly instead of wrapping.
    p.nlist = 0xFFFFFFFFu;
    EXPECT_EQ(rk_ivf_create(nullptr, 0xFFFFFFFFu, &p), nullptr);
    p.nlist = 5;
    rk_arena_t *arena = nullptr;
    ASSERT_EQ(rk_arena_create(0, &arena), RK_OK);
    rk_ivf_t *ivf = rk_ivf_create(arena, 4, &p);
    ASSERT_NE(ivf, nullptr);
    EXPECT_EQ(rk_ivf_get_nlist(ivf), 5u);
    EXPECT_EQ(rk_ivf_get_list_size(ivf, 5), 0u);
    EXPECT_EQ(rk_ivf_get_nlist(nullptr), 0u);
    EXPECT_EQ(rk_ivf_get_list_size(nullptr, 0), 0u);
    EXPECT_EQ(rk::ivf_memory_usage(ivf), 352u);
    EXPECT_EQ(rk::ivf_set_metric(ivf, 3), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk::ivf_bind(ivf, 2, 0, nullptr, nullptr), RK_ERR_INVALID_ARG);
    const float row[4] = {1, 2, 3, 4};
    const uint64_t id = 1;
    EXPECT_EQ(rk::ivf_train(ivf, nullptr, 5), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk::ivf_add_batch(ivf, &id, nullptr, 1), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk::ivf_add_batch(ivf, &id, row, 1), RK_ERR_INDEX_NOT_READY);
    IvfHit out[1];
    EXPECT_EQ(rk::ivf_search(ivf, row, 1, out), 0u);
    rk_ivf_destroy(ivf);
    rk_ivf_destroy(nullptr);
    rk_arena_destroy(arena);
}

// Scratch that cannot be had fails the call cleanly: no hits, no entry,
// nothing leaked.
TEST(IvfArgs, FailingAllocatorFailsCleanly) {
    const uint32_t dim = 4;
    const auto x = blobs(40, dim, 2, 14, false);
    IvfHolder h(dim, 2, 2, 1);
    ASSERT_EQ(rk::ivf_train(h.ivf, x.data(), 40), RK_OK);
    const auto ids = seq_ids(40);
    ASSERT_EQ(rk::ivf_add_batch(h.ivf, ids.data(), x.data(), 20), RK_OK);
    const rk_allocator_t saved = *rk_get_allocator();
    rk_allocator_t failing = saved;
    failing.malloc_fn = [](size_t, void *) -> void * { return nullptr; };
    ASSERT_EQ(rk_set_allocator(&failing), RK_OK);
    std::vector<IvfHit> out(5);
    const uint64_t found = rk::ivf_search(h.ivf, x.data(), 5, out.data());
    const rk_status_t added = rk::ivf_add_batch(h.ivf, ids.data() + 20, x.data() + 20 * dim, 20);
    const rk_status_t trained = rk::ivf_train(h.ivf, x.data(), 40);
    rk_ivf_params_t params{};
    params.nlist = 4;
    rk_ivf_t *none = rk_ivf_create(nullptr, dim, &params);
    ASSERT_EQ(rk_set_allocator(&saved), RK_OK);
    EXPECT_EQ(found, 0u);
    EXPECT_EQ(added, RK_ERR_NO_MEMORY);
    EXPECT_EQ(trained, RK_ERR_NO_MEMORY);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(rk::ivf_ntotal(h.ivf), 20u);
    EXPECT_EQ(h->trained, 1u);
}

// Searches run beside adds: every answer is well formed and the final count
// is exact.
TEST(IvfConcurrency, SearchesBesideAdds) {
    const uint32_t dim = 8;
    const auto x = blobs(4000, dim, 8, 10, false);
    IvfHolder h(dim, 8, 3, 2);
    ASSERT_EQ(rk::ivf_train(h.ivf, x.data(), 1000), RK_OK);
    const auto ids = seq_ids(4000);
    std::atomic<bool> done{false};
    std::thread reader([&] {
        std::vector<IvfHit> out(10);
        while (!done.load()) {
            const uint64_t n = rk::ivf_search(h.ivf, x.data(), 10, out.data());
            for (uint64_t i = 0; i < n; ++i) ASSERT_GE(out[i].id, 1u);
        }
    });
    for (size_t i = 0; i < 4000; i += 100)
        ASSERT_EQ(rk::ivf_add_batch(h.ivf, &ids[i], &x[i * dim], 100), RK_OK);
    done = true;
    reader.join();
    EXPECT_EQ(rk::ivf_ntotal(h.ivf), 4000u);
}

}  // namespace
