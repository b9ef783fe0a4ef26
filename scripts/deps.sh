#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs the Debian packages a task needs, and nothing more. Profiles
# (one or more arguments; default "build"):
#   build  compiler, CMake, Ninja, pkg-config, zlib: the library, the tool, the demo
#   test   build + GoogleTest: the test suite (sanitizer runtimes come with GCC)
#   bench  build + hnswlib, FAISS and the serial OpenBLAS FAISS users run it on
#          (with Debian's reference BLAS FAISS trains about 20 times slower)
#   fuzz   build + clang and its libFuzzer runtime
#   plot   gnuplot, for docs/bench-plot.gp
#   python build + Python 3 with venv, pip, setuptools, wheel, numpy, pytest
#   cross  build + mingw-w64 (-posix compilers) and wine for the Windows DLL,
#          the aarch64 cross compiler and qemu-user
# Skips apt entirely when everything is already there.
set -euo pipefail
pkgs=()
[ $# -eq 0 ] && set -- build
for profile in "$@"; do
  case "$profile" in
    build) ;;
    test)  pkgs+=(googletest libgtest-dev libgmock-dev) ;;
    bench) pkgs+=(libfaiss-dev libhnswlib-dev libopenblas0-serial libbenchmark-dev) ;;
    fuzz)  pkgs+=(clang libclang-rt-14-dev) ;;
    plot)  pkgs+=(gnuplot-nox) ;;
    cross) pkgs+=(g++-mingw-w64-x86-64-posix mingw-w64-tools mingw-w64-x86-64-dev binutils-mingw-w64-x86-64
                  wine wine64 g++-aarch64-linux-gnu libc6-dev-arm64-cross qemu-user) ;;
    python) pkgs+=(python3 python3-venv python3-pip python3-setuptools python3-wheel python3-numpy python3-pytest) ;;
    *) echo "deps.sh: unknown profile '$profile' (build, test, bench, fuzz, plot, python, cross)" >&2; exit 1 ;;
  esac
done
pkgs=(build-essential cmake ninja-build pkg-config zlib1g-dev "${pkgs[@]}")
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
