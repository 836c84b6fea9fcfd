#!/bin/sh
# Compares the defined dynamic symbols of the library with the export table
# ("NAME function|object" per line). Any symbol missing from either side, a
# symbol of the wrong kind, or a C++ mangled name fails the test.
set -eu
lib=$1
table=$2
actual=$(mktemp)
expected=$(mktemp)
trap 'rm -f "$actual" "$expected"' EXIT
# nm -D: T/W/i are code, D/B/R/V/G/S are data. Version nodes (A) are skipped.
nm -D --defined-only "$lib" | awk '
  $2 == "A" { next }
  { kind = ($2 ~ /^[TtWi]$/) ? "function" : "object"; sub(/@.*/, "", $3); print $3, kind }' |
  sort -u > "$actual"
sort -u "$table" | sed '/^$/d' > "$expected"
status=0
if grep -q '^_Z' "$actual"; then
  echo "C++ mangled symbols are exported:"; grep '^_Z' "$actual"; status=1
fi
if ! diff -u "$expected" "$actual"; then
  echo "exported symbols differ from the export table (- table, + library)"; status=1
fi
[ $status -eq 0 ] && echo "exported symbols: $(wc -l < "$actual") match the table"
exit $status
