/* SPDX-License-Identifier: Apache-2.0 */
/*
 * rk_platform.h - threads and synchronisation, time, random numbers, platform information, file-system utilities
 *
 * Threading: every function here may be called from any thread. The lock
 * objects are for sharing between threads; their own create and destroy
 * must not race with use. The mutex is recursive per thread; the
 * reader/writer lock and the spin lock are not, and a thread that takes
 * either twice waits on itself. An rk_autolock_t holder and an rk_thread_t
 * record belong to one thread. The random generator steps atomically.
 */
#ifndef RK_PLATFORM_H
#define RK_PLATFORM_H

#include "rk_common.h"

RK_EXTERN_C_BEGIN

/* ---- time, random numbers and platform information ---- */

/*
 * The process-wide generator is a 64-bit linear congruential generator:
 * state' = state * 6364136223846793005 + 1442695040888963407 (mod 2^64), the
 * draw being computed from the new state. Before the first draw of a process
 * that never called rk_srand, the state is taken from rk_time_now(), so two
 * processes started in the same second draw the same sequence.
 *
 * Every draw advances the state exactly once, whichever of rk_rand,
 * rk_rand_double or rk_rand_float makes it. The update is atomic: threads
 * drawing at once each get a distinct step of the sequence (which thread
 * gets which is unspecified); a single thread sees exactly the sequence above.
 */

/**
 * Advances the process-wide generator and returns the new state.
 * Thread-safe (see above).
 */
RK_API uint64_t rk_rand(void);

/**
 * Advances the generator; returns (state >> 11) * 2^-53, a double in [0, 1)
 * that is never 1.0. Thread-safe.
 */
RK_API double rk_rand_double(void);

/**
 * Advances the generator; converts (state >> 11) to float (round to nearest)
 * and multiplies by 2^-53. The result lies in [0, 1] and is exactly 1.0 when
 * the conversion rounds up to 2^53. Thread-safe.
 */
RK_API float rk_rand_float(void);

/**
 * Sets the generator state to seed and marks the generator seeded, so the
 * next rk_rand() returns seed * 6364136223846793005 + 1442695040888963407
 * (mod 2^64). Thread-safe, but a seed racing with draws on other threads
 * makes their order, and so the values each thread sees, unspecified.
 */
RK_API void rk_srand(uint64_t seed);

/** Calendar time in whole seconds since 1970-01-01 UTC. Thread-safe. */
RK_API int64_t rk_time_now(void);

/**
 * Milliseconds since the system started, from a monotonic clock: never goes
 * back, unaffected by changes of the calendar clock. Not calendar time.
 * Thread-safe.
 */
RK_API uint64_t rk_time_now_ms(void);

/** end - start with two's-complement wrap-around (never traps). */
RK_API int64_t rk_time_diff(int64_t start, int64_t end);

/** Suspends the calling thread for at least ms milliseconds (0 yields at most briefly). */
RK_API void rk_sleep(uint32_t ms);

/** The system's virtual-memory page size in bytes (4096 on most systems). */
RK_API int rk_platform_get_page_size(void);

/**
 * Process-wide start-up hook. Nothing needs initialising, so it does
 * nothing and returns RK_OK however often it is called. Thread-safe.
 */
RK_API rk_status_t rk_platform_init(void);

/** Process-wide shut-down hook; does nothing. Thread-safe. */
RK_API void rk_platform_shutdown(void);

/** |x| for a 32-bit int; INT32_MIN, which has no positive counterpart, is returned unchanged. */
RK_API int rk_abs(int x);

/**
 * Ends the process with the given status through the C runtime's exit():
 * atexit handlers run and C streams are flushed. Does not return.
 */
RK_API void rk_exit(int status);

/* ---- threads and synchronisation ---- */

