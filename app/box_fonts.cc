#include "app/box_fonts.h"

#include <string>
#include <string_view>

namespace qj570::app {
namespace {

const FcChar8* Bytes(const char* text) { return reinterpret_cast<const FcChar8*>(text); }

// What fontconfig would draw `name` with (as Xft asks it), if that font's
// family is `family`, or any family when `family` is empty, and it covers
// `language`.
bool Match(const char* name, const std::string& family, const char* language, std::string& found,
           FcCharSet*& characters) {
  FcPattern* pattern = FcNameParse(Bytes(name));
  if (pattern == nullptr) {
    return false;
  }
  FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
  FcDefaultSubstitute(pattern);
  FcResult result = FcResultNoMatch;
  FcPattern* match = FcFontMatch(nullptr, pattern, &result);
  FcPatternDestroy(pattern);
  FcChar8* got = nullptr;
  FcLangSet* languages = nullptr;
  FcCharSet* charset = nullptr;
  const bool fits = match != nullptr &&
                    FcPatternGetString(match, FC_FAMILY, 0, &got) == FcResultMatch &&
                    (family.empty() || family == reinterpret_cast<const char*>(got)) &&
                    FcPatternGetLangSet(match, FC_LANG, 0, &languages) == FcResultMatch &&
                    FcLangSetHasLang(languages, Bytes(language)) != FcLangDifferentLang &&
                    FcPatternGetCharSet(match, FC_CHARSET, 0, &charset) == FcResultMatch;
  if (fits) {
    found = reinterpret_cast<const char*>(got);
    characters = FcCharSetCopy(charset);
  }
  if (match != nullptr) {
    FcPatternDestroy(match);
  }
  return fits;
}

// `text` as XML character data.
std::string Escaped(std::string_view text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

}  // namespace

// FLTK makes Xft's pattern itself, so the box cannot ask for outlines in
// it; a rule of the configuration that the font meets (target "font") is
// the only way, and fontconfig adds rules only from XML. The family's name
// is a value in it, escaped.
bool DrawAsOutlines(FcConfig* config, const std::string& family) {
  const std::string rule =
      "<?xml version=\"1.0\"?><!DOCTYPE fontconfig SYSTEM \"fonts.dtd\"><fontconfig>"
      "<match target=\"font\"><test name=\"family\"><string>" +
      Escaped(family) +
      "</string></test>"
      "<edit name=\"embeddedbitmap\" mode=\"assign\"><bool>false</bool></edit>"
      "<edit name=\"antialias\" mode=\"assign\"><bool>true</bool></edit></match></fontconfig>";
  return FcConfigParseAndLoadFromMemory(config, Bytes(rule.c_str()), FcFalse) != FcFalse;
}

BoxFonts::BoxFonts() {
  if (!Match("sans-serif:lang=en", "", "en", latin_.family, latin_.characters)) {
    latin_.family = "sans";  // FLTK's own
  }
}

BoxFonts::~BoxFonts() {
  for (const Font* font : {&latin_, &chinese_}) {
    if (font->characters != nullptr) {
      FcCharSetDestroy(font->characters);
    }
  }
}

void BoxFonts::FindChinese() {
  if (chinese_found_) {
    return;
  }
  chinese_found_ = true;
  // Debian's Chinese desktops have Noto Sans CJK TC; AR PL UMing, the other
  // font the package recommends, has its Taiwan forms under a name of their
  // own (fontconfig may offer its Hong Kong ones for zh-tw); else whatever
  // fontconfig offers for Taiwan.
  if (Match("Noto Sans CJK TC", "Noto Sans CJK TC", "zh-tw", chinese_.family,
            chinese_.characters) ||
      Match("AR PL UMing TW", "AR PL UMing TW", "zh-tw", chinese_.family, chinese_.characters) ||
      Match("sans-serif:lang=zh-tw", "", "zh-tw", chinese_.family, chinese_.characters)) {
    DrawAsOutlines(FcConfigGetCurrent(), chinese_.family);
  } else {
    chinese_.family = latin_.family;
  }
}

const std::string& BoxFonts::Family(Face face) {
  if (face == kLatin) {
    return latin_.family;
  }
  FindChinese();
  return chinese_.family;
}

bool BoxFonts::Has(Face face, char32_t c) {
  if (face == kChinese) {
    FindChinese();
  }
  const FcCharSet* characters = face == kLatin ? latin_.characters : chinese_.characters;
  return characters != nullptr && FcCharSetHasChar(characters, c) != FcFalse;
}

BoxFonts::Face BoxFonts::FaceFor(char32_t c) const {
  return latin_.characters != nullptr && FcCharSetHasChar(latin_.characters, c) != FcFalse
             ? kLatin
             : kChinese;
}

std::vector<BoxFonts::Run> BoxFonts::Runs(std::string_view text) const {
  std::vector<Run> runs;
  std::size_t at = 0;
  while (at < text.size()) {
    FcChar32 c = 0xFFFD;
    const int length =
        FcUtf8ToUcs4(Bytes(text.data() + at), &c, static_cast<int>(text.size() - at));
    const std::size_t size = length > 0 ? static_cast<std::size_t>(length) : 1;
    const Face face = FaceFor(c);
    if (!runs.empty() && runs.back().face == face) {
      runs.back().text =
          text.substr(runs.back().text.data() - text.data(), runs.back().text.size() + size);
    } else {
      runs.push_back({face, text.substr(at, size)});
    }
    at += size;
  }
  return runs;
}

}  // namespace qj570::app
