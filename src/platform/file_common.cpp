// SPDX-License-Identifier: Apache-2.0
// What the POSIX and Windows file layers share: the flags of each open mode
// (the Windows C runtime names them as POSIX does) and the status of a
// failure's errno (the Windows layer maps GetLastError onto errno first).
#include <fcntl.h>

#include <cerrno>

#include "platform/file_os.h"

namespace rk::os {

int open_flags(OpenMode mode) {
    switch (mode) {
        case OpenMode::read:
            return O_RDONLY;
        case OpenMode::read_write:
            return O_RDWR;
        case OpenMode::write_trunc:
            return O_WRONLY | O_CREAT | O_TRUNC;
        case OpenMode::read_write_trunc:
            return O_RDWR | O_CREAT | O_TRUNC;
        case OpenMode::write_append:
            return O_WRONLY | O_CREAT | O_APPEND;
        case OpenMode::read_write_create:
            return O_RDWR | O_CREAT;
        case OpenMode::write_create:
            return O_WRONLY | O_CREAT;
    }
    return O_RDONLY;
}

rk_status_t last_error_status() {
    switch (errno) {
        case ENOSPC:
#ifdef EDQUOT
        case EDQUOT:
#endif
            return RK_ERR_DISK_FULL;
        case EFBIG:
            return RK_ERR_TOO_LARGE;
        case ENOENT:
        case ENOTDIR:
            return RK_ERR_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EROFS:
        case ELOOP:  // a symbolic link where a file is opened without following
            return RK_ERR_PERMISSION;
        case ENOMEM:
            return RK_ERR_NO_MEMORY;
        default:
            return RK_ERR_IO;
    }
}

}  // namespace rk::os
