// SPDX-License-Identifier: Apache-2.0
// Owners and overflow-checked sizes for memory that goes through the
// allocator hooks. Library code never calls malloc/new directly: scratch
// buffers come from here, long-lived data from arenas.
#ifndef RK_CORE_ALLOC_H
#define RK_CORE_ALLOC_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>

#include "rk_memory.h"

namespace rk {

// Test seam: arena blocks come from the C runtime, not through the hooks, so
// tests that make allocations fail reach them here. While a function is set
// it is asked before every block is taken; true makes that block fail as if
// the C runtime had none. Not for concurrent use with arenas being filled.
using ArenaFaultFn = bool (*)(void *context);
void arena_fault_set(ArenaFaultFn fn, void *context);

// a * b into *out; false (and *out untouched) when the product overflows.
[[nodiscard]] inline bool mul_size(size_t a, size_t b, size_t *out) {
    size_t r;
    if (__builtin_mul_overflow(a, b, &r)) return false;
    *out = r;
    return true;
}

// a + b into *out; false when the sum overflows.
[[nodiscard]] inline bool add_size(size_t a, size_t b, size_t *out) {
    size_t r;
    if (__builtin_add_overflow(a, b, &r)) return false;
    *out = r;
    return true;
}

struct HookFree {
    void operator()(void *p) const noexcept { rk_free(p); }
};

// Unique owner of a hook allocation.
template <class T>
using HookPtr = std::unique_ptr<T, HookFree>;

// Uninitialised array of n trivially-copyable T through the hooks; null when
// n * sizeof(T) overflows or the hook fails. n == 0 yields a 1-byte request
// so callers get a distinct non-null pointer.
template <class T>
[[nodiscard]] T *hook_array(size_t n) {
    static_assert(std::is_trivially_copyable_v<T>, "hook arrays hold plain data");
    size_t bytes = 0;  // set by mul_size; GCC cannot always see that after inlining
    if (!mul_size(n, sizeof(T), &bytes)) return nullptr;
    return static_cast<T *>(rk_malloc(bytes ? bytes : 1));
}

template <class T>
[[nodiscard]] HookPtr<T> hook_unique_array(size_t n) {
    return HookPtr<T>(hook_array<T>(n));
}

// Zeroed array of n T in an arena; null on overflow or failure.
template <class T>
[[nodiscard]] T *arena_array(rk_arena_t *arena, size_t n) {
    static_assert(std::is_trivially_copyable_v<T>, "arena arrays hold plain data");
    return static_cast<T *>(rk_arena_calloc(arena, n, sizeof(T)));
}

}  // namespace rk

#endif
