#!/usr/bin/env bash
# End-to-end benchmark: the program against the shell pipeline that a system
# administrator would write instead (bench/tree_pipeline.sh), each over its
# own fresh copy of a generated tree of invoices (bench/make_tree.py), and the
# program's files per second as the tree grows.
#
# usage: bench/tree_bench.sh [options]
#   --files N     invoices in the compared tree (default 20000)
#   --runs N      timed runs of each contender and of each size (default 3)
#   --large       also measure the program on 100,000 invoices (about 1 GiB)
#   --no-scale    skip the files-per-second-by-size part
#   --no-compare  skip the comparison with the pipeline (sizes only)
#   --cold        drop the page cache before each timed run (root only);
#                 default: warm, each copy read once with cat before its run
#   --seed N      seed of the generated trees (default 1)
#   --scratch DIR where the trees go (default $TMPDIR, else /tmp); it needs
#                 about three times the tree: 0.6 GiB for 20,000 invoices,
#                 3 GiB with --large. The file system decides much of the
#                 program's time (it flushes every file it replaces): see the
#                 README for figures on a journalled ext4, on tmpfs and on the
#                 development machine's ext4 without a journal
#   --settle S    seconds of rest before each timed run (default 5)
#   --build DIR   build with the program (default build-bench); its
#                 CMakeCache.txt gives INVOICE_STYLESHEET_HOST
#   --keep        keep the scratch folder
#
# Every run times both contenders with GNU time (wall, user and system CPU
# time, peak resident memory), alternating which goes first, then checks the
# two trees: the program must leave exactly the reference conversion that
# make_tree.py computed, with the times kept, and every invoice where the
# pipeline's bytes differ is explained. After each contender the time of a
# `sync` is shown too: the program flushes every file it replaces before the
# rename, the pipeline leaves its writes to the kernel.
#
# Exit status: 0 when all checks pass and the targets are met (program wall
# time at most a third of the pipeline's; files per second within 20% from
# 2,000 invoices to the largest size measured; peak memory below twice the
# largest invoice plus 16 MiB), 1 when a check fails, 2 when a target is missed.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
bench=$repo/bench
files=20000 runs=3 large=0 scale=1 compare=1 cold=0 seed=1 keep=0 settle=5
scratch=${TMPDIR:-/tmp}
build=$repo/build-bench
while (($#)); do
  case $1 in
    --files) files=$2; shift ;;
    --runs) runs=$2; shift ;;
    --large) large=1 ;;
    --no-scale) scale=0 ;;
    --no-compare) compare=0 ;;
    --cold) cold=1 ;;
    --seed) seed=$2; shift ;;
    --scratch) scratch=$2; shift ;;
    --settle) settle=$2; shift ;;
    --build) build=$2; shift ;;
    --keep) keep=1 ;;
    -h | --help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "tree_bench.sh: unknown option $1 (see --help)" >&2; exit 1 ;;
  esac
  shift
done

program=$build/invoice-converter
[[ -x $program ]] || { echo "no $program: configure and build $build first (see README)" >&2; exit 1; }
# The host the program is given and the expected trees are made with.
host=${INVOICE_STYLESHEET_HOST:-xsl.bench.test}
export INVOICE_STYLESHEET_HOST=$host
gnu_time=/usr/bin/time
"$gnu_time" -f %e true 2>/dev/null ||
  { echo "GNU time is missing: apt-get install time" >&2; exit 1; }
for tool in python3 iconv sed find touch; do
  command -v "$tool" >/dev/null || { echo "$tool is missing" >&2; exit 1; }
done
sed --version 2>/dev/null | grep -q 'GNU sed' || { echo "the pipeline needs GNU sed" >&2; exit 1; }
if ((cold)); then
  { sync && echo 3 > /proc/sys/vm/drop_caches; } 2>/dev/null ||
    { echo "--cold: cannot drop the page cache (needs root)" >&2; exit 1; }
fi

work=$(mktemp -d "$scratch/tree_bench.XXXXXX")
if ((keep)); then
  echo "scratch folder kept: $work"
else
  trap 'rm -rf "$work"' EXIT
fi

# --- helpers ---------------------------------------------------------------

