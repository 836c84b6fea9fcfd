#!/bin/sh
# The manual pages format without a warning, rtkctl(1) documents every
# subcommand that "rtkctl --help" lists (as the tag of a .TP item under
# COMMANDS), rtkctl(1) and qmdrvd(8) name every long option of their tool's
# --help, and librtk(3) names every public header.
#
#   man_pages.sh LAYOUT WORKDIR
set -eu
. "$1"
work=$2
rm -rf "$work"
mkdir -p "$work"
status=0
for page in "$source_dir"/man/*.[0-9]; do
  LC_ALL=C.UTF-8 groff -man -ww -z -Tutf8 "$page" 2> "$work/groff.log"
  if [ -s "$work/groff.log" ]; then
    echo "${page##*/} formats with warnings:"; cat "$work/groff.log"; status=1
  fi
done

"$rtkctl" --help | awk '/^Commands:/ { on = 1; next } on && /^  [a-z]/ { print $1 }' > "$work/commands"
[ -s "$work/commands" ] || { echo "rtkctl --help lists no commands"; exit 1; }
# The tag line after each .TP under COMMANDS starts with the subcommand.
sed -n '/^\.SH COMMANDS/,/^\.SH /p' "$source_dir/man/rtkctl.1" |
  awk 'tag && /^\.B/ { w = $2; gsub(/"/, "", w); gsub(/\\-/, "-", w); print w } { tag = ($0 == ".TP") }' |
  sort -u > "$work/documented"
missing=$(sort -u "$work/commands" | comm -23 - "$work/documented")
if [ -n "$missing" ]; then
  echo "rtkctl(1) does not document:" $missing; status=1
fi

for tool_page in "$rtkctl rtkctl.1" "$qmdrvd qmdrvd.8"; do
  # shellcheck disable=SC2086  # "TOOL PAGE" splits into its two words
  set -- $tool_page
  for option in $("$1" --help | grep -oE -- '--[a-z][a-z-]*' | sort -u); do
    grep -qF -- "$(printf '%s' "$option" | sed 's/-/\\-/g')" "$source_dir/man/$2" ||
      { echo "$2 does not document $option"; status=1; }
  done
done

for h in "$source_dir"/include/*.h; do
  grep -q "^\.I[R]* .*${h##*/}" "$source_dir/man/librtk.3" ||
    { echo "librtk(3) does not name ${h##*/}"; status=1; }
done
[ $status -eq 0 ] && echo "man pages: $(wc -l < "$work/commands") subcommands and every header documented"
exit $status
