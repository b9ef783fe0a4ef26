// SPDX-License-Identifier: Apache-2.0
// Threads on POSIX: the handle word of a thread record holds the pthread_t.
#include <pthread.h>
#include <unistd.h>

#include <cstring>
#if defined(__linux__)
#include <sys/syscall.h>
#endif

#include "platform/os.h"
#include "rk_platform.h"

namespace rk::os {

namespace {

static_assert(sizeof(pthread_t) <= sizeof(void *), "a pthread_t fits the handle word");

void *native_entry(void *param) {
    run_thread_record(static_cast<rk_thread_t *>(param));
    return nullptr;
}

pthread_t from_handle(void *handle) {
    pthread_t tid{};
    std::memcpy(&tid, &handle, sizeof tid);
    return tid;
}

}  // namespace

bool thread_start(rk_thread_t *record) {
    pthread_t tid{};
    if (pthread_create(&tid, nullptr, native_entry, record) != 0) return false;
    void *handle = nullptr;
    std::memcpy(&handle, &tid, sizeof tid);
    record->handle = handle;
    return true;
}

void thread_join(void *handle) { pthread_join(from_handle(handle), nullptr); }

void thread_detach(void *handle) { pthread_detach(from_handle(handle)); }

uint64_t thread_id() {
#if defined(__linux__)
    return static_cast<uint32_t>(syscall(SYS_gettid));
#else
    // No 32-bit kernel id here: fold the thread handle instead.
    const pthread_t self = pthread_self();
    uint64_t h = 0;
    std::memcpy(&h, &self, sizeof self < sizeof h ? sizeof self : sizeof h);
    return static_cast<uint32_t>(h ^ (h >> 32));
#endif
}

}  // namespace rk::os
