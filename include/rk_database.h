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

/** Longest collection name of a database, in bytes (see rk_vecdb_create_collection). */
#define RK_VECDB_NAME_MAX 238u

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
 * index). A missing catalog is an empty database. A collection file is
 * loaded only whole: a cut file, a record count that disagrees with the data
 * size, a failed checksum or record sum is refused as damaged. A collection
 * file that fails to load for any reason but memory keeps its catalog entry
 * and its files, and is reported by the extension
 * rk_vecdb_list_failed_collections; a storage file that cannot be opened
 * does not fail the open.
 * Extension: a read-write open holds an advisory lock on the directory
 * (the file DIR/.rklock, created when missing and never removed) until
 * close, so a second read-write handle on the same directory, in this
 * process or another, is refused with RK_ERR_FILE_LOCKED. read_only takes no
 * lock: it opens the storage file for reading only, makes sync and close
 * write nothing, and sees the last save a writer completed (every file is
 * replaced whole). The storage file is never written through a symbolic
 * link. A path with storage mode RK_DB_MEMORY reads nothing at open, but
 * sync and close write the collections and the catalog there, holding the
 * directory's lock for each save.
 * @return RK_OK; RK_ERR_INVALID_ARG (-2) for a null out;
 *         RK_ERR_NO_MEMORY (-3) when the handle, its arena or its registry
 *         cannot be allocated, or memory runs out while the catalog's
 *         collections are loaded (nothing is written then);
 *         the lock's status when it cannot be created;
 *         RK_ERR_PATH_TOO_LONG (-205) when DIR/.rkmeta does not fit in 1024
 *         bytes; RK_ERR_EXISTS (-5) when something other than a directory
 *         exists at the path of a persistent database (it is left untouched);
 *         RK_ERR_FILE_LOCKED (-204) when another read-write handle holds the
 *         directory; when the directory is missing and cannot be created, or
 *         the catalog exists but cannot be read, the system's cause:
 *         RK_ERR_PERMISSION (-8), RK_ERR_NOT_FOUND (-4, e.g. a dangling
 *         symbolic link where the directory belongs), RK_ERR_DISK_FULL
 *         (-202) or RK_ERR_IO (-203); RK_ERR_PERMISSION also when DIR/storage
 *         is a symbolic link (or anything but a regular file) and the open is
 *         not read-only.
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
 *         RK_ERR_DISK_FULL (-202) when the disk or quota is full,
 *         RK_ERR_TOO_LARGE (-12) at a file-size limit, RK_ERR_PERMISSION
 *         (-8), RK_ERR_IO (-203) for another failed write, sync or rename,
 *         RK_ERR_FILE_LOCKED (-204) when a memory-mode handle finds the
 *         directory held by a read-write handle,
 *         RK_ERR_PATH_TOO_LONG (-205) for a collection whose file path does
 *         not fit in 1024 bytes, RK_ERR_EXISTS (-5) when a file stands where
 *         the directory belongs, RK_ERR_NO_MEMORY (-3), or the storage file's
 *         sync status. A failed file keeps its previous contents; when a
 *         collection's index file cannot be written, its collection file is
 *         not written either, so both stay as the last completed save.
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
 *                  or carriage return, and neither "." nor "..". Every file
 *                  name derived from it (NAME.rkidx.tmp-XXXXXX is the
 *                  longest) must fit the 255 bytes file systems allow, so a
 *                  name has at most RK_VECDB_NAME_MAX (238) bytes; with a
 *                  directory, "DIR/NAME.rkcol.tmp-XXXXXX" must also fit in
 *                  1023 bytes (259 on Windows).
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
 * inserts and searches still running on it have finished. A name that
 * failed to load (rk_vecdb_list_failed_collections) is forgotten and, unless
 * the handle is read-only, its files are removed.
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

/* ---- collections that failed to load (extension) ---- */

