#!/usr/bin/env bash
# Times pattern_search (whole program: read the file, search once) against
# GNU grep -c -i -P with the same pattern over the same text, in the C locale
# (bytes, like pattern_search). Three texts, generated in a temporary folder:
#   no-match   SIZE_MIB MiB of invoice documents, "</BuyerParty>" never
#              followed by "<Invoices>";
#   match-end  the same with one match (on one line) in the last kilobyte;
#   blanks     "</BuyerParty>" and then 100 MiB of blanks.
# Prints min, median and max wall time over RUNS runs, and the peak memory.
# pattern_search runs twice: reading the file into memory with read(), and
# mapping it (no copy), since for a search this fast the copy dominates.
#
# usage: bench/pattern_search_vs_grep.sh BUILD_DIR [SIZE_MIB] [RUNS]
#   BUILD_DIR  a build configured with -DINVOICE_BENCH=ON (holds pattern_search_bench)
set -euo pipefail

build_dir=${1:?usage: pattern_search_vs_grep.sh BUILD_DIR [SIZE_MIB] [RUNS]}
size_mib=${2:-64}
runs=${3:-7}
program="$build_dir/pattern_search_bench"
[[ -x "$program" ]] || { echo "no $program; build with -DINVOICE_BENCH=ON" >&2; exit 1; }
[[ -x /usr/bin/time ]] || { echo "needs /usr/bin/time (Debian package time)" >&2; exit 1; }

pattern='</BuyerParty>[ \r\n]*<Invoices>'
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$program" --generate no-match $((size_mib * 1024 * 1024)) "$work/no-match.xml"
"$program" --generate match-end $((size_mib * 1024 * 1024)) "$work/match-end.xml"
"$program" --generate blanks $((100 * 1024 * 1024 + 13)) "$work/blanks.xml"

ours() { "$program" --search "$pattern" "$1" > "$work/ours.out"; }
ours_mapped() { "$program" --search-mapped "$pattern" "$1" > "$work/ours-mapped.out"; }
# grep exits with 1 when no line matches; that is an answer, not a failure.
theirs() { LC_ALL=C grep -c -i -P "$pattern" "$1" > "$work/grep.out" || [[ $? -eq 1 ]]; }

seconds() { date +%s.%N; }
time_of() {
  local start end
  start=$(seconds)
  "$@"
  end=$(seconds)
  echo "$end - $start" | bc -l
}
summary() {  # prints "min median max" of its arguments
  printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END {
    printf "%.3f %.3f %.3f", v[1], (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2), v[NR] }'
}
peak_kib() {  # peak resident memory of one run of the command, in KiB
  /usr/bin/time -f %M -o "$work/time.out" "$@" > /dev/null || true
  tail -1 "$work/time.out"
}

echo "pattern: $pattern"
echo "grep:    $(grep --version | head -1), LC_ALL=C grep -c -i -P"
echo "runs:    $runs each, wall time in seconds (min median max)"
for text in no-match match-end blanks; do
  file="$work/$text.xml"
  cat "$file" > /dev/null  # into the page cache before either program reads it
  declare -a our_times=() mapped_times=() grep_times=()
  for ((run = 0; run < runs; ++run)); do
    our_times+=("$(time_of ours "$file")")
    mapped_times+=("$(time_of ours_mapped "$file")")
    grep_times+=("$(time_of theirs "$file")")
  done
  read -r our_min our_median our_max <<< "$(summary "${our_times[@]}")"
  read -r mapped_min mapped_median mapped_max <<< "$(summary "${mapped_times[@]}")"
  read -r grep_min grep_median grep_max <<< "$(summary "${grep_times[@]}")"
  echo
  echo "$text: $(stat -c %s "$file") bytes"
  printf '  pattern_search, read()  %s %s %s  peak %6d KiB  %s\n' \
    "$our_min" "$our_median" "$our_max" \
    "$(peak_kib "$program" --search "$pattern" "$file")" "$(cat "$work/ours.out")"
  printf '  pattern_search, mapped  %s %s %s  peak %6d KiB  %s\n' \
    "$mapped_min" "$mapped_median" "$mapped_max" \
    "$(peak_kib "$program" --search-mapped "$pattern" "$file")" "$(cat "$work/ours-mapped.out")"
  printf '  grep                    %s %s %s  peak %6d KiB  lines: %s\n' \
    "$grep_min" "$grep_median" "$grep_max" \
    "$(peak_kib env LC_ALL=C grep -c -i -P "$pattern" "$file")" "$(cat "$work/grep.out")"
  printf '  grep time / ours (medians): read() %.1fx, mapped %.1fx\n' \
    "$(echo "$grep_median / $our_median" | bc -l)" "$(echo "$grep_median / $mapped_median" | bc -l)"
done