/*
 * Handles of mutexes, reader/writer locks, condition variables and spin locks
 * point at storage their create call took from the given arena, or from the
 * allocator hooks (rk_alloc) when the arena is null. Destroy releases the
 * operating-system object; hook storage is returned to the hooks, arena
 * storage goes away with its arena. Destroying an object that a thread still
 * holds or waits on is undefined.
 *
 * Every operation that returns a status returns RK_OK (0) on success and
 * RK_ERR_INVALID_ARG (-2) for a null required pointer, checked before anything
 * else happens; RK_ERR_UNKNOWN (-1) means the operating system refused.
 */

struct rk_arena_t; /* rk_memory.h */

/** Recursive mutex: the owning thread may lock again and must unlock as often. */
typedef struct rk_mutex rk_mutex_t;
/** Reader/writer lock: shared readers, exclusive writers; not recursive. */
typedef struct rk_rwlock rk_rwlock_t;
/** Condition variable, waited on together with an rk_mutex_t. */
typedef struct rk_cond rk_cond_t;
/** Counting semaphore with a maximum count. */
typedef struct rk_sem rk_sem_t;
/** Spin lock on one 32-bit word (0 free, 1 held); not recursive. */
typedef struct rk_spinlock rk_spinlock_t;

/** Start routine of a thread; its result is ignored. */
typedef void *(*rk_thread_fn)(void *argument);

/**
 * A thread record, filled by rk_thread_create and owned by the caller. It
 * must stay valid until the new thread has read start and argument through
 * it; keeping it until join or detach is the simple rule.
 */
typedef struct rk_thread_t {
    void *handle;          /**< operating-system handle; null when no thread runs from it */
    rk_thread_fn start;    /**< start routine */
    void *argument;        /**< passed to the start routine */
} rk_thread_t;

/** Scoped lock holder: the mutex held through it, or null. Meant for one thread. */
typedef struct rk_autolock_t {
    rk_mutex_t *mutex;
} rk_autolock_t;

/**
 * Creates a recursive mutex.
 * @param arena   storage source; null takes it from rk_alloc
 * @param options reserved, ignored (pass NULL)
 * @param out     receives the mutex; null on failure
 * @return RK_OK; RK_ERR_INVALID_ARG for null out; RK_ERR_NO_MEMORY (-3) when
 *         the storage cannot be had; RK_ERR_UNKNOWN when the OS refuses.
 * Thread-safe.
 */
RK_API rk_status_t rk_mutex_create(struct rk_arena_t *arena, const void *options, rk_mutex_t **out);
/** Destroys a mutex that nobody holds; null is ignored. */
RK_API void rk_mutex_destroy(rk_mutex_t *m);
/** Locks, waiting as long as another thread holds it; RK_OK or RK_ERR_INVALID_ARG. */
RK_API rk_status_t rk_mutex_lock(rk_mutex_t *m);
/**
 * Locks without waiting: RK_OK if the caller now holds it (also when it
 * already held it: count one more unlock), RK_ERR_BUSY (-10) if another
 * thread holds it, RK_ERR_INVALID_ARG for null.
 */
RK_API rk_status_t rk_mutex_trylock(rk_mutex_t *m);
/** Releases one level of the caller's hold; RK_OK or RK_ERR_INVALID_ARG. */
RK_API rk_status_t rk_mutex_unlock(rk_mutex_t *m);

/**
 * Creates a reader/writer lock; arguments, results and out as rk_mutex_create.
 * A waiting writer holds back readers that arrive after it, so a stream of
 * readers cannot starve writers. Thread-safe.
 */
