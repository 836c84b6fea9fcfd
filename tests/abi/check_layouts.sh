#!/bin/sh
# Every record that a public header declares keeps its layout asserted: some
# static_assert in the headers or the library sources names sizeof(RECORD),
# and another names offsetof(RECORD, ...).
# Programs rely on these layouts, so a record that loses its assertions (or a
# new record added without any) fails.
#
#   check_layouts.sh INCLUDE_DIR SOURCE_DIR...
set -eu
include_dir=$1 && shift
# All static_assert statements of headers and sources, one per line, without
# blanks.
asserts=$(find "$include_dir" "$@" -maxdepth 1 -type f \( -name '*.h' -o -name '*.cpp' \) 2>/dev/null | sort -u |
  while read -r f; do cat "$f"; echo ';'; done | tr '\n' ' ' | tr ';' '\n' | grep 'static_assert' | tr -d ' \t' || true)

# Records: the NAME of each top-level "} NAME;" that closes a typedef and of
# each top-level "struct|union NAME {" block. Each needs both assertions.
status=0 count=0
for name in $(sed -n 's/^}[ \t]*\([A-Za-z_0-9]\+\)[ \t]*;.*/\1/p; s/^\(struct\|union\)[ \t]\+\([A-Za-z_0-9]\+\)[ \t]*{.*/\2/p' "$include_dir"/*.h | sort -u); do
  count=$((count + 1))
  for form in "sizeof($name)" "offsetof($name,"; do printf '%s\n' "$asserts" | grep -qF "$form" || { echo "$name: no static_assert names $form"; status=1; }; done
done
[ $status -eq 0 ] && echo "record layouts: $count public records asserted" || exit 1
