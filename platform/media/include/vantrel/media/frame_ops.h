#pragma once
// Whole-picture operations on BGRA buffers (libyuv underneath). Pure; any thread.

#include "vantrel/media/asset.h"
#include "vantrel/media/frame.h"

#include <memory>

namespace vantrel::media {

// A new buffer holding `src` turned by the transform's quarter turns and flip,
// so that it shows upright.
std::unique_ptr<PixelBuffer> applyDisplayTransform(const PixelBuffer& src, const AffineTransform& transform);
// Scales all of `src` onto all of `dst` (box filter when shrinking).
void scaleInto(const PixelBuffer& src, PixelBuffer& dst);
// The largest size with `size`'s aspect that fits `limit` (0 = no limit on that
// side) without enlarging; at least 1 x 1.
Size fitWithin(Size size, Size limit);

}  // namespace vantrel::media
