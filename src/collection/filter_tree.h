// SPDX-License-Identifier: Apache-2.0
// Filter trees made by rk_filter_parse. Each lives in an arena of its own;
// the root node sits at the start of a holder in that arena, so the root's
// address leads back to the arena when the tree is freed.
//
// The root also carries a mark in a field its kind leaves unused (a
// condition's children, a group's value text): the address of its holder's
// magic. Whether a node is a parsed root is then told by comparing that field
// with an address computed from the node's own, without reading past a node
// the host built. A copy of a parsed root points at another node's holder
// and is not taken for one.
#ifndef RK_COLLECTION_FILTER_TREE_H
#define RK_COLLECTION_FILTER_TREE_H

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "rk_collection.h"

namespace rk::coll {

// A node and the entry type its value was stored in (for the canonical text).
struct FilterNode {
    rk_filter_t node;
    int32_t value_type;
};
static_assert(std::is_standard_layout_v<FilterNode>, "the public node must sit at the start");

struct ParsedFilter {
    static constexpr uint64_t kMagic = 0x7a65765566696c74ull;
    FilterNode root;
    uint64_t magic;
    rk_arena_t *arena;
    // Hash of what the tree matches (kinds, keys, operators, typed values),
    // the same for two parses that give the same tree.
    uint64_t fingerprint;
};
static_assert(std::is_standard_layout_v<ParsedFilter>, "the root must sit at the start");

inline bool is_group(int32_t kind) {
    return kind == RK_FILTER_AND || kind == RK_FILTER_OR || kind == RK_FILTER_NOT;
}

// Where a node made the root of a holder points its mark.
inline const void *mark_for(const rk_filter_t *root) {
    return reinterpret_cast<const char *>(root) + offsetof(ParsedFilter, magic);
}

// Sets the root's mark (the holder's magic must be set already).
inline void set_mark(rk_filter_t *root) {
    if (is_group(root->kind)) {
        root->value.str = rk_string_t{static_cast<const char *>(mark_for(root)), 0};
    } else {
        root->children = static_cast<rk_filter_t **>(const_cast<void *>(mark_for(root)));
        root->child_count = 0;
    }
}

// The holder of a parsed tree's root; null for null or any other node.
inline ParsedFilter *parsed_of(const rk_filter_t *root) {
    if (!root) return nullptr;
    const void *mark = is_group(root->kind) ? static_cast<const void *>(root->value.str.data)
                                            : static_cast<const void *>(root->children);
    if (mark != mark_for(root)) return nullptr;
    auto *h = reinterpret_cast<ParsedFilter *>(const_cast<rk_filter_t *>(root));
    return h->magic == ParsedFilter::kMagic ? h : nullptr;
}

}  // namespace rk::coll

#endif
