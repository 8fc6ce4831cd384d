# Sourced by tools/run.sh just before it starts the program in place of its
# own shell (exec keeps the process id, $$). When the chosen COM port has no
# device to open (no Ports value; the default device missing or a ttyS*, the
# system console here), a simulated line takes its place for as long as the
# program runs: tevra-linesim maps the port to a pseudo-terminal, answers each
# line typed, and puts the settings back when the program ends.
cmake --build "$root/build" -j "$(nproc)" --target tevra-linesim >/dev/null
linesim_log=$(mktemp "${TMPDIR:-/tmp}/tevra-linesim.XXXXXX")
"$root/build/tools/tevra-linesim" --only-if-unconfigured --stop-with $$ >"$linesim_log" 2>&1 &
linesim_pid=$!
for _ in $(seq 200); do  # until the mapping is written (or nothing is needed)
  if [[ -s "$linesim_log" ]] || ! kill -0 "$linesim_pid" 2>/dev/null; then break; fi
  sleep 0.05
done
head -n 1 "$linesim_log" >&2
rm -f "$linesim_log"  # the simulator writes on to the unlinked file
unset linesim_log linesim_pid
