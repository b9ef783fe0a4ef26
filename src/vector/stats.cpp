// SPDX-License-Identifier: Apache-2.0
// Sums, means and comparisons over one vector or many, and random vectors
// drawn from the process-wide generator.
//
// Sums run in single precision in ascending index order from +0.0, one term
// at a time, and the random draws are consumed in element order, so a seed
// fixes every bit of every result.
#include "rk_error.h"
#include "rk_platform.h"
#include "rk_vector.h"

namespace {

// Totals and uniform draws below 2^-23 count as zero.
constexpr float kTiny = 1.1920929e-7f;
constexpr float kTwoPi = 6.2831855f;  // 0x40C90FDB

// out[k] = v[k] * w + out[k]: the product is rounded before the sum, so this
// is a scaled copy added into out.
void add_scaled(float *out, const float *v, float w, uint32_t dim) {
    for (uint32_t k = 0; k < dim; ++k) out[k] = v[k] * w + out[k];
}

}  // namespace

extern "C" {

RK_API float rk_vec_sum(const float *v, uint32_t dim) {
    if (!v) return 0.0f;
    float s = 0.0f;
    for (uint32_t i = 0; i < dim; ++i) s += v[i];
    return s;
}

RK_API float rk_vec_mean(const float *v, uint32_t dim) {
    if (!v || dim == 0) return 0.0f;
    return rk_vec_sum(v, dim) / static_cast<float>(dim);
}

RK_API void rk_vec_array_sum(float *out, const float *const *vectors, uint32_t dim, uint64_t count) {
    if (!out || !vectors || count == 0) return;
    rk_vec_zero(out, dim);
    for (uint64_t j = 0; j < count; ++j) {
        const float *v = vectors[j];
        if (!v) continue;
        for (uint32_t k = 0; k < dim; ++k) out[k] = v[k] + out[k];
    }
}

RK_API void rk_vec_array_mean(float *out, const float *const *vectors, uint32_t dim, uint64_t count) {
    if (!out || !vectors || count == 0) return;
    rk_vec_array_sum(out, vectors, dim, count);
    rk_vec_scale(out, dim, 1.0f / static_cast<float>(count), out);
}

RK_API void rk_vec_weighted_mean(float *out, const float *const *vectors, const float *weights, uint32_t dim,
                                 uint64_t count) {
    if (!out || !vectors || !weights || count == 0) return;
    rk_vec_zero(out, dim);
    float total = 0.0f;
    for (uint64_t j = 0; j < count; ++j) {
        // A missing vector adds nothing, but its weight still counts.
        if (vectors[j]) add_scaled(out, vectors[j], weights[j], dim);
        total += weights[j];
    }
    if (total > kTiny) rk_vec_scale(out, dim, 1.0f / total, out);
}

RK_API int rk_vec_equal(const float *a, const float *b, uint32_t dim, float tolerance) {
    if (!a || !b || dim == 0) return 0;
    for (uint32_t i = 0; i < dim; ++i) {
        // Written as "greater than" so that a NaN difference never fails.
        if (rk_math_abs_f32(a[i] - b[i]) > tolerance) return 0;
    }
    return 1;
}

RK_API int rk_vec_almost_equal(const float *a, const float *b, uint32_t dim, float tolerance) {
    return rk_vec_equal(a, b, dim, tolerance);
}

RK_API void rk_vec_random(float *v, uint32_t dim) {
    if (!v) return;
    for (uint32_t i = 0; i < dim; ++i) v[i] = rk_rand_float() * 2.0f - 1.0f;
}

RK_API void rk_vec_random_gaussian(float *v, uint32_t dim, float mean, float stddev) {
    if (!v || dim == 0) return;
    // 64-bit counter: stepping by two past the largest 32-bit dim must not wrap.
    for (uint64_t i = 0; i < dim; i += 2) {
        float u1 = rk_rand_float();
        const float u2 = rk_rand_float();
        // log(0) has no value: only the first uniform is drawn again.
        while (u1 < kTiny) u1 = rk_rand_float();
        const float r = rk_math_sqrt_f32(rk_math_log_f32(u1) * -2.0f);
        const float theta = u2 * kTwoPi;
        const float h = r * stddev;
        v[i] = rk_math_cos_f32(theta) * h + mean;
        if (i + 1 < dim) v[i + 1] = rk_math_sin_f32(theta) * h + mean;
    }
}

RK_API rk_status_t rk_vec_random_normalized(float *v, uint32_t dim) {
    rk_vec_random(v, dim);
    return rk_vec_normalize(v, dim);
}

}  // extern "C"
