// SPDX-License-Identifier: Apache-2.0
// The zevud command-line tool.
#include "commands.h"

int main(int argc, char **argv) { return zcli::run_cli(argc, argv); }
