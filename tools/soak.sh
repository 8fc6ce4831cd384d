#!/usr/bin/env bash
# The long run of the reliability suite (tests/reliability): the same scenarios
# as in CI with bigger floods and more repetitions, several rounds over.
#
#   tools/soak.sh [build-dir] [rounds]
#
# build-dir defaults to build/ (configured and built here if needed), rounds to 3.
# Sizes can be overridden from the environment (the values below are the defaults):
#   TEVRA_FLOOD_MIB=64          flood into the program with capture on (CI: 8)
#   TEVRA_SMALL_FLOOD_KIB=4096  the flood the peak memory is compared against (CI: 1024)
#   TEVRA_SETTINGS_REPEATS=150  Settings, OK during a flood (CI: 25)
#   TEVRA_CAPTURE_FAULT_KIB=8192 traffic around each capture fault (CI: 512)
# A round runs every test; the soak stops after a round with a failure. The
# log of every test of every round is kept in <build-dir>/soak/. Measured figures (throughput, peak memory, CPU after a
# hang-up, boxes) are printed by the tests and summed up at the end.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
rounds=${2:-3}

export TEVRA_FLOOD_MIB=${TEVRA_FLOOD_MIB:-64}
export TEVRA_SMALL_FLOOD_KIB=${TEVRA_SMALL_FLOOD_KIB:-4096}
export TEVRA_SETTINGS_REPEATS=${TEVRA_SETTINGS_REPEATS:-150}
export TEVRA_CAPTURE_FAULT_KIB=${TEVRA_CAPTURE_FAULT_KIB:-8192}

if [[ ! -f $build/CMakeCache.txt ]]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTEVRA_BUILD_BENCH=OFF
fi
# Every test labelled "reliability" (tests/reliability), by its executable.
cmake --build "$build" -j 2 --target tevra-terminal tests-reliability
mapfile -t tests < <(ctest --test-dir "$build" -L '^reliability$' --show-only=json-v1 |
  python3 -c 'import json, sys
print("\n".join(sorted({test["command"][0] for test in json.load(sys.stdin)["tests"]})))')
if ((${#tests[@]} == 0)); then
  echo "soak: no test labelled reliability in $build" >&2
  exit 1
fi

logs=$build/soak
rm -rf "$logs"
mkdir -p "$logs"
failed=0
for round in $(seq 1 "$rounds"); do
  for executable in "${tests[@]}"; do
    test=$(basename "$executable")
    log=$logs/round$round-$test.log
    echo "round $round/$rounds: $test"
    # Straight from the executables: ctest's per-test time-out is sized for CI.
    if ! "$executable" --gtest_color=no >"$log" 2>&1; then
      grep -E '^\[  FAILED  \] [A-Za-z]|Failure' "$log" | sort -u || true
      echo "soak: $test failed in round $round; log: $log" >&2
      failed=1
    fi
  done
  # A round with a failure is the last: the next would only repeat it.
  [[ $failed == 0 ]] || break
done

echo "soak: figures"
grep -h -E '^(flood|CPU in|killed after|full file system|[0-9]+ reconnects)' "$logs"/round*.log | sort | uniq -c
if [[ $failed != 0 ]]; then
  echo "soak: FAILED" >&2
  exit 1
fi
echo "soak: $rounds round(s) passed"
