// SPDX-License-Identifier: Apache-2.0
// The record store: creation, inserts, updates, deletes and lookups.
#include <cstring>

#include "collection/internal.h"
#include "core/alloc.h"
#include "core/status.h"
#include "rk_collection.h"
#include "rk_vector.h"

namespace rk::coll {
namespace {

constexpr size_t kOwnArenaBlock = 0x400000;
constexpr uint64_t kInitialSlots = 4096;
constexpr uint64_t kMinGrowth = 1024;
constexpr uint64_t kDormantThreshold = 100000000;

void touch(rk_collection_t *c) { c->modified_at = rk_time_now(); }

// Bytes of text one entry brings along: its key and, for strings, its value.
// A null data pointer is stored as the empty text.
bool entry_text_bytes(const rk_meta_entry_t &e, size_t *out) {
    size_t n = e.key.data ? size_t(e.key.len) : 0;
    if (e.key.data && (e.key.len > SIZE_MAX - 1 || !add_size(n, 1, &n))) return false;
    if (e.type == RK_META_STRING && e.value.str.data) {
        size_t s;
        if (e.value.str.len > SIZE_MAX - 1 || !add_size(size_t(e.value.str.len), 1, &s)) return false;
        if (!add_size(n, s, &n)) return false;
    }
    *out = n;
    return true;
}

// Copies len bytes of text plus a NUL to *cursor; returns the copy.
const char *put_text(char **cursor, const char *data, uint64_t len) {
    char *dst = *cursor;
    std::memcpy(dst, data, size_t(len));
    dst[len] = '\0';
    *cursor = dst + len + 1;
    return dst;
}

// Makes room for one more record: a doubled array (at least kMinGrowth
// slots) in the arena; the old one stays there.
rk_status_t grow(rk_collection_t *c) {
    uint64_t cap = c->capacity * 2;
    if (cap < c->capacity) return RK_ERR_NO_MEMORY;
    if (cap < kMinGrowth) cap = kMinGrowth;
    auto *records = arena_array<rk_record_t>(c->arena, size_t(cap));
    RK_RETURN_IF(!records, RK_ERR_NO_MEMORY);
    if (c->count) std::memcpy(records, c->records, size_t(c->count) * sizeof(rk_record_t));
    c->records = records;
    c->capacity = cap;
    return RK_OK;
}

// Removes the record at pos, keeping the order of the rest.
void remove_at(rk_collection_t *c, uint64_t pos) {
    index_forget(c, c->records[pos].id);
    std::memmove(c->records + pos, c->records + pos + 1, size_t(c->count - pos - 1) * sizeof(rk_record_t));
    c->count--;
    c->records[c->count] = rk_record_t{};
    touch(c);
}

void copy_name(Impl *impl, const rk_collection_config_t *config) {
    if (!config->name.data) return;
    impl->pub.name = rk_arena_strdup(impl->pub.arena, config->name.data);
}

}  // namespace

Impl *allocate(rk_arena_t *arena) { return arena_array<Impl>(arena, 1); }

uint64_t find(const rk_collection_t *c, uint64_t id) {
    // Ids are handed out 1, 2, 3, ... and only deletes open gaps, so id
    // usually sits at position id - 1: try it first. Ids are distinct and
    // rise along the array from at least 0, so position p holds an id of at
    // least p, and id can be nowhere past position id.
    uint64_t hi = c->count;
    if (id != 0 && id - 1 < hi && c->records[id - 1].id == id) return id - 1;
    if (id < hi) hi = id + 1;
    uint64_t lo = 0;
    while (lo < hi) {
        const uint64_t mid = lo + (hi - lo) / 2;
        const uint64_t v = c->records[mid].id;
        if (v == id) return mid;
        if (v < id)
            lo = mid + 1;
        else
            hi = mid;
    }
    return kNotFound;
}

rk_meta_entry_t *copy_meta(rk_arena_t *arena, const rk_meta_entry_t *entries, uint64_t n) {
    if (!entries || n == 0) return nullptr;
    size_t bytes;
    if (n > SIZE_MAX || !mul_size(size_t(n), sizeof(rk_meta_entry_t), &bytes)) return nullptr;
    for (uint64_t i = 0; i < n; ++i) {
        size_t t;
        if (!entry_text_bytes(entries[i], &t) || !add_size(bytes, t, &bytes)) return nullptr;
    }
    auto *out = static_cast<rk_meta_entry_t *>(rk_arena_alloc(arena, bytes));
    if (!out) return nullptr;
    char *text = reinterpret_cast<char *>(out + n);
    for (uint64_t i = 0; i < n; ++i) {
        const rk_meta_entry_t &e = entries[i];
        out[i] = e;
        out[i].key = e.key.data ? rk_string_t{put_text(&text, e.key.data, e.key.len), e.key.len}
                                : rk_string_t{nullptr, 0};
        if (e.type == RK_META_STRING) {
            const rk_string_t &s = e.value.str;
            out[i].value.str =
                s.data ? rk_string_t{put_text(&text, s.data, s.len), s.len} : rk_string_t{nullptr, 0};
        }
    }
    return out;
}

}  // namespace rk::coll

