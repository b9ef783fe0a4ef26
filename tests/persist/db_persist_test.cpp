// SPDX-License-Identifier: Apache-2.0
// Persistent databases: the directory, the catalog, open / sync / close,
// read-only and memory-mode opens, refusals and injected faults.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "db/db.h"
#include "persist_test_util.h"
#include "platform/file_os.h"
#include "rk_database.h"
#include "support/posix_compat.h"

namespace {

using persist_test::read_bytes;
using persist_test::ScratchDir;
using persist_test::str;
using persist_test::write_bytes;

rk_vecdb_t *open_at(const std::string &path, uint32_t flags = RK_OPEN_CREATE) {
    const rk_string_t p = str(path);
    rk_vecdb_t *db = nullptr;
    EXPECT_EQ(rk_vecdb_open(&p, flags, &db), RK_OK);
    return db;
}

rk_collection_t *get(rk_vecdb_t *db, const char *name) {
    const rk_string_t n = str(name);
    return rk_vecdb_get_collection(db, &n);
}

void insert(rk_vecdb_t *db, const char *name, uint32_t dim, int n, float base) {
    const rk_string_t s = str(name);
    std::vector<float> v(dim);
    for (int i = 0; i < n; ++i) {
        for (uint32_t d = 0; d < dim; ++d) v[d] = base + float(i) + 0.125f * float(d);
        ASSERT_EQ(rk_vecdb_insert(db, &s, v.data(), dim, nullptr), RK_OK);
    }
}

std::vector<std::string> names(rk_vecdb_t *db) {
    std::vector<rk_string_t> list(rk_vecdb_list_collections(db, nullptr, 0));
    rk_vecdb_list_collections(db, list.data(), list.size());
    std::vector<std::string> out;
    for (const rk_string_t &s : list) out.emplace_back(s.data, s.len);
    return out;
}

std::string text_of(const std::string &path) {
    const auto b = read_bytes(path);
    return std::string(b.begin(), b.end());
}

TEST(DbPersist, SeveralCollectionsSurviveCloseAndOpen) {
    ScratchDir dir;
    const std::string path = dir / "db";
    rk_vecdb_t *db = open_at(path);
    insert(db, "alpha", 4, 50, 0.0f);
    insert(db, "beta", 16, 300, 1.0f);
    const rk_string_t gamma = str("gamma");
    ASSERT_EQ(rk_vecdb_create_collection(db, &gamma, 2, nullptr), RK_OK);
    rk_collection_config_t cfg{};
    cfg.name = str("flat");
    cfg.dimension = 3;
    cfg.index_type = RK_INDEX_FLAT;
    ASSERT_EQ(rk_vecdb_create_collection_ex(db, &cfg, nullptr), RK_OK);
    rk_meta_entry_t m{};
    m.key = str("tag");
    m.type = RK_META_STRING;
    m.value.str = str("red");
    ASSERT_EQ(rk_collection_set_meta(get(db, "alpha"), 10, &m, 1), RK_OK);
    ASSERT_EQ(rk_collection_build_index(get(db, "beta")), RK_OK);
    std::vector<float> q(16, 7.3f);
    rk_vecdb_result_t before[10], after[10];
    const rk_string_t beta = str("beta");
    ASSERT_EQ(rk_vecdb_search(db, &beta, q.data(), 16, 10, before), 10u);

    // A second handle in memory holds what we expect to see again.
    rk_vecdb_t *copy = nullptr;
    ASSERT_EQ(rk_vecdb_open(nullptr, 0, &copy), RK_OK);
    ASSERT_EQ(rk_vecdb_close(db), RK_OK);
    EXPECT_EQ(text_of(path + "/.rkmeta"), "alpha\nbeta\ngamma\nflat\n");

    db = open_at(path);
    EXPECT_EQ(names(db), (std::vector<std::string>{"alpha", "beta", "gamma", "flat"}));
    rk_vecdb_stats_t st{};
    ASSERT_EQ(rk_vecdb_get_stats(db, &st), RK_OK);
    EXPECT_EQ(st.collections, 4u);
    EXPECT_EQ(get(db, "alpha")->count, 50u);
    const rk_record_t *r = nullptr;
    ASSERT_EQ(rk_collection_get_record(get(db, "alpha"), 10, &r), RK_OK);
    ASSERT_EQ(r->metadata_count, 1u);
    EXPECT_EQ(std::string(r->metadata[0].value.str.data, r->metadata[0].value.str.len), "red");
    // The built index came back active, without a rebuild.
    EXPECT_EQ(get(db, "beta")->index_threshold, 0u);
    ASSERT_EQ(rk_vecdb_search(db, &beta, q.data(), 16, 10, after), 10u);
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(before[i].id, after[i].id);
        EXPECT_EQ(before[i].distance, after[i].distance);
    }
    EXPECT_EQ(get(db, "flat")->index, nullptr);
    // New records after reopening feed the restored index.
    insert(db, "beta", 16, 5, 100.0f);
    EXPECT_EQ(get(db, "beta")->records[304].id, 305u);
    ASSERT_EQ(rk_vecdb_close(db), RK_OK);
    ASSERT_EQ(rk_vecdb_close(copy), RK_OK);
}

