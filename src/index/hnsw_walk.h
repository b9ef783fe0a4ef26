// SPDX-License-Identifier: Apache-2.0
// Walks over the HNSW graph shared by search and insertion: the greedy
// descent, the layer search and the working memory they borrow.
#ifndef RK_INDEX_HNSW_WALK_H
#define RK_INDEX_HNSW_WALK_H

#include <cstddef>
#include <cstdint>

#include "index/heap.h"
#include "index/hnsw.h"
#include "index/id_filter.h"

namespace rk {

// Shared or exclusive hold of the graph's lock for one scope.
class ReadHold {
public:
    explicit ReadHold(rk_rwlock_t *l) : l_(l) { rk_rwlock_rdlock(l_); }
    ~ReadHold() { rk_rwlock_rdunlock(l_); }
    ReadHold(const ReadHold &) = delete;
    ReadHold &operator=(const ReadHold &) = delete;

private:
    rk_rwlock_t *l_;
};

class WriteHold {
public:
    explicit WriteHold(rk_rwlock_t *l) : l_(l) { rk_rwlock_wrlock(l_); }
    ~WriteHold() { rk_rwlock_wrunlock(l_); }
    WriteHold(const WriteHold &) = delete;
    WriteHold &operator=(const WriteHold &) = delete;

private:
    rk_rwlock_t *l_;
};

// Candidate of a layer search, keyed for the selection heap.
struct CandKey {
    float d;
    uint32_t pos;  // position in the candidate array
};

struct HnswScratch {
    // Visited set: slot id -> stamp; a slot is visited when its stamp equals
    // gen, and its distance to the query waits beside it when the stamp is
    // gen - 1. Starting a new set is one step of gen instead of clearing.
    // Both live side by side, so one visit touches one cache line.
    struct Visit {
        uint32_t stamp;
        float d;
    };
    Visit *visits;
    uint64_t stamp_cap;
    uint32_t gen;
    // Candidate array (ids and distances by position) and a min-heap over its
    // positions; where[pos] is pos's place in the heap.
    uint32_t *cand_id;
    float *cand_d;
    CandKey *cand_heap;
    uint32_t *where;
    size_t cand_cap;
    // Result heap storage; after a layer search it holds R, sorted.
    HeapItem *results;
    size_t results_cap;
    // One neighbour list's worth of rows, ids and distances.
    const float **rows;
    uint32_t *ids;
    float *dists;
    size_t batch_cap;
    // The query as the graph stores vectors (normalised for cosine).
    float *query;
    size_t query_cap;
    // The new node's chosen neighbours on the level being linked.
    HeapItem *picked;
    size_t picked_cap;
    // Re-selecting one node's list: its candidates and the kept ones.
    HeapItem *sel_in;
    HeapItem *sel_out;
    size_t sel_cap;
    // Candidates still in the running during a diversity selection.
    unsigned char *alive;
    size_t alive_cap;
    int pool_slot;  // the pool slot it belongs to, or -1 for a private one
};

// Distances of query against rows, by the graph's metric.
using ManyFn = void (*)(const float *q, const float *const *rows, size_t n, uint32_t dim, float *out);
ManyFn metric_many(uint32_t metric);
float metric_one(uint32_t metric, const float *a, const float *b, uint32_t dim);
// Writes v as the graph stores it: a unit-normalised copy for cosine graphs
// (all zeros for a vector whose norm is below 2^-23), a plain copy otherwise.
void store_form(uint32_t metric, const float *v, uint32_t dim, float *out);

// Makes sure s covers the graph's current table, dimension and list sizes.
bool scratch_fit(const rk_hnsw_t *h, HnswScratch *s);
// Starts an empty visited set with no distances cached.
void visited_reset(HnswScratch *s);

// Most rows one kernel group holds (one lane per row in the widest path); a
// layer search tops a batch up to a whole group with distances the next
// candidates will need.
inline constexpr size_t kSpecRows = 16;
// Candidates looked at for that top-up.
inline constexpr size_t kSpecCands = 8;
size_t kern_group_rows();

// Context of one walk: the query in stored form and the metric's kernel.
// Walks read every id a list holds, on every level.
struct Walk {
    const rk_hnsw_t *h;
    HnswScratch *s;
    const float *q;
    ManyFn many;
};

// Collects the ids of c's level-l list that name an existing node not yet
// visited, marking them visited, into s->ids with their vectors in s->rows.
// Returns how many.
size_t gather(const Walk &w, uint32_t c, uint32_t l);

// Greedy descent on level l from the valid node e, using (and adding to) the
// current visited set. Returns the node where no listed neighbour is nearer.
uint32_t greedy_walk(const Walk &w, uint32_t e, uint32_t l);

// The start of every search: takes a scratch, stores the query in it and
// walks greedily from the entry point (or, when that slot is empty, the
// first occupied one) down to level 1. Returns the scratch with the level-0
// start in *e, or nullptr when the graph is empty or working memory could
// not be had (nothing is then held). The caller holds the graph's lock and
// releases the scratch.
HnswScratch *descend(rk_hnsw_t *h, const float *query, uint32_t *e);

// Layer search on level l from e with list size ef, on a fresh visited set.
// Leaves R in s->results, ascending; returns |R|, or SIZE_MAX when working
// memory could not be had.
size_t layer_search(const Walk &w, uint32_t e, uint32_t l, size_t ef);

// The filtered walk over level 0 from e, on a fresh visited set. W keeps
// the nearest nodes met whatever the filter says, which steers and stops
// the walk exactly as in the layer search; R keeps the nearest nodes the
// filter accepts, the answer. Refused nodes thus still carry the walk
// through the parts of the graph where matches are rare. While R holds
// fewer than k nodes every neighbour met is queued and the walk goes on
// past W's stop rule, until R fills, the candidates run out or f.budget
// nodes have been measured. Returns |R|, or SIZE_MAX when working memory
// could not be had.
size_t filtered_layer0(const Walk &w, uint32_t e, size_t k, const IdFilter &f, ResultHeap *W, ResultHeap *R);

// ---- neighbour selection -------------------------------------------------

// The diversity rule. cand[0..n) are candidates for the list of a base node,
// in ascending distance to it. Going down that order, a candidate is kept
// when it is strictly nearer to the base than to every candidate kept before
// it; selection stops at cap. With `fill`, places still free afterwards take
// the passed-over candidates, nearest first. Writes the kept ones to out in
// the order kept and returns their count, or SIZE_MAX when scratch memory
// fails. Uses s->rows, ids, dists and alive; out must not be cand.
size_t diversity_select(const rk_hnsw_t *h, HnswScratch *s, const HeapItem *cand, size_t n, size_t cap,
                        bool fill, HeapItem *out);

// Rewrites node's level-l list with the diversity rule over its live listed
// neighbours plus `extra` (ids not already listed, never the node itself),
// ranked by distance to node, filling free places as diversity_select does
// when `fill` is set. Uses s->sel_in and sel_out. false when scratch memory
// fails (the list is then unchanged).
bool reselect_list(rk_hnsw_t *h, HnswScratch *s, HnswNode *node, uint32_t l, const uint32_t *extra,
                   size_t n_extra, bool fill);

}  // namespace rk

#endif
