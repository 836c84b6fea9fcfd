#!/bin/bash
# tools/rtkctl/completion.bash: what it offers for the word being completed,
# one row per case, with the rtkctl of this build answering --help.
#
#   completion.sh LAYOUT WORKDIR
set -u
. "$1"
work=$2
rm -rf "$work"
mkdir -p "$work/a dir/inner" "$work/b dir"
: > "$work/a file"
PATH=$(dirname "$rtkctl"):$PATH
. "$source_dir/tools/rtkctl/completion.bash"
# Outside a real completion compopt refuses to run; the options it sets do
# not change what is offered.
compopt() { :; }
status=0

# offers EXPECTED WORD...: completing the last WORD offers EXPECTED (the
# offers sorted and joined with '|').
offers() {
  local want=$1 got
  shift
  COMP_WORDS=("$@")
  COMP_CWORD=$(($# - 1))
  COMPREPLY=()
  _rtkctl
  got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | paste -sd '|')
  [ "$got" = "$want" ] || { echo "FAIL: '$*' offers '$got', not '$want'"; status=1; }
}

offers "stat|status" rtkctl st
offers "trace|trace-settings" rtkctl tr
offers "explain|stat|status|trace-settings|walk|whois" rtkctl --json ""
offers "--help|--json" rtkctl -
offers "--trace|--unload" rtkctl uninstall --
offers "--json" rtkctl walk --
offers "start|status|stop" rtkctl driver s
offers "" rtkctl driver start s
offers "" rtkctl explain ""
cd "$work" || exit 1
offers "a dir|b dir" rtkctl walk ""
offers "a dir" rtkctl install a
offers "a dir|a file" rtkctl --json stat a
offers "a dir|a file|b dir" rtkctl copy "a file" ""
offers "a dir/inner" rtkctl stat "a dir/"
[ $status -eq 0 ] && echo "completion: every case offered what it should"
exit $status
