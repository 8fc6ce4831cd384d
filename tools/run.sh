#!/usr/bin/env bash
# Sets up a Debian 12 machine, builds the program in build/ and starts it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

bash "$root/tools/setup.sh"
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$root/build" -j "$(nproc)" --target tevra-terminal

# Hook: before the program starts, map a simulated line to the configured COM
# name when no device is configured (tools/linesim). It may export variables
# for the program; nothing happens when it is absent.
prepare_line=$root/tools/linesim/prepare-line.sh
if [[ -f "$prepare_line" ]]; then
  # shellcheck source=/dev/null
  source "$prepare_line"
fi

exec "$root/build/app/tevra-terminal" "$@"
