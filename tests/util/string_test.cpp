// SPDX-License-Identifier: Apache-2.0
// Counted strings: comparison and search rules, copying limits, arena
// builders, splitting, replacing and number parsing.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "rk_error.h"
#include "rk_string.h"

namespace {

rk_string_t S(const char *t) { return rk_string_t{t, std::strlen(t)}; }
std::string str(const rk_string_t *s) { return s ? std::string(s->data, s->len) : "<null>"; }

class ArenaTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(rk_arena_create(0, &arena_), RK_OK); }
    void TearDown() override { rk_arena_destroy(arena_); }
    std::vector<std::string> split(const char *text, const char *delims, uint64_t max) {
        rk_string_t s = S(text), d = S(delims);
        rk_string_t **parts = rk_strsplitn(arena_, &s, &d, max);
        std::vector<std::string> out;
        if (parts == nullptr) return {"<null>"};
        for (; *parts != nullptr; ++parts) out.push_back(str(*parts));
        return out;
    }
    rk_arena_t *arena_ = nullptr;
};

TEST(StringCompare, FirstDifferenceThenLength) {
    rk_string_t abc = S("abc"), abd = S("abd"), ab = S("ab"), empty = S("");
    EXPECT_EQ(rk_strcmp(&abc, &abd), -1);
    EXPECT_EQ(rk_strcmp(&ab, &abc), -1);
    EXPECT_EQ(rk_strcmp(&abc, &ab), 1);
    EXPECT_EQ(rk_strcmp(&abc, &abc), 0);
    EXPECT_EQ(rk_strcmp(&empty, &abc), -3);
    // Bytes are unsigned: 0xff sorts after 'a'.
    rk_string_t high = {"\xff", 1}, a = S("a");
    EXPECT_GT(rk_strcmp(&high, &a), 0);
    // Embedded NULs are ordinary bytes.
    rk_string_t n1 = {"a\0b", 3}, n2 = {"a\0c", 3};
    EXPECT_EQ(rk_strcmp(&n1, &n2), -1);
    // A null record and null data read as empty.
    rk_string_t nodata = {nullptr, 7};
    EXPECT_EQ(rk_strcmp(nullptr, &empty), 0);
    EXPECT_EQ(rk_strcmp(&nodata, &ab), -2);
}

TEST(StringCompare, BoundedAndCaseless) {
    rk_string_t x = S("abcX"), y = S("abcY"), ab = S("ab"), abc = S("abc");
    EXPECT_EQ(rk_strncmp(&x, &y, 3), 0);
    EXPECT_EQ(rk_strncmp(&x, &y, 4), 'X' - 'Y');
    EXPECT_EQ(rk_strncmp(&ab, &abc, 3), -1);  // cut short by the end of ab
    EXPECT_EQ(rk_strncmp(&ab, &abc, 2), 0);
    EXPECT_EQ(rk_strncmp(&ab, &abc, 0), 0);
    rk_string_t up = S("HNSW"), low = S("hnsw"), ivf = S("IVF");
    EXPECT_EQ(rk_strcasecmp(&up, &low), 0);
    EXPECT_EQ(rk_strcasecmp(&up, &ivf), 'h' - 'i');
    // Only ASCII letters fold: '[' (0x5b) is not '{' (0x7b).
    rk_string_t br1 = S("["), br2 = S("{");
    EXPECT_NE(rk_strcasecmp(&br1, &br2), 0);
    rk_string_t l2 = S("L2x"), l2b = S("l2y");
    EXPECT_EQ(rk_strncasecmp(&l2, &l2b, 2), 0);
}

