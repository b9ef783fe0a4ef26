// SPDX-License-Identifier: Apache-2.0
// Allocator hooks and arena block accounting.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "rk_error.h"
#include "rk_memory.h"

namespace {

struct CountingHooks {
    int mallocs = 0, reallocs = 0, frees = 0;
    int fail_after = -1;  // fail the Nth malloc (0-based) when >= 0
};

void *counting_malloc(size_t n, void *ud) {
    auto *c = static_cast<CountingHooks *>(ud);
    if (c->fail_after >= 0 && c->mallocs >= c->fail_after) return nullptr;
    ++c->mallocs;
    return std::malloc(n);
}
void *counting_realloc(void *p, size_t n, void *ud) {
    ++static_cast<CountingHooks *>(ud)->reallocs;
    return std::realloc(p, n);
}
void counting_free(void *p, void *ud) {
    ++static_cast<CountingHooks *>(ud)->frees;
    std::free(p);
}

// Restores the default hooks after each test that replaces them.
class Hooks : public ::testing::Test {
protected:
    void SetUp() override { saved_ = *rk_get_allocator(); }
    void TearDown() override { ASSERT_EQ(rk_set_allocator(&saved_), RK_OK); }
    rk_allocator_t saved_{};
};

TEST_F(Hooks, CustomHooksReceiveEveryCallWithUserData) {
    CountingHooks c;
    const rk_allocator_t a = {counting_malloc, counting_realloc, counting_free, &c};
    ASSERT_EQ(rk_set_allocator(&a), RK_OK);
    void *p = rk_malloc(16);
    p = rk_realloc(p, 64);
    void *q = rk_calloc(4, 8);
    ASSERT_NE(q, nullptr);
    for (int i = 0; i < 32; ++i) EXPECT_EQ(static_cast<unsigned char *>(q)[i], 0);
    rk_free(p);
    rk_free(q);
    rk_free(nullptr);
    EXPECT_EQ(c.mallocs, 2);
    EXPECT_EQ(c.reallocs, 1);
    EXPECT_EQ(c.frees, 2);
}

TEST_F(Hooks, RefusesNullRecordOrMallocAndAcceptsNullFree) {
    EXPECT_EQ(rk_set_allocator(nullptr), RK_ERR_INVALID_ARG);
    const rk_allocator_t no_malloc = {nullptr, counting_realloc, counting_free, nullptr};
    EXPECT_EQ(rk_set_allocator(&no_malloc), RK_ERR_INVALID_ARG);
    EXPECT_NE(rk_get_allocator()->malloc_fn, nullptr);

    CountingHooks c;
    const rk_allocator_t no_free = {counting_malloc, nullptr, nullptr, &c};
    ASSERT_EQ(rk_set_allocator(&no_free), RK_OK);
    void *p = rk_malloc(8);
    rk_free(p);                            // releases nothing
    EXPECT_EQ(rk_realloc(p, 16), nullptr);  // no realloc hook
    std::free(p);
}

TEST_F(Hooks, VecdbSetAllocatorUsesNullUserData) {
    ASSERT_EQ(rk_vecdb_set_allocator(+[](size_t n, void *ud) -> void * {
                  return ud ? nullptr : std::malloc(n);
              }, nullptr, +[](void *p, void *) { std::free(p); }), RK_OK);
    EXPECT_EQ(rk_get_allocator()->user_data, nullptr);
    void *p = rk_alloc(10);
    EXPECT_NE(p, nullptr);
    rk_free(p);
    EXPECT_EQ(rk_vecdb_set_allocator(nullptr, nullptr, nullptr), RK_ERR_INVALID_ARG);
}

TEST(Calloc, OverflowingProductIsRefused) {
    EXPECT_EQ(rk_calloc(SIZE_MAX / 2, 3), nullptr);
    EXPECT_EQ(rk_calloc(uint64_t{1} << 33, uint64_t{1} << 32), nullptr);
}

TEST(Arena, FirstBlockFollowsTheBlockRule) {
    rk_arena_t *a = nullptr;
    ASSERT_EQ(rk_arena_create(0, &a), RK_OK);
    EXPECT_EQ(a->total_size, 0x400000u);
    EXPECT_EQ(rk_arena_get_block_count(a), 1u);
    EXPECT_STREQ(rk_arena_get_name(a), "(unnamed)");
    rk_arena_destroy(a);
    ASSERT_EQ(rk_arena_create(100, &a), RK_OK);
    EXPECT_EQ(a->total_size, 0x10000u);
    rk_arena_destroy(a);
    EXPECT_EQ(rk_arena_create(0, nullptr), RK_ERR_INVALID_ARG);
}

TEST(Arena, PiecesAreRoundedAlignedAndSpillIntoNewBlocks) {
    rk_arena_t *a = nullptr;
    ASSERT_EQ(rk_arena_create(0x10000, &a), RK_OK);
    auto *p1 = static_cast<unsigned char *>(rk_arena_alloc(a, 1));
    ASSERT_NE(p1, nullptr);
    EXPECT_EQ(rk_arena_get_used_size(a), 8u);
    auto *p2 = static_cast<unsigned char *>(rk_arena_alloc(a, 13));
    EXPECT_EQ(p2 - p1, 8);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p2) % 8, 0u);
    EXPECT_EQ(rk_arena_get_used_size(a), 24u);
    // Exactly filling the rest of the block stays in it.
    void *rest = rk_arena_alloc(a, 0x10000 - 24);
    EXPECT_EQ(static_cast<unsigned char *>(rest), p1 + 24);
    EXPECT_EQ(rk_arena_get_block_count(a), 1u);
    // The next piece needs a new block of block_size.
    ASSERT_NE(rk_arena_alloc(a, 8), nullptr);
    EXPECT_EQ(rk_arena_get_block_count(a), 2u);
    EXPECT_EQ(a->total_size, 0x20000u);
    // A request larger than block_size gets a block of exactly its size.
    ASSERT_NE(rk_arena_alloc(a, 10 << 20), nullptr);
    EXPECT_EQ(a->tail->size, size_t{10} << 20);
    size_t used = 0, total = 0;
    rk_arena_stat(a, &used, &total);
    EXPECT_EQ(used, 0x10000u + 8 + (10u << 20));
    EXPECT_EQ(total, 0x20000u + (10u << 20));

    rk_arena_reset(a);
    EXPECT_EQ(rk_arena_get_block_count(a), 1u);
    EXPECT_EQ(rk_arena_get_used_size(a), 0u);
    EXPECT_EQ(a->total_size, 0x10000u);
    EXPECT_EQ(rk_arena_alloc(a, 8), p1);  // starts again at the first block
    rk_arena_destroy(a);
}

