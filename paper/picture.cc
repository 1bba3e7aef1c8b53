#include "paper/picture.h"

#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_SIZES_H
#include FT_TRUETYPE_TABLES_H

#include <algorithm>
#include <cmath>
#include <optional>
#include <system_error>
#include <utility>

#include "receipt/cp950.h"

namespace qj570::paper {
namespace {

constexpr const char* kPreferredFamily = "Noto Sans Mono CJK TC";
constexpr const char* kLanguage = "zh-tw";
constexpr int kSmallPixels = kCellHeight / 2;  // the letters of the SO mark

std::string Describe(PictureError::Problem problem, const std::string& name, std::uint32_t value,
                     int line) {
  switch (problem) {
    case PictureError::Problem::kNoFont:
      return "no font for Traditional Chinese (zh-tw) was found";
    case PictureError::Problem::kBadFont:
      return "FreeType cannot use the font " + name + " (error " + std::to_string(value) + ")";
    case PictureError::Problem::kNoGlyph:
      return "line " + std::to_string(line) + ": the font " + name + " has no glyph for " +
             CodePointName(value);
    case PictureError::Problem::kUnwritable:
      break;
  }
  return "cannot write " + name + ": " + std::generic_category().message(static_cast<int>(value));
}

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

// A rendered glyph: coverage 0..255, `left` and `top` from the pen on the
// baseline, as FreeType gives them.
struct Bitmap {
  int width = 0;
  int rows = 0;
  int left = 0;
  int top = 0;
  int advance = 0;
  std::vector<std::uint8_t> coverage;
};

// A box on the picture that ink may not leave: a glyph's cells.
struct Box {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

void Ink(Picture& picture, const Bitmap& glyph, int pen_x, int baseline, const Box& clip) {
  for (int j = 0; j < glyph.rows; ++j) {
    const int y = baseline - glyph.top + j;
    if (y < clip.y || y >= clip.y + clip.height) {
      continue;
    }
    for (int i = 0; i < glyph.width; ++i) {
      const int x = pen_x + glyph.left + i;
      if (x < clip.x || x >= clip.x + clip.width) {
        continue;
      }
      auto& pixel =
          picture.pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(picture.width) +
                         static_cast<std::size_t>(x)];
      const auto ink = static_cast<std::uint8_t>(
          255 - glyph.coverage[static_cast<std::size_t>(j) * static_cast<std::size_t>(glyph.width) +
                               static_cast<std::size_t>(i)]);
      pixel = std::min(pixel, ink);
    }
  }
}

}  // namespace

PictureError::PictureError(Problem problem, std::string name, std::uint32_t value, int line)
    : std::runtime_error(Describe(problem, name, value, line)),
      problem_(problem),
      name_(std::move(name)),
      value_(value),
      line_(line) {}

struct Font::Face {
  FT_Library library = nullptr;
  FT_Face face = nullptr;
  FT_Size full = nullptr;   // a cell's height
  FT_Size small = nullptr;  // half of it, for the SO mark
  std::string family;
  int baseline = 0;  // from a cell's top

  Face() = default;
  Face(const Face&) = delete;
  Face& operator=(const Face&) = delete;
  Face(Face&&) = delete;
  Face& operator=(Face&&) = delete;
  ~Face() {
    if (library != nullptr) {
      FT_Done_FreeType(library);  // its faces and sizes with it
    }
  }

  // Glyph index of `ch` at the size `size`, rendered; nullopt if the font
  // has no glyph for it.
  std::optional<Bitmap> Render(char32_t ch, FT_Size size) const {
    const FT_UInt index = FT_Get_Char_Index(face, ch);
    if (index == 0) {
      return std::nullopt;
    }
    FT_Activate_Size(size);
    if (FT_Load_Glyph(face, index, FT_LOAD_RENDER | FT_LOAD_NO_BITMAP) != 0) {
      return std::nullopt;
    }
    const FT_GlyphSlot slot = face->glyph;
    const FT_Bitmap& source = slot->bitmap;
    Bitmap glyph{static_cast<int>(source.width),
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
            source.pixel_mode == FT_PIXEL_MODE_MONO
                ? ((row[i / 8] >> (7 - i % 8)) & 1) != 0 ? 255 : 0
                : row[i];
      }
    }
    return glyph;
  }
};

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
  Font font(found->file, found->index);
  font.face_->family = found->family;
  return font;
}

