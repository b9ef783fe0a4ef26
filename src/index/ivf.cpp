// SPDX-License-Identifier: Apache-2.0
// IVF object lifecycle, configuration and list storage.
#include "index/ivf.h"

#include <atomic>
#include <cstring>

#include "core/alloc.h"
#include "core/status.h"
#include "index/ivf_internal.h"
#include "rk_error.h"
#include "rk_vector.h"
#include "vector/kernels.h"

namespace rk {
namespace {

constexpr size_t kIvfArenaBlock = 0x400000;
constexpr uint64_t kFirstChunk = 16;

// Destroying a lock made without an arena also hands its storage back.
void destroy_locks(rk_ivf_t *ivf, uint32_t nlists) {
    for (uint32_t i = 0; i < nlists; ++i) {
        IvfList &l = ivf->lists[i];
        if (!l.lock) continue;
        rk_rwlock_destroy(l.lock);
        l.lock = nullptr;
    }
    if (ivf->mutex) {
        rk_mutex_destroy(ivf->mutex);
        ivf->mutex = nullptr;
    }
}

// Everything but the arena; on failure whatever locks were made are gone
// again and the caller discards the arena pieces.
rk_ivf_t *build(rk_arena_t *arena, uint32_t dim, const rk_ivf_params_t *params) {
    auto *ivf = arena_array<rk_ivf_t>(arena, 1);
    if (!ivf) return nullptr;
    size_t ncentroid;
    if (!mul_size(params->nlist, dim, &ncentroid)) return nullptr;
    ivf->type = 1;
    ivf->metric = 0;
    ivf->dim = dim;
    ivf->params = *params;
    ivf->nlist = params->nlist;
    ivf->quantization = 2;
    ivf->arena = arena;
    // A float payload's byte count must fit its 32-bit field.
    if (dim > UINT32_MAX / sizeof(float)) return nullptr;
    ivf->payload = IvfPayload::kFloat;
    ivf->payload_bytes = static_cast<uint32_t>(sizeof(float)) * dim;
    ivf->lists = arena_array<IvfList>(arena, params->nlist);
    ivf->centroids = arena_array<float>(arena, ncentroid);
    ivf->panels = arena_array<float>(arena, kern::panel_floats(ivf->nlist, dim));
    ivf->panels_current = false;
    if (!ivf->lists || !ivf->centroids || !ivf->panels) return nullptr;
    for (uint32_t i = 0; i < ivf->nlist; ++i) {
        if (rk_rwlock_create(nullptr, 0, &ivf->lists[i].lock) != RK_OK) {
            destroy_locks(ivf, i);
            return nullptr;
        }
    }
    if (rk_mutex_create(nullptr, 0, &ivf->mutex) != RK_OK) {
        destroy_locks(ivf, ivf->nlist);
        return nullptr;
    }
    return ivf;
}

// Adds one chunk to a full list. Chunks are never moved, so readers of older
// chunks are unaffected; the descriptor array is replaced when it runs out.
rk_status_t grow(rk_ivf_t *ivf, IvfList *l) {
    const uint64_t cap = l->capacity ? l->capacity : kFirstChunk;
    if (l->nchunks == l->chunk_room) {
        const uint32_t room = l->chunk_room ? l->chunk_room * 2 : 4;
        auto *d = arena_array<IvfChunk>(ivf->arena, room);
        RK_RETURN_IF(!d, RK_ERR_NO_MEMORY);
        if (l->nchunks) std::memcpy(d, l->chunks, sizeof(IvfChunk) * l->nchunks);
        l->chunks = d;
        l->chunk_room = room;
    }
    const bool norms = wants_norms(ivf);
    size_t per = sizeof(uint64_t) + ivf->payload_bytes + (norms ? sizeof(float) : 0);
    size_t bytes;
    RK_RETURN_IF(!mul_size(cap, per, &bytes), RK_ERR_NO_MEMORY);
    auto *mem = static_cast<unsigned char *>(rk_arena_alloc(ivf->arena, bytes));
    RK_RETURN_IF(!mem, RK_ERR_NO_MEMORY);
    IvfChunk &c = l->chunks[l->nchunks];
    c.ids = reinterpret_cast<uint64_t *>(mem);
    c.norms = norms ? reinterpret_cast<float *>(mem + cap * sizeof(uint64_t)) : nullptr;
    c.payload = mem + cap * (sizeof(uint64_t) + (norms ? sizeof(float) : 0));
    c.cap = cap;
    ++l->nchunks;
    l->capacity += cap;
    return RK_OK;
}

}  // namespace

bool wants_norms(const rk_ivf_t *ivf) { return ivf->metric == 2 && ivf->payload == IvfPayload::kFloat; }

CentroidRule ivf_rule(const rk_ivf_t *ivf) {
    return ivf->metric == 1 || ivf->metric == 2 ? CentroidRule::kAngular : CentroidRule::kL2;
}

uint64_t ivf_ntotal(const rk_ivf_t *ivf) {
    return ivf ? std::atomic_ref<const uint64_t>(ivf->ntotal).load(std::memory_order_acquire) : 0;
}

void count_added(rk_ivf_t *ivf, int64_t delta) {
    std::atomic_ref<uint64_t>(ivf->ntotal).fetch_add(static_cast<uint64_t>(delta), std::memory_order_acq_rel);
}

Slot reserve_slot(rk_ivf_t *ivf, IvfList *l, rk_status_t *status) {
    *status = RK_OK;
    if (l->count == l->capacity) {
        *status = grow(ivf, l);
        if (*status != RK_OK) return Slot{};
    }
    return slot_at(ivf, l, l->count);
}

Slot slot_at(const rk_ivf_t *ivf, const IvfList *l, uint64_t pos) {
    for (uint32_t c = 0; c < l->nchunks; ++c) {
        const IvfChunk &ch = l->chunks[c];
        if (pos < ch.cap) {
            return Slot{ch.ids + pos, ch.payload + pos * ivf->payload_bytes,
                        ch.norms ? ch.norms + pos : nullptr};
        }
        pos -= ch.cap;
    }
    return Slot{};
}

float stored_norm(const rk_ivf_t *ivf, const float *v) { return rk_math_sqrt_f32(kern::dot(v, v, ivf->dim)); }

rk_status_t ivf_bind(rk_ivf_t *ivf, uint32_t type, uint32_t quantization, rk_pq_t *pq,
                     rk_sq_quantizer_t *sq) {
    RK_RETURN_IF(!ivf || (type != 1 && type != 3 && type != 5), RK_ERR_INVALID_ARG);
    IvfPayload payload = IvfPayload::kFloat;
    uint32_t bytes = ivf->dim * static_cast<uint32_t>(sizeof(float));
    if (type == 3 && pq) {
        payload = IvfPayload::kPq;
        bytes = pq_code_bytes(pq);
    } else if (type == 5 && sq) {
        payload = IvfPayload::kSq;
        bytes = ivf->dim;
    }
    const bool changes = payload != ivf->payload || bytes != ivf->payload_bytes;
    RK_RETURN_IF(changes && ivf_ntotal(ivf) != 0, RK_ERR_INVALID_ARG);
    if (changes) {
        // Chunks sized for another payload cannot be reused; empty lists
        // simply start again.
        for (uint32_t i = 0; i < ivf->nlist; ++i) {
            IvfList &l = ivf->lists[i];
            l.nchunks = 0;
            l.capacity = 0;
        }
    }
    ivf->type = type;
    ivf->quantization = quantization;
    ivf->pq = pq;
    ivf->sq = sq;
    ivf->payload = payload;
    ivf->payload_bytes = bytes;
    return RK_OK;
}

rk_status_t ivf_set_metric(rk_ivf_t *ivf, uint32_t metric) {
    RK_RETURN_IF(!ivf || metric > 2, RK_ERR_INVALID_ARG);
    if (metric == ivf->metric) return RK_OK;
    RK_RETURN_IF(ivf_ntotal(ivf) != 0, RK_ERR_INVALID_ARG);
    for (uint32_t i = 0; i < ivf->nlist; ++i) {
        // Norm columns come and go with the metric: drop the empty chunks.
        ivf->lists[i].nchunks = 0;
        ivf->lists[i].capacity = 0;
    }
    ivf->metric = metric;
    return RK_OK;
}

void ivf_set_trained(rk_ivf_t *ivf, uint32_t trained) {
    if (!ivf) return;
    ivf->trained = trained ? 1 : 0;
    if (trained) {
        kern::pack_panels(ivf->centroids, ivf->nlist, ivf->dim, ivf->dim, ivf->panels);
        ivf->panels_current = true;
    }
}

void ivf_centroid_scores(const rk_ivf_t *ivf, const float *query, float *out) {
    ivf_centroid_scores_many(ivf, &query, 1, out);
}

void ivf_centroid_scores_many(const rk_ivf_t *ivf, const float *const *queries, size_t nq, float *out) {
    const CentroidRule rule = ivf_rule(ivf);
    const size_t nlist = ivf->nlist;
    if (!ivf->panels_current) {
        for (size_t i = 0; i < nq; ++i)
            centroid_scores(rule, queries[i], ivf->centroids, ivf->nlist, ivf->dim, out + i * nlist);
        return;
    }
    if (rule == CentroidRule::kL2) {
        kern::l2sq_panels(queries, nq, ivf->panels, nlist, ivf->dim, out, nlist);
        return;
    }
    kern::dot_panels(queries, nq, ivf->panels, nlist, ivf->dim, out, nlist);
    for (size_t c = 0; c < nq * nlist; ++c) out[c] = -out[c];
}

uint64_t ivf_memory_usage(const rk_ivf_t *ivf) {
    if (!ivf) return 0;
    uint64_t total = 152 + 40 * static_cast<uint64_t>(ivf->nlist);
    const uint64_t per = 4 * static_cast<uint64_t>(ivf->dim) + 24;
    for (uint32_t i = 0; i < ivf->nlist; ++i) total += ivf->lists[i].count * per;
    return total;
}

float *ivf_centroid(rk_ivf_t *ivf, uint32_t list) {
    if (!ivf || list >= ivf->nlist) return nullptr;
    ivf->panels_current = false;
    return ivf->centroids + static_cast<size_t>(list) * ivf->dim;
}

bool ivf_entry(const rk_ivf_t *ivf, uint32_t list, uint64_t i, uint64_t *id, const void **payload) {
    if (!ivf || list >= ivf->nlist || i >= ivf->lists[list].count) return false;
    const Slot s = slot_at(ivf, &ivf->lists[list], i);
    if (id) *id = *s.id;
    if (payload) *payload = s.payload;
    return true;
}

rk_status_t ivf_append_raw(rk_ivf_t *ivf, uint32_t list, uint64_t id, const void *payload) {
    RK_RETURN_IF(!ivf || !payload || list >= ivf->nlist, RK_ERR_INVALID_ARG);
    IvfList *l = &ivf->lists[list];
    rk_status_t st;
    const Slot s = reserve_slot(ivf, l, &st);
    RK_TRY(st);
    *s.id = id;
    std::memcpy(s.payload, payload, ivf->payload_bytes);
    if (s.norm) *s.norm = stored_norm(ivf, static_cast<const float *>(payload));
    ++l->count;
    count_added(ivf, 1);
    return RK_OK;
}

}  // namespace rk

