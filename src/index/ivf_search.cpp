// SPDX-License-Identifier: Apache-2.0
// IVF search: rank the centroids, scan the nprobe nearest lists into a
// bounded heap, hand the hits out nearest first.
#include <algorithm>
#include <atomic>
#include <cfloat>
#include <cstring>

#include "core/alloc.h"
#include "index/heap.h"
#include "index/ivf.h"
#include "index/ivf_internal.h"
#include "index/kmeans.h"
#include "rk_error.h"
#include "rk_vector.h"
#include "vector/kernels.h"

namespace rk {
namespace {

struct Probe {
    float d;
    uint32_t list;
};

// The probe order is that of a selection sort over (list, score) pairs held
// in list order: step j swaps the first smallest score of positions j.. into
// position j. Those swaps can reorder equal scores, so the cheap way below
// (a partial sort by score, then list) is taken only when no score among the
// chosen ones is tied or NaN; otherwise the selection sort runs as such.
void select_exact(Probe *p, uint32_t nlist, uint32_t np) {
    for (uint32_t j = 0; j < np; ++j) {
        uint32_t m = j;
        for (uint32_t i = j + 1; i < nlist; ++i)
            if (p[i].d < p[m].d) m = i;
        std::swap(p[j], p[m]);
    }
}

bool select_fast(Probe *p, uint32_t nlist, uint32_t np) {
    for (uint32_t i = 0; i < nlist; ++i)
        if (p[i].d != p[i].d) return false;
    auto less = [](const Probe &a, const Probe &b) { return a.d < b.d || (a.d == b.d && a.list < b.list); };
    if (np < nlist) std::nth_element(p, p + np - 1, p + nlist, less);
    std::sort(p, p + np, less);
    for (uint32_t j = 1; j < np; ++j)
        if (p[j].d == p[j - 1].d) return false;
    const float edge = p[np - 1].d;
    for (uint32_t i = np; i < nlist; ++i)
        if (p[i].d == edge) return false;
    return true;
}

// Up to this many probes are kept by insertion during one pass over the
// scores; more go through the partial sort.
constexpr uint32_t kFewProbes = 32;

// The fast path for a few probes: one pass keeps the np smallest (score,
// list) pairs in order, by insertion behind a single comparison with the
// current last, which almost never passes once the list is full. A partial
// sort of all the pairs spends a few mispredicted branches on each: with
// 1,265 lists that took a third of a one-probe search.
bool select_few(Probe *p, const float *scores, uint32_t nlist, uint32_t np) {
    uint32_t have = 0;
    bool nan = false;
    for (uint32_t i = 0; i < nlist; ++i) {
        const float d = scores[i];
        nan |= d != d;
        if (have == np && !(d < p[np - 1].d)) continue;
        uint32_t at = have < np ? have++ : np - 1;
        for (; at > 0 && d < p[at - 1].d; --at) p[at] = p[at - 1];
        p[at] = Probe{d, i};
    }
    if (nan) return false;
    for (uint32_t j = 1; j < np; ++j)
        if (p[j].d == p[j - 1].d) return false;
    // The last chosen score must be nobody else's.
    const float edge = p[np - 1].d;
    uint32_t at_edge = 0;
    for (uint32_t i = 0; i < nlist; ++i) at_edge += scores[i] == edge;
    return at_edge == 1;
}

void select_probes(Probe *p, const float *scores, uint32_t nlist, uint32_t np) {
    if (np <= kFewProbes && select_few(p, scores, nlist, np)) return;
    for (uint32_t i = 0; i < nlist; ++i) p[i] = Probe{scores[i], i};
    if (np > kFewProbes && select_fast(p, nlist, np)) return;
    for (uint32_t i = 0; i < nlist; ++i) p[i] = Probe{scores[i], i};
    for (uint32_t i = 0; i < nlist; ++i) p[i] = Probe{scores[i], i};
    select_exact(p, nlist, np);
}

struct Query {
    const rk_ivf_t *ivf;
    CodeQuery cq;
};

// With a filter, an entry near enough to enter the heap enters only when the
// filter accepts its id; the others are skipped as if absent.
template <bool kFiltered>
void offer(ResultHeap *heap, const uint64_t *ids, const float *d, size_t n, const IdFilter *f) {
    for (size_t i = 0; i < n; ++i) {
        // A full heap drops anything not strictly below its root: test that
        // here so most entries never reach the push.
        if (heap->count == heap->capacity && !(heap->items[0].distance > d[i])) continue;
        if constexpr (kFiltered) {
            if (!f->accept(f->ctx, ids[i])) continue;
        }
        heap_push(heap, ids[i], d[i]);
    }
}

// Entries [at, at + n) of the chunk; the `ahead` entries after them are
// scored next, and fetched meanwhile.
void score_float(const Query &qy, const IvfChunk &c, size_t at, size_t n, size_t ahead, float *out) {
    const rk_ivf_t *ivf = qy.ivf;
    const float *base = reinterpret_cast<const float *>(c.payload) + at * ivf->dim;
    const float *q = qy.cq.q;
    switch (ivf->metric) {
        case 1:
            kern::dot_block_ahead(q, base, n, ahead, ivf->dim, ivf->dim, out);
            for (size_t i = 0; i < n; ++i) out[i] = -out[i];
            return;
        case 2:
            kern::dot_block_ahead(q, base, n, ahead, ivf->dim, ivf->dim, out);
            for (size_t i = 0; i < n; ++i) {
                out[i] = cosine_from(out[i], qy.cq.qnorm, c.norms[at + i]);
            }
            return;
        default:
            kern::l2sq_block_ahead(q, base, n, ahead, ivf->dim, ivf->dim, out);
            return;
    }
}

template <bool kFiltered>
uint64_t scan_list(const Query &qy, const IvfList &l, ResultHeap *heap, const IdFilter *f) {
    const rk_ivf_t *ivf = qy.ivf;
    float d[kScanBlock];
    uint64_t left = l.count;
    for (uint32_t c = 0; c < l.nchunks && left; ++c) {
        const IvfChunk &ch = l.chunks[c];
        const uint64_t in_chunk = std::min<uint64_t>(ch.cap, left);
        left -= in_chunk;
        for (uint64_t at = 0; at < in_chunk; at += kScanBlock) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(kScanBlock, in_chunk - at));
            const unsigned char *codes = ch.payload + at * ivf->payload_bytes;
            switch (ivf->payload) {
                case IvfPayload::kPq:
                    score_pq(ivf, qy.cq, codes, n, d);
                    break;
                case IvfPayload::kSq:
                    score_sq(ivf, qy.cq, codes, n, d);
                    break;
                default:
                    score_float(qy, ch, static_cast<size_t>(at), n,
                                static_cast<size_t>(std::min<uint64_t>(kScanBlock, in_chunk - at - n)), d);
                    break;
            }
            offer<kFiltered>(heap, ch.ids + at, d, n, f);
        }
    }
    return l.count;
}

