"""Writes the translations of a .po file as a C++ table, for the Windows
program, which carries them instead of a gettext catalogue.

    po_table.py zh_TW.po OUTPUT.cc

Untranslated and fuzzy messages are left out, as msgfmt leaves them out."""
import sys


def unquote(text):
    """The C string literal `text` (with its quotes), as bytes."""
    body = text.strip()[1:-1].encode("utf-8")
    return body.decode("unicode_escape").encode("latin-1")


def messages(po):
    """(msgid, msgstr) of each translated, not fuzzy, message."""
    entries, entry, field, fuzzy = [], {}, None, False
    for line in open(po, encoding="utf-8").read().splitlines() + [""]:
        if not line.strip():
            if entry.get("msgid") and entry.get("msgstr") and not fuzzy:
                entries.append((entry["msgid"], entry["msgstr"]))
            entry, field, fuzzy = {}, None, False
        elif line.startswith("#,") and "fuzzy" in line:
            fuzzy = True
        elif line.startswith(("msgid ", "msgstr ")):
            field, rest = line.split(" ", 1)
            entry[field] = unquote(rest)
        elif line.startswith('"') and field:
            entry[field] += unquote(line)
    return sorted(entries)


def literal(data):
    """A C++ literal of `data`, in octal escapes where it is not plain ASCII."""
    out = []
    for byte in data:
        char = chr(byte)
        if char in '"\\':
            out.append("\\" + char)
        elif 0x20 <= byte < 0x7F:
            out.append(char)
        else:
            out.append(f"\\{byte:03o}")
    return '"' + "".join(out) + '"'


def main():
    po, output = sys.argv[1], sys.argv[2]
    rows = "".join(f"    {{{literal(i)},\n     {literal(s)}}},\n" for i, s in messages(po))
    with open(output, "w", encoding="ascii") as f:
        f.write(f"// Made from {po.rsplit('/', 1)[-1]} by tools/po_table.py; do not edit.\n"
                '#include "app/catalogue.h"\n\nnamespace qj570::app {\n\n'
                "// Sorted by msgid, byte by byte.\n"
                f"const CatalogueEntry kTraditionalChinese[] = {{\n{rows}}};\n"
                "const std::size_t kTraditionalChineseSize =\n"
                "    sizeof(kTraditionalChinese) / sizeof(kTraditionalChinese[0]);\n\n"
                "}  // namespace qj570::app\n")


if __name__ == "__main__":
    main()
