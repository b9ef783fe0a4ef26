// SPDX-License-Identifier: Apache-2.0
// The exported index operations: argument checks, then one lookup in the
// type table and a call into the type's family.
#include "index/index.h"

#include <cfloat>
#include <cstring>

#include "core/alloc.h"
#include "core/status.h"

namespace rk {
namespace {

constexpr size_t kOwnArenaBlock = 0x400000;

// Types 1..6: odd ones are IVF, even ones HNSW. Type 6 keeps no vectors, and
// types 5 and 6 report only the size of the index record.
const TypeInfo kTypes[] = {
    {&kIvfOps, true, true, true},      // 1 IVF
    {&kHnswOps, true, true, true},     // 2 HNSW
    {&kIvfOps, true, true, true},      // 3 IVF-PQ
    {&kHnswOps, true, true, true},     // 4 HNSW-PQ
    {&kIvfOps, true, true, false},     // 5 IVF-SQ
    {&kHnswOps, false, false, false},  // 6 HNSW-SQ
};

// The record size the estimate reports for types without a family formula.
constexpr uint64_t kRecordEstimate = 24;

// The table row of a live index with its type object, or null.
const TypeInfo *live(const rk_index_t *ix) {
    if (!has_impl(ix)) return nullptr;
    return type_info(ix->type);
}

}  // namespace

const TypeInfo *type_info(uint32_t type) {
    if (type < 1 || type > 6) return nullptr;
    return &kTypes[type - 1];
}

rk_index_t *index_create_in(rk_arena_t *arena, const rk_index_config_t *cfg) {
    const TypeInfo *info = type_info(cfg->type);
    if (!info || cfg->metric > RK_METRIC_COSINE || cfg->dimension == 0) return nullptr;
    auto *ix = static_cast<rk_index_t *>(rk_arena_calloc(arena, 1, sizeof(rk_index_t)));
    if (!ix) return nullptr;
    ix->type = cfg->type;
    ix->arena = arena;
    if (!info->family->make(ix, cfg)) return nullptr;
    return ix;
}

}  // namespace rk

// ---- search effort (extension) ----------------------------------------------

namespace rk {
namespace {

// The index when it is of the family that has the setting (odd types: IVF).
const TypeInfo *effort_family(const rk_index_t *index, bool ivf, rk_status_t *st) {
    const TypeInfo *info = live(index);
    *st = !index ? RK_ERR_INVALID_ARG : RK_OK;
    if (*st == RK_OK && (!info || ((index->type & 1u) != 0) != ivf)) *st = RK_ERR_NOT_SUPPORTED;
    return *st == RK_OK ? info : nullptr;
}

rk_status_t set_effort(rk_index_t *index, bool ivf, uint32_t value) {
    rk_status_t st;
    const TypeInfo *info = effort_family(index, ivf, &st);
    if (info) info->family->set_effort(index, value);
    return st;
}

rk_status_t get_effort(const rk_index_t *index, bool ivf, uint32_t *out) {
    if (!out) return RK_ERR_INVALID_ARG;
    rk_status_t st;
    const TypeInfo *info = effort_family(index, ivf, &st);
    if (info) *out = info->family->get_effort(index);
    return st;
}

}  // namespace
}  // namespace rk

using rk::get_effort;
using rk::live;
using rk::set_effort;

extern "C" {

RK_API rk_index_t *rk_index_create(rk_arena_t *arena, const rk_index_config_t *config) {
    if (!config || !rk::type_info(config->type)) return nullptr;
    if (arena) return rk::index_create_in(arena, config);
    rk_arena_t *own = nullptr;
    if (rk_arena_create(rk::kOwnArenaBlock, &own) != RK_OK) return nullptr;
    rk_index_t *ix = rk::index_create_in(own, config);
    if (!ix) {
        rk_arena_destroy(own);
        return nullptr;
    }
    ix->owns_arena = true;
    return ix;
}

RK_API void rk_index_destroy(rk_index_t *index) {
    if (!index) return;
    if (const rk::TypeInfo *info = live(index)) info->family->destroy(index);
    // The record lives in the arena: read the flag before the arena goes.
    if (index->owns_arena) rk_arena_destroy(index->arena);
}

RK_API rk_status_t rk_index_train(rk_index_t *index, const float *data, uint64_t count) {
    if (!index || !data || count == 0) return RK_ERR_INVALID_ARG;
    const rk::TypeInfo *info = live(index);
    if (!info) return RK_ERR_INVALID_ARG;
    return info->family->train(index, data, count);
}

RK_API uint32_t rk_index_is_trained(const rk_index_t *index) {
    const rk::TypeInfo *info = live(index);
    return info ? info->family->is_trained(index) : 0;
}

RK_API rk_status_t rk_index_add(rk_index_t *index, uint64_t id, const float *vector) {
    return rk_index_add_batch(index, &id, vector, 1);
}

RK_API rk_status_t rk_index_add_batch(rk_index_t *index, const uint64_t *ids, const float *vectors,
                                      uint64_t n) {
    if (!index || !ids || !vectors || n == 0) return RK_ERR_INVALID_ARG;
    const rk::TypeInfo *info = live(index);
    if (!info) return RK_ERR_INVALID_ARG;
    if (!info->can_add) return RK_ERR_NOT_SUPPORTED;
    return info->family->add(index, ids, vectors, n);
}

RK_API uint64_t rk_index_search(rk_index_t *index, const float *query, uint64_t k,
                                rk_index_result_t *results) {
    return rk_index_search_ex(index, query, k, 0, results);
}

RK_API uint64_t rk_index_search_ex(rk_index_t *index, const float *query, uint64_t k, uint32_t effort,
                                   rk_index_result_t *results) {
    if (!query || !results || k == 0) return 0;
    const rk::TypeInfo *info = live(index);
    if (!info || !info->can_search) return 0;
    if (info->family->ntotal(index) == 0) return 0;
    return info->family->search(index, query, k, effort, results);
}

}  // extern "C"

