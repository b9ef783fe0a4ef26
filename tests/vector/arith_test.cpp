// SPDX-License-Identifier: Apache-2.0
// Vector creation, element-wise arithmetic, normalisation, statistics and
// random vectors: exact bits against plain index-order loops, awkward
// inputs, null arguments and allocation failures.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "rk_error.h"
#include "rk_memory.h"
#include "rk_platform.h"
#include "rk_vector.h"
#include "support/float_bits.h"

namespace {

using rk_test::bits;

#define EXPECT_SAME_BITS(a, b) EXPECT_EQ(bits(a), bits(b))

// Non-integer values spread over many magnitudes, so that any change of
// summation order changes the rounded result.
std::vector<float> awkward(size_t n, uint64_t seed) {
    rk_srand(seed);
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i) {
        const float mag = (i % 3 == 0) ? 1e6f : (i % 3 == 1 ? 1.0f : 1e-3f);
        v[i] = (rk_rand_float() * 2.0f - 1.0f) * mag + 0.1f;
    }
    return v;
}

float seq_sum(const std::vector<float> &v) {
    float s = 0.0f;
    for (float x : v) s += x;
    return s;
}

class Arena : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(rk_arena_create(0, &arena_), RK_OK); }
    void TearDown() override { rk_arena_destroy(arena_); }
    rk_arena_t *arena_ = nullptr;
};

TEST_F(Arena, CreateCopyAndFreeFollowTheArenaOrHookRule) {
    EXPECT_EQ(rk_vec_create(arena_, 0), nullptr);
    EXPECT_EQ(rk_vec_create(nullptr, 0), nullptr);
    const size_t before = rk_arena_get_used_size(arena_);
    float *a = rk_vec_create_with_value(arena_, 3, 2.5f);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(rk_arena_get_used_size(arena_), before + 16);  // 12 bytes rounded to 8
    for (int i = 0; i < 3; ++i) EXPECT_EQ(a[i], 2.5f);

    float *h = rk_vec_copy(nullptr, a, 3);  // from the hooks, not the arena
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(rk_arena_get_used_size(arena_), before + 16);
    EXPECT_EQ(std::memcmp(h, a, 12), 0);
    rk_vec_free(h);
    rk_vec_free(nullptr);
    EXPECT_EQ(rk_vec_copy(arena_, nullptr, 3), nullptr);
    EXPECT_EQ(rk_vec_copy(arena_, a, 0), nullptr);
}

void *failing_malloc(size_t, void *) { return nullptr; }

TEST(Vec, HookFailureGivesNull) {
    const rk_allocator_t saved = *rk_get_allocator();
    const rk_allocator_t failing = {failing_malloc, nullptr, nullptr, nullptr};
    ASSERT_EQ(rk_set_allocator(&failing), RK_OK);
    const float src[2] = {1, 2};
    float *a = rk_vec_create(nullptr, 4);
    float *b = rk_vec_create_with_value(nullptr, 4, 1.0f);
    float *c = rk_vec_copy(nullptr, src, 2);
    ASSERT_EQ(rk_set_allocator(&saved), RK_OK);
    EXPECT_EQ(a, nullptr);
    EXPECT_EQ(b, nullptr);
    EXPECT_EQ(c, nullptr);
}

TEST_F(Arena, NormalizedCopyNeedsAnArenaAndADirection) {
    const float v[2] = {3, 4}, zero[2] = {0, 0};
    EXPECT_EQ(rk_vec_normalized(nullptr, v, 2), nullptr);
    EXPECT_EQ(rk_vec_normalized(arena_, zero, 2), nullptr);
    float *n = rk_vec_normalized(arena_, v, 2);
    ASSERT_NE(n, nullptr);
    EXPECT_NEAR(n[0], 0.6f, 1e-6f);
    EXPECT_NEAR(n[1], 0.8f, 1e-6f);
    EXPECT_EQ(v[0], 3.0f);  // the source is untouched
}

