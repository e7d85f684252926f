#include "vantrel/common/text.h"

#include <gtest/gtest.h>

#include <string>

namespace vantrel::text {
namespace {

std::string utf8(char32_t cp) {
  std::string s;
  if (cp < 0x80) {
    s += static_cast<char>(cp);
  } else if (cp < 0x800) {
    s += static_cast<char>(0xC0 | (cp >> 6));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    s += static_cast<char>(0xE0 | (cp >> 12));
    s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    s += static_cast<char>(0xF0 | (cp >> 18));
    s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  }
  return s;
}

bool isWhiteSpaceCodePoint(char32_t cp) {
  return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F || cp == 0x205F ||
         cp == 0x3000;
}

// Every code point of the Basic Multilingual Plane (surrogates excluded) and a
// few above it, on both ends of a word: exactly the White_Space ones go.
TEST(TrimWhiteSpace, RemovesExactlyTheUnicodeWhiteSpaceCharacters) {
  for (char32_t cp = 1; cp < 0x10000 + 64; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    const std::string c = utf8(cp);
    const std::string padded = c + c + "a.png" + c;
    const std::string_view expected = isWhiteSpaceCodePoint(cp) ? "a.png" : std::string_view(padded);
    ASSERT_EQ(trimWhiteSpace(padded), expected) << "U+" << std::hex << static_cast<unsigned>(cp);
    ASSERT_EQ(whiteSpaceLengthAt(padded, 0), isWhiteSpaceCodePoint(cp) ? c.size() : 0u)
        << "U+" << std::hex << static_cast<unsigned>(cp);
  }
}

TEST(TrimWhiteSpace, KeepsInnerSpaceAndNeverSplitsOrEatsMalformedBytes) {
  const struct {
    std::string text;
    std::string trimmed;
  } cases[] = {
      {"", ""},
      {" \t\n\r\v\f", ""},
      {"\u00A0\u3000\u2028 /a b/c d.png \u2029\u202F\r\n", "/a b/c d.png"},
      {"x\u00A0y", "x\u00A0y"},
      // Latin-1 NEL and no-break space bytes are not UTF-8: kept.
      {"\x85x\xA0", "\x85x\xA0"},
      // A cut-off ideographic space, and a continuation byte before a real one.
      {"x\xE3\x80", "x\xE3\x80"},
      {"x\x80\xC2\xA0", "x\x80"},
      // Zero-width space, word joiner and byte order mark are not white space.
      {"\u200Bx\u2060\uFEFF", "\u200Bx\u2060\uFEFF"},
      // The Mongolian vowel separator stopped being white space in Unicode 6.3.
      {"\u180Ex", "\u180Ex"},
      {"\x1C\x1D\x1E\x1Fx", "\x1C\x1D\x1E\x1Fx"},
  };
  for (const auto& c : cases) EXPECT_EQ(trimWhiteSpace(c.text), c.trimmed) << "'" << c.text << "'";
  EXPECT_TRUE(isBlank("\u3000\u00A0\n"));
  EXPECT_FALSE(isBlank("\u3000.\u00A0"));
  EXPECT_EQ(whiteSpaceLengthAt("ab", 2), 0u);
}

}  // namespace
}  // namespace vantrel::text
