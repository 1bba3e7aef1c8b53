#!/usr/bin/env bash
# The translations are complete: every message in the code (extracted here
# with xgettext, as for the template) has a Traditional Chinese translation
# in po/zh_TW.po, none untranslated, none fuzzy; and the committed template
# holds the code's messages, no more and no fewer. Messages are compared,
# not the layout, which differs between gettext releases.
set -euo pipefail
cd "$(dirname "$0")/.."
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
xgettext --from-code=UTF-8 --language=C++ -kTr --package-name=qj570-rs232 \
  --package-version=1.0.0 --msgid-bugs-address=maintainers@qj570-rs232.invalid \
  --no-location -o "$tmp/qj570-rs232.pot" app/*.cc tools/virtual_printer.cc
msgcmp --no-fuzzy-matching po/zh_TW.po "$tmp/qj570-rs232.pot"
statistics=$(msgfmt --check --statistics -o /dev/null po/zh_TW.po 2>&1)
echo "zh_TW: $statistics"
if grep -qE "untranslated|fuzzy" <<<"$statistics"; then
  echo "po/zh_TW.po has messages without a translation" >&2
  exit 1
fi
if ! msgcmp --no-fuzzy-matching --use-untranslated po/qj570-rs232.pot "$tmp/qj570-rs232.pot" ||
  ! msgcmp --no-fuzzy-matching --use-untranslated "$tmp/qj570-rs232.pot" po/qj570-rs232.pot; then
  echo "po/qj570-rs232.pot is out of date: run scripts/update-po.sh" >&2
  exit 1
fi