# "min median max" of the numbers given.
summary() {
  printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END {
    m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
    printf "%s %s %s", v[1], m, v[NR] }'
}
# Formats the numbers given as "median [min..max] spread%", the spread being
# (max - min) / median; SPREAD_DIGITS decimals below 100 (default 2).
spread() {
  local min med max
  read -r min med max <<< "$(summary "$@")"
  awk -v a="$min" -v m="$med" -v b="$max" -v d="${SPREAD_DIGITS:-2}" 'BEGIN {
    f = (m >= 100) ? "%9.0f [%.0f..%.0f]" : "%9." d "f [%." d "f..%." d "f]"
    printf f " %3.0f%%", m, a, b, (m > 0 ? 100 * (b - a) / m : 0) }'
}
calc() { awk "BEGIN { printf \"%.${2:-2}f\", $1 }"; }
load() { cut -d' ' -f1 /proc/loadavg; }

# Makes the master tree of N invoices once; prints its folder.
master_tree() {
  local n=$1 dir=$work/master-$1
  if [[ ! -d $dir ]]; then
    python3 "$bench/make_tree.py" "$dir" --files "$n" --seed "$seed" --host "$host" >&2
  fi
  echo "$dir"
}

# fresh_copy MASTER DEST: a new copy of the tree, on disk before it is timed.
fresh_copy() {
  rm -rf "$2"
  mkdir -p "$2"
  cp -a "$1/DOCUMENT" "$2/"
  sync
}

# Removes the copies of the last run and lets their deletion reach the disk,
# so that it does not weigh on the next timed run.
drop_copies() {
  rm -rf "$work/program" "$work/pipeline"
  sync
}

# Makes the page cache state equal for every contender.
prepare_cache() {
  if ((cold)); then
    sync
    echo 3 > /proc/sys/vm/drop_caches
  else
    find "$1/DOCUMENT" -type f -exec cat {} + > /dev/null
  fi
}

# timed NAME ROOT: runs one contender over ROOT/DOCUMENT under GNU time and
# sets wall, user, sys, rss (KiB) and sync_s (the sync after it).
timed() {
  local name=$1 root=$2 out=$work/time.out status=0
  sleep "$settle"
  prepare_cache "$root"
  if [[ $name == program ]]; then
    mkdir -p "$work/temp"
    MORROOT=$root TEMP=$work/temp "$gnu_time" -f '%e %U %S %M' -o "$out" \
      "$program" > "$work/program.log" 2> "$work/program.err" || status=$?
    if ((status != 0)); then
      echo "the program ended with status $status:" >&2
      head -5 "$work/program.err" >&2
      exit 1
    fi
  else
    "$gnu_time" -f '%e %U %S %M' -o "$out" \
      "$bench/tree_pipeline.sh" "$root/DOCUMENT" "$host" 2> "$work/pipeline.err" || status=$?
    if ((status != 0)) || [[ -s $work/pipeline.err ]]; then
      echo "the pipeline ended with status $status:" >&2
      head -5 "$work/pipeline.err" >&2
      exit 1
    fi
  fi
  read -r wall user sys rss < "$out"
  local start=$EPOCHREALTIME
  sync
  sync_s=$(calc "$EPOCHREALTIME - $start" 3)
}

# The file system under a folder: device, type, and for ext4 whether it
# keeps a journal (without one, creating a file skips the inodes deleted in
# the last seconds one by one, which makes each replacement dearer the more
# files were just replaced).
fs_description() {
  local source type
  read -r source type < <(findmnt -n -o SOURCE,FSTYPE --target "$1" 2>/dev/null || echo "? ?")
  if [[ $type == ext4 ]]; then
    if compgen -G "/proc/fs/jbd2/$(basename "$source")-*" > /dev/null; then
      type="ext4 with a journal"
    else
      type="ext4 without a journal"
    fi
  fi
  echo "$source, $type"
}

tree_facts() {  # invoices, MiB of invoices, largest invoice in bytes
  awk -F'\t' '$2 == "invoice" { print $1 }' "$1/manifest.tsv" |
    (cd "$1" && xargs -d '\n' stat -c %s) |
    awk '{ s += $1; if ($1 > m) m = $1 } END { printf "%d %.1f %d", NR, s / 1048576, m }'
}

status=0
target_missed=0

echo "invoice-converter end-to-end benchmark"
echo "  repository at $(git -C "$repo" rev-parse --short HEAD 2>/dev/null || echo '?')" \
  "$(git -C "$repo" status --porcelain -- src 2>/dev/null | grep -q . && echo '(src/ has local changes)')"
echo "  program $program, built $(date -r "$program" '+%F %T'), stylesheet host $host"
echo "  $(nproc) cores, $(uname -sr)"
echo "  scratch $work: $(fs_description "$work")"
echo "  page cache: $( ((cold)) && echo "cold (dropped before each run)" || echo "warm (each copy read once with cat before its run)")"
echo "  load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"

