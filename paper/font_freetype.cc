// The paper's font on Linux: fontconfig finds it, FreeType renders it.
#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_TRUETYPE_TABLES_H

#include <cmath>
#include <optional>
#include <utility>

#include "paper/picture.h"

namespace qj570::paper {
namespace {

constexpr const char* kPreferredFamily = "Noto Sans Mono CJK TC";
constexpr const char* kLanguage = "zh-tw";

struct FontFile {
  std::string file;
  int index = 0;
  std::string family;
};

struct PatternFree {
  void operator()(FcPattern* pattern) const { FcPatternDestroy(pattern); }
};
using Pattern = std::unique_ptr<FcPattern, PatternFree>;

// fontconfig's best font for `family` (or any) that covers Traditional
// Chinese; none when the best one is not that family or lacks the language.
std::optional<FontFile> Match(const char* family) {
  const Pattern pattern(FcPatternCreate());
  if (!pattern) {
    return std::nullopt;
  }
  const auto* language = reinterpret_cast<const FcChar8*>(kLanguage);
  if (family != nullptr) {
    FcPatternAddString(pattern.get(), FC_FAMILY, reinterpret_cast<const FcChar8*>(family));
  }
  FcPatternAddString(pattern.get(), FC_LANG, language);
  FcConfigSubstitute(nullptr, pattern.get(), FcMatchPattern);
  FcDefaultSubstitute(pattern.get());
  FcResult result = FcResultNoMatch;
  const Pattern match(FcFontMatch(nullptr, pattern.get(), &result));
  FcChar8* file = nullptr;
  FcLangSet* languages = nullptr;
  if (!match || FcPatternGetString(match.get(), FC_FILE, 0, &file) != FcResultMatch ||
      FcPatternGetLangSet(match.get(), FC_LANG, 0, &languages) != FcResultMatch ||
      FcLangSetHasLang(languages, language) != FcLangEqual) {
    return std::nullopt;
  }
  FontFile found{reinterpret_cast<const char*>(file), 0, {}};
  FcPatternGetInteger(match.get(), FC_INDEX, 0, &found.index);
  FcChar8* name = nullptr;
  for (int i = 0; FcPatternGetString(match.get(), FC_FAMILY, i, &name) == FcResultMatch; ++i) {
    const std::string_view got(reinterpret_cast<const char*>(name));
    if (i == 0 || (family != nullptr && got == family)) {
      found.family = got;
    }
  }
  if (family != nullptr && found.family != family) {
    return std::nullopt;
  }
  return found;
}

}  // namespace

struct Font::Face {
  FT_Library library = nullptr;
  FT_Face face = nullptr;

  Face() = default;
  Face(const Face&) = delete;
  Face& operator=(const Face&) = delete;
  Face(Face&&) = delete;
  Face& operator=(Face&&) = delete;
  ~Face() {
    if (library != nullptr) {
      FT_Done_FreeType(library);  // its face with it
    }
  }
};

namespace {

// From a cell's top to the baseline, the em square filling the cell's
// height: where the font's ascent ends (OS/2's typographic one, which CJK
// fonts set to their ideographic em box).
int Baseline(FT_Face face) {
  const auto* os2 = static_cast<const TT_OS2*>(FT_Get_Sfnt_Table(face, FT_SFNT_OS2));
  double ascent = face->ascender;
  double descent = face->descender;
  if (os2 != nullptr && os2->sTypoAscender > os2->sTypoDescender) {
    ascent = os2->sTypoAscender;
    descent = os2->sTypoDescender;
  }
  return ascent > descent ? static_cast<int>(std::lround(kCellHeight * ascent / (ascent - descent)))
                          : kCellHeight * 7 / 8;
}

// FreeType's fixed point numbers: 26.6 for sizes, 16.16 for a matrix.
FT_F26Dot6 F26Dot6(double value) { return static_cast<FT_F26Dot6>(std::lround(value * 64)); }
FT_Fixed Fixed(double value) { return static_cast<FT_Fixed>(std::lround(value * 65536)); }

}  // namespace

Font::Font(std::unique_ptr<Face> face, std::string family, int baseline)
    : face_(std::move(face)), family_(std::move(family)), baseline_(baseline) {}
Font::Font(Font&&) noexcept = default;
Font& Font::operator=(Font&&) noexcept = default;
Font::~Font() = default;

Font Font::Find() {
  if (FcInit() == FcFalse) {
    throw PictureError(PictureError::Problem::kNoFont, kLanguage);
  }
  auto found = Match(kPreferredFamily);
  if (!found) {
    found = Match(nullptr);
  }
  if (!found) {
    throw PictureError(PictureError::Problem::kNoFont, kLanguage);
  }
  auto face = std::make_unique<Face>();
  FT_Error error = FT_Init_FreeType(&face->library);
  if (error == 0) {
    error = FT_New_Face(face->library, found->file.c_str(), found->index, &face->face);
  }
  if (error == 0) {  // a font of bitmaps only has no such size
    error = FT_Set_Pixel_Sizes(face->face, 0, kCellHeight);
  }
  if (error != 0) {
    throw PictureError(PictureError::Problem::kBadFont, found->file,
                       static_cast<std::uint32_t>(error));
  }
  const int baseline = Baseline(face->face);
  return {std::move(face), found->family, baseline};
}

std::optional<GlyphImage> Font::Render(char32_t ch, double scale_x, double scale_y) const {
  const FT_Face face = face_->face;
  const FT_UInt index = FT_Get_Char_Index(face, ch);
  if (index == 0 || FT_Set_Char_Size(face, 0, F26Dot6(kCellHeight * scale_y), 72, 72) != 0) {
    return std::nullopt;
  }
  // A glyph made narrower than the font draws it: hinted at its height,
  // then squeezed.
  FT_Matrix squeeze{Fixed(scale_x / scale_y), 0, 0, Fixed(1)};
  FT_Set_Transform(face, &squeeze, nullptr);
  if (FT_Load_Glyph(face, index, FT_LOAD_RENDER | FT_LOAD_NO_BITMAP) != 0) {
    return std::nullopt;
  }
  const FT_GlyphSlot slot = face->glyph;
  const FT_Bitmap& source = slot->bitmap;
  GlyphImage glyph{static_cast<int>(source.width),
                   static_cast<int>(source.rows),
                   slot->bitmap_left,
                   slot->bitmap_top,
                   static_cast<int>(slot->advance.x >> 6),
                   {}};
  glyph.coverage.resize(static_cast<std::size_t>(glyph.width) *
                        static_cast<std::size_t>(glyph.rows));
  for (int j = 0; j < glyph.rows; ++j) {
    const unsigned char* row = source.buffer + static_cast<std::ptrdiff_t>(j) * source.pitch;
    for (int i = 0; i < glyph.width; ++i) {
      glyph.coverage[static_cast<std::size_t>(j) * static_cast<std::size_t>(glyph.width) +
                     static_cast<std::size_t>(i)] =
          source.pixel_mode == FT_PIXEL_MODE_MONO ? ((row[i / 8] >> (7 - i % 8)) & 1) != 0 ? 255 : 0
                                                  : row[i];
    }
  }
  return glyph;
}

}  // namespace qj570::paper
