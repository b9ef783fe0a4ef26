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
