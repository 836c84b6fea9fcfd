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
layers=$1
objects=$2
picture=${3:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

printf '%s\n' "$objects" | tr ';' '\n' | sed '/^$/d' > "$work/objects"

# "OBJECT RANK MODULE" for every object.
awk -v layers="$layers" '
  BEGIN {
    while ((getline line < layers) > 0) {
      sub(/#.*/, "", line)
      n = split(line, f, /[ \t]+/)
      first = (f[1] == "") ? 2 : 1
      if (n < first || f[first] == "") continue
      ++rank; name[rank] = f[first]
      for (i = first + 1; i <= n; ++i) {
        if (f[i] == "") continue
        pattern = f[i]; gsub(/\./, "\\.", pattern); gsub(/\*/, "[^/]*", pattern)
        regex[++patterns] = "/" pattern "\\.o$"; owner[patterns] = rank
      }
    }
  }
  {
    for (p = 1; p <= patterns; ++p) {
      if ($0 ~ regex[p]) { print $0, owner[p], name[owner[p]]; next }
    }
    print "object in no module: " $0 > "/dev/stderr"; bad = 1
  }
  END { exit bad }' "$work/objects" > "$work/map"

# "SYMBOL RANK MODULE" for every strong definition, and for every use.
while read -r obj rank module; do
  nm --defined-only -g "$obj" | awk -v r="$rank" -v m="$module" '$2 ~ /^[TDBR]$/ { print $3, r, m }'
done < "$work/map" | sort -k1,1 > "$work/defs"
while read -r obj rank module; do
  nm -u "$obj" | awk -v r="$rank" -v m="$module" '{ print $2, r, m }'
done < "$work/map" | sort -k1,1 > "$work/uses"

# "USER_RANK USER DEFINER_RANK DEFINER SYMBOL" for every use of another module.
join "$work/uses" "$work/defs" | awk '$3 != $5 { print $2, $3, $4, $5, $1 }' | sort -u > "$work/edges"

status=0
if awk '$3 > $1 { found = 1 } END { exit found }' "$work/edges"; then :; else
  echo "upward calls (module -> module listed after it: symbol):"
  awk '$3 > $1 { print "  " $2 " -> " $4 ": " $5 }' "$work/edges" | c++filt
  status=1
fi
if [ "$picture" = "--picture" ]; then
  echo "modules, bottom first, and the modules each one uses:"
  awk '{ print $2, $3 }' "$work/map" | sort -u -k1,1n | while read -r rank module; do
    uses=$(awk -v m="$module" '$2 == m { print $4 }' "$work/edges" | sort -u | tr '\n' ' ')
    printf '  %2d %-11s %s\n' "$rank" "$module" "$uses"
  done
fi
if [ $status -eq 0 ]; then
  echo "layers: $(wc -l < "$work/map") objects in $(awk '{ print $3 }' "$work/map" | sort -u | wc -l) modules; every call goes downward"
fi
exit $status
