/* SPDX-License-Identifier: Apache-2.0 */
/* first_program: the README's example, kept compiling and passing. */
#include <stdio.h>
#include <zevud.h>

int main(void) {
    rk_vecdb_t *db = NULL;
    if (rk_vecdb_open(NULL, 0, &db) != RK_OK) return 1;        /* in memory */

    const rk_string_t docs = {"docs", 4};
    const float v[3][4] = {{0.1f, 0.9f, 0.0f, 0.2f}, {0.8f, 0.1f, 0.3f, 0.0f}, {0.2f, 0.8f, 0.1f, 0.3f}};
    for (int i = 0; i < 3; ++i) {
        uint64_t id;                               /* ids start at 1 */
        rk_status_t st = rk_vecdb_insert(db, &docs, v[i], 4, &id);
        if (st != RK_OK) { fprintf(stderr, "%s\n", rk_error_message(st)); return 1; }
    }

    const float query[4] = {0.15f, 0.85f, 0.05f, 0.25f};
    rk_vecdb_result_t hits[2];
    uint64_t n = rk_vecdb_search(db, &docs, query, 4, 2, hits);
    for (uint64_t i = 0; i < n; ++i)
        printf("id %llu  distance %.4f\n", (unsigned long long)hits[i].id, hits[i].distance);

    return rk_vecdb_close(db) == RK_OK && n == 2 ? 0 : 1;
}
