/* SPDX-License-Identifier: Apache-2.0 */
/*
 * rk_database.h - the database handle, its registry of named collections,
 * the by-name shortcuts (insert, batch insert, search) and the process-wide
 * informational functions (version, build information, printout).
 *
 * Threading:
 *  - The informational functions (version, build information, strerror) are
 *    safe from any thread.
 *  - A handle may be shared by any number of threads between open and close.
 *    Its registry has a reader/writer lock: lookups (get, has, list, the
 *    lookups of insert and search, stats, print-info) share it, registry
 *    changes (create, drop) take it alone. The lock is released before a
 *    collection does its work, so by-name inserts and searches run under
 *    the collection's own lock only, in parallel across collections.
 *  - A collection addressed by name (insert, batch insert, search) stays
 *    alive until that call returns, even when another thread drops it
 *    meanwhile: the drop waits for such calls to finish before it destroys
 *    the collection. A pointer from rk_vecdb_get_collection or
 *    rk_vecdb_create_collection has no such protection: the host must not
 *    drop the collection while it still uses that pointer.
 *  - Open, close and sync must not race with anything else on the same
 *    handle; after close the handle is gone.
 */
#ifndef RK_DATABASE_H
#define RK_DATABASE_H

#include "rk_collection.h"
#include "rk_common.h"
#include "rk_log.h"

RK_EXTERN_C_BEGIN

/* ---- configuration ---- */

/** Storage modes of a database. Any non-zero mode with a path is persistent. */
#define RK_DB_MEMORY 0u
#define RK_DB_PERSISTENT 1u
#define RK_DB_DEFAULT_MODE 2u

/** Open flags of rk_vecdb_open; other bits are ignored. */
#define RK_OPEN_READ_ONLY 1u
#define RK_OPEN_CREATE 4u

/** The record that opens a database. */
typedef struct rk_vecdb_config_t {
    rk_string_t path;           /**< directory (NUL-terminated), or null data for memory only */
    uint32_t storage_mode;      /**< RK_DB_MEMORY, RK_DB_PERSISTENT or 2 (default, like 1) */
    uint64_t arena_size;        /**< block size of the database arena; 0 means 0x4000000 */
    uint64_t cache_size;        /**< stored, not used */
    uint32_t read_only;         /**< boolean */
    uint32_t create_if_missing; /**< boolean */
} rk_vecdb_config_t;

/* ---- the handle ---- */

/**
 * An open database: its configuration, an arena for the registry, the
 * registry of named collections and a reader/writer lock. Opaque; created by
 * rk_vecdb_open / rk_vecdb_open_ex, freed by rk_vecdb_close.
 */
typedef struct rk_vecdb_t rk_vecdb_t;

/** Counters of a database: thirteen u64 values. */
typedef struct rk_vecdb_stats_t {
    uint64_t collections;  /**< collections in the registry */
    uint64_t reserved[12]; /**< always 0 */
} rk_vecdb_stats_t;

/** One hit of rk_vecdb_search. */
typedef struct rk_vecdb_result_t {
    uint64_t id;
    float distance; /**< smaller is nearer, in the collection's metric */
} rk_vecdb_result_t;

/**
 * Opens a database with the default configuration: storage mode 2, arena
 * blocks of 0x4000000 bytes, cache size 0x8000000, the given path, and
 * read_only / create_if_missing taken from the flags alone.
 * @param path  directory (data NUL-terminated), or null / null data for a
 *              database held in memory only
 * @param flags RK_OPEN_READ_ONLY, RK_OPEN_CREATE; other bits ignored
 * @param out   receives the handle; null after any failure
 * @return as rk_vecdb_open_ex.
 * Thread-safe (each call makes a new handle).
 */
RK_API rk_status_t rk_vecdb_open(const rk_string_t *path, uint32_t flags, rk_vecdb_t **out);

