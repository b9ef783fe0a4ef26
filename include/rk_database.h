/*
 * rk_database.h - the database handle and the process-wide informational
 * functions (version, build information).
 *
 * Threading: the informational functions are safe from any thread.
 */
#ifndef RK_DATABASE_H
#define RK_DATABASE_H

#include "rk_common.h"

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
