// SPDX-License-Identifier: Apache-2.0
// How a collection's index is built: m, ef_construction, nlist and the build
// seed set on the collection, their bounds and families, their life through
// a save and a load, the configuration keys that reach them, and builds that
// repeat bit for bit without disturbing the process-wide generator.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "rk_collection.h"
#include "rk_config.h"
#include "rk_index.h"
#include "rk_memory.h"
#include "rk_platform.h"

namespace {

constexpr uint32_t kDim = 16;

rk_collection_t *make(int32_t type, uint32_t metric = RK_METRIC_L2) {
    rk_collection_config_t cfg{};
    cfg.name = rk_string_t{"b", 1};
    cfg.dimension = kDim;
    cfg.metric = metric;
    cfg.index_type = type;
    return rk_collection_create(nullptr, &cfg);
}

void fill(rk_collection_t *c, size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> g(0.0f, 1.0f);
    std::vector<float> v(kDim);
    for (size_t i = 0; i < n; ++i) {
        for (float &x : v) x = g(rng);
        ASSERT_EQ(rk_collection_insert(c, v.data(), nullptr), RK_OK);
    }
}

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string scratch(const char *tag) {
    return "/tmp/rk_build_settings_" + std::to_string(getpid()) + "_" + tag;
}

// The bytes of c's index as its index file holds them.
std::string index_bytes(rk_collection_t *c, const char *tag) {
    const std::string path = scratch(tag);
    const rk_string_t p{path.c_str(), path.size()};
    EXPECT_EQ(rk_index_save(c->index, &p), RK_OK);
    std::string bytes = slurp(path);
    std::remove(path.c_str());
    return bytes;
}

// Builds a fresh collection of the given type over the same rows.
std::string built_index(int32_t type, uint64_t seed, const char *tag, uint32_t m = 0) {
    rk_collection_t *c = make(type);
    fill(c, 1500, 3);
    if (seed) {
        EXPECT_EQ(rk_collection_set_build_seed(c, seed), RK_OK);
    }
    if (m) {
        EXPECT_EQ(rk_collection_set_hnsw_build(c, m, 40), RK_OK);
    }
    EXPECT_EQ(rk_collection_build_index(c), RK_OK);
    std::string bytes = index_bytes(c, tag);
    rk_collection_destroy(c);
    return bytes;
}

TEST(BuildSettings, SameRecordsSettingsAndSeedGiveTheSameIndexFile) {
    for (int32_t type : {int32_t(RK_INDEX_HNSW), int32_t(RK_INDEX_IVF)}) {
        SCOPED_TRACE(type);
        // The process-wide generator is moved between the builds: a build
        // must not depend on it.
        rk_srand(1);
        const std::string a = built_index(type, 0, "a");
        rk_srand(999);
        (void)rk_rand();
        const std::string b = built_index(type, 0, "b");
        ASSERT_FALSE(a.empty());
        EXPECT_TRUE(a == b);
        const std::string seeded = built_index(type, 77, "c");
        EXPECT_FALSE(a == seeded) << "a different seed draws different levels / seeds";
        EXPECT_TRUE(seeded == built_index(type, 77, "d"));
    }
}

TEST(BuildSettings, ABuildLeavesTheProcessWideGeneratorAlone) {
    rk_srand(42);
    const uint64_t first = rk_rand();
    rk_srand(42);
    (void)built_index(RK_INDEX_HNSW, 5, "e");
    (void)built_index(RK_INDEX_IVF, 5, "f");
    EXPECT_EQ(rk_rand(), first);
}

TEST(BuildSettings, LiveInsertsDrawLevelsFromSeedAndId) {
    // Records added one by one to a live graph give the same graph whatever
    // the process-wide generator does between them.
    std::string files[2];
    for (int run = 0; run < 2; ++run) {
        rk_collection_t *c = make(RK_INDEX_HNSW);
        fill(c, 50, 3);
        ASSERT_EQ(rk_collection_build_index(c), RK_OK);
        rk_srand(run ? 1234 : 5);
        fill(c, 300, 4);
        files[run] = index_bytes(c, "g");
        rk_collection_destroy(c);
    }
    EXPECT_TRUE(files[0] == files[1]);
}

TEST(BuildSettings, GraphSettingsShapeTheNextBuild) {
    rk_collection_t *c = make(RK_INDEX_HNSW);
    fill(c, 400, 9);
    uint32_t m = 0, efc = 0;
    ASSERT_EQ(rk_collection_get_hnsw_build(c, &m, &efc), RK_OK);
    EXPECT_EQ(m, 16u);
    EXPECT_EQ(efc, 200u);
    ASSERT_EQ(rk_collection_set_hnsw_build(c, 4, 32), RK_OK);
    ASSERT_EQ(rk_collection_build_index(c), RK_OK);
    const size_t small = index_bytes(c, "h").size();
    ASSERT_EQ(rk_collection_set_hnsw_build(c, 32, 64), RK_OK);
    // The built index is untouched until the next build.
    EXPECT_EQ(index_bytes(c, "i").size(), small);
    ASSERT_EQ(rk_collection_rebuild_index(c), RK_OK);
    EXPECT_GT(index_bytes(c, "j").size(), small) << "m 32 keeps more links than m 4";
    rk_collection_destroy(c);
}

TEST(BuildSettings, BoundsAndFamiliesAreChecked) {
    rk_collection_t *h = make(RK_INDEX_HNSW), *ivf = make(RK_INDEX_IVF), *flat = make(RK_INDEX_FLAT);
    uint32_t u = 0, v = 0;
    uint64_t seed = 0;
    EXPECT_EQ(rk_collection_set_hnsw_build(h, 1, 10), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_collection_set_hnsw_build(h, 513, 10), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_collection_set_hnsw_build(h, 8, 0), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_collection_set_hnsw_build(nullptr, 8, 10), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_collection_get_hnsw_build(h, &u, nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_collection_set_nlist(h, 10), RK_ERR_NOT_SUPPORTED);
    EXPECT_EQ(rk_collection_get_nlist(h, &u), RK_ERR_NOT_SUPPORTED);
    EXPECT_EQ(rk_collection_set_hnsw_build(ivf, 8, 10), RK_ERR_NOT_SUPPORTED);
    EXPECT_EQ(rk_collection_get_hnsw_build(flat, &u, &v), RK_ERR_NOT_SUPPORTED);
    EXPECT_EQ(rk_collection_set_nlist(flat, 3), RK_ERR_NOT_SUPPORTED);
    EXPECT_EQ(rk_collection_set_nlist(ivf, (1u << 20) + 1), RK_ERR_INVALID_ARG);
    // The seed belongs to every collection; 0 reads back as the fixed default.
    EXPECT_EQ(rk_collection_get_build_seed(flat, &seed), RK_OK);
    EXPECT_EQ(seed, 12345u);
    EXPECT_EQ(rk_collection_set_build_seed(flat, 9), RK_OK);
    EXPECT_EQ(rk_collection_get_build_seed(flat, &seed), RK_OK);
    EXPECT_EQ(seed, 9u);
    EXPECT_EQ(rk_collection_get_build_seed(flat, nullptr), RK_ERR_INVALID_ARG);
    rk_collection_destroy(h);
    rk_collection_destroy(ivf);
    rk_collection_destroy(flat);
}

TEST(BuildSettings, ListCountIsUsedAndReported) {
    rk_collection_t *c = make(RK_INDEX_IVF);
    fill(c, 900, 5);
    uint32_t n = 1;
    ASSERT_EQ(rk_collection_get_nlist(c, &n), RK_OK);
    EXPECT_EQ(n, 0u) << "open until trained";
    ASSERT_EQ(rk_collection_build_index(c), RK_OK);
    ASSERT_EQ(rk_collection_get_nlist(c, &n), RK_OK);
    EXPECT_EQ(n, 120u) << "about 4 sqrt(rows)";
    ASSERT_EQ(rk_collection_set_nlist(c, 7), RK_OK);
    ASSERT_EQ(rk_collection_rebuild_index(c), RK_OK);
    rk_index_stats_t st{};
    ASSERT_EQ(rk_index_get_stats(c->index, &st), RK_OK);
    EXPECT_EQ(st.nlist, 7u);
    rk_collection_destroy(c);

    // The built-in configuration (no index type chosen) takes a list count too.
    rk_collection_t *d = make(-1);
    fill(d, 300, 5);
    ASSERT_EQ(rk_collection_set_nlist(d, 9), RK_OK);
    ASSERT_EQ(rk_collection_build_index(d), RK_OK);
    ASSERT_EQ(rk_index_get_stats(d->index, &st), RK_OK);
    EXPECT_EQ(st.nlist, 9u);
    rk_collection_destroy(d);
}

TEST(BuildSettings, SettingsSurviveASaveAndALoad) {
    const std::string path = scratch("col.rkcol");
    {
        rk_collection_t *c = make(RK_INDEX_HNSW);
        fill(c, 50, 1);
        ASSERT_EQ(rk_collection_set_hnsw_build(c, 6, 77), RK_OK);
        ASSERT_EQ(rk_collection_set_build_seed(c, 0xFEEDFACECAFEBEEFull), RK_OK);
        ASSERT_EQ(rk_collection_save(c, path.c_str()), RK_OK);
        rk_collection_destroy(c);
    }
    rk_collection_t *c = rk_collection_load(nullptr, path.c_str());
    ASSERT_NE(c, nullptr);
    uint32_t m = 0, efc = 0;
    uint64_t seed = 0;
    ASSERT_EQ(rk_collection_get_hnsw_build(c, &m, &efc), RK_OK);
    EXPECT_EQ(m, 6u);
    EXPECT_EQ(efc, 77u);
    ASSERT_EQ(rk_collection_get_build_seed(c, &seed), RK_OK);
    EXPECT_EQ(seed, 0xFEEDFACECAFEBEEFull);
    rk_collection_destroy(c);
    std::remove(path.c_str());
}

TEST(BuildSettings, ConfigurationKeysReachTheCollection) {
    rk_arena_t *arena = nullptr;
    ASSERT_EQ(rk_arena_create(1 << 16, &arena), RK_OK);
    rk_config_t *cfg = rk_config_create(arena);
    ASSERT_NE(cfg, nullptr);
    ASSERT_EQ(rk_config_apply_preset_embedded(cfg), RK_OK);
    rk_collection_t *h = make(RK_INDEX_HNSW), *ivf = make(RK_INDEX_IVF);
    ASSERT_EQ(rk_config_apply_to_collection(cfg, h), RK_OK);
    uint32_t m = 0, efc = 0, ef = 0;
    ASSERT_EQ(rk_collection_get_hnsw_build(h, &m, &efc), RK_OK);
    ASSERT_EQ(rk_collection_get_ef_search(h, &ef), RK_OK);
    EXPECT_EQ(m, 8u);
    EXPECT_EQ(efc, 50u);
    EXPECT_EQ(ef, 32u);
    // Keys of the other family are skipped; IVF keys reach an IVF.
    const int64_t nlist = 11, seed = 31;
    const rk_string_t k_nlist{"index.ivf.nlist", 15}, k_seed{"index.seed", 10};
    ASSERT_EQ(rk_config_set(cfg, &k_nlist, &nlist, RK_CONFIG_INT), RK_OK);
    ASSERT_EQ(rk_config_set(cfg, &k_seed, &seed, RK_CONFIG_INT), RK_OK);
    ASSERT_EQ(rk_config_apply_to_collection(cfg, ivf), RK_OK);
    uint32_t n = 0;
    uint64_t s = 0;
    ASSERT_EQ(rk_collection_get_nlist(ivf, &n), RK_OK);
    ASSERT_EQ(rk_collection_get_build_seed(ivf, &s), RK_OK);
    EXPECT_EQ(n, 11u);
    EXPECT_EQ(s, 31u);
    // A value the setter refuses is reported.
    const int64_t bad_m = 1;
    const rk_string_t k_m{"index.hnsw.M", 12};
    ASSERT_EQ(rk_config_set(cfg, &k_m, &bad_m, RK_CONFIG_INT), RK_OK);
    EXPECT_EQ(rk_config_apply_to_collection(cfg, h), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_config_apply_to_collection(nullptr, h), RK_ERR_INVALID_ARG);
    rk_collection_destroy(h);
    rk_collection_destroy(ivf);
    rk_config_destroy(cfg);
    rk_arena_destroy(arena);
}

}  // namespace
