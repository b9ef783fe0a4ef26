// SPDX-License-Identifier: Apache-2.0
// Product quantiser: creation rules, seeded training replayed draw by draw,
// nearest-centroid encoding, code-space distances against a reconstruction,
// the table path of the batch, malformed codes and bad arguments.
#include "quant/pq.h"

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

// Oversized requests must come back as null instead of aborting the test.
extern "C" const char *__asan_default_options() { return "allocator_may_return_null=1"; }

namespace {

constexpr float kFltMax = 3.4028235e38f;

using rk_test::bits;

std::vector<float> random_rows(uint64_t seed, size_t rows, uint32_t dim) {
    rk_srand(seed);
    std::vector<float> v(rows * dim);
    for (float &x : v) x = rk_rand_float() * 4.0f - 1.3f;
    return v;
}

class Pq : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(rk_arena_create(0, &arena_), RK_OK); }
    void TearDown() override { rk_arena_destroy(arena_); }
    rk_pq_t *make(uint32_t dim, uint32_t m, uint32_t nbits) {
        rk_pq_t *pq = nullptr;
        EXPECT_EQ(rk_pq_create(arena_, dim, m, nbits, &pq), RK_OK);
        return pq;
    }
    rk_arena_t *arena_ = nullptr;
};

// What rk_pq_distance measures against: the centroids one after another.
std::vector<float> reconstruct(const rk_pq_t *pq, const uint8_t *code) {
    std::vector<float> r(pq->dim);
    for (uint32_t i = 0; i < pq->m; ++i) {
        std::memcpy(&r[i * pq->dsub], pq->codebooks[i] + code[i] * pq->dsub, pq->dsub * 4);
    }
    return r;
}

TEST_F(Pq, CreateChecksShapeAndLeavesOutAloneOnFailure) {
    rk_pq_t *pq = make(128, 8, 8);
    ASSERT_NE(pq, nullptr);
    EXPECT_EQ(pq->dsub, 16u);
    EXPECT_EQ(pq->ksub, 256u);
    EXPECT_EQ(pq->nbits, 8u);
    EXPECT_EQ(pq->arena, arena_);
    for (uint32_t i = 0; i < 8; ++i) {
        for (uint32_t k = 0; k < 256 * 16; ++k) ASSERT_EQ(bits(pq->codebooks[i][k]), 0u);
    }
    EXPECT_EQ(make(12, 3, 0)->ksub, 1u);

    rk_pq_t *keep = pq;
    EXPECT_EQ(rk_pq_create(arena_, 100, 8, 8, &keep), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_pq_create(arena_, 0, 8, 8, &keep), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_pq_create(arena_, 8, 0, 8, &keep), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_pq_create(arena_, 8, 2, 9, &keep), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_pq_create(nullptr, 8, 2, 8, &keep), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_pq_create(arena_, 8, 2, 8, nullptr), RK_ERR_INVALID_ARG);
    // 256 centroids of 2^32 - 1 floats cannot be had.
    EXPECT_EQ(rk_pq_create(arena_, UINT32_MAX, 1, 8, &keep), RK_ERR_NO_MEMORY);
    EXPECT_EQ(keep, pq);
    rk_pq_destroy(pq);
    rk_pq_destroy(nullptr);
}

