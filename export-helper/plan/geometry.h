#pragma once
// Plain geometry of the planning stage: sizes in pixels and the affine display
// transform of a video track.

#include <cmath>

namespace vantrel::exporter {

struct Size {
  double width = 0;
  double height = 0;
  bool operator==(const Size&) const = default;
};

// Maps (x, y) to (a x + c y + tx, b x + d y + ty).
struct AffineTransform {
  double a = 1, b = 0, c = 0, d = 1, tx = 0, ty = 0;
  bool operator==(const AffineTransform&) const = default;
};

// Measured from one video track.
struct VideoTrackMetadata {
  Size naturalSize;
  AffineTransform preferredTransform;
  // The natural rectangle after the transform, both sides as absolute values.
  Size displaySize;

  static VideoTrackMetadata make(Size natural, AffineTransform transform) {
    return {natural, transform,
            {std::abs(transform.a * natural.width + transform.c * natural.height),
             std::abs(transform.b * natural.width + transform.d * natural.height)}};
  }
};

}  // namespace vantrel::exporter
