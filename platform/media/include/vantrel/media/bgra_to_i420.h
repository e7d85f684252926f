#pragma once
// Premultiplied BGRA8 -> I420, BT.709 matrix, limited (video) range. Alpha is
// ignored: premultiplied colour already is the picture over black, which is
// what an opaque video frame shows. Chroma is the mean of each 2x2 block; an odd
// last column or row is averaged with itself. Fixed-point arithmetic shared by
// both versions, so the vector kernel and the scalar reference agree exactly.
// Pure functions; call from any thread.

#include <cstdint>

namespace vantrel::media {

struct I420Planes {
  std::uint8_t* y;
  int strideY;
  std::uint8_t* u;
  int strideU;
  std::uint8_t* v;
  int strideV;
};

// Vector kernel, dispatched to the best instruction set of this CPU.
void convertBgraToI420Bt709(const std::uint8_t* bgra, int stride, int width, int height, const I420Planes& out);
// Plain scalar reference of the same arithmetic.
void convertBgraToI420Bt709Reference(const std::uint8_t* bgra, int stride, int width, int height,
                                     const I420Planes& out);

struct I420Buffer;
class PixelBuffer;
// The way back for decoded BT.709 limited-range planes: the same conversion the
// decoder's BGRA output uses, so a frame handed over as planes and converted
// here is identical to one decoded to BGRA. `out` must have the planes' size.
// Throws MediaError(invalidArgument) otherwise.
void convertI420ToBgraBt709(const I420Buffer& planes, PixelBuffer& out);
// `in` converted to BGRA and back (convertI420ToBgraBt709, then
// convertBgraToI420Bt709), a few rows at a time so the BGRA stays in cache:
// the picture clamped to what RGB can hold, as a compositor working in BGRA
// sees it. `out` is resized to `in`'s size; it must not be `in`.
void roundTripI420ThroughBgraBt709(const I420Buffer& in, I420Buffer& out);
// The same for luma rows [rowBegin, rowEnd) only (widened to whole row pairs,
// with their chroma rows); `out` must already have `in`'s size, and its other
// rows are left alone. Each row pair converts on its own, so the rows written
// are exactly those the whole-picture call writes.
void roundTripI420RowsThroughBgraBt709(const I420Buffer& in, I420Buffer& out, int rowBegin, int rowEnd);

}  // namespace vantrel::media
