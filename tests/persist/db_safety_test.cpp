// SPDX-License-Identifier: Apache-2.0
// Nothing a database directory holds is lost or overwritten by accident:
// collections that fail to load keep their entries and files, one writer at
// a time holds a directory, index files fail loudly and keep the last save,
// names that could never be saved are refused, symbolic links are never
// written through and an open that cannot make its directory says why.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#endif


#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "persist_test_util.h"
#include "platform/file_os.h"
#include "rk_database.h"
#include "rk_log.h"
#include "rk_platform.h"
#include "support/alloc_faults.h"
#include "support/posix_compat.h"

namespace {

using persist_test::read_bytes;
using persist_test::ScratchDir;
using persist_test::str;
using persist_test::write_bytes;

rk_status_t open_status(const std::string &path, uint32_t flags, rk_vecdb_t **db) {
    const rk_string_t p = str(path);
    return rk_vecdb_open(&p, flags, db);
}

rk_vecdb_t *open_at(const std::string &path, uint32_t flags = RK_OPEN_CREATE) {
    rk_vecdb_t *db = nullptr;
    EXPECT_EQ(open_status(path, flags, &db), RK_OK);
    return db;
}

void insert(rk_vecdb_t *db, const std::string &name, uint32_t dim, int n, float base) {
    const rk_string_t s = str(name);
    std::vector<float> v(dim);
    for (int i = 0; i < n; ++i) {
        for (uint32_t d = 0; d < dim; ++d) v[d] = base + 0.37f * float(i) + 0.113f * float(d);
        ASSERT_EQ(rk_vecdb_insert(db, &s, v.data(), dim, nullptr), RK_OK);
    }
}

rk_collection_t *get(rk_vecdb_t *db, const char *name) {
    const rk_string_t n = str(name);
    return rk_vecdb_get_collection(db, &n);
}

std::vector<std::string> names(rk_vecdb_t *db) {
    std::vector<rk_string_t> list(rk_vecdb_list_collections(db, nullptr, 0));
    rk_vecdb_list_collections(db, list.data(), list.size());
    std::vector<std::string> out;
    for (const rk_string_t &s : list) out.emplace_back(s.data, s.len);
    return out;
}

std::vector<std::pair<std::string, rk_status_t>> failures(rk_vecdb_t *db) {
    std::vector<rk_vecdb_load_failure_t> list(rk_vecdb_list_failed_collections(db, nullptr, 0));
    list.resize(rk_vecdb_list_failed_collections(db, list.data(), list.size()));
    std::vector<std::pair<std::string, rk_status_t>> out;
    for (const auto &f : list) out.emplace_back(std::string(f.name.data, f.name.len), f.status);
    return out;
}

std::string text_of(const std::string &path) {
    const auto b = read_bytes(path);
    return std::string(b.begin(), b.end());
}

bool exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// Every file of a directory with its bytes, so "nothing was written" can be
// checked whole.
std::vector<std::pair<std::string, std::vector<unsigned char>>> snapshot(const std::string &dir) {
    std::vector<std::pair<std::string, std::vector<unsigned char>>> out;
    for (const std::string &f : ScratchDir::list_of(dir)) out.emplace_back(f, read_bytes(dir + "/" + f));
    return out;
}

// Captures warnings instead of printing them.
struct LogCapture {
    LogCapture() {
        rk_log_set_callback(&LogCapture::take, this);
        saved_level = rk_log_get_level();
        rk_log_set_level(RK_LOG_WARN);
    }
    ~LogCapture() {
        rk_log_set_callback(nullptr, nullptr);
        rk_log_set_level(saved_level);
    }
    static void take(uint32_t level, const char *, uint32_t, const char *, int64_t, const char *message,
                     void *self) {
        if (level == RK_LOG_WARN) static_cast<LogCapture *>(self)->lines.emplace_back(message);
    }
    std::vector<std::string> lines;
    rk_log_level_t saved_level;
};

// ---- collections that fail to load ----

TEST(DbSafety, CollectionThatFailsToLoadKeepsItsEntryFilesAndName) {
    ScratchDir dir;
    const std::string path = dir / "db";
    rk_vecdb_t *db = open_at(path);
    insert(db, "a", 4, 10, 0.0f);
    insert(db, "b", 4, 10, 1.0f);
    insert(db, "c", 4, 10, 2.0f);
    ASSERT_EQ(rk_vecdb_close(db), RK_OK);
    // b is damaged beyond reading, c has gone missing.
    write_bytes(path + "/b.rkcol", {'n', 'o', 't', ' ', 'a', ' ', 'f', 'i', 'l', 'e'});
    ASSERT_EQ(unlink((path + "/c.rkcol").c_str()), 0);
    const auto b_bytes = read_bytes(path + "/b.rkcol");

    LogCapture log;
    db = open_at(path);
    EXPECT_EQ(names(db), std::vector<std::string>{"a"});
    const auto failed = failures(db);
    ASSERT_EQ(failed.size(), 2u);
    EXPECT_EQ(failed[0].first, "b");
    EXPECT_NE(failed[0].second, RK_OK);
    EXPECT_EQ(failed[1], std::make_pair(std::string("c"), rk_status_t(RK_ERR_NOT_FOUND)));
    ASSERT_EQ(log.lines.size(), 2u);
    EXPECT_NE(log.lines[0].find("\"b\""), std::string::npos) << log.lines[0];
    EXPECT_NE(log.lines[1].find("\"c\""), std::string::npos) << log.lines[1];
    EXPECT_NE(log.lines[1].find(std::to_string(RK_ERR_NOT_FOUND)), std::string::npos) << log.lines[1];
    rk_vecdb_load_failure_t one[1];
    EXPECT_EQ(rk_vecdb_list_failed_collections(db, one, 1), 1u);
    EXPECT_EQ(rk_vecdb_list_failed_collections(nullptr, one, 1), 0u);

    // The names stay taken: neither create nor a creating insert reuses them.
    const rk_string_t b = str("b");
    EXPECT_EQ(rk_vecdb_create_collection(db, &b, 4, nullptr), RK_ERR_EXISTS);
    const float v[4] = {0.5f, 0.25f, 0.125f, 0.0625f};
    EXPECT_EQ(rk_vecdb_insert(db, &b, v, 4, nullptr), RK_ERR_EXISTS);
    EXPECT_EQ(rk_vecdb_has_collection(db, &b), 0);
    ASSERT_EQ(rk_vecdb_close(db), RK_OK);
    // Saving kept them listed and left b's bytes alone.
    EXPECT_EQ(text_of(path + "/.rkmeta"), "a\nb\nc\n");
    EXPECT_EQ(read_bytes(path + "/b.rkcol"), b_bytes);

    // Dropping b forgets it and removes its file; c is dropped too and the
    // name can be used again.
    db = open_at(path);
    EXPECT_EQ(failures(db).size(), 2u);
    EXPECT_EQ(rk_vecdb_drop_collection(db, &b), RK_OK);
    EXPECT_FALSE(exists(path + "/b.rkcol"));
    const rk_string_t c = str("c");
    EXPECT_EQ(rk_vecdb_drop_collection(db, &c), RK_OK);
    EXPECT_EQ(rk_vecdb_drop_collection(db, &c), RK_ERR_NOT_FOUND);
    EXPECT_TRUE(failures(db).empty());
    insert(db, "b", 2, 3, 0.0f);
    ASSERT_EQ(rk_vecdb_close(db), RK_OK);
    EXPECT_EQ(text_of(path + "/.rkmeta"), "a\nb\n");
    db = open_at(path);
    EXPECT_EQ(names(db), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(get(db, "b")->count, 3u);
    ASSERT_EQ(rk_vecdb_close(db), RK_OK);
}

TEST(DbSafety, ReadOnlyDropOfAFailedCollectionRemovesNothing) {
    ScratchDir dir;
    const std::string path = dir / "db";
    rk_vecdb_t *db = open_at(path);
    insert(db, "a", 4, 3, 0.0f);
    ASSERT_EQ(rk_vecdb_close(db), RK_OK);
    write_bytes(path + "/a.rkcol", {'x'});
    LogCapture quiet;
    db = open_at(path, RK_OPEN_READ_ONLY);
    ASSERT_EQ(failures(db).size(), 1u);
    const rk_string_t a = str("a");
    EXPECT_EQ(rk_vecdb_drop_collection(db, &a), RK_OK);
    ASSERT_EQ(rk_vecdb_close(db), RK_OK);
    EXPECT_TRUE(exists(path + "/a.rkcol"));
    EXPECT_EQ(text_of(path + "/.rkmeta"), "a\n");
}

// Every allocation of an open fails in turn: the open either fails with
// RK_ERR_NO_MEMORY and has written nothing, or loads every collection.
TEST(DbSafety, OutOfMemoryDuringOpenFailsTheOpenAndWritesNothing) {
    ScratchDir dir;
    const std::string path = dir / "db";
    rk_vecdb_t *db = open_at(path);
    insert(db, "a", 8, 40, 0.0f);
    insert(db, "b", 8, 40, 1.0f);
    insert(db, "c", 3, 5, 2.0f);
    ASSERT_EQ(rk_collection_build_index(get(db, "b")), RK_OK);
    ASSERT_EQ(rk_vecdb_close(db), RK_OK);
    auto before = snapshot(path);

    rk_test::FailingAllocator hooks;
    ASSERT_TRUE(hooks.installed());
    bool completed = false;
    for (long n = 0; n < 100000 && !completed; ++n) {
        hooks.arm(n);
        rk_vecdb_t *h = nullptr;
        const rk_status_t st = open_status(path, RK_OPEN_CREATE, &h);
        const bool failed = hooks.failed();
        hooks.disarm();
        if (st == RK_OK) {
            EXPECT_EQ(names(h), (std::vector<std::string>{"a", "b", "c"})) << n;
            EXPECT_TRUE(failures(h).empty()) << n;
            ASSERT_EQ(rk_vecdb_close(h), RK_OK);
            before = snapshot(path);  // that close saved
            completed = !failed;
        } else {
            ASSERT_EQ(st, RK_ERR_NO_MEMORY) << n;
            ASSERT_EQ(h, nullptr);
            ASSERT_EQ(snapshot(path), before) << n;
            // The lock went with the failed open.
            rk_vecdb_t *again = nullptr;
            ASSERT_EQ(open_status(path, RK_OPEN_READ_ONLY, &again), RK_OK);
            ASSERT_EQ(rk_vecdb_close(again), RK_OK);
        }
    }
    EXPECT_TRUE(completed);
    EXPECT_EQ(text_of(path + "/.rkmeta"), "a\nb\nc\n");
}

TEST(DbSafety, UnreadableCatalogFailsTheOpenInsteadOfForgettingEverything) {
    ScratchDir dir;
    const std::string path = dir / "db";
    rk_vecdb_t *db = open_at(path);
    insert(db, "a", 4, 3, 0.0f);
    ASSERT_EQ(rk_vecdb_close(db), RK_OK);
    // A directory where the catalog belongs cannot be read as one.
    ASSERT_EQ(rename((path + "/.rkmeta").c_str(), (path + "/saved").c_str()), 0);
    ASSERT_EQ(mkdir((path + "/.rkmeta").c_str(), 0755), 0);
    db = nullptr;
    EXPECT_NE(open_status(path, RK_OPEN_CREATE, &db), RK_OK);
    EXPECT_EQ(db, nullptr);
    EXPECT_TRUE(exists(path + "/a.rkcol"));
}

// ---- one writer per directory ----

TEST(DbSafety, SecondReadWriteOpenIsRefusedAndReadersSeeTheLastSave) {
    ScratchDir dir;
    const std::string path = dir / "db";
    rk_vecdb_t *writer = open_at(path);
    insert(writer, "a", 4, 5, 0.0f);
    ASSERT_EQ(rk_vecdb_sync(writer), RK_OK);
    insert(writer, "a", 4, 5, 9.0f);  // not saved yet

    rk_vecdb_t *second = nullptr;
    EXPECT_EQ(open_status(path, RK_OPEN_CREATE, &second), RK_ERR_FILE_LOCKED);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(open_status(path, 0, &second), RK_ERR_FILE_LOCKED);
    // A memory-mode handle with the same path may not save over it either.
    rk_vecdb_config_t cfg{};
    cfg.path = str(path);
    cfg.storage_mode = RK_DB_MEMORY;
    rk_vecdb_t *memory = nullptr;
    ASSERT_EQ(rk_vecdb_open_ex(&cfg, &memory), RK_OK);
    insert(memory, "m", 2, 1, 0.0f);
    EXPECT_EQ(rk_vecdb_sync(memory), RK_ERR_FILE_LOCKED);

    rk_vecdb_t *reader = open_at(path, RK_OPEN_READ_ONLY);
    ASSERT_NE(get(reader, "a"), nullptr);
    EXPECT_EQ(get(reader, "a")->count, 5u);
    ASSERT_EQ(rk_vecdb_close(reader), RK_OK);

    ASSERT_EQ(rk_vecdb_close(writer), RK_OK);
    EXPECT_EQ(rk_vecdb_close(memory), RK_OK);  // the lock is free now
    rk_vecdb_t *next = open_at(path);
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(names(next), std::vector<std::string>{"m"});
    ASSERT_EQ(rk_vecdb_close(next), RK_OK);
}

#ifndef _WIN32
// (Windows has no fork: the tool's lock test runs two processes there.)
TEST(DbSafety, ALockHeldByAnotherProcessIsRefusedToo) {
    ScratchDir dir;
    const std::string path = dir / "db";
    rk_vecdb_t *writer = open_at(path);
    ASSERT_NE(writer, nullptr);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        rk_vecdb_t *db = nullptr;
        const rk_status_t rw = open_status(path, RK_OPEN_CREATE, &db);
        rk_vecdb_t *ro = nullptr;
        const rk_status_t r = open_status(path, RK_OPEN_READ_ONLY, &ro);
        _exit(rw == RK_ERR_FILE_LOCKED && r == RK_OK ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    ASSERT_EQ(rk_vecdb_close(writer), RK_OK);
}
#endif

// ---- index files ----

TEST(DbSafety, IndexFileThatCannotBeWrittenFailsTheSaveAndKeepsTheLastOne) {
    ScratchDir dir;
    const std::string path = dir / "db";
    rk_vecdb_t *db = open_at(path);
    insert(db, "g", 8, 200, 0.0f);
    ASSERT_EQ(rk_collection_build_index(get(db, "g")), RK_OK);
    ASSERT_EQ(rk_vecdb_sync(db), RK_OK);
    const auto index_before = read_bytes(path + "/g.rkidx");
    const auto file_before = read_bytes(path + "/g.rkcol");
    ASSERT_FALSE(index_before.empty());
    insert(db, "g", 8, 5, 50.0f);

    // The index file is the first file written: its first write fails.
    rk::os::fault_clear();
    rk::os::fault_arm(rk::os::Fault::write, 1);
    EXPECT_EQ(rk_vecdb_sync(db), RK_ERR_IO);
    rk::os::fault_clear();
    EXPECT_EQ(read_bytes(path + "/g.rkidx"), index_before);
    EXPECT_EQ(read_bytes(path + "/g.rkcol"), file_before);

#ifndef _WIN32
    // A file-size limit the index does not fit under: RK_ERR_TOO_LARGE.
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const sighandler_t old = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = rlim_t(index_before.size() / 2);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const rk_status_t limited = rk_vecdb_sync(db);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
    signal(SIGXFSZ, old);
    EXPECT_EQ(limited, RK_ERR_TOO_LARGE);
    EXPECT_EQ(read_bytes(path + "/g.rkidx"), index_before);
    EXPECT_EQ(read_bytes(path + "/g.rkcol"), file_before);
#endif
    for (const std::string &f : ScratchDir::list_of(path)) EXPECT_EQ(f.find(".tmp-"), std::string::npos) << f;

    // The directory still holds the last completed save, index included.
    rk::os::fault_arm(rk::os::Fault::write, 1);
    EXPECT_EQ(rk_vecdb_close(db), RK_ERR_IO);
    rk::os::fault_clear();
    db = open_at(path);
    ASSERT_NE(get(db, "g"), nullptr);
    EXPECT_EQ(get(db, "g")->count, 200u);
    EXPECT_EQ(get(db, "g")->index_threshold, 0u);  // restored active
    ASSERT_EQ(rk_vecdb_close(db), RK_OK);
}

TEST(DbSafety, FullDiskIsReportedAsDiskFull) {
    if (!kPosixSystem) GTEST_SKIP() << "no /dev/full";
    const int fd = rk::os::open_file("/dev/full", rk::os::OpenMode::write_create);
    if (fd < 0) GTEST_SKIP() << "no /dev/full";
    const char byte = 'x';
    EXPECT_EQ(rk::os::write_all(fd, &byte, 1), -1);
    EXPECT_EQ(rk::os::last_error_status(), RK_ERR_DISK_FULL);
    rk::os::close_file(fd);
    // The public writers say so too, where a bare I/O error was all before.
    const rk_string_t full = str("/dev/full");
    EXPECT_EQ(rk_file_write_all(&full, "x", 1), RK_ERR_DISK_FULL);
}

// ---- names, links and directories ----

TEST(DbSafety, NamesWhoseFilesCouldNeverBeSavedAreRefused) {
    ScratchDir dir;
    const std::string path = dir / "db";
    rk_vecdb_t *db = open_at(path);
    // "DIR/NAME.rkcol.tmp-XXXXXX" must fit the system's path limit too,
    // which on Windows is the tighter bound.
    const size_t path_limit = kPosixSystem ? 1023 : 259;
    const size_t room = path_limit - path.size() - 1 - std::strlen(".rkcol.tmp-XXXXXX");
    const size_t longest_len = std::min<size_t>(RK_VECDB_NAME_MAX, room);
    const std::string longest(longest_len, 'n');
    const std::string too_long(longest_len + 1, 'n');
    const rk_string_t ok = str(longest), bad = str(too_long);
    EXPECT_EQ(rk_vecdb_create_collection(db, &bad, 2, nullptr), RK_ERR_INVALID_ARG);
    const float v[2] = {0.5f, 1.5f};
    EXPECT_EQ(rk_vecdb_insert(db, &bad, v, 2, nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_vecdb_insert_batch(db, &bad, v, 2, 1, nullptr), RK_ERR_INVALID_ARG);
    ASSERT_EQ(rk_vecdb_insert(db, &ok, v, 2, nullptr), RK_OK);
    ASSERT_EQ(rk_vecdb_close(db), RK_OK);
    db = open_at(path);
    EXPECT_EQ(names(db), std::vector<std::string>{longest});
    ASSERT_EQ(rk_vecdb_close(db), RK_OK);

    // In a deep directory the whole path of a save must fit as well (on
    // Windows the path limit is far below this depth).
    if (!kPosixSystem) return;
    const std::string deep = dir.path() + "/" + std::string(200, 'd') + "/" + std::string(200, 'e') + "/" +
                             std::string(200, 'f') + "/" + std::string(200, 'g');
    db = open_at(deep);
    ASSERT_NE(db, nullptr);
    // "DIR/" + name + ".rkcol.tmp-XXXXXX" in at most 1023 bytes.
    ASSERT_LT(deep.size(), 1005u - 10);
    const std::string fits(1005 - deep.size(), 'k');
    const std::string over(fits.size() + 1, 'k');
    const rk_string_t f = str(fits), o = str(over);
    EXPECT_EQ(rk_vecdb_create_collection(db, &o, 2, nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_vecdb_create_collection(db, &f, 2, nullptr), RK_OK);
    ASSERT_EQ(rk_vecdb_sync(db), RK_OK);
    ASSERT_EQ(rk_vecdb_close(db), RK_OK);
}

TEST(DbSafety, StorageFileIsNeverWrittenThroughASymbolicLink) {
    if (!kPosixSystem) GTEST_SKIP() << "no symbolic links without privileges";
    ScratchDir dir;
    const std::string path = dir / "db";
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
    write_bytes(dir / "victim", {'k', 'e', 'e', 'p'});
    ASSERT_EQ(symlink((dir / "victim").c_str(), (path + "/storage").c_str()), 0);
    rk_vecdb_t *db = nullptr;
    EXPECT_EQ(open_status(path, RK_OPEN_CREATE, &db), RK_ERR_PERMISSION);
    EXPECT_EQ(db, nullptr);
    EXPECT_EQ(open_status(path, 0, &db), RK_ERR_PERMISSION);
    EXPECT_EQ(text_of(dir / "victim"), "keep");
    // Reading through it harms nothing.
    db = open_at(path, RK_OPEN_READ_ONLY);
    ASSERT_EQ(rk_vecdb_close(db), RK_OK);
    EXPECT_EQ(text_of(dir / "victim"), "keep");
    // Neither is the lock file.
    ASSERT_EQ(unlink((path + "/storage").c_str()), 0);
    (void)unlink((path + "/.rklock").c_str());
    ASSERT_EQ(symlink((dir / "victim").c_str(), (path + "/.rklock").c_str()), 0);
    EXPECT_EQ(open_status(path, RK_OPEN_CREATE, &db), RK_ERR_PERMISSION);
    EXPECT_EQ(text_of(dir / "victim"), "keep");
}

TEST(DbSafety, OpenSaysWhyTheDirectoryCannotBeMade) {
    if (!kPosixSystem) GTEST_SKIP() << "no symbolic links or directory modes";
    ScratchDir dir;
    rk_vecdb_t *db = nullptr;
    // A dangling link where the directory belongs.
    ASSERT_EQ(symlink((dir / "nowhere/at/all").c_str(), (dir / "dangling").c_str()), 0);
    EXPECT_EQ(open_status(dir / "dangling", RK_OPEN_CREATE, &db), RK_ERR_NOT_FOUND);
    EXPECT_EQ(db, nullptr);
    // A file where a parent directory belongs.
    write_bytes(dir / "plain", {'x'});
    EXPECT_EQ(open_status(dir / "plain/db", RK_OPEN_CREATE, &db), RK_ERR_NOT_FOUND);
    EXPECT_EQ(text_of(dir / "plain"), "x");
#ifndef _WIN32
    if (geteuid() != 0) {
        ASSERT_EQ(mkdir((dir / "closed").c_str(), 0555), 0);
        EXPECT_EQ(open_status(dir / "closed/db", RK_OPEN_CREATE, &db), RK_ERR_PERMISSION);
    }
#endif
    // Missing parents are still made.
    db = open_at(dir / "x/y/z");
    ASSERT_NE(db, nullptr);
    ASSERT_EQ(rk_vecdb_close(db), RK_OK);
}

}  // namespace
