#!/usr/bin/env bash
# From a fresh Debian 12 or 13 desktop: installs what is missing, builds the
# program and starts it on the current display. Serial port 1 is /dev/ttyS0
# (see docs/user-guide.md for another device, or for no printer at all).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh run
cmake --preset app
cmake --build --preset app -j "$(nproc)"
exec build/app/app/qj570-rs232 "$@"
