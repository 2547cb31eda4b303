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
# noflush. The trees live under WORK (default a folder beside the checkout,
# on the machine's disk); pass a mount point to measure another file system.
#
#   bench/group_bench.sh [FILES (default 20000)]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
files=${1:-20000}
runs=${RUNS:-3}
seed=5
host=www.example.com
work=${WORK:-$top/build-group-bench}
jobs=${JOBS:-2}
baseline=7d4ad95

mkdir -p "$work"
baseline_tree=$(mktemp -d "$work/baseline.XXXXXX")
cleanup() {
  git -C "$top" worktree remove --force "$baseline_tree" 2>/dev/null || rm -rf "$baseline_tree"
  rm -rf "$work/run"
}
trap cleanup EXIT

# build SOURCE BUILD [CMAKE OPTIONS...]: the program, optimized.
build() {
  local source=$1 dir=$2
  shift 2
  cmake -S "$source" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DINVOICE_TESTS=OFF \
    -DINVOICE_STYLESHEET_HOST="$host" "$@" >/dev/null
  cmake --build "$dir" -j"$jobs" --target invoice-converter >/dev/null
  echo "$dir/invoice-converter"
}

echo "building the three programs..." >&2
git -C "$top" worktree add --detach "$baseline_tree" "$baseline" >/dev/null 2>&1
declare -A program
program[this]=$(build "$top" "$work/build-this")
program[noflush]=$(build "$top" "$work/build-noflush" -DINVOICE_BENCH_NO_FLUSH=ON)
program[$baseline]=$(build "$baseline_tree" "$work/build-$baseline")

master=$work/master-$files
if [[ ! -d $master ]]; then
  python3 "$top/bench/make_tree.py" "$master" --files "$files" --seed "$seed" --host "$host" >&2
fi

# time_run NAME: seconds of wall time of one run on a fresh copy.
time_run() {
  local root=$work/run
  rm -rf "$root"
  mkdir -p "$root/temp"
  cp -a "$master/DOCUMENT" "$root/"
  sync
  local start end
  start=$(date +%s.%N)
  MORROOT=$root TEMP=$root/temp "${program[$1]}" >/dev/null
  end=$(date +%s.%N)
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.2f", b - a }'
}

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

declare -A times
names=(this "$baseline" noflush)
echo "tree: $files invoices (seed $seed) under $work; $(nproc) cores; load before: $(cut -d' ' -f1-3 /proc/loadavg)"
for ((run = 1; run <= runs; ++run)); do
  for name in "${names[@]}"; do
    t=$(time_run "$name")
    times[$name]+="$t "
    echo "run $run $name: ${t} s (load $(cut -d' ' -f1 /proc/loadavg))"
  done
done
declare -A med
for name in "${names[@]}"; do
  # shellcheck disable=SC2086
  med[$name]=$(median ${times[$name]})
  printf '%-8s median %6.2f s  %8.0f invoices/s   runs: %s\n' "$name" "${med[$name]}" \
    "$(awk -v n="$files" -v t="${med[$name]}" 'BEGIN { print n / t }')" "${times[$name]}"
done
speedup=$(awk -v a="${med[$baseline]}" -v b="${med[this]}" 'BEGIN { printf "%.2f", a / b }')
ratio=$(awk -v a="${med[this]}" -v b="${med[noflush]}" 'BEGIN { printf "%.2f", a / b }')
echo "this vs $baseline: ${speedup}x faster (target at least 3x)"
echo "this vs noflush: ${ratio}x the time (target at most 2x)"
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
