// SPDX-License-Identifier: Apache-2.0
// Inverted-file index: the object layout and the internal entry points the
// index object and the index files use. Hosts see rk_ivf_t as opaque.
//
// Wiring from the index object: rk_ivf_create(arena, dim, params), then
// ivf_bind(type, quantization, pq, sq) once the quantiser exists and
// ivf_set_metric(config metric); ivf_train / ivf_add_batch / ivf_search /
// ivf_remove serve train, add, search and remove; rk_ivf_destroy releases
// the locks for every IVF type (they come from the allocator hooks).
// Loading a saved index: ivf_set_metric, ivf_bind (with the PQ before the
// entries of a type-3 file), the centroids through ivf_centroid,
// ivf_set_trained, then ivf_append_raw for each stored entry.
//
// Storage: each list keeps its entries in chunks that never move once
// allocated (sizes 16, 16, 32, 64, ...: the capacity doubles without copying
// anything). A chunk holds the ids, the payloads side by side (dim floats,
// or a quantiser code, per entry) so a scan hands whole runs of rows to the
// batch kernels, and for cosine indexes the norm of every stored vector.
#ifndef RK_INDEX_IVF_H
#define RK_INDEX_IVF_H

#include <cstddef>
#include <cstdint>

#include "index/heap.h"
#include "index/id_filter.h"
#include "index/kmeans.h"
#include "rk_index.h"
#include "rk_memory.h"
#include "rk_platform.h"
#include "rk_quant.h"

namespace rk {

// What an entry carries.
enum class IvfPayload : uint32_t {
    kFloat = 0,  // the vector itself, dim floats
    kPq = 1,     // a product-quantiser code, m bytes
    kSq = 2,     // a scalar-quantiser code, dim bytes
};

struct IvfChunk {
    uint64_t *ids;
    unsigned char *payload;  // cap * payload_bytes
    float *norms;            // cap floats for cosine float payloads, else null
    uint64_t cap;
};

struct IvfList {
    IvfChunk *chunks;  // nchunks in use, room for chunk_room
    uint32_t nchunks;
    uint32_t chunk_room;
    uint64_t count;
    uint64_t capacity;  // entries the chunks can hold
    rk_rwlock_t *lock;
};

// One hit of an IVF search.
using IvfHit = HeapItem;

}  // namespace rk

struct rk_ivf_t {
    uint32_t type;    // index type (1, 3 or 5); 1 from rk_ivf_create
    uint32_t metric;  // 0 L2, 1 inner product, 2 cosine
    uint32_t dim;
    uint64_t ntotal;  // entries stored; read and written atomically
    rk_ivf_params_t params;
    rk::IvfList *lists;
    float *centroids;  // nlist * dim floats, list 0 first
    // The centroids packed for the panel kernels, and whether they still
    // match: set when training or ivf_set_trained settles the centroids,
    // cleared when ivf_centroid hands out a centroid for writing.
    float *panels;
    bool panels_current;
    uint32_t nlist;
    uint32_t quantization;  // 2 from rk_ivf_create
    rk_pq_t *pq;
    rk_sq_quantizer_t *sq;
    rk_arena_t *arena;
    rk_mutex_t *mutex;  // serialises writers
    uint32_t trained;
    rk::IvfPayload payload;
    uint32_t payload_bytes;
    bool owns_arena;  // made by rk_ivf_create, released by rk_ivf_destroy
};

