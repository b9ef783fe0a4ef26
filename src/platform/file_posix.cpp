// SPDX-License-Identifier: Apache-2.0
// POSIX implementation of the file layer (file_os.h).
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/file_os.h"
#include "rk_error.h"

namespace rk::os {

int open_file(const char *path, OpenMode mode) {
    if (!path) return -1;
    int fd;
    do {
        fd = ::open(path, open_flags(mode) | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

int close_file(int fd) { return fd < 0 ? -1 : ::close(fd); }

int64_t read_some(int fd, void *buffer, size_t size) {
    ssize_t n;
    do {
        n = ::read(fd, buffer, size);
    } while (n < 0 && errno == EINTR);
    return n;
}

int64_t read_at(int fd, uint64_t offset, void *buffer, size_t size) {
    if (offset > static_cast<uint64_t>(INT64_MAX)) return -1;
    auto *p = static_cast<unsigned char *>(buffer);
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd, p + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return static_cast<int64_t>(done);
}

int64_t write_all(int fd, const void *data, size_t size) {
    if (fault_hit(Fault::write)) return -1;
    const auto *p = static_cast<const unsigned char *>(data);
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, p + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        done += static_cast<size_t>(n);
    }
    return static_cast<int64_t>(done);
}

int64_t write_at(int fd, uint64_t offset, const void *data, size_t size) {
    if (offset > static_cast<uint64_t>(INT64_MAX)) return -1;
    if (fault_hit(Fault::write)) return -1;
    const auto *p = static_cast<const unsigned char *>(data);
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pwrite(fd, p + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        done += static_cast<size_t>(n);
    }
    return static_cast<int64_t>(done);
}

int64_t seek(int fd, int64_t offset, Whence whence) {
    const int w = whence == Whence::start ? SEEK_SET : whence == Whence::current ? SEEK_CUR : SEEK_END;
    return ::lseek(fd, static_cast<off_t>(offset), w);
}

int sync_fd(int fd) {
    if (fault_hit(Fault::sync)) return -1;
    int r;
    do {
        r = ::fsync(fd);
    } while (r < 0 && errno == EINTR);
    return r;
}

int truncate_fd(int fd, uint64_t size) {
    if (size > static_cast<uint64_t>(INT64_MAX)) return -1;
    if (fault_hit(Fault::truncate)) return -1;
    int r;
    do {
        r = ::ftruncate(fd, static_cast<off_t>(size));
    } while (r < 0 && errno == EINTR);
    return r;
}

int64_t size_fd(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return -1;
    return static_cast<int64_t>(st.st_size);
}

int stat_path(const char *path, PathInfo *info, bool follow_links) {
    *info = PathInfo{0, 0, 0, 0, 0};
    struct stat st;
    if (!path) return -1;
    if ((follow_links ? ::stat(path, &st) : ::lstat(path, &st)) != 0) return -1;
    info->exists = 1;
    info->is_directory = S_ISDIR(st.st_mode) ? 1 : 0;
    info->is_regular = S_ISREG(st.st_mode) ? 1 : 0;
    info->size = static_cast<int64_t>(st.st_size);
    info->mtime = static_cast<int64_t>(st.st_mtime);
    return 0;
}

int make_dir(const char *path, unsigned mode) { return path ? ::mkdir(path, static_cast<mode_t>(mode)) : -1; }

bool last_error_was_exists() { return errno == EEXIST; }

Lock lock_file(const char *path, int *fd) {
    *fd = -1;
    if (!path) return Lock::failed;
    int d;
    do {
        d = ::open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    } while (d < 0 && errno == EINTR);
    if (d < 0) return Lock::failed;
    // flock locks belong to the open description, not the process: a second
    // handle of this process opening the file again is refused as well.
    int r;
    do {
        r = ::flock(d, LOCK_EX | LOCK_NB);
    } while (r < 0 && errno == EINTR);
    if (r != 0) {
        const int cause = errno;
        ::close(d);
        errno = cause;
        return cause == EWOULDBLOCK ? Lock::busy : Lock::failed;
    }
    *fd = d;
    return Lock::acquired;
}

void unlock_file(int fd) {
    if (fd < 0) return;
    (void)::flock(fd, LOCK_UN);
    ::close(fd);
}
int remove_dir(const char *path) { return path ? ::rmdir(path) : -1; }
int remove_file(const char *path) { return path ? ::unlink(path) : -1; }

int rename_path(const char *from, const char *to) {
    if (!from || !to) return -1;
    if (fault_hit(Fault::rename)) return -1;
    return ::rename(from, to);
}

int sync_dir(const char *path) {
    const int fd = open_file(path, OpenMode::read);
    if (fd < 0) return -1;
    const int r = sync_fd(fd);
    ::close(fd);
    return r;
}

int current_dir(char *buffer, size_t size) { return ::getcwd(buffer, size) ? 0 : -1; }

int make_temp_file(char *template_path) {
    if (!template_path) return -1;
    const int fd = ::mkostemp(template_path, O_CLOEXEC);
    // mkostemp creates 0600; a file that replaces another by rename must
    // carry the permissions every other file the library creates has.
    if (fd >= 0 && ::fchmod(fd, 0644) != 0) {
        ::close(fd);
        ::unlink(template_path);
        return -1;
    }
    return fd;
}

struct DirStream {
    DIR *dir;
};

DirStream *dir_open(const char *path) {
    if (!path) return nullptr;
    DIR *d = ::opendir(path);
    if (!d) return nullptr;
    auto *s = static_cast<DirStream *>(std::malloc(sizeof(DirStream)));
    if (!s) {
        ::closedir(d);
        return nullptr;
    }
    s->dir = d;
    return s;
}

const char *dir_next(DirStream *dir) {
    if (!dir) return nullptr;
    for (;;) {
        const struct dirent *e = ::readdir(dir->dir);
        if (!e) return nullptr;
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        return e->d_name;
    }
}

void dir_close(DirStream *dir) {
    if (!dir) return;
    ::closedir(dir->dir);
    std::free(dir);
}

void *map_file(int fd, uint64_t size, bool writable) {
    if (size == 0 || size > static_cast<uint64_t>(SIZE_MAX)) return nullptr;
    if (fault_hit(Fault::map)) return nullptr;
    const int prot = writable ? (PROT_READ | PROT_WRITE) : PROT_READ;
    void *p = ::mmap(nullptr, static_cast<size_t>(size), prot, MAP_SHARED, fd, 0);
    return p == MAP_FAILED ? nullptr : p;
}

int unmap_file(void *base, uint64_t size) {
    if (!base) return -1;
    return ::munmap(base, static_cast<size_t>(size));
}

int flush_view(void *base, uint64_t size) {
    if (!base) return -1;
    if (fault_hit(Fault::sync)) return -1;
    if (size == 0) return 0;
    return ::msync(base, static_cast<size_t>(size), MS_SYNC);
}

}  // namespace rk::os
