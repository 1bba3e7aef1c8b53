#!/usr/bin/env bash
# After a message in the code changes: the template anew from the code, and
# po/zh_TW.po merged with it. Then translate what msgfmt --statistics finds
# untranslated or fuzzy, with the words of po/GLOSSARY.md.
set -euo pipefail
cd "$(dirname "$0")/.."
xgettext --from-code=UTF-8 --language=C++ -kTr --package-name=qj570-rs232 \
  --package-version=1.0.0 --msgid-bugs-address=maintainers@qj570-rs232.invalid \
  --no-location --sort-output -o po/qj570-rs232.pot app/*.cc tools/virtual_printer.cc
msgmerge --quiet --no-location --sort-output -o po/zh_TW.po po/zh_TW.po po/qj570-rs232.pot
msgfmt --check --statistics -o /dev/null po/zh_TW.po
