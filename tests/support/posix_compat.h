// SPDX-License-Identifier: Apache-2.0
// The few POSIX calls the tests use, for the Windows build (mingw-w64's C
// runtime has most of <unistd.h> and <sys/stat.h>, not these). On POSIX
// systems this header adds nothing.
#ifndef RK_TESTS_SUPPORT_POSIX_COMPAT_H
#define RK_TESTS_SUPPORT_POSIX_COMPAT_H

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#if defined(_WIN32)
#include <direct.h>

#include "rk_platform.h"

inline char *mkdtemp(char *tmpl) { return rk_file_mkdtemp(tmpl); }
inline int mkdir(const char *path, int) { return _mkdir(path); }
inline int setenv(const char *name, const char *value, int) { return _putenv_s(name, value); }
inline int unsetenv(const char *name) { return _putenv_s(name, ""); }
// No symbolic links to tell apart without privileges: stat describes all.
inline int lstat(const char *path, struct stat *st) { return stat(path, st); }
inline int symlink(const char *, const char *) {
    errno = ENOSYS;
    return -1;
}
// Tests that need what Windows lacks (fork, symbolic links) check this.
constexpr bool kPosixSystem = false;
#else
constexpr bool kPosixSystem = true;
#endif

#endif
