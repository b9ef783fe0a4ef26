/* SPDX-License-Identifier: Apache-2.0 */
/*
 * rk_vector.h - distance kernels, SIMD switches, vector arithmetic and statistics, int8 vectors, scalar maths
 *
 * Threading: the distance, norm and scalar maths functions are pure: they
 * read only their arguments, write only their out-arrays, allocate nothing
 * and keep no pointer, so any number of threads may call them at once (on
 * distinct output arrays). The exceptions: rk_vec_create, rk_vec_copy and
 * rk_vec_normalized allocate (in the arena given, or through the hooks, as
 * each says); the rk_vec_random* functions advance the process-wide random
 * generator; and the SIMD flags are process-wide relaxed stores and loads on
 * which no result depends.
 *
 * Reproducibility: every sum is accumulated in single precision, one term at
 * a time, in ascending index order, starting from +0.0; square roots,
 * logarithms and trigonometry come from the rk_math_* functions below, never
 * from the platform's maths library. Results are identical bit for bit on
 * every processor, whichever internal code path computes them.
 */
#ifndef RK_VECTOR_H
#define RK_VECTOR_H

#include "rk_common.h"

RK_EXTERN_C_BEGIN

/* ---- scalar maths ---- */

/*
 * The library's own scalar maths. Every distance, norm, normalisation and
 * random draw of the library uses these exact routines, approximations
 * included, so hosts that want to reproduce a library result should call them
 * too. All are pure and thread-safe; none reports errors: out-of-domain
 * arguments give the fixed values documented per function, and NaN arguments
 * give NaN unless stated otherwise.
 */

/** Absolute value: clears the sign bit (a NaN keeps its payload). */
RK_API float rk_math_abs_f32(float x);
/** Absolute value: clears the sign bit (a NaN keeps its payload). */
RK_API double rk_math_abs_f64(double x);

/**
 * Clamp: lo if lo > x, else hi if x > hi, else x. A NaN x is returned
 * unchanged; the bounds are not checked for order.
 */
RK_API float rk_math_clamp_f32(float x, float lo, float hi);
/** Clamp in double precision; see rk_math_clamp_f32. */
RK_API double rk_math_clamp_f64(double x, double lo, double hi);

/**
 * Approximate square root: an inverse-square-root estimate from the bit
 * pattern (magic 0x5F3759D5), three Newton steps, times x. Close to, but not
 * always equal to, the correctly rounded root.
 * @return 0 for x <= 0 (including -0.0 and -inf), +inf for +inf, NaN for NaN.
 */
RK_API float rk_math_sqrt_f32(float x);
/** Approximate square root in double precision (magic 0x5FE6EB50C7B537A9);
 *  see rk_math_sqrt_f32 for the special values. */
RK_API double rk_math_sqrt_f64(double x);

/**
 * Natural logarithm: x is scaled into [1, 2) by powers of two and the
 * remainder computed by a 25-term atanh series.
 * @return -1e30 for x <= 0, +inf for +inf, NaN for NaN.
 */
RK_API float rk_math_log_f32(float x);
/** Natural logarithm in double precision (50-term series).
 *  @return -1e300 for x <= 0, +inf for +inf, NaN for NaN. */
RK_API double rk_math_log_f64(double x);

/**
 * Sine and cosine by Taylor series after reducing the argument into
 * [-pi, pi] by steps of 2pi. Arguments beyond 65536 periods are first
 * reduced directly (with less accuracy the larger they are).
 * @return NaN for NaN, for +-inf, and for |x| >= 2^52, where an argument
 *         holds no usable phase.
 */
RK_API float rk_math_sin_f32(float x);
/** Cosine; see rk_math_sin_f32. */
RK_API float rk_math_cos_f32(float x);
/** Sine in double precision; see rk_math_sin_f32. */
RK_API double rk_math_sin_f64(double x);
/** Cosine in double precision; see rk_math_sin_f32. */
RK_API double rk_math_cos_f64(double x);

/**
 * e^x - 1 by its power series (at most 100 terms).
 * @return +0.0 for x == 0, 1e20 for x > 50, -1.0 for x < -50, NaN for NaN.
 */
RK_API double rk_math_expm1(double x);

/**
 * ln(1 + x): a power series for |x| <= 0.001, rk_math_log_f64(x + 1)
 * otherwise.
 * @return +0.0 for x == 0, -1e300 for x <= -1, NaN for NaN.
 */
RK_API double rk_math_log1p(double x);



/* ---- distances, norms and SIMD switches ---- */

/*
 * Distances, similarities, dot products and norms of 32-bit float vectors of
 * dimension dim, one against one or one query against a batch. Vectors are
 * caller-owned arrays of dim floats; nothing is allocated or kept. None of
 * these report a status: a null vector or a zero dimension gives the neutral
 * value each function names (FLT_MAX, 3.4028235e38, stands for "no
 * distance"). NaN inputs propagate into the sums. Squared differences are
 * (a[i] - b[i]) * (a[i] - b[i]). Smaller distances always mean nearer.
 * All are pure and thread-safe.
 */

