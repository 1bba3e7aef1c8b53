#!/usr/bin/env bash
# clang-format and clang-tidy over our own sources (not the generated table).
#   lint.sh BUILD_DIR   (a build with compile_commands.json)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
mapfile -t sources < <(git ls-files '*.cc' '*.h' | grep -v '_table\.cc$')
clang-format --dry-run --Werror "${sources[@]}"
# Debian 12's clang-format 14 and Debian 13's 19 space `struct stat st {};`
# each its own way, so that one form fails on the other release; both leave
# `struct stat st = {};` as it is.
if git grep -nE '^\s*(const )?struct \w+ \w+ ?\{' -- "${sources[@]}" | grep -vE 'struct \w+ final'; then
  echo "lint: write such a variable as 'struct stat st = {};': clang-format 14 and 19" \
    "format 'struct stat st {};' differently" >&2
  exit 1
fi
# The Win32 files build only with the Windows headers of the cross build.
mapfile -t units < <(printf '%s\n' "${sources[@]}" | grep '\.cc$' | grep -v '_win32\.cc$')
if ! out=$(clang-tidy -p "$build" --quiet "${units[@]}" 2>&1); then
  printf '%s\n' "$out" | grep -v 'warnings generated'
  exit 1
fi
echo "lint: clean"
