#!/bin/sh
# Layer check. Reads the library's modules, bottom first, from LAYERS
# ("MODULE SOURCE..." per line; '#' starts a comment; '*' matches within a
# directory) and fails when an object file uses a symbol that is defined in a
# module listed after its own, or when an object belongs to no module.
#
#   check_layers.sh LAYERS OBJECTS [--picture]
#
# OBJECTS is the ';'-separated list of the library's object files
# (".../DIR/FILE.cpp.o"). With --picture it also prints every module and the
# modules it uses.
set -eu
work=$(mktemp -d) && trap 'rm -rf "$work"' EXIT

# "OBJECT RANK MODULE" for every object.
printf '%s\n' "$2" | tr ';' '\n' | sed '/^$/d' | awk -v layers="$1" '
  BEGIN {
    while ((getline line < layers) > 0) {
      sub(/#.*/, "", line); if (split(line, f, " ") == 0) continue
      name[++rank] = f[1]
      for (i = 2; i in f; ++i) {
        pattern = f[i]; gsub(/\./, "\\.", pattern); gsub(/\*/, "[^/]*", pattern)
        regex[++patterns] = "/" pattern "\\.o$"; owner[patterns] = rank
      }
    }
  }
  {
    for (p = 1; p <= patterns; ++p) if ($0 ~ regex[p]) { print $0, owner[p], name[owner[p]]; next }
    print "object in no module: " $0 > "/dev/stderr"; bad = 1
  }
  END { exit bad }' > "$work/map"

# "SYMBOL RANK MODULE" for every strong definition and for every use, then
# "USER_RANK USER DEFINER_RANK DEFINER SYMBOL" for every use of another module.
while read -r obj rank module; do
  nm --defined-only -g "$obj" | awk -v r="$rank" -v m="$module" '$2 ~ /^[TDBR]$/ { print $3, r, m }' >> "$work/defs"
  nm -u "$obj" | awk -v r="$rank" -v m="$module" '{ print $2, r, m }' >> "$work/uses"
done < "$work/map"
sort -k1,1 -o "$work/defs" "$work/defs" && sort -k1,1 -o "$work/uses" "$work/uses"
join "$work/uses" "$work/defs" | awk '$3 != $5 { print $2, $3, $4, $5, $1 }' | sort -u > "$work/edges"

awk '$3 > $1 { print "  " $2 " -> " $4 ": " $5 }' "$work/edges" | c++filt > "$work/upward" && status=0
[ ! -s "$work/upward" ] || { echo "upward calls (module -> module listed after it: symbol):" && cat "$work/upward" && status=1; }
if [ "${3:-}" = "--picture" ]; then
  echo "modules, bottom first, and the modules each one uses:"
  awk '{ print $2, $3 }' "$work/map" | sort -u -k1,1n | while read -r rank module; do
    printf '  %2d %-11s %s\n' "$rank" "$module" "$(awk -v m="$module" '$2 == m { print $4 }' "$work/edges" | sort -u | tr '\n' ' ')"
  done
fi
[ $status -eq 0 ] && echo "layers: $(wc -l < "$work/map") objects in $(awk '{ print $3 }' "$work/map" | sort -u | wc -l) modules; every call goes downward" || exit 1
