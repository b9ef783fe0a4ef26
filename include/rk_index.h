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



/* ---- IVF index ---- */



/* ---- index object ---- */



/* ---- index files ---- */

RK_EXTERN_C_END

#endif /* RK_INDEX_H */
