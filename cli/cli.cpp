// SPDX-License-Identifier: Apache-2.0
// Command dispatch, top-level help and the error boundary.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <new>

#include "commands.h"
#include "dataset.h"
#include "filter_expr.h"
#include "zevud.h"

namespace zcli {

namespace {

struct Command {
    const char *name;
    int (*run)(const Words &);
    const char *summary;
};

constexpr Command kCommands[] = {
    {"demo", cmd_demo, "build a seeded demo database, search it, reopen it"},
    {"import", cmd_import, "load vectors from .fvecs/.bvecs/.npy/IDX/CSV into a collection"},
    {"build", cmd_build, "build a collection's index and report its cost"},
    {"search", cmd_search, "k nearest neighbours of a query, with an optional filter"},
    {"info", cmd_info, "list a database's collections and their figures"},
    {"drop", cmd_drop, "delete a collection"},
    {"bench", cmd_bench, "recall@10 against queries per second, table and plot"},
};

void top_help() {
    std::printf(
        "usage: zevud COMMAND [ARGS] [--json] [--help]\n\n"
        "ZevUD vector database tool (%s).\n\ncommands:\n",
        RK_VERSION_STRING);
    for (const Command &c : kCommands) std::printf("  %-8s %s\n", c.name, c.summary);
    std::printf(
        "\n`zevud COMMAND --help` describes a command.\n\n"
        "exit codes:\n"
        "  0  success\n"
        "  1  usage: bad arguments, options or filter expression\n"
        "  2  data: missing or malformed file, missing database or collection\n"
        "  3  library: the database refused or failed an operation\n");
}

}  // namespace

double now_seconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

bool show_help(const CommandSpec &spec, const Args &a) {
    if (!a.has("help")) return false;
    std::fputs(help_text(spec).c_str(), stdout);
    return true;
}

int run_cli(int argc, char **argv) {
    if (argc < 2) {
        top_help();
        return kExitUsage;
    }
    const std::string word = argv[1];
    if (word == "--help" || word == "-h" || word == "help") {
        top_help();
        return kExitOk;
    }
    if (word == "--version") {
        std::printf("zevud %s\n", RK_VERSION_STRING);
        return kExitOk;
    }
    const Words rest(argv + 2, argv + argc);
    // With --json a failure is also a JSON object on stdout, so a script
    // reading stdout gets an answer it can parse either way.
    const bool json = std::find(rest.begin(), rest.end(), std::string("--json")) != rest.end();
    for (const Command &c : kCommands) {
        if (word != c.name) continue;
        auto fail = [&](int code, const std::string &message) {
            std::fprintf(stderr, "zevud %s: %s\n", c.name, message.c_str());
            if (json)
                std::printf("{\"error\":{\"command\":\"%s\",\"exit_code\":%d,\"message\":%s}}\n", c.name, code,
                            json_escape(message).c_str());
            return code;
        };
        try {
            return c.run(rest);
        } catch (const CliError &e) {
            return fail(e.code, e.what());
        } catch (const DataError &e) {
            return fail(kExitData, e.what());
        } catch (const ExprError &e) {
            return fail(kExitUsage, "bad filter at column " + std::to_string(e.column + 1) + ": " + e.what());
        } catch (const std::bad_alloc &) {
            return fail(kExitData, "out of memory");
        }
    }
    std::fprintf(stderr, "zevud: unknown command '%s' (try zevud --help)\n", word.c_str());
    return kExitUsage;
}

}  // namespace zcli
