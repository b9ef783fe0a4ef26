// SPDX-License-Identifier: Apache-2.0
// MurmurHash3 against the reference algorithm's published outputs, and the
// chained table: replacement, identity rules, collisions, removal, iteration.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "rk_hash.h"
#include "util/hash.h"

namespace {

uint32_t m32(const char *s, uint32_t seed) { return rk_hash_murmur3_32(s, std::strlen(s), seed); }

TEST(Murmur3, X86_32KnownValues) {
    EXPECT_EQ(m32("", 0), 0u);
    EXPECT_EQ(m32("abc", 0), 0xb3dd93fau);
    EXPECT_EQ(m32("", 1), 0x514e28b7u);
    EXPECT_EQ(m32("", 0xffffffffu), 0x81f16f39u);
    EXPECT_EQ(rk_hash_murmur3_32("\0\0\0\0", 4, 0), 0x2362f9deu);
    EXPECT_EQ(m32("aaaa", 0x9747b28cu), 0x5a97808au);
    EXPECT_EQ(m32("Hello, world!", 0x9747b28cu), 0x24884cbau);
    EXPECT_EQ(m32("The quick brown fox jumps over the lazy dog", 0x9747b28cu), 0x2fa826cdu);
    EXPECT_EQ(rk_hash_murmur3_32(nullptr, 5, 0), 0u);
}

// The reference's self-check: hash the keys {}, {0}, {0,1} ... {0..254} with
// seed 256 - length, concatenate the hashes, hash that with seed 0, and take
// the first 32 bits. It covers every tail length and both block loops.
TEST(Murmur3, ReferenceVerificationValues) {
    unsigned char key[256];
    unsigned char hashes32[256 * 4];
    unsigned char hashes128[256 * 16];
    for (int i = 0; i < 256; ++i) {
        key[i] = static_cast<unsigned char>(i);
        const uint32_t h = rk_hash_murmur3_32(key, i, 256 - i);
        for (int b = 0; b < 4; ++b) hashes32[i * 4 + b] = static_cast<unsigned char>(h >> (8 * b));
        uint64_t o[2];
        rk::murmur3_x64_128(key, i, 256 - i, o);
        for (int b = 0; b < 16; ++b) hashes128[i * 16 + b] = static_cast<unsigned char>(o[b / 8] >> (8 * (b % 8)));
    }
    EXPECT_EQ(rk_hash_murmur3_32(hashes32, sizeof hashes32, 0), 0xb0f57ee3u);
    uint64_t o[2];
    rk::murmur3_x64_128(hashes128, sizeof hashes128, 0, o);
    EXPECT_EQ(static_cast<uint32_t>(o[0]), 0x6384ba69u);
}

TEST(Murmur3, X64FirstHalfAndWrappers) {
    const char *fox = "The quick brown fox jumps over the lazy dog";
    EXPECT_EQ(rk_hash_murmur3_64(fox, std::strlen(fox), 0), 0xe34bbc7bbc071b6cull);
    uint64_t o[2];
    rk::murmur3_x64_128(fox, std::strlen(fox), 0, o);
    EXPECT_EQ(o[1], 0x7a433ca9c49a9347ull);
    // The whole 64-bit seed counts, not only its low half.
    EXPECT_NE(rk_hash_murmur3_64(fox, 5, 1), rk_hash_murmur3_64(fox, 5, (uint64_t{1} << 32) | 1));
    EXPECT_EQ(rk_hash_murmur3_64("", 0, 0), 0u);
    EXPECT_EQ(rk_hash_string(""), rk_hash_murmur3_64("", 0, 0));
    EXPECT_EQ(rk_hash_string(fox), rk_hash_murmur3_64(fox, std::strlen(fox), 0));
    EXPECT_EQ(rk_hash_string(nullptr), 0u);
    const uint64_t v = 0x0102030405060708ull;
    EXPECT_EQ(rk_hash_int(v), rk_hash_murmur3_64(&v, 8, 0));
    const float f[3] = {1.0f, -2.5f, 0.0f};
    EXPECT_EQ(rk_hash_vector(f, 3), rk_hash_murmur3_64(f, 12, 0));
    EXPECT_EQ(rk_hash_vector(f, UINT64_MAX / 2), 0u);  // byte count beyond 64 bits
}

class Table : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(rk_arena_create(0, &arena_), RK_OK); }
    void TearDown() override { rk_arena_destroy(arena_); }
    // Keys in visiting order.
    std::vector<void *> visit(rk_hash_table_t *t) {
        std::vector<void *> keys;
        rk_hash_iterator_t *it = rk_hash_iterator_create(t);
        EXPECT_NE(it, nullptr);
        for (bool more = rk_hash_iterator_valid(it); more; more = rk_hash_iterator_next(it)) {
            keys.push_back(rk_hash_iterator_get_key(it));
        }
        EXPECT_EQ(rk_hash_iterator_get_key(it), nullptr);
        EXPECT_EQ(rk_hash_iterator_next(it), 0);
        rk_hash_iterator_destroy(it);
        return keys;
    }
    rk_arena_t *arena_ = nullptr;
};

