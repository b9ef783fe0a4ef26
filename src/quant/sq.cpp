// SPDX-License-Identifier: Apache-2.0
// Scalar quantiser: one unsigned byte per component, each dimension with a
// linear range of its own learned from training data.
#include "quant/sq.h"

#include <cstring>

#include "core/alloc.h"
#include "quant/common.h"
#include "rk_error.h"
#include "rk_vector.h"

namespace {

// Ranges at or below this get scale 1 instead of a huge or infinite one.
constexpr float kMinRange = 1e-6f;  // 0x358637BD

// Floats in count rows of dim: false when the block cannot exist in memory.
bool block_floats(uint64_t count, uint32_t dim, size_t *floats) {
    size_t n, bytes;
    if (count > SIZE_MAX) return false;
    if (!rk::mul_size(static_cast<size_t>(count), dim, &n)) return false;
    if (!rk::mul_size(n, sizeof(float), &bytes)) return false;
    *floats = n;
    return true;
}

// Same as rk_math_clamp_f32: a NaN falls through both tests unchanged.
inline float clamp_code(float v) {
    if (0.0f > v) return 0.0f;
    if (v > 255.0f) return 255.0f;
    return v;
}

void encode_row(const rk_sq_quantizer_t *sq, const float *x, uint8_t *code) {
    const float *mn = sq->min, *sc = sq->scale;
    for (uint32_t i = 0; i < sq->dim; ++i) {
        const float t = clamp_code((x[i] - mn[i]) * sc[i]) + 0.5f;
        // The clamp keeps t within [0.5, 255.5]; a NaN gives code 0.
        code[i] = (t == t) ? static_cast<uint8_t>(static_cast<int32_t>(t)) : uint8_t{0};
    }
}

void decode_row(const rk_sq_quantizer_t *sq, const uint8_t *code, float *out) {
    for (uint32_t i = 0; i < sq->dim; ++i) out[i] = rk::sq_decode_one(sq, code, i);
}

float distance_l2(const rk_sq_quantizer_t *sq, const uint8_t *code, const float *q) {
    return rk_math_sqrt_f32(rk::sq_l2sq(sq, code, q));
}

float distance_ip(const rk_sq_quantizer_t *sq, const uint8_t *code, const float *q) {
    float dot = 0.0f;
    for (uint32_t i = 0; i < sq->dim; ++i) dot += rk::sq_decode_one(sq, code, i) * q[i];
    return -dot;
}

float distance_cosine(const rk_sq_quantizer_t *sq, const uint8_t *code, const float *q) {
    float dot = 0.0f, sd = 0.0f, sq2 = 0.0f;
    for (uint32_t i = 0; i < sq->dim; ++i) {
        const float d = rk::sq_decode_one(sq, code, i);
        dot += d * q[i];
        sd += d * d;
        sq2 += q[i] * q[i];
    }
    if (sq2 == 0.0f || sd == 0.0f) return 1.0f;
    return 1.0f - dot / (rk_math_sqrt_f32(sd) * rk_math_sqrt_f32(sq2));
}

using DistanceFn = float (*)(const rk_sq_quantizer_t *, const uint8_t *, const float *);
// Indexed by metric: L2, IP, cosine.
constexpr DistanceFn kDistance[] = {distance_l2, distance_ip, distance_cosine};

}  // namespace

namespace rk {

float sq_l2sq(const rk_sq_quantizer_t *sq, const uint8_t *code, const float *query) {
    float s = 0.0f;
    for (uint32_t i = 0; i < sq->dim; ++i) {
        const float diff = query[i] - sq_decode_one(sq, code, i);
        s += diff * diff;
    }
    return s;
}

}  // namespace rk

