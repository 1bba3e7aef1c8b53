#!/usr/bin/env bash
# Installs what building, running and testing need on Debian 12 (bookworm)
# or 13 (trixie).
#   install-deps.sh run    the program and its .deb: compiler, CMake, FLTK
#   install-deps.sh test   all that, and the test and lint tools
#
# The packages named here are named alike on both releases. Those that are
# not, the libraries' run-time packages (libicu72 and libicu76, libfltk1.3
# and libfltk1.3t64, libpng16-16 and libpng16-16t64), come with the -dev
# packages, and the .deb's dependencies are worked out at build time.
# Debian 13 brings clang-format and clang-tidy 19 (12: 14), gettext 0.23
# (0.21), appstream 1.0 (0.16) and Wine 10 (8); the checks accept either.
set -euo pipefail
what=${1:-test}
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
release=$(. /etc/os-release && echo "${ID:-}-${VERSION_CODENAME:-}")
case "$release" in
  debian-bookworm | debian-trixie) ;;
  *) echo "install-deps.sh: tried on Debian 12 and 13 only; this is $release: going on" >&2 ;;
esac

# fonts-noto-cjk: Taiwan's glyph forms, for the error box (Noto Sans CJK TC)
# and the receipt's picture (Noto Sans Mono CJK TC, on the printer's grid);
# libicu-dev: the box's lines break by Unicode's rules; fontconfig finds the
# fonts, FreeType draws the picture and libpng writes it.
run_pkgs=(build-essential cmake perl python3 file gettext libfltk1.3-dev libx11-dev libxext-dev libxft-dev
  libxinerama-dev libxcursor-dev libxfixes-dev libxrender-dev libfontconfig-dev libicu-dev libfreetype-dev libpng-dev
  fonts-noto-cjk)
test_pkgs=(libgtest-dev libgmock-dev python3-serial python3-tk python3-xlib clang-format clang-tidy
  xvfb xauth xdotool x11-xserver-utils imagemagick dpkg-dev util-linux lintian desktop-file-utils icoutils
  qemu-system-x86 busybox-static devscripts appstream locales libc-l10n)

# The Windows program, 32-bit (the one we ship) and 64-bit: cross-compiled,
# checked as built, and tested under Wine. On amd64 the i386 architecture is
# enabled for wine32, which then installs even where the kernel will not run
# it (scripts/test.sh finds out); where the registry has no i386 packages,
# or on another architecture, the 32-bit program is built but not run.
windows_pkgs=(g++-mingw-w64-i686 binutils-mingw-w64-i686 g++-mingw-w64-x86-64-posix
  binutils-mingw-w64-x86-64 wine wine64)

pkgs=("${run_pkgs[@]}")
[ "$what" = run ] || pkgs+=("${test_pkgs[@]}")
if [ "$what" != run ] && [ "$(dpkg --print-architecture)" = amd64 ] &&
  ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi

# Prints the packages of "$@" that are not installed yet.
missing() {
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
  done
}

mapfile -t plain < <(missing "${pkgs[@]}")
windows=()
if [ "$what" != run ]; then
  dpkg --print-foreign-architectures | grep -qx i386 && windows_pkgs+=(wine32:i386)
  mapfile -t windows < <(missing "${windows_pkgs[@]}")
fi
if ((${#plain[@]} + ${#windows[@]})); then
  $sudo apt-get update -qq
fi
# wine32 where the registry has it for i386.
if ((${#windows[@]})) && [ "${windows[-1]}" = wine32:i386 ] &&
  ! apt-cache policy wine32:i386 | grep -q 'Candidate: [0-9]'; then
  echo "install-deps.sh: no wine32 for i386 in the package registry; the 32-bit Windows" \
    "program will be built but not run" >&2
  unset 'windows[-1]'
fi

if ((${#plain[@]})); then
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${plain[@]}"
fi
# Wine with its recommended libraries: its X11 driver loads several of them.
if ((${#windows[@]})); then
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${windows[@]}"
fi

# The tests read the program in Traditional Chinese (Taiwan), with the C
# library's own messages in it too (libc-l10n).
if [ "$what" != run ] && ! locale -a 2>/dev/null | grep -qix 'zh_TW.utf8'; then
  $sudo sed -i 's/^# *\(zh_TW.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  grep -qx 'zh_TW.UTF-8 UTF-8' /etc/locale.gen || echo 'zh_TW.UTF-8 UTF-8' | $sudo tee -a /etc/locale.gen >/dev/null
  $sudo locale-gen >/dev/null
fi
