// SPDX-License-Identifier: Apache-2.0
// Thread records: start, argument, join, detach and the thread id.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "rk_error.h"
#include "rk_platform.h"

namespace {

struct Seen {
    std::atomic<int> calls{0};
    std::atomic<uint64_t> id{0};
};

void *record_call(void *arg) {
    auto *seen = static_cast<Seen *>(arg);
    seen->id = rk_thread_id();
    ++seen->calls;
    return nullptr;
}

TEST(Thread, NullStartIsRefusedAndStartsNothing) {
    rk_thread_t t{};
    t.handle = &t;  // recognisable: must stay as it was
    EXPECT_EQ(rk_thread_create(&t, nullptr, nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(t.handle, &t);
    EXPECT_EQ(rk_thread_create(nullptr, record_call, nullptr), RK_ERR_INVALID_ARG);
}

TEST(Thread, JoinWaitsForTheRoutineWithItsArgument) {
    Seen seen;
    rk_thread_t t{};
    ASSERT_EQ(rk_thread_create(&t, record_call, &seen), RK_OK);
    EXPECT_NE(t.handle, nullptr);
    EXPECT_EQ(t.start, &record_call);
    EXPECT_EQ(t.argument, &seen);
    EXPECT_EQ(rk_thread_join(&t), RK_OK);
    EXPECT_EQ(seen.calls.load(), 1);
    EXPECT_NE(seen.id.load(), 0u);
    EXPECT_NE(seen.id.load(), rk_thread_id());
    EXPECT_LE(seen.id.load(), 0xFFFFFFFFu);
    // The handle is released: another join or a detach does nothing.
    EXPECT_EQ(t.handle, nullptr);
    EXPECT_EQ(rk_thread_join(&t), RK_OK);
    EXPECT_EQ(rk_thread_detach(&t), RK_OK);
}

TEST(Thread, DetachedThreadRunsToCompletion) {
    static Seen seen;  // outlives the test in case the thread is slow
    static rk_thread_t t{};
    const int before = seen.calls.load();
    ASSERT_EQ(rk_thread_create(&t, record_call, &seen), RK_OK);
    EXPECT_EQ(rk_thread_detach(&t), RK_OK);
    for (int i = 0; i < 2000 && seen.calls.load() == before; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(seen.calls.load(), before + 1);
}

TEST(Thread, IdIsStableWithinAThread) {
    EXPECT_EQ(rk_thread_id(), rk_thread_id());
    EXPECT_NE(rk_thread_id(), 0u);
}

}  // namespace