/**
 * Opens a database from a configuration record (copied; the path text is
 * copied into the handle).
 * @param config null for all defaults (in memory, 0x4000000-byte arena blocks)
 * @param out    receives the handle; null after any failure
 * A path with a non-zero storage mode opens a persistent database in that
 * directory: DIR/storage (a storage file), DIR/.rkmeta (the catalog, one
 * collection name per line) and DIR/NAME.rkcol per collection, plus
 * DIR/NAME.rkidx for a collection whose index was built. With
 * create_if_missing (and not read_only) a missing directory is created and
 * the storage file is made anew. Every collection the catalog lists is
 * loaded; a built index saved beside it is restored, active, when it
 * belongs to that very save of the collection file and its bytes match the
 * sum recorded there (else the collection loads with a dormant index, left
 * empty until it is built or becomes active, as nothing reads a dormant
 * index). A collection file is loaded only whole: a cut file, a record count
 * that disagrees with the data size, a failed checksum or record sum is
 * refused as damaged. Missing or unreadable catalogs, collection files that
 * fail to load and a storage file that cannot be opened do not fail the
 * open; running out of memory while loading does (RK_ERR_NO_MEMORY, with
 * nothing written). read_only opens the storage file for reading
 * only and makes sync and close write nothing. A path with storage mode
 * RK_DB_MEMORY reads nothing at open, but sync and close write the
 * collections and the catalog there.
 * @return RK_OK; RK_ERR_INVALID_ARG (-2) for a null out;
 *         RK_ERR_NO_MEMORY (-3) when the handle, its arena, its registry or
 *         a listed collection cannot be allocated; the lock's status when it cannot be created;
 *         RK_ERR_PATH_TOO_LONG (-205) when DIR/.rkmeta does not fit in 1024
 *         bytes; RK_ERR_EXISTS (-5) when something other than a directory
 *         exists at the path of a persistent database (it is left untouched).
 * The handle is released only by rk_vecdb_close. Thread-safe.
 */
RK_API rk_status_t rk_vecdb_open_ex(const rk_vecdb_config_t *config, rk_vecdb_t **out);

/**
 * Saves a database that has a path (as rk_vecdb_sync), destroys every
 * collection (and its index), closes the storage file, destroys the lock and
 * the arena, and frees the handle. Waits for by-name inserts and searches
 * still running on a collection to finish first.
 * @return RK_OK; RK_ERR_INVALID_ARG (-2) for a null or closed handle; else
 *         the first failure of the save (see rk_vecdb_sync). The handle is
 *         released and must not be used again whatever the result; after a
 *         failed save the files on disk hold the previous save.
 * Not thread-safe with any other use of the same handle.
 */
RK_API rk_status_t rk_vecdb_close(rk_vecdb_t *db);

/** 1 for a non-null open handle, else 0. Thread-safe. */
RK_API int rk_vecdb_is_open(const rk_vecdb_t *db);

/**
 * Saves a database that has a path and syncs its storage file: every named
 * collection to DIR/NAME.rkcol (and its built index to DIR/NAME.rkidx), then
 * the catalog DIR/.rkmeta listing them in registry order (also when none is
 * left, so a dropped collection stays gone). Each file is replaced
 * crash-safely (temporary file, one flush, rename, directory sync), so after
 * a crash every collection is as some completed save left it. A dropped
 * collection's files stay in the directory, unlisted. A database without a
 * path, or opened read-only, writes nothing.
 * @return RK_OK; RK_ERR_INVALID_ARG (-2) for a null or closed handle;
 *         otherwise every save is tried and the first failure is returned:
 *         RK_ERR_IO (-203) for a failed write, sync or rename,
 *         RK_ERR_PATH_TOO_LONG (-205) for a collection whose file path does
 *         not fit in 1024 bytes, RK_ERR_EXISTS (-5) when a file stands where
 *         the directory belongs, RK_ERR_NO_MEMORY (-3), or the storage file's
 *         sync status. A failed file keeps its previous contents.
 * Takes the database's read lock for the whole save (creates and drops
 * wait) and each collection's read lock while its file is written.
 */
RK_API rk_status_t rk_vecdb_sync(rk_vecdb_t *db);

/**
 * Copies the counters under the read lock.
 * @return RK_OK; RK_ERR_INVALID_ARG (-2) when db or stats is null (stats
 *         untouched). Thread-safe.
 */
RK_API rk_status_t rk_vecdb_get_stats(rk_vecdb_t *db, rk_vecdb_stats_t *stats);

