// SPDX-License-Identifier: Apache-2.0
// Layouts of the lock objects on POSIX systems (see os.h).
#ifndef RK_PLATFORM_OS_POSIX_TYPES_H
#define RK_PLATFORM_OS_POSIX_TYPES_H

#include <pthread.h>

#include <cstdint>

namespace rk::os {

struct Mutex {
    pthread_mutex_t native;
};
struct RwLock {
    pthread_rwlock_t native;
};
struct Cond {
    pthread_cond_t native;
};
// POSIX semaphores have no maximum count, so the semaphore is a counter
// guarded by a mutex with a condition for waiters.
struct Sem {
    pthread_mutex_t lock;
    pthread_cond_t nonzero;
    int32_t count;
    int32_t maximum;
};

}  // namespace rk::os

#endif
