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

// The way back: limited-range I420 to opaque BGRA, each chroma sample shared
// by its 2x2 block, coefficients in Q15 (to within a quarter level of the exact
// matrix before rounding; 8-bit coefficient tables are off by up to a dozen
// levels of blue on saturated colours). Vector kernel and scalar reference of
// the same arithmetic, which agree exactly.
enum class YuvMatrix { bt709, bt601 };
void convertI420ToBgra(YuvMatrix matrix, const std::uint8_t* y, int strideY, const std::uint8_t* u, int strideU,
                       const std::uint8_t* v, int strideV, std::uint8_t* bgra, int stride, int width, int height);
void convertI420ToBgraReference(YuvMatrix matrix, const std::uint8_t* y, int strideY, const std::uint8_t* u,
                                int strideU, const std::uint8_t* v, int strideV, std::uint8_t* bgra, int stride,
                                int width, int height);

struct I420Buffer;
class PixelBuffer;
// The same (BT.709) for decoded planes: the conversion the decoder's BGRA
// output of such frames uses, so a frame handed over as planes and converted here is
// identical to one decoded to BGRA. `out` must have the planes' size.
// Throws MediaError(invalidArgument) otherwise.
void convertI420ToBgraBt709(const I420Buffer& planes, PixelBuffer& out);

}  // namespace vantrel::media
