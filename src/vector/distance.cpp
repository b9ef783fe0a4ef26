// SPDX-License-Identifier: Apache-2.0
// Public distances, norms, batch distances and the SIMD switches. Every sum
// goes through rk::kern, whose batch paths give the bits of the plain loops.
#include <atomic>
#include <bit>
#include <cfloat>
#include <cstdint>

#include "rk_vector.h"
#include "vector/kernels.h"

namespace rk {
namespace {

// Norms below this (2^-23) count as zero in the cosine distance.
constexpr float kZeroNorm = 1.1920929e-7f;

float flip_sign(float x) { return std::bit_cast<float>(std::bit_cast<uint32_t>(x) ^ 0x80000000u); }

float l1(const float *v, uint32_t dim) {
    float s = 0.0f;
    for (uint32_t i = 0; i < dim; ++i) s = s + rk_math_abs_f32(v[i]);
    return s;
}

// Cosine distance from the three sums. The query norm comes first (na), the
// row norm second; the denominator is one rounded product.
float cosine_from(float dot, float na, float nb) {
    if (na < kZeroNorm || nb < kZeroNorm) return 1.0f;
    return 1.0f - dot / (nb * na);
}

// Rows per chunk of the batch functions: null rows are skipped, the rest
// computed together by the batch kernels.
constexpr size_t kChunk = 64;

// Gathers the non-null rows of vectors[0..m) into rows/idx; returns how many.
size_t gather_rows(const float *const *vectors, size_t m, const float **rows, uint32_t *idx) {
    size_t k = 0;
    for (size_t i = 0; i < m; ++i) {
        if (vectors[i]) {
            rows[k] = vectors[i];
            idx[k++] = uint32_t(i);
        }
    }
    return k;
}

using Finish = float (*)(float sum, float query_norm, float row_norm);

float finish_l2(float sum, float, float) { return rk_math_sqrt_f32(sum); }
float finish_ip(float sum, float, float) { return flip_sign(sum); }
float finish_cos(float sum, float na, float nb) { return cosine_from(sum, na, nb); }

struct BatchOp {
    void (*many)(const float *, const float *const *, size_t, uint32_t, float *);
    Finish finish;
    float null_row;   // result for a null vectors[i]
    bool row_norms;   // cosine needs each row's norm
};

const BatchOp kL2Op = {kern::l2sq_many, finish_l2, FLT_MAX, false};
const BatchOp kIpOp = {kern::dot_many, finish_ip, -0.0f, false};
const BatchOp kCosOp = {kern::dot_many, finish_cos, 1.0f, true};

void run_batch(const BatchOp &op, const float *q, const float *const *vectors, uint32_t dim, uint64_t count,
               float *out) {
    const float na = op.row_norms ? rk_math_sqrt_f32(kern::sqnorm(q, dim)) : 0.0f;
    const float *rows[kChunk];
    uint32_t idx[kChunk];
    float sums[kChunk];
    float norms[kChunk];
    for (uint64_t done = 0; done < count;) {
        const size_t m = count - done < kChunk ? size_t(count - done) : kChunk;
        for (size_t i = 0; i < m; ++i) out[done + i] = op.null_row;
        const size_t k = gather_rows(vectors + done, m, rows, idx);
        op.many(q, rows, k, dim, sums);
        if (op.row_norms) kern::sqnorm_many(rows, k, dim, norms);
        for (size_t i = 0; i < k; ++i) {
            const float nb = op.row_norms ? rk_math_sqrt_f32(norms[i]) : 0.0f;
            out[done + idx[i]] = op.finish(sums[i], na, nb);
        }
        done += m;
    }
}

}  // namespace
}  // namespace rk

namespace {
// Process-wide flags. Nothing in the library sets the first, and no kernel
// reads the second: every path gives the same bits, so there is nothing to
// switch. Relaxed atomics: plain 32-bit stores and loads without ordering,
// but free of data races when hosts flip them from several threads.
std::atomic<int> g_simd_available{0};
std::atomic<int> g_simd_enabled{1};
}  // namespace