RK_API rk_status_t rk_rwlock_create(struct rk_arena_t *arena, const void *options, rk_rwlock_t **out);
/** Destroys a free reader/writer lock; null is ignored. */
RK_API void rk_rwlock_destroy(rk_rwlock_t *l);
/** Acquires shared; RK_OK or RK_ERR_INVALID_ARG. A thread must not take it twice. */
RK_API rk_status_t rk_rwlock_rdlock(rk_rwlock_t *l);
/** Releases shared; RK_OK or RK_ERR_INVALID_ARG. */
RK_API rk_status_t rk_rwlock_rdunlock(rk_rwlock_t *l);
/** Acquires exclusive; RK_OK or RK_ERR_INVALID_ARG. A thread must not take it twice. */
RK_API rk_status_t rk_rwlock_wrlock(rk_rwlock_t *l);
/** Releases exclusive; RK_OK or RK_ERR_INVALID_ARG. */
RK_API rk_status_t rk_rwlock_wrunlock(rk_rwlock_t *l);
/** Not supported: acquires nothing; RK_ERR_NOT_SUPPORTED (-7), or RK_ERR_INVALID_ARG for null. */
RK_API rk_status_t rk_rwlock_tryrdlock(rk_rwlock_t *l);
/** Not supported: acquires nothing; RK_ERR_NOT_SUPPORTED (-7), or RK_ERR_INVALID_ARG for null. */
RK_API rk_status_t rk_rwlock_trywrlock(rk_rwlock_t *l);

/**
 * Creates a condition variable.
 * @param arena storage source; null takes it from rk_alloc
 * @param out   receives it; null on failure
 * @return RK_OK; RK_ERR_INVALID_ARG; RK_ERR_NO_MEMORY; RK_ERR_UNKNOWN.
 */
RK_API rk_status_t rk_cond_create(struct rk_arena_t *arena, rk_cond_t **out);
/** Destroys a condition variable nobody waits on; null is ignored. */
RK_API void rk_cond_destroy(rk_cond_t *c);
/** Wakes one waiter, if any; RK_OK or RK_ERR_INVALID_ARG. */
RK_API rk_status_t rk_cond_signal(rk_cond_t *c);
/** Wakes every waiter; RK_OK or RK_ERR_INVALID_ARG. */
RK_API rk_status_t rk_cond_broadcast(rk_cond_t *c);
/**
 * Atomically releases m (held exactly once by the caller) and waits until
 * woken; m is held again on return. Wake-ups may be spurious: re-check the
 * predicate. RK_OK when woken, RK_ERR_UNKNOWN when the wait fails,
 * RK_ERR_INVALID_ARG if c or m is null.
 */
RK_API rk_status_t rk_cond_wait(rk_cond_t *c, rk_mutex_t *m);
/**
 * As rk_cond_wait, for at most timeout_ms milliseconds (0xFFFFFFFF: no
 * limit). RK_ERR_TIMEOUT (-9) when the time ran out, with m held again.
 */
RK_API rk_status_t rk_cond_timedwait(rk_cond_t *c, rk_mutex_t *m, uint32_t timeout_ms);

/**
 * Creates a counting semaphore.
 * @param ignored       not used (where other creates take an arena)
 * @param initial_count count at creation, 0..maximum_count
 * @param maximum_count largest count, at least 1
 * @param out           receives the semaphore; null on failure
 * @return RK_OK; RK_ERR_INVALID_ARG for null out; RK_ERR_UNKNOWN for a
 *         maximum below 1 or an initial count outside 0..maximum;
 *         RK_ERR_NO_MEMORY when the storage cannot be had.
 * Storage comes from rk_alloc and goes back at rk_sem_destroy. Thread-safe.
 */
RK_API rk_status_t rk_sem_create(struct rk_arena_t *ignored, int32_t initial_count,
                                 int32_t maximum_count, rk_sem_t **out);
/** Destroys a semaphore nobody waits on; null is ignored. */
RK_API void rk_sem_destroy(rk_sem_t *s);
/** Waits until the count is positive, then decrements it; RK_OK, RK_ERR_INVALID_ARG or RK_ERR_UNKNOWN. */
RK_API rk_status_t rk_sem_wait(rk_sem_t *s);
/**
 * Increments the count by one, waking one waiter; RK_ERR_UNKNOWN (count
 * unchanged) when the count is already at its maximum; RK_ERR_INVALID_ARG for null.
 */
RK_API rk_status_t rk_sem_post(rk_sem_t *s);

/**
 * Creates a free spin lock.
 * @param arena   storage source; null takes it from rk_alloc
 * @param options reserved, ignored (pass NULL)
 * @param out     receives the lock; left untouched on failure
 * @return RK_OK; RK_ERR_INVALID_ARG for null out; RK_ERR_NO_MEMORY.
 */
