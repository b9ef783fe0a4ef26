// SPDX-License-Identifier: Apache-2.0
// Threads on Windows: the handle word of a thread record holds the thread's
// kernel handle from CreateThread.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "platform/os.h"
#include "rk_platform.h"

namespace rk::os {

namespace {

DWORD WINAPI native_entry(LPVOID param) {
    run_thread_record(static_cast<rk_thread_t *>(param));
    return 0;
}

}  // namespace

bool thread_start(rk_thread_t *record) {
    HANDLE h = CreateThread(nullptr, 0, native_entry, record, 0, nullptr);
    if (!h) return false;
    record->handle = h;
    return true;
}

void thread_join(void *handle) {
    WaitForSingleObject(static_cast<HANDLE>(handle), INFINITE);
    CloseHandle(static_cast<HANDLE>(handle));
}

// The thread runs on; only our reference to it goes.
void thread_detach(void *handle) { CloseHandle(static_cast<HANDLE>(handle)); }

uint64_t thread_id() { return static_cast<uint64_t>(GetCurrentThreadId()); }

}  // namespace rk::os
