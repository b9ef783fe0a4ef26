// SPDX-License-Identifier: Apache-2.0
// Greedy descent, layer search and their working memory.
//
// The layer search keeps its candidates exactly as a plain array would: new
// candidates are appended, the chosen one (smallest distance, the lowest
// position on ties) is replaced by the last. Which candidate is chosen on a
// tie decides the order of the following visits, so the array's positions are
// kept as they are; a min-heap over (distance, position) finds the same
// candidate as a linear scan for the first minimum, in O(log n). Moving the
// last candidate into the freed position only lowers that candidate's key, so
// one sift towards the root restores the heap. NaN distances have no order a
// heap could follow: from the first one on, the search falls back to the
// linear scan over the same array.
#include "index/hnsw_walk.h"

#include <cstring>

#include "core/alloc.h"
#include "rk_vector.h"
#include "vector/kernels.h"

namespace rk {

// ---- metrics ---------------------------------------------------------------

namespace {

void l2_many(const float *q, const float *const *rows, size_t n, uint32_t dim, float *out) {
    kern::l2sq_many(q, rows, n, dim, out);
}
void ip_many(const float *q, const float *const *rows, size_t n, uint32_t dim, float *out) {
    kern::dot_many(q, rows, n, dim, out);
    for (size_t i = 0; i < n; ++i) out[i] = -out[i];
}
void cos_many(const float *q, const float *const *rows, size_t n, uint32_t dim, float *out) {
    kern::dot_many(q, rows, n, dim, out);
    for (size_t i = 0; i < n; ++i) out[i] = 1.0f - out[i];
}
float l2_one(const float *a, const float *b, uint32_t dim) { return kern::l2sq(a, b, dim); }
float ip_one(const float *a, const float *b, uint32_t dim) { return -kern::dot(a, b, dim); }
float cos_one(const float *a, const float *b, uint32_t dim) { return 1.0f - kern::dot(a, b, dim); }

constexpr ManyFn kMany[] = {l2_many, ip_many, cos_many};
constexpr float (*kOne[])(const float *, const float *, uint32_t) = {l2_one, ip_one, cos_one};
constexpr uint32_t kMetrics = 3;

// Below this norm a vector counts as zero for cosine, as in the kernels.
constexpr float kZeroNorm = 1.1920929e-7f;

}  // namespace

ManyFn metric_many(uint32_t metric) { return kMany[metric < kMetrics ? metric : 0]; }

float metric_one(uint32_t metric, const float *a, const float *b, uint32_t dim) {
    return kOne[metric < kMetrics ? metric : 0](a, b, dim);
}

void store_form(uint32_t metric, const float *v, uint32_t dim, float *out) {
    if (metric != RK_METRIC_COSINE) {
        std::memcpy(out, v, static_cast<size_t>(dim) * sizeof(float));
        return;
    }
    const float norm = rk_math_sqrt_f32(kern::sqnorm(v, dim));
    if (norm < kZeroNorm) {
        std::memset(out, 0, static_cast<size_t>(dim) * sizeof(float));
        return;
    }
    for (uint32_t i = 0; i < dim; ++i) out[i] = v[i] / norm;
}

// ---- working memory ----------------------------------------------------------

// Rows the batch kernel computes side by side in one group: a call costs
// about the same for any number of rows up to a multiple of this.
size_t kern_group_rows() {
    static const size_t rows[kern::kPathCount] = {1, 4, 8, 16};
    const int p = static_cast<int>(kern::active_path());
    return p >= 0 && p < kern::kPathCount ? rows[p] : 1;
}

namespace {

// Replaces *p by an uninitialised array of at least `need` T (keeping nothing).
template <class T>
bool fit_array(T *&p, size_t &cap, size_t need) {
    if (cap >= need && p) return true;
    T *np = hook_array<T>(need);
    if (!np) return false;
    rk_free(p);
    p = np;
    cap = need;
    return true;
}

// Grows one array of the candidate set, keeping its first `keep` entries.
template <class T>
bool regrow(T *&p, size_t cap, size_t keep) {
    T *np = hook_array<T>(cap);
    if (!np) return false;
    if (keep) std::memcpy(np, p, keep * sizeof(T));
    rk_free(p);
    p = np;
    return true;
}

bool grow_candidates(HnswScratch *s, size_t n, size_t heap_n) {
    size_t cap = s->cand_cap ? s->cand_cap * 2 : 256;
    if (cap <= n) cap = n + 1;
    if (!regrow(s->cand_id, cap, n) || !regrow(s->cand_d, cap, n) || !regrow(s->cand_heap, cap, heap_n) ||
        !regrow(s->where, cap, n))
        return false;
    s->cand_cap = cap;
    return true;
}

}  // namespace

bool scratch_fit(const rk_hnsw_t *h, HnswScratch *s) {
    if (s->stamp_cap < h->capacity || !s->visits) {
        auto *v = hook_array<HnswScratch::Visit>(h->capacity);
        if (!v) return false;
        std::memset(v, 0, h->capacity * sizeof(*v));
        rk_free(s->visits);
        s->visits = v;
        s->stamp_cap = h->capacity;
        s->gen = 0;
    }
    const size_t batch = static_cast<size_t>(h->cap0) + kSpecRows + 1;
    if (s->batch_cap < batch || !s->rows) {
        const float **rows = hook_array<const float *>(batch);
        uint32_t *ids = hook_array<uint32_t>(batch);
        float *dists = hook_array<float>(batch);
        HeapItem *picked = hook_array<HeapItem>(batch);
        if (!rows || !ids || !dists || !picked) {
            rk_free(rows), rk_free(ids), rk_free(dists), rk_free(picked);
            return false;
        }
        rk_free(s->rows), rk_free(s->ids), rk_free(s->dists), rk_free(s->picked);
        s->rows = rows, s->ids = ids, s->dists = dists, s->picked = picked;
        s->batch_cap = s->picked_cap = batch;
    }
    // A removal re-selects from two lists of level 0 at once.
    const size_t sel = 2 * static_cast<size_t>(h->cap0) + 2;
    if (s->sel_cap < sel || !s->sel_in) {
        HeapItem *in = hook_array<HeapItem>(sel);
        HeapItem *out = hook_array<HeapItem>(sel);
        if (!in || !out) {
            rk_free(in), rk_free(out);
            return false;
        }
        rk_free(s->sel_in), rk_free(s->sel_out);
        s->sel_in = in, s->sel_out = out;
        s->sel_cap = sel;
    }
    return fit_array(s->query, s->query_cap, h->dim);
}

// gen moves in steps of two so that both gen and gen - 1 are values no
// earlier set used; stamps start at 0, which neither ever equals.
void visited_reset(HnswScratch *s) {
    s->gen += 2;
    if (s->gen < 2) {
        std::memset(s->visits, 0, s->stamp_cap * sizeof(*s->visits));
        s->gen = 2;
    }
}

namespace {

HnswScratch *scratch_new() {
    auto *s = hook_array<HnswScratch>(1);
    if (s) std::memset(s, 0, sizeof(*s));
    return s;
}

void scratch_free(HnswScratch *s) {
    if (!s) return;
    rk_free(s->visits);
    rk_free(s->cand_id), rk_free(s->cand_d), rk_free(s->cand_heap), rk_free(s->where);
    rk_free(s->results);
    rk_free(s->rows), rk_free(s->ids), rk_free(s->dists), rk_free(s->picked);
    rk_free(s->sel_in), rk_free(s->sel_out), rk_free(s->alive);
    rk_free(s->query);
    rk_free(s);
}

// Private scratch buffers (not from the pool) are marked by this slot number.
constexpr int kPrivate = -1;

}  // namespace

HnswScratch *scratch_acquire(rk_hnsw_t *h) {
    for (int i = 0; i < ScratchPool::kSlots; ++i) {
        bool expected = false;
        if (!h->pool.busy[i].compare_exchange_strong(expected, true, std::memory_order_acquire)) continue;
        if (!h->pool.items[i]) h->pool.items[i] = scratch_new();
        if (!h->pool.items[i]) {
            h->pool.busy[i].store(false, std::memory_order_release);
            return nullptr;
        }
        h->pool.items[i]->pool_slot = i;
        return h->pool.items[i];
    }
    HnswScratch *s = scratch_new();
    if (s) s->pool_slot = kPrivate;
    return s;
}

void scratch_release(rk_hnsw_t *h, HnswScratch *s) {
    if (!s) return;
    if (s->pool_slot == kPrivate) {
        scratch_free(s);
        return;
    }
    h->pool.busy[s->pool_slot].store(false, std::memory_order_release);
}

void scratch_pool_free(rk_hnsw_t *h) {
    for (int i = 0; i < ScratchPool::kSlots; ++i) {
        scratch_free(h->pool.items[i]);
        h->pool.items[i] = nullptr;
        h->pool.busy[i].store(false, std::memory_order_relaxed);
    }
}

// ---- neighbour gathering -------------------------------------------------

// Collects the ids of c's level-l list that name an existing node not yet
// visited, marking them visited, with their vectors. Returns how many.
size_t gather(const Walk &w, uint32_t c, uint32_t l) {
    const rk_hnsw_t *h = w.h;
    HnswScratch *s = w.s;
    uint32_t *count;
    const uint32_t *links = node_links(h, h->slots[c], l, &count);
    if (!links) return 0;
    const uint32_t lim = *count;
    size_t b = 0;
    for (uint32_t j = 0; j < lim; ++j) {
        const uint32_t id = links[j];
        const HnswNode *nd = node_at(h, id);
        if (!nd || s->visits[id].stamp == s->gen) continue;
        s->visits[id].stamp = s->gen;
        const float *v = node_vector(h, nd);
        kern::fetch_row(v, h->dim);
        s->rows[b] = v;
        s->ids[b] = id;
        ++b;
    }
    return b;
}

uint32_t greedy_walk(const Walk &w, uint32_t e, uint32_t l) {
    const rk_hnsw_t *h = w.h;
    HnswScratch *s = w.s;
    uint32_t c = e, best = e;
    float bestd = metric_one(h->metric, w.q, node_vector(h, h->slots[e]), h->dim);
    for (;;) {
        const size_t b = gather(w, c, l);
        if (b) w.many(w.q, s->rows, b, h->dim, s->dists);
        for (size_t j = 0; j < b; ++j) {
            if (s->dists[j] < bestd) {
                bestd = s->dists[j];
                best = s->ids[j];
            }
        }
        if (best == c) return c;
        c = best;
    }
}

// ---- candidate set -------------------------------------------------------

namespace {

inline bool key_less(const CandKey &a, const CandKey &b) {
    return a.d < b.d || (a.d == b.d && a.pos < b.pos);
}

struct Candidates {
    HnswScratch *s;
    size_t n = 0;         // entries in the array
    size_t hn = 0;        // entries in the heap
    bool linear = false;  // a NaN arrived: choose by scanning the array