RK_API rk_status_t rk_spinlock_create(struct rk_arena_t *arena, const void *options,
                                      rk_spinlock_t **out);
/** Marks the word free and releases hook storage; null is ignored. */
RK_API void rk_spinlock_destroy(rk_spinlock_t *s);
/**
 * Spins (with the processor's pause hint, no back-off, no time limit) until
 * the word goes from 0 to 1; RK_OK or RK_ERR_INVALID_ARG. For very short
 * sections only: it burns the processor while it waits.
 */
RK_API rk_status_t rk_spinlock_lock(rk_spinlock_t *s);
/** One compare-and-swap 0 to 1: RK_OK if taken, RK_ERR_BUSY (-10) if held, RK_ERR_INVALID_ARG for null. */
RK_API rk_status_t rk_spinlock_trylock(rk_spinlock_t *s);
/**
 * Frees the word with a full barrier, so the next holder sees every store
 * made under the lock. Does not check who held it. RK_OK or RK_ERR_INVALID_ARG.
 */
RK_API rk_status_t rk_spinlock_unlock(rk_spinlock_t *s);

/**
 * Starts a thread running start(argument) with the default stack size.
 * @param t        record to fill (start, argument, then handle)
 * @param start    required start routine
 * @param argument passed unchanged
 * @return RK_OK; RK_ERR_INVALID_ARG if t or start is null (no thread starts,
 *         t unchanged); RK_ERR_UNKNOWN when the OS refuses (t->handle null).
 * Join or detach every started thread exactly once.
 */
RK_API rk_status_t rk_thread_create(rk_thread_t *t, rk_thread_fn start, void *argument);
/**
 * Waits for the thread to end and releases its handle, then clears
 * t->handle so a second join or detach does nothing. RK_OK (also for a
 * record with no handle); RK_ERR_INVALID_ARG for null t. The thread must not
 * join itself.
 */
RK_API rk_status_t rk_thread_join(rk_thread_t *t);
/**
 * Lets the thread run on without being joined and releases its handle
 * (clearing t->handle). RK_OK; RK_ERR_INVALID_ARG for null t.
 */
RK_API rk_status_t rk_thread_detach(rk_thread_t *t);
/** The calling thread's operating-system id (32 bits, zero-extended). */
RK_API uint64_t rk_thread_id(void);

/**
 * Stores m in the holder, then locks it. RK_OK; RK_ERR_INVALID_ARG if either
 * is null (nothing locked, holder unchanged).
 */
RK_API rk_status_t rk_autolock_init(rk_autolock_t *holder, rk_mutex_t *m);
/** Unlocks the held mutex and clears the holder; does nothing for null or an empty holder. */
RK_API void rk_autolock_cleanup(rk_autolock_t *holder);

/* ---- file-system utilities ---- */

/*
 * File-system utilities: descriptor I/O, whole files, queries, directory
 * changes and listings, temporary names and path helpers.
 *
 * Threading: every function here may be called from any thread; none keeps
 * state between calls. Concurrent calls on the same descriptor or path see
 * whatever the operating system gives them; callers serialise those. An arena
 * handed to rk_file_list_dir, rk_file_join or rk_file_dirname must not be
 * used by another thread during the call.
 *
 * Paths are rk_string_t views whose data must be NUL-terminated at data[len];
 * only the data pointer is read. A null view or null data is treated as a
 * path that cannot be used. rk_file_join, rk_file_mktemp and rk_file_mkdtemp
 * take plain NUL-terminated texts.
 *
 * Memory: "on the heap" below means allocated through the allocator hooks
 * (rk_malloc); release it with rk_free. "In the arena" means allocated from
 * the caller's arena; it goes with the arena.
 *
 * No function here logs or writes the error record.
 */

struct rk_arena_t;

/** A file descriptor: non-negative when valid, -1 for failure. */
typedef int rk_file_t;

