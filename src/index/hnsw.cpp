// SPDX-License-Identifier: Apache-2.0
// HNSW graph object: creation, the node table, level draws, search, removal
// and the pieces the index files rebuild a graph with.
#include "index/hnsw.h"

#include <atomic>
#include <cstring>
#include <new>

#include "core/alloc.h"
#include "core/status.h"
#include "index/hnsw_walk.h"
#include "platform/random.h"
#include "rk_error.h"
#include "rk_vector.h"

namespace rk {

namespace {

constexpr size_t kOwnArenaBlock = 0x400000;
constexpr uint32_t kDefaultSeed = 12345;

// Fills the fields of a zeroed graph; false when the sizes cannot be had.
bool init_graph(rk_hnsw_t *h, rk_arena_t *arena, uint32_t dim, const rk_hnsw_params_t *params) {
    // Level-0 lists hold 2 * m ids and every list count is 32-bit.
    if (params->m > 0x7FFFFFFFu) return false;
    h->type = RK_INDEX_HNSW;
    h->metric = RK_METRIC_L2;
    h->dim = dim;
    h->params = *params;
    h->capacity = kInitialSlots;
    h->entry_point = -1;
    h->arena = arena;
    h->seed = params->seed ? params->seed : kDefaultSeed;
    if (h->params.level_mult <= 0.0f)
        h->params.level_mult = 1.0f / rk_math_log_f32(static_cast<float>(params->m));
    h->cap0 = 2 * params->m;
    h->vec_offset = sizeof(HnswNode) + static_cast<size_t>(h->cap0) * sizeof(uint32_t);
    h->node_bytes = h->vec_offset + static_cast<size_t>(dim) * sizeof(float);
    h->slots = arena_array<HnswNode *>(arena, kInitialSlots);
    if (!h->slots) return false;
    return rk_rwlock_create(arena, nullptr, &h->lock) == RK_OK;
}

rk_status_t grow_table(rk_hnsw_t *h, uint64_t slots) {
    if (slots <= h->capacity) return RK_OK;
    if (slots > kMaxSlots) return RK_ERR_NO_MEMORY;
    auto **table = arena_array<HnswNode *>(h->arena, static_cast<size_t>(slots));
    if (!table) return RK_ERR_NO_MEMORY;
    std::memcpy(table, h->slots, static_cast<size_t>(h->capacity) * sizeof(HnswNode *));
    h->slots = table;
    h->capacity = slots;
    return RK_OK;
}

// The first occupied slot and its level; false when the table is empty.
bool first_occupied(const rk_hnsw_t *h, uint32_t *slot, uint32_t *level) {
    for (uint64_t i = 0; i < h->capacity; ++i) {
        if (h->slots[i]) {
            *slot = static_cast<uint32_t>(i);
            *level = h->slots[i]->level;
            return true;
        }
    }
    return false;
}

}  // namespace

HnswScratch *descend(rk_hnsw_t *h, const float *query, uint32_t *e) {
    if (h->ntotal == 0 || h->entry_point < 0) return nullptr;
    uint32_t top;
    if (node_at(h, static_cast<uint64_t>(h->entry_point))) {
        *e = static_cast<uint32_t>(h->entry_point);
        top = h->max_level;
    } else if (!first_occupied(h, e, &top)) {
        return nullptr;
    }
    HnswScratch *s = scratch_acquire(h);
    if (!s || !scratch_fit(h, s)) {
        scratch_release(h, s);
        return nullptr;
    }
    store_form(h->metric, query, h->dim, s->query);
    const Walk w{h, s, s->query, metric_many(h->metric)};
    visited_reset(s);
    for (uint32_t l = top; l >= 1; --l) *e = greedy_walk(w, *e, l);
    return s;
}

namespace {

size_t search_locked(rk_hnsw_t *h, const float *query, size_t k, size_t ef, HeapItem *out) {
    uint32_t e;
    HnswScratch *s = descend(h, query, &e);
    if (!s) return 0;
    const Walk w{h, s, s->query, metric_many(h->metric)};
    const size_t r = layer_search(w, e, 0, ef < k ? k : ef);
    size_t n = 0;
    if (r != SIZE_MAX) {
        n = r < k ? r : k;
        std::memcpy(out, s->results, n * sizeof(HeapItem));
    }
    scratch_release(h, s);
    return n;
}

// Re-links the neighbours of a node about to be removed: each node it lists
// on level l re-selects its level-l list from its own live neighbours and
// the removed node's other neighbours, by the diversity rule with the free
// places filled nearest first (without filling, a repair would thin out
// lists that grew past what the rule keeps, and cost more paths than the
// removal itself). Runs with the node's slot already empty, so no list
// keeps or gains it.
void relink_around(rk_hnsw_t *h, const HnswNode *gone) {
    HnswScratch *s = scratch_acquire(h);
    // Two lists' worth of ids: the removed node's live neighbours, and the
    // ones a neighbour does not list yet.
    HookPtr<uint32_t> buf(hook_array<uint32_t>(2 * static_cast<size_t>(h->cap0) + 2));
    if (s && buf && scratch_fit(h, s)) {
        uint32_t *mine = buf.get();
        uint32_t *extra = mine + h->cap0 + 1;
        for (uint32_t l = 0; l <= gone->level; ++l) {
            uint32_t *count;
            const uint32_t *links = node_links(h, const_cast<HnswNode *>(gone), l, &count);
            uint32_t n = 0;
            for (uint32_t j = 0; j < *count; ++j)
                if (node_at(h, links[j])) mine[n++] = links[j];
            for (uint32_t j = 0; j < n; ++j) {
                HnswNode *nb = h->slots[mine[j]];
                if (l > nb->level) continue;
                uint32_t *ncount;
                const uint32_t *nlinks = node_links(h, nb, l, &ncount);
                uint32_t extra_n = 0;
                for (uint32_t t = 0; t < n; ++t) {
                    bool listed = t == j;
                    for (uint32_t u = 0; u < *ncount && !listed; ++u) listed = nlinks[u] == mine[t];
                    if (!listed) extra[extra_n++] = mine[t];
                }
                // Filled: the repair patches the hole the removed node
                // leaves and keeps the other links the list had.
                if (!reselect_list(h, s, nb, l, extra, extra_n, true)) break;
            }
        }
    }
    scratch_release(h, s);
}

}  // namespace

// ---- table and nodes ---------------------------------------------------------

uint64_t hnsw_slot_limit(uint64_t nodes) {
    const uint64_t by_nodes = nodes < kMaxSlots / kSlotsPerNode ? nodes * kSlotsPerNode : kMaxSlots;
    return by_nodes > kSlotFloor ? by_nodes : kSlotFloor;
}

rk_status_t hnsw_grow_for(rk_hnsw_t *h, uint64_t id, uint64_t pending) {
    if (id < h->capacity) return RK_OK;
    const uint64_t nodes = h->ntotal + pending;
    const uint64_t limit = hnsw_slot_limit(nodes < h->ntotal ? UINT64_MAX : nodes);
    if (id >= limit) return RK_ERR_TOO_LARGE;
    // Doubling keeps growth amortised; the limit caps the last step.
    const uint64_t want = id <= (kMaxSlots - 2) / 2 ? 2 * id + 2 : kMaxSlots;
    return grow_table(h, want < limit ? want : limit);
}

rk_status_t hnsw_make_node(rk_hnsw_t *h, uint32_t level, HnswNode **out) {
    auto *n = static_cast<HnswNode *>(rk_arena_alloc(h->arena, h->node_bytes));
    if (!n) return RK_ERR_NO_MEMORY;
    n->level = level;
    n->count0 = 0;
    n->upper = nullptr;
    if (level > 0) {
        size_t words;
        if (!mul_size(level, static_cast<size_t>(h->params.m) + 1, &words)) return RK_ERR_NO_MEMORY;
        n->upper = arena_array<uint32_t>(h->arena, words);
        if (!n->upper) return RK_ERR_NO_MEMORY;
    }
    *out = n;
    return RK_OK;
}

rk_status_t hnsw_reserve(rk_hnsw_t *h, uint64_t slots) {
    if (!h) return RK_ERR_INVALID_ARG;
    return grow_table(h, slots);
}

rk_status_t hnsw_place_node(rk_hnsw_t *h, uint64_t id, uint32_t level, const float *vector, uint64_t nodes,
                            HnswNode **out) {
    if (!h || !vector || !out) return RK_ERR_INVALID_ARG;
    RK_TRY(hnsw_grow_for(h, id, nodes));
    HnswNode *n;
    RK_TRY(hnsw_make_node(h, level, &n));
    std::memcpy(node_vector_mut(h, n), vector, static_cast<size_t>(h->dim) * sizeof(float));
    h->slots[id] = n;
    *out = n;
    return RK_OK;
}

rk_status_t hnsw_set_links(rk_hnsw_t *h, HnswNode *node, uint32_t l, const uint64_t *ids, uint32_t count) {
    if (!h || !node || (count && !ids)) return RK_ERR_INVALID_ARG;
    uint32_t *cnt;
    uint32_t *links = node_links(h, node, l, &cnt);
    if (!links || count > level_cap(h, l)) return RK_ERR_INVALID_ARG;
    for (uint32_t i = 0; i < count; ++i)
        links[i] = ids[i] < kMaxSlots ? static_cast<uint32_t>(ids[i]) : kNoId;
    *cnt = count;
    return RK_OK;
}

uint64_t hnsw_count_occupied(const rk_hnsw_t *h, uint64_t begin, uint64_t end) {
    if (!h) return 0;
    if (end > h->capacity) end = h->capacity;
    uint64_t n = 0;
    for (uint64_t i = begin; i < end; ++i) n += h->slots[i] != nullptr;
    return n;
}

uint32_t hnsw_draw_level(const rk_hnsw_t *h) {
    const uint64_t r = rk::draw();
    const float u = static_cast<float>(r % 65536) / 65535.0f;
    float ml = h->params.level_mult;
    if (ml <= 0.0f) ml = 1.0f / rk_math_log_f32(static_cast<float>(h->params.m));
    const float lf = -rk_math_log_f32(u) * ml;
    // Truncation toward zero; values no 32-bit level can hold (u = 0 gives
    // ln = -1e30), NaN and negatives all give level 0.
    uint32_t level = 0;
    if (lf >= 1.0f && lf < 2147483648.0f) level = static_cast<uint32_t>(lf);
    if (h->params.max_level != 0 && level > h->params.max_level) level = h->params.max_level;
    return level;
}

// ---- configuration, search, removal --------------------------------------

rk_status_t hnsw_set_metric(rk_hnsw_t *h, uint32_t metric) {
    if (!h) return RK_ERR_INVALID_ARG;
    WriteHold hold(h->lock);
    if (h->ntotal != 0) return RK_ERR_INVALID_ARG;
    h->metric = metric;
    return RK_OK;
}

size_t hnsw_search_ex(rk_hnsw_t *h, const float *query, size_t k, uint32_t ef, HeapItem *out) {
    if (!h || !query || !out || k == 0) return 0;
    if (ef == 0) ef = hnsw_ef_search(h);
    size_t n;
    {
        ReadHold hold(h->lock);
        n = search_locked(h, query, k, ef, out);
    }
    sort_hits(out, n);
    return n;
}

size_t hnsw_search(rk_hnsw_t *h, const float *query, size_t k, HeapItem *out) {
    return hnsw_search_ex(h, query, k, 0, out);
}

uint32_t hnsw_ef_search(const rk_hnsw_t *h) {
    return std::atomic_ref<const uint32_t>(h->params.ef_search).load(std::memory_order_relaxed);
}

void hnsw_set_ef_search(rk_hnsw_t *h, uint32_t ef) {
    std::atomic_ref<uint32_t>(h->params.ef_search).store(ef, std::memory_order_relaxed);
}

rk_status_t hnsw_remove(rk_hnsw_t *h, uint64_t id) {
    if (!h) return RK_ERR_INVALID_ARG;
    WriteHold hold(h->lock);
    HnswNode *gone = node_at(h, id);
    if (!gone) return RK_OK;
    h->slots[id] = nullptr;
    if (h->rules.repair_on_remove) relink_around(h, gone);
    if (h->entry_point >= 0 && static_cast<uint64_t>(h->entry_point) == id) {
        h->entry_point = -1;
        h->max_level = 0;
        uint32_t slot, level;
        if (first_occupied(h, &slot, &level)) {
            h->entry_point = slot;
            h->max_level = level;
        }
    }
    return RK_OK;
}

}  // namespace rk

