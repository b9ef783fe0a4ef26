// SPDX-License-Identifier: Apache-2.0
// Bump arenas. Blocks come straight from the C runtime, never through the
// hooks, so an arena outlives any change of hooks.
#include <cstdlib>
#include <cstring>

#include "core/alloc.h"
#include "rk_error.h"
#include "rk_memory.h"

namespace {

rk::ArenaFaultFn g_fault = nullptr;
void *g_fault_context = nullptr;

constexpr size_t kDefaultBlock = 0x400000;
constexpr size_t kMinBlock = 0x10000;

// Appends a block able to hold a rounded request of r bytes; null on failure
// (the arena is unchanged then).
rk_arena_block_t *append_block(rk_arena_t *a, size_t r) {
    size_t size = r;
    if (size < a->block_size) size = a->block_size;
    if (size < kMinBlock) size = kMinBlock;
    if (g_fault && g_fault(g_fault_context)) return nullptr;
    auto *b = static_cast<rk_arena_block_t *>(std::malloc(sizeof(rk_arena_block_t)));
    if (!b) return nullptr;
    b->memory = static_cast<unsigned char *>(std::malloc(size));
    if (!b->memory) {
        std::free(b);
        return nullptr;
    }
    b->size = size;
    b->used = 0;
    b->next = nullptr;
    if (a->tail) a->tail->next = b;
    else a->head = b;
    a->tail = b;
    a->total_size += size;
    return b;
}

}  // namespace

namespace rk {

void arena_fault_set(ArenaFaultFn fn, void *context) {
    g_fault = fn;
    g_fault_context = context;
}

}  // namespace rk

extern "C" {

RK_API rk_status_t rk_arena_create(size_t block_size, rk_arena_t **out) {
    if (!out) return RK_ERR_INVALID_ARG;
    auto *a = static_cast<rk_arena_t *>(std::calloc(1, sizeof(rk_arena_t)));
    if (!a) return RK_ERR_NO_MEMORY;
    a->block_size = block_size ? block_size : kDefaultBlock;
    if (!append_block(a, 0)) {
        std::free(a);
        return RK_ERR_NO_MEMORY;
    }
    *out = a;
    return RK_OK;
}

RK_API void rk_arena_destroy(rk_arena_t *arena) {
    if (!arena) return;
    rk_arena_block_t *b = arena->head;
    while (b) {
        rk_arena_block_t *next = b->next;
        std::free(b->memory);
        std::free(b);
        b = next;
    }
    std::free(arena);
}

RK_API void *rk_arena_alloc(rk_arena_t *arena, size_t size) {
    if (!arena || size == 0) return nullptr;
    // A size within 7 of the top cannot be rounded: refuse it rather than
    // wrap to a tiny piece.
    if (size > SIZE_MAX - 7) return nullptr;
    const size_t r = (size + 7) & ~static_cast<size_t>(7);
    rk_arena_block_t *b = arena->tail;
    if (!b || r > b->size - b->used) {
        b = append_block(arena, r);
        if (!b) return nullptr;
    }
    void *piece = b->memory + b->used;
    b->used += r;
    arena->used_size += r;
    return piece;
}

RK_API void *rk_arena_calloc(rk_arena_t *arena, size_t count, size_t size) {
    if (!arena || count == 0 || size == 0) return nullptr;
    size_t bytes;
    if (!rk::mul_size(count, size, &bytes)) return nullptr;
    void *p = rk_arena_alloc(arena, bytes);
    if (p) std::memset(p, 0, bytes);
    return p;
}

RK_API void *rk_arena_memdup(rk_arena_t *arena, const void *src, size_t size) {
    if (!arena || !src || size == 0) return nullptr;
    void *p = rk_arena_alloc(arena, size);
    if (p) std::memcpy(p, src, size);
    return p;
}

RK_API char *rk_arena_strdup(rk_arena_t *arena, const char *text) {
    if (!arena || !text) return nullptr;
    return static_cast<char *>(rk_arena_memdup(arena, text, std::strlen(text) + 1));
}

RK_API void rk_arena_reset(rk_arena_t *arena) {
    if (!arena || !arena->head) return;
    rk_arena_block_t *first = arena->head;
    rk_arena_block_t *b = first->next;
    while (b) {
        rk_arena_block_t *next = b->next;
        arena->total_size -= b->size;
        std::free(b->memory);
        std::free(b);
        b = next;
    }
    first->used = 0;
    first->next = nullptr;
    arena->tail = first;
    arena->used_size = 0;
    arena->total_size = first->size;
}

RK_API void rk_arena_stat(const rk_arena_t *arena, size_t *used, size_t *total) {
    if (used) *used = arena ? arena->used_size : 0;
    if (total) *total = arena ? arena->total_size : 0;
}

RK_API size_t rk_arena_get_used_size(const rk_arena_t *arena) { return arena ? arena->used_size : 0; }

RK_API size_t rk_arena_get_block_count(const rk_arena_t *arena) {
    size_t n = 0;
    for (const rk_arena_block_t *b = arena ? arena->head : nullptr; b; b = b->next) ++n;
    return n;
}

RK_API const char *rk_arena_get_name(const rk_arena_t *arena) {
    return (arena && arena->name) ? arena->name : "(unnamed)";
}

}  // extern "C"