    void sift_up(size_t k) {
        CandKey *hp = s->cand_heap;
        const CandKey x = hp[k];
        while (k > 0) {
            const size_t p = (k - 1) / 2;
            if (!key_less(x, hp[p])) break;
            hp[k] = hp[p];
            s->where[hp[k].pos] = static_cast<uint32_t>(k);
            k = p;
        }
        hp[k] = x;
        s->where[x.pos] = static_cast<uint32_t>(k);
    }

    void sift_down(size_t k) {
        CandKey *hp = s->cand_heap;
        const CandKey x = hp[k];
        for (;;) {
            size_t c = 2 * k + 1;
            if (c >= hn) break;
            if (c + 1 < hn && key_less(hp[c + 1], hp[c])) ++c;
            if (!key_less(hp[c], x)) break;
            hp[k] = hp[c];
            s->where[hp[k].pos] = static_cast<uint32_t>(k);
            k = c;
        }
        hp[k] = x;
        s->where[x.pos] = static_cast<uint32_t>(k);
    }

    bool push(uint32_t id, float d) {
        if (n == s->cand_cap && !grow_candidates(s, n, hn)) return false;
        s->cand_id[n] = id;
        s->cand_d[n] = d;
        if (d != d) linear = true;
        if (!linear) {
            s->cand_heap[hn] = CandKey{d, static_cast<uint32_t>(n)};
            sift_up(hn++);
        }
        ++n;
        return true;
    }