// Scans the chosen lists, each under its read lock, into the heap.
bool scan_probes(const Query &qy, const Probe *probes, uint32_t np, ResultHeap *heap) {
    for (uint32_t j = 0; j < np; ++j) {
        const IvfList &l = qy.ivf->lists[probes[j].list];
        if (!l.lock) return false;
        rk_rwlock_rdlock(l.lock);
        scan_list<false>(qy, l, heap, nullptr);
        rk_rwlock_rdunlock(l.lock);
    }
    return true;
}

// Readies a query for the list scans: its norm for cosine and, for coded
// lists, the tables in scratch. False when scratch cannot be had.
bool prepare_query(const rk_ivf_t *ivf, const float *query, Query *qy, HookPtr<float> *scratch) {
    qy->cq.q = query;
    if (ivf->metric == 2) qy->cq.qnorm = rk_math_sqrt_f32(kern::dot(query, query, ivf->dim));
    if (const size_t extra = code_scratch_floats(ivf)) {
        *scratch = hook_unique_array<float>(extra);
        if (!*scratch) return false;
        prepare_code_query(ivf, scratch->get(), &qy->cq);
    }
    return true;
}

}  // namespace

uint32_t ivf_nprobe(const rk_ivf_t *ivf) {
    return std::atomic_ref<const uint32_t>(ivf->params.nprobe).load(std::memory_order_relaxed);
}

void ivf_set_nprobe(rk_ivf_t *ivf, uint32_t nprobe) {
    std::atomic_ref<uint32_t>(ivf->params.nprobe).store(nprobe, std::memory_order_relaxed);
}

uint64_t ivf_search(const rk_ivf_t *ivf, const float *query, uint64_t k, IvfHit *out) {
    if (!ivf) return 0;
    return ivf_search_probes(ivf, query, k, ivf_nprobe(ivf), out);
}

uint64_t ivf_search_probes(const rk_ivf_t *ivf, const float *query, uint64_t k, uint32_t nprobe,
                           IvfHit *out) {
    uint64_t n = 0;
    ivf_search_batch(ivf, query, 1, k, nprobe, out, &n);
    return n;
}

