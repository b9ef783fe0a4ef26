// SPDX-License-Identifier: Apache-2.0
// Unbuffered console output: bytes go straight to the process's standard
// output or standard error descriptor, one system call per request (more
// only when the system accepts part of it), nothing held back in a stream.
#ifndef RK_PLATFORM_CONSOLE_H
#define RK_PLATFORM_CONSOLE_H

#include <cstddef>

namespace rk::os {

enum class ConsoleStream { out, err };

// Writes all n bytes; false when the system refuses them (n == 0 succeeds).
bool console_write(ConsoleStream stream, const void *data, size_t n);

}  // namespace rk::os

#endif
