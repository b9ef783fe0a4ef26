// SPDX-License-Identifier: Apache-2.0
// Filter expressions parsed by the library: typing by the records of a
// collection (keys of every record, values stored in each key's form), the
// refusals and their columns, the canonical text and its buffer rules, and
// memory failures at every allocation.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "collection/filter_tree.h"
#include "support/alloc_faults.h"
#include "zevud.h"

namespace {

rk_meta_entry_t entry(const char *key, int32_t type) {
    rk_meta_entry_t e{};
    e.key = rk_string_t{key, std::strlen(key)};
    e.type = type;
    return e;
}

// Records with different keys: 1..4 carry "Kind" (text) and "n" (int32),
// 5..8 carry "w" (int64) and "f" (float) and "ok" (bool).
class FilterParse : public ::testing::Test {
protected:
    void SetUp() override {
        rk_collection_config_t cfg{};
        cfg.dimension = 1;
        cfg.index_type = RK_INDEX_FLAT;
        c_ = rk_collection_create(nullptr, &cfg);
        ASSERT_NE(c_, nullptr);
        const char *kinds[] = {"red", "Blue", "red", "green"};
        for (int i = 0; i < 8; ++i) {
            std::vector<rk_meta_entry_t> e;
            if (i < 4) {
                e.push_back(entry("Kind", RK_META_STRING));
                e.back().value.str = rk_string_t{kinds[i], std::strlen(kinds[i])};
                e.push_back(entry("n", RK_META_INT32));
                e.back().value.i32 = i - 2;
            } else {
                e.push_back(entry("w", RK_META_INT64));
                e.back().value.i64 = int64_t(i) * 3000000000LL;
                e.push_back(entry("f", RK_META_FLOAT));
                e.back().value.f32 = 0.1f * float(i);
                e.push_back(entry("ok", RK_META_BOOL));
                e.back().value.b = i % 2;
            }
            const float v = float(i) + 0.25f;
            ASSERT_EQ(rk_collection_insert_with_meta(c_, &v, e.data(), e.size(), nullptr), RK_OK);
        }
    }
    void TearDown() override { rk_collection_destroy(c_); }

    std::set<uint64_t> ids(const char *text) {
        rk_filter_t *f = nullptr;
        rk_filter_error_t err;
        EXPECT_EQ(rk_filter_parse(c_, text, std::strlen(text), &f, &err), RK_OK) << text << ": " << err.message;
        const float q = 0;
        rk_search_result_t r[8];
        const uint64_t n = rk_collection_search_filtered(c_, &q, f, 8, r);
        rk_filter_free(f);
        std::set<uint64_t> out;
        for (uint64_t i = 0; i < n; ++i) out.insert(r[i].id);
        return out;
    }

