// Descriptor I/O: the small set of open/read/write/seek/sync/close calls the
// index files need, with the semantics of the C runtime's descriptor
// functions (raw bytes, no newline translation). One implementation per
// operating system lives beside this header; callers never see a platform
// type, only an int descriptor (-1 = none).
#ifndef RK_PLATFORM_FD_IO_H
#define RK_PLATFORM_FD_IO_H

#include <cstddef>
#include <cstdint>

namespace rk::fdio {

enum class Whence { set, current, end };

// Opens an existing file for reading; -1 on failure.
[[nodiscard]] int open_read(const char *path);

// Creates or truncates a file and opens it for reading and writing; perm are
// the permission bits of a new file (subject to the process mask). -1 on failure.
[[nodiscard]] int open_create_rw(const char *path, unsigned perm);

// Reads up to n bytes, retrying after interruptions and short reads until n
// bytes are in or the file ends. Returns the count read (less than n only at
// the end of the file), or -1 when the system call fails.
[[nodiscard]] int64_t read(int fd, void *buf, size_t n);

// Writes n bytes, retrying short writes. Returns the count written; less
// than n means the write failed part-way.
[[nodiscard]] int64_t write(int fd, const void *buf, size_t n);

// Moves the file position; the new position, or -1 on failure.
int64_t seek(int fd, int64_t offset, Whence whence);

// Size of the open file in bytes, or -1 on failure. The position is unchanged.
[[nodiscard]] int64_t size(int fd);

// Flushes the file's data to the device; 0 on success, -1 on failure.
int sync(int fd);

// Closes the descriptor; 0 on success, -1 on failure (the descriptor is gone either way).
int close(int fd);

// Test seam: the nth write from now (1 = the next one) and every later one
// fail as if the device were full, until called again with 0. Not for
// concurrent use; production code never calls it.
void inject_write_failure(uint64_t nth);

}  // namespace rk::fdio

#endif
