// The zevud command-line tool.
#include "commands.h"

int main(int argc, char **argv) { return zcli::run_cli(argc, argv); }
