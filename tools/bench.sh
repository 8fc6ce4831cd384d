#!/usr/bin/env bash
# Builds and runs the benchmarks: the Google Benchmark programs (bench/*_bench)
# and the end-to-end measurements of the real program, under Xvfb, on a
# simulated line (bench/e2e/e2e.py with tools/linesim). Results go to
# build/bench-results/<time>/ (JSON) and to the terminal (tables).
#   TEVRA_BENCH_REPS=3       repetitions of each end-to-end scenario
#   TEVRA_BENCH_PEERS=1      also install other serial terminals (below) and
#                            measure side by side with them (needs peerbench:
#                            PEERBENCH=/path/to/peerbench)
#   TEVRA_BUILD_DIR=dir      build directory (default build/)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TEVRA_BUILD_DIR:-$root/build}
out=${TEVRA_BENCH_OUT:-$build/bench-results/$(date +%Y%m%d-%H%M%S)}
reps=${TEVRA_BENCH_REPS:-3}

# Optional peers for the side-by-side only; the test setup never needs them.
OPTIONAL_PEERS=(gtkterm cutecom picocom)

bash "$root/tools/setup.sh"
if [[ ${TEVRA_BENCH_PEERS:-0} == 1 ]]; then
  missing=()
  for package in "${OPTIONAL_PEERS[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$package")
  done
  if ((${#missing[@]})); then
    sudo_cmd=()
    [[ $(id -u) -ne 0 ]] && sudo_cmd=(sudo)
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
fi

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTEVRA_BUILD_BENCH=ON -DTEVRA_BUILD_APP=ON
benches=()
for source in "$root"/bench/*_bench.cpp; do
  benches+=("$(basename "$source" .cpp)")
done
cmake --build "$build" -j "$(nproc)" --target "${benches[@]}" tevra-terminal tevra-linesim

mkdir -p "$out"
for bench in "${benches[@]}"; do
  echo "== $bench"
  "$build/bench/$bench" --benchmark_out="$out/$bench.json" --benchmark_out_format=json
done

echo "== end to end (tevra-terminal under Xvfb on tevra-linesim; $reps repetitions)"
python3 "$root/bench/e2e/e2e.py" --program "$build/app/tevra-terminal" \
  --linesim "$build/tools/tevra-linesim" -r "$reps" --work "$out/e2e-work" \
  -o "$out/e2e.jsonl" | tee "$out/e2e.md"

if [[ ${TEVRA_BENCH_PEERS:-0} == 1 ]]; then
  echo "== side by side with other terminals"
  bash "$root/bench/e2e/peers.sh" "$build/app/tevra-terminal" "$out/peers"
fi
echo "bench: results in $out"