TEST_F(Pq, TrainingReplaysTheGeneratorSubspaceBySubspace) {
    constexpr uint32_t dim = 12, m = 3;
    constexpr uint64_t count = 37;
    rk_pq_t *pq = make(dim, m, 4);
    const std::vector<float> data = random_rows(1, count, dim);
    const size_t used = rk_arena_get_used_size(arena_);
    rk_srand(2026);
    ASSERT_EQ(rk_pq_train(pq, data.data(), count), RK_OK);
    EXPECT_EQ(rk_arena_get_used_size(arena_), used);  // training takes no arena memory

    rk_srand(2026);
    for (uint32_t i = 0; i < m; ++i) {
        for (uint32_t j = 0; j < 16; ++j) {
            const uint32_t row = static_cast<uint32_t>(rk_rand() % count);
            ASSERT_EQ(std::memcmp(pq->codebooks[i] + j * 4, &data[row * dim + i * 4], 16), 0)
                << i << " " << j;
        }
    }

    // Same seed, same data: the same codebooks bit for bit, in another arena.
    rk_pq_t *twin = make(dim, m, 4);
    rk_srand(2026);
    ASSERT_EQ(rk_pq_train(twin, data.data(), count), RK_OK);
    for (uint32_t i = 0; i < m; ++i) {
        EXPECT_EQ(std::memcmp(pq->codebooks[i], twin->codebooks[i], 16 * 4 * 4), 0);
    }
    rk_srand(2027);
    ASSERT_EQ(rk_pq_train(twin, data.data(), count), RK_OK);
    EXPECT_NE(std::memcmp(pq->codebooks[0], twin->codebooks[0], 16 * 4 * 4), 0);
}

TEST_F(Pq, OneTrainingRowFillsEveryCentroidAndEveryCodeIsZero) {
    rk_pq_t *pq = make(8, 2, 8);
    const std::vector<float> row = random_rows(3, 1, 8);
    ASSERT_EQ(rk_pq_train(pq, row.data(), 1), RK_OK);
    for (uint32_t j = 0; j < 256; ++j) {
        ASSERT_EQ(std::memcmp(pq->codebooks[1] + j * 4, &row[4], 16), 0);
    }
    const std::vector<float> other = random_rows(4, 1, 8);
    uint8_t code[2] = {9, 9};
    rk_pq_encode(pq, other.data(), code);
    EXPECT_EQ(code[0], 0);
    EXPECT_EQ(code[1], 0);
}

TEST_F(Pq, EncodingPicksTheNearestCentroidLowestOnTies) {
    constexpr uint32_t dim = 16, m = 4;
    rk_pq_t *pq = make(dim, m, 6);
    const std::vector<float> data = random_rows(5, 300, dim);
    rk_srand(9);
    ASSERT_EQ(rk_pq_train(pq, data.data(), 300), RK_OK);
    const std::vector<float> probe = random_rows(6, 40, dim);
    std::vector<uint8_t> batch(40 * m);
    rk_pq_encode_batch(pq, probe.data(), batch.data(), 40);
    for (size_t r = 0; r < 40; ++r) {
        uint8_t code[m];
        rk_pq_encode(pq, &probe[r * dim], code);
        ASSERT_EQ(std::memcmp(code, &batch[r * m], m), 0);
        for (uint32_t i = 0; i < m; ++i) {
            float best = kFltMax;
            uint32_t best_j = 0;
            for (uint32_t j = 0; j < 64; ++j) {
                float s = 0;
                for (uint32_t k = 0; k < 4; ++k) {
                    const float d = probe[r * dim + i * 4 + k] - pq->codebooks[i][j * 4 + k];
                    s += d * d;
                }
                if (s < best) best = s, best_j = j;
            }
            EXPECT_EQ(code[i], best_j);
        }
    }
    // Equal centroids tie: the lower number wins. NaN sub-vectors give 0.
    rk_pq_t *flat = make(4, 1, 2);
    uint8_t c = 9;
    const float v[4] = {1, 2, 3, 4};
    rk_pq_encode(flat, v, &c);
    EXPECT_EQ(c, 0);
    for (uint32_t k = 0; k < 4; ++k) flat->codebooks[0][4 + k] = v[k];
    for (uint32_t k = 0; k < 4; ++k) flat->codebooks[0][12 + k] = v[k];
    rk_pq_encode(flat, v, &c);
    EXPECT_EQ(c, 1);
    const float nan4[4] = {NAN, 0, 0, 0};
    rk_pq_encode(flat, nan4, &c);
    EXPECT_EQ(c, 0);
}

