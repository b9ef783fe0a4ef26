/* SPDX-License-Identifier: Apache-2.0 */
/* Every public header compiles as plain C99 and the shared library links. */
#include "zevud.h"

#include <stddef.h>
#include <stdio.h>
#include <string.h>

/* The collection header record is the packed 192-byte file layout, seen
 * from C exactly as from C++. C99 has no static assertion: an array of
 * negative size fails the build instead. */
#define HEADER_AT(field, offset) \
    typedef char                 \
        header_##field##_at_##offset[offsetof(rk_storage_collection_header_t, field) == (offset) ? 1 : -1]
typedef char header_is_192_bytes[sizeof(rk_storage_collection_header_t) == 192 ? 1 : -1];
HEADER_AT(magic, 0);
HEADER_AT(version, 4);
HEADER_AT(created_at, 8);
HEADER_AT(modified_at, 16);
HEADER_AT(name, 24);
HEADER_AT(dimension, 88);
HEADER_AT(metric, 92);
HEADER_AT(index_type, 96);
HEADER_AT(count, 100);
HEADER_AT(next_id, 104);
HEADER_AT(hnsw_m, 112);
HEADER_AT(hnsw_ef_construction, 116);
HEADER_AT(hnsw_ef_search, 120);
HEADER_AT(ivf_nlist, 124);
HEADER_AT(ivf_nprobe, 128);
HEADER_AT(data_offset, 132);
HEADER_AT(data_size, 140);
HEADER_AT(reserved, 148);
HEADER_AT(index_threshold, 180);
HEADER_AT(checksum, 184);
HEADER_AT(reserved_tail, 188);

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
