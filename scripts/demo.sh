#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the zevud tool and runs its end-to-end demo: a persistent database
# in ./zevud-demo (or the directory given), a seeded synthetic collection, an
# HNSW index, plain and filtered queries with recall and speed, then a reopen.
# Extra arguments go to `zevud demo` (e.g. --rows 20000).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh build
# Only the tool: the tests and benchmarks are not needed (nor installed) here.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEVUD_TESTS=OFF -DZEVUD_BENCH=OFF >/dev/null
cmake --build build -j"$(nproc)" --target zevud_cli
./build/cli/zevud demo "$@"