namespace rk {

// ---- configuration (before any entry is stored) ----

// Records the index type, the quantisation setting and the quantisers the
// entries will use, and settles what an entry carries: a PQ code for type 3
// with a PQ, an SQ code for type 5 with an SQ, the float vector otherwise.
// RK_ERR_INVALID_ARG for a null ivf or a type other than 1, 3, 5; a change of
// payload on an index that already stores entries is refused with
// RK_ERR_INVALID_ARG and changes nothing.
rk_status_t ivf_bind(rk_ivf_t *ivf, uint32_t type, uint32_t quantization, rk_pq_t *pq, rk_sq_quantizer_t *sq);

// Sets the metric entries are ranked by (0 L2, 1 inner product, 2 cosine).
// Train after setting it: metrics 1 and 2 cluster directions. Refused with
// RK_ERR_INVALID_ARG for a metric above 2 or while the index stores entries.
rk_status_t ivf_set_metric(rk_ivf_t *ivf, uint32_t metric);

// Centroid rule for the index's metric.
CentroidRule ivf_rule(const rk_ivf_t *ivf);

// ---- training, adding, searching, removing ----

// k-means over count rows into the centroids, then the quantiser the type
// calls for. RK_ERR_INVALID_ARG for null arguments, count 0 or count below
// nlist; RK_ERR_NO_MEMORY for scratch; a quantiser failure is passed back.
// On failure the index keeps its earlier centroids and trained flag.
rk_status_t ivf_train(rk_ivf_t *ivf, const float *data, uint64_t count);

// Appends n rows (n * dim floats) to the lists of their nearest centroids.
// RK_ERR_INDEX_NOT_READY before training; RK_ERR_NO_MEMORY when list growth
// fails (rows before it stay, ntotal counts them); RK_ERR_UNKNOWN when a
// list has no lock.
rk_status_t ivf_add_batch(rk_ivf_t *ivf, const uint64_t *ids, const float *rows, uint64_t n);

// Up to k hits, nearest first, into out (k slots). 0 on any failure, for
// k 0, an empty or untrained index.
uint64_t ivf_search(const rk_ivf_t *ivf, const float *query, uint64_t k, IvfHit *out);
// The same with nprobe lists for this call instead of the stored setting.
uint64_t ivf_search_probes(const rk_ivf_t *ivf, const float *query, uint64_t k, uint32_t nprobe, IvfHit *out);
// Queries whose centroids a batch search ranks together.
inline constexpr size_t kIvfRankGroup = 8;
// nq queries (dim floats each, one after another) as nq calls of
// ivf_search_probes: query i's hits go to out[i*k ..] and their count to
// counts[i]. The centroids are ranked for kIvfRankGroup queries at a time,
// each loaded centroid column serving several of them; every score has the
// bits of the one-query ranking, so every answer is the same.
void ivf_search_batch(const rk_ivf_t *ivf, const float *queries, uint64_t nq, uint64_t k, uint32_t nprobe,
                      IvfHit *out, uint64_t *counts);
// Up to k hits the filter accepts, nearest first: the nprobe nearest lists
// are scanned skipping refused entries, then further lists in probe order
// while fewer than k entries have matched (and, with a budget, fewer than
// budget entries have been scored). 0 on any failure, for k 0, an empty or
// untrained index.
uint64_t ivf_search_filtered(const rk_ivf_t *ivf, const float *query, uint64_t k, uint32_t nprobe,
                             const IdFilter &filter, IvfHit *out);
// The stored nprobe, read and written atomically so that a setting may
// change while searches run.
uint32_t ivf_nprobe(const rk_ivf_t *ivf);
void ivf_set_nprobe(rk_ivf_t *ivf, uint32_t nprobe);

// Removes every entry whose id is among ids[0..n) from every list, keeping
// the order of the remaining entries. Returns the number of entries removed
// in *removed (may be null). RK_ERR_NO_MEMORY when scratch for many ids fails.
rk_status_t ivf_remove(rk_ivf_t *ivf, const uint64_t *ids, uint64_t n, uint64_t *removed);

// ---- state for the index object and index files ----

uint64_t ivf_ntotal(const rk_ivf_t *ivf);
// Sets the trained flag; setting it also packs the centroids for searching.
void ivf_set_trained(rk_ivf_t *ivf, uint32_t trained);
// 152 + 40 * nlist + sum over the lists of count * (4 * dim + 24).
uint64_t ivf_memory_usage(const rk_ivf_t *ivf);
// Centroid of a list (dim floats) for reading or loading; null when out of
// range. The pointer may be written through: searches rank lists from the
// plain centroids until ivf_set_trained packs them again.
float *ivf_centroid(rk_ivf_t *ivf, uint32_t list);
// Scores of a query against every centroid (nlist floats), as
// centroid_scores gives them, through the packed panels when current.
void ivf_centroid_scores(const rk_ivf_t *ivf, const float *query, float *out);
// The same for nq queries at once: query i's scores go to out[i*nlist ..].
void ivf_centroid_scores_many(const rk_ivf_t *ivf, const float *const *queries, size_t nq, float *out);
// Entry i of a list: its id and payload (payload_bytes bytes). false when
// out of range. Callers keep writers away while they walk the lists.
bool ivf_entry(const rk_ivf_t *ivf, uint32_t list, uint64_t i, uint64_t *id, const void **payload);
// Appends one entry with a ready payload (payload_bytes bytes) to a list,
// without choosing the list: for loading saved indexes. Counts it in ntotal.
rk_status_t ivf_append_raw(rk_ivf_t *ivf, uint32_t list, uint64_t id, const void *payload);

}  // namespace rk

#endif
