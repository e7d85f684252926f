// Blur overlays: regions of the video hidden by pixellation, applied to the
// clipped video image before it joins the stack, so the cells move and zoom
// with the video and nothing beneath the video is touched.
//
// The rounded mask is a recipe (white clipped to the rounded rectangle, its
// level scaled by the fade) rather than a grey bitmap: it costs only the
// pixels along its outline, keeps the box's sub-pixel edges exact and
// allocates nothing per frame.

#include <cmath>

#include "render/layers/layers.h"
#include "render/overlay_animation.h"
#include "render/render_state.h"

namespace vantrel::exporter {

namespace gfx = vantrel::graphics;

namespace {

constexpr double kDefaultPixelSize = 14;

gfx::Image roundedMask(const gfx::Rect& rect, double radius, double opacity) {
  gfx::Image mask = gfx::Image::solid({1, 1, 1, 1}).cropped(rect);
  if (radius > 0.01) mask = mask.clippedToRoundedRect(rect, radius);
  if (opacity < 1) mask = mask.alphaMultiplied(opacity);
  return mask;
}

// The video computed once into a bitmap (its part on the canvas): the cells,
// the blend and the frame all read it, and the video is a Lanczos-scaled
// recipe that each of them would otherwise resample again.
gfx::Image flattened(NativeRenderState& state, const gfx::Image& video) {
  const gfx::Rect area = video.extent().integral().intersection(state.canvasRect());
  if (area.isEmpty()) return video;
  auto bitmap = state.renderer().makeBitmap(video, area);
  if (!bitmap) return video;
  return gfx::Image::fromBuffer(bitmap).translated(area.minX(), area.minY());
}

}  // namespace

LayerResult blurOverlaysLayer(NativeRenderState& state, double t, const SceneLayerInputs& inputs) {
  if (!inputs.target) return std::nullopt;
  const auto& overlays = state.manifest().overlayPlan.blurOverlays;
  const double s = state.layoutScale();
  std::optional<gfx::Image> current;
  for (const auto& overlay : overlays) {
    if (!overlayIsActive(overlay.startTime, overlay.endTime, t)) continue;
    const double opacity = overlayFadeOpacity(overlay.startTime, overlay.endTime, overlay.animationStyle, t);
    if (!(opacity > 0.0001)) continue;
    const gfx::Rect rect = overlayCanvasRect(inputs.videoRect, overlay.x, overlay.y, overlay.width, overlay.height);
    if (!overlayRectIsDrawable(rect)) continue;

    if (!current) current = flattened(state, *inputs.target);
    const gfx::Image below = *current;
    const double pixelSize =
        overlay.pixelSize && std::isfinite(*overlay.pixelSize) ? *overlay.pixelSize : kDefaultPixelSize;
    const double cell = std::max(s * pixelSize, 4 * s);
    const double radius = overlay.cornerRadius && std::isfinite(*overlay.cornerRadius) ? s * *overlay.cornerRadius : 0;
    const gfx::Image plain = below.cropped(rect);
    const gfx::Image cells = plain.pixellated(cell, {rect.midX(), rect.midY()}).cropped(rect);
    const gfx::Image patch = cells.blendedWithMask(plain, roundedMask(rect, radius, opacity));
    current = patch.composited(below);
  }
  return current;
}

bool blurOverlaysLayerChangesBetween(NativeRenderState& state, double t0, double t1) {
  // The cells are computed from the video beneath, so they follow the source
  // pixels by themselves; here only presence and fade count.
  for (const auto& overlay : state.manifest().overlayPlan.blurOverlays) {
    if (overlayPresenceOrFadeChanges(overlay, t0, t1)) return true;
  }
  return false;
}

}  // namespace vantrel::exporter
