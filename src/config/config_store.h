// SPDX-License-Identifier: Apache-2.0
// The configuration store's key tree, shared by the store, its file entry
// points and the conversions into database and collection records.
#ifndef RK_CONFIG_STORE_H
#define RK_CONFIG_STORE_H

#include <cstddef>
#include <cstdint>

#include "rk_config.h"

namespace rk::config {

// One level of the key tree. Children are kept newest first; names within one
// parent are unique, so the first match of a walk is the only one.
struct Node {
    const char *name;  // arena copy, NUL-terminated at name[name_len]
    uint64_t name_len;
    int32_t type;  // rk_config_type_t
    union {
        int64_t i;
        double f;
        const rk_string_t *s;  // arena view whose text follows it in the same piece
        int32_t b;
    } value;
    Node *next;   // next sibling
    Node *child;  // first child
};

struct Store {
    rk_arena_t *arena;
    Node *root;
    const char *source_path;  // arena copy of the last path loaded, or null
};

// The arena allocator the store uses. Tests replace it to make the arena
// refuse at a chosen point; the store never allocates any other way.
using AllocFn = void *(*)(rk_arena_t *arena, size_t size);
extern AllocFn g_alloc;

// Node at the key, or null when any segment is missing or the arguments are
// null. Never allocates.
const Node *find(const rk_config_t *config, const rk_string_t *key);

// The same lookup by a NUL-terminated key, for the library's own constant keys.
const Node *find(const rk_config_t *config, const char *key);

// Text of the path most recently given to a successful load, or null.
const char *source_path(const rk_config_t *config);

// Sets the store's source path; RK_ERR_NO_MEMORY when the arena refuses.
rk_status_t set_source_path(rk_config_t *config, const rk_string_t *path);

}  // namespace rk::config

struct rk_config_t {
    rk_arena_t *arena;
    rk::config::Store store;
};

#endif
