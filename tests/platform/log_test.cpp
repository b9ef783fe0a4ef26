// SPDX-License-Identifier: Apache-2.0
// The logger: level names, template expansion, sinks (console, file,
// callback), level filtering, cuts, the fatal path and concurrent writers.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/log_format.h"
#include "rk_error.h"
#include "rk_log.h"

namespace {

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> out;
    std::stringstream ss(text);
    for (std::string line; std::getline(ss, line);) out.push_back(line);
    return out;
}

std::string expand(const char *tmpl, int level = RK_LOG_INFO, const char *message = "msg") {
    char out[RK_LOG_LINE_MAX + 1];
    const rk::LogLineParts parts{level, "src/dir/file.c", 42, "fn", message, "TS"};
    rk::log_expand_template(out, sizeof out, tmpl, parts);
    return out;
}

TEST(LogNames, LevelsRoundTripAndUnknownsFallBack) {
    const char *names[] = {"TRACE", "DEBUG", "INFO", "WARN", "ERROR", "FATAL"};
    for (int i = 0; i < 6; ++i) {
        EXPECT_STREQ(rk_log_level_string(i), names[i]);
        EXPECT_EQ(rk_log_level_from_string(names[i]), i);
    }
    EXPECT_STREQ(rk_log_level_string(6), "UNKNOWN");
    EXPECT_STREQ(rk_log_level_string(-1), "UNKNOWN");
    EXPECT_EQ(rk_log_level_from_string("warn"), RK_LOG_WARN);
    EXPECT_EQ(rk_log_level_from_string("eRRoR"), RK_LOG_ERROR);
    EXPECT_EQ(rk_log_level_from_string("verbose"), RK_LOG_INFO);
    EXPECT_EQ(rk_log_level_from_string("WARNING"), RK_LOG_INFO);  // whole name only
    EXPECT_EQ(rk_log_level_from_string("WAR"), RK_LOG_INFO);
    EXPECT_EQ(rk_log_level_from_string(nullptr), RK_LOG_INFO);
}

TEST(LogTemplate, DirectivesExpand) {
    EXPECT_EQ(expand(RK_LOG_DEFAULT_FORMAT), "[TS] [INFO ] file.c:42 fn: msg");
    EXPECT_EQ(expand("%L|", RK_LOG_WARN), "WARN |");
    EXPECT_EQ(expand("%L|", RK_LOG_ERROR), "ERROR|");
    EXPECT_EQ(expand("%L|", 9), "UNKNOWN|");
    EXPECT_EQ(expand("a%qb"), "ab");  // unknown directive vanishes
    EXPECT_EQ(expand("100%% done"), "100% done");
    EXPECT_EQ(expand("end%"), "end%");  // a lone trailing '%'
    EXPECT_EQ(expand("%m%m"), "msgmsg");
    EXPECT_EQ(expand(""), "");
}

TEST(LogTemplate, FileShowsItsBaseName) {
    EXPECT_STREQ(rk::log_base_name("a/b/c.cpp"), "c.cpp");
    EXPECT_STREQ(rk::log_base_name("a\\b\\c.cpp"), "c.cpp");
    EXPECT_STREQ(rk::log_base_name("a\\b/c.cpp"), "c.cpp");
    EXPECT_STREQ(rk::log_base_name("c:/x\\y.cpp"), "x\\y.cpp");  // '/' wins when present
    EXPECT_STREQ(rk::log_base_name("plain.cpp"), "plain.cpp");
    EXPECT_STREQ(rk::log_base_name("dir/"), "");
}

TEST(LogTemplate, LineIsCutAtItsLimit) {
    const std::string message(RK_LOG_MESSAGE_MAX, 'x');
    const std::string line = expand("%m|%m|%m", RK_LOG_INFO, message.c_str());
    ASSERT_EQ(line.size(), static_cast<size_t>(RK_LOG_LINE_MAX));
    EXPECT_EQ(line, (message + "|" + message + "|" + message).substr(0, RK_LOG_LINE_MAX));

    char small[6];
    const rk::LogLineParts parts{RK_LOG_INFO, "f", 1, "fn", "message", "TS"};
    EXPECT_EQ(rk::log_expand_template(small, sizeof small, "[%m]", parts), 5u);
    EXPECT_STREQ(small, "[mess");
}

TEST(LogTemplate, TimestampHasTheFixedShape) {
    char ts[32];
    rk::log_format_timestamp(ts, sizeof ts, rk_log_timestamp());
    EXPECT_TRUE(std::regex_match(ts, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3})"))) << ts;
    rk::log_format_timestamp(ts, sizeof ts, 86400000LL * 365 + 42);
    EXPECT_EQ(std::string(ts).substr(19), ".042");
    rk::log_format_timestamp(ts, sizeof ts, -1);  // one millisecond before 1970
    EXPECT_EQ(std::string(ts).substr(19), ".999");
}

