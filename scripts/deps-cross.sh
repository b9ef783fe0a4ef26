#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Packages for the cross targets: the Windows x64 DLL (mingw-w64, run under
# wine) and Linux aarch64 (run under qemu-user). Debian's packages only;
# wine64 alone runs the 64-bit test programs, so no i386 architecture is added.
set -euo pipefail
SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends \
  g++-mingw-w64-x86-64-posix mingw-w64-tools mingw-w64-x86-64-dev \
  binutils-mingw-w64-x86-64 wine wine64 \
  g++-aarch64-linux-gnu libc6-dev-arm64-cross qemu-user
