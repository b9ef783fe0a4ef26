// SPDX-License-Identifier: Apache-2.0
// Test helper: while alive, the library's allocator hooks and its arena
// blocks (which come from the C runtime, not the hooks) fail one chosen
// allocation (counted from the last arm()), so every failure point of a
// call can be visited in turn.
#ifndef RK_TESTS_SUPPORT_ALLOC_FAULTS_H
#define RK_TESTS_SUPPORT_ALLOC_FAULTS_H

#include <atomic>
#include <cstdlib>

#include "core/alloc.h"
#include "rk_error.h"
#include "rk_memory.h"

namespace rk_test {

class FailingAllocator {
public:
    FailingAllocator() : saved_(*rk_get_allocator()) {
        const rk_allocator_t hooks = {do_malloc, do_realloc, do_free, this};
        installed_ = rk_set_allocator(&hooks) == RK_OK;
        rk::arena_fault_set(block_fault, this);
    }
    ~FailingAllocator() {
        rk::arena_fault_set(nullptr, nullptr);
        (void)rk_set_allocator(&saved_);
    }
    FailingAllocator(const FailingAllocator &) = delete;
    FailingAllocator &operator=(const FailingAllocator &) = delete;

    bool installed() const { return installed_; }
    // Fails allocation number n (0-based) from now on; -1 fails none.
    void arm(long n) {
        calls_ = 0;
        failed_ = false;
        fail_at_ = n;
    }
    void disarm() { fail_at_ = -1; }
    // Allocations asked for since arm(), and whether the chosen one failed.
    long calls() const { return calls_; }
    bool failed() const { return failed_; }

private:
    bool refuse() {
        const long n = calls_.fetch_add(1);
        if (n != fail_at_.load()) return false;
        failed_ = true;
        return true;
    }
    static void *do_malloc(size_t n, void *self) {
        return static_cast<FailingAllocator *>(self)->refuse() ? nullptr : std::malloc(n);
    }
    static void *do_realloc(void *p, size_t n, void *self) {
        return static_cast<FailingAllocator *>(self)->refuse() ? nullptr : std::realloc(p, n);
    }
    static void do_free(void *p, void *) { std::free(p); }
    static bool block_fault(void *self) { return static_cast<FailingAllocator *>(self)->refuse(); }

    rk_allocator_t saved_;
    bool installed_ = false;
    std::atomic<long> calls_{0};
    std::atomic<long> fail_at_{-1};
    std::atomic<bool> failed_{false};
};

}  // namespace rk_test

#endif
