// SPDX-License-Identifier: Apache-2.0
// Status table lookups, categories, the compact table and the error record.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>

#include "rk_database.h"
#include "rk_error.h"

namespace {

TEST(StatusTable, EveryDefinedCodeHasItsOwnMessageAndDescription) {
    struct Row { rk_status_t code; const char *msg; const char *desc; int cat; };
    const Row rows[] = {
        {-1, "Unknown error", "An unknown error occurred", 1},
        {-13, "Operation cancelled", "The operation was cancelled by user", 1},
        {-100, "Invalid vector data", "The vector data is invalid (wrong dimension or NaN)", 2},
        {-110, "Quantization error", "Error during quantization training or encoding", 2},
        {-200, "File not found", "The specified file does not exist", 3},
        {-206, "Read-only mode", "Database is opened in read-only mode", 3},
        {-300, "Lock acquisition timeout", "Failed to acquire lock within timeout period", 4},
        {-303, "Mutex error", "Mutex operation failed", 4},
    };
    for (const Row &r : rows) {
        EXPECT_STREQ(rk_error_message(r.code), r.msg) << r.code;
        EXPECT_STREQ(rk_error_description(r.code), r.desc) << r.code;
        EXPECT_EQ(rk_error_get_category(r.code), r.cat) << r.code;
    }
    // Every defined code: message differs from the unknown text except -1.
    int defined = 0;
    for (int s = -1; s >= -400; --s) {
        if (std::strcmp(rk_error_message(s), "Unknown error") != 0) ++defined;
    }
    EXPECT_EQ(defined, 34);  // 35 error codes, one of which is "Unknown error" itself
}

TEST(StatusTable, OutOfBandValuesAreUnknownButKeepTheirCategory) {
    for (rk_status_t s : {-14, -99, -111, -207, -304, -1000}) {
        EXPECT_STREQ(rk_error_message(s), "Unknown error") << s;
        EXPECT_STREQ(rk_error_description(s), "An unknown error occurred") << s;
    }
    EXPECT_EQ(rk_error_get_category(-150), 2);
    EXPECT_EQ(rk_error_get_category(-399), 4);
    EXPECT_EQ(rk_error_get_category(-400), 5);
    EXPECT_EQ(rk_error_get_category(INT32_MIN), 5);
}

TEST(StatusTable, PositiveValuesAreSuccessButNotIsSuccess) {
    EXPECT_STREQ(rk_error_message(5), "Success");
    EXPECT_STREQ(rk_error_description(5), "Operation completed successfully");
    EXPECT_EQ(rk_error_get_category(5), 0);
    EXPECT_EQ(rk_error_is_success(5), 0);
    EXPECT_EQ(rk_error_is_success(0), 1);
}

TEST(StatusTable, CategoryNamesAndFatalCodes) {
    const char *names[] = {"Success", "General", "VectorDatabase", "Storage", "Concurrency"};
    for (int c = 0; c < 5; ++c) EXPECT_STREQ(rk_error_category_name(c), names[c]);
    EXPECT_STREQ(rk_error_category_name(5), "Unknown");
    EXPECT_STREQ(rk_error_category_name(-1), "Unknown");
    int fatal = 0;
    for (int s = 10; s >= -500; --s) fatal += rk_error_is_fatal(s);
    EXPECT_EQ(fatal, 4);
    for (rk_status_t s : {-3, -201, -202, -301}) EXPECT_EQ(rk_error_is_fatal(s), 1);
}

TEST(CompactTable, HasItsOwnNumbering) {
    EXPECT_STREQ(rk_strerror(0), "Success");
    EXPECT_STREQ(rk_strerror(1), "Invalid argument");
    EXPECT_STREQ(rk_strerror(13), "Network error");
    EXPECT_STREQ(rk_strerror(17), "Unknown error");
    EXPECT_STREQ(rk_strerror(18), "Unknown error");
    EXPECT_STREQ(rk_strerror(-4), "Unknown error");
    EXPECT_STREQ(rk_strerror(RK_ERR_INVALID_ARG), "Unknown error");
    EXPECT_STREQ(rk_status_to_string(8), "Invalid vector dimension");
    EXPECT_STREQ(rk_vecdb_strerror(16), "Internal error");
}

TEST(Errno, MapsTheKnownValuesOnly) {
    EXPECT_EQ(rk_status_from_errno(2), RK_ERR_NOT_FOUND);
    EXPECT_EQ(rk_status_from_errno(5), RK_ERR_IO);
    EXPECT_EQ(rk_status_from_errno(12), RK_ERR_NO_MEMORY);
    EXPECT_EQ(rk_status_from_errno(16), RK_ERR_BUSY);
    EXPECT_EQ(rk_status_from_errno(22), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_status_from_errno(138), RK_ERR_TIMEOUT);
    EXPECT_EQ(rk_status_from_errno(0), RK_ERR_UNKNOWN);
    EXPECT_EQ(rk_status_from_errno(110), RK_ERR_UNKNOWN);  // Linux ETIMEDOUT is not the mapped number
}

TEST(ErrorFormat, TruncatesLikeSnprintfAndSkipsDetailWhenPrefixIsCut) {
    char buf[10];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(rk_error_format(buf, sizeof buf, -2, "detail %d", 7), 26);
    EXPECT_STREQ(buf, "[General]");
    char big[64];
    EXPECT_EQ(rk_error_format(big, sizeof big, -2, ": %d", 7), 29);
    EXPECT_STREQ(big, "[General] Invalid argument: 7");
    EXPECT_EQ(rk_error_format(big, sizeof big, 0, nullptr), 17);
    EXPECT_STREQ(big, "[Success] Success");
    EXPECT_EQ(rk_error_format(nullptr, 10, -2, "x"), 0);
    EXPECT_EQ(rk_error_format(big, 0, -2, "x"), 0);
    // Detail that does not fit is cut, but the count is the full length.
    char mid[30];
    EXPECT_EQ(rk_error_format(mid, sizeof mid, -2, "%s", "0123456789"), 36);
    EXPECT_STREQ(mid, "[General] Invalid argument012");
}

TEST(ErrorRecord, SetGetClearKeepsTimestamp) {
    static const char file[] = "host.c";
    const std::time_t before = std::time(nullptr);
    rk_error_set(-203, file, 42, "fn", "detail");
    rk_error_t e;
    rk_error_get(&e);
    EXPECT_EQ(e.status, -203);
    EXPECT_EQ(e.category, 3);
    EXPECT_STREQ(e.message, "I/O error");
    EXPECT_EQ(e.file, file);
    EXPECT_EQ(e.line, 42);
    EXPECT_GE(e.timestamp, before);
    EXPECT_EQ(rk_error_get_last_status(), -203);
    EXPECT_EQ(rk_error_has_error(), 1);
    const int64_t stamp = e.timestamp;
    rk_error_clear();
    rk_error_get(&e);
    EXPECT_EQ(e.status, 0);
    EXPECT_EQ(e.category, 0);
    EXPECT_STREQ(e.message, "Success");
    EXPECT_EQ(e.file, nullptr);
    EXPECT_EQ(e.detail, nullptr);
    EXPECT_EQ(e.function, nullptr);
    EXPECT_EQ(e.line, 0);
    EXPECT_EQ(e.timestamp, stamp);
    EXPECT_EQ(rk_error_has_error(), 0);
    rk_error_get(nullptr);  // must not crash
}

TEST(Version, NamesTheProductPlatformAndCompiler) {
    const rk_string_t v = rk_vecdb_version();
    EXPECT_EQ(v.len, 18u);
    EXPECT_EQ(std::string(v.data, v.len), "Rakmo ZevUD 0.1.32");
    const rk_string_t b = rk_vecdb_build_info();
    const std::string info(b.data, b.len);
#if defined(_WIN32)
    const char *const platform = "Windows";
#else
    const char *const platform = "Linux";
#endif
    EXPECT_EQ(info.rfind(std::string("Rakmo ZevUD 0.1.32\nPlatform: ") + platform + "\nCompiler: ", 0), 0u) << info;
    EXPECT_NE(info.find("\nBuild Date: "), std::string::npos);
    EXPECT_EQ(info.size(), std::strlen(b.data));
    EXPECT_EQ(rk_vecdb_build_info().data, b.data);  // formatted once
}

}  // namespace
