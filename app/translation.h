#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

// Every sentence a person reads goes through here, in English or in
// Traditional Chinese (Taiwan). Linux uses GNU gettext (text domain
// qj570-rs232, catalogues built from po/ by msgfmt); Windows carries the
// same translations, built from the same po/zh_TW.po, in the program.
namespace qj570::app {

// Run first: the user's locale (LANGUAGE, LC_ALL, LC_MESSAGES, LANG on
// Linux; the user's UI language on Windows) and the catalogue.
void SetUpLanguage();

// `msgid` in the user's language; itself where there is no translation.
// xgettext finds the calls by this name.
const char* Tr(const char* msgid);

// `pattern` with {0}, {1} ... replaced by `args`: a translation may put
// them in another order. Each argument is shown as VisibleText shows it:
// every name from outside (a device, a USB string, a program, a file)
// reaches a message through here, so none of them can act on a terminal.
std::string Format(std::string_view pattern, std::initializer_list<std::string_view> args);

// Two sentences as one text, either of which may be "": texts the program
// made, whose names from outside Format has already shown, so that their
// own line breaks stay. A first that ends in a command (or a path, or a
// rule), not in punctuation, ends its line: run into the next sentence, the
// command could not be copied. A heading that ends in a colon does not.
std::string JoinSentences(const std::string& first, const std::string& second);

// "a, b, c" in English, "a、b、c" in Chinese.
std::string ListOf(const std::vector<std::string>& items);

}  // namespace qj570::app
