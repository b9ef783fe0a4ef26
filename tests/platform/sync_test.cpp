// SPDX-License-Identifier: Apache-2.0
// Locks with real threads: mutual exclusion, sharing, exclusion, the
// semaphore's maximum, timed waits, and the argument checks.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "platform/thread_helpers.h"
#include "rk_error.h"
#include "rk_memory.h"
#include "rk_platform.h"

namespace {

using rk_test::Pool;
using rk_test::Runner;

// Polls pred for up to two seconds.
template <class Pred>
bool eventually(Pred pred) {
    for (int i = 0; i < 2000; ++i) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return pred();
}

TEST(SyncArgs, NullHandlesAreRefusedWithoutTouchingTheOs) {
    EXPECT_EQ(rk_mutex_create(nullptr, nullptr, nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_rwlock_create(nullptr, nullptr, nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_cond_create(nullptr, nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_sem_create(nullptr, 0, 1, nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_spinlock_create(nullptr, nullptr, nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_mutex_lock(nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_mutex_trylock(nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_mutex_unlock(nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_rwlock_rdlock(nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_rwlock_rdunlock(nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_rwlock_wrlock(nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_rwlock_wrunlock(nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_rwlock_tryrdlock(nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_rwlock_trywrlock(nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_cond_signal(nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_cond_broadcast(nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_sem_wait(nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_sem_post(nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_spinlock_lock(nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_spinlock_trylock(nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_spinlock_unlock(nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_thread_join(nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_thread_detach(nullptr), RK_ERR_INVALID_ARG);

    rk_mutex_t *m = nullptr;
    ASSERT_EQ(rk_mutex_create(nullptr, nullptr, &m), RK_OK);
    rk_cond_t *c = nullptr;
    ASSERT_EQ(rk_cond_create(nullptr, &c), RK_OK);
    EXPECT_EQ(rk_cond_wait(nullptr, m), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_cond_wait(c, nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_cond_timedwait(c, nullptr, 0), RK_ERR_INVALID_ARG);
    rk_autolock_t holder{};
    EXPECT_EQ(rk_autolock_init(nullptr, m), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_autolock_init(&holder, nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(holder.mutex, nullptr);

    rk_mutex_destroy(nullptr);
    rk_rwlock_destroy(nullptr);
    rk_cond_destroy(nullptr);
    rk_sem_destroy(nullptr);
    rk_spinlock_destroy(nullptr);
    rk_autolock_cleanup(nullptr);
    rk_cond_destroy(c);
    rk_mutex_destroy(m);
}

// Allocation failures: the hooks refuse, an exhausted arena is not needed.
void *refuse(size_t, void *) { return nullptr; }
void *plain_realloc(void *p, size_t n, void *) { return std::realloc(p, n); }
void plain_free(void *p, void *) { std::free(p); }

TEST(SyncArgs, CreateReportsRefusedStorage) {
    const rk_allocator_t saved = *rk_get_allocator();
    const rk_allocator_t failing{refuse, plain_realloc, plain_free, nullptr};
    ASSERT_EQ(rk_set_allocator(&failing), RK_OK);
    auto *sentinel = reinterpret_cast<rk_mutex_t *>(0x1);
    rk_mutex_t *m = sentinel;
    const rk_status_t mutex_rc = rk_mutex_create(nullptr, nullptr, &m);
    rk_rwlock_t *l = reinterpret_cast<rk_rwlock_t *>(0x1);
    const rk_status_t rw_rc = rk_rwlock_create(nullptr, nullptr, &l);
    rk_sem_t *s = reinterpret_cast<rk_sem_t *>(0x1);
    const rk_status_t sem_rc = rk_sem_create(nullptr, 0, 1, &s);
    auto *spin_sentinel = reinterpret_cast<rk_spinlock_t *>(0x1);
    rk_spinlock_t *sp = spin_sentinel;
    const rk_status_t spin_rc = rk_spinlock_create(nullptr, nullptr, &sp);
    ASSERT_EQ(rk_set_allocator(&saved), RK_OK);

    EXPECT_EQ(mutex_rc, RK_ERR_NO_MEMORY);
    EXPECT_EQ(m, nullptr);
    EXPECT_EQ(rw_rc, RK_ERR_NO_MEMORY);
    EXPECT_EQ(l, nullptr);
    EXPECT_EQ(sem_rc, RK_ERR_NO_MEMORY);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(spin_rc, RK_ERR_NO_MEMORY);
    EXPECT_EQ(sp, spin_sentinel);  // the spin lock leaves *out alone
}

TEST(Mutex, IsRecursiveForTheOwnerAndBusyForOthers) {
    rk_mutex_t *m = nullptr;
    ASSERT_EQ(rk_mutex_create(nullptr, nullptr, &m), RK_OK);
    ASSERT_EQ(rk_mutex_lock(m), RK_OK);
    EXPECT_EQ(rk_mutex_trylock(m), RK_OK);  // second level
    rk_status_t other = RK_OK;
    Runner([&] { other = rk_mutex_trylock(m); }).join();
    EXPECT_EQ(other, RK_ERR_BUSY);
    EXPECT_EQ(rk_mutex_unlock(m), RK_OK);
    Runner([&] { other = rk_mutex_trylock(m); }).join();
    EXPECT_EQ(other, RK_ERR_BUSY);  // still held once
    EXPECT_EQ(rk_mutex_unlock(m), RK_OK);
    Runner([&] {
        other = rk_mutex_trylock(m);
        if (other == RK_OK) rk_mutex_unlock(m);
    }).join();
    EXPECT_EQ(other, RK_OK);
    rk_mutex_destroy(m);
}

TEST(Mutex, ExcludesConcurrentIncrementsInAnArena) {
    rk_arena_t *arena = nullptr;
    ASSERT_EQ(rk_arena_create(0, &arena), RK_OK);
    rk_mutex_t *m = nullptr;
    ASSERT_EQ(rk_mutex_create(arena, nullptr, &m), RK_OK);
    long counter = 0;  // deliberately plain: only the mutex protects it
    constexpr int kThreads = 4, kRounds = 20000;
    Pool(kThreads, [&](int) {
        for (int i = 0; i < kRounds; ++i) {
            rk_mutex_lock(m);
            const long seen = counter;
            counter = seen + 1;
            rk_mutex_unlock(m);
        }
    }).join();
    EXPECT_EQ(counter, kThreads * kRounds);
    rk_mutex_destroy(m);
    rk_arena_destroy(arena);
}

TEST(RwLock, ReadersShareTheLock) {
    rk_rwlock_t *l = nullptr;
    ASSERT_EQ(rk_rwlock_create(nullptr, nullptr, &l), RK_OK);
    std::atomic<int> inside{0};
    std::atomic<bool> both_seen{false};
    Pool(2, [&](int) {
        rk_rwlock_rdlock(l);
        ++inside;
        // Each reader waits, holding its share, until the other is in too.
        if (eventually([&] { return inside.load() == 2; })) both_seen = true;
        rk_rwlock_rdunlock(l);
    }).join();
    EXPECT_TRUE(both_seen.load());
    rk_rwlock_destroy(l);
}

TEST(RwLock, WriterExcludesReadersAndWriters) {
    rk_rwlock_t *l = nullptr;
    ASSERT_EQ(rk_rwlock_create(nullptr, nullptr, &l), RK_OK);
    ASSERT_EQ(rk_rwlock_wrlock(l), RK_OK);
    std::atomic<bool> reader_in{false}, writer_in{false};
    Runner reader([&] {
        rk_rwlock_rdlock(l);
        reader_in = true;
        rk_rwlock_rdunlock(l);
    });
    Runner writer([&] {
        rk_rwlock_wrlock(l);
        writer_in = true;
        rk_rwlock_wrunlock(l);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(reader_in.load());
    EXPECT_FALSE(writer_in.load());
    EXPECT_EQ(rk_rwlock_wrunlock(l), RK_OK);
    EXPECT_TRUE(eventually([&] { return reader_in.load() && writer_in.load(); }));
    reader.join();
    writer.join();
    rk_rwlock_destroy(l);
}

TEST(RwLock, ReadersSeeOnlyWholeUpdates) {
    rk_rwlock_t *l = nullptr;
    ASSERT_EQ(rk_rwlock_create(nullptr, nullptr, &l), RK_OK);
    long a = 0, b = 0;  // writers keep a == b; plain on purpose
    std::atomic<int> torn{0};
    constexpr int kRounds = 5000;
    Pool(4, [&](int id) {
        for (int i = 0; i < kRounds; ++i) {
            if (id % 2 == 0) {
                rk_rwlock_wrlock(l);
                ++a;
                ++b;
                rk_rwlock_wrunlock(l);
            } else {
                rk_rwlock_rdlock(l);
                if (a != b) ++torn;
                rk_rwlock_rdunlock(l);
            }
        }
    }).join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(a, 2 * kRounds);
    rk_rwlock_destroy(l);
}

TEST(RwLock, AWaitingWriterIsNotStarvedByOverlappingReaders) {
    rk_rwlock_t *l = nullptr;
    ASSERT_EQ(rk_rwlock_create(nullptr, nullptr, &l), RK_OK);
    std::atomic<bool> writer_done{false};
    // Two readers that overlap, so some reader always holds the lock.
    Pool readers(2, [&](int) {
        while (!writer_done.load()) {
            rk_rwlock_rdlock(l);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            rk_rwlock_rdunlock(l);
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    Runner writer([&] {
        rk_rwlock_wrlock(l);
        writer_done = true;
        rk_rwlock_wrunlock(l);
    });
    const bool got_in = eventually([&] { return writer_done.load(); });
    writer_done = true;  // release the readers either way
    readers.join();
    writer.join();
    EXPECT_TRUE(got_in);
    rk_rwlock_destroy(l);
}

TEST(RwLock, TryLocksAreUnsupportedAndLeaveTheLockFree) {
    rk_rwlock_t *l = nullptr;
    ASSERT_EQ(rk_rwlock_create(nullptr, nullptr, &l), RK_OK);
    EXPECT_EQ(rk_rwlock_tryrdlock(l), RK_ERR_NOT_SUPPORTED);
    EXPECT_EQ(rk_rwlock_trywrlock(l), RK_ERR_NOT_SUPPORTED);
    rk_status_t rc = RK_ERR_UNKNOWN;
    Runner([&] {  // would block for ever if a try had taken the lock
        rc = rk_rwlock_wrlock(l);
        rk_rwlock_wrunlock(l);
    })
        .join();
    EXPECT_EQ(rc, RK_OK);
    rk_rwlock_destroy(l);
}

class CondTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(rk_mutex_create(nullptr, nullptr, &m_), RK_OK);
        ASSERT_EQ(rk_cond_create(nullptr, &c_), RK_OK);
    }
    void TearDown() override {
        rk_cond_destroy(c_);
        rk_mutex_destroy(m_);
    }
    rk_mutex_t *m_ = nullptr;
    rk_cond_t *c_ = nullptr;
};

TEST_F(CondTest, ZeroTimeoutReportsTimeoutWithTheMutexHeld) {
    ASSERT_EQ(rk_mutex_lock(m_), RK_OK);
    EXPECT_EQ(rk_cond_timedwait(c_, m_, 0), RK_ERR_TIMEOUT);
    rk_status_t other = RK_OK;
    Runner([&] { other = rk_mutex_trylock(m_); }).join();
    EXPECT_EQ(other, RK_ERR_BUSY);
    EXPECT_EQ(rk_mutex_unlock(m_), RK_OK);
}

TEST_F(CondTest, TimedWaitLastsAboutItsTimeout) {
    ASSERT_EQ(rk_mutex_lock(m_), RK_OK);
    const uint64_t t0 = rk_time_now_ms();
    EXPECT_EQ(rk_cond_timedwait(c_, m_, 40), RK_ERR_TIMEOUT);
    const uint64_t waited = rk_time_now_ms() - t0;
    EXPECT_GE(waited, 39u);
    EXPECT_LT(waited, 2000u);
    rk_mutex_unlock(m_);
}

TEST_F(CondTest, SignalWakesAWaiterThatSeesTheUpdate) {
    bool ready = false;
    rk_status_t rc = RK_ERR_UNKNOWN;
    Runner waiter([&] {
        rk_mutex_lock(m_);
        rc = RK_OK;
        while (!ready && rc == RK_OK) rc = rk_cond_timedwait(c_, m_, 5000);
        rk_mutex_unlock(m_);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    rk_mutex_lock(m_);
    ready = true;
    EXPECT_EQ(rk_cond_signal(c_), RK_OK);
    rk_mutex_unlock(m_);
    waiter.join();
    EXPECT_EQ(rc, RK_OK);
}

TEST_F(CondTest, BroadcastWakesEveryWaiter) {
    constexpr int kWaiters = 3;
    bool go = false;
    int waiting = 0, woken = 0;
    Pool pool(kWaiters, [&](int) {
        rk_mutex_lock(m_);
        ++waiting;
        while (!go) rk_cond_wait(c_, m_);
        ++woken;
        rk_mutex_unlock(m_);
    });
    ASSERT_TRUE(eventually([&] {
        rk_autolock_t hold{};
        rk_autolock_init(&hold, m_);
        const bool all = waiting == kWaiters;
        rk_autolock_cleanup(&hold);
        return all;
    }));
    rk_mutex_lock(m_);
    go = true;
    EXPECT_EQ(rk_cond_broadcast(c_), RK_OK);
    rk_mutex_unlock(m_);
    pool.join();
    EXPECT_EQ(woken, kWaiters);
}

TEST(Semaphore, RefusesBadCountsAndPostsBeyondItsMaximum) {
    rk_sem_t *s = reinterpret_cast<rk_sem_t *>(0x1);
    EXPECT_EQ(rk_sem_create(nullptr, 0, 0, &s), RK_ERR_UNKNOWN);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(rk_sem_create(nullptr, 3, 2, &s), RK_ERR_UNKNOWN);
    EXPECT_EQ(rk_sem_create(nullptr, -1, 2, &s), RK_ERR_UNKNOWN);

    ASSERT_EQ(rk_sem_create(nullptr, 1, 2, &s), RK_OK);
    EXPECT_EQ(rk_sem_post(s), RK_OK);           // 2
    EXPECT_EQ(rk_sem_post(s), RK_ERR_UNKNOWN);  // full: still 2
    EXPECT_EQ(rk_sem_wait(s), RK_OK);           // 1
    EXPECT_EQ(rk_sem_wait(s), RK_OK);           // 0
    EXPECT_EQ(rk_sem_post(s), RK_OK);           // room again
    EXPECT_EQ(rk_sem_wait(s), RK_OK);
    rk_sem_destroy(s);
}

TEST(Semaphore, WaitBlocksUntilAnotherThreadPosts) {
    rk_sem_t *s = nullptr;
    ASSERT_EQ(rk_sem_create(nullptr, 0, 1, &s), RK_OK);
    std::atomic<bool> passed{false};
    Runner waiter([&] {
        EXPECT_EQ(rk_sem_wait(s), RK_OK);
        passed = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(passed.load());
    EXPECT_EQ(rk_sem_post(s), RK_OK);
    waiter.join();
    EXPECT_TRUE(passed.load());
    rk_sem_destroy(s);
}

TEST(Semaphore, BoundsTheThreadsInside) {
    rk_sem_t *s = nullptr;
    ASSERT_EQ(rk_sem_create(nullptr, 2, 2, &s), RK_OK);
    std::atomic<int> inside{0}, most{0};
    Pool(5, [&](int) {
        for (int i = 0; i < 200; ++i) {
            rk_sem_wait(s);
            const int now = ++inside;
            int prev = most.load();
            while (now > prev && !most.compare_exchange_weak(prev, now)) {
            }
            std::this_thread::yield();
            --inside;
            EXPECT_EQ(rk_sem_post(s), RK_OK);
        }
    }).join();
    EXPECT_LE(most.load(), 2);
    EXPECT_GE(most.load(), 1);
    rk_sem_destroy(s);
}

TEST(Spinlock, TryLockReportsBusyUntilUnlocked) {
    auto *sentinel = reinterpret_cast<rk_spinlock_t *>(0x1);
    rk_spinlock_t *s = sentinel;
    ASSERT_EQ(rk_spinlock_create(nullptr, nullptr, &s), RK_OK);
    ASSERT_NE(s, sentinel);
    EXPECT_EQ(rk_spinlock_trylock(s), RK_OK);
    EXPECT_EQ(rk_spinlock_trylock(s), RK_ERR_BUSY);  // not recursive
    EXPECT_EQ(rk_spinlock_unlock(s), RK_OK);
    EXPECT_EQ(rk_spinlock_trylock(s), RK_OK);
    EXPECT_EQ(rk_spinlock_unlock(s), RK_OK);
    rk_spinlock_destroy(s);
}

TEST(Spinlock, ExcludesConcurrentIncrements) {
    rk_spinlock_t *s = nullptr;
    ASSERT_EQ(rk_spinlock_create(nullptr, nullptr, &s), RK_OK);
    long counter = 0;
    constexpr int kThreads = 3, kRounds = 20000;
    Pool(kThreads, [&](int) {
        for (int i = 0; i < kRounds; ++i) {
            rk_spinlock_lock(s);
            const long seen = counter;
            counter = seen + 1;
            rk_spinlock_unlock(s);
        }
    }).join();
    EXPECT_EQ(counter, kThreads * kRounds);
    rk_spinlock_destroy(s);
}

TEST(Autolock, HoldsUntilCleanupAndCleanupIsIdempotent) {
    rk_mutex_t *m = nullptr;
    ASSERT_EQ(rk_mutex_create(nullptr, nullptr, &m), RK_OK);
    rk_autolock_t holder{};
    rk_autolock_cleanup(&holder);  // holds nothing: no effect
    ASSERT_EQ(rk_autolock_init(&holder, m), RK_OK);
    EXPECT_EQ(holder.mutex, m);
    rk_status_t other = RK_OK;
    Runner([&] { other = rk_mutex_trylock(m); }).join();
    EXPECT_EQ(other, RK_ERR_BUSY);
    rk_autolock_cleanup(&holder);
    EXPECT_EQ(holder.mutex, nullptr);
    rk_autolock_cleanup(&holder);  // a second cleanup must not unlock again
    Runner([&] {
        other = rk_mutex_trylock(m);
        if (other == RK_OK) rk_mutex_unlock(m);
    }).join();
    EXPECT_EQ(other, RK_OK);
    rk_mutex_destroy(m);
}

}  // namespace
