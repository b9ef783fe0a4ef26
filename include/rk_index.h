/* SPDX-License-Identifier: Apache-2.0 */
/*
 * rk_index.h - index object, HNSW graph, IVF lists, index files, result heap and sorts
 *
 * Threading: an HNSW graph carries one reader/writer lock: searches share it,
 * insertions and removals hold it exclusively, so searches may run on many
 * threads beside each other and wait for a running insertion. An IVF index
 * guards its object with a mutex and each inverted list with a reader/writer
 * lock, so a search may run beside an add. The index object itself takes no
 * lock: creating, destroying, training, saving and loading must be kept away
 * from every other use of the same index by the caller (a collection does so
 * under its own lock). Level draws of HNSW insertions use the process-wide
 * random generator, which has no lock: callers serialise insertions with other
 * users of the generator. The sorts keep no state and are reentrant.
 */
#ifndef RK_INDEX_H
#define RK_INDEX_H

#include "rk_common.h"

RK_EXTERN_C_BEGIN

/* ---- result heap and sorts ---- */

/*
 * Generic in-place sorts of arrays of fixed-size records. They keep no state,
 * allocate nothing (rk_insertion_sort takes one record-sized scratch buffer)
 * and may run on any number of threads at once on different arrays; the
 * comparator is called on the caller's thread only.
 */

/**
 * Record comparator with a caller's pointer: negative when a goes before b,
 * positive when after, 0 when they are equal. user is passed through as given.
 */
typedef int (*rk_compare_fn)(const void *a, const void *b, void *user);
/** Record comparator without a caller's pointer; same sign rules. */
typedef int (*rk_compare_simple_fn)(const void *a, const void *b);

/**
 * Sorts count records of size bytes at base in place by compare.
 * Ranges above 16 records are partitioned around their middle record; ranges of
 * 16 or fewer finish by insertion, which keeps equal records in order. Not
 * stable above 16 records. Records are exchanged byte by byte; no memory is
 * allocated and the stack depth stays logarithmic in count.
 * Does nothing when base or compare is null, or count or size is 0.
 * @param base    first record (caller-owned, modified in place)
 * @param count   number of records
 * @param size    bytes per record
 * @param compare comparator, called as compare(a, b, user)
 * @param user    passed to every compare call unchanged
 * Thread-safety: reentrant; the array must not be touched by others meanwhile.
 */
RK_API void rk_qsort(void *base, size_t count, size_t size, rk_compare_fn compare, void *user);

/**
 * rk_qsort with a two-argument comparator: identical guards, comparisons and
 * resulting order.
 * Thread-safety: as rk_qsort.
 */
RK_API void rk_qsort_simple(void *base, size_t count, size_t size, rk_compare_simple_fn compare);

/**
 * Stable insertion sort of count records of size bytes at base by compare.
 * Takes one record-sized scratch buffer from rk_alloc and returns it with
 * rk_free; does nothing when base or compare is null, count <= 1, size is 0
 * or the buffer cannot be had (the array is then left as it was).
 * @param user passed to every compare call unchanged
 * Thread-safety: reentrant; the array must not be touched by others meanwhile.
 */
RK_API void rk_insertion_sort(void *base, size_t count, size_t size, rk_compare_fn compare, void *user);

/* ---- HNSW graph ---- */

#include "rk_memory.h"

/**
 * HNSW parameters (24 bytes), part of the index configuration for the HNSW
 * index types. The index has no defaults of its own: the caller supplies m,
 * ef_construction and ef_search.
 */
typedef struct rk_hnsw_params_t {
    uint32_t m;               /**< neighbours per node above level 0; level 0 keeps 2 * m */
    uint32_t ef_construction; /**< candidate-list size while inserting */
    uint32_t ef_search;       /**< candidate-list size while searching (at least k is used) */
    uint32_t max_level;       /**< highest level a node may draw; 0 = no cap */
    uint32_t seed;            /**< recorded with the index (0 means 12345); level draws use rk_rand */
    float level_mult;         /**< level multiplier; 0 or negative means 1 / ln(m) */
} rk_hnsw_params_t;

