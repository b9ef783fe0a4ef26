// SPDX-License-Identifier: Apache-2.0
// Formatted output: the console printer's conversions as they reach the
// standard-output descriptor, buffer truncation, and number text.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include <unistd.h>

#include "rk_error.h"
#include "rk_string.h"
#include "support/capture.h"

namespace {

using rk_test::Capture;

// What rk_printf writes for these arguments, and its return value.
template <class... A>
std::pair<std::string, int> printed(const char *fmt, A... args) {
    Capture cap(STDOUT_FILENO);
    const int n = rk_printf(fmt, args...);
    return {cap.text(), n};
}

template <class... A>
std::string out(const char *fmt, A... args) {
    auto [text, n] = printed(fmt, args...);
    EXPECT_EQ(static_cast<size_t>(n), text.size()) << fmt;
    return text;
}

TEST(ConsolePrintf, IntegersAndPadding) {
    auto [text, n] = printed("%5d|%05u|%x", int64_t{42}, uint64_t{42}, uint64_t{255});
    EXPECT_EQ(text, "   42|00042|ff");
    EXPECT_EQ(n, 14);
    // d pads with spaces even after a '0'; u and x always pad with zeros.
    EXPECT_EQ(out("%05d|%3u|%4X", int64_t{-7}, uint64_t{5}, uint64_t{0xab}), "   -7|005|00AB");
    EXPECT_EQ(out("%2d", int64_t{12345}), "12345");  // widths never cut
    EXPECT_EQ(out("%d %i", INT64_MIN, INT64_MAX), "-9223372036854775808 9223372036854775807");
    EXPECT_EQ(out("%lld %lu %zu %zd", int64_t{-1}, UINT64_MAX, uint64_t{3}, int64_t{-3}),
              "-1 18446744073709551615 3 -3");
    EXPECT_EQ(out("%p", uint64_t{255}), "00000000000000ff");
    EXPECT_EQ(out("%20p", uint64_t{1}), "0000000000000001");
    EXPECT_EQ(out("%x", uint64_t{0}), "0");
    EXPECT_EQ(out("%c%c|100%%", 'o', 'k'), "ok|100%");
}

TEST(ConsolePrintf, TextAndPrecision) {
    EXPECT_EQ(out("%.2s", "abcdef"), "ab");
    EXPECT_EQ(out("%s", static_cast<const char *>(nullptr)), "(null)");
    EXPECT_EQ(out("[%.s]", "abc"), "[]");
    EXPECT_EQ(out("[%8s]", "abc"), "[abc]");  // no padding for text
    // With a precision the text is never read past it (ASan would see it).
    const char unterminated[3] = {'x', 'y', 'z'};
    EXPECT_EQ(out("%.3s", unterminated), "xyz");
    const std::string big(5000, 'w');
    EXPECT_EQ(out("<%s>", big.c_str()), "<" + big + ">");
    EXPECT_EQ(out("%300d", int64_t{1}), std::string(299, ' ') + "1");
}

TEST(ConsolePrintf, FixedPoint) {
    EXPECT_EQ(out("%.3f", -1.23456), "-1.234");
    EXPECT_EQ(out("%f", 0.5), "0.500000");
    EXPECT_EQ(out("%.0f", 12.7), "12.");
    EXPECT_EQ(out("%.f|%F", 2.0, 1.0), "2.|1.000000");
    EXPECT_EQ(out("%10.1f", 2.25), "2.2");  // width ignored, digits truncated
    EXPECT_EQ(out("%f", -0.0), "0.000000");
    EXPECT_EQ(out("%.2f", -0.001), "-0.00");
    EXPECT_EQ(out("%f %f %f", NAN, INFINITY, -INFINITY), "nan inf -inf");
    EXPECT_EQ(out("%.1f", 1e20), "100000000000000000000.0");
    EXPECT_EQ(out("%.0f", 9223372036854775808.0), "9223372036854775808.");
    EXPECT_EQ(out("%.0f", 9223372036854774784.0), "9223372036854774784.");  // just below 2^63
}

TEST(ConsolePrintf, UnknownConversionsAndEndings) {
    // Unknown conversions print nothing and take no argument.
    EXPECT_EQ(out("%e|%d", int64_t{7}), "|7");
    EXPECT_EQ(out("a%zqb%d", int64_t{1}), "ab1");
    EXPECT_EQ(out("a%5%b"), "ab");
    EXPECT_EQ(out("abc%"), "abc");
    EXPECT_EQ(out("abc%5.2l"), "abc");
    EXPECT_EQ(out("x%z"), "x");
    EXPECT_EQ(out(""), "");
    EXPECT_EQ(rk_printf(nullptr), 0);
}

TEST(ConsoleWriters, UnbufferedAndOrdered) {
    Capture cap(STDOUT_FILENO);
    rk_printf("a");
    ASSERT_EQ(write(STDOUT_FILENO, "b", 1), 1);  // nothing was held back
    EXPECT_NE(rk_putchar('c'), 0);
    EXPECT_NE(rk_puts("ok"), 0);
    EXPECT_EQ(rk_puts(nullptr), 0);
    const std::string longline(1000, 'L');
    EXPECT_NE(rk_puts(longline.c_str()), 0);
    EXPECT_EQ(cap.text(), "abcok\n" + longline + "\n");

    Capture err(STDERR_FILENO);
    EXPECT_NE(rk_puts_err("bad"), 0);
    EXPECT_EQ(err.text(), "bad\n");
}

TEST(ConsoleWriters, FailedWriteIsReported) {
    // A closed descriptor: the writers report failure, the printer still counts.
    Capture hold(STDOUT_FILENO);
    const int saved = dup(STDOUT_FILENO);
    close(STDOUT_FILENO);
    EXPECT_EQ(rk_putchar('x'), 0);
    EXPECT_EQ(rk_puts("x"), 0);
    EXPECT_EQ(rk_printf("abc"), 3);
    dup2(saved, STDOUT_FILENO);
    close(saved);
}

int vsn(char *buf, size_t size, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const int n = rk_vsnprintf(buf, size, fmt, ap);
    va_end(ap);
    return n;
}

TEST(BufferFormat, Truncation) {
    char buf[8];
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(rk_snprintf(buf, 3, "%d", 12345), 5);
    EXPECT_STREQ(buf, "12");
    EXPECT_EQ(buf[3], '#');
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(rk_snprintf(buf, 0, "%d", 12345), 0);
    EXPECT_EQ(buf[0], '#');
    EXPECT_EQ(rk_snprintf(nullptr, 8, "%d", 1), 0);
    EXPECT_EQ(rk_snprintf(buf, 1, "abc"), 3);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(rk_snprintf(buf, sizeof buf, "%+.2e", 1234.5), 9);
    EXPECT_STREQ(buf, "+1.23e+");
    EXPECT_EQ(vsn(buf, sizeof buf, "%-4s|", "ab"), 5);
    EXPECT_STREQ(buf, "ab  |");
    EXPECT_EQ(vsn(buf, sizeof buf, nullptr), -1);
    EXPECT_STREQ(buf, "");
}

class NumberText : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(rk_arena_create(0, &arena_), RK_OK); }
    void TearDown() override { rk_arena_destroy(arena_); }
    std::string d(double x, int digits) {
        rk_string_t *s = rk_dtostr(arena_, x, digits);
        if (s == nullptr) return "<null>";
        EXPECT_EQ(s->data[s->len], '\0');
        return std::string(s->data, s->len);
    }
    std::string ll(int64_t v) {
        rk_string_t *s = rk_lltostr(arena_, v);
        return s ? std::string(s->data, s->len) : "<null>";
    }
    rk_arena_t *arena_ = nullptr;
};

