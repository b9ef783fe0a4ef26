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
RK_API void rk_insertion_sort(void *base, size_t count, size_t size, rk_compare_fn compare,
                              void *user);



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



/* ---- IVF index ---- */

/**
 * Parameters of an inverted-file index (index types 1, 3 and 5).
 * The index code has no defaults: the caller supplies every field.
 */
typedef struct rk_ivf_params_t {
    uint32_t nlist;            /**< number of inverted lists; must be non-zero */
    uint32_t nprobe;           /**< lists scanned per query (capped at nlist; 0 scans none) */
    uint32_t train_iterations; /**< k-means rounds after the farthest-point start */
    uint32_t reserved[2];      /**< copied into the index, never read */
} rk_ivf_params_t;

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
RK_API rk_ivf_t *rk_ivf_create(struct rk_arena_t *arena, uint32_t dim,
                               const rk_ivf_params_t *params);

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

/* ---- index object ---- */



/* ---- index files ---- */

RK_EXTERN_C_END

#endif /* RK_INDEX_H */
