/* SPDX-License-Identifier: Apache-2.0 */
/*
 * rk_memory.h - allocator hooks and bump arenas.
 *
 * Two mechanisms. Short-lived buffers go through a process-wide set of
 * allocator hooks that a host may replace (rk_set_allocator); the defaults
 * are the C runtime's malloc/realloc/free, installed on first use.
 * Long-lived data that dies all at once goes into arenas: bump allocators
 * that hand out 8-byte-aligned pieces of large blocks (taken straight from
 * the C runtime, never through the hooks) and free everything only at reset
 * or destroy.
 *
 * Threading: neither the hook record nor an arena has a lock. Use an arena
 * from one thread at a time; rk_set_allocator must not race with
 * allocations. Replacing the hooks while memory from the previous hooks is
 * live means that memory will be released through the new free_fn.
 */
#ifndef RK_MEMORY_H
#define RK_MEMORY_H

#include "rk_common.h"

RK_EXTERN_C_BEGIN

typedef void *(*rk_malloc_fn)(size_t size, void *user_data);
typedef void *(*rk_realloc_fn)(void *ptr, size_t size, void *user_data);
typedef void (*rk_free_fn)(void *ptr, void *user_data);

/** The allocator hook record; user_data is handed to each hook last. */
typedef struct rk_allocator_t {
    rk_malloc_fn malloc_fn;
    rk_realloc_fn realloc_fn;
    rk_free_fn free_fn;
    void *user_data;
} rk_allocator_t;

/** One block of an arena (memory, size, bytes handed out, next). */
typedef struct rk_arena_block_t {
    unsigned char *memory;
    size_t size;
    size_t used;
    struct rk_arena_block_t *next;
} rk_arena_block_t;

/**
 * A bump arena. Every block is at least 64 KiB and at least block_size;
 * every piece is rounded up to a multiple of 8 and 8-byte aligned; pieces are
 * never freed one by one.
 */
typedef struct rk_arena_t {
    rk_arena_block_t *head;  /**< first block */
    rk_arena_block_t *tail;  /**< allocations are served from it */
    size_t block_size;       /**< default block size (0 at creation means 4 MiB) */
    size_t total_size;       /**< sum of the sizes of the blocks held */
    size_t used_size;        /**< sum of the rounded sizes served since creation or reset */
    const char *name;        /**< null at creation; never set by the library */
} rk_arena_t;

/* ---- allocator hooks --------------------------------------------------- */

/** malloc_fn(size, user_data); null when no malloc_fn is set or it fails. Free with rk_free. */
RK_API void *rk_malloc(size_t size);
/** Same operation as rk_malloc. */
RK_API void *rk_alloc(size_t size);
/** count * size zeroed bytes through malloc_fn; null on overflow or failure. Free with rk_free. */
RK_API void *rk_calloc(size_t count, size_t size);
/** realloc_fn(ptr, size, user_data); null when no realloc_fn is set or it fails. */
RK_API void *rk_realloc(void *ptr, size_t size);
/** free_fn(ptr, user_data) when both ptr and free_fn are non-null. */
RK_API void rk_free(void *ptr);
/**
 * Installs a copy of *allocator. RK_ERR_INVALID_ARG (-2) for a null record or
 * a null malloc_fn (nothing changes); a null realloc_fn or free_fn is
 * accepted. Returns RK_OK otherwise.
 */
RK_API rk_status_t rk_set_allocator(const rk_allocator_t *allocator);
/** The live hook record (defaults installed first if none are). Owned by the library. */
RK_API const rk_allocator_t *rk_get_allocator(void);
/** rk_set_allocator of {malloc_fn, realloc_fn, free_fn, NULL}. */
RK_API rk_status_t rk_vecdb_set_allocator(rk_malloc_fn malloc_fn, rk_realloc_fn realloc_fn,
                                          rk_free_fn free_fn);

/* ---- arenas --------------------------------------------------------------- */

/**
 * Creates an arena whose blocks hold at least block_size bytes (0 means
 * 0x400000) and at least 64 KiB, with its first block allocated.
 * RK_ERR_INVALID_ARG for a null out; RK_ERR_NO_MEMORY when the header or the
 * first block cannot be had (nothing is left allocated). On success *out owns
 * the arena: release it with rk_arena_destroy.
 */
RK_API rk_status_t rk_arena_create(size_t block_size, rk_arena_t **out);
/** Frees every block and the arena; null is ignored. */
RK_API void rk_arena_destroy(rk_arena_t *arena);
/**
 * An uninitialised piece of size bytes (rounded up to 8), valid until the
 * arena is reset or destroyed. Null for a null arena, size 0, a size that
 * cannot be rounded without overflow, or a failed block allocation.
 */
RK_API void *rk_arena_alloc(rk_arena_t *arena, size_t size);
/** Zeroed piece of count * size bytes; null for null arena, zero count/size or overflow. */
RK_API void *rk_arena_calloc(rk_arena_t *arena, size_t count, size_t size);
/** Piece holding a copy of size bytes at src; null for null arena/src or size 0. */
RK_API void *rk_arena_memdup(rk_arena_t *arena, const void *src, size_t size);
/** Copy of a NUL-terminated text, terminator included; null for null arena or text. */
RK_API char *rk_arena_strdup(rk_arena_t *arena, const char *text);
/**
 * Keeps the first block, frees the others, and marks everything free. All
 * pieces handed out before are invalid afterwards. Null is ignored.
 */
RK_API void rk_arena_reset(rk_arena_t *arena);
/** Writes used_size / total_size into the non-null outs (0 for a null arena). */
RK_API void rk_arena_stat(const rk_arena_t *arena, size_t *used, size_t *total);
/** used_size, or 0 for a null arena. */
RK_API size_t rk_arena_get_used_size(const rk_arena_t *arena);
/** Number of blocks held, or 0 for a null arena. */
RK_API size_t rk_arena_get_block_count(const rk_arena_t *arena);
/** The arena's name, or "(unnamed)" for a null arena or a null name. Borrowed text. */
RK_API const char *rk_arena_get_name(const rk_arena_t *arena);

RK_EXTERN_C_END

#endif /* RK_MEMORY_H */
