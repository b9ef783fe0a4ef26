// SPDX-License-Identifier: Apache-2.0
// Console output on POSIX systems: write(2) on descriptors 1 and 2.
#include <cerrno>

#include <unistd.h>

#include "platform/console.h"

namespace rk::os {

bool console_write(ConsoleStream stream, const void *data, size_t n) {
    const int fd = stream == ConsoleStream::err ? STDERR_FILENO : STDOUT_FILENO;
    const char *p = static_cast<const char *>(data);
    // A pipe or terminal may take a long request in parts, and a signal may
    // interrupt it before anything went out: keep going until it is all written.
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (w == 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

}  // namespace rk::os
