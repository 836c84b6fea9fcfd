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
# All static_assert statements of headers and sources, one per line, without
# blanks.
asserts=$(find "$include_dir" "$@" -maxdepth 1 -type f \( -name '*.h' -o -name '*.cpp' \) 2>/dev/null | sort -u |
  while read -r f; do cat "$f"; echo ';'; done | tr '\n' ' ' | tr ';' '\n' | grep 'static_assert' | tr -d ' \t' || true)

# Records: "NAME FIELDS" for each "typedef struct|union ... } NAME;" and each
# top-level "struct|union NAME {" block. FIELDS counts the member lines.
status=0 count=0
for record in $(awk '
    depth == 0 && /^[ \t]*(typedef[ \t]+)?(struct|union)[ \t]+[A-Za-z_0-9]*[ \t]*\{/ {
      name = ""; if ($1 != "typedef") { name = $2; sub(/\{.*/, "", name) }
      depth = 1; fields = 0; next }
    depth > 0 {
      if ($0 ~ /\{/) depth++
      if ($0 ~ /^[ \t]*\}/ && --depth == 0) {
        line = $0; sub(/^[ \t]*\}[ \t]*/, "", line); sub(/[ \t]*;.*/, "", line)
        if (line != "") name = line
        if (name != "") print name ":" fields
        next
      }
      if (depth == 1 && $0 ~ /;[ \t]*(\/\*.*)?$/) fields++
    }' "$include_dir"/*.h | sort -u); do
  name=${record%:*} count=$((count + 1))
  printf '%s\n' "$asserts" | grep -qF "sizeof($name)" || { echo "$name: no static_assert on sizeof($name)"; status=1; }
  [ "${record#*:}" -le 1 ] || printf '%s\n' "$asserts" | grep -qF "offsetof($name," ||
    { echo "$name: no static_assert on offsetof($name, ...)"; status=1; }
done
[ $status -eq 0 ] && echo "record layouts: $count public records asserted"
exit $status