Font::Font(const std::string& file, int index) : face_(std::make_unique<Face>()) {
  Face& f = *face_;
  f.family = file;
  FT_Error error = FT_Init_FreeType(&f.library);
  if (error == 0) {
    error = FT_New_Face(f.library, file.c_str(), index, &f.face);
  }
  if (error == 0) {
    f.full = f.face->size;
    error = FT_Set_Pixel_Sizes(f.face, 0, kCellHeight);
  }
  if (error == 0) {
    error = FT_New_Size(f.face, &f.small);
  }
  if (error == 0) {
    FT_Activate_Size(f.small);
    error = FT_Set_Pixel_Sizes(f.face, 0, kSmallPixels);
  }
  if (error != 0) {
    throw PictureError(PictureError::Problem::kBadFont, file, static_cast<std::uint32_t>(error));
  }
  // The em square fills the cell's height: the baseline sits where the
  // font's ascent ends (OS/2's typographic one, which CJK fonts set to
  // their ideographic em box).
  const auto* os2 = static_cast<const TT_OS2*>(FT_Get_Sfnt_Table(f.face, FT_SFNT_OS2));
  double ascent = f.face->ascender;
  double descent = f.face->descender;
  if (os2 != nullptr && os2->sTypoAscender > os2->sTypoDescender) {
    ascent = os2->sTypoAscender;
    descent = os2->sTypoDescender;
  }
  f.baseline = ascent > descent
                   ? static_cast<int>(std::lround(kCellHeight * ascent / (ascent - descent)))
                   : kCellHeight * 7 / 8;
}

Font::Font(Font&&) noexcept = default;
Font& Font::operator=(Font&&) noexcept = default;
Font::~Font() = default;

const std::string& Font::family() const noexcept { return face_->family; }

Picture Draw(std::span<const Row> rows, Font& font) {
  const Font::Face& face = *font.face_;
  struct Placed {
    Glyph glyph;
    int line;
    int column;
    int text_line;  // for messages: the printed line or feed it belongs to
  };
  std::vector<Placed> placed;
  std::vector<int> tears;
  int line = 0;
  int text_line = 0;
  for (const Row& row : rows) {
    switch (row.kind) {
      case Row::Kind::kPrinted:
      case Row::Kind::kUnknown: {
        text_line += row.kind == Row::Kind::kPrinted ? 1 : 0;
        int column = 0;
        for (const Glyph& glyph : row.glyphs) {
          if (column + glyph.columns > kColumns) {
            ++line;
            column = 0;
          }
          placed.push_back({glyph, line, column, text_line});
          column += glyph.columns;
        }
        ++line;
        break;
      }
      case Row::Kind::kFeed:
        ++text_line;
        ++line;
        break;
      case Row::Kind::kClosing:
        break;
      case Row::Kind::kTear:
        tears.push_back(line++);
        break;
    }
  }

  Picture picture{2 * kMargin + kColumns * kCellWidth, kMargin + line * kCellHeight, {}};
  picture.pixels.assign(
      static_cast<std::size_t>(picture.width) * static_cast<std::size_t>(picture.height), 255);
  for (const Placed& p : placed) {
    const Box cell{kMargin + p.column * kCellWidth, kMargin + p.line * kCellHeight,
                   p.glyph.columns * kCellWidth, kCellHeight};
    if (p.glyph.ch == U' ') {
      continue;
    }
    if (p.glyph.ch == kShiftOutMark) {
      // Drawn as the control picture looks: a small S above, an O below.
      // Few CJK fonts carry U+240E itself.
      const auto s = face.Render(U'S', face.small);
      const auto o = face.Render(U'O', face.small);
      if (!s || !o) {
        throw PictureError(PictureError::Problem::kNoGlyph, face.family, s ? U'O' : U'S',
                           p.text_line);
      }
      const int half = kCellHeight / 2;
      Ink(picture, *s, cell.x, cell.y + half * face.baseline / kCellHeight, cell);
      Ink(picture, *o, cell.x + cell.width - o->advance,
          cell.y + half + half * face.baseline / kCellHeight, cell);
      continue;
    }
    const auto glyph = face.Render(p.glyph.ch, face.full);
    if (!glyph) {
      throw PictureError(PictureError::Problem::kNoGlyph, face.family, p.glyph.ch, p.text_line);
    }
    Ink(picture, *glyph, cell.x + (cell.width - glyph->advance) / 2, cell.y + face.baseline, cell);
  }
  // The tear line: a dashed cut across the paper, in its line's middle.
  for (const int tear : tears) {
    const int y = kMargin + tear * kCellHeight + kCellHeight / 2;
    for (int x = 0; x < picture.width; ++x) {
      if (x % 8 < 5) {
        picture.pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(picture.width) +
                       static_cast<std::size_t>(x)] = 0;
      }
    }
  }
  return picture;
}

}  // namespace qj570::paper
