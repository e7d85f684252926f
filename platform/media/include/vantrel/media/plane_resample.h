#pragma once
// Separable resampling of one 8-bit picture plane (Y, U or V) into a
// rectangle of another plane, so a decoded frame can be scaled straight into
// a planar output without going through BGRA.
//
// Geometry: output pixel o (absolute column or row of the destination plane)
// samples source coordinate (o + 0.5 - offset) / scale - 0.5, the convention of
// the graphics layer's own Lanczos scaling; taps past the source's edges are
// folded onto its first and last pixel. Weights are normalised per output pixel
// and rounded to Q14 so that they sum to exactly one: a flat area stays flat.
// Both passes are fixed point (down the columns into 1/64 levels, then across
// the rows), with the same arithmetic in the vector kernel and in the scalar
// reference, which therefore agree exactly.
//
// A resampler owns its weight tables (built once, in the constructor) and is
// immutable afterwards: run() may be called from any thread, also concurrently
// on different destinations.

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace vantrel::media {

enum class PlaneFilter { lanczos3, bilinear };

struct PlaneAxis {
  int srcCount = 0;  // source pixels along the axis, 1 ... kMaxPlaneSide
  int outStart = 0;  // first destination pixel written (absolute)
  int outCount = 0;  // destination pixels written, 0 ... kMaxPlaneSide
  double scale = 1;  // destination pixels per source pixel, > 0
  double offset = 0;  // destination position of the source's left/top edge
  // > 0: a 4:2:0 chroma axis that follows its luma plane, as a compositor
  // working in RGB treats it: chroma repeated onto this many luma pixels,
  // resampled on the luma grid (`scale` and `offset` are the luma geometry),
  // then each pair of luma outputs averaged into chroma output i (luma 2i and
  // 2i + 1). `srcCount` and `outStart`/`outCount` stay in chroma pixels.
  int lumaSrcCount = 0;
};

inline constexpr int kMaxPlaneSide = 16384;

class PlaneResampler {
 public:
  // Throws MediaError(invalidArgument) for sizes outside the bounds above or a
  // scale or offset that is not finite and positive (scale) / finite (offset).
  // Results are clamped to [low, high]: video levels keep a filter's overshoot
  // inside the range a picture drawn in RGB could reach (16-235 luma, 16-240 chroma).
  PlaneResampler(const PlaneAxis& x, const PlaneAxis& y, PlaneFilter filter = PlaneFilter::lanczos3,
                 std::uint8_t low = 0, std::uint8_t high = 255);

  // Reads the whole source plane (x.srcCount by y.srcCount bytes, rows
  // `srcStride` apart) and writes the destination rectangle of `dst`, whose
  // origin is the destination plane's top-left pixel. Vector kernel.
  void run(const std::uint8_t* src, std::ptrdiff_t srcStride, std::uint8_t* dst, std::ptrdiff_t dstStride) const;
  // run() for destination rows [rowBegin, rowEnd) only (absolute rows of the
  // destination plane, clamped to the rectangle): every written pixel is the
  // one run() writes, the other rows are left alone.
  void runRows(const std::uint8_t* src, std::ptrdiff_t srcStride, std::uint8_t* dst, std::ptrdiff_t dstStride,
               int rowBegin, int rowEnd) const;
  // run() for the destination rectangle rows [rowBegin, rowEnd) by columns
  // [colBegin, colEnd) only (absolute, clamped to the rectangle), reading only
  // the source columns those need; every written pixel is the one run() writes.
  void runRect(const std::uint8_t* src, std::ptrdiff_t srcStride, std::uint8_t* dst, std::ptrdiff_t dstStride,
               int rowBegin, int rowEnd, int colBegin, int colEnd) const;
  // The destination rows (absolute, [first, second)) whose filter taps read
  // any of source rows [srcBegin, srcEnd); an empty range when none does.
  std::pair<int, int> rowsReading(int srcBegin, int srcEnd) const;
  // The same for destination columns and source columns.
  std::pair<int, int> columnsReading(int srcBegin, int srcEnd) const;
  // The other way: the source rows ([first, second)) that the filter taps of
  // destination rows [rowBegin, rowEnd) (absolute, clamped to the rectangle)
  // read; an empty range when none is inside it.
  std::pair<int, int> rowsReadBy(int rowBegin, int rowEnd) const;
  // The same for source columns (a few more than the taps weigh, since rows
  // are padded with zero weights).
  std::pair<int, int> columnsReadBy(int colBegin, int colEnd) const;
  // The plain scalar reference of the same arithmetic.
  void runReference(const std::uint8_t* src, std::ptrdiff_t srcStride, std::uint8_t* dst,
                    std::ptrdiff_t dstStride) const;

  const PlaneAxis& xAxis() const { return x_; }
  const PlaneAxis& yAxis() const { return y_; }

  struct Table {
    int taps = 1;                   // source pixels per output pixel (x: padded to a multiple of 8)
    std::vector<int> start;         // first source pixel of each output pixel
    std::vector<std::int16_t> q14;  // [i][tap]
  };

 private:
  PlaneAxis x_, y_;
  Table tx_, ty_;
  std::uint8_t low_, high_;
};

}  // namespace vantrel::media
