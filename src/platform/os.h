// The operating-system layer under the platform services. Everything above
// this header is portable; each concern has one implementation file per
// operating system beside it (time_posix.cpp, sync_posix.cpp,
// threads_posix.cpp), so another system only adds its own files.
#ifndef RK_PLATFORM_OS_H
#define RK_PLATFORM_OS_H

#include <cstdint>

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
    int year;    // e.g. 2024
    int month;   // 1..12
    int day;     // 1..31
    int hour;
    int minute;
    int second;
};
// False when the platform cannot convert the time (the fields are then zero).
bool local_time(int64_t seconds, LocalTime *out);

}  // namespace rk::os

#endif
