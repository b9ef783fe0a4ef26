// SPDX-License-Identifier: Apache-2.0
// k-means: the bounded rounds and both seedings against the procedures
// written out as plain loops, bit for bit; what k-means++ buys on clustered
// data; the batch nearest-centroid helper.
#include "index/kmeans.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cstdint>
#include <cstring>
#include <random>
#include <set>
#include <vector>

#include "index/ivf.h"
#include "index/kmeans_bounds.h"
#include "rk_error.h"
#include "rk_index.h"
#include "rk_platform.h"
#include "rk_vector.h"
#include "support/ref_loops.h"
#include "vector/kernels.h"

namespace {

using rk_test::ref_dot;
using rk_test::ref_l2;

using rk::CentroidRule;
using rk::Seeding;

// ---- the reference procedures, as plain loops ----

void ref_normalise(float *v, uint32_t dim) {
    const float n = rk_math_sqrt_f32(ref_dot(v, v, dim));
    if (n < 1.1920929e-7f) return;
    const float f = 1.0f / n;
    for (uint32_t j = 0; j < dim; ++j) v[j] *= f;
}

struct Ref {
    std::vector<float> x;  // rows as clustered
    size_t n;
    uint32_t dim, k;
    const float *row(size_t r) const { return &x[r * dim]; }
};

std::vector<float> ref_farthest(const Ref &d) {
    std::vector<float> c(size_t(d.k) * d.dim);
    size_t pick = rk_rand() % d.n;
    std::copy_n(d.row(pick), d.dim, c.begin());
    for (uint32_t i = 1; i < d.k; ++i) {
        float best = 0.0f;
        for (size_t r = 0; r < d.n; ++r) {
            float m = FLT_MAX;
            for (uint32_t j = 0; j < i; ++j) m = std::min(m, ref_l2(d.row(r), &c[j * d.dim], d.dim));
            if (m > best) {
                best = m;
                pick = r;
            }
        }
        std::copy_n(d.row(pick), d.dim, c.begin() + ptrdiff_t(i) * d.dim);
    }
    return c;
}

// k-means++ exactly as kmeans.h describes it.
struct RefPlusPlus {
    const Ref &d;
    std::vector<float> c, dist;
    std::vector<uint32_t> stamp;

