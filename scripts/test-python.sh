#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs the Python package into a fresh virtual environment over Debian's
# numpy and pytest (offline, no build isolation) and runs its tests, the
# zevud tool included. Uses the library and tool of an existing build
# (default build/, as scripts/test.sh leaves it); with --from-source the
# package builds the library itself with CMake instead.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$(realpath -m "${ZEVUD_BUILD_DIR:-build}")
venv=$build/python-venv
rm -rf "$venv"
/usr/bin/python3 -m venv --system-site-packages "$venv"
if [ "${1:-}" = "--from-source" ]; then
  rm -rf python/build
  "$venv/bin/pip" install --no-build-isolation --no-index -q ./python
else
  ZEVUD_LIBRARY="$build/libzevud.so.0" "$venv/bin/pip" install --no-build-isolation --no-index -q ./python
fi
rm -rf python/build python/*.egg-info
# Run from outside python/ so the installed package, not the source tree, is imported.
cd "$build"
ZEVUD_CLI="$build/cli/zevud" "$venv/bin/python" -m pytest -q -p no:cacheprovider "$root/python/tests"
