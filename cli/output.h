// SPDX-License-Identifier: Apache-2.0
// Command-line plumbing shared by the commands: exit codes, argument
// parsing, aligned tables, JSON text and the progress bar.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace zcli {

// Exit codes, also listed by `zevud --help`.
enum Exit : int {
    kExitOk = 0,
    kExitUsage = 1,    // bad command line or filter expression
    kExitData = 2,     // missing or malformed file, missing database or collection
    kExitLibrary = 3,  // the library refused or failed an operation
};

// A failure with its exit code; what() is the one-line message.
struct CliError : std::runtime_error {
    int code;
    CliError(int c, const std::string &msg) : std::runtime_error(msg), code(c) {}
};

struct OptionSpec {
    const char *name;   // long name without dashes
    char short_name;    // 0 for none
    const char *value;  // placeholder of the value, or null for a switch
    const char *help;
};

struct CommandSpec {
    const char *name;
    const char *usage;    // positional part, e.g. "DB COLLECTION FILE"
    const char *summary;  // one line
    const char *details;  // further help text, may be null
    size_t min_positional, max_positional;
    std::vector<OptionSpec> options;
};

class Args {
public:
    std::vector<std::string> positional;
    std::map<std::string, std::string> values;  // switches map to ""

    bool has(const std::string &name) const { return values.count(name) != 0; }
    std::string get(const std::string &name, const std::string &fallback = "") const;
    uint64_t get_u64(const std::string &name, uint64_t fallback, uint64_t lo = 0,
                     uint64_t hi = UINT64_MAX) const;
};

// Parses argv after the command word; throws CliError(kExitUsage). A
// "--help" anywhere sets values["help"] and skips the count checks.
Args parse_args(const CommandSpec &spec, const std::vector<std::string> &argv);
std::string help_text(const CommandSpec &spec);

// Unsigned decimal, whole text; false otherwise.
bool parse_u64(const std::string &s, uint64_t &out);
// Comma-separated floats ("0.5,1,-2"); throws CliError(kExitUsage).
std::vector<float> parse_vector_text(const std::string &s);

// Column-aligned text table.
class Table {
public:
    explicit Table(std::vector<std::string> headers) : headers_(std::move(headers)) {}
    void add(std::vector<std::string> row) { rows_.push_back(std::move(row)); }
    std::string render() const;

private:
    std::vector<std::string> headers_;
    std::vector<std::vector<std::string>> rows_;
};

std::string json_escape(const std::string &s);  // with the quotes
std::string json_number(double v);              // null for NaN/inf
// mingw-w64 builds format with its own C99 printf (gnu_printf), not msvcrt's.
#if defined(__MINGW32__)
std::string fmt(const char *format, ...) __attribute__((format(gnu_printf, 1, 2)));
#else
std::string fmt(const char *format, ...) __attribute__((format(printf, 1, 2)));
#endif

// A progress bar on stderr, drawn only when stderr is a terminal.
class Progress {
public:
    Progress(std::string label, uint64_t total);
    ~Progress();
    void update(uint64_t done);
    void finish();

private:
    std::string label_;
    uint64_t total_;
    bool enabled_;
    int last_percent_ = -1;
    bool done_ = false;
};

// An elapsed-time line for work that cannot count its steps (an index
// build): "label ... 3s" on stderr, redrawn twice a second from a thread of
// its own, only when stderr is a terminal. finish() (or the destructor)
// stops it and ends the line.
class Ticker {
public:
    explicit Ticker(std::string label);
    ~Ticker();
    void finish();
    Ticker(const Ticker &) = delete;
    Ticker &operator=(const Ticker &) = delete;

private:
    struct State;
    std::unique_ptr<State> s_;
};

}  // namespace zcli
