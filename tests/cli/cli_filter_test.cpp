// SPDX-License-Identifier: Apache-2.0
// Filter expressions: the trees they become (checked by what the library's
// matcher selects from real records), precedence, the canonical text, and
// the errors of bad expressions. Also metadata read back from records.
#include <gtest/gtest.h>

#include <set>

#include "filter_expr.h"
#include "metadata.h"
#include "zevud.h"

namespace zcli {
namespace {

// Ten records: category cycles a/b/c... price = 10 * i, sale = odd i.
class CliFilter : public ::testing::Test {
protected:
    void SetUp() override {
        rk_collection_config_t cfg{};
        cfg.dimension = 2;
        cfg.index_type = RK_INDEX_FLAT;
        c_ = rk_collection_create(nullptr, &cfg);
        ASSERT_NE(c_, nullptr);
        Column cat{"category", ColumnType::text, {}, {}}, price{"price", ColumnType::number, {}, {}},
            sale{"sale", ColumnType::boolean, {}, {}};
        for (int i = 0; i < 10; ++i) {
            cat.texts.push_back(i % 3 == 0 ? "Shoes" : i % 3 == 1 ? "books" : "toys");
            price.numbers.push_back(10.0 * i);
            sale.numbers.push_back(i % 2);
        }
        columns_ = {cat, price, sale};
        for (int i = 0; i < 10; ++i) {
            const float v[2] = {float(i), 0};
            const std::vector<rk_meta_entry_t> e = row_entries(columns_, uint64_t(i));
            ASSERT_EQ(rk_collection_insert_with_meta(c_, v, e.data(), e.size(), nullptr), RK_OK);
        }
    }
    void TearDown() override { rk_collection_destroy(c_); }

    // Rows (0-based) the expression selects.
    std::set<int> rows(const std::string &expr) {
        const auto tree = parse_filter(expr, c_);
        const float q[2] = {0, 0};
        std::vector<rk_search_result_t> r(10);
        const uint64_t n = rk_collection_search_filtered(c_, q, tree->root(), 10, r.data());
        std::set<int> out;
        for (uint64_t i = 0; i < n; ++i) out.insert(int(r[i].id - 1));
        return out;
    }

