// SPDX-License-Identifier: Apache-2.0
// Insert, batch insert and search addressed by collection name.
#include "core/alloc.h"
#include "core/status.h"
#include "db/db.h"

namespace rk {
namespace {

// The configuration a by-name insert creates a missing collection with.
rk_collection_config_t implicit_config(const rk_string_t *name, uint32_t dimension) {
    rk_collection_config_t c{};
    c.name = *name;
    c.dimension = dimension;
    c.metric = RK_METRIC_L2;
    c.index_type = RK_INDEX_HNSW;
    c.auto_resize = 1;
    return c;
}

bool args_ok(const rk_vecdb_t *db, const rk_string_t *name, const void *data) {
    return db_usable(db) && name != nullptr && name->data != nullptr && data != nullptr;
}

// Finds or creates the collection and checks that it holds vectors of the
// caller's dimension: the collection reads its own dimension of floats from
// the caller's buffer, so a mismatch would read past a shorter one.
rk_status_t pin_for_insert(rk_vecdb_t *db, const rk_string_t *name, uint32_t dimension, DbPinned *out) {
    const rk_collection_config_t config = implicit_config(name, dimension);
    RK_TRY(db_acquire(db, name, &config, out));
    if (out->dimension != dimension) {
        db_release(out);
        return RK_ERR_DIMENSION;
    }
    return RK_OK;
}

uint64_t search_pinned(const DbPinned &p, const float *query, uint64_t k, rk_vecdb_result_t *results) {
    HookPtr<rk_search_result_t> scratch = hook_unique_array<rk_search_result_t>(static_cast<size_t>(k));
    if (!scratch) return 0;
    rk_search_params_t params{};
    params.k = k;
    uint64_t n = rk_collection_search(p.collection, query, &params, scratch.get());
    if (n > k) n = k;
    for (uint64_t i = 0; i < n; ++i) {
        results[i].id = scratch.get()[i].id;
        results[i].distance = scratch.get()[i].distance;
    }
    return n;
}

}  // namespace
}  // namespace rk

extern "C" {

RK_API rk_status_t rk_vecdb_insert(rk_vecdb_t *db, const rk_string_t *name, const float *vector,
                                   uint32_t dimension, uint64_t *out_id) {
    if (!rk::args_ok(db, name, vector)) return RK_ERR_INVALID_ARG;
    rk::DbPinned p;
    RK_TRY(rk::pin_for_insert(db, name, dimension, &p));
    const rk_status_t st = rk_collection_insert(p.collection, vector, out_id);
    rk::db_release(&p);
    return st;
}

RK_API rk_status_t rk_vecdb_insert_batch(rk_vecdb_t *db, const rk_string_t *name, const float *vectors,
                                         uint32_t dimension, uint64_t count, uint64_t *out_ids) {
    if (!rk::args_ok(db, name, vectors)) return RK_ERR_INVALID_ARG;
    size_t floats;
    if (!rk::mul_size(static_cast<size_t>(count), dimension, &floats)) return RK_ERR_INVALID_ARG;
    rk::DbPinned p;
    RK_TRY(rk::pin_for_insert(db, name, dimension, &p));
    rk_status_t st = RK_OK;
    for (uint64_t i = 0; i < count && st == RK_OK; ++i) {
        const float *row = vectors + static_cast<size_t>(i) * dimension;
        st = rk_collection_insert(p.collection, row, out_ids != nullptr ? &out_ids[i] : nullptr);
    }
    rk::db_release(&p);
    return st;
}

RK_API uint64_t rk_vecdb_search(rk_vecdb_t *db, const rk_string_t *name, const float *query,
                                uint32_t dimension, uint64_t k, rk_vecdb_result_t *results) {
    if (!rk::args_ok(db, name, query) || results == nullptr || k == 0) return 0;
    rk::DbPinned p;
    if (rk::db_acquire(db, name, nullptr, &p) != RK_OK) return 0;
    const uint64_t n = p.dimension == dimension ? rk::search_pinned(p, query, k, results) : 0;
    rk::db_release(&p);
    return n;
}

}  // extern "C"
