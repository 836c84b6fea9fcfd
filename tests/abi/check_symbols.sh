#!/bin/sh
# ABI guard. Compares the defined dynamic symbols of the library with the
# export table ("NAME function|object" per line, built from the checked-in
# lists cmake/exports/*.txt). Any symbol missing from either side or of the
# wrong kind (a C++ mangled name among them: the table holds none) fails.
#
#   check_symbols.sh LIBRARY TABLE [OBJECTS]
#
# OBJECTS, a ';'-separated list of the library's object files, adds the check
# for symbols that the sources mark for export (default visibility) but that
# the table does not name: the version script would hide them silently, so a
# function added to a header would otherwise never reach the callers.
set -eu
work=$(mktemp -d) && trap 'rm -rf "$work"' EXIT
# nm -D: T/W/i are code, D/B/R/V/G/S are data. Version nodes (A) are skipped.
nm -D --defined-only "$1" | awk '$2 != "A" { sub(/@.*/, "", $3); print $3, ($2 ~ /^[TtWi]$/) ? "function" : "object" }' |
  sort -u > "$work/actual"
sed '/^$/d' "$2" | sort -u > "$work/expected"
status=0
diff -u "$work/expected" "$work/actual" || { echo "exported symbols differ from the export table (- table, + library)"; status=1; }

# readelf -sW columns: Num Value Size Type Bind Vis Ndx Name. Defined global
# or weak symbols of default visibility are the ones meant for callers,
# apart from what the toolchain owns: reserved names ("__...", such as the
# address sanitizer's "__odr_asan.NAME" indicators) and instances of the
# C++ library's templates (namespaces std and __gnu_cxx, which the library's
# headers give default visibility; unoptimised builds keep them out of line).
printf '%s\n' "${3:-}" | tr ';' '\n' | sed '/^$/d' | xargs -r -d '\n' readelf -sW | awk '
  $7 != "UND" && ($5 == "GLOBAL" || $5 == "WEAK") && $6 == "DEFAULT" && NF >= 8 &&
  $8 !~ /^__/ && $8 !~ /^_Z(GV)?(T[VIST])?Z?N?[KVr]*(St|9__gnu_cxx)/ {
    print $8, ($4 == "FUNC" || $4 == "IFUNC") ? "function" : "object" }' | sort -u | comm -23 - "$work/expected" > "$work/unlisted"
if [ -s "$work/unlisted" ]; then
  echo "marked for export in the sources but missing from cmake/exports/*.txt (add them there, or drop RTK_API / extern \"C\"):"
  sed 's/^/  /' "$work/unlisted" && status=1
fi
[ $status -eq 0 ] && echo "exported symbols: $(wc -l < "$work/actual") match the table" || exit 1
