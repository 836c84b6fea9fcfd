#!/bin/sh
# Runs the C consumer and every rtkctl subcommand under valgrind memcheck and fails on any invalid read or
# write, use of uninitialised memory, bad free, or leak of any kind (still
# reachable blocks included) other than the debug heap's regions, which
# rtk.supp suppresses. The walk of a directory with a thousand entries makes
# the heap grow past its first region, so both kinds of region are seen.
#
# Each subcommand that "rtkctl --help" lists must have a row below (expected
# exit status, arguments); one without it fails the run (add it there). Only
# invocations that are safe on any host are listed: subcommands that reach
# the driver, the installation directory or the stand-in driver run just the
# path that stops at their arguments.
#
#   memcheck.sh VALGRIND SUPPRESSIONS C_CONSUMER RTKCTL
set -u
valgrind=$1 suppressions=$2 consumer=$3 rtkctl=$4
messages=$(dirname "$0")/../../package/misc/messages.xml
work=$(mktemp -d) && trap 'rm -rf "$work"' EXIT INT TERM
runs=0 failures=0 && mkdir -p "$work/tree/many" && seq 1 2000 >"$work/lines.txt" && (cd "$work/tree/many" && seq 1000 | xargs touch) || exit 1

# memcheck EXPECTED_STATUS COMMAND...
memcheck() {
  expected=$1 runs=$((runs + 1)) && shift
  "$valgrind" --tool=memcheck --quiet --leak-check=full --show-leak-kinds=all --errors-for-leak-kinds=all \
    --error-exitcode=97 --suppressions="$suppressions" --log-file="$work/memcheck.log" "$@" >"$work/output" 2>&1 </dev/null
  status=$?
  if [ "$status" -eq 97 ] || [ -s "$work/memcheck.log" ] || [ "$status" -ne "$expected" ]; then
    failures=$((failures + 1)) && echo "FAIL: $*: exit status $status (expected $expected), memcheck says:"
    sed 's/^/    /' "$work/memcheck.log" "$work/output" | head -n 80
  fi
}

memcheck 0 "$consumer"
cat >"$work/rows" <<'ROWS'
0 --help
2 no-such-command
0 version
0 log Info memcheck-line --target screen
0 trace-settings '<trace mask="RTK,FILE" level="Coarse" program="rtk"/>'
0 explain QM_ERR_NOMEM
0 messages "$messages"
0 copy "$work/lines.txt" "$work/copy.txt"
0 tail "$work/lines.txt" -n 25 --newest-first
0 --json walk "$work/tree"
0 stat --json "$work/lines.txt"
0 whois root
ROWS
printf '2 %s\n' 'install --no-such-option' 'uninstall --no-such-option' 'status extra-argument' driver hook send trace >>"$work/rows"
while read -r expected args; do eval "memcheck $expected \"\$rtkctl\" $args"; done <"$work/rows"
for subcommand in $("$rtkctl" --help | sed -n 's/^  \([a-z][a-z0-9-]*\) .*/\1/p'); do
  grep -Eq "^[0-9] (--json )?$subcommand( |$)" "$work/rows" || { failures=$((failures + 1)); echo "FAIL: rtkctl $subcommand has no row in $0"; }
done
echo "memcheck: $runs runs, $failures failed" && [ "$failures" -eq 0 ]
