// Descriptor I/O on POSIX systems.
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/fd_io.h"

namespace rk::fdio {
namespace {

// Write calls left before the injected failure; 0 = no failure planned.
uint64_t g_writes_until_failure = 0;
bool g_failing = false;

bool injected_failure_now() {
    if (g_failing) return true;
    if (g_writes_until_failure == 0) return false;
    if (--g_writes_until_failure == 0) g_failing = true;
    return g_failing;
}

}  // namespace

int open_read(const char *path) {
    if (!path) return -1;
    int fd;
    do {
        fd = ::open(path, O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

int open_create_rw(const char *path, unsigned perm) {
    if (!path) return -1;
    int fd;
    do {
        fd = ::open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, static_cast<mode_t>(perm));
    } while (fd < 0 && errno == EINTR);
    return fd;
}

int64_t read(int fd, void *buf, size_t n) {
    auto *p = static_cast<unsigned char *>(buf);
    size_t done = 0;
    while (done < n) {
        const ssize_t r = ::read(fd, p + done, n - done);
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (r == 0) break;
        done += static_cast<size_t>(r);
    }
    return static_cast<int64_t>(done);
}

int64_t write(int fd, const void *buf, size_t n) {
    if (injected_failure_now()) return 0;
    const auto *p = static_cast<const unsigned char *>(buf);
    size_t done = 0;
    while (done < n) {
        const ssize_t w = ::write(fd, p + done, n - done);
        if (w < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (w == 0) break;
        done += static_cast<size_t>(w);
    }
    return static_cast<int64_t>(done);
}

int64_t seek(int fd, int64_t offset, Whence whence) {
    const int w = whence == Whence::set ? SEEK_SET : whence == Whence::current ? SEEK_CUR : SEEK_END;
    return static_cast<int64_t>(::lseek(fd, static_cast<off_t>(offset), w));
}

int64_t size(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return -1;
    return static_cast<int64_t>(st.st_size);
}

int sync(int fd) { return ::fsync(fd) == 0 ? 0 : -1; }

int close(int fd) { return ::close(fd) == 0 ? 0 : -1; }

void inject_write_failure(uint64_t nth) {
    g_writes_until_failure = nth;
    g_failing = false;
}

}  // namespace rk::fdio