    explicit RefPlusPlus(const Ref &ref)
        : d(ref), c(size_t(ref.k) * ref.dim), dist(ref.n, FLT_MAX), stamp(ref.n, 0) {}
    void measure(size_t r, uint32_t upto) {
        for (uint32_t j = stamp[r]; j < upto; ++j) {
            const float v = ref_l2(d.row(r), &c[j * d.dim], d.dim);
            if (v < dist[r]) dist[r] = v;
        }
        stamp[r] = upto;
    }
    void measure_all(uint32_t upto) {
        for (size_t r = 0; r < d.n; ++r) measure(r, upto);
    }
    float weight(size_t r) const { return dist[r] > 0.0f && dist[r] < FLT_MAX ? dist[r] : 0.0f; }
    float block_sum(size_t b) const {
        float s = 0.0f;
        for (size_t r = b * rk::kPlusPlusBlockRows; r < std::min(d.n, (b + 1) * rk::kPlusPlusBlockRows); ++r)
            s += weight(r);
        return s;
    }
    size_t blocks() const { return (d.n + rk::kPlusPlusBlockRows - 1) / rk::kPlusPlusBlockRows; }
    float total() const {
        float s = 0.0f;
        for (size_t b = 0; b < blocks(); ++b) s += block_sum(b);
        return s;
    }
    static float uniform() { return float(rk_rand() >> 40) * 0x1p-24f; }
    size_t last_positive(size_t b) const {
        size_t last = b * rk::kPlusPlusBlockRows;
        for (size_t r = last; r < std::min(d.n, (b + 1) * rk::kPlusPlusBlockRows); ++r)
            if (weight(r) > 0.0f) last = r;
        return last;
    }
    size_t walk(float t) const {
        float acc = 0.0f;
        size_t last_block = 0;
        for (size_t b = 0; b < blocks(); ++b) {
            const float s = block_sum(b);
            if (t < acc + s) {
                const float t2 = t - acc;
                float run = 0.0f;
                for (size_t r = b * rk::kPlusPlusBlockRows;
                     r < std::min(d.n, (b + 1) * rk::kPlusPlusBlockRows); ++r) {
                    run += weight(r);
                    if (t2 < run) return r;
                }
                return last_positive(b);
            }
            if (s > 0.0f) last_block = b;
            acc = acc + s;
        }
        return last_positive(last_block);
    }
    std::vector<float> run() {
        size_t pick = rk_rand() % d.n;
        std::copy_n(d.row(pick), d.dim, c.begin());
        measure_all(1);
        uint32_t next = 1 + rk::kPlusPlusFirstBatch;
        for (uint32_t i = 1; i < d.k; ++i) {
            if (i == next) {
                measure_all(i);
                next = i + std::max(rk::kPlusPlusFirstBatch, i / 2);
            }
            uint32_t refusals = 0;
            for (;;) {
                const float tot = total();
                if (!(tot > 0.0f && tot <= FLT_MAX)) {
                    measure_all(i);
                    float best = 0.0f;
                    for (size_t r = 0; r < d.n; ++r)
                        if (weight(r) > best) {
                            best = weight(r);
                            pick = r;
                        }
                    break;
                }
                const size_t r = walk(uniform() * tot);
                if (stamp[r] < i) {
                    const float before = weight(r);
                    measure(r, i);
                    const float after = weight(r);
                    if (after != before && !(uniform() * before < after)) {
                        if (++refusals == rk::kPlusPlusMaxTries) measure_all(i);
                        continue;
                    }
                }
                pick = r;
                break;
            }
            std::copy_n(d.row(pick), d.dim, c.begin() + ptrdiff_t(i) * d.dim);
        }
        return c;
    }
};

// k distinct rows: a Fisher-Yates shuffle of the row numbers, stopped after
// k steps.
std::vector<float> ref_uniform(const Ref &d) {
    std::vector<size_t> o(d.n);
    for (size_t r = 0; r < d.n; ++r) o[r] = r;
    std::vector<float> c(size_t(d.k) * d.dim);
    for (uint32_t i = 0; i < d.k; ++i) {
        std::swap(o[i], o[i + rk_rand() % (d.n - i)]);
        std::copy_n(d.row(o[i]), d.dim, &c[size_t(i) * d.dim]);
    }
    return c;
}

std::vector<float> ref_kmeans(const std::vector<float> &data, uint32_t dim, uint32_t k, uint32_t iters,
                              CentroidRule rule, Seeding seeding) {
    Ref d{data, data.size() / dim, dim, k};
    if (rule == CentroidRule::kAngular)
        for (size_t r = 0; r < d.n; ++r) ref_normalise(&d.x[r * dim], dim);
    std::vector<float> c = seeding == Seeding::kPlusPlus  ? RefPlusPlus(d).run()
                           : seeding == Seeding::kUniform ? ref_uniform(d)
                                                          : ref_farthest(d);
    std::vector<uint32_t> a(d.n);
    for (uint32_t it = 0; it < iters; ++it) {
        for (size_t r = 0; r < d.n; ++r) {
            float best = FLT_MAX;
            a[r] = 0;
            for (uint32_t j = 0; j < k; ++j) {
                const float s = rule == CentroidRule::kL2 ? ref_l2(d.row(r), &c[j * dim], dim)
                                                          : -ref_dot(d.row(r), &c[j * dim], dim);
                if (s < best) {
                    best = s;
                    a[r] = j;
                }
            }
        }
        std::vector<float> sum(c.size(), 0.0f);
        std::vector<uint64_t> size(k, 0);
        for (size_t r = 0; r < d.n; ++r) {
            for (uint32_t j = 0; j < dim; ++j) sum[a[r] * dim + j] += d.row(r)[j];
            ++size[a[r]];
        }
        for (uint32_t j = 0; j < k; ++j) {
            if (!size[j]) continue;
            for (uint32_t e = 0; e < dim; ++e) c[j * dim + e] = sum[j * dim + e] / float(size[j]);
            if (rule == CentroidRule::kAngular) ref_normalise(&c[j * dim], dim);
        }
    }
    return c;
}

// ---- data ----

// Gaussian blobs of uneven spread around random centres, non-integer values.
std::vector<float> blobs(size_t n, uint32_t dim, int centres, uint32_t seed, float spread,
                         float sigma = 1.0f) {
    std::mt19937 gen(seed);
    std::normal_distribution<float> g(0.0f, 1.0f);
    std::vector<float> c(size_t(centres) * dim), x(n * dim);
    for (auto &v : c) v = spread * g(gen);
    for (size_t r = 0; r < n; ++r) {
        const size_t k = gen() % centres;
        const float s = sigma * (0.5f + float(k % 4) * 0.25f);
        for (uint32_t j = 0; j < dim; ++j) x[r * dim + j] = c[k * dim + j] + s * g(gen);
    }
    return x;
}

std::vector<float> uniform_rows(size_t n, uint32_t dim, uint32_t seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> u(-3.0f, 3.0f);
    std::vector<float> x(n * dim);
    for (auto &v : x) v = u(gen);
    return x;
}

// Few distinct rows, each repeated many times, on a coarse grid: exact ties
// between centroids and rows that coincide with centroids.
std::vector<float> duplicates(size_t n, uint32_t dim, uint32_t seed) {
    std::mt19937 gen(seed);
    std::vector<float> distinct(37 * dim);
    for (auto &v : distinct) v = 0.1f * float(int(gen() % 5) - 2);
    std::vector<float> x(n * dim);
    for (size_t r = 0; r < n; ++r) std::copy_n(&distinct[(gen() % 37) * dim], dim, &x[r * dim]);
    return x;
}

std::vector<float> train(const std::vector<float> &x, uint32_t dim, uint32_t k, uint32_t iters,
                         CentroidRule rule, Seeding seeding, rk::KmeansStats *stats = nullptr) {
    rk::KmeansJob job;
    job.data = x.data();
    job.count = x.size() / dim;
    job.dim = dim;
    job.k = k;
    job.iterations = iters;
    job.rule = rule;
    job.seeding = seeding;
    job.stats = stats;
    std::vector<float> c(size_t(k) * dim);
    EXPECT_EQ(rk::kmeans_train(job, c.data()), RK_OK);
    return c;
}

// ---- bit identity ----

struct Case {
    const char *name;
    int data;  // 0 uniform, 1 clustered, 2 duplicates
    size_t n;
    uint32_t dim, k, iters;
};

class KmeansMatchesPlainLoops : public ::testing::TestWithParam<std::tuple<Case, CentroidRule, Seeding>> {};

// The bounds skip rows, the seeding measures in batches and the kernels score
// many pairs at once; the centroids must still be those of the plain loops,
// every bit, for both seedings and both rules.
TEST_P(KmeansMatchesPlainLoops, EveryBit) {
    const auto [c, rule, seeding] = GetParam();
    std::vector<float> x;
    if (c.data == 0) x = uniform_rows(c.n, c.dim, 3);
    if (c.data == 1) x = blobs(c.n, c.dim, 25, 4, 6.0f);
    if (c.data == 2) x = duplicates(c.n, c.dim, 5);
    rk::KmeansStats stats;
    rk_srand(1234);
    const auto got = train(x, c.dim, c.k, c.iters, rule, seeding, &stats);
    rk_srand(1234);
    const auto want = ref_kmeans(x, c.dim, c.k, c.iters, rule, seeding);
    ASSERT_EQ(0, std::memcmp(got.data(), want.data(), want.size() * sizeof(float))) << c.name;
    // The same generator draws were consumed.
    rk_srand(1234);
    (void)train(x, c.dim, c.k, c.iters, rule, seeding);
    const uint64_t after_train = rk_rand();
    rk_srand(1234);
    (void)ref_kmeans(x, c.dim, c.k, c.iters, rule, seeding);
    EXPECT_EQ(after_train, rk_rand());
    // On separated clusters the bounds must actually be skipping rows, or
    // this test would not be exercising them (in the rounds they run: after
    // a round whose centroids moved far, the next ones score everything at
    // once).
    if (c.data == 1 && c.iters > 2) {
        EXPECT_GT(stats.kept, 0u) << c.name;
    }
    // On uniform rows they save little, and whole rounds take their place
    // (from 16 dimensions on): rows scored with no own centroid measured
    // first.
    if (c.data == 0 && c.dim >= rk::km::kScreenFrom) {
        EXPECT_GT(stats.scanned, stats.tightened) << c.name;
    }
}

const Case kCases[] = {
    {"uniform", 0, 1500, 13, 70, 6},        {"clustered", 1, 3000, 16, 100, 8},
    {"clustered-wide", 1, 1200, 40, 40, 5}, {"duplicates", 2, 1800, 7, 30, 4},
    {"one-list", 1, 300, 5, 1, 3},          {"no-rounds", 1, 800, 9, 33, 0},
    {"twin-centroids", 2, 1500, 7, 80, 5},  {"uniform-wide", 0, 1200, 24, 60, 6},
};

INSTANTIATE_TEST_SUITE_P(Cases, KmeansMatchesPlainLoops,
                         ::testing::Combine(::testing::ValuesIn(kCases),
                                            ::testing::Values(CentroidRule::kL2, CentroidRule::kAngular),
                                            ::testing::Values(Seeding::kFarthest, Seeding::kPlusPlus,
                                                              Seeding::kUniform)));

// ---- seeding ----

TEST(KmeansSeeding, SameSeedSameCentroidsAndDistinctPicks) {
    const uint32_t dim = 8, k = 50;
    const auto x = blobs(2000, dim, 12, 9, 5.0f);
    rk_srand(77);
    const auto a = train(x, dim, k, 3, CentroidRule::kL2, Seeding::kPlusPlus);
    rk_srand(77);
    const auto b = train(x, dim, k, 3, CentroidRule::kL2, Seeding::kPlusPlus);
    EXPECT_EQ(0, std::memcmp(a.data(), b.data(), a.size() * sizeof(float)));
    rk_srand(78);
    const auto other = train(x, dim, k, 3, CentroidRule::kL2, Seeding::kPlusPlus);
    EXPECT_NE(0, std::memcmp(a.data(), other.data(), a.size() * sizeof(float)));
    // Without rounds the centroids are rows, and a row already chosen has
    // weight 0: never drawn again while others remain.
    const auto dup = duplicates(900, dim, 6);  // 37 distinct rows
    rk_srand(5);
    const auto seeds = train(dup, dim, 37, 0, CentroidRule::kL2, Seeding::kPlusPlus);
    std::set<std::vector<float>> picked, rows;
    for (uint32_t i = 0; i < 37; ++i)
        picked.insert(std::vector<float>(&seeds[i * dim], &seeds[(i + 1) * dim]));
    for (size_t r = 0; r < 900; ++r) rows.insert(std::vector<float>(&dup[r * dim], &dup[(r + 1) * dim]));
    EXPECT_EQ(picked.size(), std::min<size_t>(rows.size(), 37));
    // Every row identical: nothing is farther than 0, the first pick repeats.
    std::vector<float> same(40 * dim, 0.25f);
    for (float v : train(same, dim, 4, 0, CentroidRule::kL2, Seeding::kPlusPlus)) EXPECT_EQ(v, 0.25f);
}

// Tight clusters of equal size plus a few lone outliers far away: the
// farthest-point start spends its picks on the outliers, k-means++ draws by
// mass and lands one seed in nearly every cluster; after training, lists
// are far less lopsided.
TEST(KmeansSeeding, PlusPlusCoversClustersAndEvensLists) {
    const uint32_t dim = 6, clusters = 24, k = 24;
    std::mt19937 gen(21);
    std::normal_distribution<float> g(0.0f, 1.0f);
    std::vector<float> centre(clusters * dim), x;
    for (auto &v : centre) v = 30.0f * g(gen);
    for (uint32_t c = 0; c < clusters; ++c)
        for (int i = 0; i < 80; ++i)
            for (uint32_t j = 0; j < dim; ++j) x.push_back(centre[c * dim + j] + 0.5f * g(gen));
    for (int o = 0; o < 10; ++o)
        for (uint32_t j = 0; j < dim; ++j) x.push_back(120.0f * g(gen));
    const size_t n = x.size() / dim;
    auto covered = [&](const std::vector<float> &c) {
        std::set<uint32_t> hit;
        for (uint32_t i = 0; i < k; ++i) {
            for (uint32_t cl = 0; cl < clusters; ++cl)
                if (ref_l2(&c[i * dim], &centre[cl * dim], dim) < 25.0f * dim) hit.insert(cl);
        }
        return hit.size();
    };
    auto largest_list = [&](uint32_t seeding) {
        rk_ivf_params_t p{};
        p.nlist = k;
        p.nprobe = 1;
        p.train_iterations = 10;
        p.reserved[0] = seeding;
        rk_ivf_t *ivf = rk_ivf_create(nullptr, dim, &p);
        EXPECT_EQ(rk::ivf_train(ivf, x.data(), n), RK_OK);
        std::vector<uint64_t> ids(n);
        for (size_t i = 0; i < n; ++i) ids[i] = i + 1;
        EXPECT_EQ(rk::ivf_add_batch(ivf, ids.data(), x.data(), n), RK_OK);
        uint64_t top = 0;
        for (uint32_t l = 0; l < k; ++l) top = std::max(top, rk_ivf_get_list_size(ivf, l));
        rk_ivf_destroy(ivf);
        return top;
    };
    size_t pp = 0, fp = 0;
    uint64_t pp_list = 0, fp_list = 0;
    for (uint64_t seed = 1; seed <= 5; ++seed) {
        rk_srand(seed);
        pp += covered(train(x, dim, k, 0, CentroidRule::kL2, Seeding::kPlusPlus));
        rk_srand(seed);
        fp += covered(train(x, dim, k, 0, CentroidRule::kL2, Seeding::kFarthest));
        rk_srand(seed);
        pp_list += largest_list(RK_IVF_SEEDING_KMEANS_PP);
        rk_srand(seed);
        fp_list += largest_list(RK_IVF_SEEDING_FARTHEST);
    }
    // Out of 5 x 24 clusters.
    EXPECT_GE(pp, 100u);
    EXPECT_LE(fp, 80u);
    EXPECT_LT(pp_list * 3, fp_list * 2) << "largest lists: k-means++ " << pp_list << ", farthest " << fp_list;
}

TEST(KmeansSeeding, UnknownSeedingIsRefusedAndLeavesTheIndexAsItWas) {
    const uint32_t dim = 4;
    const auto x = blobs(200, dim, 4, 2, 3.0f);
    rk_ivf_params_t p{};
    p.nlist = 4;
    p.nprobe = 4;
    p.train_iterations = 2;
    p.reserved[0] = 3;
    rk_ivf_t *ivf = rk_ivf_create(nullptr, dim, &p);
    ASSERT_NE(ivf, nullptr);
    EXPECT_EQ(rk::ivf_train(ivf, x.data(), 200), RK_ERR_INVALID_ARG);
    EXPECT_EQ(ivf->trained, 0u);
    ivf->params.reserved[0] = RK_IVF_SEEDING_KMEANS_PP;
    ASSERT_EQ(rk::ivf_train(ivf, x.data(), 200), RK_OK);
    std::vector<float> before(rk::ivf_centroid(ivf, 0), rk::ivf_centroid(ivf, 0) + 4 * dim);
    ivf->params.reserved[0] = 0xFFFFFFFFu;
    EXPECT_EQ(rk::ivf_train(ivf, x.data(), 200), RK_ERR_INVALID_ARG);
    EXPECT_EQ(ivf->trained, 1u);
    EXPECT_EQ(0, std::memcmp(before.data(), rk::ivf_centroid(ivf, 0), before.size() * sizeof(float)));
    rk_ivf_destroy(ivf);
}

// ---- the batch helper of adding ----

// Many rows per call through the panels must choose the centroid the one-row
// scores choose, ties (duplicate centroids) to the lowest number included.
TEST(KmeansNearest, BatchAgreesWithOneRowScores) {
    const uint32_t dim = 11, k = 29;
    auto cents = uniform_rows(k, dim, 8);
    std::copy_n(&cents[3 * dim], dim, &cents[17 * dim]);  // a tie for every row near 3
    const auto rows = blobs(133, dim, 5, 10, 2.0f);
    for (CentroidRule rule : {CentroidRule::kL2, CentroidRule::kAngular}) {
        for (size_t n : {size_t(1), size_t(3), size_t(4), size_t(33), size_t(133)}) {
            std::vector<uint32_t> got(n);
            ASSERT_EQ(rk::nearest_centroids(rule, rows.data(), n, cents.data(), k, dim, got.data()), RK_OK);
            std::vector<float> sc(k);
            for (size_t r = 0; r < n; ++r) {
                rk::centroid_scores(rule, &rows[r * dim], cents.data(), k, dim, sc.data());
                ASSERT_EQ(got[r], rk::argmin_score(sc.data(), k)) << "row " << r << " of " << n;
                ASSERT_NE(got[r], 17u);
            }
        }
    }
}

// Squared L2 is screened through dot products before it is summed; the
// screen may only skip centroids that cannot win. Sets built to defeat it:
// rows far from the origin (the dot products cancel), near ties between
// mirrored centroids, duplicates, values near the overflow and underflow of
// the norms, and NaN and infinite coordinates. Every path, every bit of the
// choice against the plain loop.
TEST(KmeansNearest, ScreenedL2ChoosesWhatThePlainLoopChooses) {
    std::mt19937 rng(77);
    std::normal_distribution<float> g(0.0f, 1.0f);
    for (uint32_t dim : {3u, 64u, 130u}) {
        const uint32_t k = 41;
        for (int set = 0; set < 6; ++set) {
            const float offset = set == 1 ? 3e4f : 0.0f;
            const float scale = set == 3 ? 3e17f : set == 4 ? 1e-21f : 1.0f;
            std::vector<float> cents(size_t(k) * dim), rows(size_t(90) * dim);
            for (auto &v : cents) v = (offset + g(rng)) * scale;
            for (size_t r = 0; r < 90; ++r)
                for (uint32_t j = 0; j < dim; ++j)
                    rows[r * dim + j] = cents[(r % k) * dim + j] + 0.25f * g(rng) * scale;
            if (set == 2) {
                // Centroid 2i + 1 mirrors 2i through row i: the distances tie
                // in real numbers and differ only in their rounding.
                for (uint32_t i = 0; 2 * i + 1 < k; ++i)
                    for (uint32_t j = 0; j < dim; ++j)
                        cents[(2 * i + 1) * dim + j] = 2.0f * rows[i * dim + j] - cents[2 * i * dim + j];
                std::copy_n(&cents[5 * dim], dim, &cents[30 * dim]);
            }
            if (set == 5) {
                rows[7 * dim] = NAN;
                rows[8 * dim + dim - 1] = INFINITY;
                cents[4 * dim] = NAN;
                cents[9 * dim + 1] = -INFINITY;
                for (uint32_t j = 0; j < dim; ++j) rows[11 * dim + j] = 3e19f;  // its norm overflows
            }
            struct Reset {
                ~Reset() { rk::kern::reset_path(); }
            } reset;
            for (int p = 0; p < rk::kern::kPathCount; ++p) {
                if (!rk::kern::force_path(rk::kern::Path(p))) continue;
                std::vector<uint32_t> got(90);
                ASSERT_EQ(rk::nearest_centroids(CentroidRule::kL2, rows.data(), 90, cents.data(), k, dim,
                                                got.data()),
                          RK_OK);
                std::vector<float> sc(k);
                for (size_t r = 0; r < 90; ++r) {
                    for (uint32_t c = 0; c < k; ++c) sc[c] = ref_l2(&rows[r * dim], &cents[c * dim], dim);
                    ASSERT_EQ(got[r], rk::argmin_score(sc.data(), k))
                        << "set " << set << " dim " << dim << " row " << r << " path " << p;
                }
            }
        }
    }
}

// Whole rounds screen the centroids in group order, so the screen breaks
// ties by centroid number, not by place; and a row with nothing below
// FLT_MAX has no nearest.
TEST(KmeansNearest, ScreenTiesGoToTheLowestNumberNotTheFirstPlace) {
    const uint32_t dim = 70, n = 16;
    std::mt19937 rng(5);
    std::normal_distribution<float> g(0.0f, 1.0f);
    std::vector<float> cents(size_t(n) * dim);
    for (auto &v : cents) v = g(rng);
    std::copy_n(&cents[3 * dim], dim, &cents[12 * dim]);  // twins at places 3 and 12
    std::vector<float> rows(3 * size_t(dim));
    for (uint32_t j = 0; j < dim; ++j) rows[j] = cents[3 * dim + j] + 0.01f * g(rng);
    std::copy_n(&cents[7 * dim], dim, &rows[dim]);  // on centroid 7 itself
    for (uint32_t j = 0; j < dim; ++j) rows[2 * dim + j] = NAN;
    std::vector<float> packed(rk::kern::panel_floats(n, dim)), cnorm(rk::kern::panel_floats(n, 1));
    rk::kern::pack_panels(cents.data(), n, dim, dim, packed.data());
    rk::km::panel_sqnorms(packed.data(), n, dim, cnorm.data());
    const float *ptr[3] = {&rows[0], &rows[dim], &rows[2 * dim]};
    float qn[3];
    for (int i = 0; i < 3; ++i) qn[i] = ref_dot(ptr[i], ptr[i], dim);
    uint32_t number[n];
    for (uint32_t p = 0; p < n; ++p) number[p] = n - 1 - p;  // place 12 is centroid 3
    rk::km::ScreenedL2 screen;
    ASSERT_EQ(screen.reserve(3), RK_OK);
    std::vector<float> out(3 * size_t(n));
    uint32_t near[3];
    screen.run(ptr, qn, 3, packed.data(), cnorm.data(), n, dim, nullptr, nullptr, out.data(), n, near);
    EXPECT_EQ(near[0], 3u);
    EXPECT_EQ(near[1], 7u);
    EXPECT_EQ(near[2], n);
    screen.run(ptr, qn, 3, packed.data(), cnorm.data(), n, dim, nullptr, nullptr, out.data(), n, near,
               nullptr, number);
    EXPECT_EQ(near[0], 12u);
    EXPECT_EQ(near[1], 7u);
    EXPECT_EQ(out[n + 7], 0.0f);
}

}  // namespace
