// SPDX-License-Identifier: Apache-2.0
// Clocks, sleeping and the small helpers.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <ctime>

#include "rk_platform.h"

namespace {

TEST(Clock, CalendarSecondsMatchTheCRuntime) {
    const int64_t before = static_cast<int64_t>(std::time(nullptr));
    const int64_t now = rk_time_now();
    const int64_t after = static_cast<int64_t>(std::time(nullptr));
    EXPECT_GE(now, before);
    EXPECT_LE(now, after);
}

TEST(Clock, MonotonicMillisecondsCoverASleep) {
    const uint64_t t0 = rk_time_now_ms();
    rk_sleep(30);
    const uint64_t t1 = rk_time_now_ms();
    EXPECT_GE(t1 - t0, 29u);  // millisecond truncation of both readings
    EXPECT_LT(t1 - t0, 5000u);
}

TEST(Clock, DiffWrapsInsteadOfOverflowing) {
    EXPECT_EQ(rk_time_diff(10, 4), -6);
    EXPECT_EQ(rk_time_diff(4, 10), 6);
    EXPECT_EQ(rk_time_diff(-1, INT64_MAX), INT64_MIN);
    EXPECT_EQ(rk_time_diff(INT64_MAX, INT64_MIN), 1);
}

TEST(Clock, AbsLeavesTheMostNegativeValueAlone) {
    EXPECT_EQ(rk_abs(-5), 5);
    EXPECT_EQ(rk_abs(5), 5);
    EXPECT_EQ(rk_abs(0), 0);
    EXPECT_EQ(rk_abs(INT_MIN + 1), INT_MAX);
    EXPECT_EQ(rk_abs(INT_MIN), INT_MIN);
}

TEST(Clock, PageSizeIsAPowerOfTwo) {
    const int p = rk_platform_get_page_size();
    ASSERT_GE(p, 512);
    EXPECT_EQ(p & (p - 1), 0);
}

TEST(Clock, PlatformInitAlwaysSucceeds) {
    for (int i = 0; i < 3; ++i) EXPECT_EQ(rk_platform_init(), 0);
    rk_platform_shutdown();
    EXPECT_EQ(rk_platform_init(), 0);
}

TEST(ClockDeathTest, ExitEndsTheProcessWithTheStatus) {
    EXPECT_EXIT(rk_exit(3), ::testing::ExitedWithCode(3), "");
}

}  // namespace
