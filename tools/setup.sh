#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test, run and
# benchmark it. Safe to run again: it installs only what is missing.
set -euo pipefail

PACKAGES=(
  # build
  build-essential cmake pkg-config git
  # tests and benchmarks
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  # the Windows program (MinGW-w64 cross compiler, posix threads)
  g++-mingw-w64-x86-64-posix
  # the wxWidgets shell (GTK 3), the cairo surface its canvas paints from,
  # its font and the icons of its message boxes
  libwxgtk3.2-dev libcairo2-dev fonts-liberation adwaita-icon-theme
  # running the shell headless, under a window manager, driving it, looking at it
  xvfb xauth xdotool x11-utils imagemagick openbox
  # reading the screen's pixels (line-to-screen latency)
  python3-xlib
  # peer comparison; the real-driver test guest (tests/vm/vmrun.py)
  python3
  qemu-system-x86 busybox-static
  # the Windows program: tested under Wine
  wine wine64 fonts-wine
  # the Windows installer
  nsis
)

missing=()
for package in "${PACKAGES[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$package")
done

sudo_cmd=()
if [[ $(id -u) -ne 0 ]]; then
  sudo_cmd=(sudo)
fi

# The test guest's kernel is downloaded (not installed) by the tests: the
# package lists must know linux-image-amd64.
lists_known=1
apt-cache show linux-image-amd64 >/dev/null 2>&1 || lists_known=0

if ((${#missing[@]} == 0 && lists_known)); then
  echo "setup: all packages present"
  exit 0
fi
"${sudo_cmd[@]}" apt-get update -qq
if ((${#missing[@]} > 0)); then
  echo "setup: installing ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
