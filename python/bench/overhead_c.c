/* SPDX-License-Identifier: Apache-2.0 */
/*
 * The C side of the Python overhead benchmark, built as a small shared
 * object that overhead.py loads into its own process: the same calls the
 * package makes, looped and timed in C, against the very same collection,
 * so that both sides see the same data, memory and machine load.
 */
#include <stdint.h>
#include <string.h>
#include <time.h>

#include "zevud.h"

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return (double)t.tv_sec + 1e-9 * (double)t.tv_nsec;
}

/* Seconds to add n rows with the batch insert; -1 on failure. */
double bench_insert(rk_collection_t *c, const float *rows, uint64_t n, uint64_t *ids) {
    const double t0 = now();
    if (rk_collection_insert_batch(c, rows, n, ids) != RK_OK) return -1;
    return now() - t0;
}

/* Seconds for nq single-query searches (k 10, effort ef); adds the first
 * hit's id of each to *checksum. -1 on failure. */
double bench_search(rk_collection_t *c, const float *queries, uint64_t nq, uint32_t dim, uint32_t ef,
                    uint64_t *checksum) {
    rk_search_params_t p;
    memset(&p, 0, sizeof p);
    p.k = 10;
    rk_search_result_t res[10];
    const double t0 = now();
    for (uint64_t i = 0; i < nq; ++i) {
        uint64_t n = 0;
        if (rk_collection_search_ex(c, queries + i * dim, &p, ef, res, &n) != RK_OK) return -1;
        *checksum += n ? res[0].id : 0;
    }
    return now() - t0;
}
