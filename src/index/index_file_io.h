// SPDX-License-Identifier: Apache-2.0
// Buffered little-endian reading and writing of index files over the
// descriptor layer. The reader always knows how many bytes are left before
// its limit, so parsers can check every count taken from a file against what
// the file can really hold before they allocate anything for it.
#ifndef RK_INDEX_FILE_IO_H
#define RK_INDEX_FILE_IO_H

#include <cstddef>
#include <cstdint>

#include "core/alloc.h"
#include "rk_error.h"

namespace rk {

class FileWriter {
public:
    FileWriter() = default;
    FileWriter(const FileWriter &) = delete;
    FileWriter &operator=(const FileWriter &) = delete;
    ~FileWriter() { (void)close(); }

    // Creates or truncates path (permission bits 0644); false on failure.
    [[nodiscard]] bool open(const char *path);
    // Appends bytes; after the first failure every later call is ignored and
    // ok() stays false.
    void put(const void *data, size_t n);
    void put_u8(uint8_t v) { put(&v, 1); }
    void put_u32(uint32_t v);
    void put_u64(uint64_t v);
    void put_f32(float v);
    void put_f32s(const float *v, size_t n);
    // Writes what is buffered; false when any write so far fell short.
    [[nodiscard]] bool flush();
    [[nodiscard]] bool ok() const { return ok_; }
    // Flushes and closes; false when anything failed since open.
    [[nodiscard]] bool close();
    // Why the first failure since open happened (a full disk is
    // RK_ERR_DISK_FULL); RK_ERR_IO before open, RK_OK while nothing failed.
    [[nodiscard]] rk_status_t status() const { return cause_; }

private:
    // Records the OS's cause of a failure that just happened, once.
    void fail();

    static constexpr size_t kBuffer = 64 * 1024;
    rk_status_t cause_ = RK_ERR_IO;
    int fd_ = -1;
    HookPtr<unsigned char> buf_;
    size_t used_ = 0;
    bool ok_ = false;
};

class FileReader {
public:
    FileReader() = default;
    FileReader(const FileReader &) = delete;
    FileReader &operator=(const FileReader &) = delete;
    ~FileReader() { close(); }

    // Opens path for reading; false when it cannot be opened or sized.
    [[nodiscard]] bool open(const char *path);
    void close();

    uint64_t position() const { return pos_; }
    uint64_t size() const { return size_; }
    // Bytes left before the limit (the end of the file unless narrowed).
    uint64_t remaining() const { return limit_ > pos_ ? limit_ - pos_ : 0; }
    // Whether n units of unit bytes each are still there, without overflow.
    bool has(uint64_t n, uint64_t unit) const;
    // Reading stops at end (never beyond the file) from now on.
    void set_limit(uint64_t end) { limit_ = end < size_ ? end : size_; }
    // Moves to an absolute position inside the file.
    [[nodiscard]] bool seek(uint64_t pos);

    // Each reads exactly what it names or returns false (a short file).
    [[nodiscard]] bool get(void *dst, size_t n);
    [[nodiscard]] bool get_u8(uint8_t *v) { return get(v, 1); }
    [[nodiscard]] bool get_u32(uint32_t *v);
    [[nodiscard]] bool get_u64(uint64_t *v);
    [[nodiscard]] bool get_f32(float *v);
    [[nodiscard]] bool get_f32s(float *v, size_t n);
    [[nodiscard]] bool skip(uint64_t n);

private:
    [[nodiscard]] bool refill();
    static constexpr size_t kBuffer = 64 * 1024;
    int fd_ = -1;
    HookPtr<unsigned char> buf_;
    size_t buf_len_ = 0;  // bytes valid in the buffer
    size_t buf_off_ = 0;  // next unread byte in the buffer
    uint64_t pos_ = 0;    // logical position in the file
    uint64_t size_ = 0;
    uint64_t limit_ = 0;
};

}  // namespace rk

#endif