/** A batch of vectors: an array of count pointers to vectors of one dimension. */
typedef struct rk_vec_batch_t {
    const float *const *vectors; /**< count vector pointers */
    uint32_t dimension;          /**< floats per vector */
    uint64_t count;              /**< number of vectors */
} rk_vec_batch_t;

/** Dot product sum a[i]*b[i]. @return 0.0 for a null vector or dim 0. */
RK_API float rk_vec_dot(const float *a, const float *b, uint32_t dim);

/** Inner-product distance: rk_vec_dot with its sign bit flipped, so a zero
 *  product gives -0.0. @return -0.0 for a null vector or dim 0. */
RK_API float rk_vec_ip_distance(const float *a, const float *b, uint32_t dim);

/** Squared Euclidean distance sum (a[i]-b[i])^2.
 *  @return FLT_MAX for a null vector or dim 0. */
RK_API float rk_vec_l2_squared(const float *a, const float *b, uint32_t dim);

/** Euclidean distance: rk_math_sqrt_f32 of rk_vec_l2_squared.
 *  @return FLT_MAX for a null vector or dim 0. */
RK_API float rk_vec_l2_distance(const float *a, const float *b, uint32_t dim);
/** The same function as rk_vec_l2_distance. */
RK_API float rk_vec_distance_l2(const float *a, const float *b, uint32_t dim);

/**
 * Cosine distance 1 - dot / (|b| * |a|), norms by rk_math_sqrt_f32, the
 * denominator rounded once before the division. Not clamped: it may fall
 * slightly below 0 or above 2. A NaN norm gives NaN.
 * @return 1.0 for a null vector, dim 0, or a norm below 2^-23 (a zero vector
 *         is at distance 1 from everything).
 */
RK_API float rk_vec_cosine_distance(const float *a, const float *b, uint32_t dim);

/** Cosine similarity: 1 - rk_vec_cosine_distance(a, b, dim).
 *  @return 0.0 for a null vector or dim 0. */
RK_API float rk_vec_cosine_similarity(const float *a, const float *b, uint32_t dim);

/** Squared norm sum v[i]^2. @return 0.0 for a null vector or dim 0. */
RK_API float rk_vec_norm_squared(const float *v, uint32_t dim);
/** The same function as rk_vec_norm_squared. */
RK_API float rk_vec_norm_l2_squared(const float *v, uint32_t dim);
/** Euclidean norm: rk_math_sqrt_f32 of the squared norm.
 *  @return 0.0 for a null vector or dim 0. */
RK_API float rk_vec_norm_l2(const float *v, uint32_t dim);
/** L1 norm sum |v[i]|. @return 0.0 for a null vector or dim 0. */
RK_API float rk_vec_l1_norm(const float *v, uint32_t dim);

/**
 * Distance under a metric (an rk_metric_t value): RK_METRIC_IP gives the
 * negated dot product (sign bit flipped), RK_METRIC_COSINE
 * rk_vec_cosine_distance, RK_METRIC_L2 and any other value the squared
 * Euclidean distance, without the square root.
 * @param a, b   the two vectors, dim floats each
 * @param dim    their dimension
 * @param metric RK_METRIC_L2, RK_METRIC_IP or RK_METRIC_COSINE
 * @return for dim 0: 0.0 (L2), -0.0 (IP), 1.0 (cosine); for a null vector
 *         with dim > 0: FLT_MAX (L2, IP), 1.0 (cosine).
 */
RK_API float rk_vec_distance(const float *a, const float *b, uint32_t dim, int metric);

/**
 * One query against count vectors under a metric, one float per vector into
 * out[0..count-1]: RK_METRIC_IP gives -rk_vec_dot (a null vector -0.0),
 * RK_METRIC_COSINE rk_vec_cosine_distance, RK_METRIC_L2 and any other value
 * hand over to rk_vec_batch_l2_distance, which returns the true Euclidean
 * distance, with the square root (unlike rk_vec_distance).
 * Writes nothing when query, vectors or out is null.
 * @param query   the query, dim floats
 * @param vectors count pointers to vectors of dim floats (entries may be null)
 * @param count   number of vectors
 * @param metric  an rk_metric_t value
 * @param out     caller-owned array of count floats
 */
RK_API void rk_vec_batch_distance(const float *query, const float *const *vectors, uint32_t dim,
                                  uint64_t count, int metric, float *out);

