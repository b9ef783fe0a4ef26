// SPDX-License-Identifier: Apache-2.0
// The tool's build settings (--m, --ef-construction, --nlist, --seed on
// import and build), builds that repeat bit for bit across processes, and
// the tool's manners: bench making its report folder, JSON errors, and a
// search that says the index it built is not kept.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "cli/cli_run_util.h"

namespace {

using cli_test::Result;
using cli_test::slurp;

bool has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

class CliBuildSettings : public cli_test::CliRun {
protected:
    std::string rows_csv() {
        std::mt19937 rng(11);
        std::normal_distribution<float> g(0.0f, 1.0f);
        std::string csv;
        for (int i = 0; i < 1200; ++i) {
            for (int d = 0; d < 8; ++d) csv += (d ? "," : "") + std::to_string(g(rng));
            csv += "\n";
        }
        return file("rows.csv", csv);
    }
};

TEST_F(CliBuildSettings, TwoProcessesBuildTheSameIndexFile) {
    // Whole files: the graph, and the trailer that ties it to its save.
    const std::string data = rows_csv();
    std::string index[3];
    const char *seeds[3] = {"7", "7", "8"};
    for (int i = 0; i < 3; ++i) {
        const std::string db = dir_ + "/db" + std::to_string(i);
        Result r = run({"import", db, "v", data, "--index", "hnsw", "--m", "8", "--ef-construction", "60"});
        ASSERT_EQ(r.code, 0) << r.err;
        r = run({"build", db, "v", "--seed", seeds[i]});
        ASSERT_EQ(r.code, 0) << r.err;
        index[i] = slurp(db + "/v.rkidx");
        ASSERT_FALSE(index[i].empty());
    }
    EXPECT_TRUE(index[0] == index[1]) << "same rows, settings and seed in two processes";
    EXPECT_FALSE(index[0] == index[2]) << "another seed draws other levels";
}

TEST_F(CliBuildSettings, SettingsAreStoredAndCheckedAgainstTheIndexFamily) {
    const std::string data = rows_csv(), db = dir_ + "/db";
    ASSERT_EQ(run({"import", db, "g", data, "--index", "hnsw"}).code, 0);
    ASSERT_EQ(run({"import", db, "l", data, "--index", "ivf", "--nlist", "12"}).code, 0);
    Result r = run({"build", db, "l", "--json"});
    ASSERT_EQ(r.code, 0) << r.err;
    r = run({"build", db, "g", "--nlist", "12"});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(has(r.err, "--nlist does not apply to collection 'g'")) << r.err;
    r = run({"build", db, "l", "--m", "8"});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(has(r.err, "--m does not apply")) << r.err;
    for (const char *bad : {"1", "513", "x"}) {
        r = run({"build", db, "g", "--m", bad});
        EXPECT_EQ(r.code, 1) << bad;
    }
    EXPECT_EQ(run({"build", db, "g", "--m", "4", "--ef-construction", "20"}).code, 0);
}

TEST_F(CliBuildSettings, JsonErrorsAreJsonObjects) {
    const Result r = run({"info", dir_ + "/missing", "--json"});
    EXPECT_NE(r.code, 0);
    EXPECT_TRUE(has(r.out, "{\"error\":{\"command\":\"info\",\"exit_code\":")) << r.out;
    EXPECT_TRUE(has(r.out, "\"message\":\"")) << r.out;
    EXPECT_FALSE(r.err.empty());
    // Without --json stdout stays empty.
    EXPECT_TRUE(run({"info", dir_ + "/missing"}).out.empty());
}

TEST_F(CliBuildSettings, SearchSaysTheIndexItBuiltIsNotKept) {
    const std::string data = rows_csv(), db = dir_ + "/db";
    ASSERT_EQ(run({"import", db, "g", data, "--index", "hnsw"}).code, 0);
    const Result r = run({"search", db, "g", "--id", "3", "--use-index"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(has(r.err, "not saved")) << r.err;
    EXPECT_FALSE(exists(db + "/g.rkidx"));
}

TEST_F(CliBuildSettings, BenchMakesItsReportFolder) {
    const std::string out = dir_ + "/reports/today";
    const Result r = run({"bench", "--synthetic", "--rows", "300", "--dim", "4", "--queries", "10", "--ef", "8",
                          "-o", out});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(exists(out + "/benchmark.md"));
}

}  // namespace
