// SPDX-License-Identifier: Apache-2.0
// The tool's commands. Each takes the words after its name, writes its
// results to stdout (text, or JSON with --json) and returns the exit code;
// failures are thrown as CliError.
#pragma once

#include <string>
#include <vector>

#include "output.h"
#include "rk_collection.h"

namespace zcli {

using Words = std::vector<std::string>;

int cmd_demo(const Words &w);
int cmd_import(const Words &w);
int cmd_build(const Words &w);
int cmd_search(const Words &w);
int cmd_info(const Words &w);
int cmd_drop(const Words &w);
int cmd_bench(const Words &w);

// zevud search --queries: answers every row of the file in one batch search
// on --threads threads and prints JSON lines or CSV (--format).
int search_many(const Args &a, rk_collection_t *c, const rk_filter_t *filter, uint32_t effort,
                uint64_t k);

// Whole tool: argv[1] picks the command. Prints errors as one line on stderr
// and returns the exit code.
int run_cli(int argc, char **argv);

// Prints the command's help and returns true when --help was given.
bool show_help(const CommandSpec &spec, const Args &a);

// Seconds on a monotonic clock.
double now_seconds();

}  // namespace zcli
