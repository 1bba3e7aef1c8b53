#!/usr/bin/env bash
# Makes every picture in docs/ from the real program, so that none goes
# stale: the end-to-end tests take them (the Linux program under Xvfb, the
# Windows one under Wine, each in a private /dev), and this copies those the
# README and docs/ show into docs/. As root, since the tests use unshare -m:
#   bash scripts/screenshots.sh
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" -ne 0 ]; then
  echo "screenshots.sh: run it as root: the tests need a private mount namespace" >&2
  exit 1
fi
shots=$(mktemp -d)
trap 'rm -rf "$shots"' EXIT

# The 64-bit Windows program: it runs under Wine on every machine, and looks
# as the 32-bit one does.
cmake --preset default >/dev/null
cmake --build --preset default -j2 --target qj570-rs232 virtual_printer catalogues >/dev/null
cmake --preset windows-x64 >/dev/null
cmake --build --preset windows-x64 -j2 --target qj570-rs232 >/dev/null

# The sample receipt as the printer prints it, drawn from its bytes: first,
# since the Windows program's picture is compared with it.
build/default/app/qj570-rs232 --preview docs/receipt.png
echo docs/receipt.png

QJ570_SCREENSHOTS=$shots /usr/bin/python3 tests/e2e/window_e2e_test.py \
  "$PWD/build/default/app/qj570-rs232" "$PWD/build/default/tools/qj570-virtual-printer"
QJ570_SCREENSHOTS=$shots /usr/bin/python3 tests/e2e/wine_e2e_test.py \
  "$PWD/build/windows-x64/app/qj570-rs232.exe" "$PWD/build/windows-x64/wineprefix" win64

# The pictures the README and docs/ show, one a line: the name the test gave it.
while read -r picture; do
  cp "$shots/$picture" "docs/$picture"
  echo "docs/$picture"
done <<'EOF'
form1.png
error-box.png
error-box-choice.png
error-box-choice-zh_TW.png
error-box-zh_TW.png
error-box-chinese-path.png
form1-win32.png
error-box-choice-win32.png
receipt-win32.png
EOF
