#!/usr/bin/env bash
# Checks first, as it is quick, that every C++ file is formatted as
# .clang-format says. Then builds and runs every test: the test binary with
# warnings as errors, the same tests again under AddressSanitizer and
# UndefinedBehaviorSanitizer, each libFuzzer target for a bounded time
# (FUZZ_SECONDS, default 20), and the Debian package (built, linted,
# installed, tried and removed).
# Benchmarks are compiled, not run: they live under bench/ and are run by
# hand (see docs/performance.md). Installs the packages the tests need when
# they are missing (as root; otherwise names them and stops). Ends by listing
# every skipped test with its reason.
#
# usage: scripts/test.sh [--quick] [--no-windows]
#   --quick       only the build with warnings as errors and its tests
#   --no-windows  everything but the Windows build and its tests under Wine
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
jobs=${JOBS:-2}
fuzz_seconds=${FUZZ_SECONDS:-20}
quick=0
windows=1
for argument in "$@"; do
  case $argument in
    --quick) quick=1 ;;
    --no-windows) windows=0 ;;
    *) echo "usage: $0 [--quick] [--no-windows]" >&2 && exit 2 ;;
  esac
done
# shellcheck source=packages.sh
. "$top/scripts/packages.sh"
# shellcheck source=steps.sh
. "$top/scripts/steps.sh"
start_test_reports "$top/build-test/reports"

# Every Debian package the tests need. The clang runtime that the fuzz
# targets and sanitizers link is added to match the installed clang.
test_packages=(
  cmake g++ make           # the build
  libssl-dev               # SHA-256 of kept originals, from libcrypto
  libgtest-dev             # the tests
  libbenchmark-dev         # the benchmarks, compiled by the tests
  clang clang-format       # the fuzz targets, the format check
  tmux                     # the terminal tests
  groff-base man-db mandoc # the manual page checks
  dpkg-dev lintian         # the Debian package: its dependencies and lint
  xmlsec1 openssl          # signed invoices: a throwaway key, signing, verifying
  fuse3 python3-fusepy     # a pass-through FUSE file system for the flush test
  xfsprogs                 # an XFS image where kept originals share the invoice's blocks
)
clang_runtime=$(clang_runtime_package)
ensure_packages "${test_packages[@]}" ${clang_runtime:+"$clang_runtime"}

# The C++ files to check: those git tracks, or every one outside the build
# folders when this is not a git checkout.
cxx_sources() {
  if git -C "$top" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git -C "$top" ls-files -- '*.cc' '*.h'
  else
    (cd "$top" && find . -path './build*' -prune -o -type f \( -name '*.cc' -o -name '*.h' \) -print)
  fi
}

if [ "$quick" = 1 ]; then
  step "quick run: format check skipped"
elif command -v clang-format >/dev/null; then
  step "format ($(clang-format --version | head -n 1))"
  mapfile -t sources < <(cxx_sources)
  existing=()
  for file in "${sources[@]}"; do [ -f "$top/$file" ] && existing+=("$file"); done
  if [ "${#existing[@]}" -gt 0 ] &&
    ! (cd "$top" && clang-format --dry-run --Werror "${existing[@]}"); then
    echo "These files differ from .clang-format; run clang-format -i on them." >&2
    exit 1
  fi
else
  step "clang-format is not installed: format check skipped"
fi

# The ordering test reads the program's system calls through strace.
if ! command -v strace >/dev/null && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
  step "install strace for the ordering test"
  apt-get update -qq && apt-get install -y -qq strace >/dev/null
fi

step "build with warnings as errors"
cmake -S "$top" -B "$top/build-test" -DINVOICE_WERROR=ON -DINVOICE_BENCH=ON >/dev/null
cmake --build "$top/build-test" -j"$jobs"
step "tests"
run_ctest tests "$top/build-test" -j"$jobs"
# transcode uses the fastest kernel the processor has; run its tests once
# more through the portable one (the kernel tests run every kernel anyway).
step "transcoder tests with the portable kernel forced"
INVOICE_PORTABLE_KERNEL=1 run_ctest portable-kernel "$top/build-test" -j"$jobs" \
  -R '^(TranscodeTest|ConvertCodePageTest|Utf8KernelsTest)\.'
if [ "$quick" = 1 ]; then
  list_skipped_tests
  step "quick run passed (no sanitizers, fuzzing, package or Windows)"
  exit 0
fi

step "build with AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S "$top" -B "$top/build-sanitize" -DINVOICE_WERROR=ON -DINVOICE_SANITIZE=ON \
  -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$top/build-sanitize" -j"$jobs"
step "tests under the sanitizers"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  run_ctest sanitizers "$top/build-sanitize" -j"$jobs"

if command -v clang++ >/dev/null; then
  step "fuzz targets, ${fuzz_seconds}s each"
  CXX=clang++ cmake -S "$top" -B "$top/build-fuzz" -DINVOICE_FUZZ=ON -DBUILD_TESTING=OFF \
    -DINVOICE_WERROR=ON >/dev/null
  cmake --build "$top/build-fuzz" -j"$jobs"
  for target in "$top"/fuzz/*_fuzz.cc; do
    name=$(basename "$target" .cc)
    corpus=$(mktemp -d)
    extra=()
    [ -f "$top/fuzz/${name%_fuzz}.dict" ] && extra+=("-dict=$top/fuzz/${name%_fuzz}.dict")
    echo "-- $name"
    status=0
    # A single input that runs for 30 s is a hang, and a failure.
    "$top/build-fuzz/$name" -max_total_time="$fuzz_seconds" -timeout=30 -print_final_stats=1 \
      "${extra[@]}" "$corpus" > "$corpus.log" 2>&1 || status=$?
    grep -E '^stat::number_of_executed_units|ERROR|SUMMARY' "$corpus.log" || true
    if [ "$status" -ne 0 ]; then
      tail -n 60 "$corpus.log" >&2
      echo "$name failed with status $status" >&2
      exit 1
    fi
    rm -rf "$corpus" "$corpus.log"
  done
else
  step "clang++ is not installed: fuzz targets skipped"
fi
step "Debian package and installation"
"$top/scripts/check_package.sh" "$top/build-test"
if [ "$windows" = 1 ]; then
  LINUX_BUILD="$top/build-test" "$top/scripts/test_windows.sh"
else
  step "--no-windows: Windows build and tests skipped"
fi

list_skipped_tests
step "all tests passed"
