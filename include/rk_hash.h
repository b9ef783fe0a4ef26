/* SPDX-License-Identifier: Apache-2.0 */
/*
 * rk_hash.h - MurmurHash3 and the hash table
 *
 * Threading: the hash functions are pure. A table has no lock: like the
 * arena that holds it, it may be used by one thread at a time, and readers
 * may not run beside a writer. An iterator belongs to one thread and is
 * invalidated by any change to its table.
 *
 * The table chains entries in a fixed number of buckets chosen at creation
 * (it never grows or rehashes: lookups slow down linearly once the entry
 * count greatly exceeds the bucket count). The table, its buckets and every
 * entry live in the caller's arena and are never freed one by one; removed
 * entries stay in the arena until it goes. Hashing, key comparison and the
 * copying of keys and values are replaceable functions.
 */
#ifndef RK_HASH_H
#define RK_HASH_H

#include "rk_common.h"
#include "rk_error.h"
#include "rk_memory.h"

RK_EXTERN_C_BEGIN

/* ---- hashing and the hash table ---- */

/** MurmurHash3 x86 32-bit of len bytes (blocks read little-endian). Null data hashes as 0 bytes. */
RK_API uint32_t rk_hash_murmur3_32(const void *data, uint64_t len, uint32_t seed);
/**
 * The first 64-bit half of MurmurHash3 x64 128-bit of len bytes, both lanes
 * starting from the full 64-bit seed (blocks read little-endian). Null data
 * hashes as 0 bytes.
 */
RK_API uint64_t rk_hash_murmur3_64(const void *data, uint64_t len, uint64_t seed);
/** rk_hash_murmur3_64 of the value's 8 bytes (little-endian), seed 0. */
RK_API uint64_t rk_hash_int(uint64_t value);
/** rk_hash_murmur3_64 of the text without its NUL, seed 0; 0 for null. */
RK_API uint64_t rk_hash_string(const char *text);
/** rk_hash_murmur3_64 of 4 * count bytes, seed 0; 0 for null or a byte count beyond 64 bits. */
RK_API uint64_t rk_hash_vector(const float *values, uint64_t count);

/** Hash of a key. */
typedef uint64_t (*rk_hash_fn)(const void *key);
/** 0 when the stored key (first) equals the looked-up key (second). */
typedef int (*rk_hash_compare_fn)(const void *stored_key, const void *key);
/** The pointer to store for ptr: a copy in the table's arena or ptr itself. */
typedef void *(*rk_hash_copy_fn)(rk_arena_t *arena, const void *ptr);

/** One entry of a chain. */
typedef struct rk_hash_entry_t {
    void *key;
    void *value;
    struct rk_hash_entry_t *next;
} rk_hash_entry_t;

/** A table. The fields are readable; change them only through the functions. */
typedef struct rk_hash_table_t {
    rk_arena_t *arena;          /**< holds the table, its buckets and all entries */
    rk_hash_entry_t **buckets;  /**< bucket_count chain heads */
    uint64_t bucket_count;      /**< fixed at creation */
    uint64_t count;             /**< number of entries */
    rk_hash_fn hash_fn;
    rk_hash_compare_fn compare_fn;
    rk_hash_copy_fn key_copy_fn;
    rk_hash_copy_fn value_copy_fn;
} rk_hash_table_t;

/** An iterator: buckets in index order, each chain from the most recent entry. */
typedef struct rk_hash_iterator_t {
    rk_hash_table_t *table;
    uint64_t bucket;         /**< index of the current chain */
    rk_hash_entry_t *entry;  /**< current entry, null when done */
} rk_hash_iterator_t;

/**
 * A table keyed by pointer identity: keys are hashed by the 8 bytes they
 * point to (so they must point to at least 8 readable bytes) and compared by
 * address; keys and values are stored as given. Null for a null arena,
 * bucket_count 0 or a failed allocation (what was taken stays in the arena).
 */