    rk_collection_t *c_ = nullptr;
};

std::string format(const rk_filter_t *f) {
    char buf[512];
    uint64_t n = 0;
    EXPECT_EQ(rk_filter_format(f, buf, sizeof buf, &n), RK_OK);
    return std::string(buf, n);
}

TEST_F(FilterParse, KeysOfEveryRecordAreTypedByTheirEntries) {
    EXPECT_EQ(ids("kind == 'RED'"), (std::set<uint64_t>{1, 3}));
    EXPECT_EQ(ids("n < 0"), (std::set<uint64_t>{1, 2}));
    EXPECT_EQ(ids("w >= 18000000000"), (std::set<uint64_t>{7, 8}));  // beyond 32 bits: stored as int64
    EXPECT_EQ(ids("f > 0.55 and ok == true"), (std::set<uint64_t>{8}));
    EXPECT_EQ(ids("not (kind != \"blue\") or n == 1"), (std::set<uint64_t>{2, 4}));

    rk_filter_t *f = nullptr;
    ASSERT_EQ(rk_filter_parse(c_, "n == 7 or f < 0.5", 17, &f, nullptr), RK_OK);
    EXPECT_EQ(f->children[0]->value.i32, 7);
    EXPECT_EQ(f->children[1]->value.f32, 0.5f);
    EXPECT_EQ(format(f), "n == 7 or f < 0.5");
    // The tree owes nothing to the collection.
    rk_collection_destroy(c_);
    c_ = nullptr;
    EXPECT_EQ(format(f), "n == 7 or f < 0.5");
    rk_filter_free(f);
}

struct Refusal {
    const char *text;
    rk_status_t status;
    uint64_t column;  // 1-based
    const char *says;
};

TEST_F(FilterParse, RefusalsNameColumnAndReason) {
    const Refusal cases[] = {
        {"", RK_ERR_INVALID_ARG, 1, "empty"},
        {"colour == 'red'", RK_ERR_INVALID_ARG, 1, "unknown metadata key 'colour'"},
        {"n == 2.5", RK_ERR_INVALID_ARG, 6, "whole number"},
        {"n < 3000000000", RK_ERR_INVALID_ARG, 5, "whole number"},
        {"kind == 3", RK_ERR_INVALID_ARG, 9, "holds text, not a number"},
        {"kind < 'a'", RK_ERR_INVALID_ARG, 8, "only compares with == and !="},
        {"ok == 1", RK_ERR_INVALID_ARG, 7, "holds a boolean"},
        {"n == 1 and", RK_ERR_INVALID_ARG, 11, "end of expression"},
        {"(n == 1", RK_ERR_INVALID_ARG, 8, "expected ')'"},
        {"n == 'abc", RK_ERR_INVALID_ARG, 6, "unterminated"},
        {"n == 'a\\qb'", RK_ERR_INVALID_ARG, 8, "unknown escape"},
        {"n # 1", RK_ERR_INVALID_ARG, 3, "'#'"},
        {"n == 1e999", RK_ERR_INVALID_ARG, 6, "not a number"},
    };
    for (const Refusal &r : cases) {
        rk_filter_t *f = reinterpret_cast<rk_filter_t *>(&f);  // must come back null
        rk_filter_error_t err;
        EXPECT_EQ(rk_filter_parse(c_, r.text, std::strlen(r.text), &f, &err), r.status) << r.text;
        EXPECT_EQ(f, nullptr);
        EXPECT_EQ(err.column, r.column) << r.text << ": " << err.message;
        EXPECT_NE(std::strstr(err.message, r.says), nullptr) << r.text << ": " << err.message;
    }
    // A NUL inside the text is a character like any other, not its end.
    const char nul[] = {'n', ' ', '\0', '=', '=', '1'};
    rk_filter_error_t err;
    rk_filter_t *f = nullptr;
    EXPECT_EQ(rk_filter_parse(nullptr, nul, sizeof nul, &f, &err), RK_ERR_INVALID_ARG);
    EXPECT_EQ(err.column, 3u);
    const std::string deep = std::string(70, '(') + "n == 1" + std::string(70, ')');
    EXPECT_EQ(rk_filter_parse(c_, deep.data(), deep.size(), &f, &err), RK_ERR_INVALID_ARG);
    EXPECT_EQ(err.column, 66u);
    const std::string long_text(65537, ' ');
    EXPECT_EQ(rk_filter_parse(c_, long_text.data(), long_text.size(), &f, &err), RK_ERR_TOO_LARGE);
    EXPECT_EQ(rk_filter_parse(c_, nullptr, 3, &f, &err), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_filter_parse(c_, "n == 1", 6, nullptr, &err), RK_ERR_INVALID_ARG);
}

TEST(FilterParseUntyped, AnyKeyAndNumbersAsDoubles) {
    rk_filter_t *f = nullptr;
    const char *text = "anything == 2.5 && !(b == 'x\\'y' || c == TRUE)";
    ASSERT_EQ(rk_filter_parse(nullptr, text, std::strlen(text), &f, nullptr), RK_OK);
    EXPECT_EQ(f->kind, RK_FILTER_AND);
    EXPECT_EQ(f->children[0]->value.f64, 2.5);
    EXPECT_EQ(format(f), "anything == 2.5 and not (b == \"x'y\" or c == true)");

    // The canonical text reports its length and refuses a short buffer, yet
    // fills what fits.
    uint64_t need = 0;
    EXPECT_EQ(rk_filter_format(f, nullptr, 0, &need), RK_ERR_BUFFER_TOO_SMALL);
    char small[8];
    EXPECT_EQ(rk_filter_format(f, small, sizeof small, &need), RK_ERR_BUFFER_TOO_SMALL);
    EXPECT_STREQ(small, "anythin");
    EXPECT_EQ(need, format(f).size());
    // No tree, no text.
    EXPECT_EQ(rk_filter_format(nullptr, small, sizeof small, &need), RK_ERR_INVALID_ARG);
    rk_filter_free(f);
    rk_filter_free(nullptr);
}

uint64_t fingerprint_of(rk_collection_t *c, const char *text) {
    rk_filter_t *f = nullptr;
    EXPECT_EQ(rk_filter_parse(c, text, std::strlen(text), &f, nullptr), RK_OK) << text;
    const uint64_t h = f ? rk::coll::parsed_of(f)->fingerprint : 0;
    rk_filter_free(f);
    return h;
}

// Parsed trees are told from nodes the host built (and from copies of a
// parsed root) without reading past them, and two parses share a
// fingerprint exactly when they give the same tree.
TEST_F(FilterParse, ParsedTreesAreKnownByTheirMarkAndFingerprint) {
    const std::set<uint64_t> first4{1, 2, 3, 4};
    const std::pair<const char *, std::set<uint64_t>> cases[] = {
        {"n < 3", first4}, {"kind == 'red' or n < 3", first4}, {"not ok == true", {1, 2, 3, 4, 5, 7}}};
    for (const auto &[text, want] : cases) {
        rk_filter_t *f = nullptr;
        ASSERT_EQ(rk_filter_parse(c_, text, std::strlen(text), &f, nullptr), RK_OK);
        EXPECT_NE(rk::coll::parsed_of(f), nullptr) << text;
        // A bare host node sized exactly (reading past it would trip the
        // address sanitizer) and a copy of the parsed root are not parsed trees.
        auto *host = new rk_filter_t(*f);
        char buf[64];
        EXPECT_EQ(rk_filter_format(host, buf, sizeof buf, nullptr), RK_ERR_INVALID_ARG);
        rk_filter_free(host);  // not ours: ignored
        delete host;
        // The mark, in a field the root's kind leaves unused, changes
        // nothing a search sees.
        EXPECT_EQ(ids(text), want) << text;
        rk_filter_free(f);
    }
    const uint64_t base = fingerprint_of(c_, "kind == 'red' and n < 3");
    EXPECT_EQ(fingerprint_of(c_, "Kind=='red'  &&  n<3"), fingerprint_of(c_, "Kind=='red' and n < 3"));
    EXPECT_EQ(fingerprint_of(c_, "kind == \"red\" and n < 3"), base);
    for (const char *other : {"kind == 'red' and n <= 3", "kind == 'red' and n < 4", "kind == 'red' or n < 3",
                              "n < 3 and kind == 'red'", "kind == 'red'", "kind != 'red' and n < 3",
                              "not (kind == 'red' and n < 3)"})
        EXPECT_NE(fingerprint_of(c_, other), base) << other;
    // The same text typed by a collection and untyped stores other values.
    EXPECT_NE(fingerprint_of(c_, "n < 3"), fingerprint_of(nullptr, "n < 3"));
}

// A tree at the nesting limit formats into text that parses back: the
// canonical text adds no parentheses the tree does not need (found by the
// fuzz target: 63 NOTs inside an AND failed to parse back).
TEST_F(FilterParse, CanonicalTextOfTheDeepestTreeParsesBack) {
    std::string text = "n == 1 and ";
    for (int i = 0; i < 64; ++i) text += "!";
    text += "f < 50 or (b == 'x' and (c == true or n > 2))";
    rk_filter_t *f = nullptr, *again = nullptr;
    ASSERT_EQ(rk_filter_parse(nullptr, text.data(), text.size(), &f, nullptr), RK_OK);
    const std::string once = format(f);
    ASSERT_EQ(rk_filter_parse(nullptr, once.data(), once.size(), &again, nullptr), RK_OK) << once;
    EXPECT_EQ(format(again), once);
    EXPECT_EQ(once.find("(n == 1"), std::string::npos) << "no parentheses around the whole text";
    EXPECT_NE(once.find("(c == true or n > 2)"), std::string::npos) << "OR under AND keeps its group";
    rk_filter_free(again);
    rk_filter_free(f);
}

TEST_F(FilterParse, EveryAllocationFailureIsReportedAndLeaksNothing) {
    rk_test::FailingAllocator hooks;
    ASSERT_TRUE(hooks.installed());
    const char *text = "kind == 'red' and (n < 5 or not w == 3) and f > 0.5 and ok != false";
    for (long at = 0;; ++at) {
        hooks.arm(at);
        rk_filter_t *f = nullptr;
        rk_filter_error_t err;
        const rk_status_t st = rk_filter_parse(c_, text, std::strlen(text), &f, &err);
        if (!hooks.failed()) {
            ASSERT_EQ(st, RK_OK);
            rk_filter_free(f);
            break;
        }
        EXPECT_EQ(st, RK_ERR_NO_MEMORY) << at;
        EXPECT_EQ(f, nullptr);
        EXPECT_STREQ(err.message, "out of memory");
    }
}

}  // namespace
