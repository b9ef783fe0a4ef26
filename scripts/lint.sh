#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# House rules that a compiler cannot check.
set -uo pipefail
cd "$(dirname "$0")/.."
status=0
# Memory goes through the hooks and arenas: raw allocation only in the
# allocator layer (src/core) and the platform layer.
raw=$(grep -rnE '\b(malloc|calloc|realloc|free)\s*\(|\bnew\s+[A-Za-z_]|\bdelete\s' src \
      --include='*.cpp' --include='*.h' --include='*.c' \
      | grep -vE '^src/(core|platform)/' | grep -vE 'rk_(malloc|calloc|realloc|free)|_fn\(|//' || true)
if [ -n "$raw" ]; then echo "raw allocation outside the allocator layer:"; echo "$raw"; status=1; fi
# Platform conditionals live in src/platform only.
ifdefs=$(grep -rnE '#\s*if(def)?.*(_WIN32|__linux__|__APPLE__)' src | grep -vE '^src/(platform|db/info\.cpp)' || true)
if [ -n "$ifdefs" ]; then echo "platform conditionals outside src/platform:"; echo "$ifdefs"; status=1; fi
# Every source file names its licence on its first lines.
unlicensed=$(git ls-files -- '*.cpp' '*.h' '*.c' '*.sh' '*CMakeLists.txt' '*.cmake' '*.in' '*.py' \
      | grep -vE '^(fuzz/corpus|tests/exports)/' \
      | while read -r f; do head -3 "$f" | grep -q 'SPDX-License-Identifier: Apache-2.0' || echo "$f"; done)
if [ -n "$unlicensed" ]; then echo "source files without an SPDX line:"; echo "$unlicensed"; status=1; fi
exit $status