    rk_collection_t *c_ = nullptr;
    std::vector<Column> columns_;
};

TEST_F(CliFilter, SelectsWhatTheExpressionSays) {
    EXPECT_EQ(rows("category == \"shoes\""), (std::set<int>{0, 3, 6, 9}));  // case-insensitive text
    EXPECT_EQ(rows("category == 'shoes' and price < 50"), (std::set<int>{0, 3}));
    EXPECT_EQ(rows("price >= 80 or price <= 0"), (std::set<int>{0, 8, 9}));
    EXPECT_EQ(rows("not sale == true"), (std::set<int>{0, 2, 4, 6, 8}));
    EXPECT_EQ(rows("!(category != \"toys\")"), (std::set<int>{2, 5, 8}));
    EXPECT_EQ(rows("price = 30.0"), (std::set<int>{3}));
    EXPECT_EQ(rows("price > -1e9 && price < 2.5e1"), (std::set<int>{0, 1, 2}));
}

TEST_F(CliFilter, AndBindsTighterThanOr) {
    EXPECT_EQ(rows("price < 20 or category == \"toys\" and sale == true"), (std::set<int>{0, 1, 5}));
    EXPECT_EQ(rows("(price < 20 or category == \"toys\") and sale == true"), (std::set<int>{1, 5}));
    EXPECT_EQ(rows("NOT price < 50 AND NOT sale == true"), (std::set<int>{6, 8}));
}

TEST(CliExpr, CanonicalTextRoundTrips) {
    const char *cases[] = {
        "a == 1 and b == 2 or not c != \"x\\\"y\"",
        "((a < 1))",
        "x >= -0.5 && (y == true || z == 'q')",
    };
    for (const char *c : cases) {
        const std::string once = parse_filter(c)->to_string();
        EXPECT_EQ(parse_filter(once)->to_string(), once) << c;
    }
    EXPECT_EQ(parse_filter("a == 1 and b == 2 and c == 3")->to_string(), "a == 1 and b == 2 and c == 3");
    EXPECT_EQ(parse_filter("a==1 or b==2 and c==3")->to_string(), "a == 1 or b == 2 and c == 3");
    EXPECT_EQ(parse_filter("(a==1 or b==2) and c==3")->to_string(), "(a == 1 or b == 2) and c == 3");
}

// A flat collection with one record carrying a default value of each key's
// type, so the library types expressions by it.
struct Typed {
    explicit Typed(const Schema &schema) {
        rk_collection_config_t cfg{};
        cfg.dimension = 1;
        cfg.index_type = RK_INDEX_FLAT;
        c = rk_collection_create(nullptr, &cfg);
        std::vector<rk_meta_entry_t> e;
        for (const auto &[key, type] : schema) {
            rk_meta_entry_t m{};
            m.key = rk_string_t{key.c_str(), key.size()};
            m.type = type;
            if (type == RK_META_STRING) m.value.str = rk_string_t{"", 0};
            e.push_back(m);
        }
        const float v = 0.5f;
        if (rk_collection_insert_with_meta(c, &v, e.empty() ? nullptr : e.data(), e.size(), nullptr) != RK_OK)
            ADD_FAILURE() << "insert";
    }
    ~Typed() { rk_collection_destroy(c); }
    rk_collection_t *c = nullptr;
};

size_t error_column(const std::string &expr, const Schema &schema = {}) {
    const Typed t(schema);
    try {
        parse_filter(expr, schema.empty() ? nullptr : t.c);
    } catch (const ExprError &e) {
        return e.column;
    }
    ADD_FAILURE() << "accepted: " << expr;
    return ~size_t(0);
}

TEST(CliExpr, BadExpressionsNameTheColumn) {
    EXPECT_EQ(error_column(""), 0u);
    EXPECT_EQ(error_column("price"), 5u);
    EXPECT_EQ(error_column("price <"), 7u);
    EXPECT_EQ(error_column("price < 5 and"), 13u);
    EXPECT_EQ(error_column("(price < 5"), 10u);
    EXPECT_EQ(error_column("price < 5)"), 9u);
    EXPECT_EQ(error_column("price < 5x"), 8u);
    EXPECT_EQ(error_column("name == \"abc"), 8u);
    EXPECT_EQ(error_column("name < \"abc\""), 7u);  // text only compares for equality
    EXPECT_EQ(error_column("flag > true"), 7u);
    EXPECT_EQ(error_column("price # 3"), 6u);
    const Schema s = {{"price", RK_META_DOUBLE}, {"name", RK_META_STRING}};
    EXPECT_EQ(error_column("colour == \"red\"", s), 0u);
    EXPECT_EQ(error_column("price == \"cheap\"", s), 9u);
    EXPECT_EQ(
        error_column(std::string(kMaxExprDepth + 5, '(') + "a == 1" + std::string(kMaxExprDepth + 5, ')')),
        kMaxExprDepth + 1u);
    EXPECT_EQ(error_column(std::string(kMaxExprLength + 1, ' ')), 0u);
}

TEST_F(CliFilter, SchemaAndValuesComeBackFromTheRecords) {
    const Schema s = collection_schema(c_);
    EXPECT_EQ(s, (Schema{{"category", RK_META_STRING}, {"price", RK_META_DOUBLE}, {"sale", RK_META_BOOL}}));
    const auto m = record_meta(c_, 4, true);
    ASSERT_EQ(m.size(), 3u);
    EXPECT_EQ(m[0], (std::pair<std::string, std::string>{"category", "\"Shoes\""}));
    EXPECT_EQ(m[1].second, "30");
    EXPECT_EQ(m[2].second, "true");
    // Keys match ignoring case, as the library matches them.
    EXPECT_EQ(rows("PRICE < 15"), (std::set<int>{0, 1}));
    EXPECT_NO_THROW(check_columns_match(c_, columns_));
    columns_[1].type = ColumnType::text;
    EXPECT_THROW(check_columns_match(c_, columns_), DataError);
    columns_.pop_back();
    EXPECT_THROW(check_columns_match(c_, columns_), DataError);
}

TEST(CliExpr, ValuesTakeTheFormOfTheKeysEntryType) {
    const Schema s = {{"n", RK_META_INT32}, {"w", RK_META_INT64}, {"f", RK_META_FLOAT}};
    const Typed t(s);
    EXPECT_EQ(parse_filter("n == -7", t.c)->root()->value.i32, -7);
    EXPECT_EQ(parse_filter("w > 5000000000", t.c)->root()->value.i64, 5000000000);
    EXPECT_EQ(parse_filter("f < 0.1", t.c)->root()->value.f32, 0.1f);
    EXPECT_EQ(parse_filter("n == 3 or f < 0.5", t.c)->to_string(), "n == 3 or f < 0.5");
    EXPECT_EQ(error_column("n == 2.5", s), 5u);
    EXPECT_EQ(error_column("n < 3000000000", s), 4u);
}

}  // namespace
}  // namespace zcli