    // Takes out the first candidate of smallest distance; the last one moves
    // into its place.
    void pop(uint32_t *id, float *d) {
        size_t p;
        if (linear) {
            p = 0;
            for (size_t i = 1; i < n; ++i)
                if (s->cand_d[i] < s->cand_d[p]) p = i;
        } else {
            p = s->cand_heap[0].pos;
            if (--hn > 0) {
                s->cand_heap[0] = s->cand_heap[hn];
                sift_down(0);
            }
        }
        *id = s->cand_id[p];
        *d = s->cand_d[p];
        const size_t last = n - 1;
        if (p != last) {
            s->cand_id[p] = s->cand_id[last];
            s->cand_d[p] = s->cand_d[last];
            if (!linear) {
                const size_t k = s->where[last];
                s->cand_heap[k].pos = static_cast<uint32_t>(p);
                sift_up(k);
            }
        }
        --n;
    }
};

}  // namespace

namespace {

// Queues, for one batch, the ids among links[0..lim) that name an existing,
// unvisited node whose distance is not known yet; they count as known from
// here on (the batch is computed before anyone reads them).
void queue_missing(const Walk &w, const uint32_t *links, uint32_t lim, size_t *b, size_t max) {
    const rk_hnsw_t *h = w.h;
    HnswScratch *s = w.s;
    const uint32_t known = s->gen - 1;
    // A list's table entries and visit stamps lie anywhere in tables larger
    // than the caches: ask for all of them before the first is needed.
    for (uint32_t j = 0; j < lim; ++j) {
        const uint32_t id = links[j];
        if (id >= h->capacity) continue;
        __builtin_prefetch(h->slots + id);
        __builtin_prefetch(s->visits + id);
    }
    for (uint32_t j = 0; j < lim && *b < max; ++j) {
        const uint32_t id = links[j];
        const HnswNode *nd = node_at(h, id);
        if (!nd || s->visits[id].stamp == s->gen || s->visits[id].stamp == known) continue;
        s->visits[id].stamp = known;
        const float *v = node_vector(h, nd);
        kern::fetch_row(v, h->dim);
        __builtin_prefetch(nd);  // its list, should it be expanded
        s->rows[*b] = v;
        s->ids[*b] = id;
        ++*b;
    }
}

// Distances are pure functions of the query and a node, so computing some
// early changes no result. The batch kernel takes as long for a partial group
// of rows as for a full one, so the group an expansion needs is filled with
// the missing neighbour distances of the next candidates to be expanded (the
// top of the candidate heap).
void speculate(const Walk &w, const Candidates &cand, uint32_t l, float root, size_t *b) {
    const rk_hnsw_t *h = w.h;
    HnswScratch *s = w.s;
    const size_t group = kern_group_rows();
    const size_t target = (*b + group - 1) / group * group;
    const size_t top = cand.hn < kSpecCands ? cand.hn : kSpecCands;
    for (size_t k = 0; k < top && *b < target; ++k) {
        if (s->cand_heap[k].d > root) continue;
        const uint32_t c = s->cand_id[s->cand_heap[k].pos];
        uint32_t *count;
        const uint32_t *links = node_links(h, h->slots[c], l, &count);
        if (!links) continue;
        queue_missing(w, links, *count, b, target);
    }
}

// Leaves beside each listed node the walk has not measured yet its
// distance to the query: one batch, topped up with the distances the next
// candidates will need. A filtered walk's filter hears of the batch before
// and after its distances (IdFilter::warm).
void measure_list(const Walk &w, const Candidates &cand, const uint32_t *links, uint32_t lim, uint32_t l,
                  float root, const IdFilter *f = nullptr) {
    HnswScratch *s = w.s;
    size_t b = 0;
    queue_missing(w, links, lim, &b, SIZE_MAX);
    if (b && !cand.linear) speculate(w, cand, l, root, &b);
    if (b) {
        const bool warm = f && f->warm;
        if (warm) f->warm(f->ctx, s->ids, b, 0);
        w.many(w.q, s->rows, b, w.h->dim, s->dists);
        for (size_t j = 0; j < b; ++j) s->visits[s->ids[j]].d = s->dists[j];
        if (warm) f->warm(f->ctx, s->ids, b, 1);
    }
}

}  // namespace

size_t filtered_layer0(const Walk &w, uint32_t e, size_t k, const IdFilter &f, ResultHeap *W, ResultHeap *R) {
    const rk_hnsw_t *h = w.h;
    HnswScratch *s = w.s;
    if (!node_at(h, e)) return 0;
    visited_reset(s);
    s->visits[e].stamp = s->gen;
    Candidates cand{s};
    // Offers a measured node to both lists; true when it should be queued.
    // The filter is asked only about nodes near enough to enter R.
    auto offer = [&](uint32_t id, float d) {
        const bool near = W->count < W->capacity || d < heap_root(W);
        if (near) heap_push(W, id, d);
        if ((R->count < R->capacity || d < heap_root(R)) && f.accept(f.ctx, id)) heap_push(R, id, d);
        return (near || R->count < k) && d == d;
    };
    const float de = metric_one(h->metric, w.q, node_vector(h, h->slots[e]), h->dim);
    uint64_t spent = 1;
    if (offer(e, de) && !cand.push(e, de)) return SIZE_MAX;
    while (cand.n > 0) {
        uint32_t c;
        float cd;
        cand.pop(&c, &cd);
        if (R->count >= k && W->count == W->capacity && cd > heap_root(W)) break;
        if (f.budget && spent >= f.budget) break;
        uint32_t *count;
        const uint32_t *links = node_links(h, h->slots[c], 0, &count);
        if (!links) continue;
        const uint32_t lim = *count;
        measure_list(w, cand, links, lim, 0, heap_root(W), &f);
        for (uint32_t j = 0; j < lim; ++j) {
            const uint32_t id = links[j];
            if (!node_at(h, id) || s->visits[id].stamp == s->gen) continue;
            s->visits[id].stamp = s->gen;
            ++spent;
            const float d = s->visits[id].d;
            if (offer(id, d) && !cand.push(id, d)) return SIZE_MAX;
        }
    }
    return static_cast<size_t>(R->count);
}

size_t layer_search(const Walk &w, uint32_t e, uint32_t l, size_t ef) {
    const rk_hnsw_t *h = w.h;
    HnswScratch *s = w.s;
    const HnswNode *en = node_at(h, e);
    // A heap that can hold nothing yields nothing, whatever the walk visits.
    if (!en || ef == 0) return 0;
    // A layer search pushes each slot at most once, so a heap larger than the
    // table behaves exactly like one of the table's size.
    if (ef > h->capacity) ef = static_cast<size_t>(h->capacity);
    if (!fit_array(s->results, s->results_cap, ef)) return SIZE_MAX;

    visited_reset(s);
    s->visits[e].stamp = s->gen;
    ResultHeap heap;
    heap_attach(&heap, s->results, ef);
    Candidates cand{s};
    const float de = metric_one(h->metric, w.q, node_vector(h, en), h->dim);
    heap_push(&heap, e, de);
    if (!cand.push(e, de)) return SIZE_MAX;

    while (cand.n > 0) {
        uint32_t c;
        float cd;
        cand.pop(&c, &cd);
        const float root = heap_root(&heap);
        if (cd > root) break;
        uint32_t *count;
        const uint32_t *links = node_links(h, h->slots[c], l, &count);
        if (!links) continue;
        const uint32_t lim = *count;
        measure_list(w, cand, links, lim, l, root);
        // The expansion itself, in list order, with the distances at hand.
        // A neighbour no nearer than the root of a full heap can neither
        // enter the results nor lead anywhere the stop rule would let the
        // walk go: it is visited but not queued.
        for (uint32_t j = 0; j < lim; ++j) {
            const uint32_t id = links[j];
            if (!node_at(h, id) || s->visits[id].stamp == s->gen) continue;
            s->visits[id].stamp = s->gen;
            const float d = s->visits[id].d;
            if (heap.count == heap.capacity && !(d < heap_root(&heap))) continue;
            heap_push(&heap, id, d);
            if (!cand.push(id, d)) return SIZE_MAX;
        }
    }
    sort_hits(heap.items, heap.count);
    return heap.count;
}

}  // namespace rk

