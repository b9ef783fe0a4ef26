// SPDX-License-Identifier: Apache-2.0
// Helpers shared by the persistence tests: scratch directories, whole-file
// reads and comparisons of collections.
#ifndef RK_TESTS_PERSIST_PERSIST_TEST_UTIL_H
#define RK_TESTS_PERSIST_PERSIST_TEST_UTIL_H

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "rk_collection.h"
#include "rk_database.h"
#include "support/posix_compat.h"

namespace persist_test {

inline rk_string_t str(const char *s) { return rk_string_t{s, std::strlen(s)}; }
inline rk_string_t str(const std::string &s) { return rk_string_t{s.c_str(), s.size()}; }

// A fresh directory under /tmp, removed with everything in it at the end.
class ScratchDir {
public:
    explicit ScratchDir(const char *base = "/tmp") {
        std::string tmpl = std::string(base) + "/zevud-persist-XXXXXX";
        const char *made = mkdtemp(tmpl.data());
        EXPECT_NE(made, nullptr);
        path_ = made ? made : "";
    }
    ~ScratchDir() { remove_tree(path_); }
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;
    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

    static void remove_tree(const std::string &p) {
        if (DIR *d = opendir(p.c_str())) {
            while (dirent *e = readdir(d)) {
                const std::string n = e->d_name;
                if (n == "." || n == "..") continue;
                const std::string child = p + "/" + n;
                struct stat st;
                if (lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
                    remove_tree(child);
                else
                    unlink(child.c_str());
            }
            closedir(d);
            rmdir(p.c_str());
        } else {
            unlink(p.c_str());
        }
    }

    // Names in the directory, sorted.
    std::vector<std::string> list() const { return list_of(path_); }
    static std::vector<std::string> list_of(const std::string &path) {
        std::vector<std::string> out;
        if (DIR *d = opendir(path.c_str())) {
            while (dirent *e = readdir(d)) {
                const std::string n = e->d_name;
                if (n != "." && n != "..") out.push_back(n);
            }
            closedir(d);
        }
        std::sort(out.begin(), out.end());
        return out;
    }

private:
    std::string path_;
};

inline std::vector<unsigned char> read_bytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_bytes(const std::string &path, const std::vector<unsigned char> &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
}

inline uint32_t u32_at(const std::vector<unsigned char> &b, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | b[at + size_t(i)];
    return v;
}
inline uint64_t u64_at(const std::vector<unsigned char> &b, size_t at) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | b[at + size_t(i)];
    return v;
}

// Checks that two collections hold the same records: ids, vector bits and
// metadata (keys, types, values, string bytes), and the same next id.
inline void expect_same_records(const rk_collection_t *a, const rk_collection_t *b) {
    ASSERT_EQ(a->count, b->count);
    ASSERT_EQ(a->dimension, b->dimension);
    EXPECT_EQ(a->next_id, b->next_id);
    for (uint64_t i = 0; i < a->count; ++i) {
        const rk_record_t &x = a->records[i];
        const rk_record_t &y = b->records[i];
        ASSERT_EQ(x.id, y.id) << i;
        ASSERT_EQ(std::memcmp(x.vector, y.vector, a->dimension * sizeof(float)), 0) << i;
        ASSERT_EQ(x.metadata_count, y.metadata_count) << i;
        for (uint64_t j = 0; j < x.metadata_count; ++j) {
            const rk_meta_entry_t &e = x.metadata[j];
            const rk_meta_entry_t &f = y.metadata[j];
            ASSERT_EQ(e.key.len, f.key.len);
            ASSERT_EQ(e.key.data == nullptr, f.key.data == nullptr);
            if (e.key.data) {
                ASSERT_EQ(std::memcmp(e.key.data, f.key.data, e.key.len), 0);
            }
            ASSERT_EQ(e.type, f.type);
            if (e.type == RK_META_STRING) {
                ASSERT_EQ(e.value.str.len, f.value.str.len);
                if (e.value.str.len) {
                    ASSERT_EQ(std::memcmp(e.value.str.data, f.value.str.data, e.value.str.len), 0);
                }
            } else {
                ASSERT_EQ(std::memcmp(&e.value, &f.value, 8), 0);
            }
        }
    }
}

}  // namespace persist_test

#endif
