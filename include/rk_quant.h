/* SPDX-License-Identifier: Apache-2.0 */
/*
 * rk_quant.h - scalar and product quantisers and their size estimates
 *
 * Threading: a quantiser has no lock. Encoding, decoding and distances only
 * read it and may run on any number of threads at once; training writes it
 * and must not overlap any other use of the same quantiser. Product
 * quantiser training draws from the process-wide random generator
 * (rk_rand), which is not synchronised: concurrent draws from other threads
 * change which rows are picked. Both quantisers live in the arena they were
 * created in; their destroy functions release nothing.
 */
#ifndef RK_QUANT_H
#define RK_QUANT_H

#include "rk_common.h"
#include "rk_memory.h"

RK_EXTERN_C_BEGIN

/* ---- scalar quantiser ---- */

/**
 * Scalar quantiser: one unsigned byte per component, with a linear range of
 * its own for every dimension. Component i encodes as
 * trunc(clamp((x[i] - min[i]) * scale[i], 0, 255) + 0.5) and decodes as
 * code[i] / scale[i] + min[i].
 *
 * The object and its arrays live in the arena given to
 * rk_sq_quantizer_create. Before the first training the arrays hold min = max
 * = 0 and scale = 1 in every dimension.
 */
typedef struct rk_sq_quantizer_t {
    float *min;         /**< per-dimension minimum seen in training */
    float *max;         /**< per-dimension maximum seen in training */
    float *scale;       /**< codes per unit: 255 / (max - min), or 1.0 for a range <= 1e-6 */
    uint32_t dim;       /**< vector dimension */
    rk_arena_t *arena;  /**< the arena holding the object and its arrays */
} rk_sq_quantizer_t;

/**
 * Creates a scalar quantiser in an arena.
 * @param arena  required; holds the object and its three arrays for good
 * @param dim    vector dimension, at least 1
 * @return the quantiser, or null when arena is null, dim is 0 or an
 *         allocation fails (pieces already taken stay in the arena).
 */
RK_API rk_sq_quantizer_t *rk_sq_quantizer_create(rk_arena_t *arena, uint32_t dim);

/** Does nothing: the arena owns the memory. */
RK_API void rk_sq_quantizer_destroy(rk_sq_quantizer_t *sq);

/**
 * Learns the per-dimension ranges from count rows of dim floats (row r starts
 * at data + r * dim), replacing whatever the quantiser held. A NaN never
 * replaces a bound, except that a NaN in the first row stays.
 * @return RK_OK; RK_ERR_INVALID_ARG (-2) when sq or data is null, count is 0
 *         or count * dim floats exceed the address space (nothing changes).
 */
RK_API rk_status_t rk_sq_quantizer_train(rk_sq_quantizer_t *sq, const float *data, uint64_t count);

/**
 * Encodes one vector of dim floats into dim code bytes. Values outside the
 * trained range clamp to 0 or 255; a NaN gives 0.
 * @return RK_OK; RK_ERR_INVALID_ARG on any null argument (code untouched).
 */
RK_API rk_status_t rk_sq_quantize(const rk_sq_quantizer_t *sq, const float *vector, uint8_t *code);

/**
 * Encodes count rows: row r reads dim floats from data + r * dim and writes
 * dim bytes from codes + r * dim.
 * @return RK_OK; RK_ERR_INVALID_ARG on any null argument, count 0 or a block
 *         larger than the address space (nothing written).
 */
RK_API rk_status_t rk_sq_quantize_batch(const rk_sq_quantizer_t *sq, const float *data,
                                        uint8_t *codes, uint64_t count);

/**
 * Decodes dim code bytes into dim floats: code[i] / scale[i] + min[i].
 * @return RK_OK; RK_ERR_INVALID_ARG on any null argument (vector untouched).
 */
RK_API rk_status_t rk_sq_dequantize(const rk_sq_quantizer_t *sq, const uint8_t *code,
                                    float *vector);

/**
 * Decodes count codes of dim bytes into count rows of dim floats.
 * @return RK_OK; RK_ERR_INVALID_ARG on any null argument, count 0 or a block
 *         larger than the address space (nothing written).
 */
RK_API rk_status_t rk_sq_dequantize_batch(const rk_sq_quantizer_t *sq, const uint8_t *codes,
                                          float *vectors, uint64_t count);

/**
 * Distance between a code (decoded component by component) and a float query,
 * under a metric (an rk_metric_t value). RK_METRIC_L2: the Euclidean distance with the square root (rk_math_sqrt_f32);
 * RK_METRIC_IP: minus the dot product; RK_METRIC_COSINE: 1 - cosine
 * similarity, or 1.0 when either squared norm is exactly 0.
 * @return the distance; FLT_MAX for a null pointer or any other metric value.
 */
RK_API float rk_sq_distance(const rk_sq_quantizer_t *sq, const uint8_t *code, const float *query,
                            int metric);

/**
 * Bytes needed to store count vectors of dim components under a quantisation
 * kind: 0 (none) dim * count * 4; 1 and 2 (scalar) dim * count; 4 (product)
 * count * 8; any other kind 0. A size beyond 64 bits gives UINT64_MAX.
 */
RK_API uint64_t rk_quant_calculate_size(int kind, uint32_t dim, uint64_t count);

