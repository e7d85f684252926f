#include "render/change_tracking.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace vantrel::exporter {

RowBand changedRows(const std::uint8_t* a, std::ptrdiff_t strideA, const std::uint8_t* b, std::ptrdiff_t strideB,
                    int widthBytes, int rows) {
  if (!a || !b || widthBytes <= 0 || rows <= 0) return {};
  const auto n = static_cast<std::size_t>(widthBytes);
  auto same = [&](int y) { return std::memcmp(a + y * strideA, b + y * strideB, n) == 0; };
  int begin = 0;
  while (begin < rows && same(begin)) ++begin;
  if (begin == rows) return {};
  int end = rows;
  while (end > begin + 1 && same(end - 1)) --end;
  return {begin, end};
}

std::pair<int, int> changedColumns(const std::uint8_t* a, std::ptrdiff_t strideA, const std::uint8_t* b,
                                   std::ptrdiff_t strideB, int width, int rowBegin, int rowEnd) {
  int first = width, end = 0;
  for (int y = rowBegin; y < rowEnd && (first > 0 || end < width); ++y) {
    const std::uint8_t* ra = a + static_cast<std::ptrdiff_t>(y) * strideA;
    const std::uint8_t* rb = b + static_cast<std::ptrdiff_t>(y) * strideB;
    if (std::memcmp(ra, rb, static_cast<std::size_t>(width)) == 0) continue;
    // Only what lies outside the columns found so far needs a look, eight
    // bytes at a time until the word that differs.
    auto word = [](const std::uint8_t* p) {
      std::uint64_t v;
      std::memcpy(&v, p, sizeof v);
      return v;
    };
    int x = 0;
    while (x + 8 <= first && word(ra + x) == word(rb + x)) x += 8;
    while (x < first && ra[x] == rb[x]) ++x;
    first = std::min(first, x);
    int e = width;
    while (e - 8 >= end && word(ra + e - 8) == word(rb + e - 8)) e -= 8;
    while (e > end && ra[e - 1] == rb[e - 1]) --e;
    end = std::max(end, e);
  }
  return first < end ? std::pair{first, end} : std::pair{0, 0};
}

}  // namespace vantrel::exporter
