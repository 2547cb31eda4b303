#!/usr/bin/env bash
# Builds the Debian package from a configured build folder, checks it with
# lintian (no errors allowed; warnings and notes are shown), installs it,
# runs the installed program and finds its manual page, then removes it.
# Usage: check_package.sh BUILD_FOLDER. Installing needs root; without it,
# or when the package is already installed on this machine (a user's copy is
# never replaced), only the package and lintian are checked.
set -euo pipefail
build=$(cd "$1" && pwd)
package=invoice-converter

# Runs a command quietly, showing its output only when it fails.
quietly() {
  local output
  output=$("$@" 2>&1) || { echo "$output" >&2; echo "failed: $*" >&2; return 1; }
}

# 'cmake --install' into a scratch prefix: the program as built, left
# unstripped.
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
quietly cmake --install "$build" --prefix "$prefix"
if ! readelf -S "$prefix/bin/$package" | grep -q '\.symtab'; then
  echo "cmake --install stripped the program without --strip" >&2
  exit 1
fi
rm -rf "${prefix:?}"/*
# 'cmake --install --strip': the stripped program, the manual page, the
# README and the licence, and nothing that only Debian wants.
quietly cmake --install "$build" --prefix "$prefix" --strip
(cd "$prefix" && find . -type f | sort)
for file in bin/$package share/man/man1/$package.1.gz share/doc/$package/README.md \
  share/doc/$package/LICENSE; do
  [ -f "$prefix/$file" ] || { echo "cmake --install left out $file" >&2; exit 1; }
done
if readelf -S "$prefix/bin/$package" | grep -q '\.symtab'; then
  echo "cmake --install --strip did not strip the program" >&2
  exit 1
fi
[ ! -e "$prefix/share/doc/$package/copyright" ] || { echo "Debian files in a plain install" >&2; exit 1; }

rm -f "$build"/"$package"_*.deb
(cd "$build" && quietly cpack -G DEB)
deb=$(ls "$build"/"$package"_*.deb)
echo "-- $(basename "$deb")"
dpkg-deb --field "$deb" Depends Section

if command -v lintian >/dev/null; then
  # lintian refuses to run as root unless told it may.
  findings=$(lintian --allow-root --display-info --pedantic "$deb" 2>&1) || true
  [ -z "$findings" ] || echo "$findings"
  if grep -q '^E:' <<<"$findings"; then
    echo "lintian reports errors" >&2
    exit 1
  fi
else
  echo "lintian is not installed: package not linted"
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "not root: package not installed"
  exit 0
fi
if dpkg -s "$package" >/dev/null 2>&1; then
  echo "$package is already installed here: the installation is not tried"
  exit 0
fi
status=0
DEBIAN_FRONTEND=noninteractive quietly apt-get install -y --no-install-recommends "$deb"
{
  [ "$(command -v "$package")" = /usr/bin/$package ] || { echo "not installed as /usr/bin/$package"; false; }
  /usr/bin/$package --version
  man -w "$package"
  [ -f /usr/share/doc/$package/copyright ] || { echo "no copyright file"; false; }
} || status=1
DEBIAN_FRONTEND=noninteractive quietly apt-get purge -y "$package"
if [ -e /usr/bin/$package ]; then
  echo "still present after removal: /usr/bin/$package" >&2
  status=1
fi
[ "$status" -eq 0 ] || echo "the installed package failed its checks" >&2
exit "$status"
