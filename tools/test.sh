#!/usr/bin/env bash
# Sets up a Debian 12 machine, then runs CMake's workflow presets (CMakePresets.json)
# one after the other, stopping at the first that fails:
#   default   RelWithDebInfo build in build/, every test
#   sanitize  Debug build under AddressSanitizer + UndefinedBehaviorSanitizer in build-sanitize/
#   fuzz      the libFuzzer targets with clang, short runs, in build-fuzz/
#   windows   the MinGW-w64 cross build of the Windows program in build-windows/, its
#             black-box tests under Wine (inside a guard that hides every serial device)
# Each workflow configures, builds and tests; the time each took is printed at the end.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

bash "$root/tools/setup.sh"

# Build and test presets name no job count: these set it for every stage.
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}
export CTEST_PARALLEL_LEVEL=${CTEST_PARALLEL_LEVEL:-$(nproc)}

workflows=(default sanitize fuzz windows)

timings=()
report_timings() {
  ((${#timings[@]})) && printf 'test.sh: %s\n' "${timings[@]}"
  return 0
}
trap report_timings EXIT

cd "$root"
for workflow in "${workflows[@]}"; do
  started=$SECONDS
  echo "test.sh: workflow $workflow"
  # The sanitize preset sets ASAN_OPTIONS and UBSAN_OPTIONS for its build and tests.
  if ! cmake --workflow --preset "$workflow"; then
    timings+=("$workflow FAILED after $((SECONDS - started)) s")
    exit 1
  fi
  timings+=("$workflow $((SECONDS - started)) s")
done
