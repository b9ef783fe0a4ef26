#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the library and its tests and runs the whole suite.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh test
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEVUD_TESTS=ON -DZEVUD_BENCH="${ZEVUD_BENCH:-OFF}" \
  -DZEVUD_WERROR="${ZEVUD_WERROR:-OFF}" >/dev/null
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure -j"$(nproc)"
