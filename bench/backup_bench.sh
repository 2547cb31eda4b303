#!/usr/bin/env bash
# What keeping the originals costs: the program over fresh copies of a
# generated tree (bench/make_tree.py), once plain and once with --backup into
# a folder on the same file system, alternating which goes first, with the
# median wall time of each and their ratio. With --xfs the same is measured on
# a loop-mounted XFS image made with reflinks (root only), where the copies
# share the originals' blocks.
#
# usage: bench/backup_bench.sh [options]
#   --files N       invoices in the tree (default 4000)
#   --runs N        timed runs of each kind (default 5)
#   --pause S       seconds of rest after each fresh copy (default 5)
#   --scratch DIR   where the trees go (default $TMPDIR, else /tmp)
#   --xfs           measure on an XFS image in the scratch folder instead
#   --program PATH  the program (default: this checkout, built optimised
#                   into build-syscalls-bench)
#
# Every run is checked with bench/check_tree.py, and every run with --backup
# must have kept one original per converted invoice.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
bench=$repo/bench
files=4000 runs=5 pause=5 xfs=0 program=
scratch=${TMPDIR:-/tmp}
while (($#)); do
  case $1 in
    --files) files=$2; shift ;;
    --runs) runs=$2; shift ;;
    --pause) pause=$2; shift ;;
    --scratch) scratch=$2; shift ;;
    --xfs) xfs=1 ;;
    --program) program=$2; shift ;;
    -h | --help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "backup_bench.sh: unknown option $1 (see --help)" >&2; exit 1 ;;
  esac
  shift
done
export INVOICE_STYLESHEET_HOST=${INVOICE_STYLESHEET_HOST:-xsl.bench.test}

if [[ -z $program ]]; then
  build=$repo/build-syscalls-bench
  cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$build" -j2 --target invoice-converter >/dev/null
  program=$build/invoice-converter
fi
program=$(realpath "$program")

work=$(mktemp -d "$scratch/backup-bench.XXXXXX")
cleanup() {
  if mountpoint -q "$work/mnt" 2>/dev/null; then umount "$work/mnt"; fi
  rm -rf "$work"
}
trap cleanup EXIT
place=$work
if ((xfs)); then
  command -v mkfs.xfs >/dev/null || { echo "mkfs.xfs is missing (xfsprogs)" >&2; exit 1; }
  truncate -s 2G "$work/xfs.img"
  mkfs.xfs -q -m reflink=1 "$work/xfs.img"
  mkdir "$work/mnt"
  mount -o loop "$work/xfs.img" "$work/mnt" || { echo "--xfs: cannot mount (needs root)" >&2; exit 1; }
  place=$work/mnt
fi
master=$work/master
python3 "$bench/make_tree.py" "$master" --files "$files" --seed 1 --host "$INVOICE_STYLESHEET_HOST" >/dev/null

fresh_copy() {
  rm -rf "$place/run" "$place/originals"
  mkdir -p "$place/run/temp"
  cp -a "$master/DOCUMENT" "$place/run/"
  sync
  sleep "$pause"
}

timed_run() {  # KIND: plain or backup; prints the wall time in seconds
  local arguments=()
  [[ $1 == backup ]] && arguments=(--backup "$place/originals")
  local started ended
  started=$(date +%s.%N)
  MORROOT=$place/run TEMP=$place/run/temp "$program" "${arguments[@]}" >"$work/out" 2>"$work/err" ||
    { echo "the program ended with status $?:" >&2; head -5 "$work/err" >&2; exit 1; }
  ended=$(date +%s.%N)
  python3 "$bench/check_tree.py" "$master/manifest.tsv" "$place/run" >"$work/check.out" ||
    { cat "$work/check.out" >&2; echo "the program converted wrongly" >&2; exit 1; }
  if [[ $1 == backup ]]; then
    grep -q "^Originals guardats a " "$work/out" || { echo "no originals kept" >&2; exit 1; }
  fi
  python3 -c "print($ended - $started)"
}

fs_type=$(findmnt -no FSTYPE -T "$place" | head -1)
echo "keeping originals: $files invoices on $fs_type, $runs runs of each, $(nproc) cores"
declare -a plain backup
for ((run = 0; run < runs; run++)); do
  for kind in $( ((run % 2)) && echo "backup plain" || echo "plain backup"); do
    fresh_copy
    seconds=$(timed_run "$kind")
    printf '  %-6s %6.2f s   load %s\n' "$kind" "$seconds" "$(cut -d' ' -f1 /proc/loadavg)"
    if [[ $kind == plain ]]; then plain+=("$seconds"); else backup+=("$seconds"); fi
  done
done
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
p=$(median "${plain[@]}")
b=$(median "${backup[@]}")
printf 'median: plain %.2f s, with --backup %.2f s, ratio %.2f\n' "$p" "$b" "$(python3 -c "print($b / $p)")"