TEST_F(Pq, BatchEncodingAgreesWithSingleOnTiesNaNsAndInfinities) {
    constexpr uint32_t dim = 12, m = 3;
    for (uint32_t nbits : {0u, 2u, 3u, 4u, 8u}) {
        rk_pq_t *pq = make(dim, m, nbits);
        // Three training rows for up to 256 centroids: duplicates everywhere,
        // so the lowest of several equal centroids must win.
        const std::vector<float> data = random_rows(40 + nbits, 3, dim);
        rk_srand(nbits);
        ASSERT_EQ(rk_pq_train(pq, data.data(), 3), RK_OK);
        std::vector<float> probe = random_rows(50 + nbits, 30, dim);
        std::memcpy(probe.data(), data.data(), 3 * dim * sizeof(float));
        probe[3 * dim + 1] = NAN;
        probe[4 * dim + 5] = INFINITY;
        probe[5 * dim + 9] = -INFINITY;
        probe[6 * dim + 2] = 3e38f;
        std::vector<uint8_t> batch(30 * m), single(30 * m);
        rk_pq_encode_batch(pq, probe.data(), batch.data(), 30);
        for (size_t r = 0; r < 30; ++r) rk_pq_encode(pq, &probe[r * dim], &single[r * m]);
        EXPECT_EQ(batch, single) << nbits;
        EXPECT_EQ(batch[3 * m], 0) << nbits;      // NaN sub-vector
        EXPECT_EQ(batch[4 * m + 1], 0) << nbits;  // infinite distance everywhere
    }
}

TEST_F(Pq, DistancesMatchTheReconstructionForEveryMetric) {
    constexpr uint32_t dim = 24, m = 6, dsub = 4;
    rk_pq_t *pq = make(dim, m, 8);
    const std::vector<float> data = random_rows(10, 500, dim);
    rk_srand(11);
    ASSERT_EQ(rk_pq_train(pq, data.data(), 500), RK_OK);
    const std::vector<float> q = random_rows(12, 1, dim);
    uint8_t code[m];
    rk_pq_encode(pq, &data[7 * dim], code);
    const std::vector<float> c = reconstruct(pq, code);

    float S = 0, dot = 0, qq = 0, cc = 0;
    for (uint32_t i = 0; i < m; ++i) {
        float part = 0;
        for (uint32_t k = 0; k < dsub; ++k) {
            const float d = q[i * dsub + k] - c[i * dsub + k];
            part += d * d;
        }
        S += part;
    }
    for (uint32_t k = 0; k < dim; ++k) {
        dot += q[k] * c[k];
        qq += q[k] * q[k];
        cc += c[k] * c[k];
    }
    EXPECT_EQ(bits(rk_pq_distance(pq, q.data(), code, RK_METRIC_L2)), bits(rk_math_sqrt_f32(S)));
    EXPECT_EQ(bits(rk_pq_distance(pq, q.data(), code, 5)), bits(S));
    EXPECT_EQ(bits(rk_pq_distance(pq, q.data(), code, RK_METRIC_IP)), bits(-dot));
    EXPECT_EQ(bits(rk_pq_distance(pq, q.data(), code, RK_METRIC_COSINE)),
              bits(1.0f - dot / (rk_math_sqrt_f32(cc) * rk_math_sqrt_f32(qq))));
    EXPECT_EQ(bits(rk::pq_l2sq(pq, q.data(), code)), bits(S));

    std::vector<float> rec(dim);
    rk::pq_reconstruct(pq, code, rec.data());
    EXPECT_EQ(std::memcmp(rec.data(), c.data(), dim * 4), 0);

    const std::vector<float> zero(dim, 0.0f);
    EXPECT_EQ(rk_pq_distance(pq, zero.data(), code, RK_METRIC_COSINE), 1.0f);
    EXPECT_EQ(rk_pq_distance(pq, q.data(), nullptr, RK_METRIC_L2), kFltMax);
    EXPECT_EQ(rk_pq_distance(pq, nullptr, code, RK_METRIC_L2), kFltMax);
    EXPECT_EQ(rk_pq_distance(nullptr, q.data(), code, RK_METRIC_L2), kFltMax);
}

