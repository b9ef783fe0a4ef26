// Filter expressions: the trees they become (checked by what the library's
// matcher selects from real records), precedence, the canonical text, and
// the errors of bad expressions. Also the tool's metadata file.
#include <gtest/gtest.h>

#include <set>

#include "filter_expr.h"
#include "meta_store.h"
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
        table_.columns = {cat, price, sale};
        for (int i = 0; i < 10; ++i) {
            const float v[2] = {float(i), 0};
            const std::vector<rk_meta_entry_t> e = row_entries(table_.columns, uint64_t(i));
            uint64_t id;
            ASSERT_EQ(rk_collection_insert_with_meta(c_, v, e.data(), e.size(), &id), RK_OK);
            table_.ids.push_back(id);
        }
    }
    void TearDown() override { rk_collection_destroy(c_); }

    // Rows (0-based) the expression selects.
    std::set<int> rows(const std::string &expr) {
        const auto tree = parse_filter(expr, table_.schema());
        const float q[2] = {0, 0};
        std::vector<rk_search_result_t> r(10);
        const uint64_t n = rk_collection_search_filtered(c_, q, tree->root(), 10, r.data());
        std::set<int> out;
        for (uint64_t i = 0; i < n; ++i) out.insert(int(r[i].id - 1));
        return out;
    }

    rk_collection_t *c_ = nullptr;
    MetaTable table_;
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
    EXPECT_EQ(parse_filter("a == 1 and b == 2 and c == 3")->to_string(), "(a == 1 and b == 2 and c == 3)");
    EXPECT_EQ(parse_filter("a==1 or b==2 and c==3")->to_string(), "(a == 1 or (b == 2 and c == 3))");
}

size_t error_column(const std::string &expr, const Schema &schema = {}) {
    try {
        parse_filter(expr, schema);
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
    const Schema s = {{"price", ColumnType::number}, {"name", ColumnType::text}};
    EXPECT_EQ(error_column("colour == \"red\"", s), 0u);
    EXPECT_EQ(error_column("price == \"cheap\"", s), 9u);
    EXPECT_EQ(error_column(std::string(kMaxExprDepth + 5, '(') + "a == 1" + std::string(kMaxExprDepth + 5, ')')),
              kMaxExprDepth + 1u);
    EXPECT_EQ(error_column(std::string(kMaxExprLength + 1, ' ')), 0u);
}

TEST(CliMetaFile, RoundTripsAndRefusesDamage) {
    MetaTable t;
    t.append({Column{"c", ColumnType::text, {}, {"x", "yy"}}, Column{"p", ColumnType::number, {1.5, -2}, {}}},
             {3, 7});
    const std::vector<uint8_t> bytes = encode_meta(t);
    const MetaTable back = decode_meta(bytes);
    EXPECT_EQ(back.ids, (std::vector<uint64_t>{3, 7}));
    EXPECT_EQ(back.columns[0].texts[1], "yy");
    EXPECT_EQ(back.columns[1].numbers[1], -2.0);
    for (size_t cut = 0; cut < bytes.size(); ++cut)
        EXPECT_THROW(decode_meta(std::span(bytes.data(), cut)), ParseError) << cut;
    // Mismatched columns are refused before anything is appended.
    EXPECT_THROW(t.append({Column{"c", ColumnType::number, {1}, {}}, Column{"p", ColumnType::number, {1}, {}}}, {9}),
                 DataError);
    EXPECT_EQ(t.ids.size(), 2u);
    t.keep_only({7});
    EXPECT_EQ(t.ids, (std::vector<uint64_t>{7}));
    EXPECT_EQ(t.columns[0].texts, (std::vector<std::string>{"yy"}));
}

}  // namespace
}  // namespace zcli
