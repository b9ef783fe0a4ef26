// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "rk_vector.h"
#include "support/ref_loops.h"
#include "vector/kernels.h"

namespace {

using rk_test::ref_dot;
using rk_test::ref_l2;

using rk::kern::Path;

bool same_bits(float x, float y) {
    if (std::isnan(x) || std::isnan(y)) return std::isnan(x) && std::isnan(y);
    return std::bit_cast<uint32_t>(x) == std::bit_cast<uint32_t>(y);
}

// Non-integer values over many magnitudes, so any reordering of a sum shows
// in its last bits; `awkward` mixes in denormals, signed zeros, infinities
// and NaN.
std::vector<float> random_floats(std::mt19937 &rng, size_t n, bool awkward) {
    std::uniform_real_distribution<float> mant(-1.0f, 1.0f);
    std::uniform_int_distribution<int> ex(-12, 12);
    std::uniform_int_distribution<int> pick(0, 199);
    const float specials[] = {1e-40f,
                              -3e-39f,
                              FLT_TRUE_MIN,
                              -0.0f,
                              0.0f,
                              std::numeric_limits<float>::infinity(),
                              -std::numeric_limits<float>::infinity(),
                              std::numeric_limits<float>::quiet_NaN(),
                              FLT_MAX,
                              1e-20f};
    std::vector<float> v(n);
    for (auto &x : v) {
        x = std::ldexp(mant(rng), ex(rng));
        const int p = pick(rng);
        if (awkward && p < 10) x = specials[p];
    }
    return v;
}

class PathGuard {
public:
    ~PathGuard() { rk::kern::reset_path(); }
};

// Every path the processor supports, forced in turn, against the oracle:
// dimensions 1..300 cover every tail length and unroll boundary; row counts
// cover full groups of every register width and padded partial groups.
TEST(KernelPaths, EveryPathMatchesThePlainLoopBitForBit) {
    PathGuard guard;
    std::mt19937 rng(12345);
    const size_t kRows = 53;  // three full groups of 16 (or more of 8, 4) and a partial one
    for (int p = 0; p < rk::kern::kPathCount; ++p) {
        const Path path = Path(p);
        if (!rk::kern::force_path(path)) {
            EXPECT_FALSE(rk::kern::path_supported(path));
            continue;
        }
        SCOPED_TRACE(rk::kern::path_name(path));
        EXPECT_EQ(rk::kern::active_path(), path);
        for (uint32_t dim = 1; dim <= 300; ++dim) {
            const bool awkward = dim % 3 == 0;
            const size_t stride = dim + dim % 5;
            std::vector<float> q = random_floats(rng, dim, awkward);
            std::vector<float> block = random_floats(rng, kRows * stride, awkward);
            const size_t n = dim <= 40 ? dim : kRows;  // small dims: every row count
            // Each row in its own exact-size allocation, so the sanitizer
            // build catches any read past a row's last element.
            std::vector<std::vector<float>> own(n);
            std::vector<const float *> rows(n);
            for (size_t i = 0; i < n; ++i) {
                const float *src = block.data() + ((i * 7) % kRows) * stride;
                own[i].assign(src, src + dim);
                rows[i] = own[i].data();
            }
            std::vector<float> l2(n), dp(n), nn(n), l2b(n), dpb(n);
            rk::kern::l2sq_many(q.data(), rows.data(), n, dim, l2.data());
            rk::kern::dot_many(q.data(), rows.data(), n, dim, dp.data());
            rk::kern::sqnorm_many(rows.data(), n, dim, nn.data());
            rk::kern::l2sq_block(q.data(), block.data(), n, stride, dim, l2b.data());
            rk::kern::dot_block(q.data(), block.data(), n, stride, dim, dpb.data());
            // Two queries sharing the rows: the second gets its own values.
            const std::vector<float> q2 = random_floats(rng, dim, awkward);
            std::vector<float> l2p(n), l2p2(n), dpp(n), dpp2(n);
            rk::kern::l2sq_many2(q.data(), q2.data(), rows.data(), n, dim, l2p.data(), l2p2.data());
            rk::kern::dot_many2(q.data(), q2.data(), rows.data(), n, dim, dpp.data(), dpp2.data());
            for (size_t i = 0; i < n; ++i) {
                ASSERT_TRUE(same_bits(l2p[i], l2[i])) << "l2 pair dim " << dim << " row " << i;
                ASSERT_TRUE(same_bits(dpp[i], dp[i])) << "dot pair dim " << dim << " row " << i;
                ASSERT_TRUE(same_bits(l2p2[i], ref_l2(q2.data(), rows[i], dim))) << "l2 pair dim " << dim;
                ASSERT_TRUE(same_bits(dpp2[i], ref_dot(q2.data(), rows[i], dim))) << "dot pair dim " << dim;
            }
            for (size_t i = 0; i < n; ++i) {
                const float *r = rows[i];
                const float *b = block.data() + i * stride;
                ASSERT_TRUE(same_bits(l2[i], ref_l2(q.data(), r, dim))) << "l2 dim " << dim << " row " << i;
                ASSERT_TRUE(same_bits(dp[i], ref_dot(q.data(), r, dim))) << "dot dim " << dim << " row " << i;
                ASSERT_TRUE(same_bits(nn[i], ref_dot(r, r, dim))) << "norm dim " << dim << " row " << i;
                ASSERT_TRUE(same_bits(l2b[i], ref_l2(q.data(), b, dim)))
                    << "l2 block dim " << dim << " row " << i;
                ASSERT_TRUE(same_bits(dpb[i], ref_dot(q.data(), b, dim)))
                    << "dot block dim " << dim << " row " << i;
            }
            // The last rows passed as "coming next" are fetched, never
            // measured: the output holds exactly the measured rows, so the
            // sanitizer build catches a write past them.
            const size_t later = n / 3, now = n - later;
            std::vector<float> l2a(now), dpa(now), l2ba(now), dpba(now);
            rk::kern::l2sq_many_ahead(q.data(), rows.data(), now, later, dim, l2a.data());
            rk::kern::dot_many_ahead(q.data(), rows.data(), now, later, dim, dpa.data());
            rk::kern::l2sq_block_ahead(q.data(), block.data(), now, later, stride, dim, l2ba.data());
            rk::kern::dot_block_ahead(q.data(), block.data(), now, later, stride, dim, dpba.data());
            for (size_t i = 0; i < now; ++i) {
                ASSERT_TRUE(same_bits(l2a[i], l2[i])) << "l2 ahead dim " << dim << " row " << i;
                ASSERT_TRUE(same_bits(dpa[i], dp[i])) << "dot ahead dim " << dim << " row " << i;
                ASSERT_TRUE(same_bits(l2ba[i], l2b[i])) << "l2 block ahead dim " << dim << " row " << i;
                ASSERT_TRUE(same_bits(dpba[i], dpb[i])) << "dot block ahead dim " << dim << " row " << i;
            }
        }
    }
}

// Wide registers hand the last rows of a batch (and narrow dimensions) to
// narrower ones: every row count from 1 to 40 at dimensions on both sides
// of that switch, with rows passed as coming next.
TEST(KernelPaths, EveryRowCountMatchesAtWideDimensions) {
    PathGuard guard;
    std::mt19937 rng(99);
    for (int p = 0; p < rk::kern::kPathCount; ++p) {
        if (!rk::kern::force_path(Path(p))) continue;
        SCOPED_TRACE(rk::kern::path_name(Path(p)));
        for (uint32_t dim : {255u, 256u, 384u, 785u}) {
            std::vector<float> q = random_floats(rng, dim, false);
            std::vector<std::vector<float>> own(48);
            std::vector<const float *> rows(48);
            for (size_t i = 0; i < own.size(); ++i) {
                own[i] = random_floats(rng, dim, i % 5 == 0);
                rows[i] = own[i].data();
            }
            for (size_t n = 1; n <= 40; ++n) {
                std::vector<float> l2(n), dp(n);
                rk::kern::l2sq_many_ahead(q.data(), rows.data(), n, 48 - n, dim, l2.data());
                rk::kern::dot_many_ahead(q.data(), rows.data(), n, 48 - n, dim, dp.data());
                // Two queries at once: the set's last row (never measured here) as the second.
                std::vector<float> l2p(n), l2p2(n), dpp(n), dpp2(n);
                rk::kern::l2sq_many2(q.data(), rows[47], rows.data(), n, dim, l2p.data(), l2p2.data());
                rk::kern::dot_many2(q.data(), rows[47], rows.data(), n, dim, dpp.data(), dpp2.data());
                for (size_t i = 0; i < n; ++i) {
                    ASSERT_TRUE(same_bits(l2[i], ref_l2(q.data(), rows[i], dim))) << "dim " << dim << " n " << n;
                    ASSERT_TRUE(same_bits(dp[i], ref_dot(q.data(), rows[i], dim))) << "dim " << dim << " n " << n;
                    ASSERT_TRUE(same_bits(l2p[i], l2[i])) << "pair dim " << dim << " n " << n;
                    ASSERT_TRUE(same_bits(dpp[i], dp[i])) << "pair dim " << dim << " n " << n;
                    ASSERT_TRUE(same_bits(l2p2[i], ref_l2(rows[47], rows[i], dim))) << "pair dim " << dim;
                    ASSERT_TRUE(same_bits(dpp2[i], ref_dot(rows[47], rows[i], dim))) << "pair dim " << dim;
                }
            }
        }
    }
}

// Blocks longer than the kernels' internal chunks (each fetching the next
// chunk's first rows) and rows that start anywhere inside a cache line.
TEST(KernelPaths, LongBlocksAndUnalignedRowsMatchThePlainLoop) {
    PathGuard guard;
    std::mt19937 rng(777);
    for (int p = 0; p < rk::kern::kPathCount; ++p) {
        if (!rk::kern::force_path(Path(p))) continue;
        SCOPED_TRACE(rk::kern::path_name(Path(p)));
        for (uint32_t dim : {1u, 3u, 4u, 16u, 17u, 128u}) {
            for (size_t n : {255u, 256u, 257u, 383u, 384u, 385u, 1000u}) {
                const size_t stride = dim + 1;  // rows drift across line boundaries
                std::vector<float> q = random_floats(rng, dim, false);
                std::vector<float> block = random_floats(rng, n * stride + 1, false);
                const float *base = block.data() + 1;  // not 16-byte aligned
                std::vector<float> l2(n), dp(n);
                rk::kern::l2sq_block(q.data(), base, n, stride, dim, l2.data());
                rk::kern::dot_block(q.data(), base, n, stride, dim, dp.data());
                for (size_t i = 0; i < n; ++i) {
                    const float *r = base + i * stride;
                    ASSERT_TRUE(same_bits(l2[i], ref_l2(q.data(), r, dim)))
                        << "dim " << dim << " n " << n << " row " << i;
                    ASSERT_TRUE(same_bits(dp[i], ref_dot(q.data(), r, dim)))
                        << "dim " << dim << " n " << n << " row " << i;
                }
            }
        }
    }
}

// Packed panels against many queries: every path, every tail of the last
// panel, query counts around the kernels' groups of four, dimensions across
// their tiles, special values included; nothing is written past the rows.
TEST(KernelPaths, PanelsMatchThePlainLoopBitForBit) {
    PathGuard guard;
    std::mt19937 rng(4242);
    for (int p = 0; p < rk::kern::kPathCount; ++p) {
        if (!rk::kern::force_path(Path(p))) continue;
        SCOPED_TRACE(rk::kern::path_name(Path(p)));
        for (uint32_t dim : {1u, 2u, 5u, 16u, 31u, 128u, 300u, 800u}) {
            for (size_t n : {1u, 7u, 8u, 9u, 23u, 33u, 64u, 100u, 201u}) {
                const size_t nq = 1 + (n + dim) % 9, stride = dim + 3, ldo = n + 2;
                const bool awkward = (n + dim) % 2 == 0;
                std::vector<float> rows = random_floats(rng, n * stride, awkward);
                std::vector<float> qv = random_floats(rng, nq * dim, awkward);
                std::vector<const float *> qs(nq);
                for (size_t i = 0; i < nq; ++i) qs[i] = qv.data() + i * dim;
                std::vector<float> packed(rk::kern::panel_floats(n, dim));
                rk::kern::pack_panels(rows.data(), n, stride, dim, packed.data());
                std::vector<float> l2(nq * ldo, 7.0f), dp(nq * ldo, 7.0f), lb(nq * ldo, 7.0f);
                rk::kern::l2sq_panels(qs.data(), nq, packed.data(), n, dim, l2.data(), ldo);
                rk::kern::dot_panels(qs.data(), nq, packed.data(), n, dim, dp.data(), ldo);
                // The screening's bounds: the norms are any floats (special
                // ones included), the padding repeats the last row's.
                std::vector<float> qn = random_floats(rng, nq, awkward), rn = random_floats(rng, n, awkward);
                for (auto &v : qn) v = std::fabs(v) * 1e3f;
                for (auto &v : rn) v = std::fabs(v) * 1e3f;
                rn.resize(rk::kern::panel_floats(n, 1), rn[n - 1]);
                const rk::kern::ScreenArgs args{qn.data(), rn.data(), 3e-5f,   0.9999f,
                                                0x1p-120f, 0x1p-60f,  0x1p121f};
                std::vector<float> least8(nq * 8, INFINITY);
                rk::kern::l2_bound_panels(qs.data(), nq, packed.data(), n, dim, args, lb.data(), ldo,
                                          least8.data());
                for (size_t i = 0; i < nq; ++i) {
                    for (size_t r = 0; r < n; ++r) {
                        const float *row = rows.data() + r * stride;
                        ASSERT_TRUE(same_bits(l2[i * ldo + r], ref_l2(qs[i], row, dim)))
                            << "l2 dim " << dim << " n " << n << " query " << i << " row " << r;
                        ASSERT_TRUE(same_bits(dp[i * ldo + r], ref_dot(qs[i], row, dim)))
                            << "dot dim " << dim << " n " << n << " query " << i << " row " << r;
                        const float sum = qn[i] + rn[r], d = ref_dot(qs[i], row, dim);
                        const float v = ((sum - (d + d)) - sum * args.widen) * args.shrink - args.slack;
                        const float want = sum > args.floor && sum < args.ceil ? v : -1.0f;
                        ASSERT_TRUE(same_bits(lb[i * ldo + r], want))
                            << "bound dim " << dim << " n " << n << " query " << i << " row " << r;
                    }
                    float least = INFINITY, got = INFINITY;
                    for (size_t r = 0; r < n; ++r) least = std::fmin(least, lb[i * ldo + r]);
                    for (size_t l = 0; l < 8; ++l) got = std::fmin(got, least8[i * 8 + l]);
                    ASSERT_EQ(got, least) << "least bound of query " << i;
                    for (size_t r = n; r < ldo; ++r) {
                        ASSERT_EQ(l2[i * ldo + r], 7.0f);
                        ASSERT_EQ(dp[i * ldo + r], 7.0f);
                        ASSERT_EQ(lb[i * ldo + r], 7.0f);
                    }
                }
            }
        }
    }
}

TEST(KernelPaths, ReferenceLoopsMatchTheOracleAndZeroDimIsPositiveZero) {
    std::mt19937 rng(99);
    for (uint32_t dim = 1; dim <= 64; ++dim) {
        auto a = random_floats(rng, dim, dim % 4 == 0);
        auto b = random_floats(rng, dim, false);
        ASSERT_TRUE(same_bits(rk::kern::l2sq(a.data(), b.data(), dim), ref_l2(a.data(), b.data(), dim)));
        ASSERT_TRUE(same_bits(rk::kern::dot(a.data(), b.data(), dim), ref_dot(a.data(), b.data(), dim)));
        ASSERT_TRUE(same_bits(rk::kern::sqnorm(a.data(), dim), ref_dot(a.data(), a.data(), dim)));
    }
    const float x = 1.0f;
    EXPECT_EQ(std::bit_cast<uint32_t>(rk::kern::dot(&x, &x, 0)), 0u);
    // -0.0 terms still start from +0.0.
    const float nz = -0.0f, one = 1.0f;
    EXPECT_EQ(std::bit_cast<uint32_t>(rk::kern::dot(&nz, &one, 1)), 0u);
    rk::kern::dot_many(&x, nullptr, 0, 1, nullptr);  // empty batch touches nothing
}

TEST(KernelPaths, ForcingAnUnknownPathChangesNothing) {
    PathGuard guard;
    const Path before = rk::kern::active_path();
    EXPECT_FALSE(rk::kern::force_path(Path(17)));
    EXPECT_EQ(rk::kern::active_path(), before);
    EXPECT_TRUE(rk::kern::path_supported(Path::Scalar));
#if defined(__x86_64__)
    EXPECT_TRUE(rk::kern::path_supported(Path::Sse2));  // every x86-64 has it
#else
    EXPECT_FALSE(rk::kern::path_supported(Path::Sse2));  // portable loops only
#endif
}

TEST(VecDistance, NeutralValuesForNullAndZeroDimension) {
    const float a[3] = {1, 2, 3};
    EXPECT_EQ(rk_vec_dot(nullptr, a, 3), 0.0f);
    EXPECT_EQ(rk_vec_dot(a, a, 0), 0.0f);
    EXPECT_EQ(std::bit_cast<uint32_t>(rk_vec_ip_distance(nullptr, a, 3)), 0x80000000u);
    EXPECT_EQ(rk_vec_l2_squared(a, nullptr, 3), FLT_MAX);
    EXPECT_EQ(rk_vec_l2_squared(a, a, 0), FLT_MAX);
    EXPECT_EQ(rk_vec_l2_distance(a, a, 0), FLT_MAX);
    EXPECT_EQ(rk_vec_distance_l2(nullptr, a, 3), FLT_MAX);
    EXPECT_EQ(rk_vec_cosine_distance(a, nullptr, 3), 1.0f);
    EXPECT_EQ(rk_vec_cosine_similarity(a, a, 0), 0.0f);
    EXPECT_EQ(rk_vec_norm_squared(nullptr, 3), 0.0f);
    EXPECT_EQ(rk_vec_norm_l2_squared(a, 0), 0.0f);
    EXPECT_EQ(rk_vec_norm_l2(nullptr, 2), 0.0f);
    EXPECT_EQ(rk_vec_l1_norm(nullptr, 2), 0.0f);
    // The metric switch treats dimension 0 differently from rk_vec_l2_squared.
    EXPECT_EQ(std::bit_cast<uint32_t>(rk_vec_distance(a, a, 0, RK_METRIC_L2)), 0u);
    EXPECT_EQ(std::bit_cast<uint32_t>(rk_vec_distance(a, a, 0, RK_METRIC_IP)), 0x80000000u);
    EXPECT_EQ(rk_vec_distance(a, a, 0, RK_METRIC_COSINE), 1.0f);
    EXPECT_EQ(rk_vec_distance(nullptr, a, 3, RK_METRIC_COSINE), 1.0f);
    // A null vector with a real dimension is "no distance", not a crash.
    EXPECT_EQ(rk_vec_distance(nullptr, a, 3, RK_METRIC_L2), FLT_MAX);
    EXPECT_EQ(rk_vec_distance(a, nullptr, 3, RK_METRIC_IP), FLT_MAX);
}

TEST(VecDistance, ValuesAndMetricSwitch) {
    const float a[5] = {0.5f, -1.25f, 2.0f, 3.5f, -0.75f};
    const float b[5] = {1.5f, 0.25f, -2.0f, 1.0f, 0.125f};
    const float l2 = ref_l2(a, b, 5);
    EXPECT_EQ(rk_vec_l2_squared(a, b, 5), l2);
    EXPECT_EQ(rk_vec_l2_distance(a, b, 5), rk_math_sqrt_f32(l2));
    EXPECT_EQ(rk_vec_dot(a, b, 5), ref_dot(a, b, 5));
    EXPECT_EQ(rk_vec_ip_distance(a, b, 5), -ref_dot(a, b, 5));
    for (int m : {0, 7, -1, 3}) EXPECT_EQ(rk_vec_distance(a, b, 5, m), l2) << m;
    EXPECT_EQ(rk_vec_distance(a, b, 5, RK_METRIC_IP), -ref_dot(a, b, 5));
    EXPECT_EQ(rk_vec_distance(a, b, 5, RK_METRIC_COSINE), rk_vec_cosine_distance(a, b, 5));
    EXPECT_EQ(rk_vec_norm_squared(a, 5), ref_dot(a, a, 5));
    EXPECT_EQ(rk_vec_norm_l2(a, 5), rk_math_sqrt_f32(ref_dot(a, a, 5)));
    EXPECT_EQ(rk_vec_l1_norm(a, 5), 0.5f + 1.25f + 2.0f + 3.5f + 0.75f);
    // Orthogonal vectors: -0.0 from the sign flip, equal to 0.0.
    const float x[2] = {1, 0}, y[2] = {0, 1};
    EXPECT_EQ(std::bit_cast<uint32_t>(rk_vec_ip_distance(x, y, 2)), 0x80000000u);
    EXPECT_EQ(rk_vec_ip_distance(x, y, 2), 0.0f);
}

TEST(VecDistance, CosineEdges) {
    const float zero[3] = {0, 0, 0}, v[3] = {0.3f, -2.0f, 7.1f};
    EXPECT_EQ(rk_vec_cosine_distance(zero, v, 3), 1.0f);
    EXPECT_EQ(rk_vec_cosine_similarity(v, zero, 3), 0.0f);
    EXPECT_NEAR(rk_vec_cosine_distance(v, v, 3), 0.0f, 8 * FLT_EPSILON);
    const float neg[3] = {-0.3f, 2.0f, -7.1f};
    EXPECT_NEAR(rk_vec_cosine_distance(v, neg, 3), 2.0f, 8 * FLT_EPSILON);
    const float nan3[3] = {NAN, 1, 1};
    EXPECT_TRUE(std::isnan(rk_vec_cosine_distance(nan3, v, 3)));
    // The exact composition: the row norm times the query norm, rounded once.
    const float na = rk_math_sqrt_f32(ref_dot(v, v, 3)), nb = rk_math_sqrt_f32(ref_dot(neg, neg, 3));
    EXPECT_EQ(rk_vec_cosine_distance(v, neg, 3), 1.0f - ref_dot(v, neg, 3) / (nb * na));
}

TEST(VecBatch, MatchesOneToOneFunctionsIncludingNullRows) {
    std::mt19937 rng(5);
    for (uint32_t dim : {1u, 3u, 16u, 37u, 128u}) {
        const size_t n = 150;  // more than one internal chunk
        auto q = random_floats(rng, dim, false);
        std::vector<std::vector<float>> data(n);
        std::vector<const float *> rows(n);
        for (size_t i = 0; i < n; ++i) {
            data[i] = random_floats(rng, dim, i % 11 == 0);
            rows[i] = i % 13 == 4 ? nullptr : data[i].data();
        }
        std::vector<float> out(n), out_ip(n), out_cos(n), sim(n);
        rk_vec_batch_distance(q.data(), rows.data(), dim, n, RK_METRIC_L2, out.data());
        rk_vec_batch_distance(q.data(), rows.data(), dim, n, RK_METRIC_IP, out_ip.data());
        rk_vec_batch_distance(q.data(), rows.data(), dim, n, RK_METRIC_COSINE, out_cos.data());
        const rk_vec_batch_t batch = {rows.data(), dim, n};
        rk_vec_batch_cosine_similarity(q.data(), &batch, sim.data());
        for (size_t i = 0; i < n; ++i) {
            SCOPED_TRACE(testing::Message() << "dim " << dim << " row " << i);
            ASSERT_TRUE(same_bits(out[i], rk_vec_l2_distance(q.data(), rows[i], dim)));
            if (rows[i]) {
                ASSERT_TRUE(same_bits(out[i], rk_math_sqrt_f32(rk_vec_distance(q.data(), rows[i], dim, 0))));
            }
            ASSERT_TRUE(same_bits(out_ip[i], rk_vec_ip_distance(q.data(), rows[i], dim)));
            ASSERT_TRUE(same_bits(out_cos[i], rk_vec_cosine_distance(q.data(), rows[i], dim)));
            ASSERT_TRUE(same_bits(sim[i], rk_vec_cosine_similarity(q.data(), rows[i], dim)));
        }
    }
}

TEST(VecBatch, NullArgumentsAndZeroDimension) {
    const float q[2] = {1, 2};
    const float *rows[2] = {q, q};
    float out[2] = {5, 5};
    rk_vec_batch_distance(nullptr, rows, 2, 2, RK_METRIC_L2, out);
    rk_vec_batch_distance(q, nullptr, 2, 2, RK_METRIC_IP, out);
    rk_vec_batch_l2_distance(q, rows, 2, 2, nullptr);
    rk_vec_batch_l2_distance(q, nullptr, 2, 2, out);
    rk_vec_batch_cosine_similarity(q, nullptr, out);
    const rk_vec_batch_t empty_rows = {nullptr, 2, 2};
    rk_vec_batch_cosine_similarity(q, &empty_rows, out);
    EXPECT_EQ(out[0], 5.0f);
    EXPECT_EQ(out[1], 5.0f);
    rk_vec_batch_l2_distance(nullptr, rows, 2, 2, out);
    EXPECT_EQ(out[0], FLT_MAX);
    out[0] = 5;
    rk_vec_batch_l2_distance(q, rows, 0, 2, out);
    EXPECT_EQ(out[1], FLT_MAX);
    rk_vec_batch_distance(q, rows, 0, 2, RK_METRIC_IP, out);
    EXPECT_EQ(std::bit_cast<uint32_t>(out[0]), 0x80000000u);
    rk_vec_batch_distance(q, rows, 0, 2, RK_METRIC_COSINE, out);
    EXPECT_EQ(out[1], 1.0f);
}

TEST(VecSimdSwitches, FlagsNeverChangeResults) {
    std::mt19937 rng(3);
    auto a = random_floats(rng, 77, false), b = random_floats(rng, 77, false);
    const float *rows[1] = {b.data()};
    float before, after;
    rk_vec_batch_distance(a.data(), rows, 77, 1, RK_METRIC_L2, &before);
    const float cos_before = rk_vec_cosine_distance(a.data(), b.data(), 77);
    EXPECT_EQ(rk_is_simd_available(), 0);
    EXPECT_EQ(rk_get_simd_enabled(), 1);
    rk_set_simd_enabled(1);
    EXPECT_EQ(rk_is_simd_available(), 0);
    rk_vecdb_set_simd_enabled(0);
    EXPECT_EQ(rk_get_simd_enabled(), 0);
    EXPECT_EQ(rk_vecdb_is_simd_available(), 0);
    rk_vec_batch_distance(a.data(), rows, 77, 1, RK_METRIC_L2, &after);
    EXPECT_TRUE(same_bits(before, after));
    EXPECT_TRUE(same_bits(cos_before, rk_vec_cosine_distance(a.data(), b.data(), 77)));
    rk_set_simd_enabled(1);
}

}  // namespace