TEST_F(Pq, BatchDistancesEqualSingleOnesOnBothPaths) {
    constexpr uint32_t dim = 32, m = 8;
    rk_pq_t *pq = make(dim, m, 8);
    const std::vector<float> data = random_rows(20, 1000, dim);
    rk_srand(21);
    ASSERT_EQ(rk_pq_train(pq, data.data(), 1000), RK_OK);
    std::vector<uint8_t> codes(1000 * m);
    rk_pq_encode_batch(pq, data.data(), codes.data(), 1000);
    const std::vector<float> q = random_rows(22, 1, dim);

    std::vector<float> table(rk::pq_table_floats(pq));
    rk::pq_build_l2_table(pq, q.data(), table.data());
    for (int metric : {0, 1, 2, 3, 77, -1}) {
        for (size_t n : {size_t{3}, size_t{1000}}) {  // direct path, table path
            std::vector<float> out(n);
            rk_pq_distance_batch(pq, q.data(), codes.data(), out.data(), n, metric);
            for (size_t r = 0; r < n; ++r) {
                const uint8_t *code = &codes[r * m];
                ASSERT_EQ(bits(out[r]), bits(rk_pq_distance(pq, q.data(), code, metric)))
                    << metric << " " << n << " " << r;
                ASSERT_EQ(bits(rk::pq_table_l2sq(pq, table.data(), code)),
                          bits(rk::pq_l2sq(pq, q.data(), code)));
            }
        }
    }
    float keep = 5;
    rk_pq_distance_batch(pq, q.data(), codes.data(), &keep, 0, RK_METRIC_L2);
    rk_pq_distance_batch(pq, nullptr, codes.data(), &keep, 1, RK_METRIC_L2);
    rk_pq_distance_batch(pq, q.data(), nullptr, &keep, 1, RK_METRIC_L2);
    rk_pq_distance_batch(pq, q.data(), codes.data(), &keep, UINT64_MAX / 2, RK_METRIC_L2);
    EXPECT_EQ(keep, 5.0f);
}

TEST_F(Pq, CodeBytesBeyondTheCodebookGiveNoDistance) {
    rk_pq_t *pq = make(8, 2, 2);  // 4 centroids per codebook
    const std::vector<float> q = random_rows(30, 1, 8);
    const uint8_t bad[2] = {1, 200};
    for (int metric : {0, 1, 2, 9, -1}) {
        EXPECT_EQ(rk_pq_distance(pq, q.data(), bad, metric), kFltMax);
    }
    std::vector<uint8_t> codes(2 * 64, 0);
    codes[2 * 40 + 1] = 4;
    std::vector<float> out(64);
    rk_pq_distance_batch(pq, q.data(), codes.data(), out.data(), 64, RK_METRIC_L2);
    EXPECT_EQ(out[40], kFltMax);
    EXPECT_EQ(out[39], rk_pq_distance(pq, q.data(), &codes[0], RK_METRIC_L2));
    std::vector<float> rec(8, 9.0f);
    rk::pq_reconstruct(pq, bad, rec.data());
    EXPECT_EQ(rec[4], 0.0f);
}

TEST_F(Pq, BadArgumentsChangeNothing) {
    rk_pq_t *pq = make(4, 2, 1);
    const float row[4] = {1, 2, 3, 4};
    EXPECT_EQ(rk_pq_train(nullptr, row, 1), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_pq_train(pq, nullptr, 1), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_pq_train(pq, row, 0), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_pq_train(pq, row, UINT64_MAX / 4), RK_ERR_NO_MEMORY);
    EXPECT_EQ(pq->codebooks[0][0], 0.0f);
    uint8_t code[2] = {7, 7};
    rk_pq_encode(pq, nullptr, code);
    rk_pq_encode(nullptr, row, code);
    rk_pq_encode_batch(pq, row, code, UINT64_MAX / 2);
    EXPECT_EQ(code[0], 7);
    rk_pq_encode(pq, row, nullptr);
}

}  // namespace
