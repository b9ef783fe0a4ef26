/* SPDX-License-Identifier: Apache-2.0 */
/*
 * rk_collection.h - collections: records with ids, vectors and metadata;
 * exhaustive and index-backed search; metadata filters; collection files.
 *
 * Threading: every collection carries one reader/writer lock. Readers
 * (get, get_batch, get_record, get_meta, get_stats, foreach and every search)
 * share it for their whole call; writers (inserts, upsert, deletes,
 * set_meta, clear and the index-management functions) hold it exclusively.
 * The lock is never held between calls. Iterators, rk_collection_get_name and
 * rk_collection_has_index take no lock: the collection must not be written
 * while they are in use. Pointers into a collection (records from
 * rk_collection_get_record and iterators, vectors and metadata in search
 * results) stay valid only until the next write to it. Creation and destroy
 * must not race with any other use of the same collection.
 */
#ifndef RK_COLLECTION_H
#define RK_COLLECTION_H

#include "rk_common.h"
#include "rk_error.h"
#include "rk_memory.h"
#include "rk_platform.h"

RK_EXTERN_C_BEGIN

/* ---- records, metadata and configuration ---- */

/** Type tag of a metadata entry. Other values are allowed and match every filter condition. */
typedef enum rk_meta_type_t {
    RK_META_INT32 = 1,
    RK_META_INT64 = 2,
    RK_META_FLOAT = 3,
    RK_META_DOUBLE = 4,
    RK_META_STRING = 5, /**< an rk_string_t in the value */
    RK_META_BOOL = 6    /**< held as a 32-bit integer, 0 false */
} rk_meta_type_t;

/** The 16-byte value of a metadata entry (or of a filter condition), read in the form its type names. */
typedef union rk_meta_value_t {
    int32_t i32;
    int64_t i64;
    float f32;
    double f64;
    rk_string_t str;
    int32_t b;
} rk_meta_value_t;

/** One typed metadata entry. */
typedef struct rk_meta_entry_t {
    rk_string_t key;
    int32_t type; /**< rk_meta_type_t */
    rk_meta_value_t value;
} rk_meta_entry_t;

/** One stored record; every pointer is owned by the collection. */
typedef struct rk_record_t {
    uint64_t id;
    float *vector;             /**< dimension floats */
    rk_meta_entry_t *metadata; /**< metadata_count entries, or null */
    uint64_t metadata_count;
} rk_record_t;

/** The record that creates a collection. */
typedef struct rk_collection_config_t {
    rk_string_t name;     /**< data must be NUL-terminated */
    uint32_t dimension;   /**< floats per vector; non-zero */
    uint32_t metric;      /**< rk_metric_t */
    int32_t index_type;   /**< rk_index_type_t, or -1 for the default index configuration */
    uint64_t reserved;    /**< not read */
    uint32_t auto_resize; /**< stored only */
    uint32_t quantization;
    uint32_t pq_m;
    uint32_t pq_nbits;
} rk_collection_config_t;

/* ---- collection object ---- */

struct rk_index_t;

/**
 * A collection. The library owns it and every field; hosts may read the
 * fields but must not write them. Records 0 .. count-1 are live, in insertion
 * order, with ids rising strictly along the array.
 */
typedef struct rk_collection_t {
    char *name; /**< copy of the configured name, or null */
    uint32_t dimension;
    uint32_t metric; /**< rk_metric_t of every distance the collection reports */
    rk_record_t *records;
    uint64_t count;           /**< live records */
    uint64_t capacity;        /**< slots in records; 4096 at creation */
    uint64_t next_id;         /**< id of the next insert; 1 at creation */
    struct rk_index_t *index; /**< index object, or null */
    uint32_t index_enabled;   /**< boolean */
    uint64_t index_threshold; /**< index consulted while count >= this; 100000000 until built, then 0 */
    rk_arena_t *arena;        /**< holds the collection and all its data */
    uint32_t owns_arena;      /**< 1 when the collection made the arena */
    rk_rwlock_t *lock;
    int64_t created_at;  /**< seconds since the Unix epoch */
    int64_t modified_at; /**< seconds since the Unix epoch, last change */
} rk_collection_t;

/** What rk_collection_get_stats reports. */
typedef struct rk_collection_stats_t {
    uint64_t count;
    uint64_t capacity;
    uint64_t memory_used; /**< used bytes of the collection's arena (the whole database arena when it lives in
                             one) */
    uint32_t dimension;
    int32_t index_type;     /**< the index's type, or -1 without an index */
    uint32_t index_trained; /**< boolean; 0 without an index */
} rk_collection_stats_t;

