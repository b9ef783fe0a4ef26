#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs the build into a scratch prefix, moves the tree elsewhere, and
# builds and runs a small C host against it twice: with the flags pkg-config
# gives and through CMake's find_package. A moved tree must still work, so
# neither file may hold the prefix the install was made with.
# Usage: install_test.sh BUILD_DIR SCRATCH_DIR [HOST_FLAGS]
# HOST_FLAGS (e.g. -fsanitize=address,undefined) build the hosts the way the
# library was built.
set -euo pipefail
build=$1; scratch=$2; host_flags=${3:-}
rm -rf "$scratch"; mkdir -p "$scratch"
cmake --install "$build" --prefix "$scratch/first" >/dev/null
mv "$scratch/first" "$scratch/moved"
prefix="$scratch/moved"

cat >"$scratch/host.c" <<'C'
#include <stdio.h>
#include <string.h>
#include "zevud.h"
int main(void) {
    rk_collection_config_t cfg;
    memset(&cfg, 0, sizeof cfg);
    cfg.dimension = 2;
    cfg.index_type = RK_INDEX_FLAT;
    rk_collection_t *c = rk_collection_create(NULL, &cfg);
    const float v[2] = {0.5f, 1.5f};
    uint64_t id = 0;
    if (!c || rk_collection_insert(c, v, &id) != RK_OK || id != 1) return 1;
    rk_collection_destroy(c);
    puts("host ok");
    return 0;
}
C

pc=$(find "$prefix" -name zevud.pc)
[ -n "$pc" ] || { echo "no zevud.pc installed"; exit 1; }
if grep -q "$scratch" "$pc"; then echo "zevud.pc names the install prefix:"; cat "$pc"; exit 1; fi
export PKG_CONFIG_PATH=$(dirname "$pc")
flags=$(pkg-config --cflags --libs zevud)
case "$flags" in *"$prefix"*) ;; *) echo "pkg-config flags miss the moved prefix: $flags"; exit 1;; esac
libdir=$(pkg-config --variable=libdir zevud)
cc $host_flags "$scratch/host.c" -o "$scratch/host_pc" $flags
LD_LIBRARY_PATH=$libdir "$scratch/host_pc"

mkdir -p "$scratch/cmake_host"
cp "$scratch/host.c" "$scratch/cmake_host/"
cat >"$scratch/cmake_host/CMakeLists.txt" <<'CM'
cmake_minimum_required(VERSION 3.25)
project(host C)
find_package(zevud REQUIRED)
add_executable(host host.c)
target_link_libraries(host PRIVATE zevud::zevud)
CM
cmake -S "$scratch/cmake_host" -B "$scratch/cmake_host/build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
      -DCMAKE_C_FLAGS="$host_flags" -DCMAKE_EXE_LINKER_FLAGS="$host_flags" >/dev/null
cmake --build "$scratch/cmake_host/build" >/dev/null
"$scratch/cmake_host/build/host"
rm -rf "$scratch"
