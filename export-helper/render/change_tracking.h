#pragma once
// Cheap checks of what differs between two frames, so that a frame whose
// pixels and scene did not change can reuse the one composed before it.
//
// Threads: pure functions over caller-owned memory; callable from any thread.

#include <cstddef>
#include <cstdint>
#include <utility>

namespace vantrel::exporter {

// First and one-past-last row where two equally sized planes differ; {0,0} when identical.
struct RowBand {
  int begin = 0;
  int end = 0;
  bool empty() const { return begin >= end; }
};

// Compares `rows` rows of `widthBytes` bytes each (any plane: BGRA, Y, U or V).
// Strides may differ and may be negative; padding beyond `widthBytes` is never
// read. Non-positive sizes give an empty band.
RowBand changedRows(const std::uint8_t* a, std::ptrdiff_t strideA, const std::uint8_t* b, std::ptrdiff_t strideB,
                    int widthBytes, int rows);

// The byte columns [first, second) where rows [rowBegin, rowEnd) of two
// planes differ ({0,0} when they do not); the rows are those changedRows
// found, so only rows that differ are scanned, from both ends.
std::pair<int, int> changedColumns(const std::uint8_t* a, std::ptrdiff_t strideA, const std::uint8_t* b,
                                   std::ptrdiff_t strideB, int width, int rowBegin, int rowEnd);

}  // namespace vantrel::exporter