RK_API rk_hash_table_t *rk_hash_table_create(rk_arena_t *arena, uint64_t bucket_count);
/**
 * A table keyed by 64-bit integers: a key is the address of an int64_t or
 * uint64_t, compared by value; inserting copies the integer into the arena.
 * Values are stored as given. Null as rk_hash_table_create.
 */
RK_API rk_hash_table_t *rk_hash_table_create_int(rk_arena_t *arena, uint64_t bucket_count);
/**
 * A table keyed by NUL-terminated texts, compared byte by byte; inserting
 * copies the text into the arena. Values are stored as given. Null as
 * rk_hash_table_create.
 */
RK_API rk_hash_table_t *rk_hash_table_create_string(rk_arena_t *arena, uint64_t bucket_count);

/**
 * Inserts or replaces. When an equal key is stored its value is replaced
 * (key and count unchanged); else a new entry heads the key's chain.
 * RK_ERR_INVALID_ARG (-2) for a null table or key; RK_ERR_NO_MEMORY (-3)
 * when the entry or the key copy cannot be allocated (the table is then
 * unchanged); RK_OK otherwise.
 */
RK_API rk_status_t rk_hash_table_insert(rk_hash_table_t *table, const void *key, void *value);
/** The value stored for key; null when absent or for a null table or key. */
RK_API void *rk_hash_table_find(const rk_hash_table_t *table, const void *key);
/**
 * Unlinks the entry of key (its memory stays in the arena).
 * RK_ERR_INVALID_ARG for a null table or key; RK_ERR_NOT_FOUND (-4) when
 * absent; RK_OK otherwise.
 */
RK_API rk_status_t rk_hash_table_delete(rk_hash_table_t *table, const void *key);
/** Empties every chain and sets count to 0. RK_ERR_INVALID_ARG for null; else RK_OK. */
RK_API rk_status_t rk_hash_table_clear(rk_hash_table_t *table);
/** Number of entries; 0 for null. */
RK_API uint64_t rk_hash_table_size(const rk_hash_table_t *table);
/*
 * The setters replace one of the table's functions; nothing happens when
 * either argument is null. Old entries stay where they are: set the
 * functions before inserting.
 */

/** Replaces the hash function (a new one sends lookups of old entries to other buckets). */
RK_API void rk_hash_table_set_hash_func(rk_hash_table_t *table, rk_hash_fn fn);
/** Replaces the key comparison. */
RK_API void rk_hash_table_set_compare_func(rk_hash_table_t *table, rk_hash_compare_fn fn);
/** Replaces the key copy; a copy function returning null makes inserts fail with RK_ERR_NO_MEMORY. */
RK_API void rk_hash_table_set_key_copy_func(rk_hash_table_t *table, rk_hash_copy_fn fn);
/** Replaces the value copy (its result is stored as is, null included). */
RK_API void rk_hash_table_set_value_copy_func(rk_hash_table_t *table, rk_hash_copy_fn fn);
/** Releases nothing: the table's memory goes with its arena. Null is ignored. */
RK_API void rk_hash_table_destroy(rk_hash_table_t *table);

/**
 * A new iterator on the table's first entry, allocated through the allocator
 * hooks (release with rk_hash_iterator_destroy). Null for a null table or a
 * failed allocation.
 */
RK_API rk_hash_iterator_t *rk_hash_iterator_create(rk_hash_table_t *table);
/** 1 when it is non-null and has a current entry, else 0. */
RK_API int rk_hash_iterator_valid(const rk_hash_iterator_t *it);
/** The current entry's key, or null. Borrowed. */
RK_API void *rk_hash_iterator_get_key(const rk_hash_iterator_t *it);
/** The current entry's value, or null. */
RK_API void *rk_hash_iterator_get_value(const rk_hash_iterator_t *it);
/** Advances; 1 when there is a current entry afterwards, else 0 (also for null). */
RK_API int rk_hash_iterator_next(rk_hash_iterator_t *it);
/** Frees the iterator with rk_free; null is ignored. */
RK_API void rk_hash_iterator_destroy(rk_hash_iterator_t *it);

RK_EXTERN_C_END

#endif /* RK_HASH_H */
