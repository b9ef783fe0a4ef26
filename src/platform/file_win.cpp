// SPDX-License-Identifier: Apache-2.0
// Windows implementation of the file layer (file_os.h): the C runtime's
// descriptor I/O for files, kernel32 for positioned I/O, replacement,
// directory search and mapping.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/file_os.h"

namespace rk::os {

namespace {

// Maps the last kernel32 failure onto errno, for callers that test it.
void set_errno_from_last_error() {
    switch (GetLastError()) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            errno = ENOENT;
            break;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            errno = EACCES;
            break;
        case ERROR_ALREADY_EXISTS:
        case ERROR_FILE_EXISTS:
            errno = EEXIST;
            break;
        default:
            errno = EIO;
    }
}

HANDLE os_handle(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

// One ReadFile or WriteFile at an absolute offset: positioned I/O needs no
// seek, so threads sharing a descriptor do not move each other's position.
template <bool kWrite>
int64_t transfer_at(int fd, uint64_t offset, void *buffer, size_t size) {
    if (offset > static_cast<uint64_t>(INT64_MAX)) return -1;
    HANDLE h = os_handle(fd);
    if (h == INVALID_HANDLE_VALUE) return -1;
    auto *p = static_cast<unsigned char *>(buffer);
    size_t done = 0;
    while (done < size) {
        const size_t left = size - done;
        const DWORD chunk = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
        const uint64_t at = offset + done;
        OVERLAPPED ov{};
        ov.Offset = static_cast<DWORD>(at);
        ov.OffsetHigh = static_cast<DWORD>(at >> 32);
        DWORD n = 0;
        BOOL ok;
        if constexpr (kWrite) {
            ok = WriteFile(h, p + done, chunk, &n, &ov);
        } else {
            ok = ReadFile(h, p + done, chunk, &n, &ov);
        }
        if (!ok) {
            if (!kWrite && GetLastError() == ERROR_HANDLE_EOF) break;
            set_errno_from_last_error();
            return -1;
        }
        if (n == 0) {
            if (kWrite) return -1;
            break;
        }
        done += n;
    }
    return static_cast<int64_t>(done);
}

// Searchable directory paths are at most this long.
constexpr size_t kSearchPathMax = 256;

}  // namespace

// The file is opened by kernel32 with every sharing mode, deletion
// included, so that (as on POSIX systems) a file may be removed or replaced
// while a descriptor is open on it; the C runtime then wraps the handle in a
// binary descriptor, which child processes do not inherit.
int open_file(const char *path, OpenMode mode) {
    if (!path) return -1;
    const int flags = open_flags(mode);
    const int rw = flags & (_O_RDONLY | _O_WRONLY | _O_RDWR);
    const DWORD access = rw == _O_RDONLY ? GENERIC_READ : rw == _O_WRONLY ? GENERIC_WRITE : GENERIC_READ | GENERIC_WRITE;
    const DWORD disposition = (flags & _O_CREAT) ? ((flags & _O_TRUNC) ? CREATE_ALWAYS : OPEN_ALWAYS) : OPEN_EXISTING;
    HANDLE h = CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, disposition,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        set_errno_from_last_error();
        return -1;
    }
    // Backup semantics open directories too; a file is wanted here (a
    // directory where a catalog belongs must fail as on POSIX, not read as
    // an empty file).
    BY_HANDLE_FILE_INFORMATION about;
    if (GetFileInformationByHandle(h, &about) && (about.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        CloseHandle(h);
        errno = EISDIR;
        return -1;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), (flags & (_O_APPEND | _O_RDONLY)));
    if (fd < 0) CloseHandle(h);
    return fd;
}

int close_file(int fd) { return fd < 0 ? -1 : _close(fd); }

int64_t read_some(int fd, void *buffer, size_t size) {
    const unsigned n = size > 0x40000000u ? 0x40000000u : static_cast<unsigned>(size);
    return _read(fd, buffer, n);
}

int64_t read_at(int fd, uint64_t offset, void *buffer, size_t size) {
    return transfer_at<false>(fd, offset, buffer, size);
}

