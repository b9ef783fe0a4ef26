// SPDX-License-Identifier: Apache-2.0
// File-system utilities: descriptor modes, whole files, directory trees,
// path helpers, temporary names and crash-safe replacement under faults.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/file_os.h"
#include "rk_error.h"
#include "rk_memory.h"
#include "rk_platform.h"
#include "support/posix_compat.h"

namespace {

rk_string_t S(const std::string &s) { return rk_string_t{s.c_str(), s.size()}; }

class FileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/rk_file_test_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        ASSERT_EQ(rk_arena_create(0, &arena_), RK_OK);
        rk::os::fault_clear();
    }
    void TearDown() override {
        rk::os::fault_clear();
        rk_arena_destroy(arena_);
        const rk_string_t d = S(dir_);
        rk_file_rmdir_recursive(&d);
    }
    std::string path(const std::string &name) const { return dir_ + "/" + name; }
    void put(const std::string &name, const std::string &text) {
        const std::string p = path(name);
        const rk_string_t v = S(p);
        ASSERT_EQ(rk_file_write_all(&v, text.data(), text.size()), RK_OK);
    }
    std::string get(const std::string &name) {
        const std::string p = path(name);
        const rk_string_t v = S(p);
        uint64_t size = 0;
        char *data = static_cast<char *>(rk_file_read_all(&v, &size));
        if (!data) return "<missing>";
        std::string out(data, size);
        rk_free(data);
        return out;
    }
    bool exists(const std::string &name) {
        const std::string p = path(name);
        const rk_string_t v = S(p);
        return rk_file_exists(&v) == 1;
    }
    std::vector<std::string> list(const std::string &name) {
        const std::string p = path(name);
        const rk_string_t v = S(p);
        char **names = rk_file_list_dir(&v, arena_);
        std::vector<std::string> out;
        if (!names) return {"<null>"};
        for (char **n = names; *n; ++n) {
            out.emplace_back(*n);
            rk_free(*n);
        }
        std::sort(out.begin(), out.end());
        return out;
    }
    std::string dir_;
    rk_arena_t *arena_ = nullptr;
};

TEST_F(FileTest, OnlyTheFirstTwoModeCharactersCount) {
    put("f", "hello");
    const std::string p = path("f");
    const rk_string_t v = S(p);
    const std::string rbp = "rb+", wbp = "wb+", rp = "r+", a = "a";
    const rk_string_t m_rbp = S(rbp), m_wbp = S(wbp), m_rp = S(rp), m_a = S(a);

    // "rb+" is "rb": read-only.
    int fd = rk_file_open(&v, &m_rbp);
    ASSERT_GE(fd, 0);
    char buf[8] = {};
    EXPECT_EQ(rk_file_read(fd, buf, 8), 5);
    EXPECT_EQ(rk_file_write(fd, "x", 1), -1);
    EXPECT_EQ(rk_file_close(fd), 0);

    // "r+" reads and writes in place.
    fd = rk_file_open(&v, &m_rp);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(rk_file_write(fd, "J", 1), 1);
    EXPECT_EQ(rk_file_seek(fd, 0, RK_FILE_SEEK_END), 5);
    EXPECT_EQ(rk_file_close(fd), 0);
    EXPECT_EQ(get("f"), "Jello");

    // "a" appends whatever the position.
    fd = rk_file_open(&v, &m_a);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(rk_file_seek(fd, 0, RK_FILE_SEEK_SET), 0);
    EXPECT_EQ(rk_file_write(fd, "!", 1), 1);
    EXPECT_EQ(rk_file_close(fd), 0);
    EXPECT_EQ(get("f"), "Jello!");

    // "wb+" is "wb": write-only and truncating.
    fd = rk_file_open(&v, &m_wbp);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(rk_file_read(fd, buf, 8), -1);
    EXPECT_EQ(rk_file_close(fd), 0);
    EXPECT_EQ(rk_file_size(&v), 0);

    EXPECT_EQ(rk_file_close(-1), -1);
    EXPECT_EQ(rk_file_seek(-1, 0, 0), -1);
    const std::string missing = path("missing");
    const rk_string_t mv = S(missing);
    EXPECT_EQ(rk_file_open(&mv, nullptr), -1);
    EXPECT_EQ(rk_file_open(nullptr, &m_a), -1);
}

