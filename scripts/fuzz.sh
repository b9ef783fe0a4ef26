#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds every fuzz target with clang and runs each one briefly over its seed
# corpus (seconds per target: first argument, default 20).
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-20}
bash scripts/deps.sh fuzz
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZEVUD_FUZZ=ON -DZEVUD_SANITIZE=ON -DZEVUD_TESTS=OFF -DZEVUD_BENCH=OFF >/dev/null
targets=$(ls fuzz/*_fuzz.cpp 2>/dev/null | xargs -n1 basename | sed "s/\.cpp$//")
cmake --build build-fuzz -j2 --target $targets
# Two targets at a time (FUZZ_JOBS): the machine's cores, each target on one.
run_one() {
  local bin=$1 name work out
  name=$(basename "$bin" _fuzz)
  work=$(mktemp -d)
  local seeds=()
  [ -d "fuzz/corpus/$name" ] && seeds=("fuzz/corpus/$name")
  out=$("$bin" -max_total_time="$secs" -rss_limit_mb=2048 -max_len=65536 "$work" "${seeds[@]}" 2>&1 | tail -n 3) \
    || { printf '== fuzz %s FAILED ==\n%s\n' "$name" "$out"; rm -rf "$work"; return 1; }
  printf '== fuzz %s for %ss ==\n%s\n' "$name" "$secs" "$out"
  rm -rf "$work"
}
export -f run_one
export secs
ls build-fuzz/fuzz/*_fuzz | xargs -P "${FUZZ_JOBS:-2}" -I{} bash -c 'run_one "$1"' _ {}
