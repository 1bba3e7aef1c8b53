#!/usr/bin/env bash
# Installs what building, running and testing need on Debian 12.
#   install-deps.sh run    the program: compiler, CMake, FLTK
#   install-deps.sh test   all that, and the test and lint tools
set -euo pipefail
what=${1:-test}
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

run_pkgs=(build-essential cmake perl python3 libfltk1.3-dev libx11-dev libxext-dev libxft-dev
  libxinerama-dev libxcursor-dev libxfixes-dev libxrender-dev libfontconfig-dev)
test_pkgs=(libgtest-dev libgmock-dev python3-serial python3-tk python3-xlib clang-format clang-tidy
  xvfb xauth xdotool imagemagick dpkg-dev util-linux)

pkgs=("${run_pkgs[@]}")
[ "$what" = run ] || pkgs+=("${test_pkgs[@]}")

missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
