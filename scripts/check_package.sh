#!/usr/bin/env bash
# Builds the Debian package from a configured build folder, checks it with
# lintian (no errors allowed; warnings and notes are shown), installs it,
# runs the installed program and finds its manual page, then removes it.
# First it checks that no package is made without a maintainer or without
# dpkg-shlibdeps; the package checked then names MAINTAINER (default: a
# name for this check), and the build folder keeps that name.
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

# cpack (given the arguments after REASON) must fail with REASON, where a
# package would be unfit to ship.
cpack=$(command -v cpack)
refused() {
  local reason=$1 output
  shift
  rm -f "$build"/"$package"_*.deb
  if output=$(cd "$build" && "$cpack" -G DEB "$@" 2>&1); then
    echo "a package was built $reason" >&2
    exit 1
  fi
  grep -q "$reason" <<<"$output" || { echo "$output" >&2; echo "cpack failed otherwise" >&2; exit 1; }
  ! ls "$build"/"$package"_*.deb >/dev/null 2>&1 || { echo "a package was left $reason" >&2; exit 1; }
}
quietly cmake -DCPACK_PACKAGE_CONTACT= "$build"
refused "no maintainer"
quietly cmake -DCPACK_PACKAGE_CONTACT="Someone <someone@example.org>" "$build"
refused "no maintainer"
quietly cmake -DCPACK_PACKAGE_CONTACT="${MAINTAINER:-Package Check <package-check@invoice-converter.invalid>}" "$build"
# As on a machine without it, where CPack's own lookup finds nothing.
refused "dpkg-shlibdeps is missing" -D SHLIBDEPS_EXECUTABLE="$prefix/no-dpkg-shlibdeps"

rm -f "$build"/"$package"_*.deb
(cd "$build" && quietly cpack -G DEB)
deb=$(ls "$build"/"$package"_*.deb)
echo "-- $(basename "$deb")"
dpkg-deb --field "$deb" Depends Section Maintainer
# The dependencies are computed, never left out: the C library at least.
dpkg-deb --field "$deb" Depends | grep -Eq '(^|, )libc6( |,|$)' ||
  { echo "the package's Depends does not name libc6" >&2; exit 1; }

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
