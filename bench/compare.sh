#!/usr/bin/env bash
# Builds the release preset, runs every benchmark of librtk against its peer
# side by side, and prints one line per comparison:
#
#   NAME ratio=X.XX (ours A, peer B)
#
# ratio = ours / peer (time, or peak resident memory for the rss_ lines);
# lower is better. Times are CPU time (user + system), which the other work
# on a shared machine disturbs far less than wall time: in-process figures
# are the median CPU time per operation of Google Benchmark repetitions run
# in random interleaved order; whole-process figures are the median CPU time
# of rounds in which ours and the peers take turns. Raw numbers, wall times
# included, go to a JSON file.
#
# usage: bench/compare.sh [--out FILE] [--rounds N] [--quick] [--no-build]
#                         [--only inproc|heap|files] [--lib DIR]
#   --out FILE   the JSON file (default build/release/bench-results.json)
#   --rounds N   rounds of each whole-process comparison (default 5)
#   --quick      short runs and small data, to try the script out
#   --no-build   use the binaries that are there
#   --only ...   run only the in-process part, only its debug-heap pairs,
#                or only the whole-process part
#   --lib DIR    run ours against the librtk.so.1 in DIR (another build, to
#                see what a change of the library did)
#
# Scratch data (a 512 MiB file, a 1 GiB log, a 100,000-entry tree) lives in
# one directory under $TMPDIR (or /tmp) and is removed on exit; a comparison
# whose data does not fit the free space there is skipped with a message.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/release"
out="$build/bench-results.json"
rounds=5
quick=0
do_build=1
only=""
lib=""
while [ $# -gt 0 ]; do
  case "$1" in
    --out) out=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    --quick) quick=1; shift ;;
    --no-build) do_build=0; shift ;;
    --only) only=$2; shift 2 ;;
    --lib) lib=$(cd "$2" && pwd); shift 2 ;;
    *) sed -n '15,24p' "$0" >&2; exit 2 ;;
  esac
done
case "$only" in ""|inproc|heap|files) ;; *) echo "compare: --only takes inproc, heap or files" >&2; exit 2 ;; esac
case "$rounds" in ''|*[!0-9]*|0) echo "compare: --rounds takes a positive number" >&2; exit 2 ;; esac

copy_mib=512 log_mib=1024 tree_entries=100000 min_time=0.2 reps=5 tail_runs=200
if [ "$quick" -eq 1 ]; then
  copy_mib=32 log_mib=64 tree_entries=5000 min_time=0.02 reps=3 tail_runs=20
fi

"$root/scripts/deps.sh"
if [ "$do_build" -eq 1 ]; then
  cmake --preset release >/dev/null
  cmake --build --preset release --target rtk_bench rtk_file_driver nftw_walk bench_data
fi
bin="$build/bench"
# How ours is started: with the library of --lib in front when one is given.
ours_env=""
if [ -n "$lib" ]; then
  [ -e "$lib/librtk.so.1" ] || { echo "compare: no librtk.so.1 in $lib" >&2; exit 2; }
  ours_env="env LD_LIBRARY_PATH='$lib' "
fi

