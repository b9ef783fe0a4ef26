// SPDX-License-Identifier: Apache-2.0
// Many by-name searches at once: the collection's batch search, with its
// results narrowed to (id, distance) pairs.
#include "core/alloc.h"
#include "core/status.h"
#include "db/db.h"

extern "C" {

RK_API rk_status_t rk_vecdb_search_batch(rk_vecdb_t *db, const rk_string_t *name, const float *queries,
                                         uint32_t dimension, uint64_t nq, const rk_search_params_t *params,
                                         uint32_t threads, rk_vecdb_result_t *results, uint64_t *out_counts) {
    if (out_counts)
        for (uint64_t i = 0; i < nq; ++i) out_counts[i] = 0;
    if (!rk::db_usable(db) || !name || !name->data || !queries || !results || !out_counts)
        return RK_ERR_INVALID_ARG;
    rk_search_params_t p{};
    p.k = 10;
    if (params) {
        p.k = params->k;
        p.filter = params->filter;
    }
    size_t slots;
    if (!rk::mul_size(size_t(nq), size_t(p.k), &slots) || uint64_t(size_t(nq)) != nq ||
        uint64_t(size_t(p.k)) != p.k)
        return RK_ERR_INVALID_ARG;
    rk::DbPinned pin;
    RK_TRY(rk::db_acquire(db, name, nullptr, &pin));
    rk_status_t st = RK_OK;
    if (pin.dimension != dimension) {
        st = RK_ERR_DIMENSION;
    } else if (nq != 0 && p.k != 0) {
        rk::HookPtr<rk_search_result_t> full = rk::hook_unique_array<rk_search_result_t>(slots);
        if (!full) {
            st = RK_ERR_NO_MEMORY;
        } else {
            st = rk_collection_search_batch(pin.collection, queries, nq, &p, 0, threads, full.get(), out_counts);
            // Slots past a query's count stay untouched, as rk_vecdb_search leaves them.
            for (uint64_t q = 0; q < nq; ++q) {
                const size_t base = size_t(q) * size_t(p.k);
                for (uint64_t i = 0; i < out_counts[q]; ++i) {
                    results[base + i].id = full.get()[base + i].id;
                    results[base + i].distance = full.get()[base + i].distance;
                }
            }
        }
    }
    rk::db_release(&pin);
    return st;
}

}  // extern "C"
