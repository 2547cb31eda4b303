#!/usr/bin/env bash
# What flushing in groups gains, measured side by side in one run: on fresh
# copies of one generated tree (bench/make_tree.py), the wall time of
#   this     the program of this checkout;
#   7d4ad95  the program built from commit 7d4ad95, which flushed every
#            replacement by itself (built in a temporary git worktree);
#   noflush  this program built with INVOICE_BENCH_NO_FLUSH, which never
#            flushes: the floor that the flushes are measured against.
# Each is run RUNS times (default 3), alternating, and the medians compared
# with the targets: this at least 3x faster than 7d4ad95, and within 2x of
# noflush. PROGRAMS picks some of the three (default all), for instance
# PROGRAMS=this to see how files per second hold up as the tree grows. Peak
# memory (maximum resident set) is shown beside the largest invoice. The trees live under WORK (default a folder beside the checkout,
# on the machine's disk); pass a mount point to measure another file system.
# The programs are built beside the checkout whatever WORK is. PAUSE waits
# that many seconds between the fresh copy and its run: on ext4 without a
# journal, creating a file steps over the inodes freed in the last minute,
# so the copy just removed would slow the next run (PAUSE=61 rules that out).
#
#   bench/group_bench.sh [FILES (default 20000)]
set -euo pipefail
shopt -s inherit_errexit
top=$(cd "$(dirname "$0")/.." && pwd)
files=${1:-20000}
runs=${RUNS:-3}
seed=5
# Given at build time to a baseline that predates the run setting, and at run
# time to every program.
host=xsl.bench.test
export INVOICE_STYLESHEET_HOST=$host
builds=$top/build-group-bench
work=${WORK:-$builds}
jobs=${JOBS:-2}
baseline=7d4ad95

mkdir -p "$work" "$builds"
# One place for the baseline's sources, so that its build folder, kept
# between runs of this script, always names the same source folder.
baseline_tree=$builds/source-$baseline
remove_baseline_tree() {
  git -C "$top" worktree remove --force "$baseline_tree" 2>/dev/null || rm -rf "$baseline_tree"
}
cleanup() {
  remove_baseline_tree
  rm -rf "$work/run"
}
trap cleanup EXIT
read -r -a names <<<"${PROGRAMS:-this $baseline noflush}"

# build SOURCE BUILD [CMAKE OPTIONS...]: the program, optimized.
build() {
  local source=$1 dir=$2
  shift 2
  cmake -S "$source" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DINVOICE_TESTS=OFF \
    -DINVOICE_STYLESHEET_HOST="$host" "$@" >/dev/null
  cmake --build "$dir" -j"$jobs" --target invoice-converter >/dev/null
  echo "$dir/invoice-converter"
}

wants() { [[ " ${names[*]} " == *" $1 "* ]]; }
echo "building ${names[*]}..." >&2
declare -A program
if wants this; then program[this]=$(build "$top" "$builds/build-this"); fi
if wants noflush; then
  program[noflush]=$(build "$top" "$builds/build-noflush" -DINVOICE_BENCH_NO_FLUSH=ON)
fi
if wants "$baseline"; then
  remove_baseline_tree
  git -C "$top" worktree prune
  git -C "$top" worktree add --detach "$baseline_tree" "$baseline" >/dev/null 2>&1
  program[$baseline]=$(build "$baseline_tree" "$builds/build-$baseline")
fi

master=$work/master-$files
if [[ ! -d $master ]]; then
  python3 "$top/bench/make_tree.py" "$master" --files "$files" --seed "$seed" --host "$host" >&2
fi

# time_run NAME: seconds of wall time of one run on a fresh copy, and its
# peak memory in KiB, on one line.
time_run() {
  local root=$work/run
  rm -rf "$root"
  mkdir -p "$root/temp"
  cp -a "$master/DOCUMENT" "$root/"
  sync
  sleep "${PAUSE:-0}"
  local start end
  start=$(date +%s.%N)
  MORROOT=$root TEMP=$root/temp /usr/bin/time -f %M -o "$work/peak" "${program[$1]}" >/dev/null
  end=$(date +%s.%N)
  awk -v a="$start" -v b="$end" -v peak="$(cat "$work/peak")" 'BEGIN { printf "%.2f %d\n", b - a, peak }'
}

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

declare -A times peaks
largest=$(find "$master/DOCUMENT" -type f -printf '%s\n' | sort -n | tail -1)
echo "tree: $files invoices (seed $seed, largest $largest bytes) under $work ($(findmnt -no FSTYPE,SOURCE -T "$work"))"
echo "$(nproc) cores; ${PAUSE:-0} s between copy and run; load before: $(cut -d' ' -f1-3 /proc/loadavg)"
for ((run = 1; run <= runs; ++run)); do
  for name in "${names[@]}"; do
    read -r t peak < <(time_run "$name")
    times[$name]+="$t "
    peaks[$name]+="$peak "
    echo "run $run $name: ${t} s, peak ${peak} KiB (load $(cut -d' ' -f1 /proc/loadavg))"
  done
done
declare -A med
for name in "${names[@]}"; do
  # shellcheck disable=SC2086
  med[$name]=$(median ${times[$name]})
  # shellcheck disable=SC2086
  printf '%-8s median %6.2f s  %8.0f invoices/s  peak %6d KiB   runs: %s\n' "$name" \
    "${med[$name]}" "$(awk -v n="$files" -v t="${med[$name]}" 'BEGIN { print n / t }')" \
    "$(printf '%s\n' ${peaks[$name]} | sort -n | tail -1)" "${times[$name]}"
done
echo "memory target: peak below $(((2 * largest) / 1024 + 16 * 1024)) KiB (twice the largest invoice plus 16 MiB)"
if wants this && wants "$baseline"; then
  speedup=$(awk -v a="${med[$baseline]}" -v b="${med[this]}" 'BEGIN { printf "%.2f", a / b }')
  echo "this vs $baseline: ${speedup}x faster (target at least 3x)"
fi
if wants this && wants noflush; then
  ratio=$(awk -v a="${med[this]}" -v b="${med[noflush]}" 'BEGIN { printf "%.2f", a / b }')
  echo "this vs noflush: ${ratio}x the time (target at most 2x)"
fi
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
