// SPDX-License-Identifier: Apache-2.0
// Time, sleeping, page size and the small process helpers.
#include <climits>
#include <cstdlib>

#include "platform/os.h"
#include "rk_error.h"
#include "rk_platform.h"

extern "C" {

RK_API int64_t rk_time_now(void) { return rk::os::wall_seconds(); }

RK_API uint64_t rk_time_now_ms(void) { return rk::os::monotonic_ms(); }

RK_API int64_t rk_time_diff(int64_t start, int64_t end) {
    // Unsigned arithmetic wraps where signed subtraction would overflow.
    return static_cast<int64_t>(static_cast<uint64_t>(end) - static_cast<uint64_t>(start));
}

RK_API void rk_sleep(uint32_t ms) { rk::os::sleep_ms(ms); }

RK_API int rk_platform_get_page_size(void) { return rk::os::page_size(); }

RK_API rk_status_t rk_platform_init(void) { return RK_OK; }

RK_API void rk_platform_shutdown(void) {}

RK_API int rk_abs(int x) { return x == INT_MIN ? x : (x < 0 ? -x : x); }

RK_API void rk_exit(int status) { std::exit(status); }

}  // extern "C"
