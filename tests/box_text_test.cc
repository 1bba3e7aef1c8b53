// The error box's text: where its lines break, and whether its fonts have
// every character it may show.
#include <fontconfig/fontconfig.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "app/box_fonts.h"
#include "app/text_layout.h"

namespace qj570::app {
namespace {

std::vector<char32_t> CodePoints(std::string_view text) {
  std::vector<char32_t> points;
  while (!text.empty()) {
    FcChar32 c = 0;
    const int length = FcUtf8ToUcs4(reinterpret_cast<const FcChar8*>(text.data()), &c,
                                    static_cast<int>(text.size()));
    EXPECT_GT(length, 0) << "not UTF-8: " << text.substr(0, 20);
    text.remove_prefix(length > 0 ? static_cast<std::size_t>(length) : 1);
    points.push_back(c);
  }
  return points;
}

// Ten pixels for ASCII, twenty for the rest, as Chinese is about twice as
// wide as Latin.
int FakeWidth(std::string_view text) {
  int width = 0;
  for (const char32_t c : CodePoints(text)) {
    width += c < 0x80 ? 10 : 20;
  }
  return width;
}

// With this build's ICU, with another release found by its suffixes (the
// development files' libicuuc.so), and with no ICU at all (another release
// of the system, a copied program): the same lines.
TEST(BoxText, BreaksWhereUnicodeAllowsButNeverInsideACommandOrAPath) {
  const LineBreakRules other_release({"libicuuc.so.1", "libicuuc.so"});
  const LineBreakRules no_icu({});
  ASSERT_TRUE(LineBreakRules::Installed().HasIcu());
  ASSERT_TRUE(other_release.HasIcu());
  ASSERT_FALSE(no_icu.HasIcu());
  for (const LineBreakRules* rules : {&LineBreakRules::Installed(), &other_release, &no_icu}) {
    SCOPED_TRACE(rules == &no_icu ? "without ICU" : "with ICU");
    const auto Lines = [rules](std::string_view text, int width) {
      return BreakLines(text, width, FakeWidth, *rules);
    };
    EXPECT_EQ(Lines("To print on /dev/ttyUSB0, start the program as: qj570-rs232 --port "
                    "/dev/ttyUSB0",
                    250),
              (std::vector<std::string>{"To print on /dev/ttyUSB0,", "start the program as:",
                                        "qj570-rs232 --port /dev/ttyUSB0"}));
    EXPECT_EQ(Lines("the 'dialout' group (sudo adduser $USER dialout) and log in again.", 200),
              (std::vector<std::string>{"the 'dialout' group", "(sudo adduser $USER dialout)",
                                        "and log in again."}));
    // The port list keeps its indentation; a path wider than the box stands
    // alone, unbroken.
    EXPECT_EQ(
        Lines("Serial ports on this computer:\n  /dev/ttyUSB0\n"
              "    /dev/serial/by-id/usb-FTDI_FT232R-if00-port0 x y",
              300),
        (std::vector<std::string>{"Serial ports on this computer:", "  /dev/ttyUSB0",
                                  "    /dev/serial/by-id/usb-FTDI_FT232R-if00-port0", "    x y"}));
    EXPECT_EQ(
        Lines("cannot open serial port /tmp/印表機: No such file", 130),
        (std::vector<std::string>{"cannot open", "serial", "port /tmp/印表機:", "No such file"}));
    // Chinese breaks between characters, never before 」，： nor after 「.
    EXPECT_EQ(Lines("請用下列命令，啟動", 120),
              (std::vector<std::string>{"請用下列命", "令，啟動"}));
    EXPECT_EQ(Lines("請按「關閉」鍵", 60), (std::vector<std::string>{"請按", "「關", "閉」鍵"}));
    EXPECT_EQ(
        Lines("若要在 /dev/ttyUSB0 上列印，請用下列命令啟動本程式：qj570-rs232 --port /dev/ttyUSB0",
              400),
        (std::vector<std::string>{"若要在 /dev/ttyUSB0 上列印，請用下列命令", "啟動本程式：",
                                  "qj570-rs232 --port /dev/ttyUSB0"}));
    // A Chinese paragraph fits the box.
    for (int width = 80; width <= 300; width += 20) {
      for (const std::string& line : Lines("印表機停止回應（可能是纜線鬆脫）。請確認「USB "
                                           "序列轉接器」沒有鬆脫，然後再列印一次；"
                                           "若仍然失敗，請重新啟動印表機！",
                                           width)) {
        EXPECT_LE(FakeWidth(line), width) << line;
        for (const std::string_view closing : {"。", "，", "：", "；", "）", "」", "！"}) {
          EXPECT_FALSE(line.starts_with(closing)) << line;
        }
        for (const std::string_view opening : {"（", "「"}) {
          EXPECT_FALSE(line.ends_with(opening)) << line;
        }
      }
    }
  }
}

std::string Contents(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  EXPECT_TRUE(file) << path;
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// Xft draws a character its font lacks as an empty box. Every character of
// the catalogue (both languages), of the sample receipt and of port names
// must be in the font the box draws it with.
TEST(BoxText, TheBoxsFontsHaveEveryCharacterItMayShow) {
  const std::string text = Contents(QJ570_SOURCE_DIR "/po/zh_TW.po") +
                           Contents(QJ570_SOURCE_DIR "/tests/data/sample_receipt.txt") +
                           "/dev/ttyUSB0 /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K1X2B-if00-"
                           "port0 /dev/ttyACM0 COM12 \\\\.\\COM12 /tmp/印表機";
  BoxFonts fonts;
  std::set<char32_t> missing;
  for (const char32_t c : CodePoints(text)) {
    if (c >= U' ' && !fonts.Has(fonts.FaceFor(c), c)) {
      missing.insert(c);
    }
  }
  std::string names;
  for (const char32_t c : missing) {
    std::array<char, 16> name{};
    std::snprintf(name.data(), name.size(), " U+%04X", static_cast<unsigned>(c));
    names += name.data();
  }
  EXPECT_TRUE(missing.empty()) << fonts.Family(BoxFonts::kLatin) << " and "
                               << fonts.Family(BoxFonts::kChinese) << " lack" << names;
  const std::vector<BoxFonts::Run> runs = fonts.Runs("列印 on");
  ASSERT_EQ(runs.size(), 2U);
  EXPECT_EQ(runs[0].face, BoxFonts::kChinese);
  EXPECT_EQ(runs[1].text, " on");
}

// The Chinese font is drawn as outlines whatever its family is called: the
// name is a value in fontconfig's rule, never part of its markup.
TEST(BoxText, TheRuleForOutlinesTakesAnyFamilyName) {
  const std::string sneaky =
      "X</string></test></match><match target=\"font\"><edit name=\"antialias\" "
      "mode=\"assign\"><bool>false</bool></edit></match><match><test name=\"family\"><string>Y";
  for (const std::string& family : {std::string("A&B <C>"), sneaky}) {
    FcConfig* config = FcConfigCreate();
    EXPECT_TRUE(DrawAsOutlines(config, family)) << family;
    for (const std::string& font : {family, std::string("DejaVu Sans")}) {
      FcPattern* pattern = FcPatternCreate();
      FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>(font.c_str()));
      FcConfigSubstitute(config, pattern, FcMatchFont);
      FcBool bitmaps = FcTrue;
      FcBool antialias = FcFalse;
      const bool ruled = font == family;
      EXPECT_EQ(FcPatternGetBool(pattern, FC_EMBEDDED_BITMAP, 0, &bitmaps) == FcResultMatch &&
                    bitmaps == FcFalse,
                ruled)
          << font;
      EXPECT_EQ(FcPatternGetBool(pattern, FC_ANTIALIAS, 0, &antialias) == FcResultMatch, ruled)
          << font;
      EXPECT_EQ(antialias, ruled ? FcTrue : FcFalse) << font;
      FcPatternDestroy(pattern);
    }
    FcConfigDestroy(config);
  }
}

}  // namespace
}  // namespace qj570::app