extern "C" {

RK_API float rk_vec_dot(const float *a, const float *b, uint32_t dim) {
    if (!a || !b || dim == 0) return 0.0f;
    return rk::kern::dot(a, b, dim);
}

RK_API float rk_vec_ip_distance(const float *a, const float *b, uint32_t dim) {
    return rk::flip_sign(rk_vec_dot(a, b, dim));
}

RK_API float rk_vec_l2_squared(const float *a, const float *b, uint32_t dim) {
    if (!a || !b || dim == 0) return FLT_MAX;
    return rk::kern::l2sq(a, b, dim);
}

RK_API float rk_vec_l2_distance(const float *a, const float *b, uint32_t dim) {
    if (!a || !b || dim == 0) return FLT_MAX;
    return rk_math_sqrt_f32(rk::kern::l2sq(a, b, dim));
}

RK_API float rk_vec_distance_l2(const float *a, const float *b, uint32_t dim) {
    return rk_vec_l2_distance(a, b, dim);
}

RK_API float rk_vec_cosine_distance(const float *a, const float *b, uint32_t dim) {
    if (!a || !b || dim == 0) return 1.0f;
    const float dot = rk::kern::dot(a, b, dim);
    const float na = rk_math_sqrt_f32(rk::kern::sqnorm(a, dim));
    const float nb = rk_math_sqrt_f32(rk::kern::sqnorm(b, dim));
    return rk::cosine_from(dot, na, nb);
}

RK_API float rk_vec_cosine_similarity(const float *a, const float *b, uint32_t dim) {
    return 1.0f - rk_vec_cosine_distance(a, b, dim);
}

RK_API float rk_vec_norm_squared(const float *v, uint32_t dim) {
    if (!v || dim == 0) return 0.0f;
    return rk::kern::sqnorm(v, dim);
}

RK_API float rk_vec_norm_l2_squared(const float *v, uint32_t dim) { return rk_vec_norm_squared(v, dim); }

RK_API float rk_vec_norm_l2(const float *v, uint32_t dim) {
    return rk_math_sqrt_f32(rk_vec_norm_squared(v, dim));
}

RK_API float rk_vec_l1_norm(const float *v, uint32_t dim) {
    if (!v || dim == 0) return 0.0f;
    return rk::l1(v, dim);
}

RK_API float rk_vec_distance(const float *a, const float *b, uint32_t dim, int metric) {
    if (metric == RK_METRIC_COSINE) return rk_vec_cosine_distance(a, b, dim);
    const bool ip = metric == RK_METRIC_IP;
    if (dim == 0) return ip ? -0.0f : 0.0f;
    // A null vector has no distance rather than crashing the scan.
    if (!a || !b) return FLT_MAX;
    return ip ? rk::flip_sign(rk::kern::dot(a, b, dim)) : rk::kern::l2sq(a, b, dim);
}

RK_API void rk_vec_batch_l2_distance(const float *query, const float *const *vectors, uint32_t dim,
                                     uint64_t count, float *out) {
    if (!vectors || !out) return;
    if (!query || dim == 0) {
        for (uint64_t i = 0; i < count; ++i) out[i] = FLT_MAX;
        return;
    }
    rk::run_batch(rk::kL2Op, query, vectors, dim, count, out);
}

RK_API void rk_vec_batch_distance(const float *query, const float *const *vectors, uint32_t dim,
                                  uint64_t count, int metric, float *out) {
    if (!query || !vectors || !out) return;
    if (metric == RK_METRIC_IP) {
        if (dim == 0) {
            for (uint64_t i = 0; i < count; ++i) out[i] = -0.0f;
            return;
        }
        rk::run_batch(rk::kIpOp, query, vectors, dim, count, out);
    } else if (metric == RK_METRIC_COSINE) {
        if (dim == 0) {
            for (uint64_t i = 0; i < count; ++i) out[i] = 1.0f;
            return;
        }
        rk::run_batch(rk::kCosOp, query, vectors, dim, count, out);
    } else {
        rk_vec_batch_l2_distance(query, vectors, dim, count, out);
    }
}

RK_API void rk_vec_batch_cosine_similarity(const float *query, const rk_vec_batch_t *batch, float *out) {
    if (!query || !batch || !batch->vectors || !out) return;
    rk_vec_batch_distance(query, batch->vectors, batch->dimension, batch->count, RK_METRIC_COSINE, out);
    for (uint64_t i = 0; i < batch->count; ++i) out[i] = 1.0f - out[i];
}

RK_API int rk_is_simd_available(void) { return g_simd_available.load(std::memory_order_relaxed); }
RK_API int rk_vecdb_is_simd_available(void) { return rk_is_simd_available(); }
RK_API void rk_set_simd_enabled(int enabled) { g_simd_enabled.store(enabled, std::memory_order_relaxed); }
RK_API void rk_vecdb_set_simd_enabled(int enabled) { rk_set_simd_enabled(enabled); }
RK_API int rk_get_simd_enabled(void) { return g_simd_enabled.load(std::memory_order_relaxed); }

}  // extern "C"
