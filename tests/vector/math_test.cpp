// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

#include "rk_vector.h"

namespace {

constexpr float kInfF = std::numeric_limits<float>::infinity();
constexpr double kInfD = std::numeric_limits<double>::infinity();

// The inverse-square-root recipe written out independently, to pin the magic
// constant, the Newton steps and their order.
float sqrt_recipe(float x) {
    if (x <= 0) return 0;
    const int32_t i = 0x5F3759D5 - (std::bit_cast<int32_t>(x) >> 1);
    float y = std::bit_cast<float>(i);
    const float h = x * 0.5f;
    y = y * (1.5f - (h * y) * y);
    y = y * (1.5f - (h * y) * y);
    y = y * (1.5f - (h * y) * y);
    return y * x;
}

TEST(MathSqrt, FollowsTheRecipeAndStaysCloseToTheRoot) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> exp(-30.0f, 30.0f);
    for (int i = 0; i < 20000; ++i) {
        const float x = std::ldexp(1.0f + float(rng() % 1000) / 1000.0f, int(exp(rng)));
        const float r = rk_math_sqrt_f32(x);
        ASSERT_EQ(std::bit_cast<uint32_t>(r), std::bit_cast<uint32_t>(sqrt_recipe(x))) << x;
        ASSERT_NEAR(r, std::sqrt(x), std::sqrt(x) * 4e-7f) << x;
        const double xd = double(x) * 1.2345678901;
        ASSERT_NEAR(rk_math_sqrt_f64(xd), std::sqrt(xd), std::sqrt(xd) * 1e-10) << xd;  // three Newton steps from a 4% guess
    }
    EXPECT_NEAR(rk_math_sqrt_f32(4.0f), 2.0f, 4 * FLT_EPSILON);
}

TEST(MathSqrt, SpecialValues) {
    EXPECT_EQ(rk_math_sqrt_f32(-1.0f), 0.0f);
    EXPECT_EQ(rk_math_sqrt_f32(0.0f), 0.0f);
    EXPECT_EQ(rk_math_sqrt_f32(-0.0f), 0.0f);
    EXPECT_EQ(rk_math_sqrt_f32(-kInfF), 0.0f);
    EXPECT_EQ(rk_math_sqrt_f64(-2.0), 0.0);
    EXPECT_TRUE(std::isnan(rk_math_sqrt_f32(std::nanf(""))));
    EXPECT_TRUE(std::isnan(rk_math_sqrt_f64(std::nan(""))));
    // An overflowed squared distance must remain the farthest, not turn
    // into -inf through the Newton steps.
    EXPECT_EQ(rk_math_sqrt_f32(kInfF), kInfF);
    EXPECT_EQ(rk_math_sqrt_f64(kInfD), kInfD);
    EXPECT_NEAR(rk_math_sqrt_f32(FLT_MAX), std::sqrt(FLT_MAX), 1e13f);
}

TEST(MathLog, ValuesAndReductionEdges) {
    EXPECT_EQ(rk_math_log_f32(1.0f), 0.0f);
    EXPECT_EQ(rk_math_log_f32(0.0f), -1e30f);
    EXPECT_EQ(rk_math_log_f32(-3.0f), -1e30f);
    EXPECT_EQ(rk_math_log_f64(0.0), -1e300);
    // 8 reduces to x = 1, k = 3: exactly 3 ln 2.
    EXPECT_EQ(rk_math_log_f64(8.0), 3.0 * 0.6931471805599453);
    EXPECT_EQ(rk_math_log_f32(8.0f), 3.0f * 0.6931472f);
    for (double x : {1e-300, 1e-30, 0.001, 0.3, 1.5, 2.0, 3.7, 1e10, 1e300}) {
        EXPECT_NEAR(rk_math_log_f64(x), std::log(x), 1e-13 * (1 + std::fabs(std::log(x)))) << x;
        if (x > 1e-38 && x < 1e38) {
            const float xf = float(x);
            EXPECT_NEAR(rk_math_log_f32(xf), std::log(xf), 2e-6f * (1 + std::fabs(std::log(xf)))) << x;
        }
    }
    // Denormals and the extremes terminate.
    EXPECT_NEAR(rk_math_log_f32(1e-45f), std::log(1e-45f), 1e-4f);
    EXPECT_NEAR(rk_math_log_f64(4.9e-324), std::log(4.9e-324), 1e-10);
    EXPECT_EQ(rk_math_log_f32(kInfF), kInfF);
    EXPECT_EQ(rk_math_log_f64(kInfD), kInfD);
    EXPECT_TRUE(std::isnan(rk_math_log_f32(std::nanf(""))));
    EXPECT_TRUE(std::isnan(rk_math_log_f64(std::nan(""))));
}

