// SPDX-License-Identifier: Apache-2.0
// Lock objects: argument checks, storage and status codes over the
// operating-system layer in os.h.
#include <atomic>
#include <new>

#include "platform/os.h"
#include "rk_error.h"
#include "rk_memory.h"
#include "rk_platform.h"

// Each object remembers whether its storage came from the hooks, so destroy
// can hand it back; arena storage stays until its arena goes.
struct rk_mutex {
    rk::os::Mutex os;
    bool hook_owned;
};
struct rk_rwlock {
    rk::os::RwLock os;
    bool hook_owned;
};
struct rk_cond {
    rk::os::Cond os;
    bool hook_owned;
};
struct rk_sem {
    rk::os::Sem os;
};
struct rk_spinlock {
    std::atomic<uint32_t> word;  // 0 free, 1 held
    bool hook_owned;
};

namespace {

// Arena pieces are 8-byte aligned; nothing here may need more.
template <class T>
T *allocate_object(rk_arena_t *arena) {
    static_assert(alignof(T) <= 8, "arena pieces are 8-byte aligned");
    void *p = arena ? rk_arena_alloc(arena, sizeof(T)) : rk_alloc(sizeof(T));
    if (!p) return nullptr;
    T *object = ::new (p) T{};
    object->hook_owned = arena == nullptr;
    return object;
}

template <class T>
void release_object(T *object) {
    const bool hook_owned = object->hook_owned;
    object->~T();
    if (hook_owned) rk_free(object);
}

// Allocates T and runs init on its OS part; *out receives the object or null.
template <class T, class Init>
rk_status_t create_object(rk_arena_t *arena, T **out, Init init) {
    if (!out) return RK_ERR_INVALID_ARG;
    *out = nullptr;
    T *object = allocate_object<T>(arena);
    if (!object) return RK_ERR_NO_MEMORY;
    if (!init(&object->os)) {
        release_object(object);
        return RK_ERR_UNKNOWN;
    }
    *out = object;
    return RK_OK;
}

rk_status_t status_of(bool ok) { return ok ? RK_OK : RK_ERR_UNKNOWN; }

}  // namespace