TEST(DbPersist, DroppedCollectionsStayGoneAndCreatedOnesAppear) {
    ScratchDir dir;
    const std::string path = dir / "db";
    rk_vecdb_t *db = open_at(path);
    insert(db, "a", 2, 3, 0.0f);
    insert(db, "b", 2, 3, 0.0f);
    ASSERT_EQ(rk_vecdb_sync(db), RK_OK);
    const rk_string_t a = str("a"), b = str("b");
    ASSERT_EQ(rk_vecdb_drop_collection(db, &a), RK_OK);
    ASSERT_EQ(rk_vecdb_sync(db), RK_OK);
    EXPECT_EQ(text_of(path + "/.rkmeta"), "b\n");
    ASSERT_EQ(rk_vecdb_drop_collection(db, &b), RK_OK);
    ASSERT_EQ(rk_vecdb_close(db), RK_OK);
    // The last drop rewrote the catalog too: nothing comes back.
    EXPECT_EQ(text_of(path + "/.rkmeta"), "");
    db = open_at(path);
    EXPECT_TRUE(names(db).empty());
    insert(db, "a", 3, 1, 5.0f);  // same name, new dimension
    ASSERT_EQ(rk_vecdb_close(db), RK_OK);
    db = open_at(path);
    ASSERT_EQ(names(db), std::vector<std::string>{"a"});
    EXPECT_EQ(get(db, "a")->dimension, 3u);
    EXPECT_EQ(get(db, "a")->count, 1u);
    ASSERT_EQ(rk_vecdb_close(db), RK_OK);
}

TEST(DbPersist, ReadOnlyOpenNeverWrites) {
    ScratchDir dir;
    const std::string path = dir / "db";
    rk_vecdb_t *db = open_at(path);
    insert(db, "a", 4, 10, 0.0f);
    ASSERT_EQ(rk_vecdb_close(db), RK_OK);
    const auto col = read_bytes(path + "/a.rkcol");
    const auto cat = read_bytes(path + "/.rkmeta");
    const auto sto = read_bytes(path + "/storage");
    for (uint32_t flags : {uint32_t(RK_OPEN_READ_ONLY), uint32_t(RK_OPEN_READ_ONLY | RK_OPEN_CREATE)}) {
        db = open_at(path, flags);
        ASSERT_EQ(get(db, "a")->count, 10u);
        insert(db, "a", 4, 5, 1.0f);
        insert(db, "new", 4, 5, 1.0f);
        EXPECT_EQ(rk_vecdb_sync(db), RK_OK);
        EXPECT_EQ(rk_vecdb_close(db), RK_OK);
        EXPECT_EQ(read_bytes(path + "/a.rkcol"), col);
        EXPECT_EQ(read_bytes(path + "/.rkmeta"), cat);
        EXPECT_EQ(read_bytes(path + "/storage"), sto);
        EXPECT_EQ(dir.list(), std::vector<std::string>{"db"});
    }
    // Read-only with a missing directory creates nothing.
    db = open_at(dir / "none", RK_OPEN_READ_ONLY | RK_OPEN_CREATE);
    EXPECT_EQ(rk_vecdb_close(db), RK_OK);
    EXPECT_EQ(dir.list(), std::vector<std::string>{"db"});
}

TEST(DbPersist, MemoryModeWithPathReadsNothingButWritesAtClose) {
    ScratchDir dir;
    const std::string path = dir / "db";
    rk_vecdb_t *db = open_at(path);
    insert(db, "old", 2, 2, 0.0f);
    ASSERT_EQ(rk_vecdb_close(db), RK_OK);
    rk_vecdb_config_t cfg{};
    cfg.path = str(path);
    cfg.storage_mode = RK_DB_MEMORY;
    ASSERT_EQ(rk_vecdb_open_ex(&cfg, &db), RK_OK);
    EXPECT_TRUE(names(db).empty());
    insert(db, "fresh", 2, 4, 0.0f);
    ASSERT_EQ(rk_vecdb_close(db), RK_OK);
    EXPECT_EQ(text_of(path + "/.rkmeta"), "fresh\n");
    db = open_at(path);
    EXPECT_EQ(names(db), std::vector<std::string>{"fresh"});
    ASSERT_EQ(rk_vecdb_close(db), RK_OK);
    // Without a path nothing is written anywhere.
    ASSERT_EQ(rk_vecdb_open(nullptr, 0, &db), RK_OK);
    insert(db, "x", 2, 1, 0.0f);
    EXPECT_EQ(rk_vecdb_sync(db), RK_OK);
    EXPECT_EQ(rk_vecdb_close(db), RK_OK);
}

