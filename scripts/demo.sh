#!/usr/bin/env bash
# Builds the program and runs it on a scratch copy of the sample tree in
# examples/, then shows what it changed. The sample tree itself is never
# touched.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cmake -S "$top" -B "$top/build" >/dev/null
cmake --build "$top/build" -j2 --target invoice-converter >/dev/null

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cp -a "$top/examples/DOCUMENT" "$scratch/before"
cp -a "$top/examples/DOCUMENT" "$scratch/DOCUMENT"
# Give the copies an old modification time, as years-old invoices have.
find "$scratch/DOCUMENT" "$scratch/before" -type f -exec touch -d '2011-03-01 10:20:30.5' {} +

echo "== invoice-converter on a copy of examples/DOCUMENT ($scratch)"
status=0
MORROOT="$scratch/" "$top/build/invoice-converter" || status=$?
echo "== exit status: $status"
echo

cd "$scratch/before"
find . -type f | sort | while read -r file; do
  new="$scratch/DOCUMENT/$file"
  stamp=$(date -u -r "$new" '+%Y-%m-%d %H:%M:%S.%N UTC')
  if cmp -s "$file" "$new"; then
    echo "== ${file#./}: unchanged, modified $stamp"
    continue
  fi
  echo "== ${file#./}: changed, modified $stamp"
  # Show the old text in UTF-8 too, so that only real changes stand out.
  if grep -q 'encoding="ibm850"' "$file"; then
    iconv -f CP858 -t UTF-8 "$file" > "$scratch/old"
  else
    cp "$file" "$scratch/old"
  fi
  diff -u --label "before/${file#./}" --label "after/${file#./}" \
    <(tr -d '\r' < "$scratch/old") <(tr -d '\r' < "$new") || true
done
exit "$status"
