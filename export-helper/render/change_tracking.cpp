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

namespace {

// Eight bytes at a time; the compiler turns the loop into vector code.
bool sameBytes(const std::uint8_t* a, const std::uint8_t* b, int n) {
  std::uint64_t diff = 0;
  int i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t x, y;
    std::memcpy(&x, a + i, sizeof x);
    std::memcpy(&y, b + i, sizeof y);
    diff |= x ^ y;
  }
  for (; i < n; ++i) diff |= static_cast<std::uint64_t>(a[i] ^ b[i]);
  return diff == 0;
}

}  // namespace

void markChangedTiles(const std::uint8_t* a, std::ptrdiff_t strideA, const std::uint8_t* b, std::ptrdiff_t strideB,
                      int width, int rowBegin, int rowEnd, int tileWidth, int tileHeight, std::uint8_t* flags,
                      int tileColumns) {
  if (!a || !b || width <= 0 || tileWidth <= 0 || tileHeight <= 0) return;
  const int tiles = std::min(tileColumns, (width + tileWidth - 1) / tileWidth);
  for (int y = std::max(rowBegin, 0); y < rowEnd; ++y) {
    const std::uint8_t* ra = a + y * strideA;
    const std::uint8_t* rb = b + y * strideB;
    std::uint8_t* row = flags + static_cast<std::ptrdiff_t>(y / tileHeight) * tileColumns;
    for (int t = 0; t < tiles; ++t) {
      if (row[t]) continue;
      const int x = t * tileWidth;
      if (!sameBytes(ra + x, rb + x, std::min(tileWidth, width - x))) row[t] = 1;
    }
  }
}

}  // namespace vantrel::exporter
