// SPDX-License-Identifier: Apache-2.0
// The operating-system layer under the file utilities and the storage
// engine: one internal interface, implemented once per OS (file_posix.cpp on
// POSIX systems). Callers above this layer never see errno, O_* flags or
// mapping calls.
//
// Every call that changes a file on disk (write, sync, truncate, rename,
// mapping) goes through a fault-injection seam so tests can make the Nth such
// call fail and check that the failure is reported and nothing is lost.
#ifndef RK_PLATFORM_FILE_OS_H
#define RK_PLATFORM_FILE_OS_H

#include <cstddef>
#include <cstdint>

#include "rk_common.h"
#include "rk_error.h"

namespace rk::os {

// How a descriptor is opened. Every descriptor is binary and close-on-exec;
// created files get mode 0644.
enum class OpenMode : int {
    read,               // read-only
    read_write,         // read-write, must exist
    write_trunc,        // write-only, create, truncate
    read_write_trunc,   // read-write, create, truncate
    write_append,       // write-only, create, every write appended
    read_write_create,  // read-write, create, keep contents
    write_create,       // write-only, create, keep contents
};

enum class Whence : int { start = 0, current = 1, end = 2 };

// Descriptor I/O. Results follow the POSIX calls: -1 on failure.
[[nodiscard]] int open_file(const char *path, OpenMode mode);
// The C runtime's open flags of a mode (file_common.cpp).
int open_flags(OpenMode mode);
int close_file(int fd);
// One read call, retried on EINTR: bytes read, 0 at end of file, -1 on error.
[[nodiscard]] int64_t read_some(int fd, void *buffer, size_t size);
// Reads at an absolute offset until size bytes arrived or end of file: the
// count read (short only at end of file), -1 on error.
[[nodiscard]] int64_t read_at(int fd, uint64_t offset, void *buffer, size_t size);
// Writes all bytes at the descriptor's position, retrying partial writes:
// size on success, -1 when any call failed (some bytes may have landed).
[[nodiscard]] int64_t write_all(int fd, const void *data, size_t size);
// Writes all bytes at an absolute offset, as write_all.
[[nodiscard]] int64_t write_at(int fd, uint64_t offset, const void *data, size_t size);
[[nodiscard]] int64_t seek(int fd, int64_t offset, Whence whence);
// Makes the file's data durable: 0 or -1.
[[nodiscard]] int sync_fd(int fd);
// Sets the file's size: 0 or -1.
[[nodiscard]] int truncate_fd(int fd, uint64_t size);
// The file's size, or -1.
[[nodiscard]] int64_t size_fd(int fd);

// Paths.
// Bytes of the longest path the library forms, its terminating NUL
// included: Windows' ANSI calls take at most MAX_PATH (260) characters.
#if defined(_WIN32)
constexpr size_t kPathMax = 260;
#else
constexpr size_t kPathMax = 1024;
#endif
struct PathInfo {
    int exists;        // 1 when the path could be examined
    int is_directory;  // 1 for a directory
    int is_regular;    // 1 for a regular file
    int64_t size;      // bytes
    int64_t mtime;     // seconds since 1970-01-01 UTC
};
// Fills *info (all zero when the path cannot be examined); 0 or -1. With
// follow_links false a symbolic link is described itself (neither a
// directory nor a regular file), never its target.
int stat_path(const char *path, PathInfo *info, bool follow_links = true);
// Creates a directory with the given permission bits (before the umask).
[[nodiscard]] int make_dir(const char *path, unsigned mode = 0755);
// 1 when the last failing call reported that the path already exists.
[[nodiscard]] bool last_error_was_exists();
[[nodiscard]] int remove_dir(const char *path);
[[nodiscard]] int remove_file(const char *path);
[[nodiscard]] int rename_path(const char *from, const char *to);
// Makes a directory's entries (a rename into it) durable: 0 or -1.
[[nodiscard]] int sync_dir(const char *path);
// The current directory into buffer (NUL-terminated); 0, or -1 when it fails
// or does not fit.
[[nodiscard]] int current_dir(char *buffer, size_t size);
// Windows only: the absolute form of path as the system resolves it
// (GetFullPathNameA) into buffer; 0, or -1 when it fails or does not fit.
// POSIX systems resolve lexically in file_path.cpp instead.
[[nodiscard]] int full_path(const char *path, char *buffer, size_t size);
// Creates and opens (read-write, exclusive, mode 0644) a file named by template,
// whose last six characters "XXXXXX" are replaced in place; fd or -1.
[[nodiscard]] int make_temp_file(char *template_path);

// Directory enumeration; "." and ".." are skipped here.
struct DirStream;
[[nodiscard]] DirStream *dir_open(const char *path);
// The next entry's name (valid until the next call), or null at the end.
const char *dir_next(DirStream *dir);
void dir_close(DirStream *dir);

// Memory mapping of a whole file, shared. Null on failure.
[[nodiscard]] void *map_file(int fd, uint64_t size, bool writable);
[[nodiscard]] int unmap_file(void *base, uint64_t size);
// Flushes the first size bytes of a view to the file: 0 or -1.
[[nodiscard]] int flush_view(void *base, uint64_t size);

// The status of the last failing call of this layer on this thread: a full
// disk or quota RK_ERR_DISK_FULL, a file-size limit RK_ERR_TOO_LARGE, a
// missing path RK_ERR_NOT_FOUND, refused access RK_ERR_PERMISSION, a
// symbolic link where none may be RK_ERR_PERMISSION, no memory
// RK_ERR_NO_MEMORY, anything else (injected faults too) RK_ERR_IO. Read it
// before any other call of this layer.
[[nodiscard]] rk_status_t last_error_status();
// For calls whose other failures keep RK_ERR_IO: RK_ERR_DISK_FULL when the
// last failure was a full disk or quota, else RK_ERR_IO.
[[nodiscard]] inline rk_status_t write_failure_status() {
    return last_error_status() == RK_ERR_DISK_FULL ? RK_ERR_DISK_FULL : RK_ERR_IO;
}

// Advisory whole-file locks, held on one open description of a lock file,
// so that two holders in one process exclude each other as two processes
// do. The lock ends with unlock_file or with the process.
enum class Lock : int { acquired, busy, failed };
// Opens (creating, never through a symbolic link) the file at path and takes
// its exclusive lock without waiting. *fd receives the descriptor when
// acquired, else -1; failed leaves last_error_status() set.
[[nodiscard]] Lock lock_file(const char *path, int *fd);
// Releases a lock taken by lock_file and closes its descriptor.
void unlock_file(int fd);

// Fault injection, for tests only. Each kind counts its calls; when armed
// with n, the nth call from now fails (as an I/O error) and the arming ends.
enum class Fault : int { write, sync, rename, truncate, map, count_ };
void fault_arm(Fault kind, uint64_t nth);
void fault_clear();
// Calls of this kind since the last fault_clear.
uint64_t fault_calls(Fault kind);
// For the OS implementations: counts one call of this kind and reports
// whether it must fail (errno is then EIO).
[[nodiscard]] bool fault_hit(Fault kind);

}  // namespace rk::os

namespace rk {

// Replaces the file at path with data, crash-safely: the bytes go to a
// temporary file in the same directory, which is synced once, renamed over
// path, and then the directory is synced. On any failure the temporary file is
// removed and path is left as it was. RK_OK, RK_ERR_INVALID_ARG (null path,
// or null data with a non-zero length), RK_ERR_NO_MEMORY, RK_ERR_IO.
[[nodiscard]] rk_status_t file_write_atomic(const char *path, const void *data, size_t length);

}  // namespace rk

#endif