int64_t write_all(int fd, const void *data, size_t size) {
    if (fault_hit(Fault::write)) return -1;
    const auto *p = static_cast<const unsigned char *>(data);
    size_t done = 0;
    while (done < size) {
        const size_t left = size - done;
        const unsigned chunk = left > 0x40000000u ? 0x40000000u : static_cast<unsigned>(left);
        const int n = _write(fd, p + done, chunk);
        if (n <= 0) return -1;
        done += static_cast<size_t>(n);
    }
    return static_cast<int64_t>(done);
}

int64_t write_at(int fd, uint64_t offset, const void *data, size_t size) {
    if (offset > static_cast<uint64_t>(INT64_MAX)) return -1;
    if (fault_hit(Fault::write)) return -1;
    return transfer_at<true>(fd, offset, const_cast<void *>(data), size);
}

int64_t seek(int fd, int64_t offset, Whence whence) {
    const int w = whence == Whence::start ? SEEK_SET : whence == Whence::current ? SEEK_CUR : SEEK_END;
    return _lseeki64(fd, offset, w);
}

int sync_fd(int fd) {
    if (fault_hit(Fault::sync)) return -1;
    return _commit(fd);
}

int truncate_fd(int fd, uint64_t size) {
    if (size > static_cast<uint64_t>(INT64_MAX)) return -1;
    if (fault_hit(Fault::truncate)) return -1;
    return _chsize_s(fd, static_cast<__int64>(size)) == 0 ? 0 : -1;
}

int64_t size_fd(int fd) { return _filelengthi64(fd); }

int stat_path(const char *path, PathInfo *info, bool follow_links) {
    *info = PathInfo{0, 0, 0, 0, 0};
    if (!path) return -1;
    struct _stat64 st;
    if (_stat64(path, &st) != 0) return -1;
    info->exists = 1;
    // A symbolic link or junction is described itself, never its target,
    // when links are not to be followed.
    const DWORD attributes = follow_links ? INVALID_FILE_ATTRIBUTES : GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return 0;
    info->is_directory = (st.st_mode & _S_IFMT) == _S_IFDIR ? 1 : 0;
    info->is_regular = (st.st_mode & _S_IFMT) == _S_IFREG ? 1 : 0;
    info->size = static_cast<int64_t>(st.st_size);
    info->mtime = static_cast<int64_t>(st.st_mtime);
    return 0;
}

// Windows directories carry no permission bits.
int make_dir(const char *path, unsigned) { return path ? _mkdir(path) : -1; }

bool last_error_was_exists() { return errno == EEXIST; }

// LockFileEx on the first byte of the lock file: the lock belongs to the
// handle, so a second handle of this process is refused as well, and it
// ends when the handle is closed or the process exits.
Lock lock_file(const char *path, int *fd) {
    *fd = -1;
    if (!path) return Lock::failed;
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        set_errno_from_last_error();
        return Lock::failed;
    }
    OVERLAPPED at{};
    if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        const DWORD cause = GetLastError();
        CloseHandle(h);
        if (cause == ERROR_LOCK_VIOLATION || cause == ERROR_IO_PENDING) return Lock::busy;
        SetLastError(cause);
        set_errno_from_last_error();
        return Lock::failed;
    }
    const int d = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDWR);
    if (d < 0) {
        UnlockFileEx(h, 0, 1, 0, &at);
        CloseHandle(h);
        errno = EMFILE;
        return Lock::failed;
    }
    *fd = d;
    return Lock::acquired;
}

void unlock_file(int fd) {
    if (fd < 0) return;
    const intptr_t raw = _get_osfhandle(fd);
    if (raw != -1) {
        OVERLAPPED at{};
        UnlockFileEx(reinterpret_cast<HANDLE>(raw), 0, 1, 0, &at);
    }
    _close(fd);
}
int remove_dir(const char *path) { return path ? _rmdir(path) : -1; }
int remove_file(const char *path) { return path ? _unlink(path) : -1; }

// The C runtime's rename refuses an existing target; replacing one is what
// every caller wants (a crash-safe save above all), and the write-through
// flag returns only once the move is on disk.
int rename_path(const char *from, const char *to) {
    if (!from || !to) return -1;
    if (fault_hit(Fault::rename)) return -1;
    if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return 0;
    set_errno_from_last_error();
    return -1;
}

// A directory cannot be opened for flushing here; the write-through rename
// above already made the entry durable.
int sync_dir(const char *path) {
    if (!path) return -1;
    return fault_hit(Fault::sync) ? -1 : 0;
}