TEST(StringSearch, Positions) {
    rk_string_t banana = S("banana"), ana = S("ana"), empty = S(""), longer = S("bananas");
    EXPECT_EQ(rk_strstr(&banana, &ana), 1u);
    EXPECT_EQ(rk_strstr(&banana, &empty), 0u);
    EXPECT_EQ(rk_strstr(&banana, &longer), RK_STR_NPOS);
    EXPECT_EQ(rk_strstr(&empty, &empty), 0u);
    EXPECT_EQ(rk_strstr(nullptr, &ana), RK_STR_NPOS);
    EXPECT_EQ(rk_strchr(&banana, 'a'), 1u);
    EXPECT_EQ(rk_strrchr(&banana, 'a'), 5u);
    EXPECT_EQ(rk_strrchr(&banana, 'b'), 0u);
    EXPECT_EQ(rk_strchr(&banana, 'z'), RK_STR_NPOS);
    EXPECT_EQ(rk_strchr(&empty, 0), RK_STR_NPOS);
    // The byte is compared as (char)c, and only within len.
    rk_string_t hi = {"\xe9x", 1};
    EXPECT_EQ(rk_strchr(&hi, 0xe9), 0u);
    EXPECT_EQ(rk_strchr(&hi, 'x'), RK_STR_NPOS);
    EXPECT_EQ(rk_strnlen(&banana, 3), 3u);
    EXPECT_EQ(rk_strnlen(&banana, 99), 6u);
    EXPECT_EQ(rk_strlen(nullptr), 0u);
}

TEST(StringCopy, LengthsAndLimits) {
    char buf[16];
    std::memset(buf, '#', sizeof buf);
    rk_string_t dst = {buf, 0}, hello = S("hello"), world = S("world");
    EXPECT_EQ(rk_strcpy(&dst, &hello), &dst);
    EXPECT_EQ(str(&dst), "hello");
    EXPECT_EQ(buf[5], '#');  // no terminator written
    rk_strcat(&dst, &world);
    EXPECT_EQ(str(&dst), "helloworld");
    rk_strncpy(&dst, &hello, 2);
    EXPECT_EQ(str(&dst), "he");
    rk_strncat(&dst, &world, 3);
    EXPECT_EQ(str(&dst), "hewor");
    rk_strlcat(&dst, &hello, 5);  // already at cap: unchanged
    EXPECT_EQ(str(&dst), "hewor");
    rk_strlcat(&dst, &hello, 7);
    EXPECT_EQ(str(&dst), "hewor" "he");
    rk_strlcpy(&dst, &world, 3);
    EXPECT_EQ(str(&dst), "wor");
    rk_strlcpy(&dst, &world, 0);
    EXPECT_EQ(dst.len, 0u);
    EXPECT_EQ(rk_strcpy(&dst, nullptr), &dst);
    EXPECT_EQ(rk_strcpy(nullptr, &hello), nullptr);
    // Nowhere to write: refused rather than writing through null.
    rk_string_t nowhere = {nullptr, 0};
    rk_strcpy(&nowhere, &hello);
    EXPECT_EQ(nowhere.len, 0u);
}

TEST(StringMemory, OverlapAndFill) {
    char b[] = "abcdef";
    rk_memmove(b + 1, b, 4);
    EXPECT_STREQ(b, "aabcdf");
    char c[] = "abcdef";
    rk_memmove(c, c + 2, 4);
    EXPECT_STREQ(c, "cdefef");
    EXPECT_EQ(rk_memset(c, 'z', 0), c);
    rk_memset(c, 0x17a, 2);  // (unsigned char)c
    EXPECT_EQ(c[0], 'z');
    EXPECT_EQ(rk_memcpy(nullptr, c, 3), nullptr);
}

TEST_F(ArenaTest, CopiesAndCaseMapping) {
    rk_string_t mixed = S("Hello, W0rld!"), empty = S("");
    rk_string_t *d = rk_strdup(arena_, &mixed);
    ASSERT_NE(d, nullptr);
    EXPECT_NE(d->data, mixed.data);
    EXPECT_EQ(str(d), "Hello, W0rld!");
    EXPECT_EQ(d->data[d->len], '\0');  // terminated, may serve as a name
    EXPECT_EQ(str(rk_strtolower(arena_, &mixed)), "hello, w0rld!");
    EXPECT_EQ(str(rk_strtoupper(arena_, &mixed)), "HELLO, W0RLD!");
    EXPECT_EQ(rk_strdup(arena_, &empty), nullptr);
    EXPECT_EQ(rk_strtolower(arena_, &empty), nullptr);
    EXPECT_EQ(rk_strdup(nullptr, &mixed), nullptr);
    rk_string_t nodata = {nullptr, 3};
    EXPECT_EQ(rk_strdup(arena_, &nodata), nullptr);
}

