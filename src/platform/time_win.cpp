// SPDX-License-Identifier: Apache-2.0
// Clocks, sleeping and system information on Windows.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <ctime>

#include "platform/os.h"

namespace rk::os {

namespace {

// 100-nanosecond intervals from 1601-01-01 to 1970-01-01.
constexpr uint64_t kEpochDelta = 116444736000000000ull;

uint64_t filetime_now() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

}  // namespace

int64_t wall_seconds() { return static_cast<int64_t>(_time64(nullptr)); }

int64_t wall_ms() { return static_cast<int64_t>((filetime_now() - kEpochDelta) / 10000u); }

// The performance counter, not GetTickCount64: the tick count moves in
// steps of a scheduler tick (about 16 ms), too coarse to time a short sleep
// or a timed wait. Both count from system start and never go back.
uint64_t monotonic_ms() {
    LARGE_INTEGER freq, now;
    if (!QueryPerformanceFrequency(&freq) || !QueryPerformanceCounter(&now) || freq.QuadPart <= 0) {
        return GetTickCount64();
    }
    const uint64_t f = static_cast<uint64_t>(freq.QuadPart), t = static_cast<uint64_t>(now.QuadPart);
    return t / f * 1000u + t % f * 1000u / f;
}

// Sleep may end up to a scheduler tick early; sleep again for what is left.
void sleep_ms(uint32_t ms) {
    const uint64_t until = monotonic_ms() + ms;
    Sleep(ms);
    for (uint64_t now = monotonic_ms(); now < until; now = monotonic_ms()) Sleep(static_cast<DWORD>(until - now));
}

int page_size() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwPageSize > 0 ? static_cast<int>(info.dwPageSize) : 4096;
}

bool local_time(int64_t seconds, LocalTime *out) {
    *out = LocalTime{};
    const __time64_t t = static_cast<__time64_t>(seconds);
    tm parts{};
    if (_localtime64_s(&parts, &t) != 0) return false;
    *out = LocalTime{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
                     parts.tm_hour,        parts.tm_min,     parts.tm_sec};
    return true;
}

}  // namespace rk::os