/* ---- filters and search ---- */

/** Node kinds of a filter tree. Any value other than 0, 1, 2 is a condition. */
typedef enum rk_filter_kind_t {
    RK_FILTER_AND = 0,
    RK_FILTER_OR = 1,
    RK_FILTER_NOT = 2,
    RK_FILTER_CONDITION = 3
} rk_filter_kind_t;

/** Comparison of a condition: the record's entry on the left, the condition's value on the right. */
typedef enum rk_filter_op_t {
    RK_FILTER_EQ = 0,
    RK_FILTER_NE = 1,
    RK_FILTER_GT = 2,
    RK_FILTER_GE = 3,
    RK_FILTER_LT = 4,
    RK_FILTER_LE = 5
} rk_filter_op_t;

/**
 * One node of a filter tree, built and owned by the caller.
 *
 * Matching a record:
 *  - a null node matches;
 *  - AND matches when every child does (none: matches); OR when one child
 *    does (none: no match); NOT is the opposite of its first child (a NOT
 *    without children is the opposite of a null node: no match);
 *  - a condition with a null key matches; otherwise the first metadata entry
 *    whose key equals it ignoring ASCII case is compared with value, which is
 *    read in the form of that entry's type. Without such an entry only NE
 *    matches.
 *  - by entry type: integers compare signed; a 32-bit float is EQ when the
 *    two are identical or their difference is at most 1e-6 (1e-12 for 64-bit
 *    floats), NE otherwise, and a NaN on either side matches every operator;
 *    strings compare EQ/NE ignoring ASCII case and never match GT..LE;
 *    booleans compare EQ/NE as 32-bit integers and never match GT..LE or an
 *    unknown operator; an operator outside EQ..LE matches every other type;
 *    an entry of an unknown type matches every condition.
 * Trees deeper than 1024 levels do not match below that depth.
 */
typedef struct rk_filter_t {
    int32_t kind;                  /**< rk_filter_kind_t */
    const char *key;               /**< NUL-terminated metadata key (conditions) */
    int32_t op;                    /**< rk_filter_op_t (conditions) */
    rk_meta_value_t value;         /**< compared value (conditions) */
    struct rk_filter_t **children; /**< child_count node pointers (AND, OR, NOT) */
    uint64_t child_count;
} rk_filter_t;

/** Search options. A null options pointer means k 10, no filter, nothing included. */
typedef struct rk_search_params_t {
    uint64_t k;                /**< results wanted */
    const rk_filter_t *filter; /**< only matching records are candidates; null for all */
    uint32_t include_vector;   /**< boolean; honoured for hits the index found */
    uint32_t include_metadata; /**< boolean; honoured for hits the index found */
    uint64_t reserved;         /**< not read; set to 0 */
} rk_search_params_t;

/** One search hit. The pointers point into the collection until its next write. */
typedef struct rk_search_result_t {
    uint64_t id;
    float distance;                  /**< in the collection's metric; smaller is closer */
    const float *vector;             /**< stored vector, or null */
    const rk_meta_entry_t *metadata; /**< stored entries, or null */
    uint64_t metadata_count;
} rk_search_result_t;

/** A cursor over a collection's records, made by rk_collection_create_iterator. */
typedef struct rk_collection_iterator_t {
    rk_collection_t *collection;
    uint64_t position;         /**< current record */
    uint64_t end;              /**< count when the iterator was made */
    const rk_filter_t *filter; /**< only matching records are visited; null for all */
    uint32_t valid;            /**< boolean: a current record exists */
} rk_collection_iterator_t;

/**
 * Foreach callback: one record's id, its stored vector and the dimension.
 * Return non-zero to go on, 0 to stop. It runs under the collection's read
 * lock and must not write to the same collection.
 */
typedef int (*rk_foreach_fn)(uint64_t id, const float *vector, uint32_t dimension, void *user_data);

/* ---- creation and teardown ---- */

