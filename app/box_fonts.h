#pragma once

#include <fontconfig/fontconfig.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qj570::app {

// The fonts the error box draws with, as fontconfig finds them: Latin text
// in the desktop's sans, Chinese in a sans with Taiwan's glyph forms (Noto
// Sans CJK TC where installed, else what fontconfig offers for zh-tw),
// outline-drawn and anti-aliased. Xft draws each string in one font, with
// no fallback, so the box draws its text in runs, each in the font that has
// its characters. The Chinese font is looked up only when first needed.
class BoxFonts {
 public:
  enum Face : std::uint8_t { kLatin, kChinese };
  struct Run {
    Face face;
    std::string_view text;
  };

  BoxFonts();
  ~BoxFonts();
  BoxFonts(const BoxFonts&) = delete;
  BoxFonts& operator=(const BoxFonts&) = delete;
  BoxFonts(BoxFonts&&) = delete;
  BoxFonts& operator=(BoxFonts&&) = delete;

  // The family to ask Xft for.
  const std::string& Family(Face face);
  // Whether the font of `face` has a glyph for `c`.
  bool Has(Face face, char32_t c);
  // Latin where the Latin font has `c`, else Chinese.
  [[nodiscard]] Face FaceFor(char32_t c) const;
  // `text` (UTF-8) cut where the face changes.
  [[nodiscard]] std::vector<Run> Runs(std::string_view text) const;

 private:
  struct Font {
    std::string family;
    FcCharSet* characters = nullptr;
  };
  void FindChinese();

  Font latin_;
  Font chinese_;
  bool chinese_found_ = false;
};

// Adds to `config` a rule that draws the fonts of `family` as outlines,
// anti-aliased: some (AR PL UMing) carry bitmaps for small sizes that look
// like an old typewriter beside the desktop's text. Made for the Chinese
// font before Xft first opens it. Whether fontconfig took the rule.
bool DrawAsOutlines(FcConfig* config, const std::string& family);

}  // namespace qj570::app
