#!/usr/bin/env bash
# Times the transcoder against glibc's iconv, whole program against whole
# program, on invoice-like text, and checks that both give the same bytes.
#
# usage: bench/transcode_vs_iconv.sh [TRANSCODE_FILE]
#   TRANSCODE_FILE  the bench/transcode_file.cc program built with
#                   -DINVOICE_BENCH=ON (default: build-encoding/bench/transcode_file
#                   below the repository)
# environment:
#   RUNS=N          timed runs of each program and direction (default 7)
#   SIZE_MIB=N      size of the generated text in MiB (default 64)
#   TMPDIR          where the text and the outputs go (default /tmp)
#   INVOICE_PORTABLE_KERNEL=1  time the portable code page 858 to UTF-8
#                   kernel instead of the fastest one the processor has
#
# Per direction and run, each program reads the input file and writes its
# output (a) to a new file and (b) to /dev/null, the order of the two programs
# alternating from run to run. It prints every run, the minimum, median and
# maximum, and the ratio of the medians; the exit status is 1 when outputs
# differ and 2 when a target (code page 858 to UTF-8 at least 5 times as fast
# as iconv, UTF-8 to code page 858 at least as fast) is missed.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
program=${1:-$repo/build-encoding/bench/transcode_file}
runs=${RUNS:-7}
size_mib=${SIZE_MIB:-64}

if [[ ! -x $program ]]; then
  echo "transcode_file not found at $program (build with -DINVOICE_BENCH=ON)" >&2
  exit 1
fi
command -v iconv > /dev/null || { echo "iconv not found" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/transcode_vs_iconv.XXXXXX")
trap 'rm -rf "$work"' EXIT

input=$work/invoices.cp858
"$program" --generate $((size_mib * 1024 * 1024)) "$input"
utf8=$work/invoices.utf8
iconv -f CP858 -t UTF-8 "$input" > "$utf8"
# Warm the page cache so that no run pays for the first read.
cat "$input" "$utf8" > /dev/null

# Prints the wall time of "$@" in milliseconds.
time_ms() {
  local start=$EPOCHREALTIME
  "$@"
  local end=$EPOCHREALTIME
  awk -v s="$start" -v e="$end" 'BEGIN { printf "%.1f", (e - s) * 1000 }'
}

run_iconv() { iconv -f "$1" -t "$2" "$3" > "$4"; }
run_ours() { "$program" "$1" "$2" "$3"; }

# "min median max" of the numbers given.
summary() {
  printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END {
    m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
    printf "%.1f %.1f %.1f", v[1], m, v[NR] }'
}

status=0
failed_target=0

# compare NAME FROM TO MODE INPUT REFERENCE TARGET_RATIO
compare() {
  local name=$1 from=$2 to=$3 mode=$4 source=$5 reference=$6 target=$7
  local sink
  echo
  echo "== $name: $((size_mib)) MiB, $runs runs"
  for sink in file null; do
    local iconv_times=() ours_times=() ratios=()
    local run
    for ((run = 1; run <= runs; run++)); do
      local iconv_out=/dev/null ours_out=/dev/null t_iconv t_ours
      if [[ $sink == file ]]; then
        iconv_out=$work/out.iconv ours_out=$work/out.ours
        rm -f "$iconv_out" "$ours_out"
      fi
      if ((run % 2)); then
        t_iconv=$(time_ms run_iconv "$from" "$to" "$source" "$iconv_out")
        t_ours=$(time_ms run_ours "$mode" "$source" "$ours_out")
      else
        t_ours=$(time_ms run_ours "$mode" "$source" "$ours_out")
        t_iconv=$(time_ms run_iconv "$from" "$to" "$source" "$iconv_out")
      fi
      iconv_times+=("$t_iconv") ours_times+=("$t_ours")
      ratios+=("$(awk -v a="$t_iconv" -v b="$t_ours" 'BEGIN { printf "%.2f", a / b }')")
      if [[ $sink == file ]]; then
        if ! cmp -s "$iconv_out" "$ours_out"; then
          echo "MISMATCH: iconv and transcode_file differ (run $run)" >&2
          status=1
        fi
        if [[ -n $reference ]] && ! cmp -s "$ours_out" "$reference"; then
          echo "MISMATCH: output differs from $reference (run $run)" >&2
          status=1
        fi
      fi
    done
    local s_iconv s_ours s_ratio
    s_iconv=$(summary "${iconv_times[@]}")
    s_ours=$(summary "${ours_times[@]}")
    s_ratio=$(summary "${ratios[@]}")
    echo "-- output to $([[ $sink == file ]] && echo "a new file" || echo /dev/null)"
    echo "   iconv ms:          ${iconv_times[*]}"
    echo "   transcode_file ms: ${ours_times[*]}"
    read -r i_min i_med i_max <<< "$s_iconv"
    read -r o_min o_med o_max <<< "$s_ours"
    read -r r_min r_med r_max <<< "$s_ratio"
    local median_ratio
    median_ratio=$(awk -v a="$i_med" -v b="$o_med" 'BEGIN { printf "%.2f", a / b }')
    printf '   iconv          min %7.1f  median %7.1f  max %7.1f ms  (%.0f MiB/s at the median)\n' \
      "$i_min" "$i_med" "$i_max" "$(awk -v t="$i_med" -v s="$size_mib" 'BEGIN { print s / t * 1000 }')"
    printf '   transcode_file min %7.1f  median %7.1f  max %7.1f ms  (%.0f MiB/s at the median)\n' \
      "$o_min" "$o_med" "$o_max" "$(awk -v t="$o_med" -v s="$size_mib" 'BEGIN { print s / t * 1000 }')"
    echo "   speed-up: ${median_ratio}x (medians); per run min ${r_min}x median ${r_med}x max ${r_max}x; target ${target}x"
    if awk -v r="$median_ratio" -v t="$target" 'BEGIN { exit !(r < t) }'; then
      failed_target=1
    fi
  done
}

compare "code page 858 -> UTF-8" CP858 UTF-8 utf "$input" "$utf8" 5
compare "UTF-8 -> code page 858" UTF-8 CP858 850 "$utf8" "$input" 1

echo
if ((status != 0)); then
  echo "RESULT: outputs differ"
  exit 1
fi
echo "outputs: byte-identical to iconv in every file run (and back to the original text)"
if ((failed_target)); then
  echo "RESULT: a speed target was missed"
  exit 2
fi
echo "RESULT: both speed targets met"
