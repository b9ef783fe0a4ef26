/* SPDX-License-Identifier: Apache-2.0 */
/*
 * rk_config.h - a tree of dotted keys with typed values, presets for
 * embedded and mobile targets, and conversion into database and collection
 * configuration records.
 *
 * Threading: a store has no lock. Use one store from one thread at a time,
 * and do not use its arena from another thread meanwhile (sets allocate in
 * it). Distinct stores may be used from distinct threads at once; nothing
 * here keeps process-wide state.
 *
 * Keys are rk_string_t views read over exactly len bytes (the bytes need not
 * end in a NUL). A key is split at every '.' into segments, one tree level
 * each: "index.hnsw.M" is M under hnsw under index. Adjacent dots give an
 * empty segment, a single trailing dot is ignored ("a." is "a"), and the
 * empty key names the root. Segments compare byte for byte, case-sensitively.
 * Reading a key never allocates.
 *
 * Memory: everything a store holds lives in the arena it was created with and
 * goes only with that arena. Setting a key again leaves the old value's copy
 * in the arena, so views returned earlier stay readable while the arena lives.
 */
#ifndef RK_CONFIG_H
#define RK_CONFIG_H

#include "rk_common.h"
#include "rk_memory.h"
#include "rk_database.h"
#include "rk_collection.h"

RK_EXTERN_C_BEGIN

/* ---- configuration store ---- */

/** A hierarchical store of typed values under dotted keys. Owned by its arena. */
typedef struct rk_config_t rk_config_t;

/** Type of a stored value. */
typedef enum rk_config_type_t {
    RK_CONFIG_INT = 0,    /**< int64_t */
    RK_CONFIG_FLOAT = 1,  /**< double */
    RK_CONFIG_STRING = 2, /**< NUL-terminated text, copied into the arena */
    RK_CONFIG_BOOL = 3    /**< int32_t, 0 false */
} rk_config_type_t;

/**
 * Creates an empty store in an arena: just the root node, an integer 0.
 * @param arena  arena that will hold the store and everything set in it
 * @return the store, or null for a null arena or when the arena cannot give
 *         the memory. The store lives until the arena is reset or destroyed;
 *         there is nothing to free.
 */
RK_API rk_config_t *rk_config_create(rk_arena_t *arena);

/** Does nothing: the store's memory goes with its arena. Null is ignored. */
RK_API void rk_config_destroy(rk_config_t *config);

/**
 * Stores a value under a key, creating every missing node on the way (a node
 * created only on the way holds the integer 0). Setting a key again replaces
 * both its type and its value.
 * @param config  the store
 * @param key     dotted key
 * @param value   points to an int64_t (RK_CONFIG_INT), a double
 *                (RK_CONFIG_FLOAT), an int32_t (RK_CONFIG_BOOL), or is itself
 *                the NUL-terminated text (RK_CONFIG_STRING), which is copied
 * @param type    an rk_config_type_t value
 * @return RK_OK;
 *         RK_ERR_INVALID_ARG (-2) for a null config, key, key data or value,
 *         or a type outside 0..3: nothing changes;
 *         RK_ERR_NO_MEMORY (-3) when the arena cannot hold a copy or a node:
 *         the key keeps its earlier type and value, and nodes created on the
 *         way before the failure stay (holding the integer 0).
 * Not thread-safe (see the family rules).
 */
RK_API rk_status_t rk_config_set(rk_config_t *config, const rk_string_t *key, const void *value,
                                 int32_t type);

/**
 * The integer stored under a key.
 * @return the value when the key exists and holds RK_CONFIG_INT; otherwise
 *         (absent key, other type, null config or key) def. No conversion
 *         between types. Never allocates.
 */
RK_API int64_t rk_config_get_int(const rk_config_t *config, const rk_string_t *key, int64_t def);

/** As rk_config_get_int, for a value of type RK_CONFIG_FLOAT. */
RK_API double rk_config_get_float(const rk_config_t *config, const rk_string_t *key, double def);

/** As rk_config_get_int, for a value of type RK_CONFIG_BOOL (returned as stored). */
RK_API int32_t rk_config_get_bool(const rk_config_t *config, const rk_string_t *key, int32_t def);

/**
 * The text stored under a key.
 * @param def  returned unchanged when the key is absent or not a string, or
 *             config or key is null (it may be null)
 * @return a view of the stored text: data NUL-terminated at data[len], len
 *         its length in bytes. The view and its text belong to the store's
 *         arena and stay valid, unchanged, while the arena lives, even after
 *         the key is set again.
 */
RK_API const rk_string_t *rk_config_get_string(const rk_config_t *config, const rk_string_t *key,
                                               const rk_string_t *def);

/**
 * 1 if a node exists at the key, whatever its type (including nodes created
 * only on the way to deeper keys, and the root for the empty key); 0 if not,
 * and 0 for a null config or key.
 */
RK_API int rk_config_has_key(const rk_config_t *config, const rk_string_t *key);

/**
 * Checks that a file can be read and remembers its path. The file's contents
 * are not interpreted: no setting changes.
 * @param path  file path; data NUL-terminated at data[len]
 * @return RK_OK; RK_ERR_INVALID_ARG (-2) for a null config, path or path
 *         data; RK_ERR_IO (-203) when the file cannot be read;
 *         RK_ERR_NO_MEMORY (-3) when the arena cannot hold the path copy.
 */
RK_API rk_status_t rk_config_load(rk_config_t *config, const rk_string_t *path);