/**
 * A hierarchical navigable small-world graph: the graph behind the HNSW index
 * types. A node's id is its slot in the graph's node table, so ids are meant
 * to be small integers handed out in increasing order. Insertion, search and
 * removal are reached through the index object (rk_index_add_batch,
 * rk_index_search, rk_index_remove). Opaque; owned by the arena it was made in.
 *
 * Construction. A node lives on levels 0 .. its drawn level; its lists hold
 * up to 2 * m ids on level 0 and m above, and walks read every id listed.
 * A new node searches each of its levels with ef_construction candidates and
 * keeps them by the diversity rule: in ascending distance, a candidate is
 * kept only when it is nearer to the new node than to every neighbour kept
 * before it, up to m on every level (a level-0 list grows towards 2 * m as
 * later nodes link to it). Each kept neighbour lists the new node
 * back; a neighbour whose list is full re-selects it by the same rule from
 * its members and the new node. Removing a node re-links the nodes it lists
 * among themselves by the same rule, so paths through it survive. The same
 * data, parameters and generator seed give the same graph on every machine.
 */
typedef struct rk_hnsw_t rk_hnsw_t;

/**
 * Creates an empty graph for vectors of dim floats, with a node table of 4096
 * slots, its reader/writer lock and a copy of *params; a level_mult of 0 or
 * less is replaced by 1 / ln(m) (the library's own logarithm).
 * @param arena  holds the graph, its table, nodes and vectors; null makes a
 *               new arena of 4 MiB blocks that belongs to the graph: it is
 *               destroyed again if creation fails, and by rk_hnsw_destroy
 * @param dim    vector dimension, non-zero
 * @param params copied; not kept
 * @return the graph, or null when dim is 0, params is null or memory runs
 *         out (a caller's arena keeps what was taken from it before the failure)
 * Thread-safety: touches nothing shared except the arena given.
 */
RK_API rk_hnsw_t *rk_hnsw_create(rk_arena_t *arena, uint32_t dim, const rk_hnsw_params_t *params);

/**
 * Destroys the graph's lock and releases its search scratch buffers (taken
 * through the allocator hooks). The graph's own memory goes with its arena:
 * a caller's arena is left alone, an arena that rk_hnsw_create made itself is
 * destroyed here. Null is ignored. The graph must not be used afterwards, and
 * no other thread may be using it during the call.
 */
RK_API void rk_hnsw_destroy(rk_hnsw_t *hnsw);

/**
 * The id of the entry node, or -1 for a null or empty graph.
 * Thread-safety: takes the graph's lock shared.
 */
RK_API int64_t rk_hnsw_get_entry_point(rk_hnsw_t *hnsw);

/**
 * The level of the entry node (the graph's top level), 0 for a null graph.
 * Thread-safety: takes the graph's lock shared.
 */
RK_API uint32_t rk_hnsw_get_max_level(rk_hnsw_t *hnsw);

/**
 * Extension: sets the candidate-list size of later searches (at least k is
 * always used), without rebuilding. The value is saved with the graph by
 * rk_index_save.
 * @return RK_OK; RK_ERR_INVALID_ARG for a null graph.
 * Thread-safety: may run beside searches, which see the old or the new value.
 */
RK_API rk_status_t rk_hnsw_set_ef_search(rk_hnsw_t *hnsw, uint32_t ef_search);

/**
 * Extension: the candidate-list size searches use, 0 for a null graph.
 * Thread-safety: safe at any time.
 */
RK_API uint32_t rk_hnsw_get_ef_search(const rk_hnsw_t *hnsw);

/* ---- IVF index ---- */

/**
 * Parameters of an inverted-file index (index types 1, 3 and 5).
 * The index code has no defaults: the caller supplies every field.
 */
