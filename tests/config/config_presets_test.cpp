// SPDX-License-Identifier: Apache-2.0
// Presets and conversions: every preset's values, the defaults of both
// records, and each key's effect on its field, including values of the wrong
// type and words that only nearly match.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "config/config_test_util.h"

namespace {

using config_test::ArenaLimit;
using config_test::ConfigTest;
using config_test::K;

using PresetFn = rk_status_t (*)(rk_config_t *);

struct PresetCase {
    PresetFn apply;
    int64_t m, ef_construction, ef_search;
};

class ConversionTest : public ConfigTest {
protected:
    rk_vecdb_config_t db() {
        rk_vecdb_config_t c;
        std::memset(&c, 0xAB, sizeof c);
        EXPECT_EQ(rk_config_to_db_config(cfg_, &c), RK_OK);
        return c;
    }
    rk_collection_config_t coll() {
        rk_collection_config_t c;
        std::memset(&c, 0xAB, sizeof c);
        EXPECT_EQ(rk_config_to_collection_config(cfg_, &c), RK_OK);
        return c;
    }
    static std::string text(const rk_string_t &s) { return std::string(s.data, s.len); }
};

TEST_F(ConversionTest, PresetsStoreTheirThreeIntegers) {
    const PresetCase cases[] = {
        {rk_config_apply_preset_embedded, 8, 50, 32},
        {rk_config_apply_preset_mobile_high, 32, 200, 100},
        {rk_config_apply_preset_mobile_low, 16, 100, 50},
    };
    // A string under M is replaced by the preset's integer.
    ASSERT_EQ(set_str("index.hnsw.M", "sixteen"), RK_OK);
    for (const PresetCase &c : cases) {
        ASSERT_EQ(c.apply(cfg_), RK_OK);
        EXPECT_EQ(get_int("index.hnsw.M"), c.m);
        EXPECT_EQ(get_int("index.hnsw.ef_construction"), c.ef_construction);
        EXPECT_EQ(get_int("index.hnsw.ef_search"), c.ef_search);
        EXPECT_EQ(c.apply(nullptr), RK_ERR_INVALID_ARG);
    }
}

TEST_F(ConversionTest, PresetReportsAKeyItCouldNotStore) {
    ASSERT_EQ(rk_config_apply_preset_embedded(cfg_), RK_OK);
    {
        // Replacing existing integers allocates nothing.
        ArenaLimit none(0);
        EXPECT_EQ(rk_config_apply_preset_mobile_high(cfg_), RK_OK);
        EXPECT_EQ(get_int("index.hnsw.ef_search"), 100);
    }
    rk_config_t *fresh = rk_config_create(arena_);
    ASSERT_NE(fresh, nullptr);
    // Room for index, hnsw and M only: the two later keys fail, the first stays.
    ArenaLimit three(3);
    EXPECT_EQ(rk_config_apply_preset_mobile_low(fresh), RK_ERR_NO_MEMORY);
    const rk_string_t m = K("index.hnsw.M"), ef = K("index.hnsw.ef_search");
    EXPECT_EQ(rk_config_get_int(fresh, &m, -1), 16);
    EXPECT_EQ(rk_config_has_key(fresh, &ef), 0);
}

TEST_F(ConversionTest, EmptyStoreGivesTheDefaults) {
    const rk_vecdb_config_t d = db();
    EXPECT_EQ(text(d.path), "./data");
    EXPECT_EQ(d.path.len, 6u);
    EXPECT_EQ(d.path.data[d.path.len], '\0');
    EXPECT_EQ(d.storage_mode, 1u);
    EXPECT_EQ(d.arena_size, 100ull << 20);
    EXPECT_EQ(d.cache_size, 50ull << 20);
    EXPECT_EQ(d.read_only, 0u);
    EXPECT_EQ(d.create_if_missing, 1u);

    const rk_collection_config_t c = coll();
    EXPECT_EQ(c.name.data, nullptr);
    EXPECT_EQ(c.name.len, 0u);
    EXPECT_EQ(c.dimension, 128u);
    EXPECT_EQ(c.metric, 0u);
    EXPECT_EQ(c.index_type, 2);
    EXPECT_EQ(c.auto_resize, 1u);
    EXPECT_EQ(c.reserved, 0u);
    EXPECT_EQ(c.quantization, 0u);
    EXPECT_EQ(c.pq_m, 0u);
    EXPECT_EQ(c.pq_nbits, 0u);
}

TEST_F(ConversionTest, DatabaseKeys) {
    ASSERT_EQ(set_str("database.path", "/var/lib/vectors"), RK_OK);
    ASSERT_EQ(set_str("database.storage_mode", "memory"), RK_OK);
    ASSERT_EQ(set_int("database.arena_size", 1 << 20), RK_OK);
    ASSERT_EQ(set_int("database.cache_size", 4096), RK_OK);
    ASSERT_EQ(set_bool("database.read_only", 1), RK_OK);
    ASSERT_EQ(set_bool("database.create_if_missing", 0), RK_OK);
    rk_vecdb_config_t d = db();
    EXPECT_EQ(text(d.path), "/var/lib/vectors");
    EXPECT_EQ(d.path.data[d.path.len], '\0');
    EXPECT_EQ(d.storage_mode, 0u);
    EXPECT_EQ(d.arena_size, 1u << 20);
    EXPECT_EQ(d.cache_size, 4096u);
    EXPECT_EQ(d.read_only, 1u);
    EXPECT_EQ(d.create_if_missing, 0u);

    ASSERT_EQ(set_str("database.storage_mode", "persistent"), RK_OK);
    EXPECT_EQ(db().storage_mode, 1u);
    ASSERT_EQ(set_str("database.storage_mode", "memory"), RK_OK);
    ASSERT_EQ(set_str("database.storage_mode", "Memory"), RK_OK);
    EXPECT_EQ(db().storage_mode, 1u);

    // Booleans arrive as 0 or 1 whatever non-zero value was stored.
    ASSERT_EQ(set_bool("database.read_only", -3), RK_OK);
    EXPECT_EQ(db().read_only, 1u);

    // An empty path is a string like any other.
    ASSERT_EQ(set_str("database.path", ""), RK_OK);
    d = db();
    EXPECT_EQ(d.path.len, 0u);
    ASSERT_NE(d.path.data, nullptr);
    EXPECT_EQ(d.path.data[0], '\0');
}

TEST_F(ConversionTest, DatabaseKeysOfTheWrongTypeOrRangeAreIgnored) {
    for (int64_t bad : {int64_t{0}, int64_t{-5}, INT64_MIN}) {
        ASSERT_EQ(set_int("database.arena_size", bad), RK_OK);
        ASSERT_EQ(set_int("database.cache_size", bad), RK_OK);
        EXPECT_EQ(db().arena_size, 100ull << 20);
        EXPECT_EQ(db().cache_size, 50ull << 20);
    }
    ASSERT_EQ(set_str("database.arena_size", "1048576"), RK_OK);
    ASSERT_EQ(set_float("database.cache_size", 4096.0), RK_OK);
    ASSERT_EQ(set_int("database.path", 7), RK_OK);
    ASSERT_EQ(set_int("database.storage_mode", 0), RK_OK);
    ASSERT_EQ(set_int("database.read_only", 1), RK_OK);
    ASSERT_EQ(set_str("database.create_if_missing", "false"), RK_OK);
    const rk_vecdb_config_t d = db();
    EXPECT_EQ(d.arena_size, 100ull << 20);
    EXPECT_EQ(d.cache_size, 50ull << 20);
    EXPECT_EQ(text(d.path), "./data");
    EXPECT_EQ(d.storage_mode, 1u);
    EXPECT_EQ(d.read_only, 0u);
    EXPECT_EQ(d.create_if_missing, 1u);

    ASSERT_EQ(set_int("database.arena_size", INT64_MAX), RK_OK);
    EXPECT_EQ(db().arena_size, static_cast<uint64_t>(INT64_MAX));
}

TEST_F(ConversionTest, CollectionKeys) {
    ASSERT_EQ(set_str("collection.name", "docs"), RK_OK);
    ASSERT_EQ(set_int("collection.dimension", 768), RK_OK);
    ASSERT_EQ(set_str("collection.metric", "cosine"), RK_OK);
    ASSERT_EQ(set_str("collection.index_type", "flat"), RK_OK);
    ASSERT_EQ(set_bool("collection.auto_resize", 0), RK_OK);
    const rk_collection_config_t c = coll();
    EXPECT_EQ(text(c.name), "docs");
    EXPECT_EQ(c.name.data[c.name.len], '\0');
    EXPECT_EQ(c.dimension, 768u);
    EXPECT_EQ(c.metric, 2u);
    EXPECT_EQ(c.index_type, 0);
    EXPECT_EQ(c.auto_resize, 0u);
    EXPECT_EQ(c.reserved + c.quantization + c.pq_m + c.pq_nbits, 0u);

    const struct {
        const char *word;
        uint32_t metric;
    } metrics[] = {{"l2", 0}, {"ip", 1},  {"cosine", 2}, {"Cosine", 0},
                   {"L2", 0}, {"l2x", 0}, {"", 0},       {"cos", 0}};
    for (const auto &m : metrics) {
        ASSERT_EQ(set_str("collection.metric", m.word), RK_OK);
        EXPECT_EQ(coll().metric, m.metric) << m.word;
    }
    const struct {
        const char *word;
        int32_t type;
    } types[] = {{"hnsw", 2}, {"ivf", 1}, {"flat", 0}, {"HNSW", 2}, {"ivf_pq", 2}, {"hnsw_sq", 2}};
    for (const auto &t : types) {
        ASSERT_EQ(set_str("collection.index_type", t.word), RK_OK);
        EXPECT_EQ(coll().index_type, t.type) << t.word;
    }
}

TEST_F(ConversionTest, DimensionMustFitItsField) {
    const struct {
        int64_t stored;
        uint32_t dimension;
    } cases[] = {{1, 1},
                 {64, 64},
                 {0, 128},
                 {-1, 128},
                 {int64_t{UINT32_MAX}, UINT32_MAX},
                 {int64_t{1} << 32, 128},  // would otherwise become 0
                 {(int64_t{1} << 32) + 128, 128},
                 {(int64_t{1} << 32) + 7, 128},
                 {INT64_MAX, 128}};
    for (const auto &c : cases) {
        ASSERT_EQ(set_int("collection.dimension", c.stored), RK_OK);
        EXPECT_EQ(coll().dimension, c.dimension) << c.stored;
    }
    ASSERT_EQ(set_float("collection.dimension", 64.0), RK_OK);
    EXPECT_EQ(coll().dimension, 128u);
    ASSERT_EQ(set_str("collection.dimension", "64"), RK_OK);
    EXPECT_EQ(coll().dimension, 128u);
}

TEST_F(ConversionTest, CollectionKeysOfTheWrongTypeAreIgnored) {
    ASSERT_EQ(set_int("collection.name", 3), RK_OK);
    ASSERT_EQ(set_int("collection.metric", 1), RK_OK);
    ASSERT_EQ(set_int("collection.index_type", 0), RK_OK);
    ASSERT_EQ(set_int("collection.auto_resize", 0), RK_OK);
    const rk_collection_config_t c = coll();
    EXPECT_EQ(c.name.data, nullptr);
    EXPECT_EQ(c.metric, 0u);
    EXPECT_EQ(c.index_type, 2);
    EXPECT_EQ(c.auto_resize, 1u);
}

TEST_F(ConversionTest, PresetsLeaveBothRecordsAlone) {
    ASSERT_EQ(set_str("collection.name", "docs"), RK_OK);
    ASSERT_EQ(set_str("database.storage_mode", "memory"), RK_OK);
    const rk_vecdb_config_t d0 = db();
    const rk_collection_config_t c0 = coll();
    ASSERT_EQ(rk_config_apply_preset_mobile_low(cfg_), RK_OK);
    EXPECT_EQ(get_int("index.hnsw.ef_search"), 50);
    const rk_vecdb_config_t d1 = db();
    const rk_collection_config_t c1 = coll();
    EXPECT_EQ(std::memcmp(&d0, &d1, sizeof d0), 0);
    EXPECT_EQ(std::memcmp(&c0, &c1, sizeof c0), 0);
}

TEST_F(ConversionTest, ResultsOutliveLaterSetsAndNullArgumentsLeaveOutAlone) {
    ASSERT_EQ(set_str("collection.name", "first"), RK_OK);
    const rk_collection_config_t c = coll();
    ASSERT_EQ(set_str("collection.name", "second"), RK_OK);
    EXPECT_EQ(text(c.name), "first");
    EXPECT_EQ(text(coll().name), "second");

    rk_vecdb_config_t d;
    rk_collection_config_t cc;
    std::memset(&d, 0x5A, sizeof d);
    std::memset(&cc, 0x5A, sizeof cc);
    EXPECT_EQ(rk_config_to_db_config(nullptr, &d), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_config_to_db_config(cfg_, nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_config_to_collection_config(nullptr, &cc), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_config_to_collection_config(cfg_, nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(d.storage_mode, 0x5A5A5A5Au);
    EXPECT_EQ(cc.dimension, 0x5A5A5A5Au);
}

}  // namespace