uint64_t last_bucket_of_8(const void *) { return 7; }
uint64_t always_zero(const void *) { return 0; }
void *no_copy(rk_arena_t *, const void *) { return nullptr; }

TEST_F(Table, CreationRules) {
    EXPECT_EQ(rk_hash_table_create(arena_, 0), nullptr);
    EXPECT_EQ(rk_hash_table_create(nullptr, 8), nullptr);
    EXPECT_EQ(rk_hash_table_create_int(arena_, UINT64_MAX), nullptr);  // bucket bytes overflow
    rk_hash_table_t *t = rk_hash_table_create_string(arena_, 8);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->arena, arena_);
    EXPECT_EQ(t->bucket_count, 8u);
    EXPECT_EQ(rk_hash_table_size(t), 0u);
    EXPECT_EQ(rk_hash_table_size(nullptr), 0u);
    rk_hash_table_destroy(t);
}

TEST_F(Table, StringKeysAreCopiedAndReplaced) {
    rk_hash_table_t *t = rk_hash_table_create_string(arena_, 4);
    int one = 1, two = 2;
    char key[] = "alpha";
    ASSERT_EQ(rk_hash_table_insert(t, key, &one), RK_OK);
    ASSERT_EQ(rk_hash_table_insert(t, "alpha", &two), RK_OK);
    EXPECT_EQ(rk_hash_table_size(t), 1u);
    EXPECT_EQ(rk_hash_table_find(t, "alpha"), &two);
    key[0] = 'X';  // the stored key is the table's own copy
    EXPECT_EQ(rk_hash_table_find(t, "alpha"), &two);
    EXPECT_EQ(rk_hash_table_find(t, "Xlpha"), nullptr);
    EXPECT_EQ(rk_hash_table_find(t, "alph"), nullptr);
    EXPECT_EQ(rk_hash_table_find(t, nullptr), nullptr);
    EXPECT_EQ(rk_hash_table_insert(t, nullptr, &one), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_hash_table_insert(nullptr, "a", &one), RK_ERR_INVALID_ARG);
}

TEST_F(Table, IntegerValueVersusAddressIdentity) {
    int64_t a = 77, b = 77;
    int va = 1, vb = 2;
    rk_hash_table_t *ints = rk_hash_table_create_int(arena_, 16);
    rk_hash_table_t *ptrs = rk_hash_table_create(arena_, 16);
    for (rk_hash_table_t *t : {ints, ptrs}) {
        ASSERT_EQ(rk_hash_table_insert(t, &a, &va), RK_OK);
        ASSERT_EQ(rk_hash_table_insert(t, &b, &vb), RK_OK);
    }
    EXPECT_EQ(rk_hash_table_size(ints), 1u);
    EXPECT_EQ(rk_hash_table_size(ptrs), 2u);
    EXPECT_EQ(rk_hash_table_find(ptrs, &a), &va);
    EXPECT_EQ(rk_hash_table_find(ptrs, &b), &vb);
    int64_t probe = 77;
    EXPECT_EQ(rk_hash_table_find(ints, &probe), &vb);
    EXPECT_EQ(rk_hash_table_find(ptrs, &probe), nullptr);
    a = 5;  // the integer table keeps its own copy of the key
    EXPECT_EQ(rk_hash_table_find(ints, &probe), &vb);
}

TEST_F(Table, CollisionsAndRemovalFromAnyPlaceInAChain) {
    rk_hash_table_t *t = rk_hash_table_create_int(arena_, 3);
    rk_hash_table_set_hash_func(t, always_zero);  // one chain holds everything
    rk_hash_table_set_hash_func(t, nullptr);      // ignored
    int64_t keys[6] = {10, 11, 12, 13, 14, 15};
    for (int64_t &k : keys) ASSERT_EQ(rk_hash_table_insert(t, &k, &k), RK_OK);
    EXPECT_EQ(t->buckets[1], nullptr);
    // Head (most recent), middle, tail (oldest).
    for (int64_t gone : {15, 12, 10}) {
        EXPECT_EQ(rk_hash_table_delete(t, &gone), RK_OK);
        EXPECT_EQ(rk_hash_table_find(t, &gone), nullptr);
        EXPECT_EQ(rk_hash_table_delete(t, &gone), RK_ERR_NOT_FOUND);
    }
    EXPECT_EQ(rk_hash_table_size(t), 3u);
    for (int64_t k : {11, 13, 14}) EXPECT_EQ(*static_cast<int64_t *>(rk_hash_table_find(t, &k)), k);
    EXPECT_EQ(rk_hash_table_delete(nullptr, &keys[0]), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_hash_table_delete(t, nullptr), RK_ERR_INVALID_ARG);
}

