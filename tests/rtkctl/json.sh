#!/bin/bash
# rtkctl --json: every JSON form parses with jq and holds what it should (one
# jq condition per row below), failures leave standard output empty, stat's
# text form shows ISO 8601 times, and the paths of a walk come back byte for
# byte, through their _hex field where a name is not UTF-8.
#
#   json.sh LAYOUT WORKDIR
set -eu
. "$1"
work=$2
rm -rf "$work"
mkdir -p "$work/tree/sub"
export tree=$work/tree
status=0
fail() { echo "FAIL: $*"; status=1; }

# check FILTER ARGS...: rtkctl ARGS succeeds and prints JSON for which the jq
# FILTER is true.
check() {
  local filter=$1 out
  shift
  out=$("$rtkctl" "$@") || { fail "rtkctl $* exited $?"; return; }
  jq -e "$filter" <<<"$out" > /dev/null || fail "rtkctl $*: not ($filter): $out"
}
# refuse STATUS ARGS...: rtkctl ARGS exits STATUS and prints nothing on stdout.
refuse() {
  local want=$1 out got=0
  shift
  out=$("$rtkctl" "$@" 2> /dev/null) || got=$?
  [ "$got" = "$want" ] && [ -z "$out" ] || fail "rtkctl $*: exit $got (not $want), stdout '$out'"
}

file=$work/tree/sub/five
printf '12345' > "$file"
chmod 640 "$file"
touch -d @1000000000 "$file"

trace='{"device":"file","mask":"","level":"Fine","program":""}'
check ". == $trace" --json trace-settings
check '. == {"device":"terminal","mask":"ERR,RTK","level":"Medium","program":"rtk"}' \
  trace-settings "<trace device='screen' mask='rtk,err' level='medium' program='rtk'/>" --json
check ". == {\"driver\":{\"loaded\":false},\"library\":{\"trace\":$trace,\"driver_version\":\"1.0.0.8\"}}" \
  --json status
check '. == {"code":5001,"mnemonic":"NOMEM","severity":"ERROR","text":"No memory available for operation"}' \
  --json explain 5001
check '.code == 6007 and .mnemonic == "HTTPSETf"' explain --json qm_err_httpsetf
check '.kind == "file" and .size == 5 and .mode_octal == "0100640" and .mode == 33184 and
  .mtime == "2001-09-09T01:46:40Z" and .mtime_seconds == 1000000000 and .owner == 0 and
  .owner_name == "root" and (.device | type) == "number"' --json stat "$file"
check '.kind == "directory" and .name == $ENV.tree' stat "$tree" --json
check '. == {"uid":0,"name":"root"}' --json whois 0
check '. == {"uid":0,"name":"root"}' whois root --json
refuse 1 --json stat "$work/missing"
refuse 1 --json whois no-such-user-here
refuse 2 --json explain 5006
refuse 2 --json install "$work"
refuse 2 --json

"$rtkctl" stat "$file" | grep -qx 'mtime:  2001-09-09T01:46:40Z' ||
  fail "rtkctl stat does not show the mtime as 2001-09-09T01:46:40Z"

# Names that must be escaped, valid UTF-8 of two and four bytes, and four
# that are not UTF-8 (a stray byte, an overlong '/', a surrogate, a cut
# sequence).
for name in 'quote"back\slash' $'tab\tand\nline' $'ctl\001\177' $'caf\xc3\xa9' \
  $'smile\xf0\x9f\x98\x80' $'stray\xff' $'over\xc0\xaf' $'surrogate\xed\xa0\x80' $'cut\xe2\x82'; do
  : > "$work/tree/$name"
done
"$rtkctl" --json walk "$work/tree" > "$work/walk.json" || fail "rtkctl --json walk exited $?"
jq -e . "$work/walk.json" > /dev/null || fail "rtkctl --json walk does not print JSON lines"
! LC_ALL=C grep -q "$(printf '\177')" "$work/walk.json" || fail "rtkctl --json walk prints a raw DEL"
[ "$(jq -s 'map(select(has("path_hex"))) | length' "$work/walk.json")" = 4 ] ||
  fail "not exactly the four names that are not UTF-8 have a path_hex"
jq -e -s 'map(select(has("path_hex")) | (.path | contains("\ufffd")) and
  (.path_hex | test("^([0-9a-f][0-9a-f])+$"))) | all' "$work/walk.json" > /dev/null ||
  fail "a name that is not UTF-8 lacks U+FFFD in its path, or lowercase hex in its path_hex"
# Every path as base64 of its bytes: from the walk, and from find (read byte
# by byte: in a UTF-8 locale bash's read takes the NUL after a cut sequence
# into it).
jq -r 'if has("path_hex") then "hex " + .path_hex else "b64 " + (.path | @base64) end' \
  "$work/walk.json" | while read -r form value; do
  if [ "$form" = hex ]; then
    printf '%b' "$(sed 's/../\\x&/g' <<<"$value")" | base64 -w0
    echo
  else
    echo "$value"
  fi
done | sort > "$work/walked"
find "$work/tree" -print0 | while LC_ALL=C IFS= read -r -d '' path; do
  printf '%s' "$path" | base64 -w0
  echo
done | sort > "$work/found"
diff -u "$work/found" "$work/walked" > /dev/null ||
  fail "rtkctl --json walk does not give back the paths that find lists"

[ $status -eq 0 ] && echo "rtkctl --json: every form parsed and checked"
exit $status
