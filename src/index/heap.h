// SPDX-License-Identifier: Apache-2.0
// Bounded result heap and the typed quicksort the index searches rest on.
//
// The heap keeps the `capacity` smallest distances pushed so far as a binary
// max-heap (largest kept distance at the root), so a scan over many more
// candidates never allocates. Searches hand their hits out through
// sort_hits(), which orders exactly as rk_qsort_simple() does with the
// index comparator (same comparisons, same swaps), only on a typed array.
#ifndef RK_INDEX_HEAP_H
#define RK_INDEX_HEAP_H

#include <cfloat>
#include <cstddef>
#include <cstdint>

namespace rk {

// One (id, distance) pair; moved as a whole.
struct HeapItem {
    uint64_t id;
    float distance;
};

struct ResultHeap {
    HeapItem *items = nullptr;
    uint64_t count = 0;
    uint64_t capacity = 0;  // 0 when the array could not be had
};

// Allocates room for `capacity` pairs through the allocator hooks. On failure
// (or capacity 0) the heap ends with capacity 0 and ignores every push.
// Returns whether the heap can hold anything.
bool heap_init(ResultHeap *h, size_t capacity);
// Releases the array taken by heap_init; the heap is empty afterwards.
void heap_release(ResultHeap *h);
// Uses a caller-owned array of `capacity` pairs instead of allocating.
inline void heap_attach(ResultHeap *h, HeapItem *storage, size_t capacity) {
    h->items = storage;
    h->count = 0;
    h->capacity = storage ? capacity : 0;
}

// Offers (id, d): enters while there is room; once full, replaces the root
// only when the root's distance is strictly larger than d.
void heap_push(ResultHeap *h, uint64_t id, float d);

// The largest kept distance; FLT_MAX while the heap is empty.
inline float heap_root(const ResultHeap *h) { return h->count ? h->items[0].distance : FLT_MAX; }

// The index comparator on distances: -1 smaller, 1 larger, 0 equal or NaN.
inline int compare_distance(float a, float b) {
    if (a < b) return -1;
    if (a > b) return 1;
    return 0;
}

// Sorts n pairs by ascending distance, exactly as rk_qsort_simple() with the
// index comparator would sort records carrying these pairs.
void sort_hits(HeapItem *items, size_t n);

// The quicksort shared by rk_qsort, rk_qsort_simple and sort_hits, written
// over positions: cmp(i, j) compares element i with element j, swap(i, j)
// exchanges them. Ranges above 16 elements are partitioned around their
// middle element; smaller ones finish by insertion with adjacent swaps.
// Partitions are disjoint, so sorting the smaller side first (recursively)
// and looping on the larger one gives the same result as any other order
// while bounding the stack depth by log2(n).
template <class Cmp, class Swap>
void quicksort_positions(size_t lo, size_t n, Cmp &cmp, Swap &swap) {
    while (n > 16) {
        const size_t last = lo + n - 1;
        swap(lo + n / 2, last);
        size_t s = lo;
        for (size_t i = lo; i < last; ++i) {
            if (cmp(i, last) < 0) {
                swap(i, s);
                ++s;
            }
        }
        swap(s, last);
        const size_t left = s - lo;
        const size_t right = n - left - 1;
        if (left < right) {
            quicksort_positions(lo, left, cmp, swap);
            lo = s + 1;
            n = right;
        } else {
            quicksort_positions(s + 1, right, cmp, swap);
            n = left;
        }
    }
    for (size_t i = 1; i < n; ++i) {
        for (size_t j = lo + i; j > lo && cmp(j - 1, j) > 0; --j) swap(j - 1, j);
    }
}

}  // namespace rk

#endif
