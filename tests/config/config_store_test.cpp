// SPDX-License-Identifier: Apache-2.0
// Configuration store: typed values and strict type matching, the key tree
// (dotted, deep, long and odd keys, overwrites), bad arguments, refused
// allocations, and the file entry points that touch but never parse files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "config/config_test_util.h"
#include "support/posix_compat.h"

namespace {

using config_test::ArenaLimit;
using config_test::ConfigTest;
using config_test::K;

TEST_F(ConfigTest, EachTypeReadsBackOnlyThroughItsOwnGetter) {
    ASSERT_EQ(set_int("v.int", INT64_MIN), RK_OK);
    ASSERT_EQ(set_float("v.float", -0.1), RK_OK);
    ASSERT_EQ(set_bool("v.bool", 5), RK_OK);
    ASSERT_EQ(set_str("v.str", "hello world"), RK_OK);

    EXPECT_EQ(get_int("v.int"), INT64_MIN);
    EXPECT_EQ(get_float("v.float"), -0.1);
    EXPECT_EQ(get_bool("v.bool"), 5);  // stored as given, not folded to 1
    EXPECT_EQ(get_str("v.str"), "hello world");

    // No conversion between types: a mismatch is the default.
    EXPECT_EQ(get_float("v.int"), -7.5);
    EXPECT_EQ(get_bool("v.int"), -7);
    EXPECT_EQ(get_str("v.int"), "<default>");
    EXPECT_EQ(get_int("v.float"), -777);
    EXPECT_EQ(get_int("v.bool"), -777);
    EXPECT_EQ(get_int("v.str"), -777);
    EXPECT_EQ(get_bool("v.str"), -7);

    ASSERT_EQ(set_int("collection.dimension", 5), RK_OK);
    EXPECT_EQ(get_float("collection.dimension"), -7.5);
}

TEST_F(ConfigTest, IntermediateNodesExistAndHoldIntegerZero) {
    ASSERT_EQ(set_int("collection.dimension", 5), RK_OK);
    EXPECT_EQ(get_int("collection.dimension"), 5);
    EXPECT_EQ(has("collection"), 1);
    EXPECT_EQ(get_int("collection"), 0);  // the node on the way, not the default
    EXPECT_EQ(get_str("collection"), "<default>");
    EXPECT_EQ(has("collection.dimension.more"), 0);
    EXPECT_EQ(has("dimension"), 0);
    EXPECT_EQ(get_int("collection.missing"), -777);

    // A node made on the way can later take a value of its own and keep its children.
    ASSERT_EQ(set_str("collection", "top"), RK_OK);
    EXPECT_EQ(get_str("collection"), "top");
    EXPECT_EQ(get_int("collection.dimension"), 5);
}

TEST_F(ConfigTest, OverwriteReplacesTypeAndValue) {
    ASSERT_EQ(set_str("collection.metric", "ip"), RK_OK);
    const rk_string_t key = K("collection.metric");
    const rk_string_t *first = rk_config_get_string(cfg_, &key, nullptr);
    ASSERT_NE(first, nullptr);

    ASSERT_EQ(set_int("collection.metric", 3), RK_OK);
    EXPECT_EQ(get_str("collection.metric"), "<default>");
    EXPECT_EQ(get_int("collection.metric"), 3);
    // A view handed out earlier still reads its text after the overwrite.
    EXPECT_EQ(std::string(first->data, first->len), "ip");

    ASSERT_EQ(set_str("collection.metric", "cosine"), RK_OK);
    ASSERT_EQ(set_str("collection.metric", "l2"), RK_OK);
    EXPECT_EQ(get_str("collection.metric"), "l2");
    ASSERT_EQ(set_float("collection.metric", 2.5), RK_OK);
    EXPECT_EQ(get_float("collection.metric"), 2.5);
    EXPECT_EQ(get_int("collection.metric"), -777);
}

TEST_F(ConfigTest, SiblingsAndPrefixesStayApart) {
    ASSERT_EQ(set_str("collection.name", "docs"), RK_OK);
    ASSERT_EQ(set_str("collection.metric", "ip"), RK_OK);
    ASSERT_EQ(set_int("collection.dim", 1), RK_OK);
    ASSERT_EQ(set_int("collection.dimension", 2), RK_OK);
    ASSERT_EQ(set_int("Collection.dim", 3), RK_OK);
    ASSERT_EQ(set_int("collectionx.dim", 4), RK_OK);
    EXPECT_EQ(get_str("collection.name"), "docs");
    EXPECT_EQ(get_str("collection.metric"), "ip");
    EXPECT_EQ(get_int("collection.dim"), 1);
    EXPECT_EQ(get_int("collection.dimension"), 2);
    EXPECT_EQ(get_int("Collection.dim"), 3);
    EXPECT_EQ(get_int("collectionx.dim"), 4);
    EXPECT_EQ(has("collection.Name"), 0);

    // Returned views of different keys are independent of each other.
    const rk_string_t kn = K("collection.name"), km = K("collection.metric");
    const rk_string_t *name = rk_config_get_string(cfg_, &kn, nullptr);
    const rk_string_t *metric = rk_config_get_string(cfg_, &km, nullptr);
    ASSERT_TRUE(name && metric);
    EXPECT_EQ(std::string(name->data, name->len), "docs");
    EXPECT_EQ(std::string(metric->data, metric->len), "ip");
    EXPECT_EQ(name->data[name->len], '\0');
}

TEST_F(ConfigTest, DeepWideAndLongKeys) {
    std::string deep = "k";
    for (int i = 0; i < 2000; ++i) deep += "." + std::to_string(i % 7);
    ASSERT_EQ(set_int(deep, 42), RK_OK);
    EXPECT_EQ(get_int(deep), 42);
    EXPECT_EQ(has(deep.substr(0, deep.size() / 2 - (deep.size() / 2) % 2)), 1);

    const std::string long_seg(200000, 'x');
    ASSERT_EQ(set_str("long." + long_seg, "value"), RK_OK);
    EXPECT_EQ(get_str("long." + long_seg), "value");
    EXPECT_EQ(has("long." + long_seg.substr(1)), 0);
    EXPECT_EQ(has("long." + long_seg + "x"), 0);

    const std::string long_value(300000, 'v');
    ASSERT_EQ(set_str("big", long_value.c_str()), RK_OK);
    EXPECT_EQ(get_str("big"), long_value);

    for (int i = 0; i < 500; ++i) ASSERT_EQ(set_int("wide." + std::to_string(i), i), RK_OK);
    for (int i = 0; i < 500; ++i) EXPECT_EQ(get_int("wide." + std::to_string(i)), i);
}

TEST_F(ConfigTest, OddKeysFollowTheSegmentRules) {
    // The empty key is the root.
    EXPECT_EQ(has(""), 1);
    EXPECT_EQ(get_int(""), 0);
    // A trailing dot adds no segment; adjacent dots make an empty one.
    ASSERT_EQ(set_int("a.", 1), RK_OK);
    EXPECT_EQ(get_int("a"), 1);
    ASSERT_EQ(set_int("a..b", 2), RK_OK);
    EXPECT_EQ(get_int("a..b"), 2);
    EXPECT_EQ(has("a.b"), 0);
    EXPECT_EQ(has("a."), 1);
    ASSERT_EQ(set_int(".lead", 3), RK_OK);
    EXPECT_EQ(get_int(".lead"), 3);
    EXPECT_EQ(has("lead"), 0);
    EXPECT_EQ(has("."), 1);  // the empty-named node on the way to ".lead"
    // Bytes beyond ASCII and embedded NULs are ordinary key bytes.
    ASSERT_EQ(set_int("\xc3\xa9t\xc3\xa9", 4), RK_OK);
    EXPECT_EQ(get_int("\xc3\xa9t\xc3\xa9"), 4);
    const std::string with_nul("x\0y", 3);
    ASSERT_EQ(set_int(with_nul, 5), RK_OK);
    EXPECT_EQ(get_int(with_nul), 5);
    EXPECT_EQ(has("x"), 0);
}

TEST_F(ConfigTest, KeysAreReadOverTheirLengthOnly) {
    // The view covers "a.b" of a longer buffer that has no NUL after it.
    const char buffer[] = {'a', '.', 'b', '.', 'c'};
    const rk_string_t ab = {buffer, 3};
    const int64_t v = 9;
    ASSERT_EQ(rk_config_set(cfg_, &ab, &v, RK_CONFIG_INT), RK_OK);
    EXPECT_EQ(get_int("a.b"), 9);
    EXPECT_EQ(has("a.b.c"), 0);
    const rk_string_t abc = {buffer, sizeof buffer};
    EXPECT_EQ(rk_config_get_int(cfg_, &abc, -1), -1);
    EXPECT_EQ(rk_config_get_int(cfg_, &ab, -1), 9);
}

TEST_F(ConfigTest, BadArgumentsChangeNothing) {
    const rk_string_t key = K("x.y");
    const int64_t v = 1;
    const rk_string_t nodata = {nullptr, 3};
    EXPECT_EQ(rk_config_set(nullptr, &key, &v, RK_CONFIG_INT), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_config_set(cfg_, nullptr, &v, RK_CONFIG_INT), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_config_set(cfg_, &nodata, &v, RK_CONFIG_INT), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_config_set(cfg_, &key, nullptr, RK_CONFIG_INT), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_config_set(cfg_, &key, nullptr, RK_CONFIG_STRING), RK_ERR_INVALID_ARG);
    EXPECT_EQ(has("x"), 0);

    // An unknown type neither creates the key nor disturbs an existing value.
    EXPECT_EQ(rk_config_set(cfg_, &key, &v, 7), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_config_set(cfg_, &key, &v, -1), RK_ERR_INVALID_ARG);
    EXPECT_EQ(has("x"), 0);
    ASSERT_EQ(set_str("x.y", "kept"), RK_OK);
    EXPECT_EQ(rk_config_set(cfg_, &key, &v, 4), RK_ERR_INVALID_ARG);
    EXPECT_EQ(get_str("x.y"), "kept");

    // Getters answer the default, has_key 0.
    const rk_string_t def = K("d");
    EXPECT_EQ(rk_config_get_int(nullptr, &key, 11), 11);
    EXPECT_EQ(rk_config_get_int(cfg_, nullptr, 11), 11);
    EXPECT_EQ(rk_config_get_int(cfg_, &nodata, 11), 11);
    EXPECT_EQ(rk_config_get_float(nullptr, &key, 1.5), 1.5);
    EXPECT_EQ(rk_config_get_bool(nullptr, &key, 3), 3);
    EXPECT_EQ(rk_config_get_string(nullptr, &key, &def), &def);
    EXPECT_EQ(rk_config_get_string(cfg_, nullptr, &def), &def);
    EXPECT_EQ(rk_config_get_string(cfg_, &key, nullptr)->len, 4u);
    EXPECT_EQ(rk_config_has_key(nullptr, &key), 0);
    EXPECT_EQ(rk_config_has_key(cfg_, nullptr), 0);
    EXPECT_EQ(rk_config_has_key(cfg_, &nodata), 0);

    EXPECT_EQ(rk_config_create(nullptr), nullptr);
    rk_config_destroy(nullptr);
    rk_config_destroy(cfg_);  // nothing to release: the store still works
    EXPECT_EQ(get_str("x.y"), "kept");
}

TEST_F(ConfigTest, ReadingNeverGrowsTheArena) {
    ASSERT_EQ(set_str("a.b.c", "v"), RK_OK);
    const size_t used = rk_arena_get_used_size(arena_);
    for (int i = 0; i < 1000; ++i) {
        (void)get_str("a.b.c");
        (void)get_int("a.b.missing");
        (void)has("a.b");
    }
    ASSERT_EQ(set_str("a.b.c", "w"), RK_OK);  // only the new text is taken
    EXPECT_LE(rk_arena_get_used_size(arena_) - used, 64u);
    // Reads still answer when the arena refuses everything.
    ArenaLimit none(0);
    EXPECT_EQ(get_str("a.b.c"), "w");
    EXPECT_EQ(has("a.b"), 1);
}

TEST_F(ConfigTest, RefusedAllocationsKeepTheEarlierValue) {
    ASSERT_EQ(set_int("a.b", 1), RK_OK);
    {
        // The text copy is refused: the key keeps its integer.
        ArenaLimit none(0);
        EXPECT_EQ(set_str("a.b", "text"), RK_ERR_NO_MEMORY);
        EXPECT_EQ(set_int("new.key", 1), RK_ERR_NO_MEMORY);
    }
    EXPECT_EQ(get_int("a.b"), 1);
    EXPECT_EQ(has("new"), 0);
    {
        // Two of three nodes fit: the ones made stay, holding zero.
        ArenaLimit two(2);
        EXPECT_EQ(set_int("p.q.r", 7), RK_ERR_NO_MEMORY);
    }
    EXPECT_EQ(has("p.q"), 1);
    EXPECT_EQ(get_int("p.q"), 0);
    EXPECT_EQ(has("p.q.r"), 0);
    ASSERT_EQ(set_int("p.q.r", 7), RK_OK);
    EXPECT_EQ(get_int("p.q.r"), 7);

    // A store cannot be made when either of its pieces is refused.
    for (int allowed = 0; allowed < 2; ++allowed) {
        ArenaLimit limit(allowed);
        EXPECT_EQ(rk_config_create(arena_), nullptr);
    }
}

class ConfigFileTest : public ConfigTest {
protected:
    void SetUp() override {
        ConfigTest::SetUp();
        char tmpl[] = "/tmp/rk_config_test_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        ConfigTest::TearDown();
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
        ASSERT_FALSE(ec) << ec.message();
    }
    std::string path(const char *name) const { return dir_ + "/" + name; }
    static void write(const std::string &p, const std::string &text) {
        std::ofstream(p, std::ios::binary) << text;
    }
    static std::string read(const std::string &p) {
        std::ifstream in(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    std::string dir_;
};

TEST_F(ConfigFileTest, LoadChecksTheFileAndRemembersItsPath) {
    ASSERT_EQ(set_int("collection.dimension", 5), RK_OK);
    const std::string missing = path("missing.conf");
    const rk_string_t pm = K(missing);
    EXPECT_EQ(rk_config_load(cfg_, &pm), RK_ERR_IO);
    EXPECT_EQ(rk::config::source_path(cfg_), nullptr);

    const std::string file = path("settings.conf");
    write(file, "collection.dimension = 64\ncollection.metric = ip\n");
    const rk_string_t pf = K(file);
    EXPECT_EQ(rk_config_load(cfg_, &pf), RK_OK);
    ASSERT_NE(rk::config::source_path(cfg_), nullptr);
    EXPECT_EQ(std::string(rk::config::source_path(cfg_)), file);
    // The contents are not settings: nothing changed.
    EXPECT_EQ(get_int("collection.dimension"), 5);
    EXPECT_EQ(has("collection.metric"), 0);
    // A later failure keeps the path of the last success.
    EXPECT_EQ(rk_config_load(cfg_, &pm), RK_ERR_IO);
    EXPECT_EQ(std::string(rk::config::source_path(cfg_)), file);

    const rk_string_t nodata = {nullptr, 0};
    EXPECT_EQ(rk_config_load(nullptr, &pf), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_config_load(cfg_, nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_config_load(cfg_, &nodata), RK_ERR_INVALID_ARG);
    ArenaLimit none(0);
    EXPECT_EQ(rk_config_load(cfg_, &pf), RK_ERR_NO_MEMORY);
}

TEST_F(ConfigFileTest, SaveLeavesAnEmptyFile) {
    ASSERT_EQ(set_str("database.path", "/srv/db"), RK_OK);
    const std::string fresh = path("fresh.conf"), old = path("old.conf");
    const rk_string_t pf = K(fresh), po = K(old);
    EXPECT_EQ(rk_config_save(cfg_, &pf), RK_OK);
    struct stat st {};
    ASSERT_EQ(stat(fresh.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);

    write(old, "previous contents");
    EXPECT_EQ(rk_config_save(cfg_, &po), RK_OK);
    EXPECT_EQ(read(old), "");
    EXPECT_EQ(get_str("database.path"), "/srv/db");

    const std::string nowhere = path("no/such/dir/x.conf");
    const rk_string_t pn = K(nowhere);
    EXPECT_EQ(rk_config_save(cfg_, &pn), RK_ERR_IO);
    EXPECT_EQ(rk_config_save(nullptr, &pf), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_config_save(cfg_, nullptr), RK_ERR_INVALID_ARG);
}

TEST_F(ConfigTest, TextArgumentAndEnvironmentSourcesOnlyCheckArguments) {
    const rk_string_t text = K("collection.dimension=64");
    char arg0[] = "prog", arg1[] = "--collection.dimension=64";
    char *argv[] = {arg0, arg1, nullptr};
    setenv("RK_COLLECTION_DIMENSION", "64", 1);
    EXPECT_EQ(rk_config_load_string(cfg_, &text), RK_OK);
    EXPECT_EQ(rk_config_parse_args(cfg_, 2, argv), RK_OK);
    EXPECT_EQ(rk_config_load_env(cfg_), RK_OK);
    unsetenv("RK_COLLECTION_DIMENSION");
    EXPECT_EQ(has("collection"), 0);

    EXPECT_EQ(rk_config_load_string(nullptr, &text), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_config_load_string(cfg_, nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_config_parse_args(cfg_, 2, nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_config_parse_args(nullptr, 2, argv), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_config_load_env(nullptr), RK_ERR_INVALID_ARG);
}

}  // namespace