// ---- exported ------------------------------------------------------------------

extern "C" {

RK_API rk_hnsw_t *rk_hnsw_create(rk_arena_t *arena, uint32_t dim, const rk_hnsw_params_t *params) {
    if (dim == 0 || !params) return nullptr;
    const bool own = arena == nullptr;
    if (own && rk_arena_create(rk::kOwnArenaBlock, &arena) != RK_OK) return nullptr;
    void *mem = rk_arena_calloc(arena, 1, sizeof(rk_hnsw_t));
    rk_hnsw_t *h = mem ? ::new (mem) rk_hnsw_t() : nullptr;
    if (!h || !rk::init_graph(h, arena, dim, params)) {
        if (own) rk_arena_destroy(arena);
        return nullptr;
    }
    h->owns_arena = own;
    return h;
}

RK_API void rk_hnsw_destroy(rk_hnsw_t *hnsw) {
    if (!hnsw) return;
    rk::scratch_pool_free(hnsw);
    if (hnsw->lock) rk_rwlock_destroy(hnsw->lock);
    if (hnsw->owns_arena) rk_arena_destroy(hnsw->arena);
}

RK_API int64_t rk_hnsw_get_entry_point(rk_hnsw_t *hnsw) {
    if (!hnsw) return -1;
    rk::ReadHold hold(hnsw->lock);
    return hnsw->entry_point;
}

RK_API uint32_t rk_hnsw_get_max_level(rk_hnsw_t *hnsw) {
    if (!hnsw) return 0;
    rk::ReadHold hold(hnsw->lock);
    return hnsw->max_level;
}

RK_API rk_status_t rk_hnsw_set_ef_search(rk_hnsw_t *hnsw, uint32_t ef_search) {
    if (!hnsw) return RK_ERR_INVALID_ARG;
    rk::hnsw_set_ef_search(hnsw, ef_search);
    return RK_OK;
}

RK_API uint32_t rk_hnsw_get_ef_search(const rk_hnsw_t *hnsw) { return hnsw ? rk::hnsw_ef_search(hnsw) : 0; }

}  // extern "C"
