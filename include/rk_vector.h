/*
 * rk_vector.h - distance kernels, SIMD switches, vector arithmetic and statistics, int8 vectors, scalar maths
 *
 * Threading: every function here is pure: it reads only its arguments and
 * writes only its out-arrays, allocates nothing and keeps no pointer after it
 * returns, so any number of threads may call them at once (on distinct
 * output arrays). The one exception is the pair of process-wide SIMD flags,
 * which are plain 32-bit stores and loads with no ordering; no result
 * depends on them.
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



/* ---- int8 vectors ---- */

RK_EXTERN_C_END

#endif /* RK_VECTOR_H */