typedef struct rk_ivf_params_t {
    uint32_t nlist;            /**< number of inverted lists; must be non-zero */
    uint32_t nprobe;           /**< lists scanned per query (capped at nlist; 0 scans none) */
    uint32_t train_iterations; /**< k-means rounds after the seeding */
    /**
     * reserved[0] (an extension; 0 keeps the original behaviour) picks how
     * training places the first centroids, after centroid 0 is the row
     * rk_rand() % count:
     * RK_IVF_SEEDING_FARTHEST (0): each next centroid is the row farthest from
     *   its nearest earlier centroid (the first such row on ties).
     * RK_IVF_SEEDING_KMEANS_PP (1): k-means++, each next centroid drawn with
     *   probability proportional to a row's squared distance to its nearest
     *   earlier centroid, from draws of rk_rand() by a fixed single-precision
     *   procedure, so rk_srand(seed) gives the same centroids on every
     *   machine. Spreads lists more evenly on clustered data, where the
     *   farthest-point start picks outliers.
     * RK_IVF_SEEDING_UNIFORM (2): nlist distinct rows drawn uniformly (a
     *   Fisher-Yates shuffle of the row numbers stopped after nlist steps,
     *   step i swapping positions i and i + rk_rand() % (count - i)), as
     *   FAISS seeds. Dense regions get centroids in proportion to their
     *   rows, so lists fill most evenly of the three.
     * Any other value makes training fail with RK_ERR_INVALID_ARG (the index
     * is left as it was). Index files do not keep this word: a loaded index
     * is already trained, and retraining it uses the farthest-point start
     * unless the word is set again. reserved[1] is never read.
     */
    uint32_t reserved[2];
} rk_ivf_params_t;

/** Seedings for rk_ivf_params_t.reserved[0]. */
#define RK_IVF_SEEDING_FARTHEST 0u
#define RK_IVF_SEEDING_KMEANS_PP 1u
#define RK_IVF_SEEDING_UNIFORM 2u

/**
 * Inverted-file index: nlist centroids placed by k-means, each owning a list
 * of the vectors nearest to it. Opaque; it is normally reached through the
 * index object (rk_index_*), which trains, fills and searches it.
 *
 * Threading: adders are serialised by the index's mutex and each append
 * write-locks its list; searches read-lock only the lists they scan, so they
 * may run beside adds. Create, destroy and training take no lock: callers
 * keep other users away from them.
 */
typedef struct rk_ivf_t rk_ivf_t;

/**
 * Creates an untrained IVF index with nlist zero centroids and empty lists.
 *
 * @param arena  arena for the object, centroids and entries; null makes a
 *               4 MiB-block arena owned by the index (released by
 *               rk_ivf_destroy)
 * @param dim    vector dimension, non-zero
 * @param params copied; params->nlist must be non-zero
 * @return the index, or null when dim is 0, params is null, nlist is 0, the
 *         sizes overflow, or an allocation or lock creation fails (an arena
 *         made here is released again; a caller's arena keeps what was taken).
 * Thread-safety: safe to call concurrently; the result is private until shared.
 */
RK_API rk_ivf_t *rk_ivf_create(struct rk_arena_t *arena, uint32_t dim, const rk_ivf_params_t *params);

/**
 * Releases the index's locks, and the arena when rk_ivf_create made it.
 * Memory in a caller's arena stays until that arena goes. Null is ignored.
 * Thread-safety: no other call may use the index during or after this.
 */
RK_API void rk_ivf_destroy(rk_ivf_t *ivf);

/**
 * Number of inverted lists.
 * @return nlist, or 0 for a null index.
 * Thread-safety: safe at any time.
 */
RK_API uint32_t rk_ivf_get_nlist(const rk_ivf_t *ivf);

/**
 * Number of entries in one list.
 * @param list list number, 0 .. nlist - 1
 * @return the count, or 0 for a null index or list >= nlist.
 * Thread-safety: safe beside adds (the count read is atomic).
 */
RK_API uint64_t rk_ivf_get_list_size(const rk_ivf_t *ivf, uint32_t list);

/**
 * Extension: sets how many lists later searches scan (capped at nlist; 0
 * scans none), without retraining. The value is saved with the index by
 * rk_index_save.
 * @return RK_OK; RK_ERR_INVALID_ARG for a null index.
 * Thread-safety: may run beside searches, which see the old or the new value.
 */
RK_API rk_status_t rk_ivf_set_nprobe(rk_ivf_t *ivf, uint32_t nprobe);

/**
 * Extension: the number of lists searches scan, 0 for a null index.
 * Thread-safety: safe at any time.
 */
RK_API uint32_t rk_ivf_get_nprobe(const rk_ivf_t *ivf);

/* ---- index object ---- */