TEST(Vec, ElementWiseOpsAllowOutputOverEitherInput) {
    float a[5] = {1.5f, -2.25f, 3.0f, 0.1f, 7.0f};
    float b[5] = {0.5f, 0.25f, -1.0f, 0.2f, 1e-8f};
    float out[5];
    rk_vec_add(a, b, 5, out);
    for (int i = 0; i < 5; ++i) EXPECT_SAME_BITS(out[i], a[i] + b[i]);
    rk_vec_sub(a, b, 5, b);  // out = b
    EXPECT_SAME_BITS(b[0], 1.0f);
    EXPECT_SAME_BITS(b[3], 0.1f - 0.2f);
    rk_vec_scale(a, 5, 3.0f, a);  // out = v
    EXPECT_SAME_BITS(a[3], 0.1f * 3.0f);

    float keep[2] = {9, 9};
    rk_vec_add(nullptr, a, 2, keep);
    rk_vec_sub(a, nullptr, 2, keep);
    rk_vec_scale(nullptr, 2, 2.0f, keep);
    rk_vec_add(a, a, 2, nullptr);
    EXPECT_EQ(keep[0], 9.0f);
    EXPECT_EQ(keep[1], 9.0f);

    rk_vec_fill(keep, 2, -0.0f);
    EXPECT_EQ(bits(keep[1]), 0x80000000u);
    rk_vec_zero(keep, 2);
    EXPECT_EQ(bits(keep[0]), 0u);
    EXPECT_EQ(bits(keep[1]), 0u);
    rk_vec_fill(nullptr, 2, 1.0f);
    rk_vec_zero(nullptr, 2);
}

TEST(Vec, NormalizeScalesByOneReciprocalOfTheLibrarySqrt) {
    std::vector<float> v = awkward(37, 5);
    std::vector<float> expect = v;
    float ss = 0.0f;
    for (float x : v) ss += x * x;
    const float f = 1.0f / rk_math_sqrt_f32(ss);
    for (float &x : expect) x = x * f;
    ASSERT_EQ(rk_vec_normalize(v.data(), 37), RK_OK);
    for (size_t i = 0; i < v.size(); ++i) EXPECT_SAME_BITS(v[i], expect[i]) << i;

    float small[2] = {1e-8f, 0.0f};  // norm below 2^-23: left alone
    EXPECT_EQ(rk_vec_normalize(small, 2), RK_ERR_INVALID_ARG);
    EXPECT_EQ(small[0], 1e-8f);
    EXPECT_EQ(rk_vec_normalize(nullptr, 2), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_vec_normalize(small, 0), RK_ERR_INVALID_ARG);
}

TEST(Vec, NormalizeToLeavesTheCopyWhenItFails) {
    const float zero[3] = {0, 0, 0}, v[2] = {3, 4};
    float dst[3] = {7, 7, 7};
    EXPECT_EQ(rk_vec_normalize_to(zero, dst, 3), RK_ERR_INVALID_ARG);
    for (float x : dst) EXPECT_EQ(x, 0.0f);
    EXPECT_EQ(rk_vec_normalize_to(nullptr, dst, 3), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_vec_normalize_to(v, nullptr, 2), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_vec_normalize_to(v, dst, 0), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_vec_normalize_to(v, dst, 2), RK_OK);
    EXPECT_NEAR(dst[0] * dst[0] + dst[1] * dst[1], 1.0f, 1e-6f);
}

TEST(Stats, SumAndMeanAddInIndexOrder) {
    const float v[4] = {1, 2, 3, 4};
    EXPECT_EQ(rk_vec_mean(v, 4), 2.5f);
    EXPECT_EQ(rk_vec_sum(nullptr, 4), 0.0f);
    EXPECT_EQ(rk_vec_mean(v, 0), 0.0f);
    EXPECT_EQ(rk_vec_sum(v, 0), 0.0f);

    const std::vector<float> w = awkward(1001, 11);
    float reversed = 0.0f;
    for (size_t i = w.size(); i-- > 0;) reversed += w[i];
    ASSERT_NE(bits(reversed), bits(seq_sum(w)));  // the data tells orders apart
    EXPECT_SAME_BITS(rk_vec_sum(w.data(), 1001), seq_sum(w));
    EXPECT_SAME_BITS(rk_vec_mean(w.data(), 1001), seq_sum(w) / 1001.0f);
}

