// SPDX-License-Identifier: Apache-2.0
// Scalar quantiser: training ranges, the code rule at its edges, round-trip
// error bounds, batch/single agreement, code-space distances and bad
// arguments.
#include "quant/sq.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "rk_error.h"
#include "rk_platform.h"
#include "rk_quant.h"
#include "rk_vector.h"
#include "support/float_bits.h"

namespace {

constexpr float kFltMax = 3.4028235e38f;

using rk_test::bits;

std::vector<float> random_rows(uint64_t seed, size_t rows, uint32_t dim) {
    rk_srand(seed);
    std::vector<float> v(rows * dim);
    // Each dimension gets its own offset and spread.
    for (size_t r = 0; r < rows; ++r) {
        for (uint32_t i = 0; i < dim; ++i) {
            v[r * dim + i] = (rk_rand_float() - 0.5f) * (1.0f + static_cast<float>(i)) + 0.3f * i;
        }
    }
    return v;
}

class Sq : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(rk_arena_create(0, &arena_), RK_OK); }
    void TearDown() override { rk_arena_destroy(arena_); }
    rk_sq_quantizer_t *make(uint32_t dim) {
        rk_sq_quantizer_t *sq = rk_sq_quantizer_create(arena_, dim);
        EXPECT_NE(sq, nullptr);
        return sq;
    }
    rk_arena_t *arena_ = nullptr;
};

TEST_F(Sq, CreateRefusesMissingArenaAndZeroDimension) {
    EXPECT_EQ(rk_sq_quantizer_create(nullptr, 4), nullptr);
    EXPECT_EQ(rk_sq_quantizer_create(arena_, 0), nullptr);
    rk_sq_quantizer_t *sq = make(4);
    EXPECT_EQ(sq->dim, 4u);
    EXPECT_EQ(sq->arena, arena_);
    rk_sq_quantizer_destroy(sq);
    rk_sq_quantizer_destroy(nullptr);
}

TEST_F(Sq, UntrainedQuantiserIsDefined) {
    rk_sq_quantizer_t *sq = make(3);
    const float v[3] = {-4.0f, 7.6f, 300.0f};
    uint8_t code[3];
    ASSERT_EQ(rk_sq_quantize(sq, v, code), RK_OK);
    EXPECT_EQ(code[0], 0);
    EXPECT_EQ(code[1], 8);
    EXPECT_EQ(code[2], 255);
}

TEST_F(Sq, SingleRowGivesUnitScalesAndZeroCodes) {
    rk_sq_quantizer_t *sq = make(3);
    const float row[3] = {1.5f, -2.0f, 1e9f};
    ASSERT_EQ(rk_sq_quantizer_train(sq, row, 1), RK_OK);
    uint8_t code[3] = {9, 9, 9};
    ASSERT_EQ(rk_sq_quantize(sq, row, code), RK_OK);
    for (uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(sq->scale[i], 1.0f);
        EXPECT_EQ(sq->min[i], sq->max[i]);
        EXPECT_EQ(code[i], 0);
    }
}

TEST_F(Sq, SymmetricRangeEdgesClampAndDecode) {
    rk_sq_quantizer_t *sq = make(1);
    const float data[2] = {-1.0f, 1.0f};
    ASSERT_EQ(rk_sq_quantizer_train(sq, data, 2), RK_OK);
    EXPECT_EQ(sq->scale[0], 127.5f);
    const float in[6] = {-1.0f, 1.0f, 0.0f, -3.0f, 5.0f, NAN};
    const uint8_t want[6] = {0, 255, 128, 0, 255, 0};
    for (int k = 0; k < 6; ++k) {
        uint8_t c = 77;
        ASSERT_EQ(rk_sq_quantize(sq, &in[k], &c), RK_OK);
        EXPECT_EQ(c, want[k]) << k;
    }
    const uint8_t top = 255;
    float out = 0;
    ASSERT_EQ(rk_sq_dequantize(sq, &top, &out), RK_OK);
    EXPECT_EQ(out, 1.0f);
}

TEST_F(Sq, TrainingIgnoresLaterNaNsKeepsAFirstRowNaNAndStartsAfresh) {
    rk_sq_quantizer_t *sq = make(2);
    const float data[6] = {NAN, 0.0f, 5.0f, NAN, -5.0f, 2.0f};
    ASSERT_EQ(rk_sq_quantizer_train(sq, data, 3), RK_OK);
    EXPECT_TRUE(std::isnan(sq->min[0]));
    EXPECT_EQ(sq->min[1], 0.0f);
    EXPECT_EQ(sq->max[1], 2.0f);
    EXPECT_EQ(sq->scale[0], 1.0f);  // a NaN range is not above 1e-6

    const float again[4] = {1.0f, 1.0f, 3.0f, 1.0000001f};
    ASSERT_EQ(rk_sq_quantizer_train(sq, again, 2), RK_OK);
    EXPECT_EQ(sq->min[0], 1.0f);
    EXPECT_EQ(sq->max[0], 3.0f);
    EXPECT_EQ(sq->scale[0], 127.5f);
    EXPECT_EQ(sq->scale[1], 1.0f);  // range 1.19e-7 is degenerate
}

