// SPDX-License-Identifier: Apache-2.0
// The IVF family (types 1, 3, 5) as the index object sees it.
#include <atomic>

#include "core/alloc.h"
#include "core/status.h"
#include "index/index.h"
#include "index/index_file.h"
#include "index/ivf.h"
#include "rk_quant.h"

namespace rk {
namespace {

bool ivf_make(rk_index_t *ix, const rk_index_config_t *cfg) {
    rk_ivf_t *v = rk_ivf_create(ix->arena, cfg->dimension, &cfg->params.ivf);
    if (!v) return false;
    rk_pq_t *pq = nullptr;
    rk_sq_quantizer_t *sq = nullptr;
    if (cfg->type == RK_INDEX_IVF_PQ) {
        // A quantiser that cannot be made leaves type 3 storing float vectors.
        if (rk_pq_create(ix->arena, cfg->dimension, cfg->pq_m, cfg->pq_nbits, &pq) != RK_OK) pq = nullptr;
    } else if (cfg->type == RK_INDEX_IVF_SQ || cfg->quantization == 1 || cfg->quantization == 2) {
        sq = rk_sq_quantizer_create(ix->arena, cfg->dimension);
    }
    // The metric decides how training clusters, so it is set before anything else.
    if (ivf_set_metric(v, cfg->metric) != RK_OK ||
        ivf_bind(v, cfg->type, cfg->quantization, pq, sq) != RK_OK) {
        rk_ivf_destroy(v);
        return false;
    }
    ix->impl.ivf = v;
    return true;
}

void ivf_destroy_locks(rk_index_t *ix) { rk_ivf_destroy(ix->impl.ivf); }

rk_status_t ivf_train_lists(rk_index_t *ix, const float *data, uint64_t count) {
    return ivf_train(ix->impl.ivf, data, count);
}

uint32_t ivf_is_trained(const rk_index_t *ix) { return ix->impl.ivf->trained; }

rk_status_t ivf_add(rk_index_t *ix, const uint64_t *ids, const float *vectors, uint64_t n) {
    return ivf_add_batch(ix->impl.ivf, ids, vectors, n);
}

// The lists hand out (id, distance) pairs; the caller's slots are 48 bytes.
uint64_t ivf_search_hits(rk_index_t *ix, const float *query, uint64_t k, uint32_t effort,
                         rk_index_result_t *results) {
    // There are never more hits than stored entries.
    const uint64_t stored = ivf_ntotal(ix->impl.ivf);
    if (k > stored) k = stored;
    HookPtr<IvfHit> hits = hook_unique_array<IvfHit>(k);
    if (!hits) return 0;
    rk_ivf_t *ivf = ix->impl.ivf;
    const uint64_t n = ivf_search_probes(ivf, query, k, effort ? effort : ivf_nprobe(ivf), hits.get());
    for (uint64_t i = 0; i < n; ++i) {
        results[i].id = hits.get()[i].id;
        results[i].distance = hits.get()[i].distance;
    }
    return n;
}

void ivf_search_hits_batch(rk_index_t *ix, const float *queries, uint64_t nq, uint64_t k, uint32_t effort,
                           rk_index_result_t *results, uint64_t *counts) {
    rk_ivf_t *ivf = ix->impl.ivf;
    const uint64_t stored = ivf_ntotal(ivf);
    const uint64_t kk = k < stored ? k : stored;
    for (uint64_t i = 0; i < nq; ++i) counts[i] = 0;
    if (kk == 0) return;
    HookPtr<IvfHit> hits = hook_unique_array<IvfHit>(kIvfRankGroup * kk);
    if (!hits) return;
    const uint32_t nprobe = effort ? effort : ivf_nprobe(ivf);
    for (uint64_t first = 0; first < nq; first += kIvfRankGroup) {
        const uint64_t g = nq - first < kIvfRankGroup ? nq - first : kIvfRankGroup;
        ivf_search_batch(ivf, queries + first * ivf->dim, g, kk, nprobe, hits.get(), counts + first);
        for (uint64_t q = 0; q < g; ++q) {
            const IvfHit *h = hits.get() + q * kk;
            rk_index_result_t *r = results + (first + q) * k;
            for (uint64_t i = 0; i < counts[first + q]; ++i) {
                r[i].id = h[i].id;
                r[i].distance = h[i].distance;
            }
        }
    }
}

uint64_t ivf_search_hits_filtered(rk_index_t *ix, const float *query, uint64_t k, uint32_t effort,
                                  const IdFilter &filter, rk_index_result_t *results) {
    const uint64_t stored = ivf_ntotal(ix->impl.ivf);
    if (k > stored) k = stored;
    HookPtr<IvfHit> hits = hook_unique_array<IvfHit>(k);
    if (!hits) return 0;
    rk_ivf_t *ivf = ix->impl.ivf;
    const uint64_t n =
        ivf_search_filtered(ivf, query, k, effort ? effort : ivf_nprobe(ivf), filter, hits.get());
    for (uint64_t i = 0; i < n; ++i) {
        results[i].id = hits.get()[i].id;
        results[i].distance = hits.get()[i].distance;
    }
    return n;
}

rk_status_t ivf_remove_id(rk_index_t *ix, uint64_t id) {
    uint64_t gone = 0;
    const rk_status_t st = ivf_remove(ix->impl.ivf, &id, 1, &gone);
    std::atomic_ref<uint64_t>(ix->ivf_removed).fetch_add(gone, std::memory_order_relaxed);
    return st;
}

uint32_t ivf_dim(const rk_index_t *ix) { return ix->impl.ivf->dim; }

uint64_t ivf_total(const rk_index_t *ix) {
    const uint64_t removed = std::atomic_ref<const uint64_t>(ix->ivf_removed).load(std::memory_order_relaxed);
    return ivf_ntotal(ix->impl.ivf) + removed;
}

uint64_t ivf_memory(const rk_index_t *ix) { return ivf_memory_usage(ix->impl.ivf); }

void ivf_fill_stats(const rk_index_t *ix, rk_index_stats_t *stats) { stats->nlist = ix->impl.ivf->nlist; }

uint32_t ivf_get_effort(const rk_index_t *ix) { return ivf_nprobe(ix->impl.ivf); }
void ivf_set_effort(rk_index_t *ix, uint32_t nprobe) { ivf_set_nprobe(ix->impl.ivf, nprobe); }

}  // namespace

const FamilyOps kIvfOps = {
    .make = ivf_make,
    .destroy = ivf_destroy_locks,
    .train = ivf_train_lists,
    .is_trained = ivf_is_trained,
    .add = ivf_add,
    .search = ivf_search_hits,
    .search_batch = ivf_search_hits_batch,
    .search_filtered = ivf_search_hits_filtered,
    .get_effort = ivf_get_effort,
    .set_effort = ivf_set_effort,
    .remove = ivf_remove_id,
    .dim = ivf_dim,
    .ntotal = ivf_total,
    .memory_usage = ivf_memory,
    .fill_stats = ivf_fill_stats,
    .save = save_ivf,
    .load = load_ivf,
};

}  // namespace rk
