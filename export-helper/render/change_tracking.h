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

// Sets flags[(y / tileHeight) * tileColumns + x / tileWidth] to 1 for every
// tile holding a byte where rows [rowBegin, rowEnd) of two planes `width`
// bytes wide differ (any plane; the caller sizes `flags` to cover them).
// Tiles already flagged are not compared again, so the planes of one picture
// can be marked into one grid at their own tile sizes.
void markChangedTiles(const std::uint8_t* a, std::ptrdiff_t strideA, const std::uint8_t* b, std::ptrdiff_t strideB,
                      int width, int rowBegin, int rowEnd, int tileWidth, int tileHeight, std::uint8_t* flags,
                      int tileColumns);

}  // namespace vantrel::exporter
