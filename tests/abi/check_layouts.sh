#!/bin/sh
# Every record that a public header declares keeps its layout asserted: some
# static_assert in the headers or the library sources names sizeof(RECORD),
# and, for a record of more than one field, another names offsetof(RECORD, ...).
# Programs rely on these layouts, so a record that loses its assertions (or a
# new record added without any) fails.
#
#   check_layouts.sh INCLUDE_DIR SOURCE_DIR...
set -eu
include_dir=$1
shift
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Records: "NAME FIELDS" for each "typedef struct|union ... } NAME;" and each
# top-level "struct|union NAME {" block. FIELDS counts the member lines.
for h in "$include_dir"/*.h; do
  awk '
    depth == 0 && /^[ \t]*(typedef[ \t]+)?(struct|union)[ \t]+[A-Za-z_0-9]*[ \t]*\{/ {
      name = ""; if ($1 != "typedef") { name = $2; sub(/\{.*/, "", name) }
      depth = 1; fields = 0; next }
    depth > 0 {
      if ($0 ~ /\{/) depth++
      if ($0 ~ /^[ \t]*\}/) {
        depth--
        if (depth == 0) {
          line = $0; sub(/^[ \t]*\}[ \t]*/, "", line); sub(/[ \t]*;.*/, "", line)
          if (line != "") name = line
          if (name != "") print name, fields
          next
        }
      }
      if (depth == 1 && $0 ~ /;[ \t]*(\/\*.*)?$/) fields++
    }' "$h"
done | sort -u > "$work/records"

# All static_assert statements of headers and sources, one per line.
for d in "$include_dir" "$@"; do
  [ -d "$d" ] || continue
  find "$d" -maxdepth 1 -type f \( -name '*.h' -o -name '*.cpp' \)
done | sort -u | while read -r f; do cat "$f"; printf ';\n'; done |
  tr '\n' ' ' | tr ';' '\n' | grep 'static_assert' | tr -d ' \t' > "$work/asserts" || true

status=0
count=0
while read -r name fields; do
  count=$((count + 1))
  if ! grep -q "sizeof($name)" "$work/asserts"; then
    echo "$name: no static_assert on sizeof($name)"; status=1
  fi
  if [ "$fields" -gt 1 ] && ! grep -q "offsetof($name," "$work/asserts"; then
    echo "$name: no static_assert on offsetof($name, ...)"; status=1
  fi
done < "$work/records"
[ $status -eq 0 ] && echo "record layouts: $count public records asserted"
exit $status
