#!/usr/bin/env bash
# System calls per invoice, by kind: the program runs under `strace -c -f` on
# a fresh copy of a generated tree (bench/make_tree.py), and the calls that
# strace counted are divided by the invoices of the tree. Given a second
# program (an older build, say), both are measured the same way and shown
# side by side, so that a change can be compared with what came before it;
# with --runs, both are also timed without strace, alternating.
#
# usage: bench/syscalls.sh [options]
#   --files N       invoices in the tree (default 4000; about seven in eight
#                   of them are converted, see make_tree.py)
#   --program PATH  the program to measure (default: this checkout, built
#                   optimised into build-syscalls-bench)
#   --against PATH  a second program measured the same way, shown beside
#   --runs N        also time N runs of each program without strace, on fresh
#                   copies, alternating which goes first (default 0)
#   --pause S       seconds of rest between a fresh copy and its timed run
#                   (default 10), so that the copy's writes have settled
#   --seed N        seed of the generated tree (default 1)
#   --scratch DIR   where the trees go (default $TMPDIR, else /tmp); about
#                   three times the tree (0.15 GiB for 4,000 invoices)
#   --keep          keep the scratch folder
#
# Every measured run is checked with bench/check_tree.py: a program that
# converts wrongly fails the benchmark (exit status 1). The load average is
# printed beside every timed run: other work on the machine moves the times,
# not the counts.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
bench=$repo/bench
files=4000 runs=0 pause=10 seed=1 keep=0 program= against=
scratch=${TMPDIR:-/tmp}
while (($#)); do
  case $1 in
    --files) files=$2; shift ;;
    --program) program=$2; shift ;;
    --against) against=$2; shift ;;
    --runs) runs=$2; shift ;;
    --pause) pause=$2; shift ;;
    --seed) seed=$2; shift ;;
    --scratch) scratch=$2; shift ;;
    --keep) keep=1 ;;
    -h | --help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "syscalls.sh: unknown option $1 (see --help)" >&2; exit 1 ;;
  esac
  shift
done

for tool in strace python3 cmake /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "$tool is missing" >&2; exit 1; }
done
host=${INVOICE_STYLESHEET_HOST:-xsl.bench.test}
export INVOICE_STYLESHEET_HOST=$host

if [[ -z $program ]]; then
  build=$repo/build-syscalls-bench
  echo "building the program into $build..." >&2
  cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DINVOICE_TESTS=OFF >/dev/null
  cmake --build "$build" -j2 --target invoice-converter >/dev/null
  program=$build/invoice-converter
fi
names=(this)
declare -A path_of=([this]=$(realpath "$program"))
if [[ -n $against ]]; then
  names+=(against)
  path_of[against]=$(realpath "$against")
fi
for name in "${names[@]}"; do
  [[ -x ${path_of[$name]} ]] || { echo "no program at ${path_of[$name]}" >&2; exit 1; }
done

work=$(mktemp -d "$scratch/syscalls.XXXXXX")
if ((keep)); then echo "scratch folder kept: $work"; else trap 'rm -rf "$work"' EXIT; fi
master=$work/master
python3 "$bench/make_tree.py" "$master" --files "$files" --seed "$seed" --host "$host" >&2
# The invoices that a run must change: the reference differs from the bytes.
converted=$(python3 - "$master" <<'EOF'
import hashlib, sys
root = sys.argv[1]
count = 0
for line in open(root + "/manifest.tsv", encoding="utf-8"):
    path, role, _, _, _, expected = line.rstrip("\n").split("\t")
    if role == "invoice":
        with open(root + "/" + path, "rb") as f:
            count += hashlib.sha256(f.read()).hexdigest() != expected
print(count)
EOF
)

# fresh_copy: a new copy of the tree in $work/run, on disk.
fresh_copy() {
  rm -rf "$work/run"
  mkdir -p "$work/run/temp"
  cp -a "$master/DOCUMENT" "$work/run/"
  sync
}

check() {
  python3 "$bench/check_tree.py" "$master/manifest.tsv" "$work/run" >"$work/check.out" ||
    { cat "$work/check.out" >&2; echo "the program $1 converted wrongly" >&2; exit 1; }
}

run_program() {  # NAME [WRAPPER...]
  local name=$1
  shift
  MORROOT=$work/run TEMP=$work/run/temp "$@" "${path_of[$name]}" >"$work/out" 2>"$work/err" ||
    { echo "the program $name ended with status $?:" >&2; head -5 "$work/err" >&2; exit 1; }
}

echo "system calls per invoice: $files invoices, $converted of them converted (seed $seed)"
for name in "${names[@]}"; do echo "  $name: ${path_of[$name]}"; done
echo "  $(nproc) cores, $(uname -sr); scratch $work ($(findmnt -no FSTYPE -T "$work" | head -1))"

# strace's summary: "% time seconds usecs/call calls [errors] syscall"
# between two rules, then the total; printed here as "syscall calls".
for name in "${names[@]}"; do
  fresh_copy
  run_program "$name" strace -c -f -o "$work/strace.$name"
  check "$name"
  awk '/^-----/ { rule++; next } rule == 1 && NF >= 5 { print $NF, $4 }' \
    "$work/strace.$name" >"$work/calls.$name"
done

echo
header=$(printf '%-18s' call)
for name in "${names[@]}"; do header+=$(printf ' %12s' "$name"); done
((${#names[@]} == 2)) && header+=$(printf ' %9s' ratio)
echo "$header"
python3 - "$files" "${names[@]/#/$work/calls.}" <<'EOF'
import sys
invoices = int(sys.argv[1])
tables = []
for path in sys.argv[2:]:
    with open(path) as f:
        tables.append({name: int(calls) for name, calls in (line.split() for line in f)})
calls = sorted(set().union(*tables), key=lambda c: -max(t.get(c, 0) for t in tables))
def row(label, values):
    line = f"{label:<18}" + "".join(f" {v / invoices:12.2f}" for v in values)
    if len(values) == 2:
        line += f" {values[0] / values[1]:9.2f}" if values[1] else f" {'-':>9}"
    print(line)
for call in calls:
    row(call, [t.get(call, 0) for t in tables])
row("total", [sum(t.values()) for t in tables])
EOF

if ((runs > 0)); then
  echo
  echo "without strace: $runs runs each, alternating; $pause s of rest before each"
  declare -A times
  for ((run = 1; run <= runs; ++run)); do
    order=("${names[@]}")
    ((run % 2 == 0 && ${#names[@]} == 2)) && order=("${names[1]}" "${names[0]}")
    for name in "${order[@]}"; do
      fresh_copy
      sleep "$pause"
      load=$(cut -d' ' -f1 /proc/loadavg)
      run_program "$name" /usr/bin/time -f '%e %U %S' -o "$work/time"
      read -r wall user system <"$work/time"
      check "$name"
      times[$name]+="$wall "
      echo "  run $run $name: $wall s wall, $user s user, $system s system (load before $load)"
    done
  done
  for name in "${names[@]}"; do
    # shellcheck disable=SC2086
    median=$(printf '%s\n' ${times[$name]} | sort -g |
      awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }')
    echo "  $name: median wall time $median s; runs ${times[$name]}"
  done
fi
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