/**
 * Zeroes the counters, then sets collections to the current collection
 * count. A null handle is ignored. Thread-safe.
 */
RK_API void rk_vecdb_reset_stats(rk_vecdb_t *db);

/**
 * Prints a report to standard output (unbuffered, through rk_printf):
 * "Database: NULL\n" for a null handle; otherwise the lines
 * "Rakmo ZevUD Information", "=======================", "Version:     0.1.32",
 * "Path:        <path or (memory)>", "Status:      Open", "Collections: <n>",
 * "Memory:      <bytes> bytes" (the arena memory of the registry and of every
 * collection), then, with at least one collection, an empty line,
 * "Collections:" and one line "  - <name>: <count> vectors, <dim> dims" per
 * collection in registry order.
 * @return the result of the last print call (characters written).
 * Thread-safe (reads the registry under the read lock).
 */
RK_API int rk_vecdb_print_info(rk_vecdb_t *db);

/* ---- collections ---- */

/**
 * Creates a collection with metric L2, an HNSW index (dormant until built)
 * and the given dimension, and registers it under its name.
 * @param name      NUL-terminated at name->data[name->len]; must be non-empty
 *                  and usable as a file name: no '/', '\\', NUL, line feed
 *                  or carriage return, and neither "." nor ".."
 * @param dimension floats per vector; 0 is refused
 * @param out       receives the collection, or null; untouched on failure
 * @return RK_OK; RK_ERR_INVALID_ARG (-2) for a null/closed handle, a null
 *         name or name data, or a name refused above; RK_ERR_EXISTS (-5)
 *         when the name is taken; RK_ERR_NO_MEMORY (-3) when the registry
 *         cannot grow; RK_ERR_UNKNOWN (-1) when the collection cannot be
 *         created (dimension 0 included).
 * The collection belongs to the database (never destroy it yourself); the
 * pointer stays valid until it is dropped or the database closed.
 * Thread-safe (takes the write lock).
 */
RK_API rk_status_t rk_vecdb_create_collection(rk_vecdb_t *db, const rk_string_t *name,
                                              uint32_t dimension, rk_collection_t **out);

/**
 * rk_vecdb_create_collection with the caller's whole configuration; its
 * name is the registry name and follows the same rules.
 * @return as rk_vecdb_create_collection; RK_ERR_INVALID_ARG also for a null
 *         configuration.
 */
RK_API rk_status_t rk_vecdb_create_collection_ex(rk_vecdb_t *db, const rk_collection_config_t *config,
                                                 rk_collection_t **out);

/**
 * Removes the collection from the registry and destroys it, once by-name
 * inserts and searches still running on it have finished.
 * @return RK_OK; RK_ERR_INVALID_ARG (-2) for a null/closed handle, a null
 *         name or name data; RK_ERR_NOT_FOUND (-4) when no collection has
 *         that name.
 * Thread-safe, except that no thread may still use a pointer to this
 * collection obtained from get/create.
 */
RK_API rk_status_t rk_vecdb_drop_collection(rk_vecdb_t *db, const rk_string_t *name);

/**
 * The collection with that name (equal length and bytes), or null (also for
 * a null/closed handle, a null name or name data). Owned by the database;
 * valid until the collection is dropped or the database closed.
 * Thread-safe (read lock).
 */
RK_API rk_collection_t *rk_vecdb_get_collection(rk_vecdb_t *db, const rk_string_t *name);

/** 1 if a collection has that name, else 0 (see rk_vecdb_get_collection). */
RK_API int rk_vecdb_has_collection(rk_vecdb_t *db, const rk_string_t *name);

/**
 * Lists the registered names in creation order.
 * @param names    room for capacity entries, or null to ask for the count
 * @param capacity entries the array holds; 0 asks for the count
 * @return the number of collections when names is null or capacity 0; else
 *         the number of entries filled, min(count, capacity). 0 for a
 *         null/closed handle. Each entry points at the collection's own name
 *         (valid until it is dropped), with its length.
 * Thread-safe (read lock).
 */
RK_API uint64_t rk_vecdb_list_collections(rk_vecdb_t *db, rk_string_t *names, uint64_t capacity);