/**
 * A one-line description of what a quantisation kind costs, for n float
 * components (4 bytes each uncompressed) and, for kind 4, pq_bytes of codes:
 * "No quantization: %.2f MB", "SQ quantization: %.2f MB (4x compression)",
 * "PQ quantization: %.2f MB (%.1fx compression)" or "Unknown quantization".
 * @return a NUL-terminated text of at most 127 characters in a per-thread
 *         buffer owned by the library, valid until the calling thread's next
 *         call. Safe from any number of threads.
 */
RK_API const char *rk_quant_get_info(int kind, uint32_t n, uint32_t pq_bytes);

/* ---- product quantiser ---- */

/**
 * Product quantiser: a vector of dim floats is split into m sub-vectors of
 * dsub = dim / m floats; sub-vector i (components i * dsub .. i * dsub +
 * dsub - 1) is stored as the number of a centroid of codebook i, one byte per
 * sub-vector, so a code is m bytes.
 *
 * Codebook i holds ksub centroids of dsub floats, centroid j at float index
 * j * dsub. Everything lives in the arena given to rk_pq_create.
 */
typedef struct rk_pq_t {
    uint32_t dim;       /**< full vector dimension */
    uint32_t m;         /**< number of sub-quantisers */
    uint32_t nbits;     /**< bits per code, as passed to rk_pq_create (at most 8) */
    uint32_t ksub;      /**< centroids per codebook: 1 << nbits */
    float **codebooks;  /**< m codebooks of ksub * dsub floats */
    uint32_t dsub;      /**< sub-vector dimension, dim / m */
    rk_arena_t *arena;  /**< the arena holding the object and its codebooks */
} rk_pq_t;

/**
 * Creates a product quantiser with every centroid 0.0.
 * @param arena  required; holds the object and its codebooks for good
 * @param dim    vector dimension, a non-zero multiple of m
 * @param m      number of sub-quantisers, at least 1
 * @param nbits  bits per code, 0 to 8 (ksub = 1 << nbits centroids)
 * @param out    receives the quantiser
 * @return RK_OK; RK_ERR_INVALID_ARG (-2) when arena or out is null, dim or m
 *         is 0, dim is not a multiple of m or nbits is above 8;
 *         RK_ERR_NO_MEMORY (-3) when an allocation fails or the codebooks
 *         would exceed the address space. *out is unchanged on failure, and
 *         pieces already taken stay in the arena.
 */
RK_API rk_status_t rk_pq_create(rk_arena_t *arena, uint32_t dim, uint32_t m, uint32_t nbits,
                                rk_pq_t **out);

/** Does nothing: the arena owns the memory. */
RK_API void rk_pq_destroy(rk_pq_t *pq);

/**
 * Fills every codebook with training sub-vectors picked at random with
 * replacement: for sub-quantiser i = 0 .. m - 1, then centroid j = 0 ..
 * ksub - 1, one rk_rand() draw k picks row (uint32_t)(k % count). With
 * rk_srand set to the same seed, the same data gives the same codebooks bit
 * for bit. No further arena memory is taken.
 * @param data   count rows of dim floats, row r at data + r * dim
 * @return RK_OK; RK_ERR_INVALID_ARG when pq or data is null or count is 0;
 *         RK_ERR_NO_MEMORY when count * dim floats exceed the address space.
 *         Nothing changes on failure.
 */
RK_API rk_status_t rk_pq_train(rk_pq_t *pq, const float *data, uint64_t count);

/**
 * Encodes one vector: code[i] is the centroid of codebook i at the smallest
 * squared L2 distance from sub-vector i (the lower number on ties; 0 when no
 * distance is below FLT_MAX). Does nothing when any pointer is null.
 */
RK_API void rk_pq_encode(const rk_pq_t *pq, const float *vector, uint8_t *code);

/**
 * Encodes count rows: row r reads dim floats from data + r * dim and writes
 * m bytes from codes + r * m. Does nothing when any pointer is null or the
 * block exceeds the address space.
 */
RK_API void rk_pq_encode_batch(const rk_pq_t *pq, const float *data, uint8_t *codes,
                               uint64_t count);

/**
 * Distance between a query and the vector a code rebuilds from its centroids,
 * under a metric (an rk_metric_t value). RK_METRIC_L2: rk_math_sqrt_f32 of the squared L2 distance S, where S sums
 * the per-sub-space squared distances in sub-space order; RK_METRIC_IP: minus
 * the dot product; RK_METRIC_COSINE: 1 - cosine similarity, or 1.0 when
 * either squared norm is exactly 0; any other value: S itself.
 * @return the distance; FLT_MAX when pq, query or code is null, or when a
 *         code byte names no centroid (ksub below 256).
 */
RK_API float rk_pq_distance(const rk_pq_t *pq, const float *query, const uint8_t *code,
                            int metric);

/**
 * out[r] = rk_pq_distance(pq, query, codes + r * m, metric) for r = 0 ..
 * count - 1, bit for bit. Does nothing when any pointer is null, count is 0
 * or the block exceeds the address space. Allocates a scratch table through
 * the allocator hooks for long batches (falling back to the direct path when
 * it cannot be had) and frees it before returning.
 */
RK_API void rk_pq_distance_batch(const rk_pq_t *pq, const float *query, const uint8_t *codes,
                                 float *out, uint64_t count, int metric);

RK_EXTERN_C_END

#endif /* RK_QUANT_H */
