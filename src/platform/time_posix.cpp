// SPDX-License-Identifier: Apache-2.0
// Clocks, sleeping and system information on POSIX systems.
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "platform/os.h"

namespace rk::os {

int64_t wall_seconds() { return static_cast<int64_t>(std::time(nullptr)); }

int64_t wall_ms() {
    timespec ts{};
    if (clock_gettime(CLOCK_REALTIME, &ts) != 0) return wall_seconds() * 1000;
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

uint64_t monotonic_ms() {
    timespec ts{};
#if defined(CLOCK_BOOTTIME)
    // Counts time spent suspended too, as "since the system started" implies.
    if (clock_gettime(CLOCK_BOOTTIME, &ts) != 0)
#endif
        clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

void sleep_ms(uint32_t ms) {
    timespec left{static_cast<time_t>(ms / 1000u), static_cast<long>(ms % 1000u) * 1000000L};
    // A signal cuts the sleep short; carry on with what remains.
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

int page_size() {
    const long n = sysconf(_SC_PAGESIZE);
    return n > 0 ? static_cast<int>(n) : 4096;
}

bool local_time(int64_t seconds, LocalTime *out) {
    *out = LocalTime{};
    const time_t t = static_cast<time_t>(seconds);
    tm parts{};
    if (localtime_r(&t, &parts) == nullptr) return false;
    *out = LocalTime{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
                     parts.tm_hour,        parts.tm_min,     parts.tm_sec};
    return true;
}

}  // namespace rk::os
