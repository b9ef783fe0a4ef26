// SPDX-License-Identifier: Apache-2.0
// Bounded result heap, the exported sorts and the typed hit sort.
#include "index/heap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "rk_error.h"
#include "rk_index.h"
#include "rk_memory.h"

namespace {

std::vector<float> sorted_distances(const rk::ResultHeap &h) {
    std::vector<float> d;
    for (uint64_t i = 0; i < h.count; ++i) d.push_back(h.items[i].distance);
    std::sort(d.begin(), d.end());
    return d;
}

bool is_max_heap(const rk::ResultHeap &h) {
    for (uint64_t i = 1; i < h.count; ++i)
        if (h.items[i].distance > h.items[(i - 1) / 2].distance) return false;
    return true;
}

TEST(ResultHeap, KeepsTheSmallestWithTheLargestAtTheRoot) {
    rk::ResultHeap h;
    ASSERT_TRUE(rk::heap_init(&h, 3));
    const float in[] = {5, 1, 4, 2, 3};
    for (int i = 0; i < 5; ++i) rk::heap_push(&h, static_cast<uint64_t>(i), in[i]);
    EXPECT_EQ(h.count, 3u);
    EXPECT_EQ(rk::heap_root(&h), 3.0f);
    EXPECT_EQ(sorted_distances(h), (std::vector<float>{1, 2, 3}));
    // A pair equal to the root does not enter a full heap.
    rk::heap_push(&h, 99, 3.0f);
    for (uint64_t i = 0; i < h.count; ++i) EXPECT_NE(h.items[i].id, 99u);
    rk::heap_release(&h);
    EXPECT_EQ(h.capacity, 0u);
    EXPECT_EQ(rk::heap_root(&h), FLT_MAX);
}

TEST(ResultHeap, RandomStreamsMatchASortedOracle) {
    std::mt19937 rng(7);
    for (int round = 0; round < 50; ++round) {
        const size_t cap = 1 + rng() % 20;
        rk::ResultHeap h;
        ASSERT_TRUE(rk::heap_init(&h, cap));
        std::vector<float> all;
        for (int i = 0; i < 200; ++i) {
            const float d = static_cast<float>(rng() % 40);  // many ties
            all.push_back(d);
            rk::heap_push(&h, static_cast<uint64_t>(i), d);
            ASSERT_TRUE(is_max_heap(h));
        }
        std::sort(all.begin(), all.end());
        all.resize(cap);
        EXPECT_EQ(sorted_distances(h), all);
        rk::heap_release(&h);
    }
}

TEST(ResultHeap, TiesKeepTheEarliestPairs) {
    // Among equal distances the first ones pushed stay; later equal ones are
    // dropped once the heap is full.
    rk::ResultHeap h;
    ASSERT_TRUE(rk::heap_init(&h, 2));
    for (uint64_t id = 0; id < 5; ++id) rk::heap_push(&h, id, 1.0f);
    std::vector<uint64_t> ids{h.items[0].id, h.items[1].id};
    EXPECT_EQ(ids, (std::vector<uint64_t>{0, 1}));
    rk::heap_release(&h);
}

void *failing_malloc(size_t, void *) { return nullptr; }
void *plain_realloc(void *p, size_t n, void *) { return std::realloc(p, n); }
void plain_free(void *p, void *) { std::free(p); }

TEST(ResultHeap, FailedAllocationLeavesAHeapThatIgnoresPushes) {
    const rk_allocator_t saved = *rk_get_allocator();
    const rk_allocator_t failing = {failing_malloc, plain_realloc, plain_free, nullptr};
    ASSERT_EQ(rk_set_allocator(&failing), RK_OK);
    rk::ResultHeap h;
    EXPECT_FALSE(rk::heap_init(&h, 8));
    ASSERT_EQ(rk_set_allocator(&saved), RK_OK);
    EXPECT_EQ(h.capacity, 0u);
    rk::heap_push(&h, 1, 1.0f);
    EXPECT_EQ(h.count, 0u);
    rk::ResultHeap zero;
    EXPECT_FALSE(rk::heap_init(&zero, 0));
    rk::heap_push(&zero, 1, 1.0f);
    EXPECT_EQ(zero.count, 0u);
}

// ---- sorts ------------------------------------------------------------------

struct Rec {
    int key;
    int seq;
};

int cmp_key(const void *a, const void *b, void *user) {
    if (user) ++*static_cast<int *>(user);
    const int x = static_cast<const Rec *>(a)->key, y = static_cast<const Rec *>(b)->key;
    return (x > y) - (x < y);
}
int cmp_key_simple(const void *a, const void *b) { return cmp_key(a, b, nullptr); }

std::vector<Rec> random_recs(size_t n, int keys, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<Rec> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = Rec{static_cast<int>(rng() % keys), static_cast<int>(i)};
    return v;
}

TEST(Sorts, QuicksortOrdersAndBothEntryPointsAgreeOnTies) {
    for (size_t n : {0u, 1u, 2u, 16u, 17u, 33u, 1000u, 5000u}) {
        std::vector<Rec> a = random_recs(n, 10, static_cast<unsigned>(n));
        std::vector<Rec> b = a;
        int calls = 0;
        rk_qsort(a.data(), a.size(), sizeof(Rec), cmp_key, &calls);
        rk_qsort_simple(b.data(), b.size(), sizeof(Rec), cmp_key_simple);
        for (size_t i = 1; i < n; ++i) ASSERT_LE(a[i - 1].key, a[i].key);
        for (size_t i = 0; i < n; ++i) {
            ASSERT_EQ(a[i].key, b[i].key);
            ASSERT_EQ(a[i].seq, b[i].seq);  // same permutation, ties included
        }
        if (n > 1) {
            EXPECT_GT(calls, 0);
        }  // the user pointer reaches the comparator
    }
}

TEST(Sorts, SixteenSortsStablyByInsertionSeventeenPartitions) {
    // Up to 16 records the insertion pass alone runs, which keeps ties in
    // input order; at 17 the middle record becomes a pivot first, which moves
    // an equal-keyed record out of input order here.
    std::vector<Rec> v16 = random_recs(16, 3, 1);
    rk_qsort_simple(v16.data(), 16, sizeof(Rec), cmp_key_simple);
    for (size_t i = 1; i < 16; ++i)
        if (v16[i - 1].key == v16[i].key) {
            EXPECT_LT(v16[i - 1].seq, v16[i].seq);
        }

    std::vector<Rec> v17(17);
    for (int i = 0; i < 17; ++i) v17[i] = Rec{0, i};
    rk_qsort_simple(v17.data(), 17, sizeof(Rec), cmp_key_simple);
    // Pivot (middle, seq 8) swapped to the end, nothing is smaller, pivot
    // swapped back to the front: seq 8 leads, seq 0 sits at the end.
    EXPECT_EQ(v17[0].seq, 8);
    EXPECT_EQ(v17[16].seq, 0);
}

TEST(Sorts, GuardsLeaveTheArrayAlone) {
    std::vector<Rec> v = random_recs(20, 5, 3);
    const std::vector<Rec> orig = v;
    rk_qsort(nullptr, 20, sizeof(Rec), cmp_key, nullptr);
    rk_qsort(v.data(), 20, 0, cmp_key, nullptr);
    rk_qsort(v.data(), 20, sizeof(Rec), nullptr, nullptr);
    rk_qsort_simple(v.data(), 0, sizeof(Rec), cmp_key_simple);
    rk_insertion_sort(v.data(), 20, sizeof(Rec), nullptr, nullptr);
    rk_insertion_sort(v.data(), 1, sizeof(Rec), cmp_key, nullptr);
    EXPECT_EQ(0, std::memcmp(v.data(), orig.data(), v.size() * sizeof(Rec)));
}

TEST(Sorts, InsertionSortIsStableAndGivesUpWithoutItsBuffer) {
    std::vector<Rec> v = random_recs(300, 7, 5);
    rk_insertion_sort(v.data(), v.size(), sizeof(Rec), cmp_key, nullptr);
    for (size_t i = 1; i < v.size(); ++i) {
        ASSERT_LE(v[i - 1].key, v[i].key);
        if (v[i - 1].key == v[i].key) {
            ASSERT_LT(v[i - 1].seq, v[i].seq);
        }
    }
    std::vector<Rec> w = random_recs(30, 7, 6);
    const std::vector<Rec> orig = w;
    const rk_allocator_t saved = *rk_get_allocator();
    const rk_allocator_t failing = {failing_malloc, plain_realloc, plain_free, nullptr};
    ASSERT_EQ(rk_set_allocator(&failing), RK_OK);
    rk_insertion_sort(w.data(), w.size(), sizeof(Rec), cmp_key, nullptr);
    ASSERT_EQ(rk_set_allocator(&saved), RK_OK);
    EXPECT_EQ(0, std::memcmp(w.data(), orig.data(), w.size() * sizeof(Rec)));
}

// A 48-byte search-hit slot: id, distance, then bytes the index never writes.
struct Slot {
    uint64_t id;
    float distance;
    unsigned char rest[36];
};
static_assert(sizeof(Slot) == 48);

int cmp_slot(const void *a, const void *b) {
    return rk::compare_distance(static_cast<const Slot *>(a)->distance,
                                static_cast<const Slot *>(b)->distance);
}

TEST(Sorts, TypedHitSortMatchesTheExportedSortOnSlots) {
    std::mt19937 rng(11);
    for (size_t n : {3u, 16u, 17u, 64u, 500u}) {
        std::vector<rk::HeapItem> hits(n);
        std::vector<Slot> slots(n);
        for (size_t i = 0; i < n; ++i) {
            float d = static_cast<float>(rng() % 9);
            if (i % 50 == 7) d = std::numeric_limits<float>::quiet_NaN();
            hits[i] = rk::HeapItem{i, d};
            slots[i] = Slot{i, d, {}};
        }
        rk::sort_hits(hits.data(), n);
        rk_qsort_simple(slots.data(), n, sizeof(Slot), cmp_slot);
        for (size_t i = 0; i < n; ++i) ASSERT_EQ(hits[i].id, slots[i].id) << n << " " << i;
    }
}

}  // namespace