/**
 * Inserts one vector into the named collection, creating the collection
 * (as rk_vecdb_create_collection with this dimension) when the name is new.
 * Two threads inserting into the same new name both succeed, into one
 * collection.
 * @param vector    dimension floats
 * @param dimension must equal the collection's dimension
 * @param out_id    receives the new record's id, or null; untouched on failure
 * @return RK_OK; RK_ERR_INVALID_ARG (-2) for a null/closed handle, a null
 *         name, name data or vector, or a name refused by create;
 *         RK_ERR_DIMENSION (-103) when an existing collection has another
 *         dimension; create's failures for a new name; the collection's
 *         insert status.
 * Thread-safe.
 */
RK_API rk_status_t rk_vecdb_insert(rk_vecdb_t *db, const rk_string_t *name, const float *vector,
                                   uint32_t dimension, uint64_t *out_id);

/**
 * Inserts count vectors, row-major (vector i at i * dimension floats), one
 * at a time, into the named collection, creating it as rk_vecdb_insert does.
 * @param out_ids receives the i-th id in slot i, or null
 * @return RK_OK (also for count 0, after creating the collection if it was
 *         new); the codes of rk_vecdb_insert; RK_ERR_INVALID_ARG also when
 *         count * dimension does not fit in memory. The first failing insert
 *         ends the call with its status: earlier vectors stay inserted and
 *         their ids are in out_ids.
 * Thread-safe.
 */
RK_API rk_status_t rk_vecdb_insert_batch(rk_vecdb_t *db, const rk_string_t *name, const float *vectors,
                                         uint32_t dimension, uint64_t count, uint64_t *out_ids);

/**
 * The k nearest records of the named collection to the query, nearest
 * first (the collection's index when it is built, else a full scan in the
 * collection's metric).
 * @param query     dimension floats
 * @param dimension must equal the collection's dimension
 * @param results   room for k results; entries past the returned count are
 *                  untouched
 * @return the number of results written; 0 for a null/closed handle, null
 *         name/query/results, an unknown name, a dimension that differs from
 *         the collection's, k of 0, or when scratch memory cannot be had.
 * Thread-safe (runs in parallel with other searches; inserts into the same
 * collection wait for it).
 */
RK_API uint64_t rk_vecdb_search(rk_vecdb_t *db, const rk_string_t *name, const float *query,
                                uint32_t dimension, uint64_t k, rk_vecdb_result_t *results);

/* ---- errors and process-wide setters ---- */

/**
 * The handle's last-error status: always RK_OK (0) for an open handle, since
 * no operation records one there (failures are returned); RK_ERR_UNKNOWN
 * (-1) for a null handle. Thread-safe.
 */
RK_API rk_status_t rk_vecdb_get_last_error(const rk_vecdb_t *db);

/**
 * The handle's error message if one is recorded, else rk_strerror of its
 * last-error status: "Success" for an open handle. For a null handle the
 * static text "Invalid database handle". Static or handle-owned text; never
 * free it. Thread-safe.
 */
RK_API const char *rk_vecdb_get_error_message(const rk_vecdb_t *db);

/**
 * Stores a log callback and its user data in process-wide storage. Nothing
 * in the library calls it (the library does not log; see rk_log_set_callback
 * for the logger's own callback). Thread-safe.
 */
RK_API void rk_vecdb_set_log_callback(rk_log_callback_fn callback, void *user_data);

/* ---- version and build information ---- */

/** "Rakmo ZevUD 0.1.32" and its length 18. Static text; never free it. */
RK_API rk_string_t rk_vecdb_version(void);

/**
 * "Rakmo ZevUD 0.1.32\nPlatform: <os>\nCompiler: <compiler>\nBuild Date: <date> <time>",
 * formatted once on first call into a static 512-byte buffer. Static text;
 * never free it. Thread-safe.
 */
RK_API rk_string_t rk_vecdb_build_info(void);

/** rk_strerror of the same value (compact message table). Static text. */
RK_API const char *rk_vecdb_strerror(int status);

RK_EXTERN_C_END

#endif /* RK_DATABASE_H */