extern "C" {

RK_API rk_sq_quantizer_t *rk_sq_quantizer_create(rk_arena_t *arena, uint32_t dim) {
    if (!arena || dim == 0) return nullptr;
    auto *sq = static_cast<rk_sq_quantizer_t *>(rk_arena_alloc(arena, sizeof(rk_sq_quantizer_t)));
    if (!sq) return nullptr;
    // One piece for the three arrays; dim is 32-bit, so 3 * dim floats fit.
    auto *arrays = static_cast<float *>(rk_arena_alloc(arena, 3 * sizeof(float) * size_t{dim}));
    if (!arrays) return nullptr;
    sq->min = arrays;
    sq->max = arrays + dim;
    sq->scale = arrays + 2 * size_t{dim};
    sq->dim = dim;
    sq->arena = arena;
    // Until trained the quantiser behaves as if trained on one zero row:
    // encoding and decoding are defined instead of reading stale memory.
    std::memset(arrays, 0, 2 * sizeof(float) * size_t{dim});
    for (uint32_t i = 0; i < dim; ++i) sq->scale[i] = 1.0f;
    return sq;
}

RK_API void rk_sq_quantizer_destroy(rk_sq_quantizer_t *) {}

RK_API rk_status_t rk_sq_quantizer_train(rk_sq_quantizer_t *sq, const float *data, uint64_t count) {
    size_t floats;
    if (!sq || !data || count == 0) return RK_ERR_INVALID_ARG;
    if (!block_floats(count, sq->dim, &floats)) return RK_ERR_INVALID_ARG;
    const uint32_t dim = sq->dim;
    float *mn = sq->min, *mx = sq->max;
    std::memcpy(mn, data, dim * sizeof(float));
    std::memcpy(mx, data, dim * sizeof(float));
    for (size_t off = dim; off < floats; off += dim) {
        const float *x = data + off;
        // Strict comparisons: a NaN never replaces a bound.
        for (uint32_t i = 0; i < dim; ++i) {
            if (x[i] < mn[i]) mn[i] = x[i];
            if (x[i] > mx[i]) mx[i] = x[i];
        }
    }
    for (uint32_t i = 0; i < dim; ++i) {
        const float r = mx[i] - mn[i];
        sq->scale[i] = r > kMinRange ? 255.0f / r : 1.0f;
    }
    return RK_OK;
}

RK_API rk_status_t rk_sq_quantize(const rk_sq_quantizer_t *sq, const float *vector, uint8_t *code) {
    if (!sq || !vector || !code) return RK_ERR_INVALID_ARG;
    encode_row(sq, vector, code);
    return RK_OK;
}

RK_API rk_status_t rk_sq_quantize_batch(const rk_sq_quantizer_t *sq, const float *data, uint8_t *codes,
                                        uint64_t count) {
    size_t floats;
    if (!sq || !data || !codes || count == 0) return RK_ERR_INVALID_ARG;
    if (!block_floats(count, sq->dim, &floats)) return RK_ERR_INVALID_ARG;
    for (size_t off = 0; off < floats; off += sq->dim) encode_row(sq, data + off, codes + off);
    return RK_OK;
}

RK_API rk_status_t rk_sq_dequantize(const rk_sq_quantizer_t *sq, const uint8_t *code, float *vector) {
    if (!sq || !code || !vector) return RK_ERR_INVALID_ARG;
    decode_row(sq, code, vector);
    return RK_OK;
}

RK_API rk_status_t rk_sq_dequantize_batch(const rk_sq_quantizer_t *sq, const uint8_t *codes, float *vectors,
                                          uint64_t count) {
    size_t floats;
    if (!sq || !codes || !vectors || count == 0) return RK_ERR_INVALID_ARG;
    if (!block_floats(count, sq->dim, &floats)) return RK_ERR_INVALID_ARG;
    for (size_t off = 0; off < floats; off += sq->dim) decode_row(sq, codes + off, vectors + off);
    return RK_OK;
}

RK_API float rk_sq_distance(const rk_sq_quantizer_t *sq, const uint8_t *code, const float *query,
                            int metric) {
    if (!sq || !code || !query) return rk::kNoDistance;
    const auto w = static_cast<uint32_t>(metric);  // negative values name no metric
    if (w >= sizeof kDistance / sizeof kDistance[0]) return rk::kNoDistance;
    return kDistance[w](sq, code, query);
}

}  // extern "C"