TEST_F(ArenaTest, Trim) {
    rk_string_t padded = S(" \t\r\n x y \v\f"), blank = S(" \t \t");
    EXPECT_EQ(str(rk_strtrim(arena_, &padded)), "x y");
    EXPECT_EQ(rk_strtrim(arena_, &blank), nullptr);
    rk_string_t inner = {"  ab  cd", 5};  // only len bytes count
    EXPECT_EQ(str(rk_strtrim(arena_, &inner)), "ab");
}

TEST_F(ArenaTest, Replace) {
    auto rep = [&](const char *s, const char *f, const char *t) {
        rk_string_t a = S(s), b = S(f), c = S(t);
        return str(rk_strreplace(arena_, &a, &b, &c));
    };
    EXPECT_EQ(rep("aaaa", "aa", "b"), "bb");
    EXPECT_EQ(rep("aaa", "aa", "b"), "ba");  // left to right, no overlap
    EXPECT_EQ(rep("abc", "abcd", "x"), "abc");
    EXPECT_EQ(rep("a.b.c", ".", "::"), "a::b::c");
    EXPECT_EQ(rep("xyz", "", "q"), "xyz");
    EXPECT_EQ(rep("aa", "aa", ""), "<null>");  // empty result
    EXPECT_EQ(rep("hello", "l", ""), "heo");
    rk_string_t a = S("a"), b = S("b");
    EXPECT_EQ(rk_strreplace(arena_, &a, nullptr, &b), nullptr);
}

TEST_F(ArenaTest, Split) {
    using V = std::vector<std::string>;
    EXPECT_EQ(split("a,,b,", ",", 0), (V{"a", "", "b"}));
    EXPECT_EQ(split("a,b,c", ",", 2), (V{"a", "b"}));
    EXPECT_EQ(split("a,b", ",", 2), (V{"a", "b"}));
    EXPECT_EQ(split("a;b,c", ",;", 0), (V{"a", "b", "c"}));
    EXPECT_EQ(split(",", ",", 0), (V{""}));
    EXPECT_EQ(split("abc", ",", 0), (V{"abc"}));
    EXPECT_EQ(split("", ",", 0), V{});
    EXPECT_EQ(split("a,b", "", 0), (V{"a,b"}));
    // Delimiters are looked for only within len.
    rk_string_t s = {"ab,cd", 2}, d = S(",");
    rk_string_t **parts = rk_strsplit(arena_, &s, &d);
    ASSERT_NE(parts, nullptr);
    EXPECT_EQ(str(parts[0]), "ab");
    EXPECT_EQ(parts[1], nullptr);
    EXPECT_EQ(rk_strsplit(arena_, &s, nullptr), nullptr);
}

TEST_F(ArenaTest, Printf) {
    EXPECT_EQ(str(rk_strprintf(arena_, "%s=%d (%u) %c%%", "k", int64_t{-5}, uint64_t{7}, 'x')),
              "k=-5 (7) x%");
    EXPECT_EQ(str(rk_strprintf(arena_, "%f|%f", 1.5, -0.0)), "1.500000|0.000000");
    // No widths or unknown conversions: the character stands for itself.
    EXPECT_EQ(str(rk_strprintf(arena_, "%x %5d|", int64_t{9})), "x 5d|");
    EXPECT_EQ(str(rk_strprintf(arena_, "%d", INT64_MIN)), "-9223372036854775808");
    EXPECT_EQ(str(rk_strprintf(arena_, "%u", UINT64_MAX)), "18446744073709551615");
    EXPECT_EQ(str(rk_strprintf(arena_, "%s|%s", static_cast<const char *>(nullptr), "")), "(null)|");
    EXPECT_EQ(str(rk_strprintf(arena_, "ab%")), "ab");
    EXPECT_EQ(rk_strprintf(arena_, "%s", ""), nullptr);
    EXPECT_EQ(rk_strprintf(nullptr, "x"), nullptr);
    rk_string_t *s = rk_strprintf(arena_, "%s", std::string(5000, 'q').c_str());
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->len, 5000u);
}