/**
 * Creates an empty collection.
 *
 * Index: index_type 0 gives no index; -1 the default configuration (IVF,
 * 5 lists, 3 probed, no k-means rounds beyond the seeding, metric L2); 1 and 2
 * (and the quantised 3 to 6) an index of that type in the collection's metric
 * with these defaults:
 *  - HNSW types: m 16, ef_construction 200, ef_search 64 (recall@10 of 0.97
 *    or more on MNIST, on clustered 128-dimensional L2 data and on
 *    clustered 384-dimensional cosine data; rk_collection_set_ef_search
 *    trades it for speed without a rebuild);
 *  - IVF types: nprobe 32, 10 k-means rounds, and a list count chosen when
 *    the index is trained: about 4 x sqrt(rows), between 1 and 1024 and never
 *    more than the rows it is trained on.
 * quantization, pq_m and pq_nbits are handed to the index. The index stays
 * dormant (unused) until rk_collection_build_index succeeds. When the index
 * cannot be created the collection simply has none.
 *
 * @param arena  where the collection and all its records live; null makes a
 *               4 MiB-block arena that the collection owns
 * @param config name (NUL-terminated, copied; null data for none), dimension
 *               (non-zero), metric, index_type, quantiser settings
 * @return the collection, or null for a null config, dimension 0 or a failed
 *         allocation (an arena made here is released again).
 * Thread-safety: safe from any thread; the result is private until shared.
 */
RK_API rk_collection_t *rk_collection_create(rk_arena_t *arena, const rk_collection_config_t *config);

/**
 * Destroys the index and the lock, and the arena when the collection made it.
 * A collection in a caller's arena leaves its memory there. Null is ignored.
 * Thread-safety: no other call may use the collection during or after this.
 */
RK_API void rk_collection_destroy(rk_collection_t *collection);

/**
 * The collection's name.
 * @return the NUL-terminated copy owned by the collection, or null (no name,
 *         or a null collection). Thread-safety: lock-free; the name never changes.
 */
RK_API const char *rk_collection_get_name(const rk_collection_t *collection);

/**
 * Fills stats under the read lock.
 * @return RK_OK; RK_ERR_INVALID_ARG when either pointer is null (stats untouched).
 */
RK_API rk_status_t rk_collection_get_stats(rk_collection_t *collection, rk_collection_stats_t *stats);

/* ---- writing (each under the write lock) ---- */

/** rk_collection_insert_with_meta without metadata. */
RK_API rk_status_t rk_collection_insert(rk_collection_t *collection, const float *vector, uint64_t *out_id);

/**
 * Appends a record: it gets the next id (used up even when a later step
 * fails), a copy of the vector and a deep copy of the metadata (keys and
 * string bytes are copied too, so the caller may free its buffers at once;
 * a key or string with null data is stored as empty). If the metadata copy
 * cannot be had nothing is stored (the id is used up all the same): a record
 * never lands without the metadata it was given. An active index
 * receives the vector; an active index that is not trained yet is trained on
 * the spot with every record.
 * @param entries    entry_count entries, or null
 * @param out_id     receives the new id on success; may be null
 * @return RK_OK; RK_ERR_INVALID_ARG for a null collection or vector;
 *         RK_ERR_NO_MEMORY when the record array, the vector copy or the
 *         metadata copy fails (out_id untouched).
 */
RK_API rk_status_t rk_collection_insert_with_meta(rk_collection_t *collection, const float *vector,
                                                  const rk_meta_entry_t *entries, uint64_t entry_count,
                                                  uint64_t *out_id);

/**
 * Inserts record->vector with record->metadata (metadata_count entries);
 * record->id is ignored and the new id is not reported.
 * @return as rk_collection_insert_with_meta; RK_ERR_INVALID_ARG for a null record.
 */
RK_API rk_status_t rk_collection_insert_record(rk_collection_t *collection, const rk_record_t *record);

/**
 * Inserts count rows of dimension floats one by one (each taking the lock).
 * @param out_ids receives the count ids when all succeed; may be null
 * @return RK_OK; RK_ERR_INVALID_ARG for null pointers or count 0;
 *         RK_ERR_NO_MEMORY for scratch; otherwise the first failing insert's
 *         status: earlier rows stay inserted and out_ids is untouched.
 */
RK_API rk_status_t rk_collection_insert_batch(rk_collection_t *collection, const float *vectors,
                                              uint64_t count, uint64_t *out_ids);

/**
 * Overwrites the vector of record id in place; the index is not told, so it
 * ranks by the old vector until rebuilt (reported distances use the new one).
 * An unknown id inserts the vector as a new record with the next id instead
 * (that id is not reported).
 * @return RK_OK; RK_ERR_INVALID_ARG for null pointers; an insert's failure.
 */
RK_API rk_status_t rk_collection_upsert(rk_collection_t *collection, uint64_t id, const float *vector);