/**
 * Euclidean distances from query to count vectors into out[0..count-1]:
 * out[i] = rk_vec_l2_distance(query, vectors[i], dim), FLT_MAX for a null
 * vectors[i], for every i when query is null or dim is 0. Writes nothing when
 * count is 0 or vectors or out is null.
 * @param query   the query, dim floats
 * @param vectors count pointers to vectors of dim floats (entries may be null)
 * @param out     caller-owned array of count floats
 */
RK_API void rk_vec_batch_l2_distance(const float *query, const float *const *vectors, uint32_t dim,
                                     uint64_t count, float *out);

/**
 * Cosine similarities from query to every vector of a batch:
 * out[i] = 1 - rk_vec_cosine_distance(query, batch->vectors[i],
 * batch->dimension), so 0.0 for a null vector. Writes nothing when query,
 * batch, batch->vectors or out is null.
 * @param query the query, batch->dimension floats
 * @param batch the vectors to compare with (entries may be null)
 * @param out   caller-owned array of batch->count floats
 */
RK_API void rk_vec_batch_cosine_similarity(const float *query, const rk_vec_batch_t *batch, float *out);

/**
 * Reports whether the kernels expose a hand-written SIMD path to hosts:
 * always 0. (Internally the batch kernels may use vector instructions, but
 * they give exactly the bits of the plain loops, so there is nothing to
 * report.) Thread-safe.
 */
RK_API int rk_is_simd_available(void);
/** The same function as rk_is_simd_available. */
RK_API int rk_vecdb_is_simd_available(void);

/**
 * Stores enabled in the process-wide SIMD-enabled flag (initially 1). No
 * result depends on the flag. A plain store without ordering.
 */
RK_API void rk_set_simd_enabled(int enabled);
/** The same function as rk_set_simd_enabled. */
RK_API void rk_vecdb_set_simd_enabled(int enabled);

/** The current value of the SIMD-enabled flag (a plain load). */
RK_API int rk_get_simd_enabled(void);



/* ---- vector arithmetic and statistics ---- */

/*
 * Vectors are arrays of dim 32-bit floats; vector arrays are arrays of count
 * vector pointers. Every sum runs in single precision, one term at a time in
 * ascending index order from +0.0, so results are reproducible bit for bit.
 * These functions are pure on caller memory and need no locks, except the
 * random ones, which advance the process-wide generator (rk_rand_float),
 * which is not synchronised: serialise draws across threads.
 */

#include "rk_memory.h"

/**
 * New vector of dim uninitialised floats.
 * @param arena  where to allocate; null means the allocator hooks (rk_alloc)
 * @param dim    number of floats
 * @return the vector, or null when dim is 0 or the allocation fails. An arena
 *         vector lives as long as the arena; a hook vector is released with
 *         rk_vec_free. Thread-safety: as safe as the arena (one user at a time).
 */
RK_API float *rk_vec_create(rk_arena_t *arena, uint32_t dim);

/** As rk_vec_create, then every element set to value. Null on the same failures. */
RK_API float *rk_vec_create_with_value(rk_arena_t *arena, uint32_t dim, float value);

/**
 * New vector (allocated as by rk_vec_create) holding a byte copy of src.
 * @return null when src is null, dim is 0 or the allocation fails.
 */
RK_API float *rk_vec_copy(rk_arena_t *arena, const float *src, uint32_t dim);

/**
 * Copy of src in the arena, normalised by rk_vec_normalize.
 * @return null when arena or src is null, dim is 0, the allocation fails, or
 *         src has a norm below 2^-23 (the copy then stays in the arena until
 *         the arena goes).
 */
RK_API float *rk_vec_normalized(rk_arena_t *arena, const float *src, uint32_t dim);

/** Releases a vector from the allocator hooks (never an arena vector); null is ignored. */
RK_API void rk_vec_free(float *v);

/** v[i] = value for every i; nothing when v is null. */
RK_API void rk_vec_fill(float *v, uint32_t dim, float value);

/** Every element +0.0 (all bytes zero); nothing when v is null or dim is 0. */
RK_API void rk_vec_zero(float *v, uint32_t dim);

/** out[i] = a[i] + b[i]; out may be a or b. Nothing when any pointer is null. */
RK_API void rk_vec_add(const float *a, const float *b, uint32_t dim, float *out);

/** out[i] = a[i] - b[i]; out may be a or b. Nothing when any pointer is null. */
RK_API void rk_vec_sub(const float *a, const float *b, uint32_t dim, float *out);

/** out[i] = v[i] * s; out may be v. Nothing when v or out is null. */
RK_API void rk_vec_scale(const float *v, uint32_t dim, float s, float *out);

/**
 * Scales v in place to unit length: n = rk_math_sqrt_f32(sum of v[i]^2),
 * then v[i] = v[i] * (1 / n).
 * @return RK_OK; RK_ERR_INVALID_ARG (-2) when v is null, dim is 0 or n is
 *         below 2^-23 (v is then unchanged).
 */