using namespace rk::coll;

extern "C" {

RK_API rk_collection_t *rk_collection_create(rk_arena_t *arena, const rk_collection_config_t *config) {
    if (!config || config->dimension == 0) return nullptr;
    rk_arena_t *own = nullptr;
    if (!arena) {
        if (rk_arena_create(kOwnArenaBlock, &own) != RK_OK) return nullptr;
        arena = own;
    }
    Impl *impl = allocate(arena);
    rk_record_t *records = impl ? rk::arena_array<rk_record_t>(arena, kInitialSlots) : nullptr;
    rk_rwlock_t *lock = nullptr;
    if (!records || rk_rwlock_create(arena, nullptr, &lock) != RK_OK) {
        rk_arena_destroy(own);
        return nullptr;
    }
    rk_collection_t *c = &impl->pub;
    c->arena = arena;
    c->owns_arena = own ? 1 : 0;
    c->dimension = config->dimension;
    c->metric = config->metric;
    copy_name(impl, config);
    c->records = records;
    c->capacity = kInitialSlots;
    c->next_id = 1;
    c->lock = lock;
    impl->spec = spec_for(config);
    c->index = make_index(c, impl->spec);
    c->index_enabled = 1;
    c->index_threshold = kDormantThreshold;
    c->created_at = c->modified_at = rk_time_now();
    return c;
}

RK_API void rk_collection_destroy(rk_collection_t *collection) {
    if (!collection) return;
    destroy_index(collection);
    rk_rwlock_destroy(collection->lock);
    collection->lock = nullptr;
    if (collection->owns_arena) rk_arena_destroy(collection->arena);
}

RK_API const char *rk_collection_get_name(const rk_collection_t *collection) {
    return collection ? collection->name : nullptr;
}

RK_API rk_status_t rk_collection_get_stats(rk_collection_t *collection, rk_collection_stats_t *stats) {
    if (!collection || !stats) return RK_ERR_INVALID_ARG;
    ReadLock guard(collection);
    stats->count = collection->count;
    stats->capacity = collection->capacity;
    stats->memory_used = rk_arena_get_used_size(collection->arena);
    stats->dimension = collection->dimension;
    stats->index_type = index_type_of(collection);
    stats->index_trained = index_trained(collection);
    return RK_OK;
}

RK_API rk_status_t rk_collection_insert(rk_collection_t *collection, const float *vector, uint64_t *out_id) {
    return rk_collection_insert_with_meta(collection, vector, nullptr, 0, out_id);
}

RK_API rk_status_t rk_collection_insert_with_meta(rk_collection_t *collection, const float *vector,
                                                  const rk_meta_entry_t *entries, uint64_t entry_count,
                                                  uint64_t *out_id) {
    if (!collection || !vector) return RK_ERR_INVALID_ARG;
    rk_collection_t *c = collection;
    uint64_t id;
    {
        WriteLock guard(c);
        if (c->count == c->capacity) RK_TRY(grow(c));
        id = c->next_id++;
        float *copy = rk_vec_copy(c->arena, vector, c->dimension);
        RK_RETURN_IF(!copy, RK_ERR_NO_MEMORY);
        // Metadata that cannot be copied fails the insert: a record never
        // lands without the metadata it was given.
        rk_meta_entry_t *meta = copy_meta(c->arena, entries, entry_count);
        RK_RETURN_IF(!meta && entries && entry_count != 0, RK_ERR_NO_MEMORY);
        rk_record_t &r = c->records[c->count];
        r.id = id;
        r.vector = copy;
        r.metadata = meta;
        r.metadata_count = r.metadata ? entry_count : 0;
        c->count++;
        touch(c);
        index_feed(c, id, copy);
    }
    if (out_id) *out_id = id;
    return RK_OK;
}

RK_API rk_status_t rk_collection_insert_record(rk_collection_t *collection, const rk_record_t *record) {
    if (!collection || !record) return RK_ERR_INVALID_ARG;
    return rk_collection_insert_with_meta(collection, record->vector, record->metadata,
                                          record->metadata_count, nullptr);
}

RK_API rk_status_t rk_collection_insert_batch(rk_collection_t *collection, const float *vectors,
                                              uint64_t count, uint64_t *out_ids) {
    if (!collection || !vectors || count == 0) return RK_ERR_INVALID_ARG;
    if (count > SIZE_MAX) return RK_ERR_NO_MEMORY;
    rk::HookPtr<uint64_t> ids = rk::hook_unique_array<uint64_t>(size_t(count));
    if (!ids) return RK_ERR_NO_MEMORY;
    for (uint64_t i = 0; i < count; ++i) {
        const float *row = vectors + size_t(i) * collection->dimension;
        RK_TRY(rk_collection_insert_with_meta(collection, row, nullptr, 0, &ids.get()[i]));
    }
    if (out_ids) std::memcpy(out_ids, ids.get(), size_t(count) * sizeof(uint64_t));
    return RK_OK;
}

RK_API rk_status_t rk_collection_upsert(rk_collection_t *collection, uint64_t id, const float *vector) {
    if (!collection || !vector) return RK_ERR_INVALID_ARG;
    {
        WriteLock guard(collection);
        const uint64_t pos = find(collection, id);
        if (pos != kNotFound) {
            std::memmove(collection->records[pos].vector, vector,
                         size_t(collection->dimension) * sizeof(float));
            touch(collection);
            return RK_OK;
        }
    }
    return rk_collection_insert_with_meta(collection, vector, nullptr, 0, nullptr);
}

RK_API rk_status_t rk_collection_delete(rk_collection_t *collection, uint64_t id) {
    if (!collection) return RK_ERR_INVALID_ARG;
    WriteLock guard(collection);
    const uint64_t pos = find(collection, id);
    RK_RETURN_IF(pos == kNotFound, RK_ERR_NOT_FOUND);
    remove_at(collection, pos);
    return RK_OK;
}

RK_API rk_status_t rk_collection_delete_batch(rk_collection_t *collection, const uint64_t *ids,
                                              uint64_t count) {
    if (!collection || !ids || count == 0) return RK_ERR_INVALID_ARG;
    for (uint64_t i = 0; i < count; ++i) {
        const rk_status_t st = rk_collection_delete(collection, ids[i]);
        if (st != RK_OK && st != RK_ERR_NOT_FOUND) return st;
    }
    return RK_OK;
}

RK_API rk_status_t rk_collection_set_meta(rk_collection_t *collection, uint64_t id,
                                          const rk_meta_entry_t *entries, uint64_t count) {
    if (!collection || !entries || count == 0) return RK_ERR_INVALID_ARG;
    WriteLock guard(collection);
    const uint64_t pos = find(collection, id);
    RK_RETURN_IF(pos == kNotFound, RK_ERR_NOT_FOUND);
    rk_meta_entry_t *copy = copy_meta(collection->arena, entries, count);
    RK_RETURN_IF(!copy, RK_ERR_NO_MEMORY);
    collection->records[pos].metadata = copy;
    collection->records[pos].metadata_count = count;
    touch(collection);
    return RK_OK;
}

RK_API rk_status_t rk_collection_clear(rk_collection_t *collection) {
    if (!collection) return RK_ERR_INVALID_ARG;
    WriteLock guard(collection);
    collection->count = 0;
    collection->next_id = 1;
    touch(collection);
    if (collection->index) {
        destroy_index(collection);
        collection->index = make_index(collection, impl_of(collection)->spec);
    }
    return RK_OK;
}

RK_API rk_status_t rk_collection_get(rk_collection_t *collection, uint64_t id, float *out) {
    if (!collection || !out) return RK_ERR_INVALID_ARG;
    ReadLock guard(collection);
    const uint64_t pos = find(collection, id);
    RK_RETURN_IF(pos == kNotFound, RK_ERR_NOT_FOUND);
    std::memcpy(out, collection->records[pos].vector, size_t(collection->dimension) * sizeof(float));
    return RK_OK;
}

RK_API uint64_t rk_collection_get_batch(rk_collection_t *collection, const uint64_t *ids, uint64_t count,
                                        float *out) {
    if (!collection || !ids || !out || count == 0) return 0;
    ReadLock guard(collection);
    const size_t dim = collection->dimension;
    uint64_t found = 0;
    for (uint64_t i = 0; i < count; ++i) {
        const uint64_t pos = find(collection, ids[i]);
        if (pos == kNotFound) continue;
        std::memcpy(out + size_t(i) * dim, collection->records[pos].vector, dim * sizeof(float));
        ++found;
    }
    return found;
}

RK_API rk_status_t rk_collection_get_record(rk_collection_t *collection, uint64_t id,
                                            const rk_record_t **out) {
    if (!collection || !out) return RK_ERR_INVALID_ARG;
    *out = nullptr;
    ReadLock guard(collection);
    const uint64_t pos = find(collection, id);
    RK_RETURN_IF(pos == kNotFound, RK_ERR_NOT_FOUND);
    *out = &collection->records[pos];
    return RK_OK;
}

RK_API rk_status_t rk_collection_get_meta(rk_collection_t *collection, uint64_t id, rk_meta_entry_t *out,
                                          uint64_t *count) {
    if (!collection || !out || !count) return RK_ERR_INVALID_ARG;
    ReadLock guard(collection);
    const uint64_t pos = find(collection, id);
    RK_RETURN_IF(pos == kNotFound, RK_ERR_NOT_FOUND);
    const rk_record_t &r = collection->records[pos];
    const uint64_t n = r.metadata_count < *count ? r.metadata_count : *count;
    if (n) std::memcpy(out, r.metadata, size_t(n) * sizeof(rk_meta_entry_t));
    *count = r.metadata_count;
    return RK_OK;
}

RK_API uint64_t rk_collection_foreach(rk_collection_t *collection, const rk_filter_t *filter,
                                      rk_foreach_fn fn, void *user_data) {
    if (!collection || !fn) return 0;
    ReadLock guard(collection);
    uint64_t visited = 0;
    for (uint64_t i = 0; i < collection->count; ++i) {
        const rk_record_t &r = collection->records[i];
        if (!filter_match(&r, filter)) continue;
        if (!fn(r.id, r.vector, collection->dimension, user_data)) break;
        ++visited;
    }
    return visited;
}

}  // extern "C"
