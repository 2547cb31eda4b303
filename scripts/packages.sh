# shellcheck shell=bash
# Sourced by the scripts that set up a machine. Debian package helpers.

# True when the Debian package NAME is installed.
package_installed() {
  [ "$(dpkg-query -W -f='${db:Status-Abbrev}' "$1" 2>/dev/null)" = "ii " ]
}

# The major version of the clang that is installed, or else of the one the
# archive offers; empty when neither is known.
clang_major_version() {
  local version=""
  if command -v clang++ >/dev/null; then
    version=$(clang++ -dumpversion)
  else
    version=$(apt-cache policy clang 2>/dev/null | awk '/Candidate:/ { print $2 }')
    version=${version#*:}  # the epoch
    [ "$version" != "(none)" ] || version=""
  fi
  echo "${version%%.*}"
}

# The package that holds the sanitizer and libFuzzer runtime for that clang:
# its own libclang-rt package where the release has one, else the common
# package that held it before.
clang_runtime_package() {
  local major
  major=$(clang_major_version)
  [ -n "$major" ] || return 0
  if apt-cache show "libclang-rt-$major-dev" >/dev/null 2>&1; then
    echo "libclang-rt-$major-dev"
  else
    echo "libclang-common-$major-dev"
  fi
}

# Installs those of the packages NAME... that are missing when run as root;
# otherwise names them, with the command that installs them, and exits.
# With --with-recommends first, their recommended packages come too.
ensure_packages() {
  local recommends=--no-install-recommends
  if [ "${1:-}" = --with-recommends ]; then
    recommends=--install-recommends
    shift
  fi
  if ! command -v dpkg-query >/dev/null; then
    echo "Not a Debian system: make sure these are installed: $*" >&2
    return 0
  fi
  local missing=() package
  for package in "$@"; do
    package_installed "$package" || missing+=("$package")
  done
  [ "${#missing[@]}" -gt 0 ] || return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages: ${missing[*]}" >&2
    echo "Install them as root, then run this again:" >&2
    echo "  apt-get update && apt-get install -y $recommends ${missing[*]}" >&2
    exit 1
  fi
  echo "== installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update >/dev/null
  apt-get install -y "$recommends" "${missing[@]}" >/dev/null
}