// ---- neighbour selection -------------------------------------------------
//
// Kept candidates rule out the ones after them: a candidate that is not
// strictly nearer to the base than to some kept one before it drops out. The
// candidates are taken in chunks of kSelectChunk: a chunk is first measured
// against the neighbours kept so far, then walked in order, each candidate it
// keeps measured against the rest of the chunk. A candidate is thus compared
// with the kept ones before it until one rules it out, and with no others;
// chunks past the one that fills the list are never measured (with the whole
// candidate list at once, those were half the distances selection computed).

namespace rk {
namespace {

constexpr size_t kSelectChunk = 32;
enum : unsigned char { kOut = 0, kRunning = 1, kKept = 2 };

// Two kept neighbours' distances to the same candidates, in the graph's
// metric (as metric_many gives them).
void pair_distances(uint32_t metric, const float *v0, const float *v1, const float *const *rows, size_t n,
                    uint32_t dim, float *d0, float *d1) {
    if (metric != RK_METRIC_IP && metric != RK_METRIC_COSINE) {
        kern::l2sq_many2(v0, v1, rows, n, dim, d0, d1);
        return;
    }
    kern::dot_many2(v0, v1, rows, n, dim, d0, d1);
    for (size_t i = 0; i < n; ++i) {
        d0[i] = metric == RK_METRIC_IP ? -d0[i] : 1.0f - d0[i];
        d1[i] = metric == RK_METRIC_IP ? -d1[i] : 1.0f - d1[i];
    }
}

// As rule_out, for two kept neighbours at once: one pass over the running
// candidates of [from, to) (at most kSelectChunk) with two sums side by
// side, where one at a time would be two chains in a row. Returns how many
// were running before.
size_t rule_out2(const rk_hnsw_t *h, const float *v0, const float *v1, const HeapItem *cand, size_t from,
                 size_t to, unsigned char *state) {
    const float *rows[kSelectChunk];
    uint32_t at[kSelectChunk];
    float d0[kSelectChunk], d1[kSelectChunk];
    size_t b = 0;
    for (size_t j = from; j < to; ++j) {
        if (state[j] != kRunning) continue;
        rows[b] = node_vector(h, h->slots[cand[j].id]);
        at[b++] = static_cast<uint32_t>(j);
    }
    if (b == 0) return 0;
    pair_distances(h->metric, v0, v1, rows, b, h->dim, d0, d1);
    for (size_t t = 0; t < b; ++t) {
        const float own = cand[at[t]].distance;
        if (!(own < d0[t]) || !(own < d1[t])) state[at[t]] = kOut;
    }
    return b;
}

// Measures the running candidates of [from, to) against v, in batches, and
// rules out those not strictly nearer to the base than to v. Returns how
// many were still running.
size_t rule_out(const rk_hnsw_t *h, HnswScratch *s, ManyFn many, const float *v, const HeapItem *cand,
                size_t from, size_t to, unsigned char *state) {
    size_t b = 0, seen = 0;
    for (size_t j = from; j <= to; ++j) {
        if (j < to && state[j] == kRunning) {
            s->rows[b] = node_vector(h, h->slots[cand[j].id]);
            s->ids[b] = static_cast<uint32_t>(j);
            ++b;
            ++seen;
        }
        if (b == s->batch_cap || (j == to && b)) {
            many(v, s->rows, b, h->dim, s->dists);
            for (size_t t = 0; t < b; ++t)
                if (!(cand[s->ids[t]].distance < s->dists[t])) state[s->ids[t]] = kOut;
            b = 0;
        }
    }
    return seen;
}

}  // namespace

size_t diversity_select(const rk_hnsw_t *h, HnswScratch *s, const HeapItem *cand, size_t n, size_t cap,
                        bool fill, HeapItem *out) {
    if (cap == 0 || n == 0) return 0;
    if (!fit_array(s->alive, s->alive_cap, n)) return SIZE_MAX;
    unsigned char *state = s->alive;
    std::memset(state, kRunning, n);
    const ManyFn many = metric_many(h->metric);
    size_t kept = 0;
    for (size_t a = 0; a < n && kept < cap; a += kSelectChunk) {
        const size_t z = n - a < kSelectChunk ? n : a + kSelectChunk;
        // Kept neighbours two at a time; the verdicts do not depend on the
        // order, and a pass stops once nothing in the chunk is running.
        size_t t = 0;
        bool running = true;
        for (; running && t + 2 <= kept; t += 2)
            running = rule_out2(h, node_vector(h, h->slots[out[t].id]), node_vector(h, h->slots[out[t + 1].id]),
                                cand, a, z, state) != 0;
        if (running && t < kept) rule_out(h, s, many, node_vector(h, h->slots[out[t].id]), cand, a, z, state);
        for (size_t i = a; i < z && kept < cap; ++i) {
            if (state[i] != kRunning) continue;
            state[i] = kKept;
            out[kept++] = cand[i];
            if (kept < cap) rule_out(h, s, many, node_vector(h, h->slots[cand[i].id]), cand, i + 1, z, state);
        }
    }
    if (fill)
        for (size_t i = 0; i < n && kept < cap; ++i)
            if (state[i] != kKept) out[kept++] = cand[i];
    return kept;
}

bool reselect_list(rk_hnsw_t *h, HnswScratch *s, HnswNode *node, uint32_t l, const uint32_t *extra,
                   size_t n_extra, bool fill) {
    uint32_t *count;
    uint32_t *links = node_links(h, node, l, &count);
    if (!links) return true;
    size_t n = 0;
    for (uint32_t j = 0; j < *count; ++j)
        if (node_at(h, links[j])) s->sel_in[n++].id = links[j];
    for (size_t j = 0; j < n_extra && n < s->sel_cap; ++j)
        if (node_at(h, extra[j])) s->sel_in[n++].id = extra[j];
    const float *v = node_vector(h, node);
    const ManyFn many = metric_many(h->metric);
    for (size_t j = 0; j < n; j += s->batch_cap) {
        const size_t b = n - j < s->batch_cap ? n - j : s->batch_cap;
        for (size_t t = 0; t < b; ++t) s->rows[t] = node_vector(h, h->slots[s->sel_in[j + t].id]);
        many(v, s->rows, b, h->dim, s->dists);
        for (size_t t = 0; t < b; ++t) s->sel_in[j + t].distance = s->dists[t];
    }
    sort_hits(s->sel_in, n);
    const size_t kept = diversity_select(h, s, s->sel_in, n, level_cap(h, l), fill, s->sel_out);
    if (kept == SIZE_MAX) return false;
    for (size_t j = 0; j < kept; ++j) links[j] = static_cast<uint32_t>(s->sel_out[j].id);
    *count = static_cast<uint32_t>(kept);
    return true;
}

}  // namespace rk
