// SPDX-License-Identifier: Apache-2.0
// The one scratch file or directory of a fuzz target's process: on a memory
// file system where there is one (every input is written to it), and removed
// when the process exits normally, as a timed run does, so repeated runs
// leave nothing behind in /dev/shm or /tmp.
#ifndef RK_FUZZ_SCRATCH_H
#define RK_FUZZ_SCRATCH_H

#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

namespace fz {

inline bool make_at(char *path, bool directory) {
    if (directory) return mkdtemp(path) != nullptr;
    const int fd = mkstemp(path);
    return fd >= 0 && close(fd) == 0;
}

// The path, made on first use as "<base>/rk_<name>_XXXXXX"; null if neither
// place can hold it. The name lives in a plain array, not a string object,
// so it is still there when the exit handler runs.
inline const char *scratch(const char *name, bool directory) {
    static char path[256];
    static const bool made = [&] {
        for (const char *base : {"/dev/shm", "/tmp"}) {
            if (access(base, W_OK) != 0) continue;
            if (snprintf(path, sizeof path, "%s/rk_%s_XXXXXX", base, name) >= int(sizeof path)) return false;
            if (make_at(path, directory)) {
                atexit([] {
                    std::error_code ec;
                    std::filesystem::remove_all(path, ec);
                });
                return true;
            }
        }
        return false;
    }();
    return made ? path : nullptr;
}

}  // namespace fz

#endif