/** Origins of rk_file_seek. */
#define RK_FILE_SEEK_SET 0
#define RK_FILE_SEEK_CUR 1
#define RK_FILE_SEEK_END 2

/**
 * Opens a file for raw binary I/O.
 * @param path  file path
 * @param mode  mode text; only its first two characters count: "r"/"rb"
 *              read-only, "r+" read-write, "w"/"wb" write-only created and
 *              truncated, "w+" read-write created and truncated, "a"/"ab"
 *              write-only created with every write appended; anything else
 *              (and a null mode) opens read-only. Created files get mode 0644.
 * @return the descriptor, or -1 when the file cannot be opened or a path is
 *         null. Close it with rk_file_close. Thread-safe.
 */
RK_API rk_file_t rk_file_open(const rk_string_t *path, const rk_string_t *mode);

/** Closes a descriptor: 0, or -1 when fd is invalid. Thread-safe. */
RK_API int rk_file_close(rk_file_t fd);

/**
 * Reads up to size bytes at the descriptor's position.
 * @return bytes read, 0 at end of file, -1 on error, a null buffer or a
 *         negative size. Thread-safe (the position is the descriptor's).
 */
RK_API int32_t rk_file_read(rk_file_t fd, void *buffer, int32_t size);

/**
 * Writes length bytes at the descriptor's position (at the end for "a").
 * @return length when every byte was written, -1 on error, a null data or a
 *         negative length. Thread-safe (the position is the descriptor's).
 */
RK_API int32_t rk_file_write(rk_file_t fd, const void *data, int32_t length);

/**
 * Moves the descriptor's position.
 * @param origin RK_FILE_SEEK_SET, RK_FILE_SEEK_CUR or RK_FILE_SEEK_END
 * @return the new position, or -1 on error, an unknown origin, or a position
 *         that does not fit in 32 bits (the position is then unspecified).
 */
RK_API int32_t rk_file_seek(rk_file_t fd, int32_t offset, int origin);

/**
 * Reads a whole file into a new buffer, followed by one NUL byte.
 * @param path      file path
 * @param size_out  optional; receives the size in bytes (without the NUL);
 *                  untouched on failure
 * @return the buffer, on the heap (release with rk_free), or null when the
 *         file cannot be opened or sized, the buffer cannot be allocated or
 *         fewer bytes arrive. Thread-safe.
 */
RK_API void *rk_file_read_all(const rk_string_t *path, uint64_t *size_out);

/**
 * Creates or truncates a file and writes length bytes to it.
 * @return RK_OK when every byte was written; RK_ERR_INVALID_ARG for a null
 *         data with a non-zero length; RK_ERR_IO when the file cannot be
 *         opened or a write fails (the file may then hold part of the data);
 *         RK_ERR_DISK_FULL when a write fails because the disk or quota is
 *         full.
 */
RK_API rk_status_t rk_file_write_all(const rk_string_t *path, const void *data, uint64_t length);

/**
 * Copies a file in 4096-byte chunks, creating or truncating the destination.
 * @return RK_OK; RK_ERR_IO when either file cannot be opened or a read or
 *         write fails (the destination may then hold part of the data);
 *         RK_ERR_DISK_FULL when a write fails because the disk is full.
 */
RK_API rk_status_t rk_file_copy(const rk_string_t *source, const rk_string_t *destination);

/** 1 when the path can be examined (file or directory), else 0. */
RK_API int rk_file_exists(const rk_string_t *path);
/** 1 when the path is a directory, else 0 (also for a missing path). */
RK_API int rk_file_is_directory(const rk_string_t *path);
/** 1 when the path is a regular file, else 0 (also for a missing path). */
RK_API int rk_file_is_regular(const rk_string_t *path);
/** Size in bytes, or -1 when the path cannot be examined. */
RK_API int64_t rk_file_size(const rk_string_t *path);
/** Modification time in seconds since 1970-01-01 UTC, or -1. */
RK_API int64_t rk_file_mtime(const rk_string_t *path);