/**
 * Deletes record id, keeping the order of the others, and removes it from the
 * index if there is one. Its memory stays in the arena.
 * @return RK_OK; RK_ERR_INVALID_ARG for null; RK_ERR_NOT_FOUND for an unknown id.
 */
RK_API rk_status_t rk_collection_delete(rk_collection_t *collection, uint64_t id);

/**
 * Deletes each id in turn (each taking the lock); unknown ids are skipped.
 * @return RK_OK; RK_ERR_INVALID_ARG for null pointers or count 0.
 */
RK_API rk_status_t rk_collection_delete_batch(rk_collection_t *collection, const uint64_t *ids,
                                              uint64_t count);

/**
 * Replaces the metadata of record id by a deep copy of count entries.
 * @return RK_OK; RK_ERR_INVALID_ARG for null pointers or count 0;
 *         RK_ERR_NOT_FOUND for an unknown id; RK_ERR_NO_MEMORY when the copy
 *         fails (the old metadata stays).
 */
RK_API rk_status_t rk_collection_set_meta(rk_collection_t *collection, uint64_t id,
                                          const rk_meta_entry_t *entries, uint64_t count);

/**
 * Removes every record; ids start again at 1. An existing index is replaced
 * by a fresh one of the same type, metric and parameters; whether it is
 * active is unchanged (an active untrained index is trained on the spot by
 * later inserts). Memory stays in the arena.
 * @return RK_OK; RK_ERR_INVALID_ARG for null.
 */
RK_API rk_status_t rk_collection_clear(rk_collection_t *collection);

/* ---- reading (each under the read lock) ---- */

/**
 * Copies the dimension floats of record id to out.
 * @return RK_OK; RK_ERR_INVALID_ARG for null pointers; RK_ERR_NOT_FOUND (out untouched).
 */
RK_API rk_status_t rk_collection_get(rk_collection_t *collection, uint64_t id, float *out);

/**
 * Copies the vector of each found ids[i] to out + i * dimension; slots of
 * unknown ids are left untouched.
 * @return how many ids were found; 0 for null pointers or count 0.
 */
RK_API uint64_t rk_collection_get_batch(rk_collection_t *collection, const uint64_t *ids, uint64_t count,
                                        float *out);

/**
 * Stores the address of record id (owned by the collection, valid until the
 * next write) in *out, which is set to null first.
 * @return RK_OK; RK_ERR_INVALID_ARG for null pointers; RK_ERR_NOT_FOUND.
 */
RK_API rk_status_t rk_collection_get_record(rk_collection_t *collection, uint64_t id,
                                            const rk_record_t **out);

/**
 * Copies min(metadata_count, *count) entries of record id to out and sets
 * *count to the record's full entry count. The entries' keys and strings
 * point into the collection and live as long as it does.
 * @return RK_OK; RK_ERR_INVALID_ARG for null pointers; RK_ERR_NOT_FOUND (nothing written).
 */
RK_API rk_status_t rk_collection_get_meta(rk_collection_t *collection, uint64_t id, rk_meta_entry_t *out,
                                          uint64_t *count);

/**
 * Calls fn for each record in order that the filter matches (null: all),
 * under the read lock, until fn returns 0.
 * @return the number of calls that returned non-zero; 0 for a null
 *         collection or callback.
 */
RK_API uint64_t rk_collection_foreach(rk_collection_t *collection, const rk_filter_t *filter,
                                      rk_foreach_fn fn, void *user_data);

/* ---- index management (each under the write lock) ---- */

/**
 * Trains the index with every record and fills it, then makes it active
 * (searches use it from now on). A collection without an index first gets one
 * from the default configuration. Building again starts over from a fresh index of the same configuration.
 * @return RK_OK; RK_ERR_INVALID_ARG for null or an empty collection;
 *         RK_ERR_UNKNOWN when no index can be created; RK_ERR_NO_MEMORY for
 *         scratch; otherwise the index's failing status (it stays inactive
 *         unless it had been built before).
 */
RK_API rk_status_t rk_collection_build_index(rk_collection_t *collection);

/**
 * Replaces an existing index by a fresh one of the same type, metric and
 * parameters, then rk_collection_build_index.
 * @return as rk_collection_build_index.
 */
RK_API rk_status_t rk_collection_rebuild_index(rk_collection_t *collection);

