#!/usr/bin/env bash
# Builds the program alone (none of the test dependencies) and shows it at
# work on a scratch copy of the sample tree in examples/: a dry run without
# a stylesheet host and one with it, the run itself with --verbose, what it changed file by file, and a second dry run
# that finds nothing left to do. The sample tree itself is never touched.
# Installs cmake, g++, make and libssl-dev when they are missing (as root; otherwise
# names them and stops).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=packages.sh
. "$top/scripts/packages.sh"
ensure_packages cmake g++ make libssl-dev

build="$top/build-demo"
echo "== building the program in $build"
cmake -S "$top" -B "$build" -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j2 --target invoice-converter >/dev/null
program="$build/invoice-converter"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cp -a "$top/examples/DOCUMENT" "$scratch/before"
cp -a "$top/examples/DOCUMENT" "$scratch/DOCUMENT"
# Give the copies an old modification time, as years-old invoices have.
find "$scratch/DOCUMENT" "$scratch/before" -type f -exec touch -d '2011-03-01 10:20:30.5' {} +

# Runs the program on the copy, showing the command and the exit status.
show_run() {
  echo
  echo "== invoice-converter $*"
  local status=0
  "$program" "$@" || status=$?
  echo "== exit status: $status"
}

# Without a stylesheet host, the invoices that refer to a local stylesheet
# are reported and would be left as they are.
show_run --root "$scratch" --dry-run
# The installation gives the host; this one is reserved for examples.
export INVOICE_STYLESHEET_HOST=xsl.despatx.example
show_run --root "$scratch" --dry-run
show_run --root "$scratch" --verbose
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

show_run --root "$scratch" --dry-run
