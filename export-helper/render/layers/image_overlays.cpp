// Image overlays: pictures laid over the unzoomed stack, relative to the video
// rectangle, with their entrance and exit effects. The returned layer holds
// every overlay of the moment, each over the ones before it in list order.

#include <cmath>
#include <cstdio>

#include "render/layers/layers.h"
#include "render/overlay_animation.h"
#include "render/render_state.h"

namespace vantrel::exporter {

namespace gfx = vantrel::graphics;

namespace {

OverlayLayersState& overlayState(NativeRenderState& state) {
  auto& slot = state.layerStates().overlays;
  if (!slot) slot = std::make_shared<OverlayLayersState>();
  return *slot;
}

// The picture scaled into `rect`. Lanczos resampling is the expensive part of
// the layer, so when the box lies on the canvas it is done once into a
// bitmap that covers the box's whole pixels and keeps its sub-pixel place;
// later frames move or scale that bitmap only. Boxes reaching off the
// canvas stay lazy, so only what is seen is ever computed.
gfx::Image scaledPicture(NativeRenderState& state, const NativeImageOverlay& overlay, const gfx::Image& source,
                         const gfx::Rect& rect) {
  const gfx::Image cropped = croppedImageSource(source, overlay.crop);
  if (cropped.extent().integral().isEmpty()) return gfx::Image();
  const gfx::Image scaled = scaleImageWithLanczos(cropped, rect);
  const gfx::Rect bounds = rect.integral();
  const gfx::Rect canvas = state.canvasRect();
  if (bounds.intersection(canvas).width != bounds.width || bounds.intersection(canvas).height != bounds.height)
    return scaled;

  auto& cache = overlayState(state);
  const auto& c = overlay.crop;
  char numbers[256];
  std::snprintf(numbers, sizeof numbers, "|%.4f,%.4f,%.4f,%.4f|%.5f,%.5f,%.5f,%.5f", rect.minX(), rect.minY(),
                rect.width, rect.height, c ? c->x : -1.0, c ? c->y : -1.0, c ? c->width : -1.0, c ? c->height : -1.0);
  const std::string key = *overlay.src + numbers;
  if (auto hit = cache.pictureImages.find(key)) return *hit;
  auto bitmap = state.renderer().makeBitmap(scaled, bounds);
  if (!bitmap) return scaled;
  ++cache.pictureRenders;
  gfx::Image image = gfx::Image::fromBuffer(bitmap).translated(bounds.minX(), bounds.minY());
  cache.pictureImages.insert(key, image, static_cast<std::size_t>(bounds.width * bounds.height * 4));
  return image;
}

}  // namespace

LayerResult imageOverlaysLayer(NativeRenderState& state, double t, const SceneLayerInputs& inputs) {
  const auto& overlays = state.manifest().overlayPlan.imageOverlays;
  const auto& sources = state.inputs().imageSourcesByPath;
  std::optional<gfx::Image> layer;
  for (const auto& overlay : overlays) {
    if (!overlay.src || !overlayIsActive(overlay.startTime, overlay.endTime, t)) continue;
    const auto source = sources.find(*overlay.src);
    if (source == sources.end()) continue;
    const gfx::Rect rect = overlayCanvasRect(inputs.videoRect, overlay.x, overlay.y, overlay.width, overlay.height);
    if (!overlayRectIsDrawable(rect)) continue;
    const ImageAnimationRenderState look = resolveImageOverlayAnimationState(overlay, t);
    if (!(look.opacity > 0.001) || !(look.scale > 0.001)) continue;

    gfx::Image picture = scaledPicture(state, overlay, source->second, rect);
    if (picture.isEmpty()) continue;
    const double cx = rect.midX(), cy = rect.midY();
    const double mx = cx + look.offsetX, my = cy - look.offsetY;
    if (look.scale != 1 || look.offsetX != 0 || look.offsetY != 0) {
      const double s = look.scale;
      picture = picture.transformed({s, 0, 0, s, mx - s * cx, my - s * cy});
    }
    if (look.blur > 0.01) {
      picture = picture.gaussianBlur(look.blur).cropped({mx - rect.width, my - rect.height, 2 * rect.width,
                                                         2 * rect.height});
    }
    if (look.opacity < 1) picture = picture.alphaMultiplied(look.opacity);
    layer = layer ? picture.composited(*layer) : picture;
  }
  return layer;
}

bool imageOverlaysLayerChangesBetween(NativeRenderState& state, double t0, double t1) {
  const auto& sources = state.inputs().imageSourcesByPath;
  for (const auto& overlay : state.manifest().overlayPlan.imageOverlays) {
    if (!overlay.src || sources.find(*overlay.src) == sources.end()) continue;
    const bool a = overlayIsActive(overlay.startTime, overlay.endTime, t0);
    const bool b = overlayIsActive(overlay.startTime, overlay.endTime, t1);
    if (a != b) return true;
    if (!a) continue;
    const ImageAnimationRenderState x = resolveImageOverlayAnimationState(overlay, t0);
    const ImageAnimationRenderState y = resolveImageOverlayAnimationState(overlay, t1);
    if (x.opacity != y.opacity || x.offsetX != y.offsetX || x.offsetY != y.offsetY || x.scale != y.scale ||
        x.blur != y.blur)
      return true;
  }
  return false;
}

}  // namespace vantrel::exporter