TEST(Stats, ArraySumSkipsNullVectorsAndMeanMultipliesByTheReciprocal) {
    const float a[2] = {1, 1}, b[2] = {3, 5};
    const float *two[2] = {a, b};
    float out[2];
    rk_vec_array_mean(out, two, 2, 2);
    EXPECT_EQ(out[0], 2.0f);
    EXPECT_EQ(out[1], 3.0f);

    // Three rows of awkward values with a null among them: the null adds
    // nothing but still counts in the mean.
    const std::vector<float> r0 = awkward(64, 1), r1 = awkward(64, 2);
    const float *rows[3] = {r0.data(), nullptr, r1.data()};
    std::vector<float> sum(64), mean(64);
    rk_vec_array_sum(sum.data(), rows, 64, 3);
    rk_vec_array_mean(mean.data(), rows, 64, 3);
    int differs_from_division = 0;
    for (size_t k = 0; k < 64; ++k) {
        const float s = r1[k] + (r0[k] + 0.0f);
        EXPECT_SAME_BITS(sum[k], s);
        EXPECT_SAME_BITS(mean[k], s * (1.0f / 3.0f));
        differs_from_division += bits(s * (1.0f / 3.0f)) != bits(s / 3.0f);
    }
    EXPECT_GT(differs_from_division, 0);  // the data tells the two apart

    float keep[2] = {9, 9};
    rk_vec_array_sum(keep, two, 2, 0);
    rk_vec_array_mean(keep, nullptr, 2, 2);
    rk_vec_array_sum(nullptr, two, 2, 2);
    EXPECT_EQ(keep[0], 9.0f);
}

TEST(Stats, WeightedMean) {
    const std::vector<float> r0 = awkward(16, 3), r1 = awkward(16, 4);
    const float *rows[3] = {r0.data(), nullptr, r1.data()};
    const float w[3] = {0.3f, 0.5f, 1.7f};
    std::vector<float> out(16, 42.0f);
    rk_vec_weighted_mean(out.data(), rows, w, 16, 3);
    const float total = (0.3f + 0.5f) + 1.7f;
    for (size_t k = 0; k < 16; ++k) {
        const float s = (0.0f + r0[k] * 0.3f) + r1[k] * 1.7f;
        EXPECT_SAME_BITS(out[k], s * (1.0f / total)) << k;
    }

    // Weights summing to zero leave the raw weighted sum.
    const float a[2] = {1, 2}, b[2] = {3, 5};
    const float *ab[2] = {a, b};
    const float zw[2] = {1.0f, -1.0f};
    float raw[2];
    rk_vec_weighted_mean(raw, ab, zw, 2, 2);
    EXPECT_EQ(raw[0], -2.0f);
    EXPECT_EQ(raw[1], -3.0f);

    float keep[2] = {9, 9};
    rk_vec_weighted_mean(keep, ab, nullptr, 2, 2);
    rk_vec_weighted_mean(keep, ab, zw, 2, 0);
    EXPECT_EQ(keep[0], 9.0f);
}

TEST(Stats, EqualIsInclusiveAndNaNNeverFails) {
    const float a[3] = {1.0f, 2.0f, 3.0f};
    const float b[3] = {1.0f, 2.5f, 3.0f};
    EXPECT_EQ(rk_vec_equal(a, a, 3, 0.0f), 1);
    EXPECT_EQ(rk_vec_equal(a, b, 3, 0.5f), 1);  // difference exactly the tolerance
    EXPECT_EQ(rk_vec_equal(a, b, 3, 0.4999f), 0);
    EXPECT_EQ(rk_vec_almost_equal(a, b, 3, 0.4999f), 0);
    EXPECT_EQ(rk_vec_equal(a, a, 0, 1.0f), 0);
    EXPECT_EQ(rk_vec_equal(nullptr, a, 3, 1.0f), 0);
    const float n[3] = {NAN, 2.0f, NAN};
    EXPECT_EQ(rk_vec_equal(a, n, 3, 0.0f), 1);
}