/**
 * Destroys the index; searches then scan until an index is built again.
 * @return RK_OK; RK_ERR_INVALID_ARG for null.
 */
RK_API rk_status_t rk_collection_drop_index(rk_collection_t *collection);

/**
 * @return 1 if the collection has an index and it is trained, else 0.
 * Thread-safety: takes no lock.
 */
RK_API int rk_collection_has_index(const rk_collection_t *collection);

/**
 * Extension: the search effort of the collection's index, changed without a
 * rebuild. ef_search (candidate-list size, at least k is used) belongs to the
 * HNSW index types, nprobe (lists scanned, capped at the list count) to the
 * IVF types, the default configuration's index included. The setting takes
 * effect at once on a live index, is kept for rebuilds, and is saved with the
 * collection (and in its index file).
 * @param out receives the setting in force; unchanged on failure
 * @return RK_OK; RK_ERR_INVALID_ARG for a null collection or out;
 *         RK_ERR_NOT_SUPPORTED when the collection has no index of that
 *         family (a flat collection, or the other family).
 * Thread-safety: setters take the write lock, getters the read lock.
 */
RK_API rk_status_t rk_collection_set_ef_search(rk_collection_t *collection, uint32_t ef_search);
RK_API rk_status_t rk_collection_get_ef_search(rk_collection_t *collection, uint32_t *out);
RK_API rk_status_t rk_collection_set_nprobe(rk_collection_t *collection, uint32_t nprobe);
RK_API rk_status_t rk_collection_get_nprobe(rk_collection_t *collection, uint32_t *out);

/**
 * Extension: how the collection's next index build is made. The settings are
 * saved with the collection and used by every later rk_collection_build_index
 * and rk_collection_rebuild_index (and by the training an index does when it
 * first becomes active); an index built already keeps the settings it was
 * built with until the next build.
 *  - hnsw_build: m (neighbours per node above level 0, 2..512; level 0 keeps
 *    2 x m) and ef_construction (candidate-list size while inserting,
 *    1..1048576) of the HNSW index types. Defaults 16 and 200.
 *  - nlist: list count of the IVF index types, 1..1048576, or 0 to choose it
 *    from the row count when the index is trained (about 4 x sqrt(rows)).
 *    Setting it on the built-in default configuration (5 lists, 3 probes,
 *    farthest-point start) makes it an explicit IVF: k-means++ seeding and
 *    10 rounds, trained on at most 256 rows per list; nprobe stays.
 *    The getter gives the setting, or the count a trained index settled on.
 *  - build_seed: seed of the generator that a build owns. Every draw of a
 *    build (IVF training sample, k-means seeding, graph levels) comes from
 *    it, never from the process-wide generator (rk_srand / rk_rand are left
 *    untouched), so the same records inserted in the same order, the same
 *    settings and the same seed give the same index, bit for bit, in any
 *    process on any machine. A record inserted into a live graph draws its
 *    level from a generator seeded from the build seed and its id. 0 (the
 *    default) stands for the fixed seed 12345, which the getter reports.
 * @return RK_OK; RK_ERR_INVALID_ARG for a null collection or out-parameter,
 *         or a value outside the bounds above; RK_ERR_NOT_SUPPORTED when the
 *         collection has no index of that family (the seed applies to all).
 * Thread-safety: setters take the write lock, getters the read lock.
 */
RK_API rk_status_t rk_collection_set_hnsw_build(rk_collection_t *collection, uint32_t m,
                                                uint32_t ef_construction);
RK_API rk_status_t rk_collection_get_hnsw_build(rk_collection_t *collection, uint32_t *m,
                                                uint32_t *ef_construction);
RK_API rk_status_t rk_collection_set_nlist(rk_collection_t *collection, uint32_t nlist);
RK_API rk_status_t rk_collection_get_nlist(rk_collection_t *collection, uint32_t *out);
RK_API rk_status_t rk_collection_set_build_seed(rk_collection_t *collection, uint64_t seed);
RK_API rk_status_t rk_collection_get_build_seed(rk_collection_t *collection, uint64_t *out);

/* ---- iteration (no lock: do not write the collection meanwhile) ---- */

/**
 * Makes an iterator over the records that exist now, positioned at the first
 * that the filter matches (null: all). The filter must outlive the iterator.
 * @return the iterator (release with rk_collection_destroy_iterator), or null
 *         for a null collection or a failed allocation.
 */
RK_API rk_collection_iterator_t *rk_collection_create_iterator(rk_collection_t *collection,
                                                               const rk_filter_t *filter);