TEST_F(FileTest, WholeFilesAndCopies) {
    put("empty", "");
    const std::string e = path("empty");
    const rk_string_t ev = S(e);
    uint64_t size = 99;
    char *data = static_cast<char *>(rk_file_read_all(&ev, &size));
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(data[0], '\0');
    rk_free(data);

    std::string big(10000, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + 3);
    put("big", big);
    const std::string src = path("big"), dst = path("copy");
    const rk_string_t sv = S(src), dv = S(dst);
    EXPECT_EQ(rk_file_copy(&sv, &dv), RK_OK);
    EXPECT_EQ(get("copy"), big);
    EXPECT_EQ(rk_file_size(&dv), 10000);
    EXPECT_GT(rk_file_mtime(&dv), 1600000000);

    const std::string missing = path("missing");
    const rk_string_t mv = S(missing);
    size = 99;
    EXPECT_EQ(rk_file_read_all(&mv, &size), nullptr);
    EXPECT_EQ(size, 99u);
    EXPECT_EQ(rk_file_copy(&mv, &dv), RK_ERR_IO);
    EXPECT_EQ(rk_file_size(&mv), -1);
    EXPECT_EQ(rk_file_mtime(&mv), -1);
    EXPECT_EQ(rk_file_write_all(&dv, nullptr, 3), RK_ERR_INVALID_ARG);
}

TEST_F(FileTest, CopyReportsAReadErrorInsteadOfAShortCopy) {
    // A directory opens for reading but every read fails.
    ASSERT_EQ(mkdir(path("d").c_str(), 0755), 0);
    const std::string src = path("d"), dst = path("out");
    const rk_string_t sv = S(src), dv = S(dst);
    EXPECT_EQ(rk_file_copy(&sv, &dv), RK_ERR_IO);
}

TEST_F(FileTest, WritesThatFailAreReported) {
    const std::string p = path("f");
    const rk_string_t v = S(p);
    rk::os::fault_arm(rk::os::Fault::write, 1);
    EXPECT_EQ(rk_file_write_all(&v, "abc", 3), RK_ERR_IO);
    put("g", "abc");
    const std::string q = path("g");
    const rk_string_t qv = S(q);
    rk::os::fault_arm(rk::os::Fault::write, 1);
    EXPECT_EQ(rk_file_copy(&qv, &v), RK_ERR_IO);
}

TEST_F(FileTest, QueriesTellFilesFromDirectories) {
    put("f", "x");
    const std::string f = path("f"), missing = path("nope");
    const rk_string_t fv = S(f), mv = S(missing), dv = S(dir_);
    EXPECT_EQ(rk_file_is_regular(&fv), 1);
    EXPECT_EQ(rk_file_is_directory(&fv), 0);
    EXPECT_EQ(rk_file_is_directory(&dv), 1);
    EXPECT_EQ(rk_file_is_regular(&dv), 0);
    EXPECT_EQ(rk_file_exists(&dv), 1);
    EXPECT_EQ(rk_file_exists(&mv), 0);
    EXPECT_EQ(rk_file_is_regular(&mv), 0);
    EXPECT_EQ(rk_file_is_directory(&mv), 0);
    EXPECT_EQ(rk_file_exists(nullptr), 0);

    const std::string g = path("g");
    const rk_string_t gv = S(g);
    EXPECT_EQ(rk_file_rename(&fv, &gv), RK_OK);
    EXPECT_EQ(rk_file_exists(&fv), 0);
    EXPECT_EQ(rk_file_unlink(&gv), RK_OK);
    EXPECT_EQ(rk_file_unlink(&gv), RK_ERR_IO);
    EXPECT_EQ(rk_file_rename(&gv, &fv), RK_ERR_IO);
}

TEST_F(FileTest, DirectoryTreesAreMadeListedAndRemoved) {
    const std::string deep = path("a/b\\c/d");
    const rk_string_t dv = S(deep);
    ASSERT_EQ(rk_file_mkdir_recursive(&dv), RK_OK);
    EXPECT_TRUE(exists("a/b/c/d"));                  // '\' separates too, and '/' is written
    ASSERT_EQ(rk_file_mkdir_recursive(&dv), RK_OK);  // all there: nothing to do
    EXPECT_EQ(list("a/b/c/d"), std::vector<std::string>{});
    put("a/file", "1");
    put("a/b/file2", "2");
    EXPECT_EQ(list("a"), (std::vector<std::string>{"b", "file"}));

    // A prefix that is a file makes the creation under it fail.
    const std::string under = path("a/file/x/y");
    const rk_string_t uv = S(under);
    EXPECT_EQ(rk_file_mkdir_recursive(&uv), RK_ERR_IO);

    const std::string a = path("a");
    const rk_string_t av = S(a);
    EXPECT_EQ(rk_file_rmdir(&av), RK_ERR_IO);  // not empty
    EXPECT_EQ(rk_file_rmdir_recursive(&av), RK_OK);
    EXPECT_FALSE(exists("a"));
    EXPECT_EQ(rk_file_rmdir_recursive(&av), RK_ERR_IO);
    EXPECT_EQ(list("a"), std::vector<std::string>{"<null>"});

    const std::string one = path("one");
    const rk_string_t ov = S(one);
    EXPECT_EQ(rk_file_mkdir(&ov), RK_OK);
    EXPECT_EQ(rk_file_mkdir(&ov), RK_ERR_IO);
    EXPECT_EQ(rk_file_rmdir(&ov), RK_OK);
}

