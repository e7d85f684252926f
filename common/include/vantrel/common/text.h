#pragma once
// White space in UTF-8 text, as Unicode defines it (the White_Space property):
// U+0009..U+000D, U+0020, U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028,
// U+2029, U+202F, U+205F and U+3000. Paths, colours and commands typed or
// pasted by people carry no-break and ideographic spaces and line separators as
// often as ASCII blanks, so every trim of user text goes through here.
//
// Bytes that are not valid UTF-8 are never white space and are never split:
// trimming only removes whole, well-formed encodings. Pure functions; any
// thread. Returned views point into the argument.

#include <cstddef>
#include <string_view>

namespace vantrel::text {

// Byte length of the white-space character starting at byte `i` of `text`;
// 0 when there is none there (or `i` is past the end).
std::size_t whiteSpaceLengthAt(std::string_view text, std::size_t i);

// `text` without white space at either end.
std::string_view trimWhiteSpace(std::string_view text);

// True when `text` is empty or white space only.
inline bool isBlank(std::string_view text) { return trimWhiteSpace(text).empty(); }

}  // namespace vantrel::text
