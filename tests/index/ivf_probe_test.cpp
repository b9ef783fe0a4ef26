// SPDX-License-Identifier: Apache-2.0
// Choosing the lists to probe from staged, early-stopped centroid sums must
// choose exactly what the full ranking chooses, in the same order.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "index/ivf.h"
#include "rk_error.h"
#include "rk_index.h"

namespace {

struct Ivf {
    rk_ivf_t *p = nullptr;
    Ivf(uint32_t dim, uint32_t nlist, uint32_t metric) {
        rk_ivf_params_t prm{};
        prm.nlist = nlist;
        prm.nprobe = 1;
        prm.train_iterations = 1;
        p = rk_ivf_create(nullptr, dim, &prm);
        if (p) {
            EXPECT_EQ(rk::ivf_set_metric(p, metric), RK_OK);
        }
    }
    ~Ivf() { rk_ivf_destroy(p); }
    Ivf(const Ivf &) = delete;
    Ivf &operator=(const Ivf &) = delete;
};

// The probe order the search uses: a selection sort over scores in list
// order, each step swapping the first smallest remaining score forward.
std::vector<std::pair<uint32_t, uint32_t>> chosen(const std::vector<float> &scores, uint32_t np) {
    std::vector<std::pair<float, uint32_t>> p(scores.size());
    for (uint32_t i = 0; i < scores.size(); ++i) p[i] = {scores[i], i};
    std::vector<std::pair<uint32_t, uint32_t>> out;
    for (uint32_t j = 0; j < np; ++j) {
        uint32_t m = j;
        for (uint32_t i = j + 1; i < p.size(); ++i)
            if (p[i].first < p[m].first) m = i;
        std::swap(p[j], p[m]);
        out.push_back({p[j].second, std::bit_cast<uint32_t>(p[j].first)});
    }
    return out;
}

// Centroids around a few far-apart centres (so most panels can be dropped),
// with some centroids repeated to make exact ties.
void place(rk_ivf_t *ivf, uint32_t dim, uint32_t nlist, std::mt19937 &rng, bool unit) {
    std::normal_distribution<float> g(0.0f, 1.0f);
    std::vector<float> centres(8 * size_t(dim));
    for (auto &v : centres) v = 6.0f * g(rng);
    for (uint32_t c = 0; c < nlist; ++c) {
        float *x = rk::ivf_centroid(ivf, c);
        if (c % 17 == 5) {
            std::memcpy(x, rk::ivf_centroid(ivf, c - 1), dim * sizeof(float));
            continue;
        }
        const float *k = &centres[(rng() % 8) * dim];
        double n = 0;
        for (uint32_t j = 0; j < dim; ++j) {
            x[j] = k[j] + g(rng);
            n += double(x[j]) * x[j];
        }
        if (unit)
            for (uint32_t j = 0; j < dim; ++j) x[j] = float(x[j] / std::sqrt(n));
    }
    rk::ivf_set_trained(ivf, 1);
}

TEST(IvfProbeChoice, StagedRankingChoosesTheFullRankingsListsInItsOrder) {
    std::mt19937 rng(31337);
    std::normal_distribution<float> g(0.0f, 1.0f);
    const float inf = std::numeric_limits<float>::infinity();
    size_t dropped = 0, scored = 0;
    for (uint32_t metric : {0u, 1u, 2u}) {
        for (uint32_t dim : {32u, 100u, 384u}) {
            const uint32_t nlist = 200;
            Ivf ivf(dim, nlist, metric);
            ASSERT_NE(ivf.p, nullptr);
            place(ivf.p, dim, nlist, rng, metric == 2);
            std::vector<std::vector<float>> queries;
            for (int i = 0; i < 12; ++i) {
                // Near a centroid, or near a tie.
                const float *c = ivf.p->centroids + size_t(uint32_t(i * 13) % nlist) * dim;
                std::vector<float> q(c, c + dim);
                const float step = (i % 3 == 0 ? 0.0f : 0.3f) * (metric == 2 ? 1.0f / std::sqrt(float(dim)) : 1.0f);
                for (auto &v : q) v += step * g(rng);
                queries.push_back(q);
            }
            queries.push_back(std::vector<float>(dim, 0.0f));
            queries.push_back(std::vector<float>(dim, 1e30f));  // sums overflow
            std::vector<float> odd(dim, 0.5f);
            odd[dim - 1] = std::numeric_limits<float>::quiet_NaN();
            queries.push_back(odd);
            odd[dim - 1] = -inf;
            queries.push_back(odd);
            // The scores are read through the panels: a written centroid
            // must be packed again, as ivf_centroid says.
            ASSERT_TRUE(ivf.p->panels_current);
            for (size_t qi = 0; qi < queries.size(); ++qi) {
                const float *q = queries[qi].data();
                std::vector<float> full(nlist);
                rk::ivf_centroid_scores(ivf.p, q, full.data());
                for (uint32_t np : {1u, 3u, 25u}) {
                    SCOPED_TRACE(::testing::Message() << "metric " << metric << " dim " << dim << " query " << qi
                                                      << " np " << np);
                    std::vector<float> staged(nlist, 7.0f);
                    rk::ivf_probe_scores(ivf.p, q, np, staged.data());
                    for (uint32_t c = 0; c < nlist; ++c) {
                        if (staged[c] == inf && full[c] != inf) {
                            ++dropped;
                            continue;
                        }
                        ++scored;
                        ASSERT_EQ(std::bit_cast<uint32_t>(staged[c]), std::bit_cast<uint32_t>(full[c]))
                            << "list " << c;
                    }
                    ASSERT_EQ(chosen(staged, np), chosen(full, np));
                }
            }
        }
    }
    // The clustered centroids leave many panels behind the bar: the staged
    // path really ran (and did not quietly fall back to full scores).
    EXPECT_GT(dropped * 3, scored);
}

// A written centroid leaves the panels stale: probes then rank from the
// plain centroids, and packing again brings the staged path back.
TEST(IvfProbeChoice, StalePanelsRankFromThePlainCentroids) {
    std::mt19937 rng(5);
    const uint32_t dim = 64, nlist = 128;
    Ivf ivf(dim, nlist, 0);
    ASSERT_NE(ivf.p, nullptr);
    place(ivf.p, dim, nlist, rng, false);
    float *c7 = rk::ivf_centroid(ivf.p, 7);
    std::vector<float> q(c7, c7 + dim);
    for (uint32_t j = 0; j < dim; ++j) c7[j] += 100.0f;  // list 7 moves far away
    std::vector<float> s(nlist);
    rk::ivf_probe_scores(ivf.p, q.data(), 1, s.data());
    EXPECT_NE(chosen(s, 1)[0].first, 7u);
    for (uint32_t j = 0; j < dim; ++j) c7[j] = q[j];
    rk::ivf_set_trained(ivf.p, 1);
    rk::ivf_probe_scores(ivf.p, q.data(), 1, s.data());
    EXPECT_EQ(chosen(s, 1)[0].first, 7u);
    EXPECT_EQ(s[7], 0.0f);
}

}  // namespace
