#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Checks the dynamic symbol table of the shared library against the export
# lists (one file per family, one name a line): everything defined and
# exported starts with rk_, every listed name is exported, every exported
# rk_ name is listed, and (given the public headers' directory) every
# function the headers declare with RK_API is listed. A function added to a
# header or to the library without its list entry fails here.
set -u
lib=$1; lists=$2; headers=${3:-}
status=0
case "$lib" in
  *.dll)
    # A Windows DLL: its export table, and the DLLs it imports from, which
    # must be the system's own (the C++ runtime is linked in).
    objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
    table=$("$objdump" -p "$lib")
    defined=$(printf '%s\n' "$table" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
              sed -n 's/^[[:space:]]*\[ *[0-9]*\] \(.*\)$/\1/p' | sort -u)
    imports=$(printf '%s\n' "$table" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
    foreign=$(printf '%s\n' "$imports" | grep -v -E '^(kernel32|msvcrt)\.dll$' || true)
    if [ -n "$foreign" ]; then
      echo "the DLL depends on more than KERNEL32.dll and msvcrt.dll:"; printf '  %s\n' $foreign; status=1
    fi
    ;;
  *)
    defined=$("${NM:-nm}" -D --defined-only "$lib" | awk '$2 ~ /^[TWDBRV]$/ {print $3}' | sed 's/@.*//' | sort -u)
    ;;
esac
listed=$(cat "$lists"/*.txt | sed 's/#.*//' | awk 'NF{print $1}' | sort -u)
bad=$(printf '%s\n' "$defined" | grep -v '^rk_' | grep -v -E '^(_init|_fini|_edata|_end|__bss_start)$' || true)
if [ -n "$bad" ]; then
  echo "symbols exported without the rk_ prefix:"; printf '  %s\n' $bad; status=1
fi
missing=$(comm -23 <(printf '%s\n' "$listed") <(printf '%s\n' "$defined"))
if [ -n "$missing" ]; then
  echo "documented functions missing from the export table:"; printf '  %s\n' $missing; status=1
fi
unlisted=$(printf '%s\n' "$defined" | grep '^rk_' | comm -23 - <(printf '%s\n' "$listed"))
if [ -n "$unlisted" ]; then
  echo "exported functions missing from the export lists:"; printf '  %s\n' $unlisted; status=1
fi
if [ -n "$headers" ]; then
  # The name before the first '(' of each RK_API declaration, preprocessor
  # lines left out (the export macro's own definition among them).
  declared=$(grep -hv '^[[:space:]]*#' "$headers"/*.h | tr '\n' ' ' | grep -oE 'RK_API[^;{(]*\(' |
             sed -E 's/[[:space:]]*\($//; s/.*[^A-Za-z0-9_]([A-Za-z_][A-Za-z0-9_]*)$/\1/' | sort -u)
  if [ -z "$declared" ]; then
    echo "no RK_API declarations found under $headers"; status=1
  fi
  undeclared=$(comm -23 <(printf '%s\n' "$declared") <(printf '%s\n' "$listed"))
  if [ -n "$undeclared" ]; then
    echo "functions declared in the public headers missing from the export lists:"
    printf '  %s\n' $undeclared; status=1
  fi
fi
count=$(printf '%s\n' "$defined" | grep -c '^rk_')
echo "exported rk_ symbols: $count"
exit $status
