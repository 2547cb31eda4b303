#!/usr/bin/env bash
# The Windows build, tested on Linux: cross-builds the program, the portable
# unit tests and their helper with mingw-w64, runs the unit tests under Wine
# with ctest, then the end-to-end tests that run the .exe under Wine beside
# the Linux build, checks that the .exe needs no DLL beyond the system's and
# carries its manifest, and builds the zip. Installs mingw-w64 and Wine when
# missing (as root; otherwise names the packages and skips, or fails when
# INVOICE_REQUIRE_WINDOWS=1).
#
# LINUX_BUILD names a Linux build folder that holds invoice-converter and
# invoice_system_tests (default: build-test when it has them, else one of
# its own, build-windows-host).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
jobs=${JOBS:-2}
build="$top/build-windows"
# shellcheck source=packages.sh
. "$top/scripts/packages.sh"
# shellcheck source=steps.sh
. "$top/scripts/steps.sh"
start_test_reports "$build/reports"

windows_packages=(g++-mingw-w64-x86-64-posix wine64 libgtest-dev python3 tmux)
missing=()
for package in "${windows_packages[@]}"; do package_installed "$package" || missing+=("$package"); done
if [ "${#missing[@]}" -gt 0 ] && [ "$(id -u)" != 0 ]; then
  echo "The Windows tests need: ${missing[*]} (apt-get install ${missing[*]}, as root)." >&2
  if [ "${INVOICE_REQUIRE_WINDOWS:-0}" = 1 ]; then exit 1; fi
  step "Windows build and tests skipped"
  exit 0
fi
# Wine as it was proven here: with its recommended libraries.
ensure_packages --with-recommends "${windows_packages[@]}"

wine=$(dpkg -L wine64 | grep -m1 '/wine/wine64$')
wineserver="$(dirname "$wine")/wineserver"

step "cross build for Windows with warnings as errors"
cmake -S "$top" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" \
  -DINVOICE_WERROR=ON >/dev/null
cmake --build "$build" -j"$jobs" --target invoice-converter invoice_converter_tests

step "the program needs no DLL beyond the system's and carries its manifest"
dlls=$(x86_64-w64-mingw32-objdump -p "$build/invoice-converter.exe" | awk '/DLL Name:/ { print $3 }')
echo "$dlls"
for dll in $dlls; do
  case "${dll,,}" in
    kernel32.dll | advapi32.dll | bcrypt.dll | msvcrt.dll) ;;
    *) echo "unexpected DLL: $dll" >&2 && exit 1 ;;
  esac
done
for setting in '<activeCodePage[^>]*>UTF-8<' '<longPathAware[^>]*>true<'; do
  grep -aq "$setting" "$build/invoice-converter.exe" || { echo "manifest lacks $setting" >&2; exit 1; }
done

# A prefix of its own in the build folder, and a server that stays up for
# the whole step: without it every test waits for a server to start.
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all
trap 'WINEPREFIX="$WINEPREFIX" "$wineserver" -k 2>/dev/null || true' EXIT
step "Wine prefix ($("$wine" --version))"
mkdir -p "$WINEPREFIX"
"$wineserver" -p
"$wine" wineboot -i >/dev/null 2>&1

step "unit tests under Wine"
run_ctest wine-unit-tests "$build" -j"$jobs"

host=${LINUX_BUILD:-}
if [ -z "$host" ]; then
  host="$top/build-test"
  if [ ! -x "$host/invoice_system_tests" ] || [ ! -x "$host/invoice-converter" ]; then
    host="$top/build-windows-host"
    step "Linux build to compare with"
    cmake -S "$top" -B "$host" -DINVOICE_WERROR=ON >/dev/null
    cmake --build "$host" -j"$jobs" --target invoice-converter invoice_system_tests
  fi
fi
step "end-to-end tests: the .exe under Wine beside the Linux build"
INVOICE_WINDOWS_PROGRAM="$build/invoice-converter.exe" INVOICE_WINE="$wine" \
  "$host/invoice_system_tests" --gtest_filter='WindowsProgramTest.*' "$(gtest_report wine-end-to-end)"

step "zip"
rm -f "$build"/invoice-converter-*-windows-x86_64.zip
(cd "$build" && cpack -G ZIP >/dev/null)
zip=$(echo "$build"/invoice-converter-*-windows-x86_64.zip)
top_folder=$(basename "$zip" .zip)
listing=$(python3 -c 'import sys, zipfile; print("\n".join(zipfile.ZipFile(sys.argv[1]).namelist()))' "$zip")
echo "$listing"
for file in invoice-converter.exe README.md LICENSE; do
  grep -qx "$top_folder/$file" <<<"$listing" || { echo "$zip lacks $file" >&2; exit 1; }
done
list_skipped_tests
step "Windows build and tests passed"
