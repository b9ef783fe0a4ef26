// SPDX-License-Identifier: Apache-2.0
// Mutexes, reader/writer locks, condition variables and semaphores on
// kernel32: critical sections, slim reader/writer locks, condition
// variables waited with SleepConditionVariableCS, and kernel semaphores.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "platform/os.h"

namespace rk::os {

static_assert(sizeof(Mutex::native) == sizeof(CRITICAL_SECTION), "critical section storage");
static_assert(alignof(Mutex) >= alignof(CRITICAL_SECTION), "critical section alignment");
static_assert(sizeof(RwLock::native) == sizeof(SRWLOCK), "SRW lock storage");
static_assert(sizeof(Cond::native) == sizeof(CONDITION_VARIABLE), "condition variable storage");
static_assert(sizeof(Sem::handle) == sizeof(HANDLE), "semaphore handle");

namespace {

CRITICAL_SECTION *cs(Mutex *m) { return reinterpret_cast<CRITICAL_SECTION *>(m->native); }
SRWLOCK *srw(RwLock *l) { return reinterpret_cast<SRWLOCK *>(&l->native); }
CONDITION_VARIABLE *cv(Cond *c) { return reinterpret_cast<CONDITION_VARIABLE *>(&c->native); }

}  // namespace

// InitializeCriticalSection cannot fail on any Windows this library runs on.
bool mutex_init(Mutex *m) {
    InitializeCriticalSection(cs(m));
    return true;
}

void mutex_destroy(Mutex *m) { DeleteCriticalSection(cs(m)); }

bool mutex_lock(Mutex *m) {
    EnterCriticalSection(cs(m));
    return true;
}

Try mutex_trylock(Mutex *m) { return TryEnterCriticalSection(cs(m)) ? Try::acquired : Try::busy; }

bool mutex_unlock(Mutex *m) {
    LeaveCriticalSection(cs(m));
    return true;
}

// Slim reader/writer locks queue new readers behind a waiting writer
// already, so searches cannot starve inserts.
bool rwlock_init(RwLock *l) {
    InitializeSRWLock(srw(l));
    l->writer = 0;
    return true;
}

void rwlock_destroy(RwLock *) {}

bool rwlock_rdlock(RwLock *l) {
    AcquireSRWLockShared(srw(l));
    return true;
}

bool rwlock_wrlock(RwLock *l) {
    AcquireSRWLockExclusive(srw(l));
    InterlockedExchange(&l->writer, 1);
    return true;
}

bool rwlock_unlock(RwLock *l) {
    // Only the writer can see the flag set: readers are excluded while it is.
    if (InterlockedCompareExchange(&l->writer, 0, 1) == 1) {
        ReleaseSRWLockExclusive(srw(l));
    } else {
        ReleaseSRWLockShared(srw(l));
    }
    return true;
}

bool cond_init(Cond *c) {
    InitializeConditionVariable(cv(c));
    return true;
}

void cond_destroy(Cond *) {}

bool cond_signal(Cond *c) {
    WakeConditionVariable(cv(c));
    return true;
}

bool cond_broadcast(Cond *c) {
    WakeAllConditionVariable(cv(c));
    return true;
}

// kNoTimeout is INFINITE. Waits are timed by the system's tick count, which
// a change of the calendar clock does not move.
Wait cond_wait(Cond *c, Mutex *m, uint32_t timeout_ms) {
    static_assert(kNoTimeout == INFINITE, "the unlimited wait is INFINITE");
    if (timeout_ms == kNoTimeout) return SleepConditionVariableCS(cv(c), cs(m), INFINITE) ? Wait::woken : Wait::failed;
    // The system may end a timed sleep up to a scheduler tick early; a wait
    // that reports a timeout must have lasted its whole timeout, so the rest
    // is waited again against the performance counter.
    LARGE_INTEGER freq, start, now;
    QueryPerformanceFrequency(&freq);
    QueryPerformanceCounter(&start);
    uint32_t left = timeout_ms;
    for (;;) {
        if (SleepConditionVariableCS(cv(c), cs(m), left)) return Wait::woken;
        if (GetLastError() != ERROR_TIMEOUT) return Wait::failed;
        QueryPerformanceCounter(&now);
        const uint64_t elapsed = static_cast<uint64_t>(now.QuadPart - start.QuadPart) * 1000u /
                                 static_cast<uint64_t>(freq.QuadPart);
        if (elapsed >= timeout_ms) return Wait::timed_out;
        left = timeout_ms - static_cast<uint32_t>(elapsed);
    }
}

bool sem_init(Sem *s, int32_t initial, int32_t maximum) {
    s->handle = CreateSemaphoreA(nullptr, initial, maximum, nullptr);
    return s->handle != nullptr;
}

void sem_destroy(Sem *s) {
    if (s->handle) CloseHandle(s->handle);
    s->handle = nullptr;
}

bool sem_wait(Sem *s) { return WaitForSingleObject(s->handle, INFINITE) == WAIT_OBJECT_0; }

Post sem_post(Sem *s) {
    if (ReleaseSemaphore(s->handle, 1, nullptr)) return Post::posted;
    return GetLastError() == ERROR_TOO_MANY_POSTS ? Post::full : Post::failed;
}

void cpu_relax() { YieldProcessor(); }

}  // namespace rk::os
