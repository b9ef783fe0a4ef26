// SPDX-License-Identifier: Apache-2.0
// Int8 vectors: scale and code rules, round-trip error, saturation, awkward
// elements (NaN, huge values) and the exact wrapping dot product.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "rk_platform.h"
#include "rk_vector.h"

namespace {

TEST(Int8, ConstantVectorGetsScaleOneAndZeroCodes) {
    const float v[3] = {2, 2, 2};
    int8_t c[3] = {5, 5, 5};
    float scale = 0;
    rk_vec_quantize_int8(v, 3, c, &scale);
    EXPECT_EQ(scale, 1.0f);
    for (int8_t x : c) EXPECT_EQ(x, 0);
}

TEST(Int8, DequantizeHasNoOffset) {
    const int8_t c[3] = {-128, 0, 127};
    float out[3];
    rk_vec_dequantize_int8(c, 3, 0.5f, out);
    EXPECT_EQ(out[0], -64.0f);
    EXPECT_EQ(out[1], 0.0f);
    EXPECT_EQ(out[2], 63.5f);
}

TEST(Int8, RoundTripOfCentredVectorsIsWithinHalfAStep) {
    for (uint64_t seed = 1; seed <= 20; ++seed) {
        rk_srand(seed);
        std::vector<float> v(257);
        for (float &x : v) x = rk_rand_float() * 2.0f - 1.0f;
        v[0] = -1.0f;  // pin the range to [-1, 1] so nothing saturates
        v[1] = 1.0f;
        std::vector<int8_t> c(v.size());
        float scale = 0;
        rk_vec_quantize_int8(v.data(), 257, c.data(), &scale);
        EXPECT_EQ(scale, 2.0f / 255.0f);
        std::vector<float> back(v.size());
        rk_vec_dequantize_int8(c.data(), 257, scale, back.data());
        for (size_t i = 0; i < v.size(); ++i) {
            // Nearest code on both sides of zero (not pulled toward +inf).
            EXPECT_LE(std::fabs(back[i] - v[i]), scale * 0.5f * 1.0001f) << seed << " " << i;
        }
    }
}

TEST(Int8, RoundsHalvesAwayFromZeroOnBothSides) {
    // Range 255 gives scale 1: the values are their own quotients.
    const float v[6] = {-127.5f, 127.5f, -0.5f, 0.5f, -2.4f, 2.6f};
    int8_t c[6];
    float scale = 0;
    rk_vec_quantize_int8(v, 6, c, &scale);
    ASSERT_EQ(scale, 1.0f);
    EXPECT_EQ(c[0], -128);
    EXPECT_EQ(c[1], 127);  // 128 saturates
    EXPECT_EQ(c[2], -1);
    EXPECT_EQ(c[3], 1);
    EXPECT_EQ(c[4], -2);
    EXPECT_EQ(c[5], 3);
}

TEST(Int8, OffCentreValuesSaturateAndAwkwardElementsStayDefined) {
    // All positive: values above 127.5 steps clamp to 127.
    const float pos[3] = {0.0f, 0.5f, 1.0f};
    int8_t c[3];
    float scale = 0;
    rk_vec_quantize_int8(pos, 3, c, &scale);
    EXPECT_EQ(c[0], 0);
    EXPECT_EQ(c[1], 127);
    EXPECT_EQ(c[2], 127);

    // Huge quotients (range 64 around 1e9) saturate instead of overflowing.
    const float huge[2] = {1e9f, 1e9f + 64.0f};
    rk_vec_quantize_int8(huge, 2, c, &scale);
    EXPECT_EQ(c[0], 127);
    EXPECT_EQ(c[1], 127);
    const float neg[2] = {-1e9f, -1e9f - 64.0f};
    rk_vec_quantize_int8(neg, 2, c, &scale);
    EXPECT_EQ(c[0], -128);

    // A NaN never becomes a bound; its own code is -128.
    const float withnan[3] = {NAN, -1.0f, 1.0f};
    rk_vec_quantize_int8(withnan, 3, c, &scale);
    EXPECT_EQ(scale, 2.0f / 255.0f);
    EXPECT_EQ(c[0], -128);
    EXPECT_EQ(c[2], 127);
}

TEST(Int8, NullArgumentsWriteNothing) {
    const float v[2] = {1, -1};
    int8_t c[2] = {9, 9};
    float scale = 7;
    rk_vec_quantize_int8(nullptr, 2, c, &scale);
    rk_vec_quantize_int8(v, 0, c, &scale);
    rk_vec_quantize_int8(v, 2, nullptr, &scale);
    rk_vec_quantize_int8(v, 2, c, nullptr);
    EXPECT_EQ(scale, 7.0f);
    EXPECT_EQ(c[0], 9);
    float out[2] = {5, 5};
    rk_vec_dequantize_int8(nullptr, 2, 1.0f, out);
    rk_vec_dequantize_int8(c, 2, 1.0f, nullptr);
    EXPECT_EQ(out[0], 5.0f);
    EXPECT_EQ(rk_vec_dot_int8(nullptr, c, 2), 0);
    EXPECT_EQ(rk_vec_dot_int8(c, c, 0), 0);
}

TEST(Int8, DotIsExactAndWrapsAt32Bits) {
    const int8_t a[3] = {1, -2, 3}, b[3] = {4, 5, -6};
    EXPECT_EQ(rk_vec_dot_int8(a, b, 3), -24);

    for (uint32_t dim : {1u, 7u, 8u, 9u, 15u, 16u, 17u, 1000u}) {
        rk_srand(dim);
        std::vector<int8_t> x(dim), y(dim);
        for (uint32_t i = 0; i < dim; ++i) {
            x[i] = static_cast<int8_t>(rk_rand() >> 56);
            y[i] = static_cast<int8_t>(rk_rand() >> 56);
        }
        int64_t expect = 0;
        for (uint32_t i = 0; i < dim; ++i) expect += int64_t{x[i]} * y[i];
        EXPECT_EQ(rk_vec_dot_int8(x.data(), y.data(), dim), expect) << dim;
    }

    // 200000 * 16384 = 3276800000 wraps to 3276800000 - 2^32.
    std::vector<int8_t> m(200000, -128);
    EXPECT_EQ(rk_vec_dot_int8(m.data(), m.data(), 200000), static_cast<int32_t>(3276800000ll - 4294967296ll));
}

}  // namespace
