// SPDX-License-Identifier: Apache-2.0
// Pieces the IVF sources share among themselves: slots in the chunked lists
// and the quantiser glue.
#ifndef RK_INDEX_IVF_INTERNAL_H
#define RK_INDEX_IVF_INTERNAL_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "index/ivf.h"

namespace rk {

// Where one entry lives: its id, payload and (cosine float lists) norm.
struct Slot {
    uint64_t *id = nullptr;
    unsigned char *payload = nullptr;
    float *norm = nullptr;
};

// Whether float entries carry their stored norm (cosine ranking).
bool wants_norms(const rk_ivf_t *ivf);
// The slot at position pos of a list (pos < capacity).
Slot slot_at(const rk_ivf_t *ivf, const IvfList *l, uint64_t pos);
// The slot for the next entry of a list, growing it when full. The caller
// holds the list's write lock (or owns the index outright).
Slot reserve_slot(rk_ivf_t *ivf, IvfList *l, rk_status_t *status);
// Norm stored beside a float entry: the same square root the cosine kernel
// takes of the entry's sum of squares.
float stored_norm(const rk_ivf_t *ivf, const float *v);
// ntotal += delta, atomically (searches read it without the mutex).
void count_added(rk_ivf_t *ivf, int64_t delta);
// Publishes a list's entry count to lock-free readers.
inline void set_count(IvfList *l, uint64_t n) {
    std::atomic_ref<uint64_t>(l->count).store(n, std::memory_order_release);
}

// Cosine distance from a dot product and the two norms, as the float kernels
// define it: 1.0 when either norm counts as zero, else 1 - dot / (nb * na).
inline float cosine_from(float dot, float na, float nb) {
    return (na < kZeroNorm || nb < kZeroNorm) ? 1.0f : 1.0f - dot / (nb * na);
}

// ---- quantiser glue (ivf_quant.cpp) ----

// Code length of a product quantiser (its sub-quantiser count).
uint32_t pq_code_bytes(const rk_pq_t *pq);
// Trains the quantiser the index type calls for on the training rows.
rk_status_t train_quantiser(rk_ivf_t *ivf, const float *data, uint64_t count);
// Writes the code of one row into dst (payload_bytes bytes).
rk_status_t encode_row(const rk_ivf_t *ivf, const float *row, unsigned char *dst);

// Per-query state for scoring code entries.
struct CodeQuery {
    const float *q = nullptr;
    float qnorm = 0.0f;         // library norm of the query
    float *pq_table = nullptr;  // PQ partial sums (metrics that go through them)
    float *decoded = nullptr;   // kScanBlock * dim floats for SQ entries
};

// Scratch floats a query needs for the index's payload (0 for float lists).
size_t code_scratch_floats(const rk_ivf_t *ivf);
// Points the query's scratch into buf (code_scratch_floats floats) and
// builds what depends on the query alone.
void prepare_code_query(const rk_ivf_t *ivf, float *buf, CodeQuery *cq);
// Scores n consecutive code entries (codes, payload_bytes apart).
void score_pq(const rk_ivf_t *ivf, const CodeQuery &cq, const unsigned char *codes, size_t n, float *out);
void score_sq(const rk_ivf_t *ivf, const CodeQuery &cq, const unsigned char *codes, size_t n, float *out);

// Entries scored per kernel call during a scan.
constexpr size_t kScanBlock = 64;

}  // namespace rk

#endif
