// SPDX-License-Identifier: Apache-2.0
// Helpers shared by the database tests.
#ifndef RK_TESTS_DB_DB_TEST_UTIL_H
#define RK_TESTS_DB_DB_TEST_UTIL_H

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "rk_database.h"
#include "rk_error.h"
#include "rk_vector.h"
#include "support/capture.h"

namespace rk_test {

// A counted view of a NUL-terminated literal or std::string.
inline rk_string_t str(const char *s) { return rk_string_t{s, std::strlen(s)}; }
inline rk_string_t str(const std::string &s) { return rk_string_t{s.c_str(), s.size()}; }

// Owns an open in-memory database.
class Db {
public:
    Db() { EXPECT_EQ(rk_vecdb_open(nullptr, 0, &db_), RK_OK); }
    ~Db() {
        if (db_ != nullptr) {
            EXPECT_EQ(rk_vecdb_close(db_), RK_OK);
        }
    }
    Db(const Db &) = delete;
    Db &operator=(const Db &) = delete;
    rk_vecdb_t *get() const { return db_; }
    operator rk_vecdb_t *() const { return db_; }

private:
    rk_vecdb_t *db_ = nullptr;
};

// Vector number `id` of a deterministic family: component j is id + j / 8.
inline std::vector<float> vec_for(uint64_t id, uint32_t dim) {
    std::vector<float> v(dim);
    for (uint32_t j = 0; j < dim; ++j) v[j] = static_cast<float>(id) + static_cast<float>(j) * 0.125f;
    return v;
}

// A scattered point in [0, 1)^dim, fixed by its seed (a plain LCG).
inline std::vector<float> scattered(uint64_t seed, uint32_t dim) {
    std::vector<float> v(dim);
    uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (uint32_t j = 0; j < dim; ++j) {
        x = x * 6364136223846793005ull + 1442695040888963407ull;
        v[j] = static_cast<float>(x >> 40) / static_cast<float>(1ull << 24);
    }
    return v;
}

// The distance the collection's scan reports for an L2 collection.
inline float l2(const float *a, const float *b, uint32_t dim) {
    return rk_vec_distance(a, b, dim, RK_METRIC_L2);
}

// Whether this build has index objects: a collection asked for an HNSW index
// reports one. Without them collections always scan and cannot build.
inline bool index_objects_available() {
    rk_collection_config_t cfg{};
    cfg.dimension = 2;
    cfg.index_type = RK_INDEX_HNSW;
    rk_collection_t *c = rk_collection_create(nullptr, &cfg);
    rk_collection_stats_t s{};
    const bool available = c != nullptr && rk_collection_get_stats(c, &s) == RK_OK && s.index_type != -1;
    rk_collection_destroy(c);
    return available;
}

// Redirects standard output into a temporary file for its lifetime.
class CaptureStdout : public Capture {
public:
    CaptureStdout() : Capture(STDOUT_FILENO) {}
};

}  // namespace rk_test

#endif