/*
 * An index object (rk_index_t) is one approximate-nearest-neighbour index of
 * a fixed type: IVF lists (types 1, 3, 5) or an HNSW graph (types 2, 4, 6),
 * possibly with a scalar or product quantiser. Every operation checks its
 * arguments and forwards to the type's own implementation.
 *
 * Ranking. Smaller distances are nearer. With metric RK_METRIC_L2 an index
 * ranks by squared Euclidean distance (no square root; the IVF-PQ type
 * reports the Euclidean distance to the code's reconstruction); with
 * RK_METRIC_IP by the negated dot product; with RK_METRIC_COSINE by
 * 1 - cosine similarity.
 *
 * Memory. Everything an index holds lives in one arena: the caller's, which
 * the index never releases, or one that rk_index_create makes, which
 * rk_index_destroy releases together with the index.
 *
 * Threading: the index object itself takes no lock. Searches may run beside
 * each other and beside adds and removals (the type's own locks order them);
 * create, destroy, train, save and load must be kept away from every other
 * use of the same index by the caller.
 */

/** An index object; owned by the library, reached only through rk_index_*. */
typedef struct rk_index_t rk_index_t;

/** Configuration handed to rk_index_create; a plain record the caller fills. */
typedef struct rk_index_config_t {
    uint32_t type;         /**< rk_index_type_t, 1..6 */
    uint32_t metric;       /**< rk_metric_t: how the index ranks (see above) */
    uint32_t quantization; /**< 1 or 2: types 1 and 2 also make a scalar quantiser */
    uint32_t dimension;    /**< vector dimension, non-zero */
    uint32_t reserved0[2]; /**< not read */
    union {
        rk_hnsw_params_t hnsw; /**< even types */
        rk_ivf_params_t ivf;   /**< odd types */
    } params;
    uint32_t pq_m;         /**< product-quantiser sub-quantisers (types 3, 4) */
    uint32_t pq_nbits;     /**< bits per product-quantiser code (types 3, 4), at most 8 */
    uint32_t reserved1[2]; /**< not read by the index */
} rk_index_config_t;

/** One search hit. Callers pass arrays of k such 48-byte slots; the index writes only id and distance. */
typedef struct rk_index_result_t {
    uint64_t id;
    float distance;
    uint8_t reserved[36]; /**< never written by the index */
} rk_index_result_t;

/** Figures filled by rk_index_get_stats. */
typedef struct rk_index_stats_t {
    uint64_t ntotal;       /**< vectors added (removals do not lower it) */
    uint64_t memory_bytes; /**< rk_index_get_memory_usage */
    uint64_t reserved0;    /**< 0 */
    uint32_t nlist;        /**< list count for types 1 and 3, else 0 */
    uint32_t max_level;    /**< top graph level for types 2 and 4, else 0 */
    uint64_t reserved1;    /**< 0 */
} rk_index_stats_t;

/**
 * Creates an index of config->type (1..6) for vectors of config->dimension.
 * Types 3 and 4 also make a product quantiser (pq_m, pq_nbits; when that
 * fails, for instance with pq_m 0, the index has none and type 3 then stores
 * float vectors); types 5 and 6, and types 1 and 2 with quantization 1 or 2,
 * make a scalar quantiser.
 * @param arena  arena to allocate in (never released by the index), or null:
 *               the index then makes its own 4 MiB arena and releases it in
 *               rk_index_destroy
 * @param config the configuration (read only, not kept)
 * @return the index, or null when config is null, the type is outside 1..6,
 *         the metric is outside 0..2, the type's parameters are refused (zero
 *         dimension, IVF nlist 0) or memory runs out. On failure an arena the
 *         call made is released; a caller's arena keeps what was allocated.
 * Thread-safety: touches only the given arena; do not share that arena with
 * another thread meanwhile.
 */
RK_API rk_index_t *rk_index_create(struct rk_arena_t *arena, const rk_index_config_t *config);

/**
 * Releases the locks of the index, and its arena when rk_index_create or
 * rk_index_load made that arena; a caller's arena is never touched (the
 * index's memory then stays in it until the caller releases it). Null is
 * ignored. The index must not be used afterwards.
 * Thread-safety: no other call may use the index meanwhile.
 */
RK_API void rk_index_destroy(rk_index_t *index);

/**
 * Trains an IVF index (types 1, 3, 5) on count rows of dimension floats:
 * k-means places the list centroids, then the type's quantiser is trained.
 * HNSW types need no training and return RK_OK at once.
 * @return RK_OK; RK_ERR_INVALID_ARG for a null index or data, count 0,
 *         fewer rows than lists, or an unknown seeding in the IVF
 *         parameters' reserved[0]; RK_ERR_NO_MEMORY; or the quantiser's
 *         failure. After a failure the index stays untrained.
 * Thread-safety: keep every other use of the index away meanwhile.
 */
