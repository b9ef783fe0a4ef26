// SPDX-License-Identifier: Apache-2.0
// Training, adding and removing entries of an IVF index.
#include <cstring>

#include "core/alloc.h"
#include "core/status.h"
#include "index/ivf.h"
#include "index/ivf_internal.h"
#include "index/kmeans.h"
#include "rk_error.h"

namespace rk {
namespace {

// Holds the writers' mutex for a scope.
class WriterLock {
public:
    explicit WriterLock(rk_mutex_t *m) : m_(m) { rk_mutex_lock(m_); }
    ~WriterLock() { rk_mutex_unlock(m_); }
    WriterLock(const WriterLock &) = delete;
    WriterLock &operator=(const WriterLock &) = delete;

private:
    rk_mutex_t *m_;
};

// Stores one row in list l under that list's write lock.
rk_status_t append_row(rk_ivf_t *ivf, IvfList *l, uint64_t id, const float *row) {
    rk_rwlock_wrlock(l->lock);
    rk_status_t st;
    const Slot s = reserve_slot(ivf, l, &st);
    if (st == RK_OK && ivf->payload != IvfPayload::kFloat) st = encode_row(ivf, row, s.payload);
    if (st == RK_OK) {
        *s.id = id;
        if (ivf->payload == IvfPayload::kFloat) std::memcpy(s.payload, row, ivf->payload_bytes);
        if (s.norm) *s.norm = stored_norm(ivf, row);
        set_count(l, l->count + 1);
    }
    rk_rwlock_wrunlock(l->lock);
    return st;
}

// Ids to remove, sorted so each entry is tested by bisection.
bool contains(const uint64_t *sorted, uint64_t n, uint64_t id) {
    uint64_t lo = 0, hi = n;
    while (lo < hi) {
        const uint64_t mid = lo + (hi - lo) / 2;
        if (sorted[mid] < id)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo < n && sorted[lo] == id;
}

void sort_ids(uint64_t *ids, uint64_t n) {
    // Heap sort: in place, no recursion, n log n for any input.
    auto sift = [ids](uint64_t i, uint64_t end) {
        for (;;) {
            uint64_t c = 2 * i + 1;
            if (c >= end) return;
            if (c + 1 < end && ids[c + 1] > ids[c]) ++c;
            if (ids[c] <= ids[i]) return;
            const uint64_t t = ids[c];
            ids[c] = ids[i];
            ids[i] = t;
            i = c;
        }
    };
    for (uint64_t i = n / 2; i-- > 0;) sift(i, n);
    for (uint64_t end = n; end > 1; --end) {
        const uint64_t t = ids[0];
        ids[0] = ids[end - 1];
        ids[end - 1] = t;
        sift(0, end - 1);
    }
}

// Compacts one list in place, dropping entries whose id is listed; the
// survivors keep their order. Returns how many went.
uint64_t compact_list(rk_ivf_t *ivf, IvfList *l, const uint64_t *sorted, uint64_t n) {
    uint64_t kept = 0;
    for (uint64_t i = 0; i < l->count; ++i) {
        const Slot from = slot_at(ivf, l, i);
        if (contains(sorted, n, *from.id)) continue;
        if (kept != i) {
            const Slot to = slot_at(ivf, l, kept);
            *to.id = *from.id;
            std::memcpy(to.payload, from.payload, ivf->payload_bytes);
            if (from.norm) *to.norm = *from.norm;
        }
        ++kept;
    }
    const uint64_t gone = l->count - kept;
    set_count(l, kept);
    return gone;
}

}  // namespace

rk_status_t ivf_train(rk_ivf_t *ivf, const float *data, uint64_t count) {
    RK_RETURN_IF(!ivf || !data || count == 0, RK_ERR_INVALID_ARG);
    // More lists than rows would leave lists without a distinct seed row.
    RK_RETURN_IF(count < ivf->nlist, RK_ERR_INVALID_ARG);
    size_t n;
    RK_RETURN_IF(!mul_size(ivf->nlist, ivf->dim, &n), RK_ERR_NO_MEMORY);
    HookPtr<float> centroids = hook_unique_array<float>(n);
    RK_RETURN_IF(!centroids, RK_ERR_NO_MEMORY);
    KmeansJob job;
    job.data = data;
    job.count = count;
    job.dim = ivf->dim;
    job.k = ivf->nlist;
    job.iterations = ivf->params.train_iterations;
    job.rule = ivf_rule(ivf);
    // The first spare word of the parameters picks the seeding; values this
    // version does not know are refused rather than guessed at.
    job.seeding = static_cast<Seeding>(ivf->params.reserved[0]);
    RK_RETURN_IF(ivf->params.reserved[0] > static_cast<uint32_t>(Seeding::kUniform), RK_ERR_INVALID_ARG);
    RK_TRY(kmeans_train(job, centroids.get()));
    RK_TRY(train_quantiser(ivf, data, count));
    std::memcpy(ivf->centroids, centroids.get(), sizeof(float) * n);
    ivf_set_trained(ivf, 1);
    return RK_OK;
}

rk_status_t ivf_add_batch(rk_ivf_t *ivf, const uint64_t *ids, const float *rows, uint64_t n) {
    RK_RETURN_IF(!ivf || !ids || !rows || n == 0, RK_ERR_INVALID_ARG);
    RK_RETURN_IF(!ivf->trained, RK_ERR_INDEX_NOT_READY);
    RK_RETURN_IF(!ivf->mutex, RK_ERR_UNKNOWN);
    // Lists are chosen a block of rows at a time, so the centroids are
    // scored against many rows per kernel call.
    constexpr uint64_t kRowsPerPass = 4096;
    HookPtr<uint32_t> list_of = hook_unique_array<uint32_t>(n < kRowsPerPass ? n : kRowsPerPass);
    RK_RETURN_IF(!list_of, RK_ERR_NO_MEMORY);
    const CentroidRule rule = ivf_rule(ivf);
    WriterLock hold(ivf->mutex);
    for (uint64_t i = 0; i < n; ++i) {
        const float *row = rows + i * ivf->dim;
        if (i % kRowsPerPass == 0) {
            const uint64_t m = n - i < kRowsPerPass ? n - i : kRowsPerPass;
            RK_TRY(nearest_centroids(rule, row, m, ivf->centroids, ivf->nlist, ivf->dim, list_of.get()));
        }
        IvfList *l = &ivf->lists[list_of.get()[i % kRowsPerPass]];
        RK_RETURN_IF(!l->lock, RK_ERR_UNKNOWN);
        RK_TRY(append_row(ivf, l, ids[i], row));
        // Counted row by row: after a failure ntotal still equals what the
        // lists hold.
        count_added(ivf, 1);
    }
    return RK_OK;
}

rk_status_t ivf_remove(rk_ivf_t *ivf, const uint64_t *ids, uint64_t n, uint64_t *removed) {
    if (removed) *removed = 0;
    RK_RETURN_IF(!ivf || (!ids && n != 0), RK_ERR_INVALID_ARG);
    if (n == 0) return RK_OK;
    HookPtr<uint64_t> sorted = hook_unique_array<uint64_t>(n);
    RK_RETURN_IF(!sorted, RK_ERR_NO_MEMORY);
    std::memcpy(sorted.get(), ids, sizeof(uint64_t) * n);
    sort_ids(sorted.get(), n);
    RK_RETURN_IF(!ivf->mutex, RK_ERR_UNKNOWN);
    WriterLock hold(ivf->mutex);
    uint64_t gone = 0;
    for (uint32_t i = 0; i < ivf->nlist; ++i) {
        IvfList *l = &ivf->lists[i];
        if (!l->lock || l->count == 0) continue;
        rk_rwlock_wrlock(l->lock);
        gone += compact_list(ivf, l, sorted.get(), n);
        rk_rwlock_wrunlock(l->lock);
    }
    count_added(ivf, -static_cast<int64_t>(gone));
    if (removed) *removed = gone;
    return RK_OK;
}

}  // namespace rk
