// SPDX-License-Identifier: Apache-2.0
// Internal entry points of the product quantiser for the indexes.
//
// The squared-L2 part of rk_pq_distance is a sum of one partial sum per
// sub-space, each depending only on the query and one centroid. A table of
// those partial sums, built once per query, therefore gives every code's
// squared distance bit for bit with m lookups instead of dim operations.
#ifndef RK_QUANT_PQ_H
#define RK_QUANT_PQ_H

#include <cstddef>
#include <cstdint>

#include "rk_quant.h"
#include "rk_vector.h"

namespace rk {

// Floats in one query table: m * ksub (cannot overflow for a quantiser made
// by rk_pq_create).
inline size_t pq_table_floats(const rk_pq_t *pq) { return size_t{pq->m} * pq->ksub; }

// table[i * ksub + j] = squared L2 distance between sub-vector i of query and
// centroid j of codebook i, summed in component order from +0.0.
void pq_build_l2_table(const rk_pq_t *pq, const float *query, float *table);

// The squared distance S of rk_pq_distance for one code, from a table built
// for the same query: partial sums added in sub-space order from +0.0.
// FLT_MAX when a code byte names no centroid.
float pq_table_l2sq(const rk_pq_t *pq, const float *table, const uint8_t *code);

// rk_pq_distance's last step for the metrics that go through S (any value
// but RK_METRIC_IP and RK_METRIC_COSINE): the library square root for
// RK_METRIC_L2, S itself otherwise. With a table this gives rk_pq_distance
// bit for bit for those metrics.
inline bool pq_metric_uses_l2sq(int metric) { return metric != RK_METRIC_IP && metric != RK_METRIC_COSINE; }
inline float pq_distance_from_l2sq(float s, int metric) {
    return metric == RK_METRIC_L2 ? rk_math_sqrt_f32(s) : s;
}

// S computed directly, without a table; FLT_MAX when a byte names no centroid.
float pq_l2sq(const rk_pq_t *pq, const float *query, const uint8_t *code);

// The vector a code stands for: its centroids one after another (dim floats).
// Bytes that name no centroid give zeros for their sub-space.
void pq_reconstruct(const rk_pq_t *pq, const uint8_t *code, float *out);

// Batch encoding through transposed codebooks (pq_encode.cpp): usable when
// ksub is 8 to 256. pq_transpose writes m * dsub * ksub floats (component k
// of centroid j of sub-space i at (i * dsub + k) * ksub + j);
// pq_encode_transposed then gives rk_pq_encode's code for x bit for bit.
bool pq_transposed_encoding(const rk_pq_t *pq);
void pq_transpose(const rk_pq_t *pq, float *t);
void pq_encode_transposed(const rk_pq_t *pq, const float *t, const float *x, uint8_t *code);

}  // namespace rk

#endif