/**
 * Creates the file, or truncates it to empty. Settings have no text form, so
 * nothing is written: an existing file loses its contents.
 * @param path  file path; data NUL-terminated at data[len]
 * @return RK_OK; RK_ERR_INVALID_ARG (-2) for a null config, path or path
 *         data; RK_ERR_IO (-203) when the file cannot be opened for writing.
 */
RK_API rk_status_t rk_config_save(rk_config_t *config, const rk_string_t *path);

/**
 * Accepts a text of settings without interpreting it (settings have no text
 * form): no setting changes.
 * @return RK_OK, or RK_ERR_INVALID_ARG (-2) for a null config or text.
 */
RK_API rk_status_t rk_config_load_string(rk_config_t *config, const rk_string_t *text);

/**
 * Accepts command-line arguments without interpreting them: no setting
 * changes.
 * @return RK_OK, or RK_ERR_INVALID_ARG (-2) for a null config or argv.
 */
RK_API rk_status_t rk_config_parse_args(rk_config_t *config, int argc, char **argv);

/**
 * Does not read the environment: no setting changes.
 * @return RK_OK, or RK_ERR_INVALID_ARG (-2) for a null config.
 */
RK_API rk_status_t rk_config_load_env(rk_config_t *config);

/* ---- presets and conversion ---- */

/*
 * Presets store three integers of HNSW tuning, replacing earlier values:
 *
 *   preset        index.hnsw.M  index.hnsw.ef_construction  index.hnsw.ef_search
 *   embedded           8                 50                         32
 *   mobile_high       32                200                        100
 *   mobile_low        16                100                         50
 *
 * The conversions below do not read these keys; a host applies them to its
 * index configuration itself (rk_config_get_int).
 *
 * Each preset returns RK_OK; RK_ERR_INVALID_ARG (-2) for a null config;
 * RK_ERR_NO_MEMORY (-3) when a key cannot be stored (every key is still
 * attempted; the ones that could be stored hold their new values). Not thread-safe (see the family rules).
 */

/** Small embedded targets: M 8, ef_construction 50, ef_search 32. */
RK_API rk_status_t rk_config_apply_preset_embedded(rk_config_t *config);
/** Capable mobile devices: M 32, ef_construction 200, ef_search 100. */
RK_API rk_status_t rk_config_apply_preset_mobile_high(rk_config_t *config);
/** Low-end mobile devices: M 16, ef_construction 100, ef_search 50. */
RK_API rk_status_t rk_config_apply_preset_mobile_low(rk_config_t *config);

/**
 * Fills a database record: defaults first, then each key present with the
 * right type and an accepted value (other values are ignored):
 *
 *   key                          type    field              default
 *   database.path                string  path               "./data"
 *   database.storage_mode        string  storage_mode       1 ("memory" 0, "persistent" 1)
 *   database.arena_size          int     arena_size         100 MiB (values > 0)
 *   database.cache_size          int     cache_size         50 MiB (values > 0)
 *   database.read_only           bool    read_only          0 (stored as 0 or 1)
 *   database.create_if_missing   bool    create_if_missing  1 (stored as 0 or 1)
 *
 * Words compare exactly and case-sensitively over the whole text.
 * @param out  receives the record; path points into the store's arena (or to
 *             a constant text) with data NUL-terminated at data[len], valid
 *             while the arena lives
 * @return RK_OK, or RK_ERR_INVALID_ARG (-2) for a null config or out (out is
 *         then untouched). Never allocates.
 */
RK_API rk_status_t rk_config_to_db_config(const rk_config_t *config, rk_vecdb_config_t *out);

/**
 * Fills a collection record the same way:
 *
 *   key                     type    field        default
 *   collection.name         string  name         empty (null data, length 0)
 *   collection.dimension    int     dimension    128 (values 1 .. 2^32-1)
 *   collection.metric       string  metric       0 ("l2" 0, "ip" 1, "cosine" 2)
 *   collection.index_type   string  index_type   2 ("flat" 0, "ivf" 1, "hnsw" 2)
 *   collection.auto_resize  bool    auto_resize  1 (stored as 0 or 1)
 *
 * reserved, quantization, pq_m and pq_nbits are written as 0.
 * @param out  receives the record; name points into the store's arena, valid
 *             while the arena lives
 * @return RK_OK, or RK_ERR_INVALID_ARG (-2) for a null config or out (out is
 *         then untouched). Never allocates.
 */
RK_API rk_status_t rk_config_to_collection_config(const rk_config_t *config,
                                                  rk_collection_config_t *out);

/**
 * Extension: applies the store's index keys to a collection, as the
 * collection's own setters would (rk_collection.h):
 *
 *   key                         type  setter
 *   index.hnsw.M                int   rk_collection_set_hnsw_build (m)
 *   index.hnsw.ef_construction  int   rk_collection_set_hnsw_build (ef_construction)
 *   index.hnsw.ef_search        int   rk_collection_set_ef_search
 *   index.ivf.nlist             int   rk_collection_set_nlist
 *   index.ivf.nprobe            int   rk_collection_set_nprobe
 *   index.seed                  int   rk_collection_set_build_seed
 *
 * The presets write the index.hnsw keys. Absent keys, keys of another type
 * and keys of the index family the collection does not have are skipped;
 * the build settings shape the collection's next index build, the search
 * settings take effect at once.
 * @return RK_OK; RK_ERR_INVALID_ARG for a null argument or a value outside
 *         the setter's bounds (keys before it are applied, none after).
 * Thread-safety: takes the collection's write lock per setting; the store
 * must not be written meanwhile.
 */
RK_API rk_status_t rk_config_apply_to_collection(const rk_config_t *config, rk_collection_t *collection);

RK_EXTERN_C_END

#endif /* RK_CONFIG_H */
