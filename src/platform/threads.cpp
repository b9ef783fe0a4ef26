// SPDX-License-Identifier: Apache-2.0
// Thread records: argument checks over the operating-system layer.
#include "platform/os.h"
#include "rk_error.h"
#include "rk_platform.h"

namespace rk {

void run_thread_record(rk_thread_t *record) {
    if (record && record->start) record->start(record->argument);
}

}  // namespace rk

extern "C" {

RK_API rk_status_t rk_thread_create(rk_thread_t *t, rk_thread_fn start, void *argument) {
    if (!t || !start) return RK_ERR_INVALID_ARG;
    t->handle = nullptr;
    t->start = start;
    t->argument = argument;
    return rk::os::thread_start(t) ? RK_OK : RK_ERR_UNKNOWN;
}

// The handle is cleared once released: joining or detaching a released
// pthread_t again would touch a thread that no longer exists.
RK_API rk_status_t rk_thread_join(rk_thread_t *t) {
    if (!t) return RK_ERR_INVALID_ARG;
    if (t->handle) {
        rk::os::thread_join(t->handle);
        t->handle = nullptr;
    }
    return RK_OK;
}

RK_API rk_status_t rk_thread_detach(rk_thread_t *t) {
    if (!t) return RK_ERR_INVALID_ARG;
    if (t->handle) {
        rk::os::thread_detach(t->handle);
        t->handle = nullptr;
    }
    return RK_OK;
}

RK_API uint64_t rk_thread_id(void) { return rk::os::thread_id(); }

}  // extern "C"
