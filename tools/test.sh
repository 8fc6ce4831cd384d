#!/usr/bin/env bash
# Sets up a Debian 12 machine, builds the project three times (a normal build, one
# under AddressSanitizer + UndefinedBehaviorSanitizer, and the libFuzzer targets
# with clang) and runs every test.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)

bash "$root/tools/setup.sh"

run_suite() {
  local dir=$1; shift
  cmake -S "$root" -B "$dir" "$@"
  cmake --build "$dir" -j "$jobs"
  (cd "$dir" && ctest --output-on-failure -j "$jobs")
}

run_suite "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite "$root/build-sanitize" -DCMAKE_BUILD_TYPE=Debug -DTEVRA_SANITIZE=ON -DTEVRA_BUILD_BENCH=OFF
# Short libFuzzer runs of the screen and the settings file (clang; core and store only).
run_suite "$root/build-fuzz" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang -DTEVRA_FUZZ=ON
