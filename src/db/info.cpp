// SPDX-License-Identifier: Apache-2.0
// Version and build information.
#include <cstdio>
#include <mutex>

#include "rk_database.h"
#include "rk_error.h"

namespace {

#if defined(_WIN32)
constexpr const char kPlatform[] = "Windows";
#elif defined(__APPLE__)
constexpr const char kPlatform[] = "macOS";
#elif defined(__linux__)
constexpr const char kPlatform[] = "Linux";
#else
constexpr const char kPlatform[] = "Unknown";
#endif

#define RK_STR2_(x) #x
#define RK_STR_(x) RK_STR2_(x)
#if defined(__clang__)
constexpr const char kCompiler[] =
    "Clang " RK_STR_(__clang_major__) "." RK_STR_(__clang_minor__) "." RK_STR_(__clang_patchlevel__);
#elif defined(__GNUC__)
constexpr const char kCompiler[] =
    "GCC " RK_STR_(__GNUC__) "." RK_STR_(__GNUC_MINOR__) "." RK_STR_(__GNUC_PATCHLEVEL__);
#elif defined(_MSC_VER)
constexpr const char kCompiler[] = "MSVC";
#else
constexpr const char kCompiler[] = "Unknown";
#endif

constexpr const char kVersion[] = "Rakmo ZevUD 0.1.32";

char g_build_info[512];
int g_build_info_len = 0;
std::once_flag g_build_info_once;

}  // namespace

extern "C" {

RK_API rk_string_t rk_vecdb_version(void) { return rk_string_t{kVersion, sizeof(kVersion) - 1}; }

RK_API rk_string_t rk_vecdb_build_info(void) {
    std::call_once(g_build_info_once, [] {
        const int n = std::snprintf(g_build_info, sizeof g_build_info,
                                    "%s\nPlatform: %s\nCompiler: %s\nBuild Date: %s %s", kVersion, kPlatform,
                                    kCompiler, __DATE__, __TIME__);
        g_build_info_len =
            n < 0 ? 0
                  : (n >= static_cast<int>(sizeof g_build_info) ? static_cast<int>(sizeof g_build_info) - 1
                                                                : n);
    });
    return rk_string_t{g_build_info, static_cast<uint64_t>(g_build_info_len)};
}

RK_API const char *rk_vecdb_strerror(int status) { return rk_strerror(status); }

}  // extern "C"