/** @return 1 while the iterator has a current record, else 0 (also for null). */
RK_API int rk_collection_iterator_valid(const rk_collection_iterator_t *it);
/** Moves to the next matching record. @return 1 while one remains, else 0. */
RK_API int rk_collection_iterator_next(rk_collection_iterator_t *it);
/** @return the current record's id, or 0 when not valid. */
RK_API uint64_t rk_collection_iterator_get_id(const rk_collection_iterator_t *it);
/** @return the current record's stored vector, or null when not valid. */
RK_API const float *rk_collection_iterator_get_vector(const rk_collection_iterator_t *it);
/**
 * Stores the current record's address (owned by the collection) in *out.
 * @return RK_OK; RK_ERR_INVALID_ARG when it is null or not valid or out is null.
 */
RK_API rk_status_t rk_collection_iterator_get_record(const rk_collection_iterator_t *it,
                                                     const rk_record_t **out);
/** Releases an iterator (rk_free); null is ignored. */
RK_API void rk_collection_destroy_iterator(rk_collection_iterator_t *it);

/* ---- search ---- */

/**
 * The k nearest candidates of a query, nearest first, by the collection's
 * metric (squared L2 for L2). A candidate is a live record the options'
 * filter matches.
 *
 * Without an active index every candidate is measured; among equal distances
 * the order is that of a selection sort over the candidates in id order. With
 * an active index its hits come first in line: a hit counts only when a live
 * candidate has its id, and its distance is measured again in the
 * collection's metric. When fewer than k hits remain, the nearest other
 * candidates are added by a scan; the two are merged by distance, a hit going
 * before a scanned record at equal distance. Hits the index found carry the
 * stored vector and metadata when the options ask for them; every other
 * pointer field is null (metadata_count 0).
 *
 * A filter on an active index is planned per query from its selectivity,
 * estimated on a fixed sample of records: when few records match, the exact
 * filtered scan answers (its results then carry vector and metadata as
 * index hits do); otherwise the index evaluates the filter as it searches
 * (an HNSW walk goes on through records the filter refuses until it holds k
 * matches or its effort is spent; an IVF search skips refused entries and
 * probes further lists while too few match), and the scan tops up as above.
 * Either way min(k, matching records) results come back.
 *
 * @param query   dimension floats
 * @param params  options, or null for k 10 without filter
 * @param results room for k results
 * @return the number of results written; 0 for null pointers, k 0 or when
 *         scratch memory cannot be had.
 * Thread-safety: read lock for the whole call.
 */
RK_API uint64_t rk_collection_search(rk_collection_t *collection, const float *query,
                                     const rk_search_params_t *params, rk_search_result_t *results);

/**
 * Extension: rk_collection_search with a search effort for this call and a
 * status, so that a failure is never mistaken for an empty answer. effort is
 * the candidate-list size of an HNSW index or the number of lists an IVF
 * index scans; 0 uses the index's setting. A scan answers as
 * rk_collection_search's does. Every result, found by the index or by the
 * scan, carries the stored vector and metadata when the options ask for them.
 *
 * @param params    options, or null for k 10 without filter
 * @param results   room for k results
 * @param out_count receives the number of results written (0 on failure)
 * @return RK_OK (also for k 0); RK_ERR_INVALID_ARG for a null collection,
 *         query, results or out_count; RK_ERR_NO_MEMORY when working memory
 *         cannot be had (no results are counted then).
 * Thread-safety: read lock for the whole call.
 */
RK_API rk_status_t rk_collection_search_ex(rk_collection_t *collection, const float *query,
                                           const rk_search_params_t *params, uint32_t effort,
                                           rk_search_result_t *results, uint64_t *out_count);

