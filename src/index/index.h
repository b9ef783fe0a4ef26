// SPDX-License-Identifier: Apache-2.0
// The index object: one handle over an IVF index or an HNSW graph, with a
// dispatch table per type so every public operation is one table lookup.
#ifndef RK_INDEX_INDEX_H
#define RK_INDEX_INDEX_H

#include <cstdint>

#include "index/id_filter.h"
#include "rk_error.h"
#include "rk_index.h"
#include "rk_memory.h"

struct rk_ivf_t;
struct rk_hnsw_t;

struct rk_index_t {
    uint32_t type;
    union {
        rk_ivf_t *ivf;    // odd types
        rk_hnsw_t *hnsw;  // even types
    } impl;
    rk_arena_t *arena;  // holds the record and everything the type object owns
    bool owns_arena;    // made by create/load for this index alone: destroy releases it
    // Entries taken out of IVF lists. The lists forget them, but ntotal
    // counts insertions, so the object adds them back.
    uint64_t ivf_removed;
};

namespace rk {

class FileWriter;
struct LoadContext;

// What one family of index types (IVF or HNSW) does for the index object.
// Every function receives an index whose impl is set for its family.
struct FamilyOps {
    // Makes the type object in ix->arena from cfg and stores it in ix->impl;
    // sets type, metric and quantization and makes the quantiser. False when
    // the type object cannot be made.
    bool (*make)(rk_index_t *ix, const rk_index_config_t *cfg);
    void (*destroy)(rk_index_t *ix);
    rk_status_t (*train)(rk_index_t *ix, const float *data, uint64_t count);
    uint32_t (*is_trained)(const rk_index_t *ix);
    rk_status_t (*add)(rk_index_t *ix, const uint64_t *ids, const float *vectors, uint64_t n);
    // effort: ef_search (graphs) or nprobe (IVF) for this call; 0 = stored.
    uint64_t (*search)(rk_index_t *ix, const float *query, uint64_t k, uint32_t effort,
                       rk_index_result_t *results);
    // nq queries at once, each as search with this effort would answer it:
    // query i's hits go to results[i*k ..] and their count to counts[i].
    // Null where the family has nothing faster than one search per query.
    void (*search_batch)(rk_index_t *ix, const float *queries, uint64_t nq, uint64_t k, uint32_t effort,
                         rk_index_result_t *results, uint64_t *counts);
    // The same, keeping only hits the filter accepts (see hnsw_search_filtered
    // and ivf_search_filtered for how each family goes about it).
    uint64_t (*search_filtered)(rk_index_t *ix, const float *query, uint64_t k, uint32_t effort,
                                const IdFilter &filter, rk_index_result_t *results);
    // The stored search effort (ef_search or nprobe) and its setter.
    uint32_t (*get_effort)(const rk_index_t *ix);
    void (*set_effort)(rk_index_t *ix, uint32_t effort);
    rk_status_t (*remove)(rk_index_t *ix, uint64_t id);
    uint32_t (*dim)(const rk_index_t *ix);
    uint64_t (*ntotal)(const rk_index_t *ix);
    uint64_t (*memory_usage)(const rk_index_t *ix);
    // Sets the family's own stats fields (nlist or max_level).
    void (*fill_stats)(const rk_index_t *ix, rk_index_stats_t *stats);
    // Writes everything after the type word.
    rk_status_t (*save)(const rk_index_t *ix, FileWriter &out);
    // Reads everything after the type word into a new index (null when the
    // headers are missing or refused).
    rk_index_t *(*load)(LoadContext &ctx);
};

extern const FamilyOps kIvfOps;
extern const FamilyOps kHnswOps;

// What the index object does for one type beyond forwarding to its family.
struct TypeInfo {
    const FamilyOps *family;
    bool can_add;       // type 6 stores no vectors
    bool can_search;    // type 6 answers nothing
    bool full_figures;  // false: stats and memory estimate report the record alone
};

// The row for a type in 1..6, or null for any other value.
const TypeInfo *type_info(uint32_t type);

// Whether the index has its type object.
inline bool has_impl(const rk_index_t *ix) {
    if (!ix) return false;
    return (ix->type & 1u) ? ix->impl.ivf != nullptr : ix->impl.hnsw != nullptr;
}

// nq queries at once (row after row), each answered as rk_index_search_ex
// with this effort answers it: query i's hits go to results[i*k ..] and
// their count to counts[i]. false, with nothing written, when the index's
// family has no faster way than one search per query.
bool index_search_many(rk_index_t *index, const float *queries, uint64_t nq, uint64_t k, uint32_t effort,
                       rk_index_result_t *results, uint64_t *counts);

// Filtered search through any searchable index: up to k hits the filter
// accepts, nearest first, with effort as for rk_index_search_ex. 0 for null
// arguments, k 0, an index that answers nothing, or failed working memory.
uint64_t index_search_filtered(rk_index_t *index, const float *query, uint64_t k, uint32_t effort,
                               const IdFilter &filter, rk_index_result_t *results);

// Creates an index in arena (never null here); owns_arena stays false.
rk_index_t *index_create_in(rk_arena_t *arena, const rk_index_config_t *cfg);

}  // namespace rk

#endif
