#!/usr/bin/env bash
# Checks the dynamic symbol table of the shared library: everything defined
# and exported starts with rk_, and every name listed in the export lists
# (one file per family, one name a line) is there.
set -u
lib=$1; lists=$2
defined=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TWDBRV]$/ {print $3}' | sed 's/@.*//' | sort -u)
bad=$(printf '%s\n' "$defined" | grep -v '^rk_' | grep -v -E '^(_init|_fini|_edata|_end|__bss_start)$' || true)
status=0
if [ -n "$bad" ]; then
  echo "symbols exported without the rk_ prefix:"; printf '  %s\n' $bad; status=1
fi
missing=$(cat "$lists"/*.txt | sed 's/#.*//' | awk 'NF{print $1}' | sort -u | comm -23 - <(printf '%s\n' "$defined"))
if [ -n "$missing" ]; then
  echo "documented functions missing from the export table:"; printf '  %s\n' $missing; status=1
fi
count=$(printf '%s\n' "$defined" | grep -c '^rk_')
echo "exported rk_ symbols: $count"
exit $status
