// SPDX-License-Identifier: Apache-2.0
// Many queries against one collection at once, spread over threads.
//
// The calling thread takes the read lock once for the whole batch and works
// as one of the searchers; the helper threads search under that same hold.
// They must not take the lock themselves: with a writer queued behind the
// batch, a second shared acquisition could wait on the writer, which waits on
// the batch, which waits on the helper.
#include <atomic>
#include <thread>

#include "collection/internal.h"
#include "core/alloc.h"

namespace rk::coll {
namespace {

constexpr uint64_t kDefaultK = 10;
// Queries a searcher claims at a time: enough to keep the shared counter
// quiet, few enough that the last claims even out between threads.
constexpr uint64_t kClaim = 4;

struct Batch {
    const rk_collection_t *c;
    const float *queries;
    uint64_t nq;
    rk_search_params_t p;
    uint32_t effort;
    rk_search_result_t *results;
    uint64_t *counts;
    // The filter's plan, made once: it depends on the collection's state,
    // the options and the effort, all fixed for the batch.
    FilterPlan plan;
    const FilterPlan *planned = nullptr;
    std::atomic<uint64_t> next{0};
    std::atomic<bool> failed{false};
};

void work(Batch &b) {
    const size_t dim = b.c->dimension;
    // Unfiltered searches through an index that answers several queries
    // faster together (IVF ranks the centroids for all of them at once) get
    // the index's part for a whole claim in one call. Without room for it,
    // or on another index (the graph walks one query at a time), each search
    // asks the index itself.
    const uint64_t k = b.p.k < b.c->count ? b.p.k : b.c->count;
    HookPtr<uint64_t> ids;
    if (!b.p.filter && k != 0 && index_active(b.c)) ids = hook_unique_array<uint64_t>(size_t(kClaim * k));
    uint64_t counts[kClaim];
    for (;;) {
        const uint64_t first = b.next.fetch_add(kClaim, std::memory_order_relaxed);
        if (first >= b.nq) return;
        const uint64_t end = first + kClaim < b.nq ? first + kClaim : b.nq;
        const bool together = ids && index_search_many(b.c, b.queries + size_t(first) * dim, end - first, k,
                                                       b.effort, ids.get(), counts);
        // Once refused, always: the index has no such way.
        if (!together) ids.reset();
        for (uint64_t i = first; i < end; ++i) {
            rk_search_result_t *out = b.results + size_t(i) * size_t(b.p.k);
            IndexAnswer given{nullptr, 0};
            if (together) given = IndexAnswer{ids.get() + (i - first) * k, counts[i - first]};
            uint64_t n = search_locked(b.c, b.queries + size_t(i) * dim, b.p, b.effort, out, b.planned,
                                       together ? &given : nullptr);
            if (n == kSearchFailed) {
                n = 0;
                b.failed.store(true, std::memory_order_relaxed);
            }
            attach_fields(b.c, b.p, out, n);
            b.counts[i] = n;
        }
    }
}

void *work_entry(void *arg) {
    work(*static_cast<Batch *>(arg));
    return nullptr;
}

// Searchers for a batch of nq: the caller's choice (0: one per core), never
// more than there are queries.
uint64_t searchers(uint32_t threads, uint64_t nq) {
    uint64_t t = threads;
    if (t == 0) {
        t = std::thread::hardware_concurrency();
        if (t == 0) t = 1;
    }
    return t < nq ? t : nq;
}

}  // namespace
}  // namespace rk::coll

using namespace rk::coll;

extern "C" {

RK_API rk_status_t rk_collection_search_batch(rk_collection_t *collection, const float *queries, uint64_t nq,
                                              const rk_search_params_t *params, uint32_t effort,
                                              uint32_t threads, rk_search_result_t *results,
                                              uint64_t *out_counts) {
    if (!collection || !queries || !results || !out_counts) return RK_ERR_INVALID_ARG;
    rk_search_params_t p{};
    p.k = kDefaultK;
    if (params) p = *params;
    size_t slots;
    if (!rk::mul_size(size_t(nq), size_t(p.k), &slots) || uint64_t(size_t(nq)) != nq ||
        uint64_t(size_t(p.k)) != p.k)
        return RK_ERR_INVALID_ARG;
    for (uint64_t i = 0; i < nq; ++i) out_counts[i] = 0;
    if (nq == 0 || p.k == 0) return RK_OK;

    Batch b;
    b.c = collection;
    b.queries = queries;
    b.nq = nq;
    b.p = p;
    b.effort = effort;
    b.results = results;
    b.counts = out_counts;

    const uint64_t want = searchers(threads, nq);
    rk::HookPtr<rk_thread_t> helpers;
    if (want > 1) helpers = rk::hook_unique_array<rk_thread_t>(size_t(want - 1));
    ReadLock guard(collection);
    if (p.filter && index_active(collection)) {
        b.plan = plan_for(collection, p, effort);
        b.planned = &b.plan;
    }
    // Helpers that cannot be had leave their share to the others; the
    // caller always searches, so the batch completes on one thread if need be.
    uint64_t started = 0;
    if (helpers) {
        for (; started + 1 < want; ++started)
            if (rk_thread_create(&helpers.get()[started], work_entry, &b) != RK_OK) break;
    }
    work(b);
    for (uint64_t i = 0; i < started; ++i) (void)rk_thread_join(&helpers.get()[i]);
    return b.failed.load(std::memory_order_relaxed) ? RK_ERR_NO_MEMORY : RK_OK;
}

}  // extern "C"