# --- program against pipeline ----------------------------------------------

sizes=()
if ((scale)); then
  sizes=(2000 20000)
  ((large)) && sizes+=(100000)
fi
((compare)) && master=$(master_tree "$files")
for n in "${sizes[@]}"; do master_tree "$n" > /dev/null; done
if ((compare)); then
  read -r invoices mib largest <<< "$(tree_facts "$master")"
  echo
  echo "== program against pipeline: $invoices invoices ($mib MiB, largest $largest bytes), $runs runs"
  printf '%-4s %-9s %8s %8s %8s %10s %9s %8s %6s\n' \
    run contender "wall s" "user s" "sys s" "peak KiB" files/s "sync s" load
  declare -a p_wall p_user p_sys p_rss p_fps s_wall s_user s_sys s_rss s_fps
  declare -a r_wall r_user r_sys r_rss
  for ((run = 1; run <= runs; run++)); do
    fresh_copy "$master" "$work/program"
    fresh_copy "$master" "$work/pipeline"
    if ((run % 2)); then order="program pipeline"; else order="pipeline program"; fi
    for who in $order; do
      before=$(load)
      timed "$who" "$work/$who"
      fps=$(calc "$invoices / $wall" 0)
      printf '%-4s %-9s %8s %8s %8s %10s %9s %8s %6s\n' \
        "$run" "$who" "$wall" "$user" "$sys" "$rss" "$fps" "$sync_s" "$before"
      if [[ $who == program ]]; then
        p_wall+=("$wall") p_user+=("$user") p_sys+=("$sys") p_rss+=("$rss") p_fps+=("$fps")
      else
        s_wall+=("$wall") s_user+=("$user") s_sys+=("$sys") s_rss+=("$rss") s_fps+=("$fps")
      fi
    done
    i=$((run - 1))
    r_wall+=("$(calc "${p_wall[i]} / ${s_wall[i]}" 3)")
    r_user+=("$(calc "${p_user[i]} / (${s_user[i]} > 0 ? ${s_user[i]} : 0.01)" 3)")
    r_sys+=("$(calc "${p_sys[i]} / (${s_sys[i]} > 0 ? ${s_sys[i]} : 0.01)" 3)")
    r_rss+=("$(calc "${p_rss[i]} / ${s_rss[i]}" 3)")
    python3 "$bench/check_tree.py" "$master/manifest.tsv" "$work/program" "$work/pipeline" \
      > "$work/check.$run" || status=1
    if ((run == 1)); then
      echo "  check of run 1:"
      cat "$work/check.1"
    elif cmp -s "$work/check.1" "$work/check.$run"; then
      echo "  check of run $run: as in run 1"
    else
      echo "  check of run $run:"
      cat "$work/check.$run"
    fi
    drop_copies
  done

  echo
  echo "summary: median [min..max] spread, the spread being (max - min) / median"
  printf '  %-28s %-32s %s\n' "" program pipeline
  printf '  %-28s %-32s %s\n' "wall time, s" "$(spread "${p_wall[@]}")" "$(spread "${s_wall[@]}")"
  printf '  %-28s %-32s %s\n' "user CPU, s" "$(spread "${p_user[@]}")" "$(spread "${s_user[@]}")"
  printf '  %-28s %-32s %s\n' "system CPU, s" "$(spread "${p_sys[@]}")" "$(spread "${s_sys[@]}")"
  printf '  %-28s %-32s %s\n' "peak memory, KiB" "$(spread "${p_rss[@]}")" "$(spread "${s_rss[@]}")"
  printf '  %-28s %-32s %s\n' "files per second" "$(spread "${p_fps[@]}")" "$(spread "${s_fps[@]}")"
  echo "  (the pipeline's peak memory is that of its largest single process)"
  echo "ratio program/pipeline, each run against the other contender of the same run:"
  printf '  %-28s %s\n' "wall time" "$(SPREAD_DIGITS=3 spread "${r_wall[@]}")   per run: ${r_wall[*]}"
  printf '  %-28s %s\n' "user CPU" "$(SPREAD_DIGITS=3 spread "${r_user[@]}")   per run: ${r_user[*]}"
  printf '  %-28s %s\n' "system CPU" "$(SPREAD_DIGITS=3 spread "${r_sys[@]}")   per run: ${r_sys[*]}"
  printf '  %-28s %s\n' "peak memory" "$(SPREAD_DIGITS=3 spread "${r_rss[@]}")   per run: ${r_rss[*]}"

  read -r _ wall_ratio worst_ratio <<< "$(summary "${r_wall[@]}")"
  speedup=$(calc "1 / $wall_ratio" 1)
  echo
  if awk -v r="$wall_ratio" 'BEGIN { exit !(r <= 1 / 3) }'; then
    echo "target met: the program's wall time is ${speedup}x shorter than the pipeline's (median; at least 3x)"
  else
    echo "TARGET MISSED: the program's wall time is only ${speedup}x shorter than the pipeline's (at least 3x)"
    target_missed=1
  fi
  read -r _ _ rss_max <<< "$(summary "${p_rss[@]}")"
  rss_limit=$(((2 * largest + 16 * 1048576) / 1024))
  if ((rss_max < rss_limit)); then
    echo "target met: peak memory at most $rss_max KiB, below $rss_limit KiB (twice the largest invoice + 16 MiB)"
  else
    echo "TARGET MISSED: peak memory up to $rss_max KiB, not below $rss_limit KiB (twice the largest invoice + 16 MiB)"
    target_missed=1
  fi
