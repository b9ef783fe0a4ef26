// SPDX-License-Identifier: Apache-2.0
// The filtered walk over level 0 of the graph.
//
// The walk keeps two lists: W, the ef nearest nodes met so far whatever the
// filter says, which steers and stops the walk exactly as in the plain layer
// search; and R, the k nearest nodes the filter accepts, which is the answer.
// Refused nodes thus still carry the walk through the parts of the graph
// where matches are rare. While R holds fewer than k nodes every neighbour
// met is queued and the walk goes on past W's stop rule, until R fills, the
// candidates run out or the distance budget is spent. The filter is asked
// only about nodes near enough to enter R, once per node.
#include <cstring>

#include "core/alloc.h"
#include "index/hnsw.h"
#include "index/hnsw_walk.h"

namespace rk {
namespace {

// A min-heap of (distance, id) candidates, ordered by distance then id so the
// walk is the same on every run. NaN distances are never queued.
struct MinQueue {
    HeapItem *a = nullptr;
    size_t n = 0, cap = 0;

    ~MinQueue() { rk_free(a); }
    static bool less(const HeapItem &x, const HeapItem &y) {
        return x.distance < y.distance || (x.distance == y.distance && x.id < y.id);
    }
    bool push(uint64_t id, float d) {
        if (n == cap) {
            const size_t nc = cap ? cap * 2 : 256;
            HeapItem *na = hook_array<HeapItem>(nc);
            if (!na) return false;
            if (n) std::memcpy(na, a, n * sizeof(HeapItem));
            rk_free(a);
            a = na;
            cap = nc;
        }
        size_t k = n++;
        const HeapItem x{id, d};
        while (k > 0) {
            const size_t p = (k - 1) / 2;
            if (!less(x, a[p])) break;
            a[k] = a[p];
            k = p;
        }
        a[k] = x;
        return true;
    }
    HeapItem pop() {
        const HeapItem top = a[0];
        const HeapItem x = a[--n];
        size_t k = 0;
        for (;;) {
            size_t c = 2 * k + 1;
            if (c >= n) break;
            if (c + 1 < n && less(a[c + 1], a[c])) ++c;
            if (!less(a[c], x)) break;
            a[k] = a[c];
            k = c;
        }
        if (n) a[k] = x;
        return top;
    }
};

bool entry_of(const rk_hnsw_t *h, uint32_t *e, uint32_t *top) {
    if (h->ntotal == 0 || h->entry_point < 0) return false;
    if (node_at(h, static_cast<uint64_t>(h->entry_point))) {
        *e = static_cast<uint32_t>(h->entry_point);
        *top = h->max_level;
        return true;
    }
    for (uint64_t i = 0; i < h->capacity; ++i) {
        if (h->slots[i]) {
            *e = static_cast<uint32_t>(i);
            *top = h->slots[i]->level;
            return true;
        }
    }
    return false;
}

struct Lists {
    ResultHeap w, r;
    ~Lists() {
        heap_release(&w);
        heap_release(&r);
    }
};

// Offers a measured node to both lists; returns whether it should be queued.
bool offer(Lists &L, const IdFilter &f, size_t k, uint32_t id, float d) {
    const bool near = L.w.count < L.w.capacity || d < heap_root(&L.w);
    if (near) heap_push(&L.w, id, d);
    if ((L.r.count < L.r.capacity || d < heap_root(&L.r)) && f.accept(f.ctx, id)) heap_push(&L.r, id, d);
    return (near || L.r.count < k) && d == d;
}

// The walk itself; returns |R| or SIZE_MAX when memory fails.
size_t walk_level0(const Walk &w, uint32_t e, size_t k, const IdFilter &f, Lists &L) {
    const rk_hnsw_t *h = w.h;
    HnswScratch *s = w.s;
    visited_reset(s);
    s->visits[e].stamp = s->gen;
    MinQueue cand;
    const float de = metric_one(h->metric, w.q, node_vector(h, h->slots[e]), h->dim);
    uint64_t spent = 1;
    if (offer(L, f, k, e, de) && !cand.push(e, de)) return SIZE_MAX;
    while (cand.n > 0) {
        const HeapItem c = cand.pop();
        if (L.r.count >= k && L.w.count == L.w.capacity && c.distance > heap_root(&L.w)) break;
        if (f.budget && spent >= f.budget) break;
        const size_t b = gather(w, c.id, 0);
        if (b == 0) continue;
        w.many(w.q, s->rows, b, h->dim, s->dists);
        spent += b;
        for (size_t j = 0; j < b; ++j)
            if (offer(L, f, k, s->ids[j], s->dists[j]) && !cand.push(s->ids[j], s->dists[j])) return SIZE_MAX;
    }
    return static_cast<size_t>(L.r.count);
}

}  // namespace

size_t hnsw_search_filtered(rk_hnsw_t *h, const float *query, size_t k, uint32_t ef, const IdFilter &filter,
                            HeapItem *out) {
    if (!h || !query || !out || k == 0 || !filter.accept) return 0;
    if (ef == 0) ef = hnsw_ef_search(h);
    size_t n = 0;
    {
        ReadHold hold(h->lock);
        uint32_t e, top;
        if (!entry_of(h, &e, &top)) return 0;
        // No list needs more room than the table has slots.
        size_t wcap = ef < k ? k : ef, rcap = k;
        if (wcap > h->capacity) wcap = static_cast<size_t>(h->capacity);
        if (rcap > h->capacity) rcap = static_cast<size_t>(h->capacity);
        Lists L;
        if (!heap_init(&L.w, wcap) || !heap_init(&L.r, rcap)) return 0;
        HnswScratch *s = scratch_acquire(h);
        if (!s || !scratch_fit(h, s)) {
            scratch_release(h, s);
            return 0;
        }
        store_form(h->metric, query, h->dim, s->query);
        const Walk w{h, s, s->query, metric_many(h->metric)};
        visited_reset(s);
        for (uint32_t l = top; l >= 1; --l) e = greedy_walk(w, e, l);
        const size_t r = walk_level0(w, e, rcap, filter, L);
        if (r != SIZE_MAX) {
            n = r;
            std::memcpy(out, L.r.items, n * sizeof(HeapItem));
        }
        scratch_release(h, s);
    }
    sort_hits(out, n);
    return n;
}

}  // namespace rk