TEST(Arena, RefusesNullZeroAndOverflowingRequests) {
    rk_arena_t *a = nullptr;
    ASSERT_EQ(rk_arena_create(0, &a), RK_OK);
    EXPECT_EQ(rk_arena_alloc(nullptr, 8), nullptr);
    EXPECT_EQ(rk_arena_alloc(a, 0), nullptr);
    EXPECT_EQ(rk_arena_alloc(a, SIZE_MAX), nullptr);  // would wrap when rounded
    EXPECT_EQ(rk_arena_alloc(a, SIZE_MAX - 6), nullptr);
    EXPECT_EQ(rk_arena_calloc(a, uint64_t{1} << 33, uint64_t{1} << 32), nullptr);
    EXPECT_EQ(rk_arena_calloc(a, 0, 4), nullptr);
    EXPECT_EQ(rk_arena_memdup(a, nullptr, 4), nullptr);
    EXPECT_EQ(rk_arena_strdup(a, nullptr), nullptr);
    EXPECT_EQ(rk_arena_get_used_size(a), 0u);
    EXPECT_EQ(rk_arena_get_block_count(a), 1u);
    size_t used = 7, total = 7;
    rk_arena_stat(nullptr, &used, &total);
    EXPECT_EQ(used, 0u);
    EXPECT_EQ(total, 0u);
    rk_arena_reset(nullptr);
    rk_arena_destroy(nullptr);
    rk_arena_destroy(a);
}

TEST(Arena, CopiesAreIndependentOfTheSource) {
    rk_arena_t *a = nullptr;
    ASSERT_EQ(rk_arena_create(0, &a), RK_OK);
    char text[] = "hello";
    char *copy = rk_arena_strdup(a, text);
    text[0] = 'j';
    EXPECT_STREQ(copy, "hello");
    EXPECT_EQ(rk_arena_get_used_size(a), 8u);
    const float v[3] = {0.1f, -2.5f, 3.75f};
    auto *c = static_cast<float *>(rk_arena_memdup(a, v, sizeof v));
    EXPECT_EQ(std::memcmp(c, v, sizeof v), 0);
    auto *z = static_cast<uint64_t *>(rk_arena_calloc(a, 5, 8));
    for (int i = 0; i < 5; ++i) EXPECT_EQ(z[i], 0u);
    rk_arena_destroy(a);
}

}  // namespace
