#include "vantrel/common/text.h"

#include <array>

namespace vantrel::text {

namespace {

// The multi-byte encodings of the White_Space characters above U+007F.
constexpr std::array<std::string_view, 18> kWideSpaces = {
    "\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82",
    "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88",
    "\xE2\x80\x89", "\xE2\x80\x8A", "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F",
};
constexpr std::string_view kIdeographicSpace = "\xE3\x80\x80";

bool isAsciiSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::size_t wideSpaceLength(std::string_view rest) {
  if (rest.starts_with(kIdeographicSpace)) return kIdeographicSpace.size();
  for (std::string_view s : kWideSpaces) {
    if (rest.starts_with(s)) return s.size();
  }
  return 0;
}

// Length of the white-space character that ends `text`, 0 when none does.
// Every encoding above starts with a lead byte (never a continuation byte), so
// a match at the end is always a whole character.
std::size_t trailingSpaceLength(std::string_view text) {
  if (text.empty()) return 0;
  if (isAsciiSpace(text.back())) return 1;
  if (text.ends_with(kIdeographicSpace)) return kIdeographicSpace.size();
  for (std::string_view s : kWideSpaces) {
    if (text.ends_with(s)) return s.size();
  }
  return 0;
}

}  // namespace

std::size_t whiteSpaceLengthAt(std::string_view text, std::size_t i) {
  if (i >= text.size()) return 0;
  if (isAsciiSpace(text[i])) return 1;
  return wideSpaceLength(text.substr(i));
}

std::string_view trimWhiteSpace(std::string_view text) {
  while (std::size_t n = whiteSpaceLengthAt(text, 0)) text.remove_prefix(n);
  while (std::size_t n = trailingSpaceLength(text)) text.remove_suffix(n);
  return text;
}

}  // namespace vantrel::text
