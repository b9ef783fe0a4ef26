#!/usr/bin/env bash
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
exit $status
