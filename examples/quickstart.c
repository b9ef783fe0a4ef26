/* SPDX-License-Identifier: Apache-2.0 */
/* quickstart: a tour of what the library offers, through its C interface. */
#include <stdio.h>
#include <string.h>

#include "zevud.h"

int main(void) {
    rk_string_t build = rk_vecdb_build_info();
    printf("%.*s\n\n", (int)build.len, build.data);

    /* Long-lived data goes into arenas: one free at the end. */
    rk_arena_t *arena = NULL;
    rk_status_t st = rk_arena_create(0, &arena);
    if (st != RK_OK) {
        fprintf(stderr, "arena: %s\n", rk_error_message(st));
        return 1;
    }
    float *v = (float *)rk_arena_calloc(arena, 128, sizeof(float));
    for (int i = 0; i < 128; ++i) v[i] = (float)i * 0.25f;
    size_t used = 0, total = 0;
    rk_arena_stat(arena, &used, &total);
    printf("arena: %zu bytes used of %zu in %zu block(s)\n", used, total,
           rk_arena_get_block_count(arena));
    rk_arena_destroy(arena);

    /* Every failure is a status with a message, a description and a category. */
    char line[128];
    rk_error_format(line, sizeof line, RK_ERR_DIMENSION, ": expected %d floats", 128);
    printf("%s\n", line);
    printf("%s\n", rk_error_description(RK_ERR_DIMENSION));
    return 0;
}
