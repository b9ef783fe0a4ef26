// SPDX-License-Identifier: Apache-2.0
// Process-wide allocator hooks. The defaults are the C runtime's functions.
#include <cstdlib>
#include <cstring>

#include "core/alloc.h"
#include "rk_error.h"
#include "rk_memory.h"

namespace {

void *default_malloc(size_t size, void *) { return std::malloc(size); }
void *default_realloc(void *p, size_t size, void *) { return std::realloc(p, size); }
void default_free(void *p, void *) { std::free(p); }

// The defaults are in force from the start: constant initialisation means no
// first-use write that two threads could race on.
rk_allocator_t g_hooks = {default_malloc, default_realloc, default_free, nullptr};

inline rk_allocator_t &hooks() { return g_hooks; }

}  // namespace

extern "C" {

RK_API void *rk_malloc(size_t size) {
    const rk_allocator_t &h = hooks();
    return h.malloc_fn ? h.malloc_fn(size, h.user_data) : nullptr;
}

RK_API void *rk_alloc(size_t size) { return rk_malloc(size); }

RK_API void *rk_calloc(size_t count, size_t size) {
    size_t bytes;
    if (!rk::mul_size(count, size, &bytes)) return nullptr;
    void *p = rk_malloc(bytes);
    if (p && bytes) std::memset(p, 0, bytes);
    return p;
}

RK_API void *rk_realloc(void *ptr, size_t size) {
    const rk_allocator_t &h = hooks();
    return h.realloc_fn ? h.realloc_fn(ptr, size, h.user_data) : nullptr;
}

RK_API void rk_free(void *ptr) {
    const rk_allocator_t &h = hooks();
    if (ptr && h.free_fn) h.free_fn(ptr, h.user_data);
}

RK_API rk_status_t rk_set_allocator(const rk_allocator_t *allocator) {
    if (!allocator || !allocator->malloc_fn) return RK_ERR_INVALID_ARG;
    g_hooks = *allocator;
    return RK_OK;
}

RK_API const rk_allocator_t *rk_get_allocator(void) { return &hooks(); }

RK_API rk_status_t rk_vecdb_set_allocator(rk_malloc_fn malloc_fn, rk_realloc_fn realloc_fn,
                                          rk_free_fn free_fn) {
    const rk_allocator_t a = {malloc_fn, realloc_fn, free_fn, nullptr};
    return rk_set_allocator(&a);
}

}  // extern "C"
