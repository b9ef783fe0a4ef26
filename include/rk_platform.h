/*
 * rk_platform.h - threads and synchronisation, time, random numbers, platform information, file-system utilities
 *
 * Threading: (the family's threading rules go here)
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



/* ---- file-system utilities ---- */

RK_EXTERN_C_END

#endif /* RK_PLATFORM_H */