TEST(MathTrig, SeriesMatchesOverSeveralPeriods) {
    EXPECT_EQ(rk_math_cos_f32(0.0f), 1.0f);
    EXPECT_EQ(rk_math_sin_f64(0.0), 0.0);
    // 4 lies beyond pi: reduced by one step of -2pi in single precision.
    EXPECT_EQ(rk_math_cos_f32(4.0f), rk_math_cos_f32(4.0f + -6.2831855f));
    EXPECT_EQ(rk_math_sin_f64(-4.0), rk_math_sin_f64(-4.0 + 6.283185307179586));
    for (double x = -20.0; x <= 20.0; x += 0.0137) {
        ASSERT_NEAR(rk_math_sin_f64(x), std::sin(x), 1e-12) << x;
        ASSERT_NEAR(rk_math_cos_f64(x), std::cos(x), 1e-12) << x;
        const float xf = float(x);
        ASSERT_NEAR(rk_math_sin_f32(xf), std::sin(xf), 2e-6f) << x;
        ASSERT_NEAR(rk_math_cos_f32(xf), std::cos(xf), 2e-6f) << x;
    }
}

TEST(MathTrig, HugeAndNonFiniteArgumentsTerminate) {
    EXPECT_TRUE(std::isnan(rk_math_sin_f32(kInfF)));
    EXPECT_TRUE(std::isnan(rk_math_cos_f64(-kInfD)));
    EXPECT_TRUE(std::isnan(rk_math_sin_f64(std::nan(""))));
    EXPECT_TRUE(std::isnan(rk_math_cos_f32(1e30f)));
    EXPECT_TRUE(std::isnan(rk_math_sin_f64(1e300)));
    // Large but meaningful arguments are reduced directly and stay close.
    for (double x : {1e6, -3e7, 1e9, 123456789.123}) {
        EXPECT_NEAR(rk_math_sin_f64(x), std::sin(x), 1e-6) << x;
        EXPECT_NEAR(rk_math_cos_f32(float(x)), std::cos(double(float(x))), 1e-5) << x;
    }
}

TEST(MathSeries, Expm1AndLog1p) {
    EXPECT_EQ(rk_math_expm1(60.0), 1e20);
    EXPECT_EQ(rk_math_expm1(-60.0), -1.0);
    EXPECT_EQ(std::bit_cast<uint64_t>(rk_math_expm1(0.0)), 0u);
    EXPECT_EQ(std::bit_cast<uint64_t>(rk_math_expm1(-0.0)), 0u);
    for (double x : {-5.0, -0.5, -1e-5, 1e-8, 0.25, 1.0, 7.5}) {
        EXPECT_NEAR(rk_math_expm1(x), std::expm1(x), 1e-13 * (1 + std::fabs(std::expm1(x)))) << x;
    }
    EXPECT_EQ(rk_math_log1p(-1.0), -1e300);
    EXPECT_EQ(rk_math_log1p(-7.0), -1e300);
    EXPECT_EQ(std::bit_cast<uint64_t>(rk_math_log1p(-0.0)), 0u);
    EXPECT_EQ(rk_math_log1p(0.5), rk_math_log_f64(1.5));
    for (double x : {-0.001, -1e-4, 3e-7, 0.00099, 0.002, 10.0}) {
        EXPECT_NEAR(rk_math_log1p(x), std::log1p(x), 1e-14 * (1 + std::fabs(std::log1p(x)))) << x;
    }
    EXPECT_TRUE(std::isnan(rk_math_expm1(std::nan(""))));
    EXPECT_TRUE(std::isnan(rk_math_log1p(std::nan(""))));
}

TEST(MathBasics, AbsAndClamp) {
    EXPECT_EQ(std::bit_cast<uint32_t>(rk_math_abs_f32(-0.0f)), 0u);
    EXPECT_EQ(rk_math_abs_f64(-2.5), 2.5);
    const uint32_t neg_nan = 0xFFC01234u;
    EXPECT_EQ(std::bit_cast<uint32_t>(rk_math_abs_f32(std::bit_cast<float>(neg_nan))), 0x7FC01234u);
    EXPECT_EQ(rk_math_clamp_f32(5.0f, 0.0f, 1.0f), 1.0f);
    EXPECT_EQ(rk_math_clamp_f32(-5.0f, 0.0f, 1.0f), 0.0f);
    EXPECT_EQ(rk_math_clamp_f32(0.5f, 0.0f, 1.0f), 0.5f);
    EXPECT_EQ(rk_math_clamp_f64(9.0, -1.0, 2.0), 2.0);
    const float payload = std::bit_cast<float>(0x7FC0ABCDu);
    EXPECT_EQ(std::bit_cast<uint32_t>(rk_math_clamp_f32(payload, 0.0f, 1.0f)), 0x7FC0ABCDu);
    EXPECT_TRUE(std::isnan(rk_math_clamp_f64(std::nan(""), 0.0, 1.0)));
}

}  // namespace