/**
 * Extension: nq searches with one set of options, spread over threads.
 * Query i (dimension floats at queries + i * dimension) is answered exactly
 * as rk_collection_search_ex(collection, query i, params, effort, ...) would
 * answer it alone, bit for bit, into results + i * k, and its count goes to
 * out_counts[i]. The calling thread takes the read lock once for the whole
 * batch and searches alongside the helpers it starts (rk_thread_create), so
 * writers wait for the batch as they wait for one search. Through an IVF
 * index, unfiltered queries are ranked against the centroids a few at a
 * time, so a batch costs less than as many single searches even on one
 * thread.
 *
 * @param queries    nq * dimension floats, query after query
 * @param nq         number of queries (0: nothing to do, RK_OK)
 * @param params     options for every query, or null for k 10 without filter
 * @param effort     as for rk_collection_search_ex (0: the index's setting)
 * @param threads    searching threads including the caller; 0 means one per
 *                   core; never more than nq are used. When a helper thread
 *                   cannot be started the others take its share.
 * @param results    room for nq * k results, owned by the caller; pointers in
 *                   them point into the collection until its next write
 * @param out_counts room for nq counts; all set (0 for a failed query)
 * @return RK_OK (also for nq 0 or k 0, counts all 0); RK_ERR_INVALID_ARG for
 *         a null collection, queries, results or out_counts, or when nq * k
 *         does not fit in memory sizes (no count is written then);
 *         RK_ERR_NO_MEMORY when some query could not get working memory (its
 *         count is 0, the others are answered).
 * Thread-safety: read lock for the whole call; any number of batches and
 * single searches run side by side.
 */
RK_API rk_status_t rk_collection_search_batch(rk_collection_t *collection, const float *queries, uint64_t nq,
                                              const rk_search_params_t *params, uint32_t effort,
                                              uint32_t threads, rk_search_result_t *results,
                                              uint64_t *out_counts);

/** rk_collection_search with options {k, filter, nothing included}. */
RK_API uint64_t rk_collection_search_filtered(rk_collection_t *collection, const float *query,
                                              const rk_filter_t *filter, uint64_t k,
                                              rk_search_result_t *results);

/**
 * rk_collection_search with the stored vector of record id as the query (the
 * record itself is a candidate).
 * @return the number of results; 0 for null pointers, an unknown id or a
 *         failed allocation. Takes the read lock twice in turn.
 */
RK_API uint64_t rk_collection_search_by_id(rk_collection_t *collection, uint64_t id,
                                           const rk_search_params_t *params, rk_search_result_t *results);

/**
 * Deletes every record the filter matches (null: every record), keeping the
 * order of the rest, and removes them from the index if there is one.
 * @return the number deleted, or -1 for a null collection. Write lock.
 */
RK_API int rk_collection_delete_by_filter(rk_collection_t *collection, const rk_filter_t *filter);

/* ---- collection files ---- */

/**
 * Saves the collection to a file (a storage file: the 192-byte storage
 * header, the 192-byte collection header at offset 192, then one record per
 * live record in id order: id (u64), dimension (u32), 20 zero bytes and the
 * vector). Metadata, a name longer than 63 bytes and index settings the
 * header cannot hold follow the records in an extension block that only this
 * library reads; a collection without them saves to exactly the bytes above.
 * The index itself is not saved: its type and main parameters are.
 *
 * The file is replaced crash-safely: the bytes go to a temporary file in the
 * same directory, which is synced once and renamed over path (then the
 * directory is synced). A failure or a crash at any moment leaves either the
 * old file or the new one, never a mix.
 *
 * @param path NUL-terminated file path
 * @return RK_OK; RK_ERR_INVALID_ARG (-2) for a null collection or path, or
 *         metadata text longer than 4 GiB; RK_ERR_IO (-203) when the file
 *         cannot be created, written, synced or renamed (the old file, if
 *         any, is left as it was); RK_ERR_NO_MEMORY (-3) for scratch.
 * Thread-safety: holds the collection's read lock for the whole save, so
 * writers wait and readers go on.
 */
RK_API rk_status_t rk_collection_save(rk_collection_t *collection, const char *path);

/**
 * Loads a collection saved by rk_collection_save. Ids, vectors, next_id,
 * name, metric, created_at, modified_at and metadata come back. When the
 * file names an index type, a fresh index of that type (with the saved
 * parameters) is made and given every record; an index that had been built
 * is dormant again (index_threshold 100000000) until
 * rk_collection_build_index. A truncated file loads the whole records before
 * the cut. Counts, sizes and offsets are checked against the file's size
 * before anything is allocated. Damage is refused rather than loaded short:
 * the header's checksum (unless it is 0, a header its writer never sealed),
 * ids that must rise strictly along the file, the extension block's own
 * checksum and, in files that carry it, the sum of the record data.
 *
 * @param arena where the collection lives, or null for an arena of its own
 *              (4 MiB blocks) released by rk_collection_destroy
 * @param path  NUL-terminated file path
 * @return the collection (destroy with rk_collection_destroy), or null for a
 *         null path, a missing or unreadable file, a wrong storage or
 *         collection header (magic, major version, dimension 0, checksum),
 *         damaged records or extension block, or a failed allocation.
 *         Thread-safe; the result is private until shared.
 */
