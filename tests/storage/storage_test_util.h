// SPDX-License-Identifier: Apache-2.0
// Shared fixture of the storage tests: a scratch directory, raw file access
// and little-endian field readers for byte-exact checks.
#ifndef RK_TESTS_STORAGE_TEST_UTIL_H
#define RK_TESTS_STORAGE_TEST_UTIL_H

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/file_os.h"
#include "rk_error.h"
#include "rk_platform.h"
#include "rk_storage.h"
#include "support/posix_compat.h"

namespace storage_test {

using Bytes = std::vector<unsigned char>;

inline uint32_t u32_at(const Bytes &b, size_t off) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | b.at(off + i);
    return v;
}
inline uint64_t u64_at(const Bytes &b, size_t off) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | b.at(off + i);
    return v;
}
inline void put_u32(Bytes &b, size_t off, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.at(off + i) = static_cast<unsigned char>(v >> (8 * i));
}
inline void put_u64(Bytes &b, size_t off, uint64_t v) {
    for (int i = 0; i < 8; ++i) b.at(off + i) = static_cast<unsigned char>(v >> (8 * i));
}

class StorageDir : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/rk_storage_test_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        rk::os::fault_clear();
    }
    void TearDown() override {
        rk::os::fault_clear();
        const rk_string_t d{dir_.c_str(), dir_.size()};
        rk_file_rmdir_recursive(&d);
    }
    std::string path(const std::string &name = "store") const { return dir_ + "/" + name; }

    Bytes slurp(const std::string &name = "store") const {
        std::ifstream in(path(name), std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    void spit(const Bytes &b, const std::string &name = "store") const {
        std::ofstream out(path(name), std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(b.data()), static_cast<std::streamsize>(b.size()));
    }
    bool exists(const std::string &name = "store") const {
        const std::string p = path(name);
        const rk_string_t v{p.c_str(), p.size()};
        return rk_file_exists(&v) == 1;
    }

    rk_storage_config_t config(int32_t mode, int32_t access, const std::string &name = "store") {
        path_keep_ = path(name);
        rk_storage_config_t c{};
        c.mode = mode;
        c.access = access;
        c.path = rk_string_t{path_keep_.c_str(), path_keep_.size()};
        c.page_size = 4096;
        c.capacity = 0x4000000;
        c.reserved2 = 1;
        c.reserved4 = 1;
        return c;
    }
    rk_storage_t *make(int32_t mode, int32_t access, const std::string &name = "store") {
        const rk_storage_config_t c = config(mode, access, name);
        return rk_storage_create(nullptr, &c);
    }

    // A valid 192-byte header followed by the given data.
    Bytes header_bytes(uint64_t data_size, uint32_t version = RK_STORAGE_VERSION) const {
        Bytes b(192, 0);
        put_u32(b, 0, RK_STORAGE_MAGIC);
        put_u32(b, 4, version);
        put_u64(b, 24, 192);
        put_u64(b, 32, data_size);
        return b;
    }

    std::string dir_;
    std::string path_keep_;
};

}  // namespace storage_test

#endif
