// SPDX-License-Identifier: Apache-2.0
// Nearest-centroid search for batches of vectors.
//
// With the codebook of a sub-space transposed (component k of every
// centroid side by side), the distances from one sub-vector to all
// centroids are computed four centroids per register from contiguous loads:
// lane j adds centroid j's terms in component order from +0.0, exactly the
// one-centroid loop, so codes are the same as rk_pq_encode's.
#include <cstring>

#include "quant/common.h"
#include "quant/pq.h"

namespace {

// Four lanes is what every x86-64 processor has (SSE2).
constexpr uint32_t kLanes = 4;
using F4 = float __attribute__((vector_size(kLanes * sizeof(float))));
using I4 = int32_t __attribute__((vector_size(kLanes * sizeof(int32_t))));

inline F4 load(const float *p) {
    F4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline F4 step(F4 acc, float xk, const float *c) {
    const F4 d = xk - load(c);
    return acc + d * d;
}

// dist[j] for all ksub centroids of one sub-space (ksub a multiple of 4).
// Sixteen centroids per pass in four named registers, so the compiler keeps
// them in registers.
void distances(const float *x, const float *t, uint32_t dsub, uint32_t ksub, float *dist) {
    uint32_t j = 0;
    for (; j + 4 * kLanes <= ksub; j += 4 * kLanes) {
        F4 a0 = {}, a1 = {}, a2 = {}, a3 = {};
        for (uint32_t k = 0; k < dsub; ++k) {
            const float *row = t + size_t{k} * ksub + j;
            a0 = step(a0, x[k], row);
            a1 = step(a1, x[k], row + kLanes);
            a2 = step(a2, x[k], row + 2 * kLanes);
            a3 = step(a3, x[k], row + 3 * kLanes);
        }
        std::memcpy(dist + j, &a0, sizeof a0);
        std::memcpy(dist + j + kLanes, &a1, sizeof a1);
        std::memcpy(dist + j + 2 * kLanes, &a2, sizeof a2);
        std::memcpy(dist + j + 3 * kLanes, &a3, sizeof a3);
    }
    for (; j < ksub; j += kLanes) {
        F4 a0 = {};
        for (uint32_t k = 0; k < dsub; ++k) a0 = step(a0, x[k], t + size_t{k} * ksub + j);
        std::memcpy(dist + j, &a0, sizeof a0);
    }
}

// The first strictly smallest distance below FLT_MAX, or 0. Each lane keeps
// the first strict minimum of its own positions; the lowest position among
// equal lane minima is then the first one of the whole sequence.
uint32_t argmin(const float *dist, uint32_t ksub) {
    F4 best = rk::kNoDistance - F4{};
    I4 at = {};
    I4 pos = {0, 1, 2, 3};
    for (uint32_t j = 0; j < ksub; j += kLanes, pos += int32_t{kLanes}) {
        const F4 v = load(dist + j);
        const I4 better = v < best;
        best = better ? v : best;
        at = better ? pos : at;
    }
    float b = rk::kNoDistance;
    int32_t idx = 0;
    for (uint32_t l = 0; l < kLanes; ++l) {
        if (best[l] < b || (best[l] == b && b != rk::kNoDistance && at[l] < idx)) {
            b = best[l];
            idx = at[l];
        }
    }
    return static_cast<uint32_t>(idx);
}

}  // namespace

namespace rk {

bool pq_transposed_encoding(const rk_pq_t *pq) { return pq->ksub >= kLanes && pq->ksub <= 256; }

void pq_transpose(const rk_pq_t *pq, float *t) {
    const uint32_t dsub = pq->dsub, ksub = pq->ksub;
    for (uint32_t i = 0; i < pq->m; ++i) {
        const float *book = pq->codebooks[i];
        float *ti = t + size_t{i} * dsub * ksub;
        // Written in order, read with a stride: the cheaper way round.
        for (uint32_t k = 0; k < dsub; ++k) {
            float *tk = ti + size_t{k} * ksub;
            for (uint32_t j = 0; j < ksub; ++j) tk[j] = book[size_t{j} * dsub + k];
        }
    }
}

void pq_encode_transposed(const rk_pq_t *pq, const float *t, const float *x, uint8_t *code) {
    float dist[256];
    const uint32_t dsub = pq->dsub, ksub = pq->ksub;
    for (uint32_t i = 0; i < pq->m; ++i) {
        distances(x + size_t{i} * dsub, t + size_t{i} * dsub * ksub, dsub, ksub, dist);
        code[i] = static_cast<uint8_t>(argmin(dist, ksub));
    }
}

}  // namespace rk
