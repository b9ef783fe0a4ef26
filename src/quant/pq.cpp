// SPDX-License-Identifier: Apache-2.0
// Product quantiser: m sub-spaces, each coded as the number of one of ksub
// centroids. Codebooks are filled with training sub-vectors picked by the
// process-wide generator, so a seed fixes every codebook bit for bit.
#include "quant/pq.h"

#include <cstring>

#include "core/alloc.h"
#include "platform/random.h"
#include "quant/common.h"
#include "rk_error.h"
#include "rk_vector.h"
#include "vector/kernels.h"

namespace {

// Codes hold one byte per sub-space.
constexpr uint32_t kMaxBits = 8;
constexpr uint32_t kMaxCentroids = 1u << kMaxBits;

// Rows of dim floats: false when count rows cannot exist in memory.
bool rows_fit(uint64_t count, size_t row, size_t elem) {
    size_t n, bytes;
    return count <= SIZE_MAX && rk::mul_size(static_cast<size_t>(count), row, &n) &&
           rk::mul_size(n, elem, &bytes);
}

// The centroid a code byte names in sub-space i, or null when it names none.
inline const float *centroid(const rk_pq_t *pq, uint32_t i, uint8_t c) {
    return c < pq->ksub ? pq->codebooks[i] + size_t{c} * pq->dsub : nullptr;
}

void encode_row(const rk_pq_t *pq, const float *x, uint8_t *code) {
    float dist[kMaxCentroids];
    const uint32_t dsub = pq->dsub;
    for (uint32_t i = 0; i < pq->m; ++i) {
        rk::kern::l2sq_block(x + size_t{i} * dsub, pq->codebooks[i], pq->ksub, dsub, dsub, dist);
        // Strictly smaller wins: ties keep the lower number, and when no
        // distance is below FLT_MAX (NaN, infinities) the code is 0.
        float best = rk::kNoDistance;
        uint32_t best_j = 0;
        for (uint32_t j = 0; j < pq->ksub; ++j) {
            if (dist[j] < best) {
                best = dist[j];
                best_j = j;
            }
        }
        code[i] = static_cast<uint8_t>(best_j);
    }
}

float distance_ip(const rk_pq_t *pq, const float *q, const uint8_t *code) {
    // One running sum across all sub-spaces, not one per sub-space.
    float dot = 0.0f;
    for (uint32_t i = 0; i < pq->m; ++i) {
        const float *c = centroid(pq, i, code[i]);
        if (!c) return rk::kNoDistance;
        const float *qi = q + size_t{i} * pq->dsub;
        for (uint32_t k = 0; k < pq->dsub; ++k) dot += qi[k] * c[k];
    }
    return -dot;
}

float distance_cosine(const rk_pq_t *pq, const float *q, const uint8_t *code) {
    float dot = 0.0f, sq = 0.0f, sc = 0.0f;
    for (uint32_t i = 0; i < pq->m; ++i) {
        const float *c = centroid(pq, i, code[i]);
        if (!c) return rk::kNoDistance;
        const float *qi = q + size_t{i} * pq->dsub;
        for (uint32_t k = 0; k < pq->dsub; ++k) {
            dot += qi[k] * c[k];
            sq += qi[k] * qi[k];
            sc += c[k] * c[k];
        }
    }
    if (sq == 0.0f || sc == 0.0f) return 1.0f;
    return 1.0f - dot / (rk_math_sqrt_f32(sc) * rk_math_sqrt_f32(sq));
}

// Every byte names a centroid; always so with 8-bit codes.
inline bool code_valid(const rk_pq_t *pq, const uint8_t *code) {
    if (pq->ksub >= kMaxCentroids) return true;
    for (uint32_t i = 0; i < pq->m; ++i) {
        if (code[i] >= pq->ksub) return false;
    }
    return true;
}

float distance(const rk_pq_t *pq, const float *q, const uint8_t *code, int metric) {
    if (!code_valid(pq, code)) return rk::kNoDistance;
    if (metric == RK_METRIC_IP) return distance_ip(pq, q, code);
    if (metric == RK_METRIC_COSINE) return distance_cosine(pq, q, code);
    return rk::pq_distance_from_l2sq(rk::pq_l2sq(pq, q, code), metric);
}

// Batches long enough to repay building the per-query table (ksub * dim
// operations) use it; its results are the same bits as the direct path.
bool table_batch(const rk_pq_t *pq, const float *q, const uint8_t *codes, float *out, size_t count,
                 int metric) {
    if (count * 4 < pq->ksub) return false;
    rk::HookPtr<float> table = rk::hook_unique_array<float>(rk::pq_table_floats(pq));
    if (!table) return false;
    rk::pq_build_l2_table(pq, q, table.get());
    for (size_t r = 0; r < count; ++r) {
        const uint8_t *code = codes + r * pq->m;
        out[r] = code_valid(pq, code)
                     ? rk::pq_distance_from_l2sq(rk::pq_table_l2sq(pq, table.get(), code), metric)
                     : rk::kNoDistance;
    }
    return true;
}

}  // namespace

