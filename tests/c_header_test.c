/* SPDX-License-Identifier: Apache-2.0 */
/* Every public header compiles as plain C99 and the shared library links. */
#include "zevud.h"

#include <stdio.h>
#include <string.h>

int main(void) {
    rk_arena_t *arena = NULL;
    rk_string_t v = rk_vecdb_version();
    if (v.len != 18 || strncmp(v.data, "Rakmo ZevUD 0.1.32", 18) != 0) return 1;
    if (strcmp(rk_error_message(RK_ERR_INVALID_ARG), "Invalid argument") != 0) return 1;
    if (rk_arena_create(0, &arena) != RK_OK) return 1;
    if (rk_arena_alloc(arena, 1) == NULL) return 1;
    rk_arena_destroy(arena);
    puts("plain C header test passed");
    return 0;
}
