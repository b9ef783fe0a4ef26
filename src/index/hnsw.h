// SPDX-License-Identifier: Apache-2.0
// The HNSW graph: layout and the internal entry points the index object and
// the index files use.
//
// A node's slot in the table is its id. Each node is one arena piece: a small
// header, its level-0 list (room for 2 * m ids), then its vector, so a level-0
// visit touches one contiguous stretch of memory. Lists above level 0 hang off
// the header in a second piece. Neighbour ids are kept as 32-bit slot numbers:
// the table can never have more than kMaxSlots slots, so every id a list can
// name fits, and kNoId (never a valid slot) stands for an id no table could
// hold.
//
// Cosine graphs keep unit-normalised copies of their vectors and rank by
// 1 - dot of the normalised vectors; inner-product graphs rank by the negated
// dot product; L2 graphs (and any other metric value) by the squared
// Euclidean distance.
#ifndef RK_INDEX_HNSW_H
#define RK_INDEX_HNSW_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "index/heap.h"
#include "index/id_filter.h"
#include "rk_index.h"
#include "rk_memory.h"
#include "rk_platform.h"

struct rk_pq_t;
struct rk_sq_quantizer_t;

namespace rk {

inline constexpr uint32_t kNoId = 0xFFFFFFFFu;
inline constexpr uint64_t kMaxSlots = 0xFFFFFFFFull;  // slot ids stay below kNoId
inline constexpr uint64_t kInitialSlots = 4096;
// The table grows with the data, not with one id: an id may grow it to at
// most max(kSlotFloor, kSlotsPerNode x nodes) slots, where nodes counts the
// graph's insertions so far plus those under way. Larger ids are refused
// (RK_ERR_TOO_LARGE), so a single damaged or hostile id cannot make the
// table claim gigabytes. Ids handed out in increasing order, even with most
// records deleted since, stay far below the limit.
inline constexpr uint64_t kSlotFloor = 1ull << 22;  // 32 MiB of table
inline constexpr uint64_t kSlotsPerNode = 64;
uint64_t hnsw_slot_limit(uint64_t nodes);

struct HnswNode {
    uint32_t level;
    uint32_t count0;  // ids in use in the level-0 list
    uint32_t *upper;  // levels 1..level: blocks of 1 + m words, [count, ids...]
    // followed by uint32_t links0[2 * m] and float vector[dim]
};

struct HnswScratch;  // search working memory, see hnsw_walk.h

// How insertion and removal link nodes. Every graph is built with the
// defaults; the switches exist so that benchmarks and tests can measure and
// check the alternatives.
struct HnswRules {
    // A full list offered a new neighbour is re-selected with the diversity
    // rule over its members and the newcomer; otherwise the newcomer takes
    // the place of the farthest member when it is nearer than that one.
    bool reselect_full = true;
    // Places the diversity rule leaves free are filled with the passed-over
    // candidates, nearest first.
    bool fill_pruned = false;
    // A new node chooses up to its level's cap of neighbours (2 m on level
    // 0). Otherwise it chooses up to m on every level, and its level-0 list
    // fills towards 2 m as later nodes link to it: each chosen neighbour
    // costs a link back, often a re-selection of a full list, and on data
    // of many dimensions, where the diversity rule passes most candidates,
    // the wider choice made builds a third slower for no recall.
    bool wide_new_lists = false;
    // A removed node's neighbours are re-linked among themselves.
    bool repair_on_remove = true;
};

// Working memory that searches borrow for one call, so that steady-state
// searches allocate nothing. A search that finds every slot busy makes a
// private one for the call.
struct ScratchPool {
    static constexpr int kSlots = 8;
    std::atomic<bool> busy[kSlots];
    HnswScratch *items[kSlots];
};

}  // namespace rk

