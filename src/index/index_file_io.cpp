// SPDX-License-Identifier: Apache-2.0
// Buffered index-file reading and writing; see index_file_io.h.
#include "index/index_file_io.h"

#include <bit>
#include <cstring>

#include "platform/file_os.h"

namespace rk {
namespace {

static_assert(std::endian::native == std::endian::little || std::endian::native == std::endian::big,
              "mixed-endian hosts are not supported");
constexpr bool kLittle = std::endian::native == std::endian::little;

void store_le(unsigned char *out, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out[i] = static_cast<unsigned char>(v >> (8 * i));
}

uint64_t load_le(const unsigned char *in, int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= static_cast<uint64_t>(in[i]) << (8 * i);
    return v;
}

}  // namespace

// ---- writer -------------------------------------------------------------

bool FileWriter::open(const char *path) {
    buf_ = hook_unique_array<unsigned char>(kBuffer);
    cause_ = RK_ERR_NO_MEMORY;
    if (!buf_) return false;
    fd_ = os::open_file(path, os::OpenMode::read_write_trunc);
    ok_ = fd_ >= 0;
    cause_ = ok_ ? RK_OK : os::last_error_status();
    return ok_;
}

void FileWriter::fail() {
    if (ok_) cause_ = os::last_error_status();
    ok_ = false;
}

void FileWriter::put(const void *data, size_t n) {
    if (!ok_) return;
    const auto *p = static_cast<const unsigned char *>(data);
    while (n > 0) {
        if (used_ == kBuffer && !flush()) return;
        const size_t take = n < kBuffer - used_ ? n : kBuffer - used_;
        std::memcpy(buf_.get() + used_, p, take);
        used_ += take;
        p += take;
        n -= take;
    }
}

void FileWriter::put_u32(uint32_t v) {
    unsigned char b[4];
    store_le(b, v, 4);
    put(b, 4);
}

void FileWriter::put_u64(uint64_t v) {
    unsigned char b[8];
    store_le(b, v, 8);
    put(b, 8);
}

void FileWriter::put_f32(float v) { put_u32(std::bit_cast<uint32_t>(v)); }

void FileWriter::put_f32s(const float *v, size_t n) {
    if (kLittle) {
        size_t bytes;
        if (!mul_size(n, sizeof(float), &bytes)) {
            if (ok_) cause_ = RK_ERR_TOO_LARGE;
            ok_ = false;
            return;
        }
        put(v, bytes);
        return;
    }
    for (size_t i = 0; i < n; ++i) put_f32(v[i]);
}

bool FileWriter::flush() {
    if (!ok_) return false;
    if (used_ > 0) {
        const int64_t w = os::write_all(fd_, buf_.get(), used_);
        if (w < 0 || static_cast<size_t>(w) != used_) fail();
        used_ = 0;
    }
    return ok_;
}

bool FileWriter::close() {
    if (fd_ < 0) return false;
    // Saved files are durable once their writer reports success.
    bool flushed = flush();
    if (flushed && os::sync_fd(fd_) != 0) {
        fail();
        flushed = false;
    }
    const bool closed = os::close_file(fd_) == 0;
    if (!closed && cause_ == RK_OK) cause_ = os::last_error_status();
    fd_ = -1;
    buf_.reset();
    ok_ = false;
    return flushed && closed;
}

// ---- reader -------------------------------------------------------------

bool FileReader::open(const char *path) {
    buf_ = hook_unique_array<unsigned char>(kBuffer);
    if (!buf_) return false;
    fd_ = os::open_file(path, os::OpenMode::read);
    if (fd_ < 0) return false;
    const int64_t s = os::size_fd(fd_);
    if (s < 0) {
        close();
        return false;
    }
    size_ = static_cast<uint64_t>(s);
    limit_ = size_;
    return true;
}

void FileReader::close() {
    if (fd_ >= 0) os::close_file(fd_);
    fd_ = -1;
    buf_.reset();
}

bool FileReader::has(uint64_t n, uint64_t unit) const {
    uint64_t bytes;
    if (__builtin_mul_overflow(n, unit, &bytes)) return false;
    return bytes <= remaining();
}

bool FileReader::seek(uint64_t pos) {
    if (fd_ < 0 || pos > size_) return false;
    pos_ = pos;
    buf_len_ = buf_off_ = 0;
    return true;
}

// The buffer is empty when this runs, so the file is read on from pos_.
bool FileReader::refill() {
    const int64_t r = os::read_at(fd_, pos_, buf_.get(), kBuffer);
    if (r <= 0) return false;
    buf_len_ = static_cast<size_t>(r);
    buf_off_ = 0;
    return true;
}

bool FileReader::get(void *dst, size_t n) {
    if (fd_ < 0 || n > remaining()) return false;
    auto *out = static_cast<unsigned char *>(dst);
    while (n > 0) {
        if (buf_off_ == buf_len_ && !refill()) return false;
        const size_t avail = buf_len_ - buf_off_;
        const size_t take = n < avail ? n : avail;
        std::memcpy(out, buf_.get() + buf_off_, take);
        buf_off_ += take;
        pos_ += take;
        out += take;
        n -= take;
    }
    return true;
}

bool FileReader::get_u32(uint32_t *v) {
    unsigned char b[4];
    if (!get(b, 4)) return false;
    *v = static_cast<uint32_t>(load_le(b, 4));
    return true;
}

bool FileReader::get_u64(uint64_t *v) {
    unsigned char b[8];
    if (!get(b, 8)) return false;
    *v = load_le(b, 8);
    return true;
}

bool FileReader::get_f32(float *v) {
    uint32_t bits;
    if (!get_u32(&bits)) return false;
    *v = std::bit_cast<float>(bits);
    return true;
}

bool FileReader::get_f32s(float *v, size_t n) {
    if (!has(n, sizeof(float))) return false;
    if (kLittle) return get(v, n * sizeof(float));
    for (size_t i = 0; i < n; ++i) {
        if (!get_f32(&v[i])) return false;
    }
    return true;
}

bool FileReader::skip(uint64_t n) {
    if (n > remaining()) return false;
    const size_t avail = buf_len_ - buf_off_;
    if (n <= avail) {
        buf_off_ += static_cast<size_t>(n);
        pos_ += n;
        return true;
    }
    return seek(pos_ + n);
}

}  // namespace rk