// Every logger test starts from the defaults, console off, and a fresh file.
class LoggerTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
        path_ = ::testing::TempDir() + "rk_log_" + info->name() + ".log";
        std::remove(path_.c_str());
        rk_log_set_console(0);
        ASSERT_EQ(rk_log_set_file(path_.c_str(), 0), RK_OK);
    }
    void TearDown() override {
        rk_log_set_callback(nullptr, nullptr);
        rk_log_set_level(RK_LOG_INFO);
        rk_log_set_format(RK_LOG_DEFAULT_FORMAT);
        rk_log_set_file(nullptr, 0);
        rk_log_set_console(1);
        std::remove(path_.c_str());
    }
    std::vector<std::string> logged() {
        rk_log_flush();
        return lines_of(read_file(path_));
    }
    std::string path_;
};

TEST_F(LoggerTest, FileLinesFollowTheDefaultTemplate) {
    rk_log_write(RK_LOG_INFO, "/deep/dir/source.cpp", 17, "do_work", "hello %d %s", 42, "there");
    const auto lines = logged();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(std::regex_match(
        lines[0],
        std::regex(
            R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] \[INFO \] source\.cpp:17 do_work: hello 42 there)")))
        << lines[0];
}

TEST_F(LoggerTest, ThresholdDropsLowerLevelsWithoutFormattingThem) {
    EXPECT_EQ(rk_log_get_level(), RK_LOG_INFO);
    // Formatting this would read through a wild pointer.
    rk_log_write(RK_LOG_DEBUG, "f.c", 1, "fn", "%s", reinterpret_cast<const char *>(0x1));
    rk_log_write(RK_LOG_TRACE, "f.c", 1, "fn", "trace");
    rk_log_write(RK_LOG_WARN, "f.c", 2, "fn", "warn");
    rk_log_set_level(RK_LOG_TRACE);
    rk_log_write(RK_LOG_TRACE, "f.c", 3, "fn", "trace");
    rk_log_set_level(static_cast<rk_log_level_t>(6));  // above every level
    rk_log_write(RK_LOG_FATAL, "f.c", 4, "fn", "dropped, so no abort");
    rk_log_set_level(static_cast<rk_log_level_t>(-3));
    rk_log_write(static_cast<rk_log_level_t>(-1), "f.c", 5, "fn", "negative");
    const auto lines = logged();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find("[WARN ] f.c:2 fn: warn"), std::string::npos);
    EXPECT_NE(lines[1].find("[TRACE] f.c:3 fn: trace"), std::string::npos);
    EXPECT_NE(lines[2].find("[UNKNOWN] f.c:5 fn: negative"), std::string::npos);
}

TEST_F(LoggerTest, FileModesTruncateOrAppendAndBadPathsTurnFileLoggingOff) {
    rk_log_set_format("%m");
    rk_log_write(RK_LOG_INFO, "f", 1, "fn", "one");
    ASSERT_EQ(rk_log_set_file(path_.c_str(), 1), RK_OK);
    rk_log_write(RK_LOG_INFO, "f", 1, "fn", "two");
    EXPECT_EQ(logged(), (std::vector<std::string>{"one", "two"}));
    ASSERT_EQ(rk_log_set_file(path_.c_str(), 0), RK_OK);
    rk_log_write(RK_LOG_INFO, "f", 1, "fn", "three");
    EXPECT_EQ(logged(), (std::vector<std::string>{"three"}));

    EXPECT_EQ(rk_log_set_file("/nonexistent-dir/x/y.log", 1), RK_ERR_FILE_NOT_FOUND);
    rk_log_write(RK_LOG_INFO, "f", 1, "fn", "nowhere");
    EXPECT_EQ(lines_of(read_file(path_)), (std::vector<std::string>{"three"}));
    EXPECT_EQ(rk_log_set_file(nullptr, 0), RK_OK);
}

TEST_F(LoggerTest, TemplateIsCutTo255Characters) {
    std::string tmpl(300, 'a');
    tmpl[254] = 'b';
    rk_log_set_format(tmpl.c_str());
    rk_log_set_format(nullptr);  // leaves it as it is
    rk_log_write(RK_LOG_INFO, "f", 1, "fn", "m");
    const auto lines = logged();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], tmpl.substr(0, 255));
}

TEST_F(LoggerTest, LongMessagesAreCut) {
    rk_log_set_format("%m");
    const std::string longer(5000, 'z');
    rk_log_write(RK_LOG_INFO, "f", 1, "fn", "%s", longer.c_str());
    const auto lines = logged();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], longer.substr(0, RK_LOG_MESSAGE_MAX));
}

struct Captured {
    int calls = 0;
    uint32_t level = 0, line = 0;
    std::string file, function, message;
    int64_t timestamp = 0;
};

void capture(uint32_t level, const char *file, uint32_t line, const char *function, int64_t ts,
             const char *message, void *user) {
    auto *c = static_cast<Captured *>(user);
    ++c->calls;
    c->level = level;
    c->file = file;
    c->line = line;
    c->function = function;
    c->timestamp = ts;
    c->message = message;
}