RK_API rk_status_t rk_index_train(rk_index_t *index, const float *data, uint64_t count);

/** 1 when the index can take vectors (always for HNSW types), 0 for an untrained IVF index or null. */
RK_API uint32_t rk_index_is_trained(const rk_index_t *index);

/**
 * Adds one vector (dimension floats, copied or encoded) under id.
 * Same as rk_index_add_batch with one row.
 */
RK_API rk_status_t rk_index_add(rk_index_t *index, uint64_t id, const float *vector);

/**
 * Adds n vectors: row i of vectors (dimension floats each, row after row) is
 * stored under ids[i]. IVF types place each row in the list of its nearest
 * centroid (as a float copy, a PQ code for type 3, an SQ code for type 5);
 * types 2 and 4 insert graph nodes (an HNSW id is its slot number, so ids
 * should be small integers; an existing id is replaced).
 * @return RK_OK; RK_ERR_INVALID_ARG for null index, ids or vectors or n 0;
 *         RK_ERR_INDEX_NOT_READY for an untrained IVF index (nothing added);
 *         RK_ERR_NOT_SUPPORTED for type 6; RK_ERR_NO_MEMORY when memory runs
 *         out part-way (rows before the failing one stay added);
 *         RK_ERR_TOO_LARGE (types 2 and 4) for an id the graph's node table
 *         may not grow to: the table, one slot per id up to the largest,
 *         grows to at most max(4194304, 64 x nodes) slots, nodes counting
 *         the graph's insertions so far plus the rows of this call, so one
 *         stray id cannot claim memory the data does not justify (rows
 *         before it stay added).
 * Thread-safety: adds serialise on the type's lock; searches may run beside.
 */
RK_API rk_status_t rk_index_add_batch(rk_index_t *index, const uint64_t *ids, const float *vectors,
                                      uint64_t n);

/**
 * Finds up to k nearest stored vectors to query (dimension floats).
 * @param results k caller-owned slots; hits are written to results[0..n-1]
 *                in ascending distance, slots beyond n are untouched
 * @return n, the number of hits (at most k); 0 for null arguments, k 0, an
 *         empty or untrained index, type 6, or any internal failure.
 * Thread-safety: may run beside other searches, adds and removals.
 */
RK_API uint64_t rk_index_search(rk_index_t *index, const float *query, uint64_t k,
                                rk_index_result_t *results);

/**
 * Extension: rk_index_search with a search effort for this call only: the
 * candidate-list size for the HNSW types (at least k is used), the number of
 * lists scanned for the IVF types (capped at nlist). 0 uses the index's
 * stored setting, which makes the call the same as rk_index_search.
 * @return as rk_index_search.
 * Thread-safety: as rk_index_search; the stored setting is not changed.
 */
RK_API uint64_t rk_index_search_ex(rk_index_t *index, const float *query, uint64_t k, uint32_t effort,
                                   rk_index_result_t *results);

/**
 * Extension: stored search settings, changed without rebuilding. ef_search
 * belongs to the HNSW types (2, 4, 6), nprobe to the IVF types (1, 3, 5);
 * rk_index_save writes the current value into the index file.
 * @param out receives the value; unchanged on failure
 * @return RK_OK; RK_ERR_INVALID_ARG for a null index (or null out);
 *         RK_ERR_NOT_SUPPORTED for an index of the other family or without
 *         its type object.
 * Thread-safety: may run beside searches, which see the old or the new value.
 */
RK_API rk_status_t rk_index_set_ef_search(rk_index_t *index, uint32_t ef_search);
RK_API rk_status_t rk_index_get_ef_search(const rk_index_t *index, uint32_t *out);
RK_API rk_status_t rk_index_set_nprobe(rk_index_t *index, uint32_t nprobe);
RK_API rk_status_t rk_index_get_nprobe(const rk_index_t *index, uint32_t *out);

