// The cursor drawn over the zoomed scene: the glyph of the pointer's cursor
// type, its hotspot on the projected pointer, tilted by the sway, with two
// faint copies between the previous frame's pointer and this one when it moves
// fast (the trail).

#include <algorithm>
#include <cmath>

#include "render/layers/layers.h"
#include "render/render_state.h"

namespace vantrel::exporter {

namespace gfx = vantrel::graphics;

namespace {

// The glyph with its hotspot on `point`, turned by `rotation` about it.
gfx::Image placedGlyph(const ResolvedCursorAsset& asset, gfx::Point point, double rotation, double alpha) {
  gfx::Affine placement = gfx::Affine::translation(-asset.offsetX, -asset.offsetY);
  if (rotation != 0) placement = placement.then(gfx::Affine::rotation(rotation));
  placement = placement.then(gfx::Affine::translation(point.x, point.y));
  gfx::Image glyph = asset.image.transformed(placement);
  if (alpha < 0.999) glyph = glyph.alphaMultiplied(alpha);
  return glyph;
}

NativeResolvedZoomCamera interpolatedCamera(const NativeResolvedZoomCamera& a, const NativeResolvedZoomCamera& b,
                                            double w) {
  NativeResolvedZoomCamera c = w < 0.5 ? a : b;
  c.centerX = a.centerX + (b.centerX - a.centerX) * w;
  c.centerY = a.centerY + (b.centerY - a.centerY) * w;
  c.zoom = a.zoom + (b.zoom - a.zoom) * w;
  c.cameraOverlayBlend = a.cameraOverlayBlend + (b.cameraOverlayBlend - a.cameraOverlayBlend) * w;
  c.isAutoZoom = w < 0.5 ? a.isAutoZoom : b.isAutoZoom;
  c.perspective = a.perspective;
  return c;
}

}  // namespace

LayerResult cursorLayer(NativeRenderState& state, double t, const SceneLayerInputs& in) {
  const NativeCursorRuntime& runtime = state.cursorRuntime();
  CursorAssetStore* store = state.cursorAssets();
  if (!runtime.enabled() || !store) return std::nullopt;
  const auto cur = runtime.sample(t);
  if (!cur || !cur->visible) return std::nullopt;
  const gfx::Rect& R = in.videoRect;
  const auto p = state.projectedCursorPoint(*cur, R, in.camera);
  if (!p) return std::nullopt;

  const auto& settings = runtime.settings();
  const Size canvas = state.renderSize();
  const double step = std::max(state.zoomSampleStepSeconds(), 1e-6);
  const double s = std::max(state.layoutScale(), 0.0001);
  const NativeZoomRuntime* zoom = state.zoomRuntime();
  auto glyphWidth = [&](double scale, const NativeResolvedZoomCamera& camera) {
    double size = s * scale * settings.size * 30;
    if (camera.zoom >= 1) size *= camera.zoom;
    return size;
  };

  std::optional<gfx::Image> layer;
  const auto cameraNow = zoom ? zoom->sample(t) : std::nullopt;
  if (t > step / 2 && !(cameraNow && cameraNow->perspective)) {
    const double t0 = std::max(t - step, 0.0);
    const auto prev = runtime.sample(t0);
    if (prev && prev->visible) {
      NativeResolvedZoomCamera prevCamera = in.camera;
      if (zoom) {
        if (auto c = zoom->sample(t0)) prevCamera = *c;
      }
      const auto q = state.projectedCursorPoint(*prev, R, prevCamera);
      const double dist = q ? std::hypot(p->x - q->x, p->y - q->y) : 0;
      if (q && dist > 2) {
        const double f = std::clamp(dist / (std::max(std::min(canvas.width, canvas.height), 1.0) * 0.08), 0.0, 1.0);
        for (const double w : {1.0 / 3, 2.0 / 3}) {
          const double tau = std::max(t0 + step * w, 0.0);
          const auto sample = runtime.sample(tau);
          if (!sample || !sample->visible) continue;
          std::optional<NativeResolvedZoomCamera> camera = zoom ? zoom->sample(tau) : std::nullopt;
          if (!camera) camera = interpolatedCamera(prevCamera, in.camera, w);
          const auto point = state.projectedCursorPoint(*sample, R, *camera);
          if (!point) continue;
          const double alpha = (1 - 0.25 * f) * 0.08 * f * (1 - 0.45 * w) * sample->opacity;
          if (!(alpha > 0) || !(sample->scale > 0)) continue;
          const auto asset = store->resolvedAsset(settings.style, sample->cursorType, glyphWidth(sample->scale, *camera));
          if (!asset) continue;
          const double rotation = state.cursorMotion().rotation(*point, tau * 1000, settings);
          gfx::Image glyph = placedGlyph(*asset, *point, rotation, alpha);
          layer = layer ? glyph.composited(*layer) : glyph;
        }
      }
    }
  }

  if (!(cur->opacity > 0) || !(cur->scale > 0)) return layer;
  const auto asset = store->resolvedAsset(settings.style, cur->cursorType, glyphWidth(cur->scale, in.camera));
  if (!asset) return layer;
  const double rotation = state.cursorMotion().rotation(*p, t * 1000, settings);
  gfx::Image glyph = placedGlyph(*asset, *p, rotation, cur->opacity);
  return layer ? glyph.composited(*layer) : glyph;
}

namespace {

bool sameCursor(const std::optional<NativeResolvedCursor>& a, const std::optional<NativeResolvedCursor>& b) {
  if (a.has_value() != b.has_value()) return false;
  if (!a) return true;
  return a->x == b->x && a->y == b->y && a->pressed == b->pressed && a->visible == b->visible &&
         a->cursorType == b->cursorType && a->opacity == b->opacity && a->scale == b->scale;
}

}  // namespace

bool cursorLayerChangesBetween(NativeRenderState& state, double t0, double t1) {
  const NativeCursorRuntime& runtime = state.cursorRuntime();
  if (!runtime.enabled() || !state.cursorAssets()) return false;
  // The trail of each frame reaches back one frame step, so the pointer must
  // be the same at both times and one step before each (idle fades, click
  // pulses and hidden-segment fades all show in the sample).
  const double step = std::max(state.zoomSampleStepSeconds(), 1e-6);
  const auto now = runtime.sample(t1);
  for (const double t : {t0, std::max(t0 - step, 0.0), std::max(t1 - step, 0.0)})
    if (!sameCursor(runtime.sample(t), now)) return true;
  // The sway eases back towards upright frame by frame; it is still only once it has settled at 0.
  if (now && now->visible && runtime.settings().swayEnabled) {
    // Both the tilt the kept frame at t0 was drawn with and the one the
    // next drawing starts from (probes may have drawn in between).
    const auto r = state.cursorMotion().lastRotation();
    const auto kept = state.keptCursorRotation();
    if ((r && *r != 0) || (kept && *kept != 0)) return true;
  }
  return false;
}

}  // namespace vantrel::exporter
