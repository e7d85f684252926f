#include "render/change_tracking.h"

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

}  // namespace vantrel::exporter
