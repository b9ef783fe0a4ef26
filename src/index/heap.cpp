// SPDX-License-Identifier: Apache-2.0
// Bounded max-heap of (id, distance) pairs.
#include "index/heap.h"

#include "core/alloc.h"
#include "rk_memory.h"

namespace rk {

bool heap_init(ResultHeap *h, size_t capacity) {
    h->count = 0;
    h->items = capacity ? hook_array<HeapItem>(capacity) : nullptr;
    h->capacity = h->items ? capacity : 0;
    return h->capacity != 0;
}

void heap_release(ResultHeap *h) {
    rk_free(h->items);
    h->items = nullptr;
    h->count = 0;
    h->capacity = 0;
}

namespace {

// Climbs while the pair is strictly larger than its parent: equal distances
// stop the climb, so earlier pairs stay nearer the root.
void sift_up(HeapItem *a, size_t i) {
    const HeapItem x = a[i];
    while (i != 0) {
        const size_t parent = (i - 1) / 2;
        if (!(x.distance > a[parent].distance)) break;
        a[i] = a[parent];
        i = parent;
    }
    a[i] = x;
}

// Sinks towards the larger child (the left one on ties) while that child is
// strictly larger.
void sift_down(HeapItem *a, size_t n, size_t i) {
    const HeapItem x = a[i];
    for (;;) {
        const size_t l = 2 * i + 1;
        if (l >= n) break;
        size_t c = l;
        if (l + 1 < n && a[l + 1].distance > a[l].distance) c = l + 1;
        if (!(a[c].distance > x.distance)) break;
        a[i] = a[c];
        i = c;
    }
    a[i] = x;
}

}  // namespace

void heap_push(ResultHeap *h, uint64_t id, float d) {
    if (!h->items || h->capacity == 0) return;
    if (h->count < h->capacity) {
        h->items[h->count] = HeapItem{id, d};
        sift_up(h->items, h->count);
        ++h->count;
        return;
    }
    if (h->items[0].distance > d) {
        h->items[0] = HeapItem{id, d};
        sift_down(h->items, h->count, 0);
    }
}

void sort_hits(HeapItem *items, size_t n) {
    if (!items || n < 2) return;
    auto cmp = [items](size_t i, size_t j) { return compare_distance(items[i].distance, items[j].distance); };
    auto swap = [items](size_t i, size_t j) {
        const HeapItem t = items[i];
        items[i] = items[j];
        items[j] = t;
    };
    quicksort_positions(0, n, cmp, swap);
}

}  // namespace rk
