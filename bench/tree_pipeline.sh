#!/usr/bin/env bash
# What a system administrator would write instead of the program, with
# standard tools: find over DOCUMENT, GNU sed -z -i with the eleven literal
# rewrites and the two structural ones, and iconv from code page 858 to UTF-8
# into a temporary file moved over the original for the documents declared
# ibm850 (plus the declaration rewrite), keeping modification times with
# touch -r. bench/tree_bench.sh times it against the program.
#
# usage: bench/tree_pipeline.sh DOCUMENT_FOLDER [STYLESHEET_HOST]
#   STYLESHEET_HOST  host of the web stylesheet (default xsl.bench.test)
#
# Like the program it skips names that begin with "." and everything below
# such folders, and takes every name ending in .xml in any letter case. Unlike
# the program it rewrites every invoice (sed -i replaces even a file it did not
# change), flushes nothing to disk, takes no lock, and stops at nothing on a
# failure.
set -uo pipefail
document=${1:?usage: tree_pipeline.sh DOCUMENT_FOLDER [STYLESHEET_HOST]}
host=${2:-xsl.bench.test}
export LC_ALL=C

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
stamp=$work/stamp

# The eleven literal pairs (every occurrence: g) and the two structural
# rewrites (first match only, letters in either case: I). "|" is the
# delimiter; ".", "\" and "*" are escaped in the regular expressions.
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

find "$document" -mindepth 1 -name '.*' -prune -o -type f -iname '*.xml' -print0 |
  while IFS= read -r -d '' file; do
    touch -r "$file" "$stamp"
    sed -z -i -f "$work/upgrade.sed" "$file"
    if grep -q 'encoding="ibm850"' "$file"; then
      iconv -f CP858 -t UTF-8 "$file" | sed 's/encoding="ibm850"/encoding="UTF-8"/' \
        > "$file.tmp" && mv "$file.tmp" "$file"
    fi
    touch -r "$stamp" "$file"
  done
