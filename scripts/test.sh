#!/usr/bin/env bash
# From a fresh Debian 12 or 13 machine (scripts/test-on.sh trixie makes one
# and runs this there): installs what is missing, builds, checks
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
# Every hardening that Debian's hardening=+all asks for, where this platform
# can have it. A program shows control flow integrity (x86's IBT/SHSTK) or
# branch protection (AArch64's BTI/PAC) only if every object linked into it
# carries the feature's note, the C library's start files too; Debian 12's
# and 13's amd64 start files carry none, so no program linked there can show
# it, although ours are compiled with -fcf-protection. Debian 12's
# hardening-check knows no branch protection.
crt_notes=$(readelf -n "$(cc -print-file-name=Scrt1.o)" "$(cc -print-file-name=crti.o)" 2>&1 || true)
hardening_skips=()
grep -q 'x86 feature: IBT, SHSTK' <<<"$crt_notes" || hardening_skips+=(--nocfprotection)
if grep -q nobranchprotection "$(command -v hardening-check)" &&
  ! grep -q 'AArch64 feature: BTI, PAC' <<<"$crt_notes"; then
  hardening_skips+=(--nobranchprotection)
fi
hardening-check "${hardening_skips[@]}" build/default/app/qj570-rs232 \
  build/default/tools/qj570-virtual-printer

win32_note=""
if [ "${QJ570_WINE_64_ONLY:-0}" = 1 ]; then
  win32_note="QJ570_WINE_64_ONLY=1 was set"
elif [ ! -e /usr/lib/wine/wine ]; then
  win32_note="wine32 is not installed (this machine's package registry has no i386 packages)"
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