TEST_F(LoggerTest, CallbackTakesMessagesInsteadOfTheSinksFatalIncluded) {
    Captured c;
    rk_log_set_callback(capture, &c);
    const int64_t before = rk_log_timestamp();
    rk_log_write(RK_LOG_FATAL, "a/b/c.cpp", 99, "func", "value=%u", 7u);
    const int64_t after = rk_log_timestamp();
    // Still alive: the callback took the fatal message.
    EXPECT_EQ(c.calls, 1);
    EXPECT_EQ(c.level, static_cast<uint32_t>(RK_LOG_FATAL));
    EXPECT_EQ(c.file, "a/b/c.cpp");  // full path, not the base name
    EXPECT_EQ(c.line, 99u);
    EXPECT_EQ(c.function, "func");
    EXPECT_EQ(c.message, "value=7");
    EXPECT_GE(c.timestamp, before);
    EXPECT_LE(c.timestamp, after);
    rk_log_write(RK_LOG_DEBUG, "f", 1, "fn", "below threshold");
    EXPECT_EQ(c.calls, 1);
    EXPECT_TRUE(logged().empty());

    rk_log_set_callback(nullptr, nullptr);
    rk_log_write(RK_LOG_INFO, "f", 1, "fn", "back to the file");
    EXPECT_EQ(logged().size(), 1u);
    EXPECT_EQ(c.calls, 1);
}

void forward_v(const char *format, ...) {
    va_list args;
    va_start(args, format);
    rk_log_write_v(RK_LOG_WARN, "v.c", 5, "fv", format, args);
    va_end(args);
}

TEST_F(LoggerTest, ArgumentListVariantFormatsLikeTheVariadicOne) {
    rk_log_set_format("%L %F:%N %M: %m");
    forward_v("%d-%s-%%", 3, "x");
    EXPECT_EQ(logged(), (std::vector<std::string>{"WARN  v.c:5 fv: 3-x-%"}));
}

TEST_F(LoggerTest, ConsoleSendsErrorsToStderrAndTheRestToStdout) {
    rk_log_set_format("%L:%m");
    rk_log_set_console(1);
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    rk_log_write(RK_LOG_WARN, "f", 1, "fn", "w");
    rk_log_write(RK_LOG_ERROR, "f", 1, "fn", "e");
    rk_log_write(RK_LOG_INFO, "f", 1, "fn", "i");
    const std::string out = ::testing::internal::GetCapturedStdout();
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(out, "WARN :w\nINFO :i\n");
    EXPECT_EQ(err, "ERROR:e\n");
    EXPECT_EQ(logged().size(), 3u);  // the file gets all three
}

TEST_F(LoggerTest, ShutdownClosesTheFileButKeepsTheSettings) {
    rk_log_set_format("%m");
    rk_log_set_level(RK_LOG_WARN);
    rk_log_write(RK_LOG_WARN, "f", 1, "fn", "before");
    rk_log_shutdown();
    rk_log_write(RK_LOG_WARN, "f", 1, "fn", "after");  // no file any more
    EXPECT_EQ(lines_of(read_file(path_)), (std::vector<std::string>{"before"}));
    EXPECT_EQ(rk_log_get_level(), RK_LOG_WARN);
    ASSERT_EQ(rk_log_set_file(path_.c_str(), 1), RK_OK);
    rk_log_write(RK_LOG_WARN, "f", 1, "fn", "again");
    EXPECT_EQ(logged(), (std::vector<std::string>{"before", "again"}));
}

TEST_F(LoggerTest, ConcurrentLinesNeverInterleave) {
    rk_log_set_format("%M %m");
    constexpr int kThreads = 4, kLines = 300;
    std::vector<std::thread> pool;
    for (int t = 0; t < kThreads; ++t) {
        pool.emplace_back([t] {
            const std::string name = "t" + std::to_string(t);
            const std::string body(100, static_cast<char>('a' + t));
            for (int i = 0; i < kLines; ++i) {
                rk_log_write(RK_LOG_INFO, "f", i, name.c_str(), "%s", body.c_str());
            }
        });
    }
    for (auto &th : pool) th.join();
    const auto lines = logged();
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
    for (const auto &line : lines) {
        ASSERT_EQ(line.size(), 3u + 100u) << line;
        const char tag = static_cast<char>('a' + (line[1] - '0'));
        EXPECT_EQ(line.substr(3), std::string(100, tag));
    }
}

TEST_F(LoggerTest, FatalWritesAndFlushesTheLineBeforeAborting) {
#if defined(ZEVUD_TARGET_LAUNCHER)
    // Under qemu-user the child cannot execute the test program again.
    GTEST_FLAG_SET(death_test_style, "fast");
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
#endif
    rk_log_set_format("%L %m");
    EXPECT_DEATH(rk_log_write(RK_LOG_FATAL, "f", 1, "fn", "last words %d", 1), "");
    EXPECT_EQ(lines_of(read_file(path_)), (std::vector<std::string>{"FATAL last words 1"}));
}

}  // namespace