void ivf_search_batch(const rk_ivf_t *ivf, const float *queries, uint64_t nq, uint64_t k, uint32_t nprobe,
                      IvfHit *out, uint64_t *counts) {
    if (!counts) return;
    for (uint64_t i = 0; i < nq; ++i) counts[i] = 0;
    if (!ivf || !queries || !out || k == 0 || !ivf->trained) return;
    const uint64_t ntotal = ivf_ntotal(ivf);
    if (ntotal == 0) return;
    const uint32_t np = std::min(nprobe, ivf->nlist);
    if (np == 0) return;

    const size_t group = nq < kIvfRankGroup ? static_cast<size_t>(nq) : kIvfRankGroup;
    HookPtr<float> scores = hook_unique_array<float>(group * ivf->nlist);
    HookPtr<Probe> probes = hook_unique_array<Probe>(ivf->nlist);
    if (!scores || !probes) return;
    Query qy{ivf, CodeQuery{}};
    HookPtr<float> scratch;
    // The heap never needs more room than there are entries to offer.
    ResultHeap heap;
    if (!heap_init(&heap, static_cast<size_t>(std::min(k, ntotal)))) return;
    for (uint64_t first = 0; first < nq; first += group) {
        const size_t g = nq - first < group ? static_cast<size_t>(nq - first) : group;
        const float *qs[kIvfRankGroup];
        for (size_t i = 0; i < g; ++i) qs[i] = queries + (first + i) * ivf->dim;
        ivf_centroid_scores_many(ivf, qs, g, scores.get());
        for (size_t i = 0; i < g; ++i) {
            select_probes(probes.get(), scores.get() + i * ivf->nlist, ivf->nlist, np);
            if (!prepare_query(ivf, qs[i], &qy, &scratch)) break;
            heap.count = 0;
            if (!scan_probes(qy, probes.get(), np, &heap)) continue;
            const uint64_t n = std::min<uint64_t>(heap.count, k);
            IvfHit *hits = out + (first + i) * k;
            std::memcpy(hits, heap.items, sizeof(IvfHit) * n);
            sort_hits(hits, static_cast<size_t>(n));
            counts[first + i] = n;
        }
    }
    heap_release(&heap);
}

uint64_t ivf_search_filtered(const rk_ivf_t *ivf, const float *query, uint64_t k, uint32_t nprobe,
                             const IdFilter &filter, IvfHit *out) {
    if (!ivf || !query || !out || k == 0 || !ivf->trained || !filter.accept) return 0;
    const uint64_t ntotal = ivf_ntotal(ivf);
    if (ntotal == 0 || ivf->nlist == 0) return 0;
    const uint32_t np = std::min(nprobe ? nprobe : 1u, ivf->nlist);

    HookPtr<float> scores = hook_unique_array<float>(ivf->nlist);
    HookPtr<Probe> probes = hook_unique_array<Probe>(ivf->nlist);
    if (!scores || !probes) return 0;
    ivf_centroid_scores(ivf, query, scores.get());
    // Every list in probe order: lists past nprobe are read while too few
    // entries have matched.
    select_probes(probes.get(), scores.get(), ivf->nlist, ivf->nlist);

    Query qy{ivf, CodeQuery{}};
    HookPtr<float> scratch;
    if (!prepare_query(ivf, query, &qy, &scratch)) return 0;
    ResultHeap heap;
    if (!heap_init(&heap, static_cast<size_t>(std::min(k, ntotal)))) return 0;
    uint64_t scored = 0;
    bool ok = true;
    for (uint32_t j = 0; j < ivf->nlist; ++j) {
        if (j >= np && (heap.count >= k || (filter.budget && scored >= filter.budget))) break;
        const IvfList &l = ivf->lists[probes.get()[j].list];
        if (!l.lock) {
            ok = false;
            break;
        }
        rk_rwlock_rdlock(l.lock);
        scored += scan_list<true>(qy, l, &heap, &filter);
        rk_rwlock_rdunlock(l.lock);
    }
    uint64_t n = 0;
    if (ok) {
        n = std::min<uint64_t>(heap.count, k);
        std::memcpy(out, heap.items, sizeof(IvfHit) * n);
        sort_hits(out, static_cast<size_t>(n));
    }
    heap_release(&heap);
    return n;
}

}  // namespace rk

extern "C" {

RK_API rk_status_t rk_ivf_set_nprobe(rk_ivf_t *ivf, uint32_t nprobe) {
    if (!ivf) return RK_ERR_INVALID_ARG;
    rk::ivf_set_nprobe(ivf, nprobe);
    return RK_OK;
}

RK_API uint32_t rk_ivf_get_nprobe(const rk_ivf_t *ivf) { return ivf ? rk::ivf_nprobe(ivf) : 0; }

}  // extern "C"
