// SPDX-License-Identifier: Apache-2.0
// Runs a closure on a thread started through rk_thread_create.
#ifndef RK_TESTS_PLATFORM_THREAD_HELPERS_H
#define RK_TESTS_PLATFORM_THREAD_HELPERS_H

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

#include "rk_error.h"
#include "rk_platform.h"

namespace rk_test {

inline void *call_closure(void *p) {
    (*static_cast<std::function<void()> *>(p))();
    return nullptr;
}

// Non-movable: the thread reads its record and closure through this object.
class Runner {
public:
    explicit Runner(std::function<void()> fn) : fn_(std::move(fn)) {
        EXPECT_EQ(rk_thread_create(&record_, call_closure, &fn_), RK_OK);
    }
    ~Runner() { join(); }
    Runner(const Runner &) = delete;
    Runner &operator=(const Runner &) = delete;
    void join() { rk_thread_join(&record_); }

private:
    std::function<void()> fn_;
    rk_thread_t record_{};
};

// Starts n runners, each given its index; joins them all when destroyed.
class Pool {
public:
    Pool(int n, const std::function<void(int)> &fn) {
        for (int i = 0; i < n; ++i) runners_.push_back(std::make_unique<Runner>([fn, i] { fn(i); }));
    }
    void join() {
        for (auto &r : runners_) r->join();
    }

private:
    std::vector<std::unique_ptr<Runner>> runners_;
};

}  // namespace rk_test

#endif
