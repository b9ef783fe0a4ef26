// SPDX-License-Identifier: Apache-2.0
// The HNSW family (types 2, 4, 6) as the index object sees it.
#include "core/alloc.h"
#include "core/status.h"
#include "index/hnsw.h"
#include "index/index.h"
#include "index/index_file.h"
#include "rk_quant.h"

namespace rk {
namespace {

bool hnsw_make(rk_index_t *ix, const rk_index_config_t *cfg) {
    rk_hnsw_t *h = rk_hnsw_create(ix->arena, cfg->dimension, &cfg->params.hnsw);
    if (!h) return false;
    if (hnsw_set_metric(h, cfg->metric) != RK_OK) {
        rk_hnsw_destroy(h);
        return false;
    }
    h->type = cfg->type;
    h->quantization = cfg->quantization;
    if (cfg->type == RK_INDEX_HNSW_PQ) {
        // Kept and saved with the graph; nodes always hold float vectors.
        rk_pq_t *pq = nullptr;
        if (rk_pq_create(ix->arena, cfg->dimension, cfg->pq_m, cfg->pq_nbits, &pq) == RK_OK) h->pq = pq;
    } else if (cfg->type == RK_INDEX_HNSW_SQ || cfg->quantization == 1 || cfg->quantization == 2) {
        h->sq = rk_sq_quantizer_create(ix->arena, cfg->dimension);
    }
    ix->impl.hnsw = h;
    return true;
}

void hnsw_destroy(rk_index_t *ix) { rk_hnsw_destroy(ix->impl.hnsw); }

rk_status_t hnsw_train(rk_index_t *, const float *, uint64_t) { return RK_OK; }

uint32_t hnsw_is_trained(const rk_index_t *) { return 1; }

rk_status_t hnsw_add(rk_index_t *ix, const uint64_t *ids, const float *vectors, uint64_t n) {
    return hnsw_add_batch(ix->impl.hnsw, ids, vectors, static_cast<size_t>(n));
}

// The graph hands out (id, distance) pairs; the caller's slots are 48 bytes.
uint64_t hnsw_search_hits(rk_index_t *ix, const float *query, uint64_t k, uint32_t effort,
                          rk_index_result_t *results) {
    // There are never more hits than slots in the table.
    const uint64_t slots = ix->impl.hnsw->capacity;
    if (k > slots) k = slots;
    HookPtr<HeapItem> hits = hook_unique_array<HeapItem>(k);
    if (!hits) return 0;
    const uint64_t n = hnsw_search_ex(ix->impl.hnsw, query, static_cast<size_t>(k), effort, hits.get());
    for (uint64_t i = 0; i < n; ++i) {
        results[i].id = hits.get()[i].id;
        results[i].distance = hits.get()[i].distance;
    }
    return n;
}

uint64_t hnsw_search_hits_filtered(rk_index_t *ix, const float *query, uint64_t k, uint32_t effort,
                                   const IdFilter &filter, rk_index_result_t *results) {
    const uint64_t slots = ix->impl.hnsw->capacity;
    if (k > slots) k = slots;
    HookPtr<HeapItem> hits = hook_unique_array<HeapItem>(k);
    if (!hits) return 0;
    const uint64_t n =
        hnsw_search_filtered(ix->impl.hnsw, query, static_cast<size_t>(k), effort, filter, hits.get());
    for (uint64_t i = 0; i < n; ++i) {
        results[i].id = hits.get()[i].id;
        results[i].distance = hits.get()[i].distance;
    }
    return n;
}

rk_status_t hnsw_remove_id(rk_index_t *ix, uint64_t id) { return hnsw_remove(ix->impl.hnsw, id); }

uint32_t hnsw_get_effort(const rk_index_t *ix) { return hnsw_ef_search(ix->impl.hnsw); }
void hnsw_set_effort(rk_index_t *ix, uint32_t ef) { hnsw_set_ef_search(ix->impl.hnsw, ef); }

uint32_t hnsw_dim(const rk_index_t *ix) { return ix->impl.hnsw->dim; }

uint64_t hnsw_ntotal(const rk_index_t *ix) {
    rk_hnsw_t *h = ix->impl.hnsw;
    rk_rwlock_rdlock(h->lock);
    const uint64_t n = h->ntotal;
    rk_rwlock_rdunlock(h->lock);
    return n;
}

// 168 + 8 per slot + (4 * dim + 64) per occupied slot among the first ntotal
// (never beyond the table, which re-inserted ids can leave smaller than ntotal).
uint64_t hnsw_memory(const rk_index_t *ix) {
    rk_hnsw_t *h = ix->impl.hnsw;
    rk_rwlock_rdlock(h->lock);
    const uint64_t occupied = hnsw_count_occupied(h, 0, h->ntotal);
    const uint64_t bytes = 168 + 8 * h->capacity + (4 * static_cast<uint64_t>(h->dim) + 64) * occupied;
    rk_rwlock_rdunlock(h->lock);
    return bytes;
}

void hnsw_fill_stats(const rk_index_t *ix, rk_index_stats_t *stats) {
    stats->max_level = rk_hnsw_get_max_level(ix->impl.hnsw);
}

}  // namespace

const FamilyOps kHnswOps = {
    .make = hnsw_make,
    .destroy = hnsw_destroy,
    .train = hnsw_train,
    .is_trained = hnsw_is_trained,
    .add = hnsw_add,
    .search = hnsw_search_hits,
    .search_batch = nullptr,
    .search_filtered = hnsw_search_hits_filtered,
    .get_effort = hnsw_get_effort,
    .set_effort = hnsw_set_effort,
    .remove = hnsw_remove_id,
    .dim = hnsw_dim,
    .ntotal = hnsw_ntotal,
    .memory_usage = hnsw_memory,
    .fill_stats = hnsw_fill_stats,
    .save = save_hnsw,
    .load = load_hnsw,
};

}  // namespace rk
