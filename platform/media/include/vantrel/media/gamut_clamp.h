#pragma once
// Pulls the colours of a decoded limited-range BT.709 I420 picture that lie
// outside the 8-bit RGB cube back onto it, as converting the picture to RGB
// (which clips) and back would, without the trip's rounding: a 2x2 block whose
// four pixels all lie inside the cube keeps its exact Y, U and V. Outside it,
// each pixel's luma moves by the luma of its RGB clipping error, and the
// block's chroma by the chroma of the mean error of its pixels (an odd last
// column or row averages the pixels it has). RGB->YUV is linear, so this is the
// trip's result up to a level of rounding, at a fraction of its work (no RGB
// picture is made). Fixed-point arithmetic shared by both versions: the vector
// kernel and the scalar reference agree exactly.
// Pure functions; call from any thread.

#include "vantrel/media/frame.h"

#include <limits>

namespace vantrel::media {

// Writes luma rows [rowBegin, rowEnd) by luma columns [colBegin, colEnd) of
// `out` (widened to whole 2x2 blocks, with their chroma samples) from the
// same pixels of `in`; the rest of `out` is left alone. `out` must already
// have `in`'s size and must not be `in`: throws MediaError(invalidArgument)
// otherwise. Vector kernel.
void clampI420ToRgbGamutBt709(const I420Buffer& in, I420Buffer& out, int rowBegin, int rowEnd, int colBegin = 0,
                              int colEnd = std::numeric_limits<int>::max());
// The plain scalar reference of the same arithmetic.
void clampI420ToRgbGamutBt709Reference(const I420Buffer& in, I420Buffer& out, int rowBegin, int rowEnd,
                                       int colBegin = 0, int colEnd = std::numeric_limits<int>::max());

}  // namespace vantrel::media
