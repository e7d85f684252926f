#pragma once
// Where zoom motion samples may land, as rectangles in canvas space (y up,
// pixels): the zoomed video rectangle, less the zoomed rectangles of the
// overlays on screen at t. `makeMotionBlurSampleMask` draws the same shape as
// a grey mask; the motion-samples layer uses the rectangles directly.

#include <vector>

#include "render/runtimes.h"
#include "vantrel/graphics/geometry.h"

namespace vantrel::exporter {

class NativeRenderState;

struct MotionBlurMaskShape {
  graphics::Rect white;               // projected video rectangle within the canvas; empty when off screen
  std::vector<graphics::Rect> black;  // projected overlay rectangles within the canvas, in list order
};

// `baseRect` is the unzoomed video rectangle; t in seconds of output time.
MotionBlurMaskShape motionBlurMaskShape(const NativeRenderState& state, const graphics::Rect& baseRect,
                                        const NativeResolvedZoomCamera& camera, double t);

}  // namespace vantrel::exporter