extern "C" {

// ---- mutex ----

RK_API rk_status_t rk_mutex_create(rk_arena_t *arena, const void *, rk_mutex_t **out) {
    return create_object(arena, out, rk::os::mutex_init);
}

RK_API void rk_mutex_destroy(rk_mutex_t *m) {
    if (!m) return;
    rk::os::mutex_destroy(&m->os);
    release_object(m);
}

RK_API rk_status_t rk_mutex_lock(rk_mutex_t *m) {
    if (!m) return RK_ERR_INVALID_ARG;
    return status_of(rk::os::mutex_lock(&m->os));
}

RK_API rk_status_t rk_mutex_trylock(rk_mutex_t *m) {
    if (!m) return RK_ERR_INVALID_ARG;
    switch (rk::os::mutex_trylock(&m->os)) {
        case rk::os::Try::acquired:
            return RK_OK;
        case rk::os::Try::busy:
            return RK_ERR_BUSY;
        default:
            return RK_ERR_UNKNOWN;
    }
}

RK_API rk_status_t rk_mutex_unlock(rk_mutex_t *m) {
    if (!m) return RK_ERR_INVALID_ARG;
    return status_of(rk::os::mutex_unlock(&m->os));
}

// ---- reader/writer lock ----

RK_API rk_status_t rk_rwlock_create(rk_arena_t *arena, const void *, rk_rwlock_t **out) {
    return create_object(arena, out, rk::os::rwlock_init);
}

RK_API void rk_rwlock_destroy(rk_rwlock_t *l) {
    if (!l) return;
    rk::os::rwlock_destroy(&l->os);
    release_object(l);
}

RK_API rk_status_t rk_rwlock_rdlock(rk_rwlock_t *l) {
    if (!l) return RK_ERR_INVALID_ARG;
    return status_of(rk::os::rwlock_rdlock(&l->os));
}

RK_API rk_status_t rk_rwlock_rdunlock(rk_rwlock_t *l) {
    if (!l) return RK_ERR_INVALID_ARG;
    return status_of(rk::os::rwlock_unlock(&l->os));
}

RK_API rk_status_t rk_rwlock_wrlock(rk_rwlock_t *l) {
    if (!l) return RK_ERR_INVALID_ARG;
    return status_of(rk::os::rwlock_wrlock(&l->os));
}

RK_API rk_status_t rk_rwlock_wrunlock(rk_rwlock_t *l) {
    if (!l) return RK_ERR_INVALID_ARG;
    return status_of(rk::os::rwlock_unlock(&l->os));
}

RK_API rk_status_t rk_rwlock_tryrdlock(rk_rwlock_t *l) {
    return l ? RK_ERR_NOT_SUPPORTED : RK_ERR_INVALID_ARG;
}

RK_API rk_status_t rk_rwlock_trywrlock(rk_rwlock_t *l) {
    return l ? RK_ERR_NOT_SUPPORTED : RK_ERR_INVALID_ARG;
}

// ---- condition variable ----

RK_API rk_status_t rk_cond_create(rk_arena_t *arena, rk_cond_t **out) {
    return create_object(arena, out, rk::os::cond_init);
}

RK_API void rk_cond_destroy(rk_cond_t *c) {
    if (!c) return;
    rk::os::cond_destroy(&c->os);
    release_object(c);
}

RK_API rk_status_t rk_cond_signal(rk_cond_t *c) {
    if (!c) return RK_ERR_INVALID_ARG;
    return status_of(rk::os::cond_signal(&c->os));
}

RK_API rk_status_t rk_cond_broadcast(rk_cond_t *c) {
    if (!c) return RK_ERR_INVALID_ARG;
    return status_of(rk::os::cond_broadcast(&c->os));
}

RK_API rk_status_t rk_cond_timedwait(rk_cond_t *c, rk_mutex_t *m, uint32_t timeout_ms) {
    if (!c || !m) return RK_ERR_INVALID_ARG;
    switch (rk::os::cond_wait(&c->os, &m->os, timeout_ms)) {
        case rk::os::Wait::woken:
            return RK_OK;
        case rk::os::Wait::timed_out:
            return RK_ERR_TIMEOUT;
        default:
            return RK_ERR_UNKNOWN;
    }
}

RK_API rk_status_t rk_cond_wait(rk_cond_t *c, rk_mutex_t *m) {
    return rk_cond_timedwait(c, m, rk::os::kNoTimeout);
}

// ---- semaphore ----

RK_API rk_status_t rk_sem_create(rk_arena_t *, int32_t initial_count, int32_t maximum_count, rk_sem_t **out) {
    if (!out) return RK_ERR_INVALID_ARG;
    *out = nullptr;
    if (maximum_count < 1 || initial_count < 0 || initial_count > maximum_count) {
        return RK_ERR_UNKNOWN;
    }
    void *p = rk_alloc(sizeof(rk_sem));
    if (!p) return RK_ERR_NO_MEMORY;
    rk_sem *s = ::new (p) rk_sem{};
    if (!rk::os::sem_init(&s->os, initial_count, maximum_count)) {
        rk_free(s);
        return RK_ERR_UNKNOWN;
    }
    *out = s;
    return RK_OK;
}

RK_API void rk_sem_destroy(rk_sem_t *s) {
    if (!s) return;
    rk::os::sem_destroy(&s->os);
    rk_free(s);
}

RK_API rk_status_t rk_sem_wait(rk_sem_t *s) {
    if (!s) return RK_ERR_INVALID_ARG;
    return status_of(rk::os::sem_wait(&s->os));
}

RK_API rk_status_t rk_sem_post(rk_sem_t *s) {
    if (!s) return RK_ERR_INVALID_ARG;
    return rk::os::sem_post(&s->os) == rk::os::Post::posted ? RK_OK : RK_ERR_UNKNOWN;
}

// ---- spin lock ----

RK_API rk_status_t rk_spinlock_create(rk_arena_t *arena, const void *, rk_spinlock_t **out) {
    if (!out) return RK_ERR_INVALID_ARG;
    rk_spinlock *s = allocate_object<rk_spinlock>(arena);
    if (!s) return RK_ERR_NO_MEMORY;
    s->word.store(0, std::memory_order_relaxed);
    *out = s;
    return RK_OK;
}

RK_API void rk_spinlock_destroy(rk_spinlock_t *s) {
    if (!s) return;
    s->word.store(0, std::memory_order_seq_cst);
    release_object(s);
}

RK_API rk_status_t rk_spinlock_trylock(rk_spinlock_t *s) {
    if (!s) return RK_ERR_INVALID_ARG;
    uint32_t expected = 0;
    return s->word.compare_exchange_strong(expected, 1, std::memory_order_seq_cst) ? RK_OK : RK_ERR_BUSY;
}

RK_API rk_status_t rk_spinlock_lock(rk_spinlock_t *s) {
    if (!s) return RK_ERR_INVALID_ARG;
    for (;;) {
        uint32_t expected = 0;
        if (s->word.compare_exchange_strong(expected, 1, std::memory_order_seq_cst)) return RK_OK;
        rk::os::cpu_relax();
    }
}

RK_API rk_status_t rk_spinlock_unlock(rk_spinlock_t *s) {
    if (!s) return RK_ERR_INVALID_ARG;
    s->word.exchange(0, std::memory_order_seq_cst);
    return RK_OK;
}

// ---- scoped lock ----

RK_API rk_status_t rk_autolock_init(rk_autolock_t *holder, rk_mutex_t *m) {
    if (!holder || !m) return RK_ERR_INVALID_ARG;
    holder->mutex = m;
    return rk_mutex_lock(m);
}

RK_API void rk_autolock_cleanup(rk_autolock_t *holder) {
    if (!holder || !holder->mutex) return;
    rk_mutex_unlock(holder->mutex);
    holder->mutex = nullptr;
}

}  // extern "C"
