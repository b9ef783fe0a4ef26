// SPDX-License-Identifier: Apache-2.0
// Cost of the primitives the indexes sit on: one generator draw and one
// uncontended lock/unlock pair of each lock type, in nanoseconds.
#include <chrono>
#include <cstdio>

#include "rk_platform.h"

namespace {

template <class Fn>
double ns_per_call(long n, Fn fn) {
    const auto t0 = std::chrono::steady_clock::now();
    for (long i = 0; i < n; ++i) fn();
    const auto t1 = std::chrono::steady_clock::now();
    return std::chrono::duration<double, std::nano>(t1 - t0).count() / static_cast<double>(n);
}

}  // namespace

int main() {
    constexpr long kN = 5000000;
    rk_srand(1);
    volatile uint64_t sink = 0;
    std::printf("rk_rand                  %6.2f ns\n", ns_per_call(kN, [&] { sink = sink + rk_rand(); }));
    uint64_t state = 1;  // the same step without the atomic, for comparison
    std::printf("plain LCG step           %6.2f ns\n", ns_per_call(kN, [&] {
                    state = state * 6364136223846793005ull + 1442695040888963407ull;
                    sink = sink + state;
                }));

    rk_mutex_t *m = nullptr;
    rk_rwlock_t *l = nullptr;
    rk_spinlock_t *s = nullptr;
    if (rk_mutex_create(nullptr, nullptr, &m) || rk_rwlock_create(nullptr, nullptr, &l) ||
        rk_spinlock_create(nullptr, nullptr, &s)) {
        return 1;
    }
    std::printf("mutex lock+unlock        %6.2f ns\n", ns_per_call(kN, [&] {
                    rk_mutex_lock(m);
                    rk_mutex_unlock(m);
                }));
    std::printf("rwlock rdlock+rdunlock   %6.2f ns\n", ns_per_call(kN, [&] {
                    rk_rwlock_rdlock(l);
                    rk_rwlock_rdunlock(l);
                }));
    std::printf("rwlock wrlock+wrunlock   %6.2f ns\n", ns_per_call(kN, [&] {
                    rk_rwlock_wrlock(l);
                    rk_rwlock_wrunlock(l);
                }));
    std::printf("spinlock lock+unlock     %6.2f ns\n", ns_per_call(kN, [&] {
                    rk_spinlock_lock(s);
                    rk_spinlock_unlock(s);
                }));
    rk_spinlock_destroy(s);
    rk_rwlock_destroy(l);
    rk_mutex_destroy(m);
    return static_cast<int>(sink & 0);
}
