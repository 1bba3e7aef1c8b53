#!/usr/bin/env bash
# clang-format and clang-tidy over our own sources (not the generated table).
#   lint.sh BUILD_DIR   (a build with compile_commands.json)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
mapfile -t sources < <(git ls-files '*.cc' '*.h' | grep -v '_table\.cc$')
clang-format --dry-run --Werror "${sources[@]}"
# The Win32 files build only with the Windows headers of the cross build.
mapfile -t units < <(printf '%s\n' "${sources[@]}" | grep '\.cc$' | grep -v '_win32\.cc$')
if ! out=$(clang-tidy -p "$build" --quiet "${units[@]}" 2>&1); then
  printf '%s\n' "$out" | grep -v 'warnings generated'
  exit 1
fi
echo "lint: clean"
