// SPDX-License-Identifier: Apache-2.0
// Filtered search: the greedy descent to level 0, then the filtered walk
// there (filtered_layer0 in hnsw_walk.cpp), whose W list holds ef nodes
// and whose R list, the answer, holds the k nearest the filter accepts.
#include <cstring>

#include "core/alloc.h"
#include "index/hnsw.h"
#include "index/hnsw_walk.h"

namespace rk {
namespace {

struct Lists {
    ResultHeap w, r;
    ~Lists() {
        heap_release(&w);
        heap_release(&r);
    }
};

}  // namespace

size_t hnsw_search_filtered(rk_hnsw_t *h, const float *query, size_t k, uint32_t ef, const IdFilter &filter,
                            HeapItem *out) {
    if (!h || !query || !out || k == 0 || !filter.accept) return 0;
    if (ef == 0) ef = hnsw_ef_search(h);
    size_t n = 0;
    {
        ReadHold hold(h->lock);
        if (h->ntotal == 0) return 0;
        // No list needs more room than the table has slots.
        size_t wcap = ef < k ? k : ef, rcap = k;
        if (wcap > h->capacity) wcap = static_cast<size_t>(h->capacity);
        if (rcap > h->capacity) rcap = static_cast<size_t>(h->capacity);
        Lists L;
        if (!heap_init(&L.w, wcap) || !heap_init(&L.r, rcap)) return 0;
        uint32_t e;
        HnswScratch *s = descend(h, query, &e);
        if (!s) return 0;
        const Walk w{h, s, s->query, metric_many(h->metric)};
        const size_t r = filtered_layer0(w, e, rcap, filter, &L.w, &L.r);
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
