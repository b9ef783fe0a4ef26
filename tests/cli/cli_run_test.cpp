// SPDX-License-Identifier: Apache-2.0
// The zevud binary driven as a user would: help, exit codes, bad files and
// expressions, missing databases, and (when the library keeps databases on
// disk) a whole import / search / info / drop session.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "cli/cli_run_util.h"

namespace {

using cli_test::CliRun;
using cli_test::Result;
using cli_test::slurp;

TEST_F(CliRun, HelpForEveryCommandAndUsageErrors) {
    for (const char *c : {"demo", "import", "build", "search", "info", "drop", "bench"}) {
        const Result r = run({c, "--help"});
        EXPECT_EQ(r.code, 0) << c;
        EXPECT_EQ(r.out.rfind(std::string("usage: zevud ") + c, 0), 0u) << r.out;
    }
    Result r = run({"--help"});
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("exit codes"), std::string::npos);
    EXPECT_EQ(run({}).code, 1);
    r = run({"frobnicate"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("unknown command"), std::string::npos);
    EXPECT_EQ(run({"search", "db"}).code, 1);
    EXPECT_EQ(run({"search", "db", "c", "--nope"}).code, 1);
    EXPECT_EQ(run({"search", "db", "c", "-k"}).code, 1);
    EXPECT_EQ(run({"search", "db", "c", "-k", "ten", "--vector", "1"}).code, 1);
    EXPECT_EQ(run({"import", "db", "../evil", "x.csv"}).code, 1);
    EXPECT_EQ(run({"import", "db", "c", "x.csv", "--metric", "manhattan"}).code, 1);
}

TEST_F(CliRun, MalformedFilesNameFileAndOffsetAndTouchNothing) {
    const std::string db = dir_ + "/db";
    const std::string bad = file(
        "bad.fvecs", std::string("\x04\0\0\0", 4) + std::string(16, '\0') + std::string("\x05\0\0\0", 4));
    Result r = run({"import", db, "c", bad});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find(bad + ": byte 20:"), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
    EXPECT_FALSE(exists(db));

    r = run({"import", db, "c", file("bad.csv", "1,2\n3,oops\n")});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("bad.csv: byte 6:"), std::string::npos) << r.err;
    r = run({"import", db, "c", dir_ + "/missing.npy"});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("missing.npy"), std::string::npos);
    r = run({"import", db, "c", file("notes.txt", "1,2\n")});
    EXPECT_EQ(r.code, 1);
    EXPECT_FALSE(exists(db));
}

TEST_F(CliRun, MissingDatabasesAndPathsThatAreFiles) {
    for (const auto &args :
         std::vector<std::vector<std::string>>{{"info", dir_ + "/none"},
                                               {"search", dir_ + "/none", "c", "--vector", "1,2"},
                                               {"build", dir_ + "/none", "c"},
                                               {"drop", dir_ + "/none", "c"}}) {
        const Result r = run(args);
        EXPECT_EQ(r.code, 2) << args[0];
        EXPECT_NE(r.err.find("no such database"), std::string::npos) << r.err;
    }
    EXPECT_FALSE(exists(dir_ + "/none"));
    // Importing into a path that is a plain file must not replace the file.
    const std::string precious = file("precious.txt", "keep me");
    Result r = run({"import", precious, "c", file("ok.csv", "1,2\n")});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(slurp(precious), "keep me");
    // Nor write into a directory of other files, nor read one as a database.
    r = run({"import", dir_, "c", dir_ + "/ok.csv"});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("is not a zevud database"), std::string::npos) << r.err;
    EXPECT_FALSE(exists(dir_ + "/.rkmeta"));
    EXPECT_EQ(run({"info", dir_}).code, 2);
}

TEST_F(CliRun, BadFilterIsAUsageErrorWithItsColumn) {
    const Result r = run({"search", dir_ + "/none", "c", "--vector", "1", "--filter", "price < 5 and"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("bad filter at column 14"), std::string::npos) << r.err;
}

TEST_F(CliRun, DemoRunsSmall) {
    const Result r = run({"demo", dir_ + "/demo", "--rows", "2000", "--queries", "20", "--dim", "16"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("recall@10"), std::string::npos);
    EXPECT_NE(r.out.find("category == \"shoes\" and price < 50"), std::string::npos);
    EXPECT_NE(r.out.find("intact:"), std::string::npos) << r.out;
    // Again in the same directory (the old collection is replaced), as JSON.
    const Result j = run({"demo", dir_ + "/demo", "--rows", "500", "--queries", "5", "--dim", "8", "--json"});
    ASSERT_EQ(j.code, 0) << j.err;
    EXPECT_EQ(j.out.rfind("{\"rows\":500,", 0), 0u) << j.out;
    EXPECT_NE(j.out.find("\"intact\":true}"), std::string::npos) << j.out;
    EXPECT_EQ(std::count(j.out.begin(), j.out.end(), '\n'), 1);
}

TEST_F(CliRun, ImportSearchInfoDropSession) {
    if (!persistent()) GTEST_SKIP() << "this build keeps databases in memory only";
    const std::string db = dir_ + "/db";
    const std::string csv = file("items.csv",
                                 "x,y,category,price\n"
                                 "0,0,shoes,10\n1,0,books,20\n2,0,shoes,60\n3,0,toys,5\n4,0,shoes,45\n");
    Result r = run({"import", db, "items", csv, "--meta", "category,price", "--index", "flat", "--json"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("\"imported\":5"), std::string::npos) << r.out;

    r = run({"search", db, "items", "--vector", "0,0", "-k", "3", "--filter",
             "category == \"shoes\" and price < 50"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("2 results"), std::string::npos) << r.out;
    r = run({"search", db, "items", "--id", "4", "-k", "1", "--json"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("{\"id\":4,\"distance\":0,\"metadata\":{\"category\":\"toys\",\"price\":5}}"),
              std::string::npos)
        << r.out;
    r = run({"search", db, "items", "--vector", "0,0", "--filter", "colour == \"red\""});
    EXPECT_EQ(r.code, 1);
    r = run({"search", db, "items", "--vector", "0,0,0"});
    EXPECT_EQ(r.code, 2);

    // A second file with other columns is refused and changes nothing.
    r = run({"import", db, "items", file("other.csv", "x,y,colour\n1,1,red\n"), "--meta", "colour"});
    EXPECT_EQ(r.code, 2);
    r = run({"info", db, "--json"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("\"vectors\":5"), std::string::npos) << r.out;

    EXPECT_EQ(run({"build", db, "items"}).code, 0);
    EXPECT_TRUE(std::ifstream(db + "/items.rkcol").good());
    EXPECT_EQ(run({"drop", db, "items"}).code, 0);
    // As its help says, drop deletes the collection's files too.
    EXPECT_FALSE(std::ifstream(db + "/items.rkcol").good());
    EXPECT_FALSE(std::ifstream(db + "/items.rkidx").good());
    r = run({"info", db});
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("no collections"), std::string::npos) << r.out;
    EXPECT_EQ(run({"drop", db, "items"}).code, 2);
}

}  // namespace
