#!/bin/sh
# Runs the C consumer, a C program that makes the debug heap grow, and every
# rtkctl subcommand under valgrind memcheck and
# fails on any invalid read or write, use of uninitialised memory, bad free,
# or leak of any kind (still-reachable blocks included) other than the debug
# heap's regions, which rtk.supp suppresses.
#
# Subcommands with a sample invocation below run that invocation and must
# succeed; every subcommand listed by "rtkctl --help" also runs once without
# arguments (its usage or default path), whatever its exit status.
#
#   memcheck.sh VALGRIND SUPPRESSIONS C_CONSUMER RTKCTL HEAP_PROGRAM
set -u
valgrind=$1
suppressions=$2
consumer=$3
rtkctl=$4
heap_program=$5

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM
mkdir -p "$work/tree/sub"
seq 1 2000 >"$work/lines.txt"
printf 'leaf\n' >"$work/tree/sub/leaf"
printf 'top\n' >"$work/tree/top"

runs=0
failures=0

# memcheck EXPECTED_STATUS COMMAND... ("any" accepts every normal exit).
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
  elif [ "$status" -ge 128 ]; then
    verdict="killed by a signal ($status)"
  elif [ "$expected" != any ] && [ "$status" -ne "$expected" ]; then
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

# The sample invocation of a subcommand, or nothing when it has none (those
# that need the stand-in driver or root only run their usage path).
sample() {
  case $1 in
    version) echo "version" ;;
    log) echo "log Info memcheck-line --target screen" ;;
    trace-settings) echo "trace-settings <trace/>" ;;
    copy) echo "copy $work/lines.txt $work/copy.txt" ;;
    tail) echo "tail $work/lines.txt -n 25 --newest-first" ;;
    walk) echo "walk $work/tree" ;;
    messages) echo "messages $(dirname "$0")/../../package/misc/messages.xml" ;;
    *) ;;
  esac
}

memcheck 0 "$consumer"
memcheck 0 "$heap_program"
memcheck 0 "$rtkctl" --help
memcheck 2 "$rtkctl" no-such-command
commands=$("$rtkctl" --help | sed -n 's/^  \([a-z][a-z0-9-]*\) .*/\1/p')
for command in $commands; do
  memcheck any "$rtkctl" "$command"
  invocation=$(sample "$command")
  # shellcheck disable=SC2086
  [ -n "$invocation" ] && memcheck 0 "$rtkctl" $invocation
done

echo "memcheck: $runs runs, $failures failed"
[ "$failures" -eq 0 ]
