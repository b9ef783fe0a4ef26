// SPDX-License-Identifier: Apache-2.0
// Internal layout and helpers shared by the collection sources.
//
// A collection is allocated as an Impl whose first member is the public
// record, so a host's rk_collection_t pointer and ours are the same address;
// the tail keeps what the public fields cannot say (how to recreate the
// index).
#ifndef RK_COLLECTION_INTERNAL_H
#define RK_COLLECTION_INTERNAL_H

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "rk_collection.h"
#include "rk_error.h"
#include "rk_platform.h"

namespace rk::coll {

// Everything needed to create the collection's index again: rebuild and
// clear recreate the index the collection was made with.
struct IndexSpec {
    uint32_t type;  // rk_index_type_t; 0 for none
    uint32_t metric;
    uint32_t quantization;
    uint32_t pq_m;
    uint32_t pq_nbits;
    // HNSW types
    uint32_t m;
    uint32_t ef_construction;
    uint32_t ef_search;
    // IVF types
    uint32_t nlist;  // 0: chosen from the row count at training
    uint32_t nprobe;
    uint32_t train_iterations;
    // Seed of the generator an index build owns (0: the default seed).
    uint64_t seed;
};

// Sample counts the filter planner remembers for parsed filters, each slot
// one word (read and written whole by concurrent searches): the high bits
// of a key made from the filter's fingerprint and the collection's version,
// the low bits the count plus one (0: empty).
inline constexpr uint32_t kPlanMemoSlots = 4;

struct Impl {
    rk_collection_t pub;
    IndexSpec spec;
    // The dormant index lacks the records (a database open leaves it empty,
    // since nothing reads a dormant index); filled when it becomes active.
    bool index_unfed;
    // Rises with every write lock taken, so anything remembered about the
    // records under one version is known stale under the next.
    uint64_t version;
    uint64_t plan_memo[kPlanMemoSlots];
};
static_assert(std::is_standard_layout_v<Impl>, "the public record must sit at the start");

inline Impl *impl_of(rk_collection_t *c) { return reinterpret_cast<Impl *>(c); }
inline const Impl *impl_of(const rk_collection_t *c) { return reinterpret_cast<const Impl *>(c); }

// Allocates a zeroed Impl in the arena (null when the allocation fails).
Impl *allocate(rk_arena_t *arena);

class ReadLock {
public:
    explicit ReadLock(const rk_collection_t *c) : lock_(c->lock) { rk_rwlock_rdlock(lock_); }
    ~ReadLock() { rk_rwlock_rdunlock(lock_); }
    ReadLock(const ReadLock &) = delete;
    ReadLock &operator=(const ReadLock &) = delete;

private:
    rk_rwlock_t *lock_;
};

// Taking it counts as a change of the records (see Impl::version).
class WriteLock {
public:
    explicit WriteLock(const rk_collection_t *c) : lock_(c->lock) {
        rk_rwlock_wrlock(lock_);
        ++const_cast<Impl *>(impl_of(c))->version;
    }
    ~WriteLock() { rk_rwlock_wrunlock(lock_); }
    WriteLock(const WriteLock &) = delete;
    WriteLock &operator=(const WriteLock &) = delete;

private:
    rk_rwlock_t *lock_;
};

inline constexpr uint64_t kNotFound = UINT64_MAX;

// Position of the record with this id, or kNotFound. Ids rise strictly along
// the array, so this bisects.
uint64_t find(const rk_collection_t *c, uint64_t id);

// Deep copy of n entries (keys and string bytes included) into the arena;
// null when n is 0, the sizes overflow or the arena refuses.
rk_meta_entry_t *copy_meta(rk_arena_t *arena, const rk_meta_entry_t *entries, uint64_t n);

// 1 when the record matches the filter tree (a null filter matches all).
int filter_match(const rk_record_t *record, const rk_filter_t *filter);

// ---- the index, seen from the collection (collection_index.cpp) ----

// The index settings a collection configuration's index_type asks for (type 0 for none).
IndexSpec spec_for(const rk_collection_config_t *config);
// The index configuration a collection without an index builds.
IndexSpec default_spec(uint32_t dimension);
// Creates c's index from spec (null on failure or for type 0).
struct rk_index_t *make_index(const rk_collection_t *c, const IndexSpec &spec);
void destroy_index(rk_collection_t *c);
// The index is consulted: present, enabled and count at least the threshold.
bool index_active(const rk_collection_t *c);
// Hands a freshly appended record to an active index (training it on the
// spot with every record while it is untrained). Failures are ignored: the
// index only speeds searches up.
void index_feed(rk_collection_t *c, uint64_t id, const float *vector);
// Settings of the next build (extensions): bounds-checked setters, each
// returning RK_ERR_NOT_SUPPORTED when the collection's index is of the other
// family or it has none.
rk_status_t set_graph_build(rk_collection_t *c, uint32_t m, uint32_t ef_construction);
rk_status_t get_graph_build(rk_collection_t *c, uint32_t *m, uint32_t *ef_construction);
rk_status_t set_list_count(rk_collection_t *c, uint32_t nlist);
rk_status_t get_list_count(rk_collection_t *c, uint32_t *nlist);
rk_status_t set_build_seed(rk_collection_t *c, uint64_t seed);
rk_status_t get_build_seed(rk_collection_t *c, uint64_t *seed);
// Adds every record to c's index (training an untrained one with them all)
// and marks it fed.
rk_status_t index_fill(rk_collection_t *c);
// The index's type, or -1 without one; whether it is trained (0 without one).
int32_t index_type_of(const rk_collection_t *c);
uint32_t index_trained(const rk_collection_t *c);
// Removes an id from the index if there is one.
void index_forget(rk_collection_t *c, uint64_t id);
// Index search into n <= k (id, distance) slots; see collection_index.cpp.
// The search setting of the collection's index family (ef_search for the
// graph types, nprobe for IVF), kept in the IndexSpec and the live index.
// RK_ERR_NOT_SUPPORTED when the collection's index is of the other family
// or it has none. Each takes the collection's lock.
rk_status_t set_search_effort(rk_collection_t *c, bool ivf, uint32_t value);
rk_status_t get_search_effort(rk_collection_t *c, bool ivf, uint32_t *out);

// The index's hits for query with the given effort (0: the index's own
// setting) into ids; UINT64_MAX when working memory cannot be had.
uint64_t index_search(const rk_collection_t *c, const float *query, uint64_t k, uint32_t effort,
                      uint64_t *ids);
// The same for nq queries at once (query i's hits into ids[i*k ..], their
// count into counts[i]). false when the index has no faster way than one
// search per query, or working memory cannot be had.
bool index_search_many(const rk_collection_t *c, const float *queries, uint64_t nq, uint64_t k,
                       uint32_t effort, uint64_t *ids, uint64_t *counts);

// The index's hits among records the filter matches, the index evaluating
// the filter as it walks (graph) or scans (IVF) and stopping after about
// budget distances (0: no bound); UINT64_MAX when working memory fails.
uint64_t index_search_filtered(const rk_collection_t *c, const float *query, uint64_t k, uint32_t effort,
                               const rk_filter_t *filter, uint64_t budget, uint64_t *ids);
// The stored search effort of the live index (ef_search or nprobe), 0 when
// it has none.
uint32_t index_effort(const rk_collection_t *c);

// How a filtered search on an active index goes (filter_plan.cpp).
struct FilterPlan {
    bool scan;           // the exact filtered scan answers
    uint32_t effort;     // otherwise: the index search's effort
    uint64_t budget;     // and its distance budget (0: none)
    double selectivity;  // the estimate the choice rests on
};
FilterPlan plan_filtered(const rk_collection_t *c, const rk_filter_t *filter, uint64_t k, uint32_t effort);

// ---- search (search.cpp) ----

// What search_locked returns when working memory cannot be had.
inline constexpr uint64_t kSearchFailed = UINT64_MAX;

// Runs the search the collection's state calls for (index path with its
// scan top-up, or the scan) into results (room for p.k); returns the count
// or kSearchFailed. The caller holds the read lock. Pure in the collection's
// state and the query: the same call gives the same answer on any thread.
// A filtered search on an active index follows `planned` when given (what
// plan_for returns for the same collection state, options and effort, so
// the answer is the same), else plans for itself.
// An unfiltered search on an active index takes the index's hits from
// `given` when set: what index_search_many answered for the same query, k
// (p.k, at most the record count) and effort, so the answer is the same.
struct IndexAnswer {
    const uint64_t *ids;
    uint64_t n;
};
uint64_t search_locked(const rk_collection_t *c, const float *query, const rk_search_params_t &p,
                       uint32_t effort, rk_search_result_t *results, const FilterPlan *planned = nullptr,
                       const IndexAnswer *given = nullptr);
// The plan of a filtered search with these options on an active index.
FilterPlan plan_for(const rk_collection_t *c, const rk_search_params_t &p, uint32_t effort);
// Points every result at its record's vector and metadata, as p asks.
void attach_fields(const rk_collection_t *c, const rk_search_params_t &p, rk_search_result_t *results,
                   uint64_t n);

}  // namespace rk::coll

#endif