TEST_F(NumberText, Doubles) {
    EXPECT_EQ(d(-3.75, 1), "-3.7");
    EXPECT_EQ(d(-3.75, 0), "-3");  // no '.' without digits
    EXPECT_EQ(d(-3.75, -4), "-3");
    EXPECT_EQ(d(0.0, 0), "0");
    EXPECT_EQ(d(-0.0, 2), "0.00");
    EXPECT_EQ(d(-1e-300, 3), "-0.000");
    EXPECT_EQ(d(0.25, 4), "0.2500");
    EXPECT_EQ(d(NAN, 3), "nan");
    EXPECT_EQ(d(-INFINITY, 3), "-inf");
    EXPECT_EQ(d(-9223372036854775808.0, 1), "-9223372036854775808.0");
    const std::string max = d(DBL_MAX, 0);
    EXPECT_EQ(max.size(), 309u);
    EXPECT_EQ(max.substr(0, 17), "17976931348623157");
    EXPECT_EQ(max.substr(300), "124858368");
    EXPECT_EQ(d(4503599627370497.0, 0), "4503599627370497");  // 2^52 + 1
    const std::string many = d(0.5, 1000);
    EXPECT_EQ(many.size(), 1002u);
    EXPECT_EQ(many.substr(0, 4), "0.50");
    EXPECT_EQ(many.find_first_not_of('0', 3), std::string::npos);
    EXPECT_EQ(rk_dtostr(nullptr, 1.0, 1), nullptr);
}

TEST_F(NumberText, Integers) {
    EXPECT_EQ(ll(0), "0");
    EXPECT_EQ(ll(-42), "-42");
    EXPECT_EQ(ll(INT64_MIN), "-9223372036854775808");
    EXPECT_EQ(ll(INT64_MAX), "9223372036854775807");
    EXPECT_EQ(rk_lltostr(nullptr, 1), nullptr);
}

}  // namespace
