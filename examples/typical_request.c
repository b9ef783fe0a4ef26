/* SPDX-License-Identifier: Apache-2.0 */
/*
 * typical_request: one request from open to close through the C interface.
 *
 *  1. open a database held in memory;
 *  2. insert vectors by collection name (the first insert creates the
 *     collection: L2 metric, HNSW index, dormant until built);
 *  3. search by name: the dormant index leaves the answer to a full scan;
 *  4. build the index and search again: the index answers, topped up by a
 *     scan when it returns fewer hits than asked for;
 *  5. close, which releases everything.
 */
#include <stdio.h>

#include "zevud.h"

#define DIM 32
#define COUNT 500
#define K 5

/* A deterministic cloud of points: no two records are equal. */
static void make_vector(unsigned seed, float *out) {
    unsigned x = seed * 2654435761u + 12345u;
    for (int j = 0; j < DIM; ++j) {
        x = x * 1103515245u + 12345u;
        out[j] = (float)((x >> 8) & 0xffff) / 65536.0f;
    }
}

static int print_hits(const char *label, const rk_vecdb_result_t *hits, uint64_t n, int exact) {
    printf("%s: %llu hit(s)\n", label, (unsigned long long)n);
    for (uint64_t i = 0; i < n; ++i) {
        printf("  id %llu at %.6f\n", (unsigned long long)hits[i].id, hits[i].distance);
    }
    for (uint64_t i = 1; i < n; ++i) {
        if (hits[i - 1].distance > hits[i].distance) return 1;
    }
    /* The query is record 43 itself: an exact scan puts it first, at
     * distance 0. The graph is approximate and need not find it. */
    return n == K && (!exact || (hits[0].id == 43 && hits[0].distance == 0.0f)) ? 0 : 1;
}

int main(void) {
    rk_vecdb_t *db = NULL;
    rk_status_t st = rk_vecdb_open(NULL, 0, &db);
    if (st != RK_OK) {
        fprintf(stderr, "open: %s\n", rk_error_message(st));
        return 1;
    }

    const rk_string_t name = {"embeddings", 10};
    float v[DIM];
    uint64_t id = 0;
    for (unsigned i = 0; i < COUNT; ++i) {
        make_vector(i, v);
        st = rk_vecdb_insert(db, &name, v, DIM, &id);
        if (st != RK_OK) {
            fprintf(stderr, "insert: %s\n", rk_error_message(st));
            rk_vecdb_close(db);
            return 1;
        }
    }
    printf("inserted %u vectors, last id %llu\n", COUNT, (unsigned long long)id);

    float query[DIM];
    make_vector(42, query); /* the record with id 43 */
    rk_vecdb_result_t hits[K];
    int failed = print_hits("scan", hits, rk_vecdb_search(db, &name, query, DIM, K, hits), 1);

    rk_collection_t *collection = rk_vecdb_get_collection(db, &name);
    st = rk_collection_build_index(collection);
    if (st != RK_OK) {
        /* Without an index the collection keeps answering by a scan. */
        printf("build index: %s; searches keep scanning\n", rk_error_message(st));
    }
    failed |= print_hits("after build", hits, rk_vecdb_search(db, &name, query, DIM, K, hits), 0);

    fflush(stdout); /* the report is written unbuffered, straight to the descriptor */
    rk_vecdb_print_info(db);
    st = rk_vecdb_close(db);
    if (st != RK_OK) failed = 1;
    return failed;
}