bool rk::index_search_many(rk_index_t *index, const float *queries, uint64_t nq, uint64_t k, uint32_t effort,
                           rk_index_result_t *results, uint64_t *counts) {
    const rk::TypeInfo *info = live(index);
    if (!info || !info->can_search || !info->family->search_batch) return false;
    if (!queries || !results || !counts || k == 0 || info->family->ntotal(index) == 0) return false;
    info->family->search_batch(index, queries, nq, k, effort, results, counts);
    return true;
}

uint64_t rk::index_search_filtered(rk_index_t *index, const float *query, uint64_t k, uint32_t effort,
                                   const IdFilter &filter, rk_index_result_t *results) {
    if (!query || !results || k == 0 || !filter.accept) return 0;
    const rk::TypeInfo *info = live(index);
    if (!info || !info->can_search) return 0;
    if (info->family->ntotal(index) == 0) return 0;
    return info->family->search_filtered(index, query, k, effort, filter, results);
}

extern "C" {

RK_API rk_status_t rk_index_set_ef_search(rk_index_t *index, uint32_t ef_search) {
    return set_effort(index, false, ef_search);
}

RK_API rk_status_t rk_index_get_ef_search(const rk_index_t *index, uint32_t *out) {
    return get_effort(index, false, out);
}

RK_API rk_status_t rk_index_set_nprobe(rk_index_t *index, uint32_t nprobe) {
    return set_effort(index, true, nprobe);
}

RK_API rk_status_t rk_index_get_nprobe(const rk_index_t *index, uint32_t *out) {
    return get_effort(index, true, out);
}

RK_API rk_status_t rk_index_search_batch(rk_index_t *index, const float *queries, uint64_t nq, uint64_t k,
                                         rk_index_result_t *results) {
    if (!index || !queries || !results) return RK_ERR_INVALID_ARG;
    if (k == 0) return RK_OK;
    const uint32_t dim = rk_index_get_dim(index);
    // Families that answer several queries faster together do so in groups
    // (the counts of a group are kept on the stack); the answers are those
    // of one search per query.
    constexpr uint64_t kGroup = 64;
    uint64_t counts[kGroup];
    uint64_t first = 0;
    for (; first < nq; first += kGroup) {
        const uint64_t g = nq - first < kGroup ? nq - first : kGroup;
        if (!rk::index_search_many(index, queries + first * dim, g, k, 0, results + first * k, counts)) break;
        for (uint64_t i = 0; i < g; ++i) {
            if (counts[i] != 0) continue;
            results[(first + i) * k].id = UINT64_MAX;
            results[(first + i) * k].distance = FLT_MAX;
        }
    }
    for (uint64_t i = first; i < nq; ++i) {
        rk_index_result_t *slots = results + i * k;
        if (rk_index_search(index, queries + i * dim, k, slots) == 0) {
            slots[0].id = UINT64_MAX;
            slots[0].distance = FLT_MAX;
        }
    }
    return RK_OK;
}

RK_API rk_status_t rk_index_remove(rk_index_t *index, uint64_t id) {
    if (!index) return RK_ERR_INVALID_ARG;
    const rk::TypeInfo *info = live(index);
    if (!info) return RK_OK;
    return info->family->remove(index, id);
}

RK_API rk_status_t rk_index_remove_batch(rk_index_t *index, const uint64_t *ids, uint64_t n) {
    if (!index || !ids || n == 0) return RK_ERR_INVALID_ARG;
    rk_status_t first = RK_OK;
    for (uint64_t i = 0; i < n; ++i) {
        const rk_status_t s = rk_index_remove(index, ids[i]);
        if (first == RK_OK) first = s;
    }
    return first;
}

RK_API uint32_t rk_index_get_dim(const rk_index_t *index) {
    const rk::TypeInfo *info = live(index);
    return info ? info->family->dim(index) : 0;
}

RK_API uint64_t rk_index_get_ntotal(const rk_index_t *index) {
    const rk::TypeInfo *info = live(index);
    return info ? info->family->ntotal(index) : 0;
}

RK_API uint32_t rk_index_get_type(const rk_index_t *index) { return index ? index->type : 0; }

RK_API uint64_t rk_index_get_memory_usage(const rk_index_t *index) {
    const rk::TypeInfo *info = live(index);
    if (!info) return 0;
    return info->full_figures ? info->family->memory_usage(index) : rk::kRecordEstimate;
}

RK_API rk_status_t rk_index_get_stats(const rk_index_t *index, rk_index_stats_t *stats) {
    if (!index || !stats) return RK_ERR_INVALID_ARG;
    std::memset(stats, 0, sizeof *stats);
    if (const rk::TypeInfo *info = live(index)) {
        stats->ntotal = info->family->ntotal(index);
        if (info->full_figures) info->family->fill_stats(index, stats);
    }
    stats->memory_bytes = rk_index_get_memory_usage(index);
    return RK_OK;
}

}  // extern "C"
