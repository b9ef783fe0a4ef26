// SPDX-License-Identifier: Apache-2.0
// The process-wide generator: exact sequences for known seeds, the shared
// state of the three draw kinds, the float rounding edge, and atomic steps.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <thread>
#include <vector>

#include "rk_platform.h"

namespace {

// Expected values below were worked out independently from the recurrence
// state' = state * 6364136223846793005 + 1442695040888963407 mod 2^64.

TEST(Random, SeedZeroGivesIncrementThenKnownSuccessors) {
    rk_srand(0);
    EXPECT_EQ(rk_rand(), 1442695040888963407ull);
    EXPECT_EQ(rk_rand(), 1876011003808476466ull);
    EXPECT_EQ(rk_rand(), 11166244414315200793ull);
}

TEST(Random, ReseedingRestartsTheSequence) {
    rk_srand(42);
    const uint64_t first[3] = {rk_rand(), rk_rand(), rk_rand()};
    EXPECT_EQ(first[0], 10481999410520546993ull);
    EXPECT_EQ(first[1], 4159066171780167020ull);
    EXPECT_EQ(first[2], 7615522811268512075ull);
    rk_srand(42);
    for (uint64_t v : first) EXPECT_EQ(rk_rand(), v);
}

TEST(Random, DrawKindsShareOneStateAndAdvanceItOnce) {
    rk_srand(7);
    EXPECT_EQ(rk_rand(), 9098160460397411210ull);
    // (17628806926561717905 >> 11) * 2^-53, exact in double
    EXPECT_EQ(rk_rand_double(), 0x1.e94c34ff1f505p-1);
    // 16723372171710603212 >> 11 rounds to 8165708861014016 as a float
    EXPECT_EQ(rk_rand_float(), 0x1.d02ab4p-1f);
}

TEST(Random, FloatScaleIsExactlyTwoToMinus53) {
    static_assert(1.110223e-16f == 0x1p-53f, "the single-precision constant is 2^-53");
}

TEST(Random, FloatReachesOneWhenTheConversionRoundsUp) {
    // Seeds chosen so the first draw is exactly 2^64 - 1, exactly the
    // half-way point (2^53 - 2^28) << 11 (ties to even round up), and one
    // step of 2^11 below that.
    rk_srand(15635871386175874928ull);
    EXPECT_EQ(rk_rand_float(), 1.0f);
    rk_srand(5368681314940833813ull);
    EXPECT_EQ(rk_rand_float(), 1.0f);
    rk_srand(10017458718428243989ull);
    EXPECT_EQ(rk_rand_float(), 0x1.fffffep-1f);
}

TEST(Random, DoubleStaysBelowOneAtTheLargestState) {
    rk_srand(15635871386175874928ull);  // first draw is 2^64 - 1
    const double d = rk_rand_double();
    EXPECT_LT(d, 1.0);
    EXPECT_EQ(d, 1.0 - 0x1p-53);
}

TEST(Random, ConcurrentDrawsTakeDistinctStepsOfTheSequence) {
    constexpr int kThreads = 4, kDraws = 20000;
    rk_srand(99);
    std::vector<uint64_t> expected(kThreads * kDraws);
    for (auto &v : expected) v = rk_rand();

    rk_srand(99);
    std::vector<std::vector<uint64_t>> seen(kThreads);
    std::vector<std::thread> pool;
    for (int t = 0; t < kThreads; ++t) {
        pool.emplace_back([&seen, t] {
            seen[t].reserve(kDraws);
            for (int i = 0; i < kDraws; ++i) seen[t].push_back(rk_rand());
        });
    }
    for (auto &th : pool) th.join();
    std::vector<uint64_t> all;
    for (auto &s : seen) all.insert(all.end(), s.begin(), s.end());
    std::sort(all.begin(), all.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(all, expected);  // no step lost or repeated
}

}  // namespace