TEST(DbPersist, CatalogLinesAndHostileNames) {
    ScratchDir dir;
    const std::string path = dir / "db";
    rk_vecdb_t *db = open_at(path);
    insert(db, "a", 2, 1, 0.0f);
    insert(db, "b", 2, 2, 0.0f);
    ASSERT_EQ(rk_vecdb_close(db), RK_OK);
    ASSERT_EQ(mkdir((dir / "outside").c_str(), 0755), 0);
    ASSERT_EQ(rename((path + "/a.rkcol").c_str(), (dir / "outside/x.rkcol").c_str()), 0);
    ASSERT_EQ(rename((path + "/b.rkcol").c_str(), (path + "/a.rkcol").c_str()), 0);
    write_bytes(path + "/b.rkcol", read_bytes(path + "/a.rkcol"));
    write_bytes(path + "/.rkmeta", {'a', '\n', '\n', 'a', '\n', '.', '.',  '/', 'o',  'u',  't',
                                    's', 'i',  'd',  'e', '/',  'x', '\n', 'c', '\r', '\0', 'b'});
    db = open_at(path);
    // Empty lines and duplicates are skipped, so are names no collection
    // may have (a path out of the directory, a carriage return); text after
    // the last terminator is ignored. The catalog's name wins over the one
    // in the file's header.
    EXPECT_EQ(names(db), std::vector<std::string>{"a"});
    EXPECT_EQ(get(db, "a")->count, 2u);
    EXPECT_STREQ(get(db, "a")->name, "a");
    ASSERT_EQ(rk_vecdb_close(db), RK_OK);
}

TEST(DbPersist, PathsThatCannotHoldADatabaseAreRefused) {
    ScratchDir dir;
    const std::string file = dir / "plain";
    write_bytes(file, {'k', 'e', 'e', 'p'});
    rk_vecdb_t *db = nullptr;
    const rk_string_t p = str(file);
    EXPECT_EQ(rk_vecdb_open(&p, RK_OPEN_CREATE, &db), RK_ERR_EXISTS);
    EXPECT_EQ(db, nullptr);
    EXPECT_EQ(text_of(file), "keep");
    const std::string longer = dir.path() + "/" + std::string(1020, 'd');
    const rk_string_t l = str(longer);
    EXPECT_EQ(rk_vecdb_open(&l, RK_OPEN_CREATE, &db), RK_ERR_PATH_TOO_LONG);
    EXPECT_EQ(db, nullptr);
    // A collection whose file name would not fit is refused when created,
    // so every save succeeds.
    const std::string mid = dir.path() + "/" + std::string(200, 'm');
    db = open_at(mid);
    insert(db, "ok", 2, 1, 0.0f);
    const std::string too_long(900, 'n');
    const rk_string_t n = str(too_long);
    const float v[2] = {0.25f, 0.75f};
    EXPECT_EQ(rk_vecdb_insert(db, &n, v, 2, nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_vecdb_sync(db), RK_OK);
    EXPECT_EQ(rk_vecdb_close(db), RK_OK);
    db = open_at(mid);
    EXPECT_EQ(names(db), std::vector<std::string>{"ok"});
    ASSERT_EQ(rk_vecdb_close(db), RK_OK);
}

// Failed writes, syncs and renames are reported by sync and close, and the
// directory keeps the previous save.
TEST(DbPersist, InjectedFaultsAreReportedAndLoseNothing) {
    ScratchDir dir;
    const std::string path = dir / "db";
    rk_vecdb_t *db = open_at(path);
    insert(db, "a", 4, 20, 0.0f);
    insert(db, "b", 4, 20, 0.0f);
    ASSERT_EQ(rk_vecdb_sync(db), RK_OK);
    const auto a_before = read_bytes(path + "/a.rkcol");
    insert(db, "a", 4, 5, 9.0f);
    insert(db, "c", 4, 1, 9.0f);
    using rk::os::Fault;
    // The first write of the first save fails: a keeps its previous bytes.
    rk::os::fault_arm(Fault::write, 1);
    EXPECT_EQ(rk_vecdb_sync(db), RK_ERR_IO);
    rk::os::fault_clear();
    EXPECT_EQ(read_bytes(path + "/a.rkcol"), a_before);
    // The other saves went on: the catalog lists c, whose file now exists.
    EXPECT_EQ(text_of(path + "/.rkmeta"), "a\nb\nc\n");
    for (Fault kind : {Fault::write, Fault::sync, Fault::rename}) {
        for (uint64_t nth = 1; nth <= 4; ++nth) {
            rk::os::fault_clear();
            rk::os::fault_arm(kind, nth);
            EXPECT_NE(rk_vecdb_sync(db), RK_OK) << int(kind) << " " << nth;
            rk::os::fault_clear();
        }
    }
    rk::os::fault_arm(Fault::rename, 1);
    EXPECT_EQ(rk_vecdb_close(db), RK_ERR_IO);
    rk::os::fault_clear();
    db = open_at(path);
    ASSERT_NE(get(db, "a"), nullptr);
    // Every collection is the state of some completed save.
    const uint64_t n = get(db, "a")->count;
    EXPECT_TRUE(n == 20u || n == 25u) << n;
    for (const std::string &name : names(db)) EXPECT_NE(name, "");
    ASSERT_EQ(rk_vecdb_close(db), RK_OK);
    for (const std::string &f : dir.list()) EXPECT_EQ(f.find(".tmp-"), std::string::npos) << f;
}

}  // namespace
