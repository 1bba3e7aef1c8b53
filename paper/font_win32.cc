// The paper's font on Windows: GDI finds it and renders its glyphs, in
// grey, straight from the outlines (GetGlyphOutline), as FreeType does on
// Linux; the grid and the fitting are the same.
#include <windows.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <string_view>
#include <utility>
#include <vector>

#include "paper/picture.h"
#include "receipt/serial/utf16_win32.h"

namespace qj570::paper {
namespace {

// The fonts with Taiwan's forms, best first: MingLiU, the Ming typeface of
// Taiwan's printed receipts, its ASCII half-width as on the printer's grid;
// PMingLiU, the same with proportional ASCII; Microsoft JhengHei, on every
// Windows from Vista on, where Windows 10 and 11 outside Taiwan lack the
// other two (they come with an optional feature there).
constexpr std::array<std::wstring_view, 3> kFamilies{L"MingLiU", L"PMingLiU",
                                                     L"Microsoft JhengHei"};

// A character that a Traditional Chinese font has, and others lack.
constexpr wchar_t kProbe = L'\u7E3D';  // 總

// EnumFontFamiliesEx's callback: there is one; no need to hear of more.
int CALLBACK Found(const LOGFONTW* /*font*/, const TEXTMETRICW* /*metrics*/, DWORD /*type*/,
                   LPARAM found) {
  *reinterpret_cast<bool*>(found) = true;  // NOLINT: the LPARAM is ours
  return 0;
}

// GDI's fixed point number, 16.16.
FIXED Fixed(double value) {
  const auto whole = static_cast<LONG>(std::lround(value * 65536));
  return {static_cast<WORD>(whole & 0xFFFF), static_cast<short>(whole >> 16)};
}

}  // namespace

struct Font::Face {
  HDC dc = nullptr;
  HFONT font = nullptr;
  HGDIOBJ old = nullptr;

  Face() = default;
  Face(const Face&) = delete;
  Face& operator=(const Face&) = delete;
  Face(Face&&) = delete;
  Face& operator=(Face&&) = delete;
  ~Face() {
    if (old != nullptr) {
      SelectObject(dc, old);
    }
    if (font != nullptr) {
      DeleteObject(font);
    }
    if (dc != nullptr) {
      DeleteDC(dc);
    }
  }

  // `family` at the cell's height, when the system has it by that name (its
  // English or its own): GDI would give another font for a name it lacks.
  bool Select(std::wstring_view family) {
    LOGFONTW wanted{};
    wanted.lfCharSet = DEFAULT_CHARSET;
    family.copy(wanted.lfFaceName, LF_FACESIZE - 1);
    bool found = false;
    EnumFontFamiliesExW(dc, &wanted, Found, reinterpret_cast<LPARAM>(&found), 0);  // NOLINT
    if (!found) {
      return false;
    }
    wanted.lfHeight = -kCellHeight;  // the em square, not the line
    wanted.lfWeight = FW_NORMAL;
    wanted.lfCharSet = CHINESEBIG5_CHARSET;
    wanted.lfOutPrecision = OUT_TT_ONLY_PRECIS;
    wanted.lfQuality = ANTIALIASED_QUALITY;
    const HFONT created = CreateFontIndirectW(&wanted);
    if (created == nullptr) {
      return false;
    }
    const HGDIOBJ previous = SelectObject(dc, created);
    if (Index(kProbe) != 0xFFFF) {
      font = created;
      old = previous;
      return true;
    }
    SelectObject(dc, previous);
    DeleteObject(created);
    return false;
  }

