// SPDX-License-Identifier: Apache-2.0
// The operating-system layer under the platform services. Everything above
// this header is portable; each concern has one implementation file per
// operating system beside it (time_posix.cpp, sync_posix.cpp,
// threads_posix.cpp), so another system only adds its own files.
#ifndef RK_PLATFORM_OS_H
#define RK_PLATFORM_OS_H

#include <cstdint>

#if defined(_WIN32)
#include "platform/os_win32_types.h"
#else
#include "platform/os_posix_types.h"
#endif

struct rk_thread_t;

namespace rk::os {

// ---- clocks, sleeping, system information (time_posix.cpp) ----

// Calendar seconds since 1970-01-01 UTC.
int64_t wall_seconds();
// Calendar milliseconds since 1970-01-01 UTC.
int64_t wall_ms();
// Milliseconds since the system started; never goes back.
uint64_t monotonic_ms();
// Suspends the calling thread for at least ms milliseconds.
void sleep_ms(uint32_t ms);
// Virtual-memory page size in bytes.
int page_size();

// Broken-down local time of a calendar second.
struct LocalTime {
    int year;   // e.g. 2024
    int month;  // 1..12
    int day;    // 1..31
    int hour;
    int minute;
    int second;
};
// False when the platform cannot convert the time (the fields are then zero).
bool local_time(int64_t seconds, LocalTime *out);

// ---- locks (sync_posix.cpp); layouts in os_<system>_types.h ----
// Functions returning bool report whether the OS call succeeded.

enum class Try { acquired, busy, failed };
enum class Wait { woken, timed_out, failed };
enum class Post { posted, full, failed };

// Recursive: the owner may lock again and unlocks as often.
bool mutex_init(Mutex *m);
void mutex_destroy(Mutex *m);
bool mutex_lock(Mutex *m);
Try mutex_trylock(Mutex *m);
bool mutex_unlock(Mutex *m);

bool rwlock_init(RwLock *l);
void rwlock_destroy(RwLock *l);
bool rwlock_rdlock(RwLock *l);
bool rwlock_wrlock(RwLock *l);
bool rwlock_unlock(RwLock *l);  // either mode

bool cond_init(Cond *c);
void cond_destroy(Cond *c);
bool cond_signal(Cond *c);
bool cond_broadcast(Cond *c);
// kNoTimeout waits without a limit.
constexpr uint32_t kNoTimeout = 0xFFFFFFFFu;
Wait cond_wait(Cond *c, Mutex *m, uint32_t timeout_ms);

// Counting semaphore with a maximum; the caller has checked
// 0 <= initial <= maximum and maximum >= 1.
bool sem_init(Sem *s, int32_t initial, int32_t maximum);
void sem_destroy(Sem *s);
bool sem_wait(Sem *s);
Post sem_post(Sem *s);

// The processor's spin-wait hint.
void cpu_relax();

// ---- threads (threads_posix.cpp) ----

// Starts a thread that runs run_thread_record(record); stores the handle in
// record->handle. False (handle untouched) when the OS refuses.
bool thread_start(rk_thread_t *record);
void thread_join(void *handle);
void thread_detach(void *handle);
uint64_t thread_id();

}  // namespace rk::os

namespace rk {
// What every new thread runs: the record's start routine, if any.
void run_thread_record(rk_thread_t *record);
}  // namespace rk

#endif
