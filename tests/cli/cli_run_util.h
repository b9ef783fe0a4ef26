// SPDX-License-Identifier: Apache-2.0
// Test helper: runs the zevud binary as a user would, in a scratch
// directory, and collects its exit code, stdout and stderr.
#ifndef RK_TESTS_CLI_CLI_RUN_UTIL_H
#define RK_TESTS_CLI_CLI_RUN_UTIL_H

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/posix_compat.h"
#include "support/run_program.h"

namespace cli_test {

struct Result {
    int code;
    std::string out, err;
};

inline std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class CliRun : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/zevud_cli_test_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    Result run(const std::vector<std::string> &args) {
        const std::string out = dir_ + "/.out", err = dir_ + "/.err";
        const int code = test_support::run_target_program(ZEVUD_CLI_PATH, args, out, err);
        return {code, slurp(out), slurp(err)};
    }

    std::string file(const std::string &name, const std::string &bytes) {
        const std::string p = dir_ + "/" + name;
        std::ofstream(p, std::ios::binary) << bytes;
        return p;
    }

    bool exists(const std::string &p) {
        struct stat st {};
        return stat(p.c_str(), &st) == 0;
    }

    // True when this build keeps databases on disk (else the persistent
    // session is skipped).
    bool persistent() {
        const Result r = run({"import", dir_ + "/probe", "c", file("probe.csv", "1,2\n")});
        std::error_code ec;
        std::filesystem::remove_all(dir_ + "/probe", ec);
        return r.code == 0;
    }

    std::string dir_;
};

}  // namespace cli_test

#endif