TEST(StringParse, Integers) {
    auto ll = [](const char *t, int base, uint64_t *end) {
        rk_string_t s = S(t);
        return rk_strtoll(&s, end, base);
    };
    uint64_t end = 99;
    EXPECT_EQ(ll("  -0x1F", 0, &end), -31);
    EXPECT_EQ(end, 7u);
    EXPECT_EQ(ll("019", 0, &end), 1);  // octal, '9' stops the scan
    EXPECT_EQ(end, 2u);
    EXPECT_EQ(ll("0x1F", 16, &end), 0);  // explicit 16 does not skip "0x"
    EXPECT_EQ(end, 1u);
    EXPECT_EQ(ll("+zz", 36, &end), 35 * 36 + 35);
    EXPECT_EQ(ll("\t\n42abc", 10, &end), 42);
    EXPECT_EQ(end, 4u);
    EXPECT_EQ(ll("-9223372036854775808", 10, nullptr), INT64_MIN);
    EXPECT_EQ(ll("9223372036854775807", 10, nullptr), INT64_MAX);
    EXPECT_EQ(ll("18446744073709551617", 10, nullptr), 1);  // wraps modulo 2^64
    EXPECT_EQ(ll("-0", 0, &end), 0);
    EXPECT_EQ(end, 2u);
    EXPECT_EQ(ll("junk", 10, &end), 0);
    EXPECT_EQ(end, 0u);
    rk_string_t cut = {"12345", 3};
    EXPECT_EQ(rk_strtoll(&cut, &end, 10), 123);
    EXPECT_EQ(rk_strtoll(nullptr, &end, 10), 0);
    EXPECT_EQ(end, 0u);
}

TEST(StringParse, Doubles) {
    auto d = [](const char *t, uint64_t *end) {
        rk_string_t s = S(t);
        return rk_strtod(&s, end);
    };
    uint64_t end = 0;
    EXPECT_EQ(d("1.5e2", &end), 150.0);
    EXPECT_EQ(end, 5u);
    EXPECT_EQ(d("-2.25", nullptr), -2.25);
    EXPECT_EQ(d("  .5x", &end), 0.5);
    EXPECT_EQ(end, 4u);
    const double nz = d("-0", nullptr);
    EXPECT_EQ(nz, 0.0);
    EXPECT_TRUE(std::signbit(nz));
    EXPECT_EQ(d("25E-2", nullptr), 25 * 0.1 * 0.1);
    // An exponent without digits scales nothing; the index passes 'e' and sign.
    EXPECT_EQ(d("3e", &end), 3.0);
    EXPECT_EQ(end, 2u);
    EXPECT_EQ(d("3e+x", &end), 3.0);
    EXPECT_EQ(end, 3u);
    // Huge exponents saturate at once instead of looping billions of times.
    EXPECT_EQ(d("1e999999999999999999", nullptr), HUGE_VAL);
    EXPECT_EQ(d("-1e400", nullptr), -HUGE_VAL);
    EXPECT_EQ(d("1e-999999999999999999", nullptr), 0.0);
    EXPECT_EQ(d("0e999999999999", nullptr), 0.0);
    EXPECT_EQ(d("nan", &end), 0.0);
    EXPECT_EQ(end, 0u);
    // The digits are summed step by step, not correctly rounded: 0.1 + 2*0.01.
    EXPECT_EQ(d("0.12", nullptr), 0.1 + 2 * (0.1 * 0.1));
}

}  // namespace