/** One catalog entry of a persistent database that could not be loaded. */
typedef struct rk_vecdb_load_failure_t {
    rk_string_t name;   /**< the catalog name (NUL-terminated); owned by the handle */
    rk_status_t status; /**< why: RK_ERR_NOT_FOUND (file missing), RK_ERR_PERMISSION,
                             RK_ERR_FILE_CORRUPTED, RK_ERR_IO, RK_ERR_PATH_TOO_LONG, ... */
} rk_vecdb_load_failure_t;

/**
 * Extension: the collections the catalog lists that open could not load,
 * with the reason of each. Such a collection is not in the registry (get,
 * has and list do not see it), but its name stays taken (create and a
 * creating insert return RK_ERR_EXISTS), the catalog keeps listing it and
 * its files stay as they were, so nothing is lost; each one is also logged
 * at open as a warning (RK_LOG_WARN) with its name and status. Dropping the
 * name forgets it and, unless the handle is read-only, removes its files
 * (NAME.rkcol, NAME.rkidx, NAME.rkcol.damaged). Running out of memory while
 * loading never lands here: it fails the open with RK_ERR_NO_MEMORY.
 * @param failures null, or room for capacity entries, filled in catalog order
 * @param capacity entries the array holds
 * @return with a null array or capacity 0, the number of failed entries;
 *         otherwise the number written, at most capacity. 0 for a null or
 *         closed handle. The names stay valid until the entry is dropped or
 *         the handle closed.
 * Thread-safe (the registry's read lock).
 */
RK_API uint64_t rk_vecdb_list_failed_collections(rk_vecdb_t *db, rk_vecdb_load_failure_t *failures,
                                                 uint64_t capacity);

/* ---- many searches at once (extension) ---- */

/**
 * Extension: nq by-name searches at once. Query i is answered exactly as
 * rk_vecdb_search(db, name, query i, dimension, params->k, ...) would answer
 * it, bit for bit, with the options' filter applied as rk_collection_search
 * applies it, into results + i * k, its count in out_counts[i]. Runs as
 * rk_collection_search_batch on the named collection (one read lock for the
 * batch, threads searching including the caller; 0 = one per core).
 *
 * @param queries    nq * dimension floats, query after query
 * @param dimension  must equal the collection's dimension
 * @param params     k and filter for every query (the include flags are not
 *                   read), or null for k 10 without filter
 * @param results    room for nq * k results, owned by the caller
 * @param out_counts room for nq counts; all set (0 for a failed query)
 * @return RK_OK (also for nq 0 or k 0); RK_ERR_INVALID_ARG for a null or
 *         closed handle, null name, queries, results or out_counts, or nq * k
 *         beyond memory sizes; RK_ERR_NOT_FOUND for an unknown name;
 *         RK_ERR_DIMENSION for a dimension other than the collection's;
 *         RK_ERR_NO_MEMORY when working memory cannot be had (counts of the
 *         queries not answered are 0). After any other failure every count
 *         is 0 when out_counts is not null.
 * Thread-safe (like rk_vecdb_search).
 */
RK_API rk_status_t rk_vecdb_search_batch(rk_vecdb_t *db, const rk_string_t *name, const float *queries,
                                         uint32_t dimension, uint64_t nq, const rk_search_params_t *params,
                                         uint32_t threads, rk_vecdb_result_t *results, uint64_t *out_counts);

/* ---- errors and process-wide setters ---- */

/**
 * The handle's last-error status: always RK_OK (0) for an open handle, since
 * no operation records one there (failures are returned); RK_ERR_UNKNOWN
 * (-1) for a null handle. Thread-safe.
 * Every function reports its failure in the status it returns: keep that
 * status and show rk_error_message(status) / rk_error_description(status)
 * (rk_error.h) rather than asking the handle afterwards.
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

/**
 * rk_strerror of the same value: the compact message table, numbered 0..17
 * on its own, not by status code (a negative status gives "Unknown error").
 * For a status a function returned use rk_error_message(status). Static text.
 */
RK_API const char *rk_vecdb_strerror(int status);

RK_EXTERN_C_END

#endif /* RK_DATABASE_H */
