// SPDX-License-Identifier: Apache-2.0
// Layouts of the lock objects on Windows (see os.h). The kernel32 records
// are held as opaque, suitably aligned storage so that <windows.h> and its
// macros stay inside the *_win.cpp files; sync_win.cpp checks the sizes.
#ifndef RK_PLATFORM_OS_WIN32_TYPES_H
#define RK_PLATFORM_OS_WIN32_TYPES_H

#include <cstdint>

namespace rk::os {

// A CRITICAL_SECTION (40 bytes on x64): recursive by nature.
struct Mutex {
    alignas(8) unsigned char native[40];
};
// An SRWLOCK releases shared and exclusive holds by different calls, so the
// lock remembers whether a writer holds it: while one does no reader can.
struct RwLock {
    void *native;
    volatile long writer;
};
// A CONDITION_VARIABLE.
struct Cond {
    void *native;
};
// An unnamed kernel semaphore handle; the kernel keeps the maximum.
struct Sem {
    void *handle;
};

}  // namespace rk::os

#endif