scratch=$(mktemp -d "${TMPDIR:-/tmp}/rtkbench.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
trap 'exit 130' INT TERM
results="$scratch/results.tsv"    # name, ours, peer, unit, ratio
runs="$scratch/runs.tsv"          # comparison, command, round, wall, user, system seconds
: >"$results"
: >"$runs"
echo '{}' >"$scratch/inproc.json"

# Records and prints one comparison line.
report() { # name ours peer unit
  local ratio
  ratio=$(awk -v a="$2" -v b="$3" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')
  printf '%s\t%s\t%s\t%s\t%s\n' "$1" "$2" "$3" "$4" "$ratio" >>"$results"
  printf '%s ratio=%s (ours %s %s, peer %s %s)\n' "$1" "$ratio" "$2" "$4" "$3" "$4"
}

# Stops the run when a side gave a wrong answer.
fail_check() { echo "compare: check failed: $*" >&2; exit 1; }

# ---- in-process comparisons (Google Benchmark) -------------------------------

# Runs the benchmarks that the filter selects, with ours and the peer in
# random interleaved order, into a JSON file. Standard output of rtk_bench
# is used by the trace benchmarks only; its console report (on standard
# error) is kept in the scratch directory.
gbench() { # filter json-file
  bash -c "${ours_env}'$bin/rtk_bench' --benchmark_filter='$1' --benchmark_repetitions=$reps \
    --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true \
    --benchmark_min_time=$min_time --benchmark_out='$2' --benchmark_out_format=json" \
    >/dev/null 2>>"$scratch/inproc.log" ||
    { cat "$scratch/inproc.log" >&2; fail_check "rtk_bench failed"; }
}
run_inproc() {
  echo "== in-process comparisons (median CPU time of $reps interleaved repetitions)" >&2
  # The debug heap keeps every region it was given, so what one heap case
  # leaves behind (regions, their free blocks) would shape the next: each
  # heap case runs in a process of its own, everything else in one more.
  local -a parts=()
  local n=0 name
  if [ "$only" != heap ]; then
    gbench "-heap_" "$scratch/gb.$n.json"
    parts+=("$scratch/gb.$n.json")
  fi
  # (rtk_bench lists its benchmarks on standard error, with its report.)
  for name in $("$bin/rtk_bench" --benchmark_list_tests=true --benchmark_filter='^ours:heap_' 2>&1); do
    n=$((n + 1))
    gbench "^(ours|peer):${name#ours:}\$" "$scratch/gb.$n.json"
    parts+=("$scratch/gb.$n.json")
  done
  jq -s '{context: .[0].context, benchmarks: (map(.benchmarks) | add)}' "${parts[@]}" \
    >"$scratch/inproc.json"
  jq -r '
    [.benchmarks[] | select(.aggregate_name == "median")
     | {side: (.run_name | split(":")[0]), name: (.run_name | sub("^(ours|peer):"; "")),
        ns: (.cpu_time * (if .time_unit == "us" then 1000 elif .time_unit == "ms" then 1e6 else 1 end))}]
    | group_by(.name)[]
    | select(length == 2)
    | "\(.[0].name)\t\(map(select(.side == "ours"))[0].ns)\t\(map(select(.side == "peer"))[0].ns)"' \
    "$scratch/inproc.json" |
    while IFS=$'\t' read -r name ours peer; do
      report "$name" "$(printf '%.1f' "$ours")" "$(printf '%.1f' "$peer")" ns
    done
  jq -r '.benchmarks[] | select(.error_occurred == true) | "skipped \(.run_name): \(.error_message)"' \
    "$scratch/inproc.json" | sort -u >&2
}

# ---- whole-process comparisons ------------------------------------------------

# True when the scratch directory has room for the given MiB and inodes;
# otherwise says which comparison is skipped.
have_room() { # mib inodes what
  local free_kib free_inodes
  free_kib=$(df -Pk "$scratch" | awk 'NR == 2 { print $4 }')
  free_inodes=$(df -Pi "$scratch" | awk 'NR == 2 { print $4 }')
  if [ "$free_kib" -lt $(( ($1 + 256) * 1024 )) ]; then
    echo "compare: skipping $3: it needs $1 MiB (+256 MiB slack) in $scratch, $((free_kib / 1024)) MiB free" >&2
    return 1
  fi
  if [ "$free_inodes" != "-" ] && [ "$free_inodes" -lt $(( $2 + 1000 )) ]; then
    echo "compare: skipping $3: it needs $2 inodes in $scratch, $free_inodes free" >&2
    return 1
  fi
}

# Runs a command line (through bash) once and prints its wall, user and
# system times in seconds; its own output is the command line's business.
timed() {
  local TIMEFORMAT='%3R %3U %3S'
  { time bash -c "$1" 2>>"$scratch/commands.err"; } 2>&1
}

# Median of the numbers on standard input.
median() { sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.6f", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# Peak resident memory (KiB) of one run of a command line, from GNU time.
peak_kib() {
  /usr/bin/time -v bash -c "exec $1" 2>&1 >/dev/null |
    awk -F: '/Maximum resident set size/ { gsub(/ /, "", $2); print $2 }'
}

# Runs "ours" and each peer for $rounds rounds, taking turns (the order
# rotates each round), with cleanup run after every command; reports one
# time ratio per peer. Commands are given as label=command-line.
race() { # comparison-prefix cleanup ours-cmd peer-label=cmd ...
  local prefix=$1 cleanup=$2 ours=$3
  shift 3
  local -a labels=(ours) cmds=("$ours")
  local pair
  for pair in "$@"; do
    labels+=("${pair%%=*}")
    cmds+=("${pair#*=}")
  done
  local n=${#cmds[@]} r i k wall user sys
  for ((r = 0; r < rounds; r++)); do
    for ((k = 0; k < n; k++)); do
      i=$(((k + r) % n))
      read -r wall user sys < <(timed "${cmds[$i]}")
      printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$prefix" "${labels[$i]}" "$r" "$wall" "$user" "$sys" >>"$runs"
      bash -c "$cleanup"
    done
  done
  local ours_s peer_s
  ours_s=$(cpu_median "$prefix" ours)
  for ((i = 1; i < n; i++)); do
    peer_s=$(cpu_median "$prefix" "${labels[$i]}")
    report "${prefix}_vs_${labels[$i]}" "$ours_s" "$peer_s" s
  done
}

# Median CPU time (user + system) of one command of a comparison.
cpu_median() { # comparison label
  awk -F'\t' -v p="$1" -v l="$2" '$1 == p && $2 == l { printf "%.3f\n", $5 + $6 }' "$runs" | median
}

# Peak memory of ours against each peer (one run each), after cleanup.
rss() { # comparison-prefix cleanup ours-cmd peer-label=cmd ...
  local prefix=$1 cleanup=$2 ours=$3 pair ours_kib peer_kib
  shift 3
  ours_kib=$(peak_kib "$ours")
  bash -c "$cleanup"
  for pair in "$@"; do
    peer_kib=$(peak_kib "${pair#*=}")
    bash -c "$cleanup"
    report "rss_${prefix}_vs_${pair%%=*}" "$ours_kib" "$peer_kib" KiB
  done
}


run_copy() {
  have_room $((copy_mib * 2)) 10 "the copy of a ${copy_mib} MiB file" || return 0
  echo "== copy of a ${copy_mib} MiB file in the page cache ($rounds rounds)" >&2
  local src="$scratch/copy.src" dst="$scratch/copy.dst"
  head -c $((copy_mib * 1024 * 1024)) /dev/urandom >"$src"
  cat "$src" >/dev/null
  local ours="${ours_env}'$bin/rtk_file_driver' copy '$src' '$dst'"
  local cp_cmd="cp --reflink=never '$src' '$dst'"
  local dd_cmd="dd if='$src' of='$dst' bs=64K status=none"
  local c
  for c in "$ours" "$cp_cmd" "$dd_cmd"; do
    bash -c "$c"
    cmp -s "$src" "$dst" || fail_check "copy by: $c"
    rm -f "$dst"
  done
  race copy "rm -f '$dst'" "$ours" "cp=$cp_cmd" "dd=$dd_cmd"
  rss copy "rm -f '$dst'" "$ours" "cp=$cp_cmd" "dd=$dd_cmd"
  rm -f "$src" "$dst"
}

run_walk() {
  have_room $((tree_entries / 64 + 64)) "$tree_entries" "the walk of a ${tree_entries}-entry tree" || return 0
  echo "== walk of a ${tree_entries}-entry tree ($rounds rounds)" >&2
  local top="$scratch/tree"
  "$bin/bench_data" tree "$top" "$tree_entries"
  local ours="${ours_env}'$bin/rtk_file_driver' walk '$top' >/dev/null"
  local nftw_cmd="'$bin/nftw_walk' '$top' >/dev/null"
  local find_cmd="find '$top' -printf '%s\n' >/dev/null"
  # All three offer the same objects: the same multiset of sizes, one per
  # entry and one for the top directory.
  "$bin/rtk_file_driver" walk "$top" | sort -n >"$scratch/walk.ours"
  "$bin/nftw_walk" "$top" | sort -n >"$scratch/walk.nftw"
  find "$top" -printf '%s\n' | sort -n >"$scratch/walk.find"
  [ "$(wc -l <"$scratch/walk.ours")" -eq $((tree_entries + 1)) ] || fail_check "walk offers $(wc -l <"$scratch/walk.ours") objects"
  cmp -s "$scratch/walk.ours" "$scratch/walk.nftw" || fail_check "walk and nftw differ"
  cmp -s "$scratch/walk.ours" "$scratch/walk.find" || fail_check "walk and find differ"
  race walk ":" "$ours" "nftw=$nftw_cmd" "find=$find_cmd"
  rss walk ":" "$ours" "nftw=$nftw_cmd" "find=$find_cmd"
  rm -rf "$top"
}

run_log() {
  have_room "$log_mib" 10 "the line count and tail of a ${log_mib} MiB log" || return 0
  echo "== line count and tail of a ${log_mib} MiB log ($rounds rounds; tail: $tail_runs runs a round)" >&2
  local log="$scratch/big.log"
  "$bin/bench_data" log "$log" $((log_mib * 1024 * 1024))
  cat "$log" >/dev/null
  local ours_count wc_count
  ours_count=$("$bin/rtk_file_driver" count "$log")
  wc_count=$(wc -l <"$log")
  [ "$ours_count" -eq "$wc_count" ] || fail_check "count $ours_count, wc -l $wc_count"
  race count ":" "${ours_env}'$bin/rtk_file_driver' count '$log' >/dev/null" "wc=wc -l '$log' >/dev/null"
  "$bin/rtk_file_driver" tail "$log" 100 >"$scratch/tail.ours"
  tail -n 100 "$log" >"$scratch/tail.peer"
  cmp -s "$scratch/tail.ours" "$scratch/tail.peer" || fail_check "tail and tail -n 100 differ"
  race tail ":" "for i in \$(seq $tail_runs); do ${ours_env}'$bin/rtk_file_driver' tail '$log' 100; done >/dev/null" \
    "tail=for i in \$(seq $tail_runs); do tail -n 100 '$log'; done >/dev/null"
  rm -f "$log"
}

if [ "$only" != files ]; then run_inproc; fi
if [ "$only" = "" ] || [ "$only" = files ]; then
  run_copy
  run_walk
  run_log
fi

mkdir -p "$(dirname "$out")"
jq -n --slurpfile gb "$scratch/inproc.json" --rawfile res "$results" --rawfile runs "$runs" \
  --arg host "$(uname -n)" --arg kernel "$(uname -r)" --arg date "$(date -u +%FT%TZ)" \
  --arg cpus "$(nproc)" --arg lib "$lib" '
  def rows: split("\n") | map(select(length > 0) | split("\t"));
  {date: $date, host: $host, kernel: $kernel, cpus: ($cpus | tonumber),
   comparisons: ($res | rows | map({name: .[0], ours: (.[1] | tonumber), peer: (.[2] | tonumber),
                                    unit: .[3], ratio: (.[4] | tonumber)})),
   library: (if $lib == "" then "build/release" else $lib end),
   whole_process_runs: ($runs | rows | map({comparison: .[0], command: .[1], round: (.[2] | tonumber),
                                            wall: (.[3] | tonumber), user: (.[4] | tonumber),
                                            system: (.[5] | tonumber)})),
   google_benchmark: $gb[0]}' >"$out"
echo "raw numbers: $out" >&2
