// SPDX-License-Identifier: Apache-2.0
// zevud search --queries: every row of a query file answered in one batch,
// each line the same as a single search of that row, in JSON lines or CSV;
// the refusals of mixed query options and unknown formats.
#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "cli/cli_run_util.h"

namespace {

using cli_test::Result;

class CliBatch : public cli_test::CliRun {
protected:
    std::string rows_csv(int n, unsigned seed) {
        std::mt19937 rng(seed);
        std::normal_distribution<float> g(0.0f, 1.0f);
        std::string csv;
        for (int i = 0; i < n; ++i) {
            for (int d = 0; d < 5; ++d) csv += (d ? "," : "") + std::to_string(g(rng));
            csv += "\n";
        }
        return csv;
    }
};

// Lines without their ends (standard output is text on Windows: CRLF).
std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> out;
    std::stringstream ss(text);
    std::string l;
    while (std::getline(ss, l)) {
        if (!l.empty() && l.back() == '\r') l.pop_back();
        out.push_back(l);
    }
    return out;
}

TEST_F(CliBatch, QueriesFileMatchesSingleSearchesInJsonLinesAndCsv) {
    if (!persistent()) GTEST_SKIP() << "this build keeps databases in memory only";
    const std::string db = dir_ + "/db";
    ASSERT_EQ(run({"import", db, "v", file("base.csv", rows_csv(300, 1)), "--index", "hnsw"}).code, 0);
    ASSERT_EQ(run({"build", db, "v"}).code, 0);
    const std::string qcsv = rows_csv(6, 2);
    const std::string qfile = file("q.csv", qcsv);

    const Result j = run({"search", db, "v", "--queries", qfile, "-k", "4", "--threads", "2"});
    ASSERT_EQ(j.code, 0) << j.err;
    const std::vector<std::string> jl = lines(j.out);
    ASSERT_EQ(jl.size(), 6u);
    const std::vector<std::string> qrows = lines(qcsv);
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(jl[i].rfind("{\"query\":" + std::to_string(i) + ",\"results\":[", 0), 0u) << jl[i];
        const Result one = run({"search", db, "v", "--vector", qrows[i], "-k", "4", "--json"});
        ASSERT_EQ(one.code, 0) << one.err;
        // The single search's results array, verbatim, is the batch line's.
        const std::string arr = one.out.substr(one.out.find("\"results\":"));
        EXPECT_EQ(jl[i].substr(jl[i].find("\"results\":")), arr.substr(0, arr.find_last_not_of("\r\n") + 1));
    }

    const Result c = run({"search", db, "v", "--queries", qfile, "-k", "3", "--format", "csv", "--threads", "1"});
    ASSERT_EQ(c.code, 0) << c.err;
    const std::vector<std::string> cl = lines(c.out);
    ASSERT_EQ(cl.size(), 1u + 6u * 3u);
    EXPECT_EQ(cl[0], "query,rank,id,distance");
    EXPECT_EQ(cl[1].rfind("0,1,", 0), 0u);
    EXPECT_EQ(cl[18].rfind("5,3,", 0), 0u);
}

TEST_F(CliBatch, RefusesMixedQueriesBadFormatsAndWrongDimensions) {
    if (!persistent()) GTEST_SKIP() << "this build keeps databases in memory only";
    const std::string db = dir_ + "/db";
    ASSERT_EQ(run({"import", db, "v", file("base.csv", rows_csv(50, 3))}).code, 0);
    const std::string qfile = file("q.csv", rows_csv(2, 4));
    EXPECT_EQ(run({"search", db, "v", "--queries", qfile, "--id", "1"}).code, 1);
    EXPECT_EQ(run({"search", db, "v", "--queries", qfile, "--format", "xml"}).code, 1);
    EXPECT_EQ(run({"search", db, "v", "--queries", file("q.bin", "xx")}).code, 1);
    std::string wide;
    for (int i = 0; i < 2; ++i) wide += "1.5,2.5,3.5\n";
    EXPECT_EQ(run({"search", db, "v", "--queries", file("w.csv", wide)}).code, 2);
}

}  // namespace
