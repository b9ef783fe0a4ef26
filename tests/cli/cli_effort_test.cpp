// SPDX-License-Identifier: Apache-2.0
// The search-effort options of the zevud tool: --ef and --nprobe on search
// (this search only) and build (stored with the collection), the refusals
// of options that do not fit the index, and bench sweeping one built index
// per family.
#include <gtest/gtest.h>

#include <random>
#include <regex>
#include <string>
#include <vector>

#include "cli/cli_run_util.h"

namespace {

using cli_test::Result;

bool has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

// The "results":[...] part of a search's JSON answer.
std::string results_of(const std::string &json) {
    const size_t at = json.find("\"results\":");
    return at == std::string::npos ? "" : json.substr(at);
}

class CliEffort : public cli_test::CliRun {
protected:
    // A database with the same 400 rows of dimension 6 in an HNSW, an IVF
    // and a flat collection; the first two built when `build` is set.
    std::string make_db(bool build) {
        std::mt19937 rng(5);
        std::normal_distribution<float> g(0.0f, 1.0f);
        std::string csv;
        for (int i = 0; i < 400; ++i) {
            for (int d = 0; d < 6; ++d) csv += (d ? "," : "") + std::to_string(g(rng));
            csv += "\n";
        }
        const std::string data = file("rows.csv", csv);
        const std::string db = dir_ + "/db";
        for (const char *type : {"hnsw", "ivf", "flat"}) {
            const Result r = run({"import", db, type, data, "--index", type});
            EXPECT_EQ(r.code, 0) << r.err;
            if (build && std::string(type) != "flat") {
                EXPECT_EQ(run({"build", db, type}).code, 0);
            }
        }
        return db;
    }
    Result search(const std::string &db, const std::string &coll, const std::vector<std::string> &extra) {
        std::vector<std::string> args = {"search", db, coll, "--vector", "0.25,-0.5,0.75,0.1,-0.3,0.6"};
        args.insert(args.end(), extra.begin(), extra.end());
        return run(args);
    }
};

TEST_F(CliEffort, BadOrDoubleOptionsAreRefusedBeforeTheDatabaseIsOpened) {
    const std::string none = dir_ + "/none";
    for (const auto &args : std::vector<std::vector<std::string>>{
             {"search", none, "c", "--vector", "1,2", "--ef", "8", "--nprobe", "2"},
             {"build", none, "c", "--ef", "8", "--nprobe", "2"}}) {
        const Result r = run(args);
        EXPECT_EQ(r.code, 1) << args[0];
        EXPECT_TRUE(has(r.err, "at most one of --ef")) << r.err;
    }
    for (const char *bad : {"0", "-3", "ten", "4294967296"}) {
        const Result r = run({"search", none, "c", "--vector", "1,2", "--ef", bad});
        EXPECT_EQ(r.code, 1) << bad;
        EXPECT_TRUE(has(r.err, "--ef wants a whole number from 1 to 4294967295")) << r.err;
        EXPECT_EQ(run({"build", none, "c", "--nprobe", bad}).code, 1) << bad;
    }
    EXPECT_EQ(run({"bench", "--ef", "10,0", "-o", dir_}).code, 1);
    EXPECT_EQ(run({"bench", "--nprobe", "x", "-o", dir_}).code, 1);
    EXPECT_FALSE(exists(none));
}

TEST_F(CliEffort, SearchTakesOnlyTheOptionOfItsIndexFamily) {
    if (!persistent()) GTEST_SKIP() << "this build keeps databases in memory only";
    const std::string db = make_db(true);
    const std::string info_before = run({"info", db, "hnsw", "--json"}).out;
    EXPECT_TRUE(has(info_before, "\"state\":\"active\",\"ef\":")) << info_before;
    Result r = search(db, "hnsw", {"--ef", "50"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(has(r.out, "10 results from 'hnsw' (l2, hnsw, ef 50,")) << r.out;
    r = search(db, "hnsw", {"--ef", "7", "--json"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(has(r.out, "\"mode\":\"hnsw\",\"ef\":7,")) << r.out;
    r = search(db, "ivf", {"--nprobe", "2"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(has(r.out, "(l2, ivf, nprobe 2,")) << r.out;

    r = search(db, "hnsw", {"--nprobe", "2"});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(has(r.err, "--nprobe applies to IVF indexes; collection 'hnsw' has an hnsw index (use --ef)"))
        << r.err;
    r = search(db, "ivf", {"--ef", "40"});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(has(r.err, "--ef applies to HNSW indexes; collection 'ivf' has an ivf index (use --nprobe)"))
        << r.err;
    r = search(db, "flat", {"--ef", "40"});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(has(r.err, "collection 'flat' has no index")) << r.err;
    EXPECT_TRUE(r.out.empty());

    // A per-search value is not stored.
    EXPECT_EQ(run({"info", db, "hnsw", "--json"}).out, info_before);
}

// An index that is not built leaves the search to the scan, where an effort
// would do nothing: refused, unless --use-index builds the index first.
TEST_F(CliEffort, SearchRefusesEffortForAnIndexNotBuilt) {
    if (!persistent()) GTEST_SKIP() << "this build keeps databases in memory only";
    const std::string db = make_db(false);
    Result r = search(db, "ivf", {"--nprobe", "3"});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(has(r.err, "index of collection 'ivf' is not built")) << r.err;
    r = search(db, "ivf", {"--nprobe", "3", "--use-index"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(has(r.out, "(l2, ivf, nprobe 3,")) << r.out;
}

// Probing more lists than there are is the exhaustive search: the IVF
// answers what the flat collection's scan answers, distance bits included.
TEST_F(CliEffort, EveryListProbedAnswersAsTheScan) {
    if (!persistent()) GTEST_SKIP() << "this build keeps databases in memory only";
    const std::string db = make_db(true);
    const Result exact = search(db, "flat", {"--json", "-k", "20"});
    ASSERT_EQ(exact.code, 0) << exact.err;
    const Result all = search(db, "ivf", {"--json", "-k", "20", "--nprobe", "100000"});
    ASSERT_EQ(all.code, 0) << all.err;
    ASSERT_FALSE(results_of(exact.out).empty());
    EXPECT_EQ(results_of(all.out), results_of(exact.out));
    const Result one = search(db, "ivf", {"--json", "-k", "20", "--nprobe", "1"});
    ASSERT_EQ(one.code, 0) << one.err;
    EXPECT_NE(results_of(one.out), results_of(exact.out));  // one list of many misses some
}

TEST_F(CliEffort, BuildStoresTheEffortForLaterSearches) {
    if (!persistent()) GTEST_SKIP() << "this build keeps databases in memory only";
    const std::string db = make_db(false);
    Result r = run({"build", db, "hnsw", "--ef", "33"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(has(r.out, "built hnsw index of 'hnsw' over 400 vectors in")) << r.out;
    EXPECT_TRUE(has(r.out, "; searches use ef 33")) << r.out;
    r = search(db, "hnsw", {});
    EXPECT_TRUE(has(r.out, "(l2, hnsw, ef 33,")) << r.out;
    // Building again keeps it; the table of info shows it.
    r = run({"build", db, "hnsw", "--json"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(has(r.out, "\"ef\":33}")) << r.out;
    r = run({"info", db, "hnsw"});
    EXPECT_TRUE(has(r.out, "ef 33")) << r.out;

    r = run({"build", db, "ivf", "--ef", "33"});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(has(r.err, "has an ivf index (use --nprobe)")) << r.err;
    r = run({"info", db, "ivf", "--json"});
    EXPECT_TRUE(has(r.out, "\"state\":\"not built\",\"nprobe\":32,")) << r.out;

    // A flat collection gets the default IVF index: --ef is refused before
    // anything is built, --nprobe stored on the new index.
    r = run({"build", db, "flat", "--ef", "33"});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(has(r.err, "has no index, and building gives it the default ivf index (use --nprobe)"))
        << r.err;
    r = run({"info", db, "flat", "--json"});
    EXPECT_TRUE(has(r.out, "\"index\":\"none\"")) << r.out;
    r = run({"build", db, "flat", "--nprobe", "2", "--json"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(has(r.out, "\"index\":\"ivf\",")) << r.out;
    EXPECT_TRUE(has(r.out, "\"nprobe\":2}")) << r.out;
    r = search(db, "flat", {"--json"});
    EXPECT_TRUE(has(r.out, "\"mode\":\"ivf\",\"nprobe\":2,")) << r.out;
}

// One index per family, searched at every point of its sweep: the build
// time is the same on every row of a family, and probing more lists than
// there are is exact.
TEST_F(CliEffort, BenchSweepsOneBuiltIndexPerFamily) {
    const Result r = run({"bench", "--synthetic", "--rows", "600", "--dim", "8", "--queries", "20", "--ef",
                          "10,80", "--nprobe", "1,100000", "-o", dir_, "--json"});
    ASSERT_EQ(r.code, 0) << r.err;
    const std::regex point(R"re(\{"method":"(\w+)","params":"([^"]*)","recall":([0-9.e+-]+),)re"
                           R"re("qps":[0-9.e+-]+,"build_seconds":([0-9.e+-]+),)re");
    std::vector<std::string> hnsw_build, ivf_build;
    std::string all_lists_recall;
    for (auto it = std::sregex_iterator(r.out.begin(), r.out.end(), point); it != std::sregex_iterator();
         ++it) {
        const std::string method = (*it)[1];
        if (method == "hnsw") hnsw_build.push_back((*it)[4]);
        if (method == "ivf") ivf_build.push_back((*it)[4]);
        if (has((*it)[2], "nprobe=100000")) all_lists_recall = (*it)[3];
    }
    ASSERT_EQ(hnsw_build.size(), 2u) << r.out;
    ASSERT_EQ(ivf_build.size(), 2u) << r.out;
    EXPECT_EQ(hnsw_build[0], hnsw_build[1]);
    EXPECT_EQ(ivf_build[0], ivf_build[1]);
    EXPECT_EQ(all_lists_recall, "1");
    EXPECT_TRUE(has(cli_test::slurp(dir_ + "/benchmark.md"), "| ivf | nlist="));
}

}  // namespace
