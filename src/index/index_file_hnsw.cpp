// SPDX-License-Identifier: Apache-2.0
// HNSW index files (types 2, 4, 6).
//
// After the type word: dim, metric (u32), node_count, capacity (u64),
// max_level (u32), entry_point (i64), m, ef_construction, ef_search (u32),
// level_mult (f32), seed (u64); then one record per occupied slot in slot
// order: id (u64), level (u32), dim floats, and per level 0..level a u32
// count and that many u64 neighbour ids; then the quantiser block of types 4
// and 6. Cosine graphs store the unit-length vectors they rank with.
#include <cstring>

#include "core/alloc.h"
#include "core/status.h"
#include "index/hnsw.h"
#include "index/index_file.h"
#include "rk_quant.h"

namespace rk {
namespace {

struct HnswHeader {
    uint32_t dim, metric, max_level, m, ef_construction, ef_search;
    uint64_t node_count, capacity, seed;
    int64_t entry_point;
    float level_mult;
};

bool read_header(FileReader &in, HnswHeader *h) {
    uint64_t entry = 0;
    const bool ok = in.get_u32(&h->dim) && in.get_u32(&h->metric) && in.get_u64(&h->node_count) &&
                    in.get_u64(&h->capacity) && in.get_u32(&h->max_level) && in.get_u64(&entry) &&
                    in.get_u32(&h->m) && in.get_u32(&h->ef_construction) && in.get_u32(&h->ef_search) &&
                    in.get_f32(&h->level_mult) && in.get_u64(&h->seed);
    h->entry_point = static_cast<int64_t>(entry);
    return ok;
}

void save_node(const rk_hnsw_t *h, uint64_t id, HnswNode *node, FileWriter &out) {
    out.put_u64(id);
    out.put_u32(node->level);
    out.put_f32s(node_vector(h, node), h->dim);
    for (uint32_t l = 0; l <= node->level; ++l) {
        uint32_t *count;
        const uint32_t *links = node_links(h, node, l, &count);
        out.put_u32(*count);
        for (uint32_t j = 0; j < *count; ++j) out.put_u64(links[j]);
    }
}

// Bytes the graph takes for a node of the given level: its header, level-0
// list and vector in one piece, and m + 1 words per upper level.
bool node_cost(const rk_hnsw_t *h, uint32_t level, uint64_t *bytes) {
    uint64_t upper;
    if (__builtin_mul_overflow(static_cast<uint64_t>(level), static_cast<uint64_t>(h->params.m) + 1,
                               &upper) ||
        __builtin_mul_overflow(upper, 4, &upper)) {
        return false;
    }
    return !__builtin_add_overflow(upper, static_cast<uint64_t>(h->node_bytes) + 16, bytes);
}

// The highest level an insertion can draw with this level multiplier: draws
// are -ln(u) * level_mult for u from 1/65535 to 1, and -ln(1/65535) < 11.1;
// results a 32-bit level cannot hold (and NaN) become level 0, so a finite
// multiplier can reach up to 2^31 - 1 and an infinite one only 0.
uint32_t highest_draw(float level_mult) {
    const double mult = static_cast<double>(level_mult);
    if (!(mult > 0.0) || mult > 3.5e38) return 0;
    const double top = 11.1 * mult;
    return top < 2147483647.0 ? static_cast<uint32_t>(top) : 2147483647u;
}

// Reads a node's count and ids for level l; false when the count passes the
// level's cap or the file ends.
bool load_links(FileReader &in, rk_hnsw_t *h, HnswNode *node, uint32_t l, uint64_t *ids) {
    uint32_t count;
    if (!in.get_u32(&count) || count > level_cap(h, l) || !in.has(count, 8)) return false;
    for (uint32_t j = 0; j < count; ++j) {
        if (!in.get_u64(&ids[j])) return false;
    }
    return hnsw_set_links(h, node, l, ids, count) == RK_OK;
}

// Reads one node record into its slot; false when loading must end here: the
// file ends, a count passes its level's cap, or the id's table or the node
// cannot be had within the budget.
bool load_node(LoadContext &ctx, rk_hnsw_t *h, uint64_t nodes, float *vec, uint64_t *ids) {
    FileReader &in = ctx.in;
    uint64_t id;
    uint32_t level;
    if (!in.get_u64(&id) || !in.get_u32(&level)) return false;
    // The vector and one count word per level must be in the file.
    if (!in.has(h->dim, 4) || (in.remaining() - 4ull * h->dim) / 4 < static_cast<uint64_t>(level) + 1) {
        return false;
    }
    uint64_t cost;
    if (!node_cost(h, level, &cost) || !ctx.budget.take(1, cost)) return false;
    if (id >= h->capacity) {
        if (id > (kMaxSlots - 2) / 2 || !ctx.budget.take(2 * id + 2 - h->capacity, sizeof(HnswNode *))) {
            return false;
        }
    }
    if (!in.get_f32s(vec, h->dim)) return false;
    // A record that cannot be read whole leaves its slot as it was.
    HnswNode *const before = node_at(h, id);
    HnswNode *node;
    if (hnsw_place_node(h, id, level, vec, nodes, &node) != RK_OK) return false;
    for (uint32_t l = 0; l <= level; ++l) {
        if (!load_links(in, h, node, l, ids)) {
            h->slots[id] = before;
            return false;
        }
    }
    return true;
}

// A graph is entered at its entry node, on that node's own level: a stored
// entry point that names no loaded node is replaced as removal would (by the
// first occupied slot), and the top level follows the entry node.
void settle_entry_point(rk_hnsw_t *h) {
    const int64_t e = h->entry_point;
    if (e >= 0 && node_at(h, static_cast<uint64_t>(e))) {
        h->max_level = h->slots[e]->level;
        return;
    }
    h->entry_point = -1;
    h->max_level = 0;
    for (uint64_t i = 0; i < h->capacity; ++i) {
        if (h->slots[i]) {
            h->entry_point = static_cast<int64_t>(i);
            h->max_level = h->slots[i]->level;
            return;
        }
    }
}

// Reads every node record; false when loading ended early.
bool load_nodes(LoadContext &ctx, rk_hnsw_t *h, uint64_t node_count) {
    HookPtr<float> vec = hook_unique_array<float>(h->dim);
    // A list never holds more ids than its cap, nor more than the file has left.
    uint64_t room = h->cap0 > h->params.m ? h->cap0 : h->params.m;
    if (room > ctx.in.remaining() / 8) room = ctx.in.remaining() / 8;
    HookPtr<uint64_t> ids = hook_unique_array<uint64_t>(room);
    if (!vec || !ids) return false;
    for (uint64_t i = 0; i < node_count; ++i) {
        if (!load_node(ctx, h, node_count, vec.get(), ids.get())) return false;
    }
    return true;
}

}  // namespace

rk_status_t save_hnsw(const rk_index_t *ix, FileWriter &out) {
    const rk_hnsw_t *h = ix->impl.hnsw;
    out.put_u32(h->dim);
    out.put_u32(h->metric);
    out.put_u64(hnsw_count_occupied(h, 0, h->capacity));
    out.put_u64(h->capacity);
    out.put_u32(h->max_level);
    out.put_u64(static_cast<uint64_t>(h->entry_point));
    out.put_u32(h->params.m);
    out.put_u32(h->params.ef_construction);
    out.put_u32(h->params.ef_search);
    out.put_f32(h->params.level_mult);
    out.put_u64(h->seed);
    for (uint64_t i = 0; i < h->capacity; ++i) {
        if (h->slots[i]) save_node(h, i, h->slots[i], out);
    }
    if (ix->type == RK_INDEX_HNSW_PQ && h->pq) save_pq(h->pq, out);
    if (ix->type == RK_INDEX_HNSW_SQ && h->sq) save_sq(h->sq, out);
    return out.ok() ? RK_OK : RK_ERR_IO;
}

rk_index_t *load_hnsw(LoadContext &ctx) {
    HnswHeader hd;
    if (!read_header(ctx.in, &hd)) return nullptr;
    if (hd.dim == 0 || hd.metric > RK_METRIC_COSINE || hd.m > 0x7FFFFFFFu) return nullptr;
    // The stored table must fit the budget before anything is made.
    const uint64_t slots = hd.capacity > kInitialSlots ? hd.capacity : kInitialSlots;
    if (slots > kMaxSlots || !ctx.budget.take(slots, sizeof(HnswNode *))) return nullptr;
    // Type 6 makes a scalar quantiser of three dim-float arrays at creation.
    if (ctx.type == RK_INDEX_HNSW_SQ && !ctx.budget.take(hd.dim, 3 * sizeof(float))) return nullptr;

    rk_index_config_t cfg;
    std::memset(&cfg, 0, sizeof cfg);
    cfg.type = ctx.type;
    cfg.metric = hd.metric;
    cfg.dimension = hd.dim;
    cfg.params.hnsw.m = hd.m;
    cfg.params.hnsw.ef_construction = hd.ef_construction;
    cfg.params.hnsw.ef_search = hd.ef_search;
    cfg.params.hnsw.seed = static_cast<uint32_t>(hd.seed);
    cfg.params.hnsw.level_mult = hd.level_mult;
    rk_index_t *ix = index_create_in(ctx.arena, &cfg);
    if (!ix) return nullptr;
    rk_hnsw_t *h = ix->impl.hnsw;
    // A graph whose next node could be larger than the whole budget (an m,
    // dim or level multiplier no real file carries) is refused rather than
    // left to fail, or exhaust memory and time, at its next insertion.
    uint64_t one_node;
    if (!node_cost(h, highest_draw(h->params.level_mult), &one_node) || !ctx.budget.take(1, one_node) ||
        hnsw_reserve(h, slots) != RK_OK) {
        rk_hnsw_destroy(h);
        return nullptr;
    }
    h->seed = hd.seed;
    h->entry_point = hd.entry_point;
    h->max_level = hd.max_level;
    const bool complete = load_nodes(ctx, h, hd.node_count);
    // Set last: the graph counts as empty while nodes are placed.
    h->ntotal = hd.node_count;
    settle_entry_point(h);

    if (complete && ctx.type == RK_INDEX_HNSW_PQ) {
        h->pq = load_pq(ctx, hd.dim);
    } else if (complete && ctx.type == RK_INDEX_HNSW_SQ) {
        if (rk_sq_quantizer_t *sq = load_sq(ctx, hd.dim)) h->sq = sq;
    }
    return ix;
}

}  // namespace rk
