#!/usr/bin/env bash
# After a message in the code changes: the template anew from the code, and
# po/zh_TW.po merged with it. Then translate what msgfmt --statistics finds
# untranslated or fuzzy, with the words of po/GLOSSARY.md.
set -euo pipefail
cd "$(dirname "$0")/.."
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# Sorted by msgcat: the --sort-output of xgettext and msgmerge is deprecated
# since gettext 0.23. The template says UTF-8, as its sources are.
xgettext --from-code=UTF-8 --language=C++ -kTr --package-name=qj570-rs232 \
  --package-version=1.0.0 --msgid-bugs-address=maintainers@qj570-rs232.invalid \
  --no-location -o "$tmp/template.pot" app/*.cc tools/virtual_printer.cc
msgcat --sort-output --to-code=UTF-8 -o po/qj570-rs232.pot "$tmp/template.pot"
msgmerge --quiet --no-location -o "$tmp/zh_TW.po" po/zh_TW.po po/qj570-rs232.pot
msgcat --sort-output -o po/zh_TW.po "$tmp/zh_TW.po"
msgfmt --check --statistics -o /dev/null po/zh_TW.po