/**
 * Answers nq queries (row after row, dimension floats each); query i writes
 * its hits into results[i*k .. i*k+k-1] as rk_index_search does. A query
 * without hits gets id 0xFFFFFFFFFFFFFFFF and distance FLT_MAX in its first
 * slot (when k > 0). IVF types rank the centroids for several queries at
 * once, so a batch costs less than nq calls of rk_index_search; the answers
 * are the same, bit for bit.
 * @return RK_OK (also for nq 0); RK_ERR_INVALID_ARG for null index, queries or results.
 * Thread-safety: as rk_index_search.
 */
RK_API rk_status_t rk_index_search_batch(rk_index_t *index, const float *queries, uint64_t nq, uint64_t k,
                                         rk_index_result_t *results);

/**
 * Removes id from the index, whatever its type, so that no later search
 * returns it; an id that is not there is not an error. rk_index_get_ntotal
 * still counts the removed vector.
 * @return RK_OK; RK_ERR_INVALID_ARG for a null index.
 * Thread-safety: serialises with adds on the type's lock.
 */
RK_API rk_status_t rk_index_remove(rk_index_t *index, uint64_t id);

/**
 * rk_index_remove for ids[0..n-1] in order.
 * @return the first failing status, else RK_OK; RK_ERR_INVALID_ARG for null
 *         index or ids or n 0.
 */
RK_API rk_status_t rk_index_remove_batch(rk_index_t *index, const uint64_t *ids, uint64_t n);

/** Vector dimension; 0 for null. */
RK_API uint32_t rk_index_get_dim(const rk_index_t *index);
/** Number of vectors added since creation (or stored in the loaded file); removals do not lower it. 0 for
 * null. */
RK_API uint64_t rk_index_get_ntotal(const rk_index_t *index);
/** The index type (rk_index_type_t); 0 for null. */
RK_API uint32_t rk_index_get_type(const rk_index_t *index);

/**
 * Rough size in bytes of the stored vectors and entries (codes, centroids and
 * graph links are not counted): types 1 and 3: 152 + 40 * nlist +
 * sum over lists of count * (4 * dimension + 24); types 2 and 4: 168 +
 * 8 * slot capacity + (4 * dimension + 64) * occupied slots; types 5 and 6: 24.
 * 0 for null.
 */
RK_API uint64_t rk_index_get_memory_usage(const rk_index_t *index);

/**
 * Clears *stats and fills ntotal, memory_bytes, and nlist (types 1, 3) or
 * max_level (types 2, 4).
 * @return RK_OK; RK_ERR_INVALID_ARG for a null index or stats (stats untouched).
 */
RK_API rk_status_t rk_index_get_stats(const rk_index_t *index, rk_index_stats_t *stats);

/* ---- index files ---- */

/*
 * An index file is a flat little-endian dump: a 32-bit type word, the type's
 * header (which records the metric: 0 for L2), its centroids and lists or its
 * graph nodes, and for quantised types the quantiser. Files carry no magic
 * number or checksum; loading checks every count and size against the bytes
 * the file really holds before allocating for it.
 *
 * Threading: neither call takes the index's locks. Keep every other use of
 * the index away while saving; a loaded index is private to the caller.
 */

/**
 * Writes index to the file at path (created or truncated, permission bits
 * 0644 before the process mask).
 * @param path NUL-terminated path in path->data
 * @return RK_OK; RK_ERR_INVALID_ARG for a null index, path or path data;
 *         RK_ERR_IO when the file cannot be opened or a write falls short
 *         (what was written stays in the file).
 * Thread-safety: see above.
 */
RK_API rk_status_t rk_index_save(const rk_index_t *index, const rk_string_t *path);

/**
 * Rebuilds an index from a file written by rk_index_save, allocating in the
 * caller's arena. A file cut short after its headers loads as the index
 * holding what precedes the cut.
 * @param arena the caller's arena (required; the index never releases it)
 * @param path  NUL-terminated path in path->data
 * @return the index, or null when arena, path or its data is null, the file
 *         cannot be opened, its type word or headers are missing or out of
 *         range, its sizes exceed what the file holds, or memory runs out
 *         before the index exists. Release with rk_index_destroy (which then
 *         releases locks only).
 * Thread-safety: touches only the given arena.
 */
RK_API rk_index_t *rk_index_load(struct rk_arena_t *arena, const rk_string_t *path);

RK_EXTERN_C_END

#endif /* RK_INDEX_H */