TEST_F(Table, DeletingTheOnlyEntryEmptiesItsBucket) {
    rk_hash_table_t *t = rk_hash_table_create_string(arena_, 5);
    int v = 0;
    ASSERT_EQ(rk_hash_table_insert(t, "solo", &v), RK_OK);
    const uint64_t b = rk_hash_string("solo") % 5;
    EXPECT_NE(t->buckets[b], nullptr);
    EXPECT_EQ(rk_hash_table_delete(t, "solo"), RK_OK);
    EXPECT_EQ(t->buckets[b], nullptr);
    EXPECT_EQ(rk_hash_table_size(t), 0u);
    EXPECT_TRUE(visit(t).empty());
}

TEST_F(Table, IterationOrder) {
    rk_hash_table_t *t = rk_hash_table_create(arena_, 8);
    EXPECT_TRUE(visit(t).empty());
    rk_hash_iterator_t *empty = rk_hash_iterator_create(t);
    EXPECT_EQ(rk_hash_iterator_valid(empty), 0);
    rk_hash_iterator_destroy(empty);
    // Every entry in the last bucket: visited newest first.
    rk_hash_table_set_hash_func(t, last_bucket_of_8);
    uint64_t k[3] = {1, 2, 3};
    for (uint64_t &x : k) ASSERT_EQ(rk_hash_table_insert(t, &x, nullptr), RK_OK);
    EXPECT_EQ(visit(t), (std::vector<void *>{&k[2], &k[1], &k[0]}));
    EXPECT_EQ(rk_hash_iterator_valid(nullptr), 0);
    EXPECT_EQ(rk_hash_iterator_create(nullptr), nullptr);
    rk_hash_iterator_destroy(nullptr);
}

TEST_F(Table, ManyEntriesInFewBuckets) {
    // Far more entries than buckets: every key is found, iteration visits
    // each exactly once in bucket order, and clear forgets them all.
    rk_hash_table_t *t = rk_hash_table_create_int(arena_, 7);
    std::vector<int64_t> keys(5000);
    for (size_t i = 0; i < keys.size(); ++i) {
        keys[i] = static_cast<int64_t>(i * 2654435761u) - 1000000;
        ASSERT_EQ(rk_hash_table_insert(t, &keys[i], &keys[i]), RK_OK);
    }
    ASSERT_EQ(rk_hash_table_size(t), keys.size());
    for (int64_t k : keys) ASSERT_EQ(*static_cast<int64_t *>(rk_hash_table_find(t, &k)), k);
    for (size_t i = 0; i < keys.size(); i += 2) ASSERT_EQ(rk_hash_table_delete(t, &keys[i]), RK_OK);
    std::multiset<int64_t> seen;
    uint64_t last_bucket = 0;
    for (void *key : visit(t)) {
        const int64_t v = *static_cast<int64_t *>(key);
        const uint64_t b = rk_hash_int(static_cast<uint64_t>(v)) % 7;
        EXPECT_GE(b, last_bucket);
        last_bucket = b;
        seen.insert(v);
    }
    ASSERT_EQ(seen.size(), keys.size() / 2);
    for (size_t i = 1; i < keys.size(); i += 2) EXPECT_EQ(seen.count(keys[i]), 1u);
    EXPECT_EQ(rk_hash_table_clear(t), RK_OK);
    EXPECT_EQ(rk_hash_table_size(t), 0u);
    EXPECT_EQ(rk_hash_table_find(t, &keys[1]), nullptr);
    EXPECT_TRUE(visit(t).empty());
    EXPECT_EQ(rk_hash_table_clear(nullptr), RK_ERR_INVALID_ARG);
}

void *copy_value_as_text(rk_arena_t *arena, const void *p) {
    return rk_arena_strdup(arena, static_cast<const char *>(p));
}

TEST_F(Table, CustomCopiesAndAFailedKeyCopy) {
    rk_hash_table_t *t = rk_hash_table_create_string(arena_, 4);
    rk_hash_table_set_value_copy_func(t, copy_value_as_text);
    char value[] = "v1";
    ASSERT_EQ(rk_hash_table_insert(t, "k", value), RK_OK);
    value[1] = '9';
    EXPECT_STREQ(static_cast<char *>(rk_hash_table_find(t, "k")), "v1");
    // A key copy that yields nothing fails the insert and leaves the table as it was.
    rk_hash_table_set_key_copy_func(t, no_copy);
    EXPECT_EQ(rk_hash_table_insert(t, "other", value), RK_ERR_NO_MEMORY);
    EXPECT_EQ(rk_hash_table_size(t), 1u);
    EXPECT_EQ(rk_hash_table_find(t, "other"), nullptr);
    EXPECT_STREQ(static_cast<char *>(rk_hash_table_find(t, "k")), "v1");
}

void *refuse(size_t, void *) { return nullptr; }

TEST_F(Table, IteratorComesFromTheHooks) {
    rk_hash_table_t *t = rk_hash_table_create(arena_, 2);
    const rk_allocator_t saved = *rk_get_allocator();
    const rk_allocator_t failing = {refuse, nullptr, nullptr, nullptr};
    ASSERT_EQ(rk_set_allocator(&failing), RK_OK);
    EXPECT_EQ(rk_hash_iterator_create(t), nullptr);
    ASSERT_EQ(rk_set_allocator(&saved), RK_OK);
}

}  // namespace
