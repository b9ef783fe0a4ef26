// SPDX-License-Identifier: Apache-2.0
// The chained hash table with a fixed bucket count, kept in an arena.
#include <cstring>

#include "core/status.h"
#include "rk_hash.h"

namespace {

// Keys of the default and integer tables point to 8 readable bytes.
uint64_t hash_8_bytes(const void *key) { return rk_hash_murmur3_64(key, 8, 0); }

uint64_t hash_text(const void *key) { return rk_hash_string(static_cast<const char *>(key)); }

int compare_address(const void *stored, const void *key) { return stored == key ? 0 : 1; }

int compare_int(const void *stored, const void *key) {
    int64_t a, b;
    std::memcpy(&a, stored, sizeof a);
    std::memcpy(&b, key, sizeof b);
    return a == b ? 0 : (a < b ? -1 : 1);
}

// Byte-wise as signed chars, like the C library's text comparison on
// platforms whose char is signed.
int compare_text(const void *stored, const void *key) {
    const auto *a = static_cast<const signed char *>(stored);
    const auto *b = static_cast<const signed char *>(key);
    while (*a != 0 && *a == *b) {
        ++a;
        ++b;
    }
    return *a - *b;
}

void *keep_pointer(rk_arena_t *, const void *ptr) { return const_cast<void *>(ptr); }

void *copy_int(rk_arena_t *arena, const void *ptr) { return rk_arena_memdup(arena, ptr, 8); }

void *copy_text(rk_arena_t *arena, const void *ptr) {
    return rk_arena_strdup(arena, static_cast<const char *>(ptr));
}

struct Flavour {
    rk_hash_fn hash;
    rk_hash_compare_fn compare;
    rk_hash_copy_fn copy_key;
};

constexpr Flavour kByAddress{hash_8_bytes, compare_address, keep_pointer};
constexpr Flavour kByInt{hash_8_bytes, compare_int, copy_int};
constexpr Flavour kByText{hash_text, compare_text, copy_text};

rk_hash_table_t *create(rk_arena_t *arena, uint64_t bucket_count, const Flavour &f) {
    if (arena == nullptr || bucket_count == 0 || bucket_count > SIZE_MAX) return nullptr;
    auto *t = static_cast<rk_hash_table_t *>(rk_arena_calloc(arena, 1, sizeof(rk_hash_table_t)));
    if (t == nullptr) return nullptr;
    // rk_arena_calloc refuses a count whose byte size overflows.
    t->buckets = static_cast<rk_hash_entry_t **>(
        rk_arena_calloc(arena, static_cast<size_t>(bucket_count), sizeof(rk_hash_entry_t *)));
    if (t->buckets == nullptr) return nullptr;
    t->arena = arena;
    t->bucket_count = bucket_count;
    t->hash_fn = f.hash;
    t->compare_fn = f.compare;
    t->key_copy_fn = f.copy_key;
    t->value_copy_fn = keep_pointer;
    return t;
}

rk_hash_entry_t **bucket_of(const rk_hash_table_t *t, const void *key) {
    return &t->buckets[t->hash_fn(key) % t->bucket_count];
}

// The link that points at the entry equal to key (the bucket head or the
// previous entry's next), or null when the key is absent.
rk_hash_entry_t **link_of(const rk_hash_table_t *t, const void *key) {
    for (rk_hash_entry_t **link = bucket_of(t, key); *link != nullptr; link = &(*link)->next) {
        if (t->compare_fn((*link)->key, key) == 0) return link;
    }
    return nullptr;
}

// Moves to the first entry at or after bucket b.
void settle(rk_hash_iterator_t *it, uint64_t b) {
    const rk_hash_table_t *t = it->table;
    it->bucket = b;
    it->entry = t->buckets[b];
    while (it->entry == nullptr && it->bucket + 1 < t->bucket_count) {
        it->entry = t->buckets[++it->bucket];
    }
}

}  // namespace

