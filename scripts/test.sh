#!/usr/bin/env bash
# From a fresh Debian 12 machine: installs what is missing, builds, checks
# formatting and clang-tidy, and runs every test, in a release build and
# again under AddressSanitizer and UndefinedBehaviorSanitizer, and the 32-bit
# Windows program under Wine; then makes the .deb and checks that apt would
# install it. The end-to-end tests need root (a private mount namespace); as
# a user they are skipped.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh test

presets=(default sanitize windows-x86)
for preset in "${presets[@]}"; do
  cmake --preset "$preset"
  cmake --build --preset "$preset" -j "$(nproc)"
done
scripts/lint.sh build/default
for preset in "${presets[@]}"; do
  ctest --preset "$preset"
done

# The .deb must be one that apt accepts.
cpack --preset default
apt-get install --simulate ./build/default/qj570-rs232_*_"$(dpkg --print-architecture)".deb
