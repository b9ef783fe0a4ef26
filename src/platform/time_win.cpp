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

uint64_t monotonic_ms() { return GetTickCount64(); }

void sleep_ms(uint32_t ms) { Sleep(ms); }

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
