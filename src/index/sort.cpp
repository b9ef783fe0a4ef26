// SPDX-License-Identifier: Apache-2.0
// The exported generic sorts.
#include <cstring>

#include "index/heap.h"
#include "rk_index.h"
#include "rk_memory.h"

namespace {

// Exchanges two records byte by byte, so no scratch memory is needed
// whatever the record size.
void swap_bytes(unsigned char *a, unsigned char *b, size_t size) {
    if (a == b) return;
    for (size_t k = 0; k < size; ++k) {
        const unsigned char t = a[k];
        a[k] = b[k];
        b[k] = t;
    }
}

template <class Compare>
void byte_quicksort(void *base, size_t count, size_t size, Compare compare) {
    auto *p = static_cast<unsigned char *>(base);
    auto cmp = [&](size_t i, size_t j) { return compare(p + i * size, p + j * size); };
    auto swap = [&](size_t i, size_t j) { swap_bytes(p + i * size, p + j * size, size); };
    rk::quicksort_positions(0, count, cmp, swap);
}

}  // namespace

extern "C" {

RK_API void rk_qsort(void *base, size_t count, size_t size, rk_compare_fn compare, void *user) {
    if (!base || count == 0 || size == 0 || !compare) return;
    byte_quicksort(base, count, size, [&](const void *a, const void *b) { return compare(a, b, user); });
}

RK_API void rk_qsort_simple(void *base, size_t count, size_t size, rk_compare_simple_fn compare) {
    if (!base || count == 0 || size == 0 || !compare) return;
    byte_quicksort(base, count, size, [&](const void *a, const void *b) { return compare(a, b); });
}

RK_API void rk_insertion_sort(void *base, size_t count, size_t size, rk_compare_fn compare, void *user) {
    if (!base || count <= 1 || size == 0 || !compare) return;
    auto *buffer = static_cast<unsigned char *>(rk_alloc(size));
    if (!buffer) return;
    auto *p = static_cast<unsigned char *>(base);
    for (size_t i = 1; i < count; ++i) {
        std::memcpy(buffer, p + i * size, size);
        size_t j = i;
        while (j > 0 && compare(p + (j - 1) * size, buffer, user) > 0) {
            std::memcpy(p + j * size, p + (j - 1) * size, size);
            --j;
        }
        std::memcpy(p + j * size, buffer, size);
    }
    rk_free(buffer);
}

}  // extern "C"
