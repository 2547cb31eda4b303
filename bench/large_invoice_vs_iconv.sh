#!/usr/bin/env bash
# Times the program on one large invoice declared ibm850 against the shortest
# equivalent of its work: iconv into a new file followed by a flush of that
# file. Prints every run's wall and processor time and peak memory, and the
# medians.
#
# usage: bench/large_invoice_vs_iconv.sh [PROGRAM...]
#   PROGRAM  a built invoice-converter, best a Release build (default:
#            build-release/invoice-converter below the repository); given
#            several (an older build and a newer one), all take turns
# environment:
#   RUNS=N      timed runs of each command, alternating (default 7)
#   SIZE_MIB=N  size of the invoice in MiB (default 64)
#   TMPDIR      where the tree goes (default /tmp)
#
# Before each run the invoice is written anew (the program converts it in
# place) and read once, so that both commands start from the page cache.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
programs=("$@")
((${#programs[@]})) || programs=("$repo/build-release/invoice-converter")
runs=${RUNS:-7}
size_mib=${SIZE_MIB:-64}

for program in "${programs[@]}"; do
  [[ -x $program ]] || { echo "program not found at $program" >&2; exit 1; }
done
command -v iconv > /dev/null || { echo "iconv not found" >&2; exit 1; }
[[ -x /usr/bin/time ]] || { echo "/usr/bin/time not found" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/large_invoice.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/root/DOCUMENT"
original=$work/original.xml
invoice=$work/root/DOCUMENT/large.xml

# A Facturae 3.2.1 invoice in code page 858 (accented letters, euro signs at
# 0xD5), so that the run converts the code page and nothing else.
python3 - "$original" "$((size_mib * 1024 * 1024))" << 'EOF'
import sys
path, size = sys.argv[1], int(sys.argv[2])
head = (b'<?xml version="1.0" encoding="ibm850"?>\r\n'
        b'<fe:Facturae xmlns:fe="http://www.facturae.es/Facturae/2014/v3.2.1/Facturae">\r\n')
line = ('<InvoiceLine><ItemDescription>Revisi\u00f3 t\u00e8cnica n\u00ba %06d, '
        'pe\u00e7a d\'a\u00efllament \u00e0 Matar\u00f3</ItemDescription>'
        '<UnitPriceWithoutTax>12,50 \u20ac</UnitPriceWithoutTax></InvoiceLine>\r\n')
tail = b'</fe:Facturae>\r\n'
with open(path, 'wb') as out:
    out.write(head)
    written, n = len(head), 0
    while written < size - len(tail):
        piece = (line % n).encode('cp858')
        out.write(piece)
        written += len(piece)
        n += 1
    out.write(tail)
EOF

expected=$work/expected.xml
LC_ALL=C sed '1s/ibm850/UTF-8/' "$original" | iconv -f CP858 -t UTF-8 > "$expected"
prepare() {
  cp "$original" "$invoice"
  rm -f "$work/out.iconv"
  cat "$invoice" > /dev/null
}

# Runs "$@" under /usr/bin/time; prints "wall_ms cpu_ms peak_KiB".
measure() {
  local start end
  start=$EPOCHREALTIME
  /usr/bin/time -f '%U %S %M' -o "$work/usage" "$@" > /dev/null
  end=$EPOCHREALTIME
  read -r user sys kib < <(tail -1 "$work/usage")
  awk -v s="$start" -v e="$end" -v u="$user" -v y="$sys" -v m="$kib" \
    'BEGIN { printf "%.1f %.0f %d", (e - s) * 1000, (u + y) * 1000, m }'
}

iconv_and_flush='iconv -f CP858 -t UTF-8 "$1" > "$2" && sync -d "$2"'

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END {
  printf "%.1f", (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# Command k of the rotation: 0 is iconv, k > 0 the k-th program.
commands=("iconv + sync -d" "${programs[@]}")
declare -A wall cpu peak
for ((run = 1; run <= runs; run++)); do
  for ((turn = 0; turn < ${#commands[@]}; turn++)); do
    k=$(((run + turn) % ${#commands[@]}))
    prepare
    if ((k == 0)); then
      read -r ms cpu_ms kib <<< "$(measure sh -c "$iconv_and_flush" sh "$invoice" "$work/out.iconv")"
    else
      read -r ms cpu_ms kib <<< "$(measure env MORROOT="$work/root" "${commands[k]}")"
      if ! cmp -s "$invoice" "$expected"; then
        echo "MISMATCH: ${commands[k]} differs from iconv (run $run)" >&2
        exit 1
      fi
    fi
    wall[$k]+="$ms " cpu[$k]+="$cpu_ms " peak[$k]+="$kib "
  done
done

echo "== one invoice of $size_mib MiB ($((size_mib * 1024)) KiB) declared ibm850, $runs runs each, alternating"
reference=$(median ${wall[0]})
for ((k = 0; k < ${#commands[@]}; k++)); do
  echo "-- ${commands[k]}"
  echo "   wall ms:  ${wall[$k]}"
  echo "   cpu ms:   ${cpu[$k]}"
  echo "   peak KiB: ${peak[$k]}"
  m=$(median ${wall[$k]})
  echo "   median wall $m ms ($(awk -v m="$m" -v r="$reference" 'BEGIN { printf "%.2f", m / r }')x iconv + sync -d), median cpu $(median ${cpu[$k]}) ms, median peak $(median ${peak[$k]}) KiB"
done
