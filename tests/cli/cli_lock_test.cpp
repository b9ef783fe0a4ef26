// SPDX-License-Identifier: Apache-2.0
// The tool beside another writer of the same database, and with a
// collection that cannot be loaded.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "cli_run_util.h"
#include "rk_database.h"

namespace {

using cli_test::CliRun;
using cli_test::Result;

TEST_F(CliRun, WriterHoldingTheDatabaseIsReportedAndReadersStillWork) {
    if (!persistent()) GTEST_SKIP() << "this build keeps databases in memory only";
    const std::string db = dir_ + "/db";
    Result r = run({"import", db, "a", file("a.csv", "1,2\n3,4\n")});
    ASSERT_EQ(r.code, 0) << r.err;

    rk_vecdb_t *writer = nullptr;
    const rk_string_t p{db.c_str(), db.size()};
    ASSERT_EQ(rk_vecdb_open(&p, 0, &writer), RK_OK);
    r = run({"import", db, "b", file("b.csv", "5,6\n")});
    EXPECT_NE(r.code, 0);
    EXPECT_NE(r.err.find("locked"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("another program"), std::string::npos) << r.err;
    r = run({"info", db});
    EXPECT_EQ(r.code, 0) << r.err;
    ASSERT_EQ(rk_vecdb_close(writer), RK_OK);

    // Once it is gone, the import goes through and both collections stay.
    r = run({"import", db, "b", dir_ + "/b.csv"});
    ASSERT_EQ(r.code, 0) << r.err;
    r = run({"info", db});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("a"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("b"), std::string::npos) << r.out;
}

TEST_F(CliRun, CollectionThatCannotBeLoadedIsNamedOnStderrAndKept) {
    if (!persistent()) GTEST_SKIP() << "this build keeps databases in memory only";
    const std::string db = dir_ + "/db";
    ASSERT_EQ(run({"import", db, "good", file("g.csv", "1,2\n")}).code, 0);
    ASSERT_EQ(run({"import", db, "lost", file("l.csv", "3,4\n")}).code, 0);
    file("db/lost.rkcol", "damaged");
    Result r = run({"info", db});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.err.find("'lost' could not be loaded"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("WARN"), std::string::npos) << r.out;
    // A write elsewhere in the database keeps it listed and its bytes.
    ASSERT_EQ(run({"import", db, "more", file("m.csv", "5,6\n")}).code, 0);
    EXPECT_EQ(cli_test::slurp(db + "/lost.rkcol"), "damaged");
    EXPECT_NE(cli_test::slurp(db + "/.rkmeta").find("lost\n"), std::string::npos);
    // Dropping it by name removes it for good.
    r = run({"drop", db, "lost"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_FALSE(exists(db + "/lost.rkcol"));
    EXPECT_EQ(cli_test::slurp(db + "/.rkmeta").find("lost\n"), std::string::npos);
    EXPECT_NE(run({"drop", db, "lost"}).code, 0);
}

}  // namespace
