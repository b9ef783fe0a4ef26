// SPDX-License-Identifier: Apache-2.0
// k-nearest-neighbour search: the exhaustive scan, the index path with its
// scan top-up, search by id and delete by filter.
#include <bit>
#include <cstring>

#include "collection/internal.h"
#include "collection/select.h"
#include "core/alloc.h"
#include "rk_vector.h"
#include "vector/kernels.h"

namespace rk::coll {
namespace {

constexpr uint64_t kDefaultK = 10;
constexpr size_t kChunk = 1024;
// Index hits measured again per batch: few, and kept off the stack's budget.
constexpr size_t kHitChunk = 256;
// Candidates gathered beyond a chunk before it is measured, so the kernels
// can fetch them while they compute.
constexpr size_t kAhead = 128;
// Records fetched ahead of the one gathered (2 KiB).
constexpr size_t kRecordsAhead = 64;
// Records whose metadata is fetched ahead of the filter.
constexpr size_t kMetaAhead = 32;
// Norms below this (2^-23) count as zero in the cosine distance.
constexpr float kZeroNorm = 1.1920929e-7f;

float flip_sign(float x) { return std::bit_cast<float>(std::bit_cast<uint32_t>(x) ^ 0x80000000u); }

// The query in the form the batch measure needs. Distances match
// rk_vec_distance(query, row, dim, metric) bit for bit.
struct Query {
    const float *q;
    uint32_t dim;
    uint32_t metric;  // 0 L2 (also any unknown value), 1 IP, 2 cosine
    float norm;       // cosine only
};

Query make_query(const rk_collection_t *c, const float *q) {
    const uint32_t metric =
        c->metric == RK_METRIC_IP || c->metric == RK_METRIC_COSINE ? c->metric : uint32_t(RK_METRIC_L2);
    const float norm = metric == RK_METRIC_COSINE ? rk_math_sqrt_f32(kern::sqnorm(q, c->dimension)) : 0.0f;
    return Query{q, c->dimension, metric, norm};
}

// Raw sums (squared L2 or dot) of n rows; rows[n .. n + ahead) come next.
void raw_sums(const Query &q, const float *const *rows, size_t n, size_t ahead, float *out) {
    if (q.metric == RK_METRIC_L2)
        kern::l2sq_many_ahead(q.q, rows, n, ahead, q.dim, out);
    else
        kern::dot_many_ahead(q.q, rows, n, ahead, q.dim, out);
}

void measure(const Query &q, const float *const *rows, size_t n, float *out, size_t ahead = 0) {
    raw_sums(q, rows, n, ahead, out);
    if (q.metric == RK_METRIC_IP) {
        for (size_t i = 0; i < n; ++i) out[i] = flip_sign(out[i]);
    } else if (q.metric == RK_METRIC_COSINE) {
        float norms[kChunk];
        kern::sqnorm_many(rows, n, q.dim, norms);
        for (size_t i = 0; i < n; ++i) {
            const float nb = rk_math_sqrt_f32(norms[i]);
            out[i] = q.norm < kZeroNorm || nb < kZeroNorm ? 1.0f : 1.0f - out[i] / (nb * q.norm);
        }
    }
}

// Visits every candidate in array order as sink(id, distance): records the
// filter matches, minus the positions in skip (ascending).
template <class Sink>
void scan(const rk_collection_t *c, const Query &q, const rk_filter_t *filter, const uint64_t *skip,
          size_t nskip, Sink &&sink) {
    const float *rows[kChunk + kAhead];
    uint64_t ids[kChunk + kAhead];
    float dist[kChunk];
    size_t n = 0, s = 0;
    // Measures the first m gathered candidates, the rest passed as coming
    // next, and keeps the rest for the following chunk.
    auto flush = [&](size_t m) {
        measure(q, rows, m, dist, n - m);
        for (size_t i = 0; i < m; ++i) sink(ids[i], dist[i]);
        std::memmove(rows, rows + m, (n - m) * sizeof rows[0]);
        std::memmove(ids, ids + m, (n - m) * sizeof ids[0]);
        n -= m;
    };
    for (uint64_t pos = 0; pos < c->count; ++pos) {
        if (s < nskip && skip[s] == pos) {
            ++s;
            continue;
        }
        // The record array is a second stream beside the vectors; fetched
        // ahead, its reads stop stalling the gathering.
        if (pos + kRecordsAhead < c->count) __builtin_prefetch(c->records + pos + kRecordsAhead, 0, 3);
        if (filter && pos + kMetaAhead < c->count) {
            // Each record's metadata is one block (entries, then their
            // text) reached through the record: fetched ahead so the filter
            // does not wait on it.
            const auto *m = reinterpret_cast<const char *>(c->records[pos + kMetaAhead].metadata);
            if (m) {
                __builtin_prefetch(m, 0, 3);
                __builtin_prefetch(m + 64, 0, 3);
            }
        }
        const rk_record_t &r = c->records[pos];
        if (filter && !filter_match(&r, filter)) continue;
        rows[n] = r.vector;
        ids[n++] = r.id;
        if (n == kChunk + kAhead) flush(kChunk);
    }
    while (n) flush(n < kChunk ? n : kChunk);
}

// The cap nearest candidates in selection order into out; returns how many,
// UINT64_MAX when scratch memory fails.
uint64_t scan_top(const rk_collection_t *c, const Query &q, const rk_filter_t *filter, const uint64_t *skip,
                  size_t nskip, uint64_t cap, Pair *out) {
    TopSelector top;
    if (!top.init(cap)) return UINT64_MAX;
    scan(c, q, filter, skip, nskip, [&](uint64_t id, float d) { top.push(id, d); });
    if (!top.saw_nan()) return top.finish(out);
    // NaN breaks the order the heap relies on: measure again, keep every
    // pair and run the selection sort itself.
    const uint64_t n = top.pushed();
    HookPtr<Pair> all = hook_unique_array<Pair>(size_t(n));
    if (!all) return UINT64_MAX;
    uint64_t i = 0;
    scan(c, q, filter, skip, nskip, [&](uint64_t id, float d) { all.get()[i++] = Pair{id, d}; });
    const uint64_t m = cap < n ? cap : n;
    select_literal(all.get(), n, m);
    std::memcpy(out, all.get(), size_t(m) * sizeof(Pair));
    return m;
}

void put(rk_search_result_t &r, uint64_t id, float dist) {
    r.id = id;
    r.distance = dist;
    r.vector = nullptr;
    r.metadata = nullptr;
    r.metadata_count = 0;
}

// A search that could not get its working memory.
constexpr uint64_t kFailed = UINT64_MAX;

uint64_t search_scan(const rk_collection_t *c, const Query &q, const rk_filter_t *filter, uint64_t k,
                     rk_search_result_t *results) {
    const uint64_t cap = k < c->count ? k : c->count;
    if (cap == 0) return 0;
    HookPtr<Pair> top = hook_unique_array<Pair>(size_t(cap));
    if (!top) return kFailed;
    const uint64_t m = scan_top(c, q, filter, nullptr, 0, cap, top.get());
    if (m == UINT64_MAX) return kFailed;
    for (uint64_t i = 0; i < m; ++i) put(results[i], top.get()[i].id, top.get()[i].dist);
    return m;
}

// One index hit that survived: its record's position, its distance in the
// collection's metric and its rank in the index's answer.
struct Hit {
    uint64_t pos;
    float dist;
    uint64_t rank;
};

// NaN sorts last so the order stays strict.
bool hit_before(const Hit &a, const Hit &b) {
    const bool an = a.dist != a.dist, bn = b.dist != b.dist;
    if (an != bn) return bn;
    if (!an && a.dist != b.dist) return a.dist < b.dist;
    return a.rank < b.rank;
}

// The index's answer as live candidate hits, without duplicate ids, ordered
// by distance (ties in the index's order). Returns how many, kFailed when
// working memory cannot be had.
uint64_t index_hits(const rk_collection_t *c, const Query &q, const rk_filter_t *filter, uint64_t k,
                    uint32_t effort, const FilterPlan *plan, const IndexAnswer *given, Hit *hits) {
    HookPtr<uint64_t> owned;
    const uint64_t *ids;
    uint64_t n;
    if (given) {
        ids = given->ids;
        n = given->n;
    } else {
        owned = hook_unique_array<uint64_t>(size_t(k));
        if (!owned) return kFailed;
        n = plan ? index_search_filtered(c, q.q, k, plan->effort, filter, plan->budget, owned.get())
                 : index_search(c, q.q, k, effort, owned.get());
        ids = owned.get();
    }
    if (n == kFailed) return kFailed;
    uint64_t w = 0;
    const float *rows[kHitChunk];
    float dist[kHitChunk];
    size_t pending = 0;
    // Distances are measured again in the collection's metric, a chunk of
    // hits at a time through the batch kernels.
    auto flush = [&] {
        measure(q, rows, pending, dist);
        for (size_t i = 0; i < pending; ++i) hits[w - pending + i].dist = dist[i];
        pending = 0;
    };
    for (uint64_t i = 0; i < n; ++i) {
        const uint64_t pos = find(c, ids[i]);
        if (pos == kNotFound) continue;
        const rk_record_t &r = c->records[pos];
        if (filter && !filter_match(&r, filter)) continue;
        hits[w++] = Hit{pos, 0.0f, i};
        kern::fetch_row(r.vector, c->dimension);
        rows[pending++] = r.vector;
        if (pending == kHitChunk) flush();
    }
    if (pending) flush();
    // An id added twice to the index comes back twice: keep its first hit.
    heap_sort(hits, size_t(w), [](const Hit &a, const Hit &b) {
        return a.pos < b.pos || (a.pos == b.pos && a.rank < b.rank);
    });
    uint64_t u = 0;
    for (uint64_t i = 0; i < w; ++i) {
        if (u == 0 || hits[u - 1].pos != hits[i].pos) hits[u++] = hits[i];
    }
    heap_sort(hits, size_t(u), hit_before);
    return u;
}

uint64_t search_index(const rk_collection_t *c, const Query &q, const rk_search_params_t &p, uint32_t effort,
                      const FilterPlan *plan, rk_search_result_t *results,
                      const IndexAnswer *given = nullptr) {
    // No answer holds more than count records.
    const uint64_t k = p.k < c->count ? p.k : c->count;
    if (k == 0) return 0;
    HookPtr<Hit> hits = hook_unique_array<Hit>(size_t(k));
    if (!hits) return kFailed;
    Hit *h = hits.get();
    const uint64_t nh = index_hits(c, q, p.filter, k, effort, plan, given, h);
    if (nh == kFailed) return kFailed;
    // Top-up from the scan, skipping the hits' records.
    uint64_t nt = 0;
    HookPtr<Pair> extra;
    if (nh < k && nh < c->count) {
        const uint64_t want = k - nh < c->count - nh ? k - nh : c->count - nh;
        HookPtr<uint64_t> skip = hook_unique_array<uint64_t>(size_t(nh));
        extra.reset(hook_array<Pair>(size_t(want)));
        if (!skip || !extra) return kFailed;
        for (uint64_t i = 0; i < nh; ++i) skip.get()[i] = h[i].pos;
        heap_sort(skip.get(), size_t(nh), [](uint64_t a, uint64_t b) { return a < b; });
        nt = scan_top(c, q, p.filter, skip.get(), size_t(nh), want, extra.get());
        if (nt == UINT64_MAX) return kFailed;
    }
    // Merge by distance; at equal distance the index's hit goes first.
    uint64_t i = 0, j = 0, w = 0;
    while (i < nh || j < nt) {
        if (i < nh && (j == nt || !(extra.get()[j].dist < h[i].dist))) {
            const rk_record_t &r = c->records[h[i].pos];
            put(results[w], r.id, h[i].dist);
            if (p.include_vector) results[w].vector = r.vector;
            if (p.include_metadata) {
                results[w].metadata = r.metadata;
                results[w].metadata_count = r.metadata_count;
            }
            ++i;
        } else {
            put(results[w], extra.get()[j].id, extra.get()[j].dist);
            ++j;
        }
        ++w;
    }
    return w;
}

}  // namespace

FilterPlan plan_for(const rk_collection_t *c, const rk_search_params_t &p, uint32_t effort) {
    return plan_filtered(c, p.filter, p.k < c->count ? p.k : c->count, effort);
}

uint64_t search_locked(const rk_collection_t *c, const float *query, const rk_search_params_t &p,
                       uint32_t effort, rk_search_result_t *results, const FilterPlan *planned,
                       const IndexAnswer *given) {
    const Query q = make_query(c, query);
    if (!index_active(c)) return search_scan(c, q, p.filter, p.k, results);
    if (!p.filter) return search_index(c, q, p, effort, nullptr, results, given);
    // A filter goes into the index, unless so few records match that the
    // walk would visit most of the graph to find them: the exact scan then
    // answers, and its results count as the index path's own hits.
    const FilterPlan plan = planned ? *planned : plan_for(c, p, effort);
    if (!plan.scan) return search_index(c, q, p, effort, &plan, results);
    const uint64_t n = search_scan(c, q, p.filter, p.k, results);
    if (n != kFailed) attach_fields(c, p, results, n);
    return n;
}

void attach_fields(const rk_collection_t *c, const rk_search_params_t &p, rk_search_result_t *results,
                   uint64_t n) {
    if (!p.include_vector && !p.include_metadata) return;
    for (uint64_t i = 0; i < n; ++i) {
        const uint64_t pos = find(c, results[i].id);
        if (pos == kNotFound) continue;
        const rk_record_t &r = c->records[pos];
        if (p.include_vector) results[i].vector = r.vector;
        if (p.include_metadata) {
            results[i].metadata = r.metadata;
            results[i].metadata_count = r.metadata_count;
        }
    }
}

}  // namespace rk::coll

