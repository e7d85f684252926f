#include "vantrel/media/frame_ops.h"

#include <libyuv.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace vantrel::media {

std::unique_ptr<PixelBuffer> applyDisplayTransform(const PixelBuffer& src, const AffineTransform& transform) {
  const int turns = transform.clockwiseQuarterTurns();
  const bool sideways = turns % 2 == 1;
  auto out = std::make_unique<PixelBuffer>(sideways ? src.height() : src.width(),
                                           sideways ? src.width() : src.height());
  const libyuv::RotationMode modes[4] = {libyuv::kRotate0, libyuv::kRotate90, libyuv::kRotate180,
                                         libyuv::kRotate270};
  libyuv::ARGBRotate(src.data(), src.stride(), out->data(), out->stride(), src.width(), src.height(), modes[turns]);
  if (transform.flips()) {
    auto mirrored = std::make_unique<PixelBuffer>(out->width(), out->height());
    libyuv::ARGBMirror(out->data(), out->stride(), mirrored->data(), mirrored->stride(), out->width(),
                       out->height());
    return mirrored;
  }
  return out;
}

void scaleInto(const PixelBuffer& src, PixelBuffer& dst) {
  if (src.width() == dst.width() && src.height() == dst.height()) {
    for (int y = 0; y < src.height(); ++y) std::memcpy(dst.row(y), src.row(y), static_cast<size_t>(src.width()) * 4);
    return;
  }
  libyuv::ARGBScale(src.data(), src.stride(), src.width(), src.height(), dst.data(), dst.stride(), dst.width(),
                    dst.height(), libyuv::kFilterBox);
}

Size fitWithin(Size size, Size limit) {
  double s = 1;
  if (limit.width > 0 && size.width > limit.width) s = std::min(s, limit.width / size.width);
  if (limit.height > 0 && size.height > limit.height) s = std::min(s, limit.height / size.height);
  return Size{std::max(1.0, std::round(size.width * s)), std::max(1.0, std::round(size.height * s))};
}

}  // namespace vantrel::media
