#!/usr/bin/env bash
# Checks the manual page: groff and mandoc find nothing to warn about, man
# renders it without a warning, and its title line carries the program's
# version. Usage: check_man_page.sh PAGE VERSION. Exit status 77 (skipped)
# when groff or man is not installed.
set -euo pipefail
page=$1
version=$2
for tool in groff man; do
  if ! command -v "$tool" >/dev/null; then
    echo "$tool is not installed: manual page not checked"
    exit 77
  fi
done

status=0
complain() { echo "$page: $*" >&2; status=1; }

warnings=$(groff -wall -man -z "$page" 2>&1) || complain "groff failed"
[ -z "$warnings" ] || complain "groff -wall: $warnings"
if command -v mandoc >/dev/null; then
  warnings=$(mandoc -T lint -W warning "$page" 2>&1) || complain "mandoc -T lint: $warnings"
else
  echo "mandoc is not installed: its lint skipped"
fi
warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null) || complain "man failed"
[ -z "$warnings" ] || complain "man --warnings: $warnings"
title=$(grep -m1 '^\.TH ' "$page")
case "$title" in
  *"\"invoice-converter $version\""*) ;;
  *) complain "the title line does not give version $version: $title" ;;
esac
exit "$status"