using namespace rk::coll;

extern "C" {

RK_API uint64_t rk_collection_search(rk_collection_t *collection, const float *query,
                                     const rk_search_params_t *params, rk_search_result_t *results) {
    if (!collection || !query || !results) return 0;
    rk_search_params_t p{};
    p.k = kDefaultK;
    if (params) p = *params;
    if (p.k == 0) return 0;
    ReadLock guard(collection);
    const uint64_t n = search_locked(collection, query, p, 0, results);
    return n == kSearchFailed ? 0 : n;
}

RK_API rk_status_t rk_collection_search_ex(rk_collection_t *collection, const float *query,
                                           const rk_search_params_t *params, uint32_t effort,
                                           rk_search_result_t *results, uint64_t *out_count) {
    if (out_count) *out_count = 0;
    if (!collection || !query || !results || !out_count) return RK_ERR_INVALID_ARG;
    rk_search_params_t p{};
    p.k = kDefaultK;
    if (params) p = *params;
    if (p.k == 0) return RK_OK;
    ReadLock guard(collection);
    const uint64_t n = search_locked(collection, query, p, effort, results);
    if (n == kSearchFailed) return RK_ERR_NO_MEMORY;
    attach_fields(collection, p, results, n);
    *out_count = n;
    return RK_OK;
}

RK_API uint64_t rk_collection_search_filtered(rk_collection_t *collection, const float *query,
                                              const rk_filter_t *filter, uint64_t k,
                                              rk_search_result_t *results) {
    rk_search_params_t p{};
    p.k = k;
    p.filter = filter;
    return rk_collection_search(collection, query, &p, results);
}

RK_API uint64_t rk_collection_search_by_id(rk_collection_t *collection, uint64_t id,
                                           const rk_search_params_t *params, rk_search_result_t *results) {
    if (!collection || !results) return 0;
    rk::HookPtr<float> q = rk::hook_unique_array<float>(collection->dimension);
    if (!q || rk_collection_get(collection, id, q.get()) != RK_OK) return 0;
    return rk_collection_search(collection, q.get(), params, results);
}

RK_API int rk_collection_delete_by_filter(rk_collection_t *collection, const rk_filter_t *filter) {
    if (!collection) return -1;
    WriteLock guard(collection);
    rk_collection_t *c = collection;
    // One compacting pass: survivors slide down in order.
    uint64_t kept = 0;
    for (uint64_t i = 0; i < c->count; ++i) {
        const rk_record_t r = c->records[i];
        if (filter_match(&r, filter)) {
            index_forget(c, r.id);
            continue;
        }
        c->records[kept++] = r;
    }
    const uint64_t deleted = c->count - kept;
    for (uint64_t i = kept; i < c->count; ++i) c->records[i] = rk_record_t{};
    c->count = kept;
    if (deleted) c->modified_at = rk_time_now();
    return deleted > uint64_t(INT32_MAX) ? INT32_MAX : int(deleted);
}

}  // extern "C"
