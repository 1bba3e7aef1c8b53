#include "receipt/cp950.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>

#include "receipt/hex.h"

namespace qj570 {
namespace {

// Perl's Encode follows Microsoft's code page 950. For every BMP code point
// it prints the round-tripping code in hex, or "-" where there is none.
constexpr const char* kReference =
    "perl -MEncode -e 'for my $c (0..0xFFFF) {"
    "  if ($c >= 0xD800 && $c <= 0xDFFF) { print \"-\\n\"; next }"
    "  my $s = chr($c);"
    "  my $b = eval { Encode::encode(\"cp950\", $s, Encode::FB_CROAK|Encode::LEAVE_SRC) };"
    "  my $d = defined $b ? eval { Encode::decode(\"cp950\", $b, "
    "Encode::FB_CROAK|Encode::LEAVE_SRC) } : undef;"
    "  print((defined $d && $d eq $s) ? uc(unpack(\"H*\", $b)) . \"\\n\" : \"-\\n\");"
    "}' 2>/dev/null";

std::string HexBytes(const std::string& bytes) {
  std::string out;
  for (const char b : bytes) {
    out += Hex(static_cast<unsigned char>(b));
  }
  return out;
}

// Our code for `c` in the reference's notation.
std::string OursOrDash(char32_t c) {
  try {
    return HexBytes(EncodeCp950(std::u32string(1, c)));
  } catch (const EncodeError& e) {
    EXPECT_EQ(e.code_point(), c);
  }
  return std::string(1, '-');
}

TEST(Cp950, MatchesPerlEncodeOverTheWholeBmp) {
  const std::unique_ptr<FILE, int (*)(FILE*)> perl(popen(kReference, "r"), pclose);
  ASSERT_NE(perl, nullptr);
  std::string reference;
  std::array<char, 65536> buf{};
  while (const std::size_t n = std::fread(buf.data(), 1, buf.size(), perl.get())) {
    reference.append(buf.data(), n);
  }
  if (reference.empty()) {
    GTEST_SKIP() << "perl with Encode is not installed";
  }
  std::istringstream lines(reference);
  std::string want;
  int encodable = 0;
  int mismatches = 0;
  for (char32_t c = 0; c <= 0xFFFF && std::getline(lines, want); ++c) {
    const std::string got = OursOrDash(c);
    if (got != want && ++mismatches <= 10) {
      ADD_FAILURE() << CodePointName(c) << ": ours " << got << ", Perl " << want;
    }
    encodable += want != "-" ? 1 : 0;
  }
  EXPECT_EQ(mismatches, 0);
  EXPECT_GT(encodable, 13000);  // the reference really ran over the page
}

TEST(Cp950, FollowsMicrosoftsTableNotGlibcs) {
  EXPECT_EQ(HexBytes(EncodeCp950(U"總")), "C160");  // trail byte is '`'
  EXPECT_EQ(HexBytes(EncodeCp950(U"═")), "F9F9");   // glibc says a2a4
  EXPECT_EQ(HexBytes(EncodeCp950(U"包司")), "A55DA571");
  EXPECT_EQ(HexBytes(EncodeCp950(U"€")), "A3E1");
  EXPECT_EQ(HexBytes(EncodeCp950(U"\x1B\x0E\r A~\x7F")), "1B0E0D20417E7F");
}

TEST(Cp950, RejectsCharactersWithoutACodeByName) {
  // A best fit ("n" for n-tilde) would print something else than asked.
  for (const char32_t c : {U'\u00F1', U'\u00E9', U'\uFFFD', U'\U00020000', U'\U0010FFFF'}) {
    try {
      EncodeCp950(std::u32string(U"元") + c + U"元");
      ADD_FAILURE() << "no error for " << CodePointName(c);
    } catch (const EncodeError& e) {
      EXPECT_EQ(e.code_point(), c);
      EXPECT_NE(std::string(e.what()).find(CodePointName(c)), std::string::npos) << e.what();
    }
  }
  EXPECT_EQ(CodePointName(U'\u00F1'), "U+00F1");
  EXPECT_EQ(CodePointName(U'\U00020000'), "U+20000");
}

}  // namespace
}  // namespace qj570
