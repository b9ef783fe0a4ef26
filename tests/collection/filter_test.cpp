// SPDX-License-Identifier: Apache-2.0
// The filter matcher, row by row of its comparison table, and the paths that
// use it (foreach, filtered search, delete by filter).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "collection/internal.h"
#include "rk_collection.h"

namespace {

using rk::coll::filter_match;

constexpr int kEq = RK_FILTER_EQ, kNe = RK_FILTER_NE, kGt = RK_FILTER_GT, kGe = RK_FILTER_GE,
              kLt = RK_FILTER_LT, kLe = RK_FILTER_LE, kBadOp = 9;

rk_meta_entry_t entry(const char *key, int32_t type) {
    rk_meta_entry_t e{};
    e.key = rk_string_t{key, std::strlen(key)};
    e.type = type;
    return e;
}

rk_filter_t cond(const char *key, int op, rk_meta_value_t v) {
    rk_filter_t f{};
    f.kind = RK_FILTER_CONDITION;
    f.key = key;
    f.op = op;
    f.value = v;
    return f;
}

// Results of EQ NE GT GE LT LE and an unknown operator for one entry value
// against one condition value, as a string of 0/1.
std::string row(rk_meta_entry_t e, rk_meta_value_t v) {
    rk_record_t r{1, nullptr, &e, 1};
    std::string out;
    for (int op : {kEq, kNe, kGt, kGe, kLt, kLe, kBadOp}) {
        const rk_filter_t f = cond(e.key.data, op, v);
        out += char('0' + filter_match(&r, &f));
    }
    return out;
}

rk_meta_value_t i32(int32_t x) {
    rk_meta_value_t v{};
    v.i32 = x;
    return v;
}
rk_meta_value_t i64(int64_t x) {
    rk_meta_value_t v{};
    v.i64 = x;
    return v;
}
rk_meta_value_t f32(float x) {
    rk_meta_value_t v{};
    v.f32 = x;
    return v;
}
rk_meta_value_t f64(double x) {
    rk_meta_value_t v{};
    v.f64 = x;
    return v;
}
rk_meta_value_t str(const char *s) {
    rk_meta_value_t v{};
    v.str = rk_string_t{s, std::strlen(s)};
    return v;
}
rk_meta_value_t boolean(int32_t b) {
    rk_meta_value_t v{};
    v.b = b;
    return v;
}

rk_meta_entry_t with(rk_meta_entry_t e, rk_meta_value_t v) {
    e.value = v;
    return e;
}

TEST(FilterTable, SignedIntegers) {
    //                                                EQ NE GT GE LT LE bad
    EXPECT_EQ(row(with(entry("a", 1), i32(-5)), i32(-5)), "1001011");
    EXPECT_EQ(row(with(entry("a", 1), i32(-5)), i32(3)), "0100111");
    EXPECT_EQ(row(with(entry("a", 1), i32(4)), i32(-3)), "0111001");
    EXPECT_EQ(row(with(entry("a", 2), i64(INT64_MIN)), i64(INT64_MAX)), "0100111");
    EXPECT_EQ(row(with(entry("a", 2), i64(1LL << 40)), i64(1LL << 40)), "1001011");
}

TEST(FilterTable, Floats) {
    // Within 1e-6 counts as equal for 32-bit floats, 1e-12 for 64-bit ones.
    EXPECT_EQ(row(with(entry("f", 3), f32(0.1f)), f32(0.1000005f)), "1000111");
    EXPECT_EQ(row(with(entry("f", 3), f32(0.1f)), f32(0.1001f)), "0100111");
    EXPECT_EQ(row(with(entry("f", 3), f32(2.0f)), f32(1.0f)), "0111001");
    EXPECT_EQ(row(with(entry("f", 4), f64(1.0)), f64(1.0 + 1e-13)), "1000111");
    EXPECT_EQ(row(with(entry("f", 4), f64(1.0)), f64(1.0 + 1e-9)), "0100111");
    // NaN on either side matches every operator.
    const float nanf = std::numeric_limits<float>::quiet_NaN();
    const double nand = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(row(with(entry("f", 3), f32(nanf)), f32(1.0f)), "1111111");
    EXPECT_EQ(row(with(entry("f", 3), f32(1.0f)), f32(nanf)), "1111111");
    EXPECT_EQ(row(with(entry("f", 4), f64(nand)), f64(nand)), "1111111");
    // Identical infinities are equal (their difference is NaN).
    const float inf = std::numeric_limits<float>::infinity();
    EXPECT_EQ(row(with(entry("f", 3), f32(inf)), f32(inf)), "1001011");
    EXPECT_EQ(row(with(entry("f", 4), f64(-INFINITY)), f64(INFINITY)), "0100111");
}

TEST(FilterTable, StringsBooleansAndUnknownTypes) {
    EXPECT_EQ(row(with(entry("s", 5), str("Hello")), str("hELLO")), "1000001");
    EXPECT_EQ(row(with(entry("s", 5), str("Hello")), str("Help")), "0100001");
    EXPECT_EQ(row(with(entry("s", 5), str("ab")), str("abc")), "0100001");
    EXPECT_EQ(row(with(entry("s", 5), str("ABC")), str("abd")), "0100001");
    rk_meta_value_t no_data{};
    no_data.str = rk_string_t{nullptr, 3};  // a string without data reads as empty
    EXPECT_EQ(row(with(entry("s", 5), no_data), str("")), "1000001");
    EXPECT_EQ(row(with(entry("s", 5), str("abc")), no_data), "0100001");
    EXPECT_EQ(row(with(entry("b", 6), boolean(1)), boolean(1)), "1000000");
    EXPECT_EQ(row(with(entry("b", 6), boolean(1)), boolean(0)), "0100000");
    EXPECT_EQ(row(with(entry("b", 6), boolean(2)), boolean(1)), "0100000");  // compared as integers
    EXPECT_EQ(row(with(entry("x", 0), i32(1)), i32(2)), "1111111");
    EXPECT_EQ(row(with(entry("x", 42), i32(1)), i32(2)), "1111111");
    EXPECT_EQ(row(with(entry("x", -3), i32(1)), i32(2)), "1111111");
}

TEST(FilterTree, KeysAndStructure) {
    rk_meta_entry_t e[2] = {with(entry("Price", 1), i32(10)), with(entry("price", 1), i32(99))};
    rk_record_t r{1, nullptr, e, 2};
    rk_record_t bare{2, nullptr, nullptr, 0};

    // Keys match ignoring case; the first matching entry decides.
    rk_filter_t c10 = cond("PRICE", kEq, i32(10));
    rk_filter_t c99 = cond("price", kEq, i32(99));
    EXPECT_EQ(filter_match(&r, &c10), 1);
    EXPECT_EQ(filter_match(&r, &c99), 0);
    // A key that is a prefix of an entry's key, or the other way round, is
    // another key.
    rk_filter_t prefix = cond("pric", kEq, i32(10));
    rk_filter_t longer = cond("prices", kEq, i32(10));
    EXPECT_EQ(filter_match(&r, &prefix), 0);
    EXPECT_EQ(filter_match(&r, &longer), 0);
    // A stored key holding a NUL byte is not the C string before it, and an
    // empty stored key (even without data) is the empty key.
    rk_meta_entry_t odd[2] = {with(entry("x", 1), i32(5)), with(entry("", 1), i32(6))};
    odd[0].key = rk_string_t{"pri\0ce", 6};
    odd[1].key = rk_string_t{nullptr, 0};
    rk_record_t oddr{3, nullptr, odd, 2};
    rk_filter_t pri = cond("pri", kEq, i32(5)), empty = cond("", kEq, i32(6));
    EXPECT_EQ(filter_match(&oddr, &pri), 0);
    EXPECT_EQ(filter_match(&oddr, &empty), 1);
    // A missing key matches only NE; a null key or null node always.
    for (int op : {kEq, kGt, kGe, kLt, kLe, kBadOp}) {
        rk_filter_t f = cond("missing", op, i32(0));
        EXPECT_EQ(filter_match(&bare, &f), 0) << op;
    }
    rk_filter_t ne = cond("missing", kNe, i32(0));
    EXPECT_EQ(filter_match(&bare, &ne), 1);
    rk_filter_t nokey = cond(nullptr, kEq, i32(0));
    EXPECT_EQ(filter_match(&bare, &nokey), 1);
    EXPECT_EQ(filter_match(&bare, nullptr), 1);

    rk_filter_t node{};
    node.kind = RK_FILTER_AND;
    EXPECT_EQ(filter_match(&r, &node), 1);  // empty AND
    node.kind = RK_FILTER_OR;
    EXPECT_EQ(filter_match(&r, &node), 0);  // empty OR
    node.kind = RK_FILTER_NOT;
    EXPECT_EQ(filter_match(&r, &node), 0);  // NOT without a child: not of a null node

    rk_filter_t *kids[2] = {&c10, &c99};
    node.children = kids;
    node.child_count = 2;
    node.kind = RK_FILTER_AND;
    EXPECT_EQ(filter_match(&r, &node), 0);
    node.kind = RK_FILTER_OR;
    EXPECT_EQ(filter_match(&r, &node), 1);
    node.kind = RK_FILTER_NOT;
    EXPECT_EQ(filter_match(&r, &node), 0);  // first child only
    kids[0] = &c99;
    EXPECT_EQ(filter_match(&r, &node), 1);
    kids[0] = nullptr;  // a null child is a null node: matches
    node.kind = RK_FILTER_AND;
    EXPECT_EQ(filter_match(&r, &node), 0);  // c99 still fails
    node.children = nullptr;                // count without an array: no children
    EXPECT_EQ(filter_match(&r, &node), 1);

    // NOT of EQ on a missing key matches every record lacking the key.
    rk_filter_t eq_missing = cond("missing", kEq, i32(0));
    rk_filter_t *one[1] = {&eq_missing};
    rk_filter_t neg{};
    neg.kind = RK_FILTER_NOT;
    neg.children = one;
    neg.child_count = 1;
    EXPECT_EQ(filter_match(&bare, &neg), 1);
}

TEST(FilterTree, DeepTreesStopMatchingInsteadOfOverflowing) {
    std::vector<rk_filter_t> chain(5000);
    std::vector<rk_filter_t *> links(5000);
    for (size_t i = 0; i < chain.size(); ++i) {
        chain[i].kind = RK_FILTER_AND;
        if (i + 1 < chain.size()) {
            links[i] = &chain[i + 1];
            chain[i].children = &links[i];
            chain[i].child_count = 1;
        }
    }
    rk_record_t bare{1, nullptr, nullptr, 0};
    EXPECT_EQ(filter_match(&bare, &chain[0]), 0);
    EXPECT_EQ(filter_match(&bare, &chain[4000]), 1);
}

struct Fixture : ::testing::Test {
    void SetUp() override {
        rk_collection_config_t cfg{};
        cfg.dimension = 1;
        c = rk_collection_create(nullptr, &cfg);
        ASSERT_NE(c, nullptr);
        for (int i = 0; i < 10; ++i) {
            rk_meta_entry_t e = with(entry("group", 1), i32(i % 3));
            const float v = float(i);
            ASSERT_EQ(rk_collection_insert_with_meta(c, &v, &e, 1, nullptr), RK_OK);
        }
    }
    void TearDown() override { rk_collection_destroy(c); }
    rk_collection_t *c = nullptr;
};

TEST_F(Fixture, FilteredSearchSeesOnlyCandidates) {
    rk_filter_t g0 = cond("group", kEq, i32(0));
    rk_search_result_t res[10];
    const float q = 4.4f;
    const uint64_t n = rk_collection_search_filtered(c, &q, &g0, 10, res);
    ASSERT_EQ(n, 4u);          // values 0, 3, 6, 9
    EXPECT_EQ(res[0].id, 4u);  // value 3
    EXPECT_EQ(res[1].id, 7u);  // value 6
    int calls = 0;
    auto count = [](uint64_t, const float *, uint32_t, void *u) {
        return ++*static_cast<int *>(u) > 0 ? 1 : 0;
    };
    EXPECT_EQ(rk_collection_foreach(c, &g0, count, &calls), 4u);
}

TEST_F(Fixture, DeleteByFilter) {
    rk_filter_t g1 = cond("group", kEq, i32(1));
    EXPECT_EQ(rk_collection_delete_by_filter(c, &g1), 3);
    std::vector<uint64_t> ids;
    for (uint64_t i = 0; i < c->count; ++i) ids.push_back(c->records[i].id);
    EXPECT_EQ(ids, (std::vector<uint64_t>{1, 3, 4, 6, 7, 9, 10}));
    EXPECT_EQ(rk_collection_delete_by_filter(c, &g1), 0);
    EXPECT_EQ(rk_collection_delete_by_filter(nullptr, &g1), -1);
    EXPECT_EQ(rk_collection_delete_by_filter(c, nullptr), 7);
    EXPECT_EQ(c->count, 0u);
    const float v = 1;
    uint64_t id = 0;
    ASSERT_EQ(rk_collection_insert(c, &v, &id), RK_OK);
    EXPECT_EQ(id, 11u);  // deletes never reuse ids
}

}  // namespace