TEST_F(FileTest, RecursiveRemovalNeverFollowsLinks) {
    if (!kPosixSystem) GTEST_SKIP() << "symbolic links need privileges on Windows";
    ASSERT_EQ(mkdir(path("keep").c_str(), 0755), 0);
    put("keep/precious", "data");
    const std::string tree = path("tree");
    const rk_string_t tv = S(tree);
    ASSERT_EQ(rk_file_mkdir(&tv), RK_OK);
    ASSERT_EQ(symlink(path("keep").c_str(), path("tree/link").c_str()), 0);
    EXPECT_EQ(rk_file_rmdir_recursive(&tv), RK_OK);
    EXPECT_FALSE(exists("tree"));
    EXPECT_EQ(get("keep/precious"), "data");
    // Nor when the link is the path given.
    ASSERT_EQ(symlink(path("keep").c_str(), path("top").c_str()), 0);
    const std::string top = path("top");
    const rk_string_t topv = S(top);
    EXPECT_EQ(rk_file_rmdir_recursive(&topv), RK_ERR_IO);
    EXPECT_EQ(get("keep/precious"), "data");
    const std::string file = path("keep/precious");
    const rk_string_t filev = S(file);
    EXPECT_EQ(rk_file_rmdir_recursive(&filev), RK_ERR_IO);  // not a directory
}

TEST_F(FileTest, PathHelpers) {
    auto base = [](const char *p) {
        const rk_string_t v{p, std::strlen(p)};
        return std::string(rk_file_basename(&v));
    };
    EXPECT_EQ(base("data"), "data");
    EXPECT_EQ(base("dir/"), "");
    EXPECT_EQ(base("a/b\\c"), "b\\c");  // '/' wins over '\'
    EXPECT_EQ(base("a\\b"), "b");

    auto dirname = [this](const char *p) {
        const rk_string_t v{p, std::strlen(p)};
        const char *d = rk_file_dirname(arena_, &v);
        return d ? std::string(d) : std::string("<null>");
    };
    EXPECT_EQ(dirname("data"), ".");
    EXPECT_EQ(dirname("/data"), "");
    EXPECT_EQ(dirname("a/b/c"), "a/b");
    EXPECT_EQ(dirname("a\\b"), "a");

    EXPECT_STREQ(rk_file_join(arena_, "a", "", "b", nullptr), "a//b");
    EXPECT_STREQ(rk_file_join(arena_, "", "b", nullptr), "b");
    EXPECT_STREQ(rk_file_join(arena_, "db", "x.rkcol", nullptr), "db/x.rkcol");
    EXPECT_STREQ(rk_file_join(arena_, nullptr), "");
    EXPECT_EQ(rk_file_join(nullptr, "a", nullptr), nullptr);

    if (!kPosixSystem) {
        // The system resolves: drive, backslashes, "." and ".." gone.
        const std::string rel = "x/./y/../z";
        const rk_string_t rv = S(rel);
        char *abs = rk_file_abs_path(nullptr, &rv);
        ASSERT_NE(abs, nullptr);
        const std::string got(abs);
        rk_free(abs);
        EXPECT_EQ(got.substr(1, 2), ":\\") << got;
        EXPECT_EQ(got.substr(got.size() - 4), "\\x\\z") << got;
        const std::string huge(300, 'q');
        const rk_string_t hv = S(huge);
        EXPECT_EQ(rk_file_abs_path(nullptr, &hv), nullptr);  // needs more than 260 characters
        return;
    }
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    const std::string rel = "x/./y/../z//w";
    const rk_string_t rv = S(rel);
    char *abs = rk_file_abs_path(nullptr, &rv);
    ASSERT_NE(abs, nullptr);
    EXPECT_EQ(std::string(abs), std::string(cwd == std::string("/") ? "" : cwd) + "/x/z/w");
    rk_free(abs);
    const std::string up = "/a/../../b";
    const rk_string_t uv = S(up);
    abs = rk_file_abs_path(nullptr, &uv);
    EXPECT_STREQ(abs, "/b");
    rk_free(abs);
    const std::string huge(5000, 'q');
    const rk_string_t hv = S(huge);
    EXPECT_EQ(rk_file_abs_path(nullptr, &hv), nullptr);

    char *same = rk_file_normalize_path(nullptr, &rv);
    EXPECT_EQ(std::string(same), rel);
    rk_free(same);
}