namespace rk {

void pq_build_l2_table(const rk_pq_t *pq, const float *query, float *table) {
    for (uint32_t i = 0; i < pq->m; ++i) {
        kern::l2sq_block(query + size_t{i} * pq->dsub, pq->codebooks[i], pq->ksub, pq->dsub, pq->dsub,
                         table + size_t{i} * pq->ksub);
    }
}

float pq_table_l2sq(const rk_pq_t *pq, const float *table, const uint8_t *code) {
    float s = 0.0f;
    for (uint32_t i = 0; i < pq->m; ++i) {
        if (code[i] >= pq->ksub) return kNoDistance;
        s += table[size_t{i} * pq->ksub + code[i]];
    }
    return s;
}

float pq_l2sq(const rk_pq_t *pq, const float *query, const uint8_t *code) {
    // Each sub-space's partial sum is formed first, then added to the total.
    float s = 0.0f;
    for (uint32_t i = 0; i < pq->m; ++i) {
        const float *c = centroid(pq, i, code[i]);
        if (!c) return kNoDistance;
        s += kern::l2sq(query + size_t{i} * pq->dsub, c, pq->dsub);
    }
    return s;
}

void pq_reconstruct(const rk_pq_t *pq, const uint8_t *code, float *out) {
    const size_t bytes = size_t{pq->dsub} * sizeof(float);
    for (uint32_t i = 0; i < pq->m; ++i) {
        float *o = out + size_t{i} * pq->dsub;
        const float *c = centroid(pq, i, code[i]);
        if (c) {
            std::memcpy(o, c, bytes);
        } else {
            std::memset(o, 0, bytes);
        }
    }
}

}  // namespace rk

extern "C" {

RK_API rk_status_t rk_pq_create(rk_arena_t *arena, uint32_t dim, uint32_t m, uint32_t nbits, rk_pq_t **out) {
    if (!arena || !out || dim == 0 || m == 0 || dim % m != 0) return RK_ERR_INVALID_ARG;
    // Centroid numbers above 255 would not fit a code byte.
    if (nbits > kMaxBits) return RK_ERR_INVALID_ARG;
    auto *pq = static_cast<rk_pq_t *>(rk_arena_alloc(arena, sizeof(rk_pq_t)));
    if (!pq) return RK_ERR_NO_MEMORY;
    pq->dim = dim;
    pq->m = m;
    pq->nbits = nbits;
    pq->ksub = 1u << nbits;
    pq->dsub = dim / m;
    pq->arena = arena;
    pq->codebooks = rk::arena_array<float *>(arena, m);
    if (!pq->codebooks) return RK_ERR_NO_MEMORY;
    // All codebooks in one zeroed piece, codebook i right after i - 1:
    // m * ksub * dsub = ksub * dim floats, at most 2^40, so no overflow.
    const size_t per_book = size_t{pq->ksub} * pq->dsub;
    float *books = rk::arena_array<float>(arena, per_book * m);
    if (!books) return RK_ERR_NO_MEMORY;
    for (uint32_t i = 0; i < m; ++i) pq->codebooks[i] = books + per_book * i;
    *out = pq;
    return RK_OK;
}

RK_API void rk_pq_destroy(rk_pq_t *) {}

RK_API rk_status_t rk_pq_train(rk_pq_t *pq, const float *data, uint64_t count) {
    if (!pq || !data || count == 0) return RK_ERR_INVALID_ARG;
    if (!rows_fit(count, pq->dim, sizeof(float))) return RK_ERR_NO_MEMORY;
    // Centroids are copied straight from the picked rows: no staging copy of
    // the training set is needed, so repeated training takes no memory.
    const size_t dsub = pq->dsub, bytes = dsub * sizeof(float);
    for (uint32_t i = 0; i < pq->m; ++i) {
        const float *sub = data + i * dsub;
        for (uint32_t j = 0; j < pq->ksub; ++j) {
            // The remainder is truncated to 32 bits, as the sampling has
            // always done; the draw order (sub-space, then centroid) fixes
            // the codebooks for a seed.
            const uint32_t row = static_cast<uint32_t>(rk::draw() % count);
            std::memcpy(pq->codebooks[i] + j * dsub, sub + size_t{row} * pq->dim, bytes);
        }
    }
    return RK_OK;
}

RK_API void rk_pq_encode(const rk_pq_t *pq, const float *vector, uint8_t *code) {
    if (!pq || !vector || !code || pq->ksub > kMaxCentroids) return;
    encode_row(pq, vector, code);
}

RK_API void rk_pq_encode_batch(const rk_pq_t *pq, const float *data, uint8_t *codes, uint64_t count) {
    if (!pq || !data || !codes || pq->ksub > kMaxCentroids) return;
    if (!rows_fit(count, pq->dim, sizeof(float))) return;
    // Transposing the codebooks costs about one vector's encoding, so it
    // pays from a few rows on; without the scratch, rows go one by one.
    rk::HookPtr<float> t;
    if (count >= 4 && rk::pq_transposed_encoding(pq)) {
        t = rk::hook_unique_array<float>(size_t{pq->ksub} * pq->dim);
    }
    if (t) {
        rk::pq_transpose(pq, t.get());
        for (size_t r = 0; r < count; ++r) {
            rk::pq_encode_transposed(pq, t.get(), data + r * pq->dim, codes + r * pq->m);
        }
        return;
    }
    for (size_t r = 0; r < count; ++r) encode_row(pq, data + r * pq->dim, codes + r * pq->m);
}

RK_API float rk_pq_distance(const rk_pq_t *pq, const float *query, const uint8_t *code, int metric) {
    if (!pq || !query || !code) return rk::kNoDistance;
    return distance(pq, query, code, metric);
}

RK_API void rk_pq_distance_batch(const rk_pq_t *pq, const float *query, const uint8_t *codes, float *out,
                                 uint64_t count, int metric) {
    if (!pq || !query || !codes || !out || count == 0) return;
    if (!rows_fit(count, pq->m, sizeof(float))) return;
    if (rk::pq_metric_uses_l2sq(metric) && table_batch(pq, query, codes, out, count, metric)) return;
    for (size_t r = 0; r < count; ++r) out[r] = distance(pq, query, codes + r * pq->m, metric);
}

}  // extern "C"