RK_API rk_collection_t *rk_collection_load(rk_arena_t *arena, const char *path);

/* ---- extension: filter expressions ---- */

/**
 * Extension: where and why rk_filter_parse refused a text. The message is
 * NUL-terminated, owned by the caller's record and never needs freeing.
 */
typedef struct rk_filter_error_t {
    uint64_t column;   /**< 1-based position of the fault in the text; 0 when the fault has no place */
    char message[200]; /**< what is wrong, without the column */
} rk_filter_error_t;

/**
 * Extension: parses a filter expression such as
 *     category == "shoes" and (price < 50 or not sale == true)
 * into a filter tree the library owns.
 *
 * Grammar: or (also ||) binds looser than and (&&), not (!) binds tightest,
 * parentheses group; a condition is  key op value  with op one of == (or =),
 * !=, <, <=, >, >= and value a number, "text" or 'text' (escapes \n \t \\
 * \" \'), true or false. Keywords ignore case. Texts and booleans compare
 * with == and != only. Longest text 64 KiB, deepest nesting 64.
 *
 * Typing: with a collection, its records' metadata gives every key its entry
 * type (the first type seen for a key, keys compared ignoring ASCII case);
 * a key no record has is refused, a value that does not fit its key's type
 * (text for a number, 2.5 or 1e10 for a 32-bit integer) is refused, and each
 * value is stored in the form of its key's type, so the tree matches as the
 * records are typed. Without a collection, or when its records carry no
 * metadata, any key is accepted and numbers are stored as 64-bit floats.
 * Reading the schema visits every record's metadata under the read lock.
 *
 * @param collection typing source, or null
 * @param text       length bytes (need not be NUL-terminated; may be null when length is 0)
 * @param out        receives the tree's root, to pass to searches, deletes,
 *                   iterators and foreach; release with rk_filter_free. Set
 *                   to null on failure. The tree does not refer to the
 *                   collection and may outlive it or be used with others.
 *                   The tree is read-only: the root carries the library's
 *                   mark in the field its kind leaves unused (a condition's
 *                   children, with child_count 0; a group's value).
 *
 * A parsed tree is also the cheaper filter to search with again: the
 * planner of filtered index searches samples a filter's selectivity, and it
 * remembers that sample for a parsed tree until the collection next changes
 * (each collection keeps a few), where a tree the host built is sampled on
 * every search. Results are the same either way.
 * @param error      on failure receives the column and the message; zeroed on
 *                   success; may be null
 * @return RK_OK; RK_ERR_INVALID_ARG for a null out or text, or a bad
 *         expression (column and message say where and why);
 *         RK_ERR_TOO_LARGE for a text over 64 KiB; RK_ERR_NO_MEMORY.
 * Thread-safety: safe from any thread; takes the collection's read lock.
 */
RK_API rk_status_t rk_filter_parse(rk_collection_t *collection, const char *text, uint64_t length,
                                   rk_filter_t **out, rk_filter_error_t *error);

/**
 * Extension: the canonical text of a tree made by rk_filter_parse (groups
 * parenthesised only where the tree needs it, texts double-quoted, numbers
 * with 17 significant digits); parsing it again gives the same tree, within
 * the same nesting limit as the text it was parsed from.
 * @param buf        size bytes; receives as much of the text as fits, NUL-terminated when size > 0
 * @param out_length receives the full text's length without the NUL; may be null
 * @return RK_OK; RK_ERR_BUFFER_TOO_SMALL when the text (and its NUL) did not
 *         fit (*out_length says how much is needed); RK_ERR_INVALID_ARG for
 *         a null filter or a null buf with a non-zero size.
 * The filter must come from rk_filter_parse: a tree the host built, or a
 * copy of a parsed root, is refused with RK_ERR_INVALID_ARG.
 * Thread-safety: reads the tree only.
 */
RK_API rk_status_t rk_filter_format(const rk_filter_t *filter, char *buf, uint64_t size, uint64_t *out_length);

/**
 * Extension: frees a tree made by rk_filter_parse, all its nodes and texts.
 * Null, a tree the host built and a copy of a parsed root are ignored.
 * Thread-safety: no other call may use the tree during or after this.
 */
RK_API void rk_filter_free(rk_filter_t *filter);

RK_EXTERN_C_END

#endif /* RK_COLLECTION_H */
