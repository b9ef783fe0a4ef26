#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds a cross target from scratch and runs its whole test suite under the
# target's emulator:
#   scripts/test-cross.sh windows   # Windows x64 DLL (mingw-w64), under wine
#   scripts/test-cross.sh aarch64   # Linux aarch64, under qemu-user
# Packages: scripts/deps.sh cross. Build folders: build-windows, build-aarch64
# (BUILD_DIR overrides). Benchmarks are left out; tests run in Release.
set -euo pipefail
cd "$(dirname "$0")/.."
target=${1:?usage: test-cross.sh windows|aarch64}
jobs=${JOBS:-$(nproc)}
case "$target" in
  windows) toolchain=cmake/toolchains/mingw-w64-x86_64.cmake ;;
  aarch64) toolchain=cmake/toolchains/aarch64-linux-gnu.cmake ;;
  *) echo "unknown target: $target (windows or aarch64)" >&2; exit 2 ;;
esac
build=${BUILD_DIR:-build-$target}

# The build already runs the Windows test programs (gtest lists their tests
# right after linking), so the prefix is made and its server kept alive
# before anything is built; otherwise the first of those runs makes a
# default prefix of its own while the others race it.
if [ "$target" = windows ]; then
  # A private, warmed wine prefix: created once (wineboot), and one wine
  # server kept alive for the whole run, so no test pays the start-up.
  mkdir -p "$build"
  export WINEPREFIX=${WINEPREFIX:-$(cd "$build" && pwd)/wineprefix}
  export WINEDEBUG=-all
  mkdir -p "$WINEPREFIX"
  [ -f "$WINEPREFIX/system.reg" ] || wineboot -i >/dev/null 2>&1
  wineserver -w
  # A persistent server (it exits 15 minutes after its last client); the
  # call fails harmlessly when one already runs for this prefix.
  wineserver -p 900 || true
  trap 'wineserver -k 2>/dev/null || true' EXIT
  # The first program under a server starts wine's own services, which live
  # as long as the server and keep whatever output they inherited open: a
  # test started first would hold ctest's pipe until the server exits. Start
  # them here, with output that goes nowhere.
  wine cmd /c exit </dev/null >/dev/null 2>&1 || true
fi
# -O2 as the native build: GCC 12 at -O3 reports false string-overflow
# warnings in std::string code, which -Werror would turn into failures.
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
      -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" \
      -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DZEVUD_WERROR=ON -DZEVUD_BENCH=OFF \
      ${CMAKE_EXTRA:-} >/dev/null
cmake --build "$build" -j"$jobs"

ctest --test-dir "$build" --output-on-failure -j"$jobs" --timeout 600
