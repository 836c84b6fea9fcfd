#!/bin/bash
# rtkctl from the build tree: every --json form parses with jq and holds what
# it should (one jq condition per row), failures and bad usage leave standard
# output empty, stat shows ISO 8601 times, the paths of a walk come back byte
# for byte (through path_hex where a name is not UTF-8), and
# tools/rtkctl/completion.bash offers subcommands, options and paths.
#
#   rtkctl.sh LAYOUT WORKDIR
set -u
. "$1" && work=$2 && rm -rf "$work" && mkdir -p "$work/tree/sub" "$work/c/a dir/inner" "$work/c/b dir" && : >"$work/c/a file"
export tree=$work/tree file=$work/tree/sub/five && printf 12345 >"$file" && chmod 640 "$file" && touch -d @1000000000 "$file"
status=0 && fail() { echo "FAIL: $*"; status=1; }
# check FILTER ARGS...: rtkctl ARGS succeeds and prints JSON for which FILTER is true.
check() { local filter=$1 out; shift; out=$("$rtkctl" "$@") && jq -e "$filter" <<<"$out" >/dev/null || fail "rtkctl $*: not ($filter): $out"; }
trace='{"device":"file","mask":"","level":"Fine","program":""}'
check ". == $trace" --json trace-settings
check '. == {"device":"terminal","mask":"ERR,RTK","level":"Medium","program":"rtk"}' \
  trace-settings "<trace device='screen' mask='rtk,err' level='medium' program='rtk'/>" --json
check ". == {\"driver\":{\"loaded\":false},\"library\":{\"trace\":$trace,\"driver_version\":\"1.0.0.8\"}}" --json status
check '. == {"code":5001,"mnemonic":"NOMEM","severity":"ERROR","text":"No memory available for operation"}' --json explain 5001
check '.code == 6007 and .mnemonic == "HTTPSETf"' explain --json qm_err_httpsetf
check '.kind == "file" and .size == 5 and .mode_octal == "0100640" and .mode == 33184 and .mtime == "2001-09-09T01:46:40Z"
  and .mtime_seconds == 1000000000 and .owner == 0 and .owner_name == "root" and (.device | type) == "number"' --json stat "$file"
check '.kind == "directory" and .name == $ENV.tree' stat "$tree" --json
for args in '--json whois 0' 'whois root --json'; do check '. == {"uid":0,"name":"root"}' $args; done
# STATUS ARGS: ids are read modulo 2^32, so numbers outside 0..4294967295 are refused, not taken as root.
while read -r want args; do
  out=$(eval "\"\$rtkctl\" $args" 2>/dev/null) && got=0 || got=$?
  [ "$got" = "$want" ] && [ -z "$out" ] || fail "rtkctl $args: exit $got (not $want), stdout '$out'"
done <<'ROWS'
1 --json stat "$work/missing"
1 --json whois no-such-user-here
2 --json explain 5006
2 --json install "$work"
2 --json
2 whois 4294967296
2 whois -4294967296
1 tail "$work"
ROWS
# An open of a FIFO without a writer waits, and ends on SIGTERM (timeout's 124, not -k's 137).
mkfifo "$work/fifo" && timeout -k 5 1 "$rtkctl" copy "$work/fifo" "$work/out"; [ $? = 124 ] || fail "rtkctl copy from a FIFO ignores SIGTERM"
"$rtkctl" stat "$file" | grep -qx 'mtime:  2001-09-09T01:46:40Z' || fail "rtkctl stat does not show the mtime in ISO 8601"

# Names that must be escaped, valid UTF-8 of two and four bytes, and four that
# are not UTF-8 (a stray byte, an overlong '/', a surrogate, a cut sequence).
for name in 'quote"back\slash' $'tab\tand\nline' $'ctl\001\177' $'caf\xc3\xa9' $'smile\xf0\x9f\x98\x80' \
  $'stray\xff' $'over\xc0\xaf' $'surrogate\xed\xa0\x80' $'cut\xe2\x82'; do : >"$tree/$name"; done
"$rtkctl" --json walk "$tree" >"$work/walk.json" && ! LC_ALL=C grep -q $'\177' "$work/walk.json" || fail "rtkctl --json walk fails or prints a raw DEL"
jq -e -s 'map(select(has("path_hex"))) | length == 4 and all(.[]; (.path | contains("\ufffd")) and
  (.path_hex | test("^([0-9a-f][0-9a-f])+$")))' "$work/walk.json" >/dev/null ||
  fail "not exactly the four names that are not UTF-8 have a lowercase path_hex and U+FFFD in their path"
# Every path as base64 of its bytes, from the walk and from find (read byte by
# byte: in a UTF-8 locale bash's read takes the NUL after a cut sequence into it).
jq -r 'if has("path_hex") then "hex " + .path_hex else "b64 " + (.path | @base64) end' "$work/walk.json" |
  while read -r form value; do
    { [ "$form" = hex ] && printf '%b' "$(sed 's/../\\x&/g' <<<"$value")" | base64 -w0 || printf %s "$value"; } && echo
  done | sort >"$work/walked"
find "$tree" -print0 | while LC_ALL=C IFS= read -r -d '' path; do printf '%s' "$path" | base64 -w0; echo; done |
  sort | cmp -s - "$work/walked" || fail "rtkctl --json walk does not give back the paths that find lists"

# EXPECTED WORDS...: completing the last word offers EXPECTED (sorted, joined
# with '|'). Outside a real completion compopt refuses to run; the options it
# sets do not change what is offered.
PATH=$(dirname "$rtkctl"):$PATH && . "$source_dir/tools/rtkctl/completion.bash" && cd "$work/c" && compopt() { :; } || exit 1
while IFS='|' read -r want words; do
  eval "COMP_WORDS=($words)" && COMP_CWORD=$((${#COMP_WORDS[@]} - 1)) COMPREPLY=() && _rtkctl
  got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | paste -sd ',')
  [ "$got" = "$want" ] || fail "completing '$words' offers '$got', not '$want'"
done <<'ROWS'
stat,status|rtkctl st
explain,stat,status,trace-settings,walk,whois|rtkctl --json ""
--help,--json|rtkctl -
--trace,--unload|rtkctl uninstall --
start,status,stop|rtkctl driver s
|rtkctl driver start s
a dir,b dir|rtkctl walk ""
a dir,a file,b dir|rtkctl copy "a file" ""
a dir/inner|rtkctl stat "a dir/"
ROWS
[ $status -eq 0 ] && echo "rtkctl: every form checked" || exit 1
