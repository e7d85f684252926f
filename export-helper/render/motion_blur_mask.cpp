// Where the zoom motion samples may land: the zoomed video rectangle, minus
// the overlays on screen at t. Overlays are drawn on the unzoomed stack and
// zoom with it, so their rectangles are projected by the same camera; leaving
// them black keeps text, pictures and blurred areas sharp while the video
// behind them smears.

#include "render/motion_blur_mask.h"

#include <algorithm>
#include <cmath>

#include "render/render_state.h"

namespace vantrel::exporter {

namespace gfx = vantrel::graphics;

namespace {

constexpr double kActiveSlack = 0.0001;

bool isActive(double start, double end, double t) { return start - kActiveSlack <= t && t <= end + kActiveSlack; }

// The fade style's opacity is what decides: an overlay at zero opacity hides
// nothing and must not keep the video behind it sharp.
bool isVisible(double start, double end, const std::optional<std::string>& animationStyle, double t) {
  if (!isActive(start, end, t)) return false;
  if (animationStyle.value_or("none") != "fade") return true;
  const double d = end - start;
  const double f = std::min(d / 2, 0.2);
  if (d < 0 || f <= 0) return true;
  const double fadeIn = start <= 1e-6 ? 1.0 : std::clamp((t - start) / f, 0.0, 1.0);
  const double fadeOut = (end - t) / f;
  if (fadeOut < 0) return false;
  return std::min(fadeIn, std::min(fadeOut, 1.0)) > 0.0001;
}

// Overlay fields are fractions of R measured from its top-left corner.
gfx::Rect overlayRect(const gfx::Rect& R, double x, double y, double width, double height) {
  return {R.minX() + x * R.width, R.maxY() - (y + height) * R.height, width * R.width, height * R.height};
}

}  // namespace

MotionBlurMaskShape motionBlurMaskShape(const NativeRenderState& state, const gfx::Rect& baseRect,
                                        const NativeResolvedZoomCamera& camera, double t) {
  const Size size = state.renderSize();
  const gfx::Rect canvas{0, 0, std::max(1.0, std::ceil(size.width)), std::max(1.0, std::ceil(size.height))};
  const double z = camera.zoom;
  const gfx::Affine zoom{z, 0, 0, z, size.width / 2 - z * camera.centerX, size.height / 2 - z * camera.centerY};
  auto project = [&](const gfx::Rect& r) { return zoom.apply(r).intersection(canvas); };

  MotionBlurMaskShape shape;
  shape.white = project(baseRect);
  if (shape.white.isEmpty() || !shape.white.isFinite()) return {};
  auto cut = [&](double x, double y, double width, double height) {
    const gfx::Rect r = project(overlayRect(baseRect, x, y, width, height));
    if (!r.isEmpty() && r.isFinite()) shape.black.push_back(r);
  };
  const auto& plan = state.manifest().overlayPlan;
  for (const auto& o : plan.blurOverlays)
    if (isVisible(o.startTime, o.endTime, o.animationStyle, t)) cut(o.x, o.y, o.width, o.height);
  for (const auto& o : plan.imageOverlays)
    if (isActive(o.startTime, o.endTime, t)) cut(o.x, o.y, o.width, o.height);
  for (const auto& o : plan.textOverlays)
    if (isVisible(o.startTime, o.endTime, o.animationStyle, t)) cut(o.x, o.y, o.width, o.height);
  return shape;
}

std::optional<gfx::Image> NativeRenderState::makeMotionBlurSampleMask(const gfx::Rect& baseRect,
                                                                      const NativeResolvedZoomCamera& camera,
                                                                      double t) const {
  // Drawn as a recipe of filled rectangles rather than into a grey bitmap:
  // the same levels (edges by exact pixel coverage, white read from the green
  // channel, clear outside counting as black), computed only where it is read
  // and into pooled buffers instead of a canvas-sized drawing every frame.
  const MotionBlurMaskShape shape = motionBlurMaskShape(*this, baseRect, camera, t);
  const gfx::Image black = gfx::Image::solid({0, 0, 0, 1});
  if (shape.white.isEmpty()) return black.cropped(canvasRect());
  gfx::Image mask = gfx::Image::solid({1, 1, 1, 1}).clippedToRoundedRect(shape.white, 0);
  for (const auto& r : shape.black) mask = black.clippedToRoundedRect(r, 0).composited(mask);
  return mask.cropped(canvasRect());
}

}  // namespace vantrel::exporter
