#!/bin/bash
# Runs COMMAND with Wine ready, inside the serial-device guard (guard.sh):
# a private Xvfb is started (DISPLAY), the prefix PREFIX is made once
# (wineboot -i; windows get a caption and close quickly without a window
# manager), a persistent wineserver is started and one program run first (a
# fresh server otherwise stalls the first programs started in parallel; and
# Wine's desktop process, started by that first program, needs the display),
# then COMMAND runs; the server and the X server are stopped at the end,
# however COMMAND ends.
#
#   tools/wine/session.sh PREFIX COMMAND [ARG...]
#
# COMMAND is stopped after TEVRA_WINE_TIMEOUT seconds (300 by default).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

if [[ $# -lt 2 ]]; then
  echo "usage: $0 PREFIX COMMAND [ARG...]" >&2
  exit 2
fi
if [[ "${1:-}" != "--inside" ]]; then
  mkdir -p "$1"
  WINEPREFIX=$(cd "$1" && pwd)
  export WINEPREFIX
  shift
  exec "$here/guard.sh" "$0" --inside "$@"
fi
shift
for node in /dev/ttyS* /dev/ttyUSB* /dev/ttyACM*; do
  if [[ -e "$node" && "$(stat -L -c '%t:%T' "$node")" != "1:3" ]]; then
    echo "session: $node is not covered by /dev/null; run through $0 PREFIX, not --inside" >&2
    exit 3
  fi
done

export WINEDEBUG=${WINEDEBUG:--all}
# No offer to install Mono or Gecko: nothing here needs them.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
export WINEARCH=win64

if [[ ! -f "$WINEPREFIX/system.reg" ]]; then
  echo "session: making the Wine prefix $WINEPREFIX" >&2
  timeout 300 wineboot -i
  for value in Managed Decorated; do
    timeout 60 wine reg add 'HKCU\Software\Wine\X11 Driver' /v "$value" /d N /f >/dev/null
  done
  timeout 60 wineserver -w
fi

display_file=$(mktemp)
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$display_file" >/dev/null 2>&1 &
xvfb=$!
# The server is waited for: the next session's programs must not meet a server on its way out.
trap 'wineserver -k >/dev/null 2>&1 || true; timeout 30 wineserver -w >/dev/null 2>&1 || true; kill "$xvfb" 2>/dev/null || true; rm -f "$display_file"' EXIT
for _ in $(seq 100); do
  [[ -s "$display_file" ]] && break
  sleep 0.1
done
if [[ ! -s "$display_file" ]]; then
  echo "session: Xvfb did not start" >&2
  exit 1
fi
export DISPLAY=":$(tr -d '[:space:]' < "$display_file")"

wineserver -p
timeout 60 wine cmd /c exit
# Bounded: a hang fails the run, and the servers still go.
timeout "${TEVRA_WINE_TIMEOUT:-300}" "$@"
