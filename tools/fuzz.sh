#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into build-fuzz/ and runs each one
# for a while, then prints how many inputs it ran and the coverage it reached.
#
#   tools/fuzz.sh [seconds per target, default 600] [target ...]
#
# Inputs that found new coverage are kept in build-fuzz/tests/fuzz/corpus/<target>,
# so a later run starts where this one stopped; an input that breaks a target is
# written next to it as <target>-crash-... (add it to tests/fuzz/corpus/<target>).
# To replay one input: build-fuzz/tests/fuzz/<target> FILE
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-fuzz
seconds=${1:-600}
shift || true
targets=("$@")
((${#targets[@]})) || targets=(screen_fuzz store_fuzz)

cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang -DTEVRA_FUZZ=ON >/dev/null
cmake --build "$build" -j 2 --target "${targets[@]}"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
fuzz=$build/tests/fuzz
status=0
summary=()
for target in "${targets[@]}"; do
  found=$fuzz/corpus/$target
  mkdir -p "$found"
  options=(-max_total_time="$seconds" -timeout=10 -print_final_stats=1 -artifact_prefix="$fuzz/$target-")
  [[ -f $root/tests/fuzz/$target.dict ]] && options+=(-dict="$root/tests/fuzz/$target.dict")
  log=$fuzz/$target.log
  echo "fuzz: $target for ${seconds}s (log: $log)"
  if "$fuzz/$target" "${options[@]}" "$found" "$root/tests/fuzz/corpus/$target" >"$log" 2>&1; then
    result=ok
  else
    result="FAILED (see $log)"
    status=1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  coverage=$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -n 1)
  summary+=("$target: $result, ${runs:-?} inputs run, ${coverage:-no coverage line}")
done
printf '%s\n' "${summary[@]}"
exit "$status"