TEST_F(Sq, RoundTripIsWithinHalfACodeStep) {
    constexpr uint32_t dim = 24;
    constexpr size_t rows = 500;
    rk_sq_quantizer_t *sq = make(dim);
    const std::vector<float> data = random_rows(5, rows, dim);
    ASSERT_EQ(rk_sq_quantizer_train(sq, data.data(), rows), RK_OK);
    std::vector<uint8_t> codes(rows * dim);
    std::vector<float> back(rows * dim);
    ASSERT_EQ(rk_sq_quantize_batch(sq, data.data(), codes.data(), rows), RK_OK);
    ASSERT_EQ(rk_sq_dequantize_batch(sq, codes.data(), back.data(), rows), RK_OK);
    for (size_t r = 0; r < rows; ++r) {
        uint8_t one[dim];
        float single[dim];
        ASSERT_EQ(rk_sq_quantize(sq, &data[r * dim], one), RK_OK);
        ASSERT_EQ(rk_sq_dequantize(sq, one, single), RK_OK);
        ASSERT_EQ(std::memcmp(one, &codes[r * dim], dim), 0) << r;
        ASSERT_EQ(std::memcmp(single, &back[r * dim], dim * sizeof(float)), 0) << r;
        for (uint32_t i = 0; i < dim; ++i) {
            const float step = 1.0f / sq->scale[i];
            EXPECT_LE(std::fabs(back[r * dim + i] - data[r * dim + i]), step * 0.5f + 1e-5f);
        }
    }
}

TEST_F(Sq, DistancesFollowTheDecodedVector) {
    constexpr uint32_t dim = 13;
    rk_sq_quantizer_t *sq = make(dim);
    const std::vector<float> data = random_rows(8, 50, dim);
    ASSERT_EQ(rk_sq_quantizer_train(sq, data.data(), 50), RK_OK);
    const std::vector<float> q = random_rows(9, 1, dim);
    uint8_t code[dim];
    ASSERT_EQ(rk_sq_quantize(sq, &data[dim * 3], code), RK_OK);
    float d[dim];
    for (uint32_t i = 0; i < dim; ++i) d[i] = static_cast<float>(code[i]) / sq->scale[i] + sq->min[i];

    float l2 = 0, dot = 0, sd = 0, sq2 = 0;
    for (uint32_t i = 0; i < dim; ++i) {
        l2 += (q[i] - d[i]) * (q[i] - d[i]);
        dot += d[i] * q[i];
        sd += d[i] * d[i];
        sq2 += q[i] * q[i];
    }
    EXPECT_EQ(bits(rk::sq_l2sq(sq, code, q.data())), bits(l2));
    EXPECT_EQ(bits(rk_sq_distance(sq, code, q.data(), RK_METRIC_L2)), bits(rk_math_sqrt_f32(l2)));
    EXPECT_EQ(bits(rk_sq_distance(sq, code, q.data(), RK_METRIC_IP)), bits(-dot));
    EXPECT_EQ(bits(rk_sq_distance(sq, code, q.data(), RK_METRIC_COSINE)),
              bits(1.0f - dot / (rk_math_sqrt_f32(sd) * rk_math_sqrt_f32(sq2))));
    EXPECT_EQ(rk_sq_distance(sq, code, q.data(), 3), kFltMax);
    EXPECT_EQ(rk_sq_distance(sq, code, q.data(), -1), kFltMax);

    const std::vector<float> zero(dim, 0.0f);
    EXPECT_EQ(rk_sq_distance(sq, code, zero.data(), RK_METRIC_COSINE), 1.0f);
    EXPECT_EQ(rk_sq_distance(sq, nullptr, q.data(), RK_METRIC_L2), kFltMax);
    EXPECT_EQ(rk_sq_distance(sq, code, nullptr, RK_METRIC_L2), kFltMax);
    EXPECT_EQ(rk_sq_distance(nullptr, code, q.data(), RK_METRIC_L2), kFltMax);
}

TEST_F(Sq, BadArgumentsChangeNothing) {
    rk_sq_quantizer_t *sq = make(2);
    const float row[2] = {1, 2};
    uint8_t code[2] = {7, 7};
    float out[2] = {5, 5};
    EXPECT_EQ(rk_sq_quantizer_train(nullptr, row, 1), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_sq_quantizer_train(sq, nullptr, 1), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_sq_quantizer_train(sq, row, 0), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_sq_quantize(sq, nullptr, code), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_sq_quantize(sq, row, nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_sq_quantize_batch(sq, row, code, 0), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_sq_dequantize(nullptr, code, out), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_sq_dequantize_batch(sq, code, nullptr, 1), RK_ERR_INVALID_ARG);
    // Blocks larger than memory are refused before anything is touched.
    EXPECT_EQ(rk_sq_quantizer_train(sq, row, UINT64_MAX / 2), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_sq_quantize_batch(sq, row, code, UINT64_MAX / 2), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_sq_dequantize_batch(sq, code, out, UINT64_MAX / 4), RK_ERR_INVALID_ARG);
    EXPECT_EQ(code[0], 7);
    EXPECT_EQ(out[0], 5.0f);
    EXPECT_EQ(sq->scale[0], 1.0f);
}

}  // namespace