TEST(Random, UniformVectorsReplayTheGenerator) {
    rk_srand(1234);
    std::vector<float> expect(33);
    for (float &x : expect) x = rk_rand_float() * 2.0f - 1.0f;
    const uint64_t next = rk_rand();

    rk_srand(1234);
    std::vector<float> v(33);
    rk_vec_random(v.data(), 33);
    EXPECT_EQ(rk_rand(), next);  // exactly one draw per element
    for (size_t i = 0; i < v.size(); ++i) {
        EXPECT_SAME_BITS(v[i], expect[i]);
        EXPECT_GE(v[i], -1.0f);
        EXPECT_LE(v[i], 1.0f);
    }

    rk_srand(99);
    std::vector<float> u(50);
    ASSERT_EQ(rk_vec_random_normalized(u.data(), 50), RK_OK);
    double n2 = 0;
    for (float x : u) n2 += static_cast<double>(x) * x;
    EXPECT_NEAR(n2, 1.0, 1e-5);
    EXPECT_EQ(rk_vec_random_normalized(nullptr, 4), RK_ERR_INVALID_ARG);
}

// Box-Muller on pairs, written out from the generator and the library maths.
std::vector<float> gaussian_reference(uint32_t dim, float mean, float sd, int *draws) {
    std::vector<float> v(dim);
    *draws = 0;
    for (uint32_t i = 0; i < dim; i += 2) {
        float u1 = rk_rand_float();
        const float u2 = rk_rand_float();
        *draws += 2;
        while (u1 < 0x1p-23f) {
            u1 = rk_rand_float();
            ++*draws;
        }
        const float r = rk_math_sqrt_f32(rk_math_log_f32(u1) * -2.0f);
        const float th = u2 * 6.2831855f;
        const float h = r * sd;
        v[i] = rk_math_cos_f32(th) * h + mean;
        if (i + 1 < dim) v[i + 1] = rk_math_sin_f32(th) * h + mean;
    }
    return v;
}

// The seed whose first draw is `target`: invert state * a + c mod 2^64.
uint64_t seed_for_first_draw(uint64_t target) {
    const uint64_t a = 6364136223846793005ull, c = 1442695040888963407ull;
    uint64_t inv = a;  // Newton iteration for the inverse of an odd number mod 2^64
    for (int i = 0; i < 6; ++i) inv *= 2 - a * inv;
    return (target - c) * inv;
}

TEST(Random, GaussianUsesPairsAndRedrawsOnlyTheFirstUniform) {
    int draws = 0;
    rk_srand(77);
    const std::vector<float> expect = gaussian_reference(3, 0.5f, 2.0f, &draws);
    ASSERT_EQ(draws, 4);  // dim 3: two pairs
    const uint64_t next = rk_rand();
    rk_srand(77);
    std::vector<float> v(3);
    rk_vec_random_gaussian(v.data(), 3, 0.5f, 2.0f);
    EXPECT_EQ(rk_rand(), next);
    for (int i = 0; i < 3; ++i) EXPECT_SAME_BITS(v[i], expect[i]);

    // A first uniform of 2^-24 (state 2^40) forces one redraw of u1.
    const uint64_t seed = seed_for_first_draw(1ull << 40);
    rk_srand(seed);
    ASSERT_EQ(rk_rand_float(), 0x1p-24f);
    rk_srand(seed);
    const std::vector<float> e2 = gaussian_reference(2, 0.0f, 1.0f, &draws);
    ASSERT_EQ(draws, 3);
    rk_srand(seed);
    std::vector<float> w(2);
    rk_vec_random_gaussian(w.data(), 2, 0.0f, 1.0f);
    EXPECT_SAME_BITS(w[0], e2[0]);
    EXPECT_SAME_BITS(w[1], e2[1]);

    rk_vec_random_gaussian(nullptr, 3, 0, 1);
    rk_vec_random_gaussian(v.data(), 0, 0, 1);
}

TEST(Random, GaussianHasTheRequestedMoments) {
    rk_srand(2024);
    std::vector<float> v(20001);
    rk_vec_random_gaussian(v.data(), 20001, 3.0f, 0.5f);
    double m = 0, s = 0;
    for (float x : v) m += x;
    m /= v.size();
    for (float x : v) s += (x - m) * (x - m);
    s = std::sqrt(s / v.size());
    EXPECT_NEAR(m, 3.0, 0.02);
    EXPECT_NEAR(s, 0.5, 0.02);
}

}  // namespace