  // The glyph of `ch`, or 0xFFFF when the font lacks it.
  [[nodiscard]] WORD Index(char32_t ch) const {
    WORD index = 0xFFFF;
    if (ch <= 0xFFFF && (ch < 0xD800 || ch > 0xDFFF)) {
      const auto unit = static_cast<wchar_t>(ch);
      if (GetGlyphIndicesW(dc, &unit, 1, &index, GGI_MARK_NONEXISTING_GLYPHS) == GDI_ERROR) {
        index = 0xFFFF;
      }
    }
    return index;
  }
};

namespace {

// From a cell's top to the baseline, the em square filling the cell's
// height: where the font's typographic ascent ends (its ideographic em box
// in a CJK font), as on Linux.
int Baseline(HDC dc) {
  const UINT size = GetOutlineTextMetricsW(dc, 0, nullptr);
  std::vector<std::byte> buffer(size);
  auto* metrics = reinterpret_cast<OUTLINETEXTMETRICW*>(buffer.data());  // NOLINT: GDI's layout
  if (size == 0 || GetOutlineTextMetricsW(dc, size, metrics) == 0 ||
      metrics->otmAscent <= metrics->otmDescent) {
    return kCellHeight * 7 / 8;
  }
  const double ascent = metrics->otmAscent;
  const double descent = metrics->otmDescent;  // below the baseline: negative
  return static_cast<int>(std::lround(kCellHeight * ascent / (ascent - descent)));
}

}  // namespace

Font::Font(std::unique_ptr<Face> face, std::string family, int baseline)
    : face_(std::move(face)), family_(std::move(family)), baseline_(baseline) {}
Font::Font(Font&&) noexcept = default;
Font& Font::operator=(Font&&) noexcept = default;
Font::~Font() = default;

Font Font::Find() {
  auto face = std::make_unique<Face>();
  face->dc = CreateCompatibleDC(nullptr);
  if (face->dc == nullptr) {
    throw PictureError(PictureError::Problem::kBadFont, "GDI",
                       static_cast<std::uint32_t>(GetLastError()));
  }
  for (const std::wstring_view family : kFamilies) {
    if (face->Select(family)) {
      const int baseline = Baseline(face->dc);
      return {std::move(face), Utf8(family), baseline};
    }
  }
  throw PictureError(PictureError::Problem::kNoFont, "zh-tw");
}

std::optional<GlyphImage> Font::Render(char32_t ch, double scale_x, double scale_y) const {
  const WORD index = face_->Index(ch);
  if (index == 0xFFFF) {
    return std::nullopt;
  }
  const MAT2 scale{Fixed(scale_x), Fixed(0), Fixed(0), Fixed(scale_y)};
  GLYPHMETRICS metrics{};
  constexpr UINT kFormat = GGO_GRAY8_BITMAP | GGO_GLYPH_INDEX;
  const DWORD size = GetGlyphOutlineW(face_->dc, index, kFormat, &metrics, 0, nullptr, &scale);
  if (size == GDI_ERROR) {
    return std::nullopt;
  }
  GlyphImage glyph{0, 0, metrics.gmptGlyphOrigin.x, metrics.gmptGlyphOrigin.y, metrics.gmCellIncX,
                   {}};
  if (size == 0) {  // a blank, such as the ideographic space
    return glyph;
  }
  std::vector<std::uint8_t> levels(size);
  if (GetGlyphOutlineW(face_->dc, index, kFormat, &metrics, size, levels.data(), &scale) ==
      GDI_ERROR) {
    return std::nullopt;
  }
  glyph.width = static_cast<int>(metrics.gmBlackBoxX);
  glyph.rows = static_cast<int>(metrics.gmBlackBoxY);
  const std::size_t pitch = (metrics.gmBlackBoxX + 3) & ~3U;  // rows on DWORDs
  glyph.coverage.resize(static_cast<std::size_t>(glyph.width) *
                        static_cast<std::size_t>(glyph.rows));
  for (std::size_t j = 0; j < static_cast<std::size_t>(glyph.rows); ++j) {
    for (std::size_t i = 0; i < static_cast<std::size_t>(glyph.width); ++i) {
      // GDI's 65 levels of grey, 0 to 64, as 0 to 255.
      glyph.coverage[j * static_cast<std::size_t>(glyph.width) + i] =
          static_cast<std::uint8_t>(std::min(64U, unsigned{levels[j * pitch + i]}) * 255U / 64U);
    }
  }
  return glyph;
}

}  // namespace qj570::paper
