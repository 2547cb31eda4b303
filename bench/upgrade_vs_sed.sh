#!/usr/bin/env bash
# Times upgrade_file against GNU sed applying the same rewrites to the same
# text: SIZE_MIB MiB of Facturae 3.0 documents that all need every rewrite,
# upgraded as one text (so each structural rewrite applies once, as with
# sed -z). Checks that both outputs are byte for byte the same.
#
# usage: bench/upgrade_vs_sed.sh BUILD_DIR [SIZE_MIB] [RUNS]
#   BUILD_DIR  a build configured with -DINVOICE_BENCH=ON (holds upgrade_file)
set -euo pipefail

build_dir=${1:?usage: upgrade_vs_sed.sh BUILD_DIR [SIZE_MIB] [RUNS]}
size_mib=${2:-64}
runs=${3:-5}
program="$build_dir/upgrade_file"
[[ -x "$program" ]] || { echo "no $program; build with -DINVOICE_BENCH=ON" >&2; exit 1; }
# The host that upgrade_file and sed both write.
host=${INVOICE_STYLESHEET_HOST:-xsl.bench.test}
export INVOICE_STYLESHEET_HOST=$host

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$program" --generate $((size_mib * 1024 * 1024)) "$work/input.xml"

# The eleven literal pairs (every occurrence) and the two structural rewrites
# (first match only, letters in either case). "|" is the delimiter; ".", "\"
# and "*" are escaped in the regular expressions, "&" and "\" would be in the
# replacements.
instruction="<?xml-stylesheet type=\"text/xsl\" href=\"http://$host/XSL/FACTURA.XSL\"?>"
cat > "$work/upgrade.sed" <<SED
s|"http://www\\.facturae\\.es/Facturae/2007/v3\\.0/Facturae"|"http://www.facturae.es/Facturae/2014/v3.2.1/Facturae"|g
s|<SchemaVersion>3\\.0</SchemaVersion>|<SchemaVersion>3.2.1</SchemaVersion>|g
s|<Telefax>|<TeleFax>|g
s|</Telefax>|</TeleFax>|g
s|<LanguageName>CAT<|<LanguageName>ca<|g
s|<LanguageName>GLG<|<LanguageName>gl<|g
s|<LanguageName>OCI<|<LanguageName>ca<|g
s|<LanguageName>SPA<|<LanguageName>es<|g
s|<?xml-stylesheet type="text/xsl" href="\\\\MORVEL\\\\XSL\\\\FACTURA\\.XSL"?>|$instruction|g
s|<?xml-stylesheet type="text/xsl" href="/MORVEL/XSL/FACTURA\\.XSL"?>|$instruction|g
s|<?xml-stylesheet type="text/xsl" href="/morvel/XSL/FACTURA\\.XSL"?>|$instruction|g
s|</BuyerParty>[ \\r\\n]*<Invoices>|</BuyerParty>\\r\\n</Parties>\\r\\n<Invoices>|I
s|</Invoices>[ \\r\\n]*</Parties>|</Invoices>|I
SED

run_sed() { LC_ALL=C sed -z -f "$work/upgrade.sed" "$work/input.xml" > "$work/sed.xml"; }

cat "$work/input.xml" > /dev/null
seconds() { date +%s.%N; }
time_of() {
  local start end
  start=$(seconds)
  "$@"
  end=$(seconds)
  echo "$end - $start" | bc -l
}

echo "text: $(stat -c %s "$work/input.xml") bytes of Facturae 3.0 documents; $runs runs each"
echo "sed:  $(sed --version | head -1), LC_ALL=C sed -z -f upgrade.sed"
run_ours() { "$program" "$work/input.xml" "$work/ours.xml" 2> "$work/ours.log"; }
copy_ours() { "$program" --copy "$work/input.xml" "$work/ours.xml"; }
copy_sed() { LC_ALL=C sed -z '' "$work/input.xml" > "$work/sed.xml"; }

declare -a ours theirs core ours_io sed_io
# Each program writes a new file with no dirty pages pending, so that neither
# pays for truncating the other's or its own earlier output.
fresh() { rm -f "$work/ours.xml" "$work/sed.xml"; sync; }
for ((run = 0; run < runs; ++run)); do
  fresh
  ours+=("$(time_of run_ours)")
  core+=("$(sed -n 's/^upgrade_document: //p' "$work/ours.log" | tr -d ' s')")
  cp "$work/ours.xml" "$work/ours.kept"
  fresh
  theirs+=("$(time_of run_sed)")
  fresh
  ours_io+=("$(time_of copy_ours)")
  fresh
  sed_io+=("$(time_of copy_sed)")
done
# Leave sed's real output for the comparison below.
fresh
run_sed

summary() {  # prints "min median max" of its arguments
  printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END {
    printf "%.3f %.3f %.3f", v[1], (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2), v[NR] }'
}
read -r our_min our_median our_max <<< "$(summary "${ours[@]}")"
read -r sed_min sed_median sed_max <<< "$(summary "${theirs[@]}")"
read -r core_min core_median core_max <<< "$(summary "${core[@]}")"
read -r _ our_io _ <<< "$(summary "${ours_io[@]}")"
read -r _ sed_io _ <<< "$(summary "${sed_io[@]}")"
printf 'upgrade_file  min %.3f s  median %.3f s  max %.3f s  (%s)\n' \
  "$our_min" "$our_median" "$our_max" "${ours[*]}"
printf '  upgrade_document in it  min %.3f s  median %.3f s  max %.3f s\n' \
  "$core_min" "$core_median" "$core_max"
printf 'sed -z        min %.3f s  median %.3f s  max %.3f s  (%s)\n' \
  "$sed_min" "$sed_median" "$sed_max" "${theirs[*]}"
printf 'speed-up, whole programs         median %.1fx  (our max against sed min: %.1fx)\n' \
  "$(echo "$sed_median / $our_median" | bc -l)" "$(echo "$sed_min / $our_max" | bc -l)"
printf 'reading and writing alone (median): upgrade_file --copy %.3f s, sed -z %s %.3f s\n' \
  "$our_io" "''" "$sed_io"
printf 'speed-up, net of each program'"'"'s own reading and writing  median %.1fx\n' \
  "$(echo "($sed_median - $sed_io) / ($our_median - $our_io)" | bc -l)"
printf 'speed-up, upgrade_document alone against whole sed  median %.1fx  (its max against sed min: %.1fx)\n' \
  "$(echo "$sed_median / $core_median" | bc -l)" "$(echo "$sed_min / $core_max" | bc -l)"

if cmp -s "$work/ours.kept" "$work/sed.xml"; then
  echo "outputs: identical ($(stat -c %s "$work/sed.xml") bytes)"
else
  echo "outputs: DIFFER" >&2
  cmp "$work/ours.kept" "$work/sed.xml" >&2 || true
  exit 1
fi