int current_dir(char *buffer, size_t size) {
    if (size > 0x7FFFFFFF) size = 0x7FFFFFFF;
    return _getcwd(buffer, static_cast<int>(size)) ? 0 : -1;
}

int full_path(const char *path, char *out, size_t size) {
    if (!path || size > 0xFFFFFFFFu) return -1;
    const DWORD n = GetFullPathNameA(path, static_cast<DWORD>(size), out, nullptr);
    return n > 0 && n < size ? 0 : -1;
}

int make_temp_file(char *template_path) {
    if (!template_path) return -1;
    const size_t n = std::strlen(template_path);
    if (n < 6 || std::strcmp(template_path + n - 6, "XXXXXX") != 0) return -1;
    static std::atomic<uint64_t> counter{0};
    static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    for (int attempt = 0; attempt < 1000; ++attempt) {
        uint64_t z = GetTickCount64() * 0x9E3779B97F4A7C15ull + GetCurrentProcessId() +
                     0xBF58476D1CE4E5B9ull * (counter.fetch_add(1) + 1);
        z ^= z >> 31;
        for (size_t i = 0; i < 6; ++i) {
            template_path[n - 6 + i] = kAlphabet[z % (sizeof kAlphabet - 1)];
            z /= sizeof kAlphabet - 1;
        }
        int fd = -1;
        if (_sopen_s(&fd, template_path, _O_RDWR | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT, _SH_DENYNO,
                     _S_IREAD | _S_IWRITE) == 0) {
            return fd;
        }
        if (errno != EEXIST) return -1;
    }
    return -1;
}

struct DirStream {
    HANDLE find;
    bool pending;  // data holds an entry not handed out yet
    WIN32_FIND_DATAA data;
};

DirStream *dir_open(const char *path) {
    if (!path) return nullptr;
    const size_t n = std::strlen(path);
    if (n > kSearchPathMax) return nullptr;
    // The search pattern: every '/' as '\', then "*" after a trailing
    // separator or "\*" otherwise.
    char pattern[kSearchPathMax + 3];
    for (size_t i = 0; i < n; ++i) pattern[i] = path[i] == '/' ? '\\' : path[i];
    size_t len = n;
    if (len == 0 || pattern[len - 1] != '\\') pattern[len++] = '\\';
    pattern[len++] = '*';
    pattern[len] = '\0';
    auto *s = static_cast<DirStream *>(std::malloc(sizeof(DirStream)));
    if (!s) return nullptr;
    s->find = FindFirstFileA(pattern, &s->data);
    if (s->find == INVALID_HANDLE_VALUE) {
        std::free(s);
        return nullptr;
    }
    s->pending = true;
    return s;
}

const char *dir_next(DirStream *dir) {
    if (!dir) return nullptr;
    for (;;) {
        if (!dir->pending && !FindNextFileA(dir->find, &dir->data)) return nullptr;
        dir->pending = false;
        const char *name = dir->data.cFileName;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        return name;
    }
}

void dir_close(DirStream *dir) {
    if (!dir) return;
    FindClose(dir->find);
    std::free(dir);
}

void *map_file(int fd, uint64_t size, bool writable) {
    if (size == 0 || size > static_cast<uint64_t>(SIZE_MAX)) return nullptr;
    if (fault_hit(Fault::map)) return nullptr;
    HANDLE h = os_handle(fd);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    HANDLE mapping = CreateFileMappingA(h, nullptr, writable ? PAGE_READWRITE : PAGE_READONLY,
                                        static_cast<DWORD>(size >> 32), static_cast<DWORD>(size), nullptr);
    if (!mapping) return nullptr;
    void *view = MapViewOfFile(mapping, writable ? FILE_MAP_WRITE : FILE_MAP_READ, 0, 0, static_cast<SIZE_T>(size));
    // The view keeps the mapping object alive; our handle to it can go.
    CloseHandle(mapping);
    return view;
}

int unmap_file(void *base, uint64_t) {
    if (!base) return -1;
    return UnmapViewOfFile(base) ? 0 : -1;
}

int flush_view(void *base, uint64_t size) {
    if (!base) return -1;
    if (fault_hit(Fault::sync)) return -1;
    if (size == 0) return 0;
    return FlushViewOfFile(base, static_cast<SIZE_T>(size)) ? 0 : -1;
}

}  // namespace rk::os