TEST_F(FileTest, TemporaryNamesKeepThePrefixAndAreFree) {
    std::string t = path("tmpXXXXXX");
    std::vector<char> a(t.begin(), t.end()), b(t.begin(), t.end());
    a.push_back('\0');
    b.push_back('\0');
    ASSERT_EQ(rk_file_mktemp(a.data()), a.data());
    EXPECT_EQ(std::string(a.data(), t.size() - 6), t.substr(0, t.size() - 6));
    EXPECT_NE(std::string(a.data()), t);
    EXPECT_FALSE(exists(std::string(a.data()).substr(dir_.size() + 1)));

    ASSERT_EQ(rk_file_mkdtemp(b.data()), b.data());
    const rk_string_t bv{b.data(), std::strlen(b.data())};
    EXPECT_EQ(rk_file_is_directory(&bv), 1);

    char bad1[] = "abcXXXXX";  // five X only
    char bad2[] = "XXXXXXa";
    EXPECT_EQ(rk_file_mktemp(bad1), nullptr);
    EXPECT_EQ(rk_file_mkdtemp(bad2), nullptr);
    EXPECT_EQ(rk_file_mktemp(nullptr), nullptr);
}

// A descriptor held open never blocks the file's removal (Windows refuses
// it unless every opener shares deletion), and keeps reading the bytes it
// opened. Replacing an open file works on POSIX systems; wine refuses it
// (access denied) even when deletion is shared, and the old file then
// stays whole.
TEST_F(FileTest, OpenFilesCanBeRemovedAndOnPosixReplaced) {
    put("held", "first");
    const std::string p = path("held");
    const int fd = rk::os::open_file(p.c_str(), rk::os::OpenMode::read);
    ASSERT_GE(fd, 0);
    const rk_status_t replaced = rk::file_write_atomic(p.c_str(), "second", 6);
    if (kPosixSystem) {
        ASSERT_EQ(replaced, RK_OK);
        EXPECT_EQ(get("held"), "second");
    } else {
        EXPECT_EQ(get("held"), replaced == RK_OK ? "second" : "first");
    }
    const int fd2 = rk::os::open_file(p.c_str(), rk::os::OpenMode::read_write);
    ASSERT_GE(fd2, 0);
    EXPECT_EQ(rk::os::remove_file(p.c_str()), 0);
    char buf[8] = {};
    EXPECT_EQ(rk::os::read_at(fd, 0, buf, 5), 5);
    EXPECT_EQ(std::string(buf, 5), "first");
    EXPECT_EQ(rk::os::close_file(fd), 0);
    EXPECT_EQ(rk::os::close_file(fd2), 0);
    EXPECT_FALSE(exists("held"));
}

TEST_F(FileTest, AtomicReplaceSwapsContentsWhole) {
    put("cat", "old contents");
    const std::string p = path("cat");
    ASSERT_EQ(rk::file_write_atomic(p.c_str(), "new", 3), RK_OK);
    EXPECT_EQ(get("cat"), "new");
    struct stat st;
    ASSERT_EQ(stat(p.c_str(), &st), 0);
    if (kPosixSystem) {
        EXPECT_EQ(st.st_mode & 0777, 0644u);  // as any file the library creates
    }
    ASSERT_EQ(rk::file_write_atomic(path("fresh").c_str(), "", 0), RK_OK);
    EXPECT_EQ(get("fresh"), "");
    EXPECT_EQ(list(""), (std::vector<std::string>{"cat", "fresh"}));  // no temporaries left
    EXPECT_EQ(rk::file_write_atomic(nullptr, "x", 1), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk::file_write_atomic(path("no/such/dir/f").c_str(), "x", 1), RK_ERR_NOT_FOUND);
}

TEST_F(FileTest, AtomicReplaceLosesNothingWhenAStepFails) {
    put("cat", "old contents");
    const std::string p = path("cat");
    const rk::os::Fault steps[] = {rk::os::Fault::write, rk::os::Fault::sync, rk::os::Fault::rename};
    for (const rk::os::Fault step : steps) {
        rk::os::fault_arm(step, 1);
        EXPECT_EQ(rk::file_write_atomic(p.c_str(), "new data", 8), RK_ERR_IO) << static_cast<int>(step);
        EXPECT_EQ(get("cat"), "old contents");
        EXPECT_EQ(list(""), std::vector<std::string>{"cat"});
    }
    // The directory sync comes after the rename: the data is in place, but
    // the caller learns that it may not survive a crash.
    rk::os::fault_arm(rk::os::Fault::sync, 2);
    EXPECT_EQ(rk::file_write_atomic(p.c_str(), "new data", 8), RK_ERR_IO);
    EXPECT_EQ(get("cat"), "new data");
    EXPECT_EQ(list(""), std::vector<std::string>{"cat"});
}

}  // namespace
