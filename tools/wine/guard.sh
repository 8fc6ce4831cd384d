#!/bin/bash
# Runs a command in a private mount namespace in which every serial device
# node of this machine (/dev/ttyS*, /dev/ttyUSB*, /dev/ttyACM*) is /dev/null,
# so nothing started under it, Wine included, can reach a real line: Wine maps
# every /dev/ttyS* to some COM port whatever its registry says, and
# /dev/ttyS0 may be the system console. Aborts, running nothing, unless every
# node is covered. Needs root (unshare -m): without it, exits 77 (skipped).
#
#   tools/wine/guard.sh COMMAND [ARG...]
set -euo pipefail

if [[ $# -eq 0 ]]; then
  echo "usage: $0 COMMAND [ARG...]" >&2
  exit 2
fi

own_namespace=$(readlink /proc/self/ns/mnt)
if [[ "${TEVRA_GUARD_OUTER_NS:-}" == "" ]]; then
  if [[ $(id -u) -ne 0 ]]; then
    echo "guard: needs root for a private mount namespace; nothing run" >&2
    exit 77
  fi
  export TEVRA_GUARD_OUTER_NS="$own_namespace"
  exec unshare --mount --propagation private -- "$0" "$@"
fi

if [[ "$TEVRA_GUARD_OUTER_NS" == "$own_namespace" ]]; then
  echo "guard: not in a private mount namespace; not starting $1" >&2
  exit 3
fi
unset TEVRA_GUARD_OUTER_NS

serial_nodes() {
  local node
  for node in /dev/ttyS* /dev/ttyUSB* /dev/ttyACM*; do
    [[ -e "$node" ]] && echo "$node"
  done
  return 0
}

while read -r node; do
  mount --bind /dev/null "$node"
done < <(serial_nodes)

# Checked after all the mounts, over a fresh listing, so a node that appeared
# meanwhile stops the run too.
while read -r node; do
  if [[ "$(stat -L -c '%t:%T' "$node")" != "1:3" ]]; then
    echo "guard: $node is not covered by /dev/null; not starting $1" >&2
    exit 3
  fi
done < <(serial_nodes)

# A Wine program talks to the wineserver of its prefix, which opens devices
# for it: one already running for this prefix must see covered nodes too.
if [[ -n "${WINEPREFIX:-}" ]]; then
  for pid in $(pgrep -x wineserver || true); do
    prefix=$(tr '\0' '\n' < "/proc/$pid/environ" 2>/dev/null | sed -n 's/^WINEPREFIX=//p')
    [[ "$prefix" == "$WINEPREFIX" ]] || continue
    for node in /proc/"$pid"/root/dev/ttyS* /proc/"$pid"/root/dev/ttyUSB* /proc/"$pid"/root/dev/ttyACM*; do
      [[ -e "$node" ]] || continue
      if [[ "$(stat -L -c '%t:%T' "$node")" != "1:3" ]]; then
        echo "guard: wineserver $pid of this prefix sees a real ${node#/proc/"$pid"/root}; not starting $1" >&2
        exit 3
      fi
    done
  done
fi

exec "$@"
