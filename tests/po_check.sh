#!/usr/bin/env bash
# The translations are complete: every message in the code (extracted here
# with xgettext, as for the template) has a Traditional Chinese translation
# in po/zh_TW.po, none untranslated, none fuzzy; and the committed template
# is the one the code gives.
set -euo pipefail
cd "$(dirname "$0")/.."
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
xgettext --from-code=UTF-8 --language=C++ -kTr --package-name=qj570-rs232 \
  --package-version=1.0.0 --msgid-bugs-address=maintainers@qj570-rs232.invalid \
  --no-location --sort-output -o "$tmp/qj570-rs232.pot" app/*.cc tools/virtual_printer.cc
msgcmp po/zh_TW.po "$tmp/qj570-rs232.pot"
statistics=$(msgfmt --check --statistics -o /dev/null po/zh_TW.po 2>&1)
echo "zh_TW: $statistics"
if grep -qE "untranslated|fuzzy" <<<"$statistics"; then
  echo "po/zh_TW.po has messages without a translation" >&2
  exit 1
fi
if ! diff <(grep -v POT-Creation-Date "$tmp/qj570-rs232.pot") \
  <(grep -v POT-Creation-Date po/qj570-rs232.pot) >/dev/null; then
  echo "po/qj570-rs232.pot is out of date: run scripts/update-po.sh" >&2
  exit 1
fi