RK_API rk_status_t rk_vec_normalize(float *v, uint32_t dim);

/**
 * Copies src into dst, then normalises dst.
 * @return RK_ERR_INVALID_ARG when src or dst is null or dim is 0 (dst
 *         untouched); otherwise the result of rk_vec_normalize(dst, dim), so
 *         a near-zero src leaves dst holding the plain copy.
 */
RK_API rk_status_t rk_vec_normalize_to(const float *src, float *dst, uint32_t dim);

/** Sum of the elements; 0.0 when v is null or dim is 0. */
RK_API float rk_vec_sum(const float *v, uint32_t dim);

/** rk_vec_sum(v, dim) / (float)dim; 0.0 when v is null or dim is 0. */
RK_API float rk_vec_mean(const float *v, uint32_t dim);

/**
 * out = element-wise sum of the count vectors, added vector by vector in
 * array order. Null entries of vectors are skipped. Nothing when out or
 * vectors is null or count is 0.
 */
RK_API void rk_vec_array_sum(float *out, const float *const *vectors, uint32_t dim,
                             uint64_t count);

/**
 * rk_vec_array_sum, then out scaled by 1.0f / (float)count (null entries
 * still count). Nothing when out or vectors is null or count is 0.
 */
RK_API void rk_vec_array_mean(float *out, const float *const *vectors, uint32_t dim,
                              uint64_t count);

/**
 * Weighted mean: out = sum of vectors[j] * weights[j], in array order, then
 * scaled by 1 / W where W is the sum of the weights, when W > 2^-23. With a
 * smaller total (zero or negative) out keeps the raw weighted sum. A null
 * entry of vectors adds nothing, while its weight still counts in W.
 * Nothing when any pointer is null or count is 0.
 */
RK_API void rk_vec_weighted_mean(float *out, const float *const *vectors, const float *weights,
                                 uint32_t dim, uint64_t count);

/**
 * 1 when abs(a[i] - b[i]) <= tolerance for every i, else 0. A NaN difference
 * never fails. 0 when a or b is null or dim is 0.
 */
RK_API int rk_vec_equal(const float *a, const float *b, uint32_t dim, float tolerance);

/** Same function as rk_vec_equal. */
RK_API int rk_vec_almost_equal(const float *a, const float *b, uint32_t dim, float tolerance);

/**
 * v[i] = rk_rand_float() * 2 - 1 in index order, so values lie in [-1, 1].
 * Nothing when v is null. Advances the shared generator dim times.
 */
RK_API void rk_vec_random(float *v, uint32_t dim);

/**
 * Normally distributed values by the Box-Muller transform on element pairs
 * (the library's own log, sqrt, sin and cos), so a seed fixes every bit.
 * Each pair draws two uniforms (the first again while it is below 2^-23); an
 * odd dim discards the last sine. Nothing when v is null or dim is 0.
 */
RK_API void rk_vec_random_gaussian(float *v, uint32_t dim, float mean, float stddev);

/**
 * Fills v as rk_vec_random does, then returns rk_vec_normalize(v, dim):
 * RK_ERR_INVALID_ARG for a null v, dim 0 or a near-zero draw (v then holds
 * the raw draw).
 */
RK_API rk_status_t rk_vec_random_normalized(float *v, uint32_t dim);

/* ---- int8 vectors ---- */

/*
 * A compact signed 8-bit form of a float vector with one float scale per
 * vector: component i is rebuilt as codes[i] * scale, with no offset.
 * Independent of the scalar quantiser (rk_quant.h). Pure functions on caller
 * memory, safe from any number of threads.
 */

/**
 * Quantises v to signed bytes.
 * @param v      dim floats
 * @param codes  dim bytes out
 * @param scale  out: (max - min) / 255 of v's own values, or 1.0 when that
 *               range is below 1e-6 (every code is then 0). Must not be null.
 * Each code is the nearest integer to v[i] / scale (halves away from zero),
 * saturated to [-128, 127]; a NaN element gives -128. NaN elements never
 * become the minimum or maximum. Nothing is written when v, codes or scale
 * is null or dim is 0.
 */
RK_API void rk_vec_quantize_int8(const float *v, uint32_t dim, int8_t *codes, float *scale);

/** out[i] = (float)codes[i] * scale; nothing when codes or out is null. */
RK_API void rk_vec_dequantize_int8(const int8_t *codes, uint32_t dim, float scale, float *out);

/**
 * Exact integer dot product sum of a[i] * b[i], accumulated with 32-bit
 * wrap-around (no wrap is possible below dim 131072). 0 when a or b is null
 * or dim is 0.
 */
RK_API int32_t rk_vec_dot_int8(const int8_t *a, const int8_t *b, uint32_t dim);

RK_EXTERN_C_END

#endif /* RK_VECTOR_H */