extern "C" {

RK_API rk_ivf_t *rk_ivf_create(struct rk_arena_t *arena, uint32_t dim, const rk_ivf_params_t *params) {
    if (dim == 0 || !params || params->nlist == 0) return nullptr;
    rk_arena_t *own = nullptr;
    if (!arena) {
        if (rk_arena_create(rk::kIvfArenaBlock, &own) != RK_OK) return nullptr;
        arena = own;
    }
    rk_ivf_t *ivf = rk::build(arena, dim, params);
    if (!ivf && own) rk_arena_destroy(own);
    if (ivf) ivf->owns_arena = own != nullptr;
    return ivf;
}

RK_API void rk_ivf_destroy(rk_ivf_t *ivf) {
    if (!ivf) return;
    rk::destroy_locks(ivf, ivf->nlist);
    // An arena the index made for itself has no other owner; one the caller
    // passed in stays with the caller.
    if (ivf->owns_arena) rk_arena_destroy(ivf->arena);
}

RK_API uint32_t rk_ivf_get_nlist(const rk_ivf_t *ivf) { return ivf ? ivf->nlist : 0; }

RK_API uint64_t rk_ivf_get_list_size(const rk_ivf_t *ivf, uint32_t list) {
    if (!ivf || list >= ivf->nlist) return 0;
    return std::atomic_ref<const uint64_t>(ivf->lists[list].count).load(std::memory_order_relaxed);
}

}  // extern "C"
