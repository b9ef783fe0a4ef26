// SPDX-License-Identifier: Apache-2.0
// Shared fixture of the configuration tests: a store in a fresh arena, typed
// setters by plain key text, and a seam that makes the store's arena refuse
// from a chosen allocation on.
#ifndef RK_TESTS_CONFIG_TEST_UTIL_H
#define RK_TESTS_CONFIG_TEST_UTIL_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "config/config_store.h"
#include "rk_config.h"
#include "rk_error.h"

namespace config_test {

inline rk_string_t K(const char *text) { return rk_string_t{text, std::strlen(text)}; }
inline rk_string_t K(const std::string &text) { return rk_string_t{text.data(), text.size()}; }

// Allocations the store may still make before its arena refuses; negative
// means no limit.
inline int g_allowed = -1;

inline void *limited_alloc(rk_arena_t *arena, size_t size) {
    if (g_allowed == 0) return nullptr;
    if (g_allowed > 0) --g_allowed;
    return rk_arena_alloc(arena, size);
}

// Makes the store's arena refuse after `allowed` more allocations while it
// lives; the normal allocator comes back on destruction.
class ArenaLimit {
public:
    explicit ArenaLimit(int allowed) {
        g_allowed = allowed;
        rk::config::g_alloc = limited_alloc;
    }
    ~ArenaLimit() {
        rk::config::g_alloc = rk_arena_alloc;
        g_allowed = -1;
    }
    ArenaLimit(const ArenaLimit &) = delete;
    ArenaLimit &operator=(const ArenaLimit &) = delete;
};

class ConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(rk_arena_create(0, &arena_), RK_OK);
        cfg_ = rk_config_create(arena_);
        ASSERT_NE(cfg_, nullptr);
    }
    void TearDown() override { rk_arena_destroy(arena_); }

    rk_status_t set_int(const std::string &key, int64_t v) {
        const rk_string_t k = K(key);
        return rk_config_set(cfg_, &k, &v, RK_CONFIG_INT);
    }
    rk_status_t set_float(const std::string &key, double v) {
        const rk_string_t k = K(key);
        return rk_config_set(cfg_, &k, &v, RK_CONFIG_FLOAT);
    }
    rk_status_t set_bool(const std::string &key, int32_t v) {
        const rk_string_t k = K(key);
        return rk_config_set(cfg_, &k, &v, RK_CONFIG_BOOL);
    }
    rk_status_t set_str(const std::string &key, const char *v) {
        const rk_string_t k = K(key);
        return rk_config_set(cfg_, &k, v, RK_CONFIG_STRING);
    }
    int64_t get_int(const std::string &key, int64_t def = -777) {
        const rk_string_t k = K(key);
        return rk_config_get_int(cfg_, &k, def);
    }
    double get_float(const std::string &key, double def = -7.5) {
        const rk_string_t k = K(key);
        return rk_config_get_float(cfg_, &k, def);
    }
    int32_t get_bool(const std::string &key, int32_t def = -7) {
        const rk_string_t k = K(key);
        return rk_config_get_bool(cfg_, &k, def);
    }
    // The stored text, or "<default>" when the default came back.
    std::string get_str(const std::string &key) {
        const rk_string_t k = K(key);
        const rk_string_t def = K("<default>");
        const rk_string_t *v = rk_config_get_string(cfg_, &k, &def);
        if (v == &def) return "<default>";
        return std::string(v->data, v->len);
    }
    int has(const std::string &key) {
        const rk_string_t k = K(key);
        return rk_config_has_key(cfg_, &k);
    }

    rk_arena_t *arena_ = nullptr;
    rk_config_t *cfg_ = nullptr;
};

}  // namespace config_test

#endif
