/* SPDX-License-Identifier: Apache-2.0 */
/*
 * error_handling: how failures reach a host, and what to show a user.
 *
 * Every rk_ function that can fail returns an rk_status_t: RK_OK (0) or a
 * negative code. rk_error_message(status) is the short message,
 * rk_error_description(status) a sentence. A failed call changes nothing:
 * the database, its collections and their records are as before.
 * Searches that return a bare count cannot say why they found nothing;
 * rk_collection_search_ex returns a status beside its count.
 */
#include <stdio.h>
#include <string.h>

#include "zevud.h"

static int expect(const char *what, rk_status_t got, rk_status_t want) {
    printf("%-42s -> %4d  %s: %s\n", what, (int)got, rk_error_message(got), rk_error_description(got));
    if (got != want) {
        fprintf(stderr, "  expected %d (%s)\n", (int)want, rk_error_message(want));
        return 1;
    }
    return 0;
}

int main(void) {
    int failed = 0;
    rk_vecdb_t *db = NULL;
    rk_status_t st = rk_vecdb_open(NULL, 0, &db);
    if (st != RK_OK) {
        fprintf(stderr, "open: %s\n", rk_error_message(st));
        return 1;
    }
    const rk_string_t name = {"docs", 4};
    const float v4[4] = {1, 2, 3, 4};
    uint64_t id = 0;
    failed |= expect("first insert creates the collection", rk_vecdb_insert(db, &name, v4, 4, &id), RK_OK);

    /* Wrong dimension: refused, nothing stored. */
    const float v3[3] = {1, 2, 3};
    failed |= expect("insert of a 3-float vector into dim 4", rk_vecdb_insert(db, &name, v3, 3, &id),
                     RK_ERR_DIMENSION);
    rk_collection_t *c = rk_vecdb_get_collection(db, &name);
    rk_collection_stats_t stats;
    memset(&stats, 0, sizeof stats);
    rk_collection_get_stats(c, &stats);
    printf("records after the refused insert: %llu\n", (unsigned long long)stats.count);
    failed |= stats.count != 1;

    /* Null arguments are refused, never dereferenced. */
    failed |= expect("insert with a null vector", rk_vecdb_insert(db, &name, NULL, 4, &id), RK_ERR_INVALID_ARG);

    /* A search that fails says so; an empty answer is RK_OK with count 0. */
    rk_search_result_t hits[3];
    uint64_t n = 99;
    failed |= expect("search_ex with a null query", rk_collection_search_ex(c, NULL, NULL, 0, hits, &n),
                     RK_ERR_INVALID_ARG);
    rk_filter_t none;
    memset(&none, 0, sizeof none);
    none.kind = RK_FILTER_OR; /* an OR without children matches nothing */
    rk_search_params_t p;
    memset(&p, 0, sizeof p);
    p.k = 3;
    p.filter = &none;
    failed |= expect("search_ex matching nothing", rk_collection_search_ex(c, v4, &p, 0, hits, &n), RK_OK);
    printf("results of the empty answer: %llu\n", (unsigned long long)n);
    failed |= n != 0;

    /* Settings that do not fit the collection's index family. */
    failed |= expect("nlist on an HNSW collection", rk_collection_set_nlist(c, 8), RK_ERR_NOT_SUPPORTED);

    /* The separate compact table of rk_strerror is not indexed by status. */
    printf("rk_strerror(RK_ERR_NOT_FOUND) = \"%s\"; use rk_error_message: \"%s\"\n",
           rk_strerror(RK_ERR_NOT_FOUND), rk_error_message(RK_ERR_NOT_FOUND));

    st = rk_vecdb_close(db);
    failed |= expect("close", st, RK_OK);
    printf("%s\n", failed ? "SOME CHECKS FAILED" : "every failure was reported and changed nothing");
    return failed;
}