fi

# --- files per second by tree size ---------------------------------------------

if ((scale)); then
  echo
  echo "== the program's files per second by tree size, $runs runs each"
  # Sizes are interleaved run by run, so that a slow spell of the machine
  # weighs on every size alike.
  declare -A fps_of wall_of rss_of
  for n in "${sizes[@]}"; do
    if ((compare && n == files)); then
      fps_of[$n]="${p_fps[*]}" wall_of[$n]="${p_wall[*]}" rss_of[$n]="${p_rss[*]}"
    fi
  done
  for ((run = 1; run <= runs; run++)); do
    for n in "${sizes[@]}"; do
      ((compare && n == files)) && continue
      tree=$work/master-$n
      fresh_copy "$tree" "$work/program"
      timed program "$work/program"
      fps_of[$n]+=" $(calc "$n / $wall" 0)" wall_of[$n]+=" $wall" rss_of[$n]+=" $rss"
      printf '  run %s, %s invoices: %s s wall, %s s user, %s s system, %s KiB, load %s\n' \
        "$run" "$n" "$wall" "$user" "$sys" "$rss" "$(load)"
      if ((run == 1)); then
        python3 "$bench/check_tree.py" "$tree/manifest.tsv" "$work/program" > "$work/check.out" ||
          { cat "$work/check.out"; status=1; }
      fi
      drop_copies
    done
  done
  printf '  %-9s %-9s %-7s %-34s %-32s %s\n' invoices MiB peakKiB "files per second" \
    "wall s" "per run files/s"
  first_fps=
  for n in "${sizes[@]}"; do
    read -r -a fps_list <<< "${fps_of[$n]}"
    read -r -a walls <<< "${wall_of[$n]}"
    read -r -a rss_list <<< "${rss_of[$n]}"
    read -r n_invoices n_mib n_largest <<< "$(tree_facts "$work/master-$n")"
    read -r _ median_fps _ <<< "$(summary "${fps_list[@]}")"
    read -r _ _ n_rss <<< "$(summary "${rss_list[@]}")"
    printf '  %-9s %-9s %-7s %-34s %-32s %s\n' "$n_invoices" "$n_mib" "$n_rss" \
      "$(spread "${fps_list[@]}")" "$(spread "${walls[@]}")" "${fps_list[*]}"
    [[ -n $first_fps ]] || first_fps=$median_fps
    last_fps=$median_fps last_n=$n
    if ((n_rss >= (2 * n_largest + 16 * 1048576) / 1024)); then
      echo "  TARGET MISSED: peak memory $n_rss KiB at $n invoices"
      target_missed=1
    fi
  done
  change=$(calc "100 * ($last_fps - $first_fps) / $first_fps" 1)
  if awk -v c="$change" 'BEGIN { exit !(c >= -20 && c <= 20) }'; then
    echo "target met: files per second change by ${change}% from 2000 to $last_n invoices (within 20%)"
  else
    echo "TARGET MISSED: files per second change by ${change}% from 2000 to $last_n invoices (within 20%)"
    target_missed=1
  fi
fi

echo
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
if ((status)); then
  echo "RESULT: a check failed"
  exit 1
fi
if ((target_missed)); then
  echo "RESULT: a target was missed"
  exit 2
fi
echo "RESULT: all checks passed and all targets met"
