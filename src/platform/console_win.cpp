// SPDX-License-Identifier: Apache-2.0
// Console output on Windows: WriteFile on the process's standard handles,
// which bypasses the C runtime's stream buffers.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "platform/console.h"

namespace rk::os {

bool console_write(ConsoleStream stream, const void *data, size_t n) {
    HANDLE h = GetStdHandle(stream == ConsoleStream::err ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    if (h == nullptr || h == INVALID_HANDLE_VALUE) return n == 0;
    const char *p = static_cast<const char *>(data);
    // A pipe may take a long request in parts: keep going until all is out.
    while (n > 0) {
        const DWORD chunk = n > 0x40000000u ? 0x40000000u : static_cast<DWORD>(n);
        DWORD written = 0;
        if (!WriteFile(h, p, chunk, &written, nullptr) || written == 0) return false;
        p += written;
        n -= written;
    }
    return true;
}

}  // namespace rk::os
