// SPDX-License-Identifier: Apache-2.0
// Filter trees made by rk_filter_parse. Each lives in an arena of its own;
// the root node sits at the start of a holder in that arena, so the root's
// address leads back to the arena when the tree is freed.
#ifndef RK_COLLECTION_FILTER_TREE_H
#define RK_COLLECTION_FILTER_TREE_H

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
};
static_assert(std::is_standard_layout_v<ParsedFilter>, "the root must sit at the start");

// The holder of a parsed tree's root; null for null or a tree that does not
// carry the holder's mark.
inline ParsedFilter *parsed_of(const rk_filter_t *root) {
    if (!root) return nullptr;
    auto *h = reinterpret_cast<ParsedFilter *>(const_cast<rk_filter_t *>(root));
    return h->magic == ParsedFilter::kMagic ? h : nullptr;
}

}  // namespace rk::coll

#endif
