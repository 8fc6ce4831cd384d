#!/usr/bin/env bash
# Side by side with other serial terminals, through the peer comparison
# harness (peerbench, kept outside this repository; its README says how it
# measures). Runs our program with capture off and with capture on, each
# within one invocation next to the same peers, so each table shares its load;
# then line-to-screen latency and CPU at device rates (latency.py) next to GTKTerm.
#   bench/e2e/peers.sh PROGRAM OUTDIR      (PEERBENCH=dir of peerbench.py)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
program=$(realpath "$1")
out=$(realpath -m "$2")
peerbench=${PEERBENCH:-/work/shared/peerbench}
reps=${PEERS_REPS:-3}
size=${PEERS_SIZE:-64M}
if [[ ! -x "$peerbench/peerbench.py" ]]; then
  echo "peers: no peerbench in $peerbench (set PEERBENCH): side-by-side skipped" >&2
  exit 0
fi
mkdir -p "$out"
peers=()
for peer in gtkterm cutecom picocom; do
  command -v "$peer" >/dev/null && peers+=(-t "$peer")
done

export PB_WORK=${PB_WORK:-$out/work}
export PB_OURS_BIN=$program
export PB_OURS_SETTINGS=".config/Tevra Laboratory/Orbel Software/Terminal.conf"
cd "$peerbench"  # it is run from its own folder and writes only to PB_WORK and -o

PB_OURS_TEMPLATE=$here/ours.conf.in PB_OURS_CAPTURE=0 \
  ./peerbench.py run -t ours "${peers[@]}" -t read-511 -t ceiling-c \
  -s "flood:text:$size" -s idle:10 -r "$reps" -o "$out/capture-off.jsonl"
PB_OURS_TEMPLATE=$here/ours-capture.conf.in \
  ./peerbench.py run -t ours "${peers[@]}" -t model-511 \
  -s "flood:text:$size" -r "$reps" -o "$out/capture-on.jsonl"

# Line-to-screen latency (idle line, 100 KB/s stream) and CPU per MB at the
# rates devices send, next to the X11 peers.
x11peers=()
command -v gtkterm >/dev/null && x11peers+=(-t gtkterm)
rm -f "$out/latency.jsonl"
"$here/latency.py" --peerbench "$peerbench" --ours ours="$program" "${x11peers[@]}" \
  --samples "${PEERS_LATENCY_SAMPLES:-300}" -o "$out/latency.jsonl" >/dev/null ||
  echo "peers: some latency or CPU measurements failed (listed in the summary)" >&2

{
  echo "## Capture off (ours), peers as their targets run them"
  ./peerbench.py summarize "$out/capture-off.jsonl"
  echo
  echo "## Capture on (ours: TermCapture=1)"
  ./peerbench.py summarize "$out/capture-on.jsonl"
  echo
  echo "## Latency and CPU at device rates"
  "$here/latency.py" --peerbench "$peerbench" --summarize "$out/latency.jsonl"
} | tee "$out/summary.md"
