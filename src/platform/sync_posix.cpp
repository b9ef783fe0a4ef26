// SPDX-License-Identifier: Apache-2.0
// Mutexes, reader/writer locks, condition variables and semaphores on
// POSIX threads.
#include <cerrno>
#include <ctime>

#include "platform/os.h"

namespace rk::os {

bool mutex_init(Mutex *m) {
    pthread_mutexattr_t attr;
    if (pthread_mutexattr_init(&attr) != 0) return false;
    const bool ok = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE) == 0 &&
                    pthread_mutex_init(&m->native, &attr) == 0;
    pthread_mutexattr_destroy(&attr);
    return ok;
}

void mutex_destroy(Mutex *m) { pthread_mutex_destroy(&m->native); }

bool mutex_lock(Mutex *m) { return pthread_mutex_lock(&m->native) == 0; }

Try mutex_trylock(Mutex *m) {
    const int rc = pthread_mutex_trylock(&m->native);
    if (rc == 0) return Try::acquired;
    return rc == EBUSY ? Try::busy : Try::failed;
}

bool mutex_unlock(Mutex *m) { return pthread_mutex_unlock(&m->native) == 0; }

bool rwlock_init(RwLock *l) {
    pthread_rwlockattr_t attr;
    if (pthread_rwlockattr_init(&attr) != 0) return false;
#if defined(__GLIBC__)
    // glibc prefers readers by default, which lets a steady flow of
    // searches starve inserts for ever; queue new readers behind a waiting
    // writer instead.
    pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
#endif
    const bool ok = pthread_rwlock_init(&l->native, &attr) == 0;
    pthread_rwlockattr_destroy(&attr);
    return ok;
}

void rwlock_destroy(RwLock *l) { pthread_rwlock_destroy(&l->native); }

bool rwlock_rdlock(RwLock *l) { return pthread_rwlock_rdlock(&l->native) == 0; }

bool rwlock_wrlock(RwLock *l) { return pthread_rwlock_wrlock(&l->native) == 0; }

bool rwlock_unlock(RwLock *l) { return pthread_rwlock_unlock(&l->native) == 0; }

namespace {

// Condition variables time their waits on the monotonic clock, so a change
// of the calendar clock neither stretches nor cuts a timed wait.
bool init_monotonic_cond(pthread_cond_t *c) {
    pthread_condattr_t attr;
    if (pthread_condattr_init(&attr) != 0) return false;
    const bool ok =
        pthread_condattr_setclock(&attr, CLOCK_MONOTONIC) == 0 && pthread_cond_init(c, &attr) == 0;
    pthread_condattr_destroy(&attr);
    return ok;
}

timespec deadline_after(uint32_t timeout_ms) {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    ts.tv_sec += static_cast<time_t>(timeout_ms / 1000u);
    ts.tv_nsec += static_cast<long>(timeout_ms % 1000u) * 1000000L;
    if (ts.tv_nsec >= 1000000000L) {
        ts.tv_sec += 1;
        ts.tv_nsec -= 1000000000L;
    }
    return ts;
}

}  // namespace

bool cond_init(Cond *c) { return init_monotonic_cond(&c->native); }

void cond_destroy(Cond *c) { pthread_cond_destroy(&c->native); }

bool cond_signal(Cond *c) { return pthread_cond_signal(&c->native) == 0; }

bool cond_broadcast(Cond *c) { return pthread_cond_broadcast(&c->native) == 0; }

Wait cond_wait(Cond *c, Mutex *m, uint32_t timeout_ms) {
    if (timeout_ms == kNoTimeout) {
        return pthread_cond_wait(&c->native, &m->native) == 0 ? Wait::woken : Wait::failed;
    }
    const timespec deadline = deadline_after(timeout_ms);
    const int rc = pthread_cond_timedwait(&c->native, &m->native, &deadline);
    if (rc == 0) return Wait::woken;
    return rc == ETIMEDOUT ? Wait::timed_out : Wait::failed;
}

bool sem_init(Sem *s, int32_t initial, int32_t maximum) {
    if (pthread_mutex_init(&s->lock, nullptr) != 0) return false;
    if (!init_monotonic_cond(&s->nonzero)) {
        pthread_mutex_destroy(&s->lock);
        return false;
    }
    s->count = initial;
    s->maximum = maximum;
    return true;
}

void sem_destroy(Sem *s) {
    pthread_cond_destroy(&s->nonzero);
    pthread_mutex_destroy(&s->lock);
}

bool sem_wait(Sem *s) {
    if (pthread_mutex_lock(&s->lock) != 0) return false;
    bool ok = true;
    while (ok && s->count == 0) ok = pthread_cond_wait(&s->nonzero, &s->lock) == 0;
    if (ok) --s->count;
    pthread_mutex_unlock(&s->lock);
    return ok;
}

Post sem_post(Sem *s) {
    if (pthread_mutex_lock(&s->lock) != 0) return Post::failed;
    Post result = Post::full;
    if (s->count < s->maximum) {
        ++s->count;
        pthread_cond_signal(&s->nonzero);
        result = Post::posted;
    }
    pthread_mutex_unlock(&s->lock);
    return result;
}

void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__) || defined(__arm__)
    __asm__ __volatile__("yield");
#endif
}

}  // namespace rk::os
