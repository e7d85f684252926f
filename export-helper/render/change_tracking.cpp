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

// Differences OR-ed byte by byte: with a fixed length the compiler makes this
// a few vector XORs and ORs, with no branch per byte.
template <int N>
bool sameBytesFixed(const std::uint8_t* a, const std::uint8_t* b) {
  std::uint8_t diff = 0;
  for (int i = 0; i < N; ++i) diff |= static_cast<std::uint8_t>(a[i] ^ b[i]);
  return diff == 0;
}

bool sameBytes(const std::uint8_t* a, const std::uint8_t* b, int n) {
  if (n == 64) return sameBytesFixed<64>(a, b);
  if (n == 32) return sameBytesFixed<32>(a, b);
  return std::memcmp(a, b, static_cast<std::size_t>(n)) == 0;
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