/** Creates one directory: RK_OK or RK_ERR_IO. */
RK_API rk_status_t rk_file_mkdir(const rk_string_t *path);
/** Removes one empty directory: RK_OK or RK_ERR_IO. */
RK_API rk_status_t rk_file_rmdir(const rk_string_t *path);
/** Removes a file: RK_OK or RK_ERR_IO. */
RK_API rk_status_t rk_file_unlink(const rk_string_t *path);
/** Renames or moves a path, replacing an existing file: RK_OK or RK_ERR_IO. */
RK_API rk_status_t rk_file_rename(const rk_string_t *from, const rk_string_t *to);

/**
 * Creates a directory and every missing directory above it ('/' and '\\'
 * both separate). Directories that exist already are fine.
 * @return RK_OK; RK_ERR_NO_MEMORY when the working copy cannot be had;
 *         RK_ERR_IO when a directory cannot be created (those created before
 *         stay).
 */
RK_API rk_status_t rk_file_mkdir_recursive(const rk_string_t *path);

/**
 * Removes a directory with everything below it. Symbolic links inside are
 * removed, never followed.
 * @return RK_OK; RK_ERR_NO_MEMORY when a child path cannot be formed;
 *         RK_ERR_IO when the path is not a directory (a link to one
 *         included: nothing is removed), the directory cannot be listed or
 *         something cannot be removed (what was removed before stays
 *         removed).
 */
RK_API rk_status_t rk_file_rmdir_recursive(const rk_string_t *path);

/**
 * Lists a directory's entries, without "." and "..", in the order the system
 * yields them.
 * @return a null-terminated array of names: the array in the arena, each
 *         name on the heap (release each with rk_free). Null when the
 *         directory cannot be listed, the arena is null or exhausted, or a
 *         name cannot be copied (names copied before are then released).
 */
RK_API char **rk_file_list_dir(const rk_string_t *path, struct rk_arena_t *arena);

/**
 * Replaces the six 'X' characters that end template, in place, so that it
 * names a path not yet in use; the prefix is kept.
 * @return template, or null when it does not end in six 'X' or no free name
 *         was found (template's contents are then unspecified).
 */
RK_API char *rk_file_mktemp(char *template_text);

/** As rk_file_mktemp, then creates a directory (mode 0700) of that name; null on either failure. */
RK_API char *rk_file_mkdtemp(char *template_text);

/**
 * Joins NUL-terminated parts with '/': a '/' is written before every part
 * except while nothing has been written yet; separators are never merged.
 * The list ends with a null pointer.
 * @return the text in the arena, or null for a null arena or when the arena
 *         is exhausted.
 */
RK_API char *rk_file_join(struct rk_arena_t *arena, const char *part, ...);

/**
 * The last component of a path: a pointer into the path just after its last
 * '/', or, with no '/', after its last '\\'; the path itself when it has
 * neither. Borrowed from path; null for a null path.
 */
RK_API const char *rk_file_basename(const rk_string_t *path);

/**
 * The text before a path's last separator (last '/', or with none the last
 * '\\'); "" when that separator is the first character; "." when there is
 * no separator.
 * @return the text in the arena; null for a null arena or path, or when the
 *         arena is exhausted.
 */
RK_API char *rk_file_dirname(struct rk_arena_t *arena, const rk_string_t *path);

/**
 * The absolute form of a path, resolved lexically against the current
 * directory ("." and ".." removed, repeated separators merged; links are not
 * followed; the path need not exist).
 * @param arena not used
 * @return the text on the heap (release with rk_free), or null when the
 *         current directory cannot be had or the result needs 4096 characters
 *         or more.
 */
RK_API char *rk_file_abs_path(struct rk_arena_t *arena, const rk_string_t *path);

/**
 * A copy of the path, unchanged.
 * @param arena not used
 * @return the copy on the heap (release with rk_free), or null.
 */
RK_API char *rk_file_normalize_path(struct rk_arena_t *arena, const rk_string_t *path);

RK_EXTERN_C_END

#endif /* RK_PLATFORM_H */