struct rk_hnsw_t {
    uint32_t type;    // 2 from create; the index object writes its own type here
    uint32_t metric;  // 0 L2, 1 inner product, 2 cosine (rk::hnsw_set_metric)
    uint32_t dim;
    uint64_t ntotal;  // insertions so far; removal does not lower it
    rk_hnsw_params_t params;
    rk::HnswNode **slots;  // node table indexed by id; empty slots are null
    uint64_t capacity;     // slots in the table
    uint32_t max_level;    // level of the entry point
    int64_t entry_point;   // -1 = none
    uint32_t quantization;
    rk_pq_t *pq;
    rk_sq_quantizer_t *sq;
    rk_arena_t *arena;
    rk_rwlock_t *lock;
    uint64_t seed;  // params.seed, or 12345 when that is 0
    // ---- layout and scratch
    bool owns_arena;
    uint32_t cap0;      // 2 * m
    size_t vec_offset;  // bytes from a node's header to its vector
    size_t node_bytes;  // header + level-0 list + vector
    rk::HnswRules rules;
    rk::ScratchPool pool;
};

namespace rk {

// ---- node layout ---------------------------------------------------------

inline uint32_t *node_links0(HnswNode *n) { return reinterpret_cast<uint32_t *>(n + 1); }
inline const float *node_vector(const rk_hnsw_t *h, const HnswNode *n) {
    return reinterpret_cast<const float *>(reinterpret_cast<const unsigned char *>(n) + h->vec_offset);
}
inline float *node_vector_mut(const rk_hnsw_t *h, HnswNode *n) {
    return reinterpret_cast<float *>(reinterpret_cast<unsigned char *>(n) + h->vec_offset);
}
// The list of level l with its count; an empty view when the node does not
// reach level l (a slot re-filled by a lower node keeps old links to it).
inline uint32_t *node_links(const rk_hnsw_t *h, HnswNode *n, uint32_t l, uint32_t **count) {
    if (l == 0) {
        *count = &n->count0;
        return node_links0(n);
    }
    if (l > n->level) {
        *count = nullptr;
        return nullptr;
    }
    uint32_t *block = n->upper + static_cast<size_t>(l - 1) * (h->params.m + 1u);
    *count = block;
    return block + 1;
}
inline uint32_t level_cap(const rk_hnsw_t *h, uint32_t l) { return l == 0 ? h->cap0 : h->params.m; }
// The node in slot id, or null for an id outside the table or an empty slot.
inline HnswNode *node_at(const rk_hnsw_t *h, uint64_t id) {
    return id < h->capacity ? h->slots[id] : nullptr;
}

// ---- configuration (before the first insertion) --------------------------

// Sets the metric the graph ranks by. RK_ERR_INVALID_ARG for a null graph or
// once the graph holds nodes (their stored vectors depend on the metric).
// Any value other than 1 and 2 ranks by squared L2.
rk_status_t hnsw_set_metric(rk_hnsw_t *h, uint32_t metric);

// ---- work (each takes the graph's lock) ----------------------------------

// Inserts n rows of dim floats; row i gets id ids[i]. RK_ERR_INVALID_ARG for
// null arguments; RK_ERR_TOO_LARGE for an id at or past the slot limit (see
// kSlotFloor); RK_ERR_NO_MEMORY when the table or a node cannot be had: rows
// before the failing one stay inserted.
rk_status_t hnsw_add_batch(rk_hnsw_t *h, const uint64_t *ids, const float *vectors, size_t n);

// The nearest min(k, reachable) nodes to query, written to out[0..] in
// ascending distance exactly as the index hands them out: the layer search's
// result list, ascending, cut to n, then sorted once more by the hit sort of
// heap.h (which orders as rk_qsort_simple with the index comparator). Callers
// copy them as they are; sorting them again could swap tied hits. Distances
// are the metric's: squared L2, negated dot product, or 1 - cosine
// similarity. 0 for null arguments, k 0, an empty graph or a failed scratch
// allocation. out must have room for k pairs.
size_t hnsw_search(rk_hnsw_t *h, const float *query, size_t k, HeapItem *out);

// Same search with a candidate-list size for this call (at least k is used,
// as with the stored ef_search); ef 0 uses the stored ef_search.
size_t hnsw_search_ex(rk_hnsw_t *h, const float *query, size_t k, uint32_t ef, HeapItem *out);

// The stored ef_search, read and written atomically so that the setting may
// change while searches run.
uint32_t hnsw_ef_search(const rk_hnsw_t *h);
void hnsw_set_ef_search(rk_hnsw_t *h, uint32_t ef);

// Empties slot id; a removed entry point hands over to the lowest occupied
// slot. Before the slot goes, each neighbour the node lists on each level
// has its list re-selected with the diversity rule from its own live
// neighbours and the removed node's, so that paths through the removed node
// survive it (nodes that list it without being listed by it keep the dead id,
// which walks skip). Without working memory for that, the node is removed
// all the same. RK_OK also when id was not present; RK_ERR_INVALID_ARG for
// null.
rk_status_t hnsw_remove(rk_hnsw_t *h, uint64_t id);

// ---- files and the index object (no locking: callers keep others away) --

// Occupied slots among [begin, end).
uint64_t hnsw_count_occupied(const rk_hnsw_t *h, uint64_t begin, uint64_t end);
// Grows the table to at least `slots` slots (never shrinks).
// RK_ERR_NO_MEMORY when that is more than kMaxSlots or cannot be had.
rk_status_t hnsw_reserve(rk_hnsw_t *h, uint64_t slots);
// Makes a node for slot id at the given level with empty lists and `vector`
// copied as stored (already normalised for cosine graphs: no metric
// treatment), puts it in the table (growing it to 2 * id + 2 when needed) and
// returns it in *out. Does not touch ntotal or the entry point.
// `nodes` is the node count the graph is being filled to (for the slot limit).
rk_status_t hnsw_place_node(rk_hnsw_t *h, uint64_t id, uint32_t level, const float *vector, uint64_t nodes,
                            HnswNode **out);
// Replaces the level-l list of node with count ids (ids that no table can hold
// become kNoId). RK_ERR_INVALID_ARG when the node does not reach level l or
// count exceeds the level's cap.
rk_status_t hnsw_set_links(rk_hnsw_t *h, HnswNode *node, uint32_t l, const uint64_t *ids, uint32_t count);

// ---- internal pieces shared by the graph's sources -----------------------

uint32_t hnsw_draw_level(const rk_hnsw_t *h);
// Grows the table to 2 * id + 2 slots (capped at hnsw_slot_limit of ntotal +
// pending nodes) when id is outside it; RK_ERR_TOO_LARGE when id itself is
// at or past that limit.
rk_status_t hnsw_grow_for(rk_hnsw_t *h, uint64_t id, uint64_t pending);
// A node of the given level with empty lists (its vector is left to fill).
rk_status_t hnsw_make_node(rk_hnsw_t *h, uint32_t level, HnswNode **out);
HnswScratch *scratch_acquire(rk_hnsw_t *h);
void scratch_release(rk_hnsw_t *h, HnswScratch *s);
void scratch_pool_free(rk_hnsw_t *h);

// ---- filtered search (hnsw_filtered.cpp) ---------------------------------

// The nearest min(k, found) nodes the filter accepts, ascending as
// hnsw_search_ex hands hits out. The walk is the layer search's with a list
// of at least ef (0: the stored ef_search) over every node it meets, refused
// ones included, so they still lead it on; it does not stop while it holds
// fewer than k accepted nodes and has somewhere left to go, and it stops
// once it has computed filter.budget distances (0: no bound). 0 for null
// arguments, k 0, an empty graph or failed working memory.
size_t hnsw_search_filtered(rk_hnsw_t *h, const float *query, size_t k, uint32_t ef, const IdFilter &filter,
                            HeapItem *out);

}  // namespace rk

#endif
