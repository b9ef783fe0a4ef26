#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs the Debian packages the build, the tests and the benchmarks need.
# Skips apt entirely when everything is already there. OpenBLAS (serial)
# gives FAISS in the comparison benchmarks the matrix products its users
# have; with Debian's reference BLAS it trains about 20 times slower.
set -euo pipefail
pkgs=(build-essential cmake ninja-build pkg-config zlib1g-dev googletest libgtest-dev libgmock-dev
      libbenchmark-dev clang libclang-rt-14-dev libfaiss-dev libhnswlib-dev gnuplot-nox
      libopenblas0-serial)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
