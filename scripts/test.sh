#!/usr/bin/env bash
# From a fresh Debian 12 machine: installs what is missing, builds, checks
# formatting and clang-tidy, and runs every test, in a release build and
# again under AddressSanitizer and UndefinedBehaviorSanitizer; the Windows
# program's tests (under Wine); then makes the .deb and checks it with
# lintian and apt. The end-to-end tests need root (a private mount
# namespace); as a user they are skipped.
#
# The 32-bit Windows program's Wine tests run where this machine can run a
# 32-bit program (decided by trying the 32-bit Wine loader);
# QJ570_WINE_64_ONLY=1 skips them even there. The 64-bit program's Wine
# tests run everywhere.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS
scripts/install-deps.sh test

presets=(default sanitize windows-x86 windows-x64)
for preset in "${presets[@]}"; do
  cmake --preset "$preset"
  cmake --build --preset "$preset" -j "$(nproc)"
done
scripts/lint.sh build/default
desktop-file-validate app/qj570-rs232.desktop
appstreamcli validate --no-net packaging/qj570-rs232.metainfo.xml
# Every hardening that Debian's hardening=+all asks for, but control flow
# integrity: Debian 12's own start files (Scrt1.o, crti.o) carry no IBT/SHSTK
# note, so no program linked here can show it, although ours are compiled
# with -fcf-protection.
hardening-check --nocfprotection build/default/app/qj570-rs232 \
  build/default/tools/qj570-virtual-printer

win32_note=""
if [ "${QJ570_WINE_64_ONLY:-0}" = 1 ]; then
  win32_note="QJ570_WINE_64_ONLY=1 was set"
elif ! out=$(/usr/lib/wine/wine --version 2>&1); then
  win32_note="this machine runs no 32-bit programs (/usr/lib/wine/wine: ${out##*: })"
fi

timings=()
run_tests() {  # PRESET [CTEST ARGS...]
  local t0=$SECONDS
  ctest --preset "$@"
  timings+=("$1: $((SECONDS - t0)) s")
}
run_tests default
run_tests sanitize
run_tests windows-x64
if [ -z "$win32_note" ]; then
  run_tests windows-x86
else
  run_tests windows-x86 -LE wine
fi

# The .deb must be one that lintian and apt accept.
cpack --preset default
deb=$(ls build/default/qj570-rs232_*_"$(dpkg --print-architecture)".deb)
lintian --fail-on error "$deb"
apt-get install --simulate "./$deb" >/dev/null

echo
echo "Test times: ${timings[*]}; all: $((SECONDS - started)) s"
if [ -z "$win32_note" ]; then
  echo "Windows: the 32-bit and the 64-bit program ran under Wine."
else
  echo "Windows: the 64-bit program ran under 64-bit Wine; the 32-bit program was checked" \
    "as built but not run under Wine: $win32_note."
fi
