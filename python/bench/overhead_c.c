/* SPDX-License-Identifier: Apache-2.0 */
/*
 * The C side of the Python overhead benchmark: the same work as
 * overhead.py does through the package, straight through the C interface.
 * Usage: overhead_c ROWS.f32 ROWS DIM QUERIES ROUNDS
 * Prints "insert_s <best seconds>" and "search_us <best microseconds per query>".
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "zevud.h"

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + 1e-9 * (double)t.tv_nsec;
}

/* A collection made as the Python package makes one: in a database held in
 * memory, HNSW, L2. */
static rk_vecdb_t *db;
static rk_collection_t *make(uint32_t dim, const char *name) {
    rk_collection_config_t cfg;
    memset(&cfg, 0, sizeof cfg);
    cfg.name.data = name;
    cfg.name.len = strlen(name);
    cfg.dimension = dim;
    cfg.index_type = RK_INDEX_HNSW;
    rk_collection_t *c = NULL;
    if (rk_vecdb_create_collection_ex(db, &cfg, &c) != RK_OK) exit(1);
    return c;
}

int main(int argc, char **argv) {
    if (argc != 6) return 2;
    const uint64_t rows = strtoull(argv[2], NULL, 10), nq = strtoull(argv[4], NULL, 10);
    const uint32_t dim = (uint32_t)strtoul(argv[3], NULL, 10);
    const int rounds = atoi(argv[5]);
    float *x = malloc(rows * dim * sizeof *x);
    uint64_t *ids = malloc(rows * sizeof *ids);
    FILE *f = fopen(argv[1], "rb");
    if (!x || !ids || !f || fread(x, sizeof *x * dim, rows, f) != rows) return 1;
    fclose(f);
    if (rk_vecdb_open_ex(NULL, &db) != RK_OK) return 1;
    double best_insert = 1e9;
    for (int r = 0; r < rounds; ++r) {
        char name[16];
        snprintf(name, sizeof name, "i%d", r);
        rk_collection_t *c = make(dim, name);
        const double t0 = now();
        if (rk_collection_insert_batch(c, x, rows, ids) != RK_OK) return 1;
        const double t = now() - t0;
        if (t < best_insert) best_insert = t;
        const rk_string_t n = {name, strlen(name)};
        (void)c;
        if (rk_vecdb_drop_collection(db, &n) != RK_OK) return 1;
    }
    rk_collection_t *c = make(dim, "s");
    if (rk_collection_insert_batch(c, x, rows, ids) != RK_OK || rk_collection_build_index(c) != RK_OK) return 1;
    rk_search_params_t p;
    memset(&p, 0, sizeof p);
    p.k = 10;
    rk_search_result_t res[10];
    double best_search = 1e9;
    uint64_t checksum = 0;
    for (int r = 0; r < rounds; ++r) {
        const double t0 = now();
        for (uint64_t i = 0; i < nq; ++i) {
            uint64_t n = 0;
            if (rk_collection_search_ex(c, x + i * dim, &p, 64, res, &n) != RK_OK) return 1;
            checksum += res[0].id;
        }
        const double t = (now() - t0) / (double)nq;
        if (t < best_search) best_search = t;
    }
    printf("insert_s %.6f\nsearch_us %.3f\nchecksum %llu\n", best_insert, best_search * 1e6,
           (unsigned long long)checksum);
    rk_vecdb_close(db);
    free(x);
    free(ids);
    return 0;
}
