// SPDX-License-Identifier: Apache-2.0
// `zevud import` of the MNIST file followed by `zevud search` answers what a
// brute-force scan of the same file answers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <fstream>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "dataset.h"
#include "support/posix_compat.h"
#include "support/run_program.h"

namespace {

const std::string kMnist = std::string(ZEVUD_SHARED_DIR) + "/data/mnist-t10k-images-idx3-ubyte.gz";

std::string run_capture(const std::string &args, int *code) {
    const std::string out = std::string(::testing::TempDir()) + "/zevud_mnist_out.json";
    std::vector<std::string> words;
    std::istringstream split(args);
    for (std::string w; split >> w;) words.push_back(w);
    *code = test_support::run_target_program(ZEVUD_CLI_PATH, words, out, out);
    std::ifstream in(out);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Squared L2 in index order with one single-precision accumulator.
float l2sq(const float *a, const float *b, uint32_t dim) {
    float s = 0.0f;
    for (uint32_t j = 0; j < dim; ++j) {
        const float d = a[j] - b[j];
        s = s + d * d;
    }
    return s;
}

TEST(CliMnist, ImportThenSearchMatchesBruteForce) {
    if (!std::ifstream(kMnist)) GTEST_SKIP() << "MNIST not present";
#if defined(_WIN32) && !ZEVUD_HAVE_ZLIB
    GTEST_SKIP() << "gzip files need zlib here (no gzip program to fall back on)";
#endif
    const zcli::Dataset data = zcli::load_dataset(kMnist, zcli::Format::idx);
    ASSERT_EQ(data.rows, 10000u);

    char tmpl[] = "/tmp/zevud_mnist_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string db = std::string(tmpl) + "/db";
    int code = -1;
    run_capture("import " + db + " digits " + kMnist + " --index flat", &code);
    ASSERT_EQ(code, 0);

    const std::regex hit(R"re(\{"id":(\d+),"distance":([0-9.e+-]+)\})re");
    for (uint64_t row : {0ull, 1234ull, 9999ull}) {
        const std::string out = run_capture("search " + db + " digits --query-file " + kMnist +
                                                " --row " + std::to_string(row) + " -k 10 --json",
                                            &code);
        ASSERT_EQ(code, 0) << out;
        std::vector<std::pair<uint64_t, double>> hits;
        for (auto it = std::sregex_iterator(out.begin(), out.end(), hit); it != std::sregex_iterator(); ++it) {
            hits.emplace_back(std::stoull((*it)[1]), std::stod((*it)[2]));
        }
        ASSERT_EQ(hits.size(), 10u) << out;

        // Brute force: ids are rows + 1 in file order.
        std::vector<float> all(data.rows);
        for (uint64_t i = 0; i < data.rows; ++i) all[i] = l2sq(data.row(row), data.row(i), data.dim);
        std::vector<float> best = all;
        std::partial_sort(best.begin(), best.begin() + 10, best.end());
        for (size_t i = 0; i < hits.size(); ++i) {
            const uint64_t id = hits[i].first;
            ASSERT_GE(id, 1u);
            ASSERT_LE(id, data.rows);
            EXPECT_EQ(all[id - 1], best[i]) << "row " << row << " rank " << i;
            EXPECT_EQ(static_cast<double>(best[i]), hits[i].second) << "row " << row << " rank " << i;
        }
        EXPECT_EQ(hits[0].first, row + 1);  // the query is itself stored
    }
    std::error_code ec;
    std::filesystem::remove_all(tmpl, ec);
}

}  // namespace