extern "C" {

RK_API rk_hash_table_t *rk_hash_table_create(rk_arena_t *arena, uint64_t bucket_count) {
    return create(arena, bucket_count, kByAddress);
}

RK_API rk_hash_table_t *rk_hash_table_create_int(rk_arena_t *arena, uint64_t bucket_count) {
    return create(arena, bucket_count, kByInt);
}

RK_API rk_hash_table_t *rk_hash_table_create_string(rk_arena_t *arena, uint64_t bucket_count) {
    return create(arena, bucket_count, kByText);
}

RK_API rk_status_t rk_hash_table_insert(rk_hash_table_t *table, const void *key, void *value) {
    RK_RETURN_IF(table == nullptr || key == nullptr, RK_ERR_INVALID_ARG);
    if (rk_hash_entry_t **link = link_of(table, key)) {
        (*link)->value = table->value_copy_fn(table->arena, value);
        return RK_OK;
    }
    auto *e = static_cast<rk_hash_entry_t *>(rk_arena_calloc(table->arena, 1, sizeof(rk_hash_entry_t)));
    RK_RETURN_IF(e == nullptr, RK_ERR_NO_MEMORY);
    e->key = table->key_copy_fn(table->arena, key);
    // A null stored key would be handed to the compare function by every
    // later lookup of the chain: a failed key copy fails the insert instead.
    RK_RETURN_IF(e->key == nullptr, RK_ERR_NO_MEMORY);
    e->value = table->value_copy_fn(table->arena, value);
    rk_hash_entry_t **head = bucket_of(table, key);
    e->next = *head;
    *head = e;
    ++table->count;
    return RK_OK;
}

RK_API void *rk_hash_table_find(const rk_hash_table_t *table, const void *key) {
    if (table == nullptr || key == nullptr) return nullptr;
    rk_hash_entry_t **link = link_of(table, key);
    return link ? (*link)->value : nullptr;
}

RK_API rk_status_t rk_hash_table_delete(rk_hash_table_t *table, const void *key) {
    RK_RETURN_IF(table == nullptr || key == nullptr, RK_ERR_INVALID_ARG);
    rk_hash_entry_t **link = link_of(table, key);
    RK_RETURN_IF(link == nullptr, RK_ERR_NOT_FOUND);
    *link = (*link)->next;
    --table->count;
    return RK_OK;
}

RK_API rk_status_t rk_hash_table_clear(rk_hash_table_t *table) {
    RK_RETURN_IF(table == nullptr, RK_ERR_INVALID_ARG);
    std::memset(table->buckets, 0, static_cast<size_t>(table->bucket_count) * sizeof(rk_hash_entry_t *));
    table->count = 0;
    return RK_OK;
}

RK_API uint64_t rk_hash_table_size(const rk_hash_table_t *table) { return table ? table->count : 0; }

RK_API void rk_hash_table_set_hash_func(rk_hash_table_t *table, rk_hash_fn fn) {
    if (table && fn) table->hash_fn = fn;
}

RK_API void rk_hash_table_set_compare_func(rk_hash_table_t *table, rk_hash_compare_fn fn) {
    if (table && fn) table->compare_fn = fn;
}

RK_API void rk_hash_table_set_key_copy_func(rk_hash_table_t *table, rk_hash_copy_fn fn) {
    if (table && fn) table->key_copy_fn = fn;
}

RK_API void rk_hash_table_set_value_copy_func(rk_hash_table_t *table, rk_hash_copy_fn fn) {
    if (table && fn) table->value_copy_fn = fn;
}

RK_API void rk_hash_table_destroy(rk_hash_table_t *) {}

RK_API rk_hash_iterator_t *rk_hash_iterator_create(rk_hash_table_t *table) {
    if (table == nullptr) return nullptr;
    auto *it = static_cast<rk_hash_iterator_t *>(rk_malloc(sizeof(rk_hash_iterator_t)));
    if (it == nullptr) return nullptr;
    it->table = table;
    settle(it, 0);
    return it;
}

RK_API int rk_hash_iterator_valid(const rk_hash_iterator_t *it) { return it && it->entry ? 1 : 0; }

RK_API void *rk_hash_iterator_get_key(const rk_hash_iterator_t *it) {
    return it && it->entry ? it->entry->key : nullptr;
}

RK_API void *rk_hash_iterator_get_value(const rk_hash_iterator_t *it) {
    return it && it->entry ? it->entry->value : nullptr;
}

RK_API int rk_hash_iterator_next(rk_hash_iterator_t *it) {
    if (it == nullptr || it->entry == nullptr) return 0;
    it->entry = it->entry->next;
    if (it->entry != nullptr) return 1;
    if (it->bucket + 1 >= it->table->bucket_count) return 0;
    settle(it, it->bucket + 1);
    return it->entry != nullptr ? 1 : 0;
}

RK_API void rk_hash_iterator_destroy(rk_hash_iterator_t *it) { rk_free(it); }

}  // extern "C"
