// SPDX-License-Identifier: Apache-2.0
// HNSW insertion: level draw, descent, layer searches and linking.
#include <cstring>
#include <limits>

#include "core/alloc.h"
#include "core/status.h"
#include "index/hnsw.h"
#include "index/hnsw_walk.h"
#include "rk_error.h"

namespace rk {

namespace {

bool ascending_without_nan(const HeapItem *in, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (in[i].distance != in[i].distance) return false;
        if (i && in[i].distance < in[i - 1].distance) return false;
    }
    return true;
}

// Keeps the cap nearest of in[0..n) in ascending order, chosen by repeated
// selection of the nearest remaining pair (the earlier one on ties); with n
// at most cap, all of them in their own order. Returns the count written to
// out, or SIZE_MAX when scratch memory fails.
size_t select_nearest(const HeapItem *in, size_t n, size_t cap, HeapItem *out) {
    if (n <= cap || ascending_without_nan(in, n)) {
        const size_t k = n < cap ? n : cap;
        std::memcpy(out, in, k * sizeof(HeapItem));
        return k;
    }
    auto *used = hook_array<unsigned char>(n);
    if (!used) return SIZE_MAX;
    std::memset(used, 0, n);
    for (size_t t = 0; t < cap; ++t) {
        size_t best = SIZE_MAX;
        for (size_t j = 0; j < n; ++j) {
            if (used[j]) continue;
            if (best == SIZE_MAX || in[j].distance < in[best].distance) best = j;
        }
        used[best] = 1;
        out[t] = in[best];
    }
    rk_free(used);
    return cap;
}

// Offers the new node as a neighbour of F on level l after a full list: it
// takes the place of F's farthest listed neighbour when that one is farther
// from F than the new node (df). The farthest is the first of the largest.
void replace_farthest(rk_hnsw_t *h, HnswScratch *s, HnswNode *fn, uint32_t *links, uint32_t count,
                      uint32_t id, float df) {
    size_t b = 0;
    for (uint32_t j = 0; j < count; ++j) {
        const HnswNode *x = node_at(h, links[j]);
        if (!x) continue;
        s->rows[b] = node_vector(h, x);
        s->ids[b] = j;
        ++b;
    }
    if (b == 0) return;
    metric_many(h->metric)(node_vector(h, fn), s->rows, b, h->dim, s->dists);
    // Distances may be negative (inner product): start below all of them.
    float maxd = -std::numeric_limits<float>::infinity();
    size_t far = SIZE_MAX;
    for (size_t j = 0; j < b; ++j) {
        if (s->dists[j] > maxd) {
            maxd = s->dists[j];
            far = s->ids[j];
        }
    }
    if (far != SIZE_MAX && maxd > df) links[far] = id;
}

// Links the new node (nn, id) and F on level l in both directions where
// there is room. A full list of F takes the new node by the graph's rule for
// full lists (re-selection, or a swap for its farthest member) when
// may_replace is set. false when working memory fails.
bool link_pair(rk_hnsw_t *h, HnswScratch *s, HnswNode *nn, uint32_t id, const HeapItem &f, uint32_t l,
               bool may_replace) {
    HnswNode *fn = h->slots[f.id];
    // A slot re-filled by a lower node keeps old links: such a node has no
    // list on this level, so it is not linked here.
    if (l > fn->level) return true;
    const uint32_t cap = level_cap(h, l);
    uint32_t *ncount;
    uint32_t *nlinks = node_links(h, nn, l, &ncount);
    if (*ncount < cap) nlinks[(*ncount)++] = static_cast<uint32_t>(f.id);
    uint32_t *fcount;
    uint32_t *flinks = node_links(h, fn, l, &fcount);
    // A re-inserted id may still be listed from its earlier life.
    for (uint32_t j = 0; j < *fcount; ++j)
        if (flinks[j] == id) return true;
    if (*fcount < cap) {
        flinks[(*fcount)++] = id;
    } else if (may_replace) {
        if (h->rules.reselect_full) return reselect_list(h, s, fn, l, &id, 1, h->rules.fill_pruned);
        replace_farthest(h, s, fn, flinks, *fcount, id, f.distance);
    }
    return true;
}

// With no layer-search result on level l, the new node links to the nearest
// of all nodes reaching level l (in slot order), without displacing anyone.
rk_status_t link_to_all(rk_hnsw_t *h, HnswScratch *s, HnswNode *nn, uint32_t id, uint32_t l) {
    size_t n = 0;
    for (uint64_t i = 0; i < h->capacity; ++i) n += h->slots[i] && i != id && h->slots[i]->level >= l;
    if (n == 0) return RK_OK;
    HookPtr<HeapItem> all(hook_array<HeapItem>(n));
    if (!all) return RK_ERR_NO_MEMORY;
    HeapItem *a = all.get();
    size_t k = 0;
    const float *q = node_vector(h, nn);
    const ManyFn many = metric_many(h->metric);
    for (uint64_t i = 0; i < h->capacity; ++i) {
        const HnswNode *x = h->slots[i];
        if (!x || i == id || x->level < l) continue;
        a[k].id = i;
        s->rows[k % s->batch_cap] = node_vector(h, x);
        if (++k % s->batch_cap == 0 || k == n) {
            const size_t b = (k - 1) % s->batch_cap + 1;
            many(q, s->rows, b, h->dim, s->dists);
            for (size_t j = 0; j < b; ++j) a[k - b + j].distance = s->dists[j];
        }
    }
    const size_t kept = select_nearest(a, n, level_cap(h, l), s->picked);
    if (kept == SIZE_MAX) return RK_ERR_NO_MEMORY;
    for (size_t j = 0; j < kept; ++j) (void)link_pair(h, s, nn, id, s->picked[j], l, false);
    return RK_OK;
}

// Removes the pair naming id from the ascending run r[0..n), keeping order.
size_t drop_id(HeapItem *r, size_t n, uint64_t id) {
    size_t k = 0;
    for (size_t i = 0; i < n; ++i)
        if (r[i].id != id) r[k++] = r[i];
    return k;
}

// `pending` counts this row and those after it in the batch.
rk_status_t insert_one(rk_hnsw_t *h, HnswScratch *s, uint64_t id64, const float *vector, uint64_t pending) {
    RK_TRY(hnsw_grow_for(h, id64, pending));
    const uint32_t level = hnsw_draw_level(h);
    HnswNode *nn;
    RK_TRY(hnsw_make_node(h, level, &nn));
    store_form(h->metric, vector, h->dim, node_vector_mut(h, nn));
    const auto id = static_cast<uint32_t>(id64);
    h->slots[id] = nn;
    ++h->ntotal;
    if (h->entry_point < 0) {
        h->entry_point = id;
        h->max_level = level;
        return RK_OK;
    }
    if (!scratch_fit(h, s)) return RK_ERR_NO_MEMORY;
    const Walk w{h, s, node_vector(h, nn), metric_many(h->metric)};
    const auto ep = static_cast<uint64_t>(h->entry_point);
    uint32_t e = node_at(h, ep) ? static_cast<uint32_t>(ep) : kNoId;
    visited_reset(s);
    for (uint32_t l = h->max_level; l > level; --l)
        if (node_at(h, e)) e = greedy_walk(w, e, l);
    const uint32_t top = level < h->max_level ? level : h->max_level;
    for (uint32_t l = top + 1; l-- > 0;) {
        size_t r = layer_search(w, e, l, h->params.ef_construction);
        if (r == SIZE_MAX) return RK_ERR_NO_MEMORY;
        // A re-inserted id is reached through the old links to its slot:
        // the node never becomes its own neighbour.
        r = drop_id(s->results, r, id);
        if (r == 0) {
            RK_TRY(link_to_all(h, s, nn, id, l));
            continue;
        }
        const size_t choose = h->rules.wide_new_lists ? level_cap(h, l) : h->params.m;
        const size_t kept = diversity_select(h, s, s->results, r, choose, h->rules.fill_pruned, s->picked);
        if (kept == SIZE_MAX) return RK_ERR_NO_MEMORY;
        for (size_t j = 0; j < kept; ++j)
            RK_RETURN_IF(!link_pair(h, s, nn, id, s->picked[j], l, true), RK_ERR_NO_MEMORY);
        e = static_cast<uint32_t>(s->results[0].id);
    }
    if (level > h->max_level) {
        h->entry_point = id;
        h->max_level = level;
    }
    return RK_OK;
}

}  // namespace

rk_status_t hnsw_add_batch(rk_hnsw_t *h, const uint64_t *ids, const float *vectors, size_t n) {
    if (!h || !ids || !vectors) return RK_ERR_INVALID_ARG;
    if (n == 0) return RK_OK;
    WriteHold hold(h->lock);
    HnswScratch *s = scratch_acquire(h);
    if (!s) return RK_ERR_NO_MEMORY;
    rk_status_t st = RK_OK;
    for (size_t i = 0; i < n && st == RK_OK; ++i) st = insert_one(h, s, ids[i], vectors + i * h->dim, n - i);
    scratch_release(h, s);
    return st;
}

}  // namespace rk
