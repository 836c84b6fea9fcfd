#!/bin/sh
# Runs the C consumer, a C program that makes the debug heap grow, and every
# rtkctl subcommand under valgrind memcheck and fails on any invalid read or
# write, use of uninitialised memory, bad free, or leak of any kind (still
# reachable blocks included) other than the debug heap's regions, which
# rtk.supp suppresses.
#
# Each subcommand that "rtkctl --help" lists must have its invocations in
# the table below; one without them fails the run (add it there). Only
# invocations that are safe on any host are listed: subcommands that reach
# the driver, the installation directory or the stand-in driver run just
# the path that stops at their arguments.
#
#   memcheck.sh VALGRIND SUPPRESSIONS C_CONSUMER RTKCTL HEAP_PROGRAM
set -u
valgrind=$1
suppressions=$2
consumer=$3
rtkctl=$4
heap_program=$5
messages=$(dirname "$0")/../../package/misc/messages.xml

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM
mkdir -p "$work/tree/sub"
seq 1 2000 >"$work/lines.txt"
printf 'leaf\n' >"$work/tree/sub/leaf"
printf 'top\n' >"$work/tree/top"

runs=0
failures=0

# memcheck EXPECTED_STATUS COMMAND...
memcheck() {
  expected=$1
  shift
  runs=$((runs + 1))
  "$valgrind" --tool=memcheck --quiet --leak-check=full --show-leak-kinds=all \
    --errors-for-leak-kinds=all --error-exitcode=97 \
    --suppressions="$suppressions" --log-file="$work/memcheck.log" \
    "$@" >"$work/output" 2>&1 </dev/null
  status=$?
  verdict=""
  if [ "$status" -eq 97 ] || [ -s "$work/memcheck.log" ]; then
    verdict="memcheck errors"
  elif [ "$status" -ne "$expected" ]; then
    verdict="exit status $status, expected $expected"
  fi
  if [ -n "$verdict" ]; then
    failures=$((failures + 1))
    echo "FAIL: $*: $verdict"
    sed 's/^/    /' "$work/memcheck.log" "$work/output" | head -n 80
  else
    echo "ok:   $* (exit $status)"
  fi
}

# Runs the invocations of one subcommand; answers 1 when it has none.
check_subcommand() {
  case $1 in
    version) memcheck 0 "$rtkctl" version ;;
    log)
      memcheck 2 "$rtkctl" log
      memcheck 0 "$rtkctl" log Info memcheck-line --target screen ;;
    trace-settings)
      memcheck 0 "$rtkctl" trace-settings
      memcheck 0 "$rtkctl" trace-settings '<trace mask="RTK,FILE" level="Coarse" program="rtk"/>' ;;
    explain)
      memcheck 0 "$rtkctl" explain QM_ERR_NOMEM
      memcheck 2 "$rtkctl" explain no-such-code ;;
    messages)
      memcheck 2 "$rtkctl" messages
      memcheck 0 "$rtkctl" messages "$messages" ;;
    copy)
      memcheck 2 "$rtkctl" copy
      memcheck 0 "$rtkctl" copy "$work/lines.txt" "$work/copy.txt" ;;
    tail)
      memcheck 2 "$rtkctl" tail
      memcheck 0 "$rtkctl" tail "$work/lines.txt" -n 25 --newest-first ;;
    walk)
      memcheck 2 "$rtkctl" walk
      memcheck 0 "$rtkctl" walk "$work/tree"
      memcheck 0 "$rtkctl" --json walk "$work/tree" ;;
    stat)
      memcheck 0 "$rtkctl" stat "$work/lines.txt"
      memcheck 0 "$rtkctl" stat --json "$work/lines.txt"
      memcheck 1 "$rtkctl" stat "$work/missing" ;;
    whois)
      memcheck 0 "$rtkctl" whois root
      memcheck 0 "$rtkctl" whois 0 ;;
    install) memcheck 2 "$rtkctl" install --no-such-option ;;
    uninstall) memcheck 2 "$rtkctl" uninstall --no-such-option ;;
    status) memcheck 2 "$rtkctl" status extra-argument ;;
    driver) memcheck 2 "$rtkctl" driver ;;
    hook) memcheck 2 "$rtkctl" hook ;;
    send) memcheck 2 "$rtkctl" send ;;
    trace) memcheck 2 "$rtkctl" trace ;;
    *) return 1 ;;
  esac
}

memcheck 0 "$consumer"
memcheck 0 "$heap_program"
memcheck 0 "$rtkctl" --help
memcheck 2 "$rtkctl" no-such-command
for subcommand in $("$rtkctl" --help | sed -n 's/^  \([a-z][a-z0-9-]*\) .*/\1/p'); do
  if ! check_subcommand "$subcommand"; then
    failures=$((failures + 1))
    echo "FAIL: rtkctl $subcommand has no invocation in $0"
  fi
done

echo "memcheck: $runs runs, $failures failed"
[ "$failures" -eq 0 ]
