// SPDX-License-Identifier: Apache-2.0
// Creating, filling, combining and normalising float vectors.
//
// Every loop runs in ascending index order with one single-precision
// accumulator, so each result is the same bits on every processor.
#include <cstring>

#include "rk_error.h"
#include "rk_memory.h"
#include "rk_vector.h"
#include "vector/kernels.h"

namespace {

// Vectors under 2^-23 in length have no usable direction.
constexpr float kMinNorm = 1.1920929e-7f;

float *allocate(rk_arena_t *arena, uint32_t dim) {
    if (dim == 0) return nullptr;
    // dim is 32-bit, so dim * 4 bytes cannot overflow a 64-bit size.
    const size_t bytes = static_cast<size_t>(dim) * sizeof(float);
    void *p = arena ? rk_arena_alloc(arena, bytes) : rk_alloc(bytes);
    return static_cast<float *>(p);
}

}  // namespace

extern "C" {

RK_API float *rk_vec_create(rk_arena_t *arena, uint32_t dim) { return allocate(arena, dim); }

RK_API float *rk_vec_create_with_value(rk_arena_t *arena, uint32_t dim, float value) {
    float *v = allocate(arena, dim);
    rk_vec_fill(v, dim, value);
    return v;
}

RK_API float *rk_vec_copy(rk_arena_t *arena, const float *src, uint32_t dim) {
    if (!src) return nullptr;
    float *v = allocate(arena, dim);
    if (v) std::memcpy(v, src, static_cast<size_t>(dim) * sizeof(float));
    return v;
}

RK_API float *rk_vec_normalized(rk_arena_t *arena, const float *src, uint32_t dim) {
    if (!arena) return nullptr;
    float *v = rk_vec_copy(arena, src, dim);
    if (!v || rk_vec_normalize(v, dim) != RK_OK) return nullptr;
    return v;
}

RK_API void rk_vec_free(float *v) {
    if (v) rk_free(v);
}

RK_API void rk_vec_fill(float *v, uint32_t dim, float value) {
    if (!v) return;
    for (uint32_t i = 0; i < dim; ++i) v[i] = value;
}

RK_API void rk_vec_zero(float *v, uint32_t dim) {
    if (!v || dim == 0) return;
    std::memset(v, 0, static_cast<size_t>(dim) * sizeof(float));
}

RK_API void rk_vec_add(const float *a, const float *b, uint32_t dim, float *out) {
    if (!a || !b || !out) return;
    for (uint32_t i = 0; i < dim; ++i) out[i] = a[i] + b[i];
}

RK_API void rk_vec_sub(const float *a, const float *b, uint32_t dim, float *out) {
    if (!a || !b || !out) return;
    for (uint32_t i = 0; i < dim; ++i) out[i] = a[i] - b[i];
}

RK_API void rk_vec_scale(const float *v, uint32_t dim, float s, float *out) {
    if (!v || !out) return;
    for (uint32_t i = 0; i < dim; ++i) out[i] = v[i] * s;
}

RK_API rk_status_t rk_vec_normalize(float *v, uint32_t dim) {
    if (!v || dim == 0) return RK_ERR_INVALID_ARG;
    const float n = rk_math_sqrt_f32(rk::kern::sqnorm(v, dim));
    if (n < kMinNorm) return RK_ERR_INVALID_ARG;
    // One reciprocal for the whole vector: every element is scaled by the
    // same rounded factor.
    const float f = 1.0f / n;
    for (uint32_t i = 0; i < dim; ++i) v[i] = v[i] * f;
    return RK_OK;
}

RK_API rk_status_t rk_vec_normalize_to(const float *src, float *dst, uint32_t dim) {
    if (!src || !dst || dim == 0) return RK_ERR_INVALID_ARG;
    if (src != dst) std::memmove(dst, src, static_cast<size_t>(dim) * sizeof(float));
    return rk_vec_normalize(dst, dim);
}

}  // extern "C"
