// The camera bubble over the finished scene: the active camera segment's
// frame in its rounded rectangle, with the faint ghosts that trail it while
// it moves between layouts.

#include <algorithm>
#include <cmath>

#include "render/camera_runtime.h"
#include "render/layers/layers.h"
#include "render/render_state.h"

namespace vantrel::exporter {

namespace gfx = vantrel::graphics;

std::optional<gfx::Image> composeCameraOverlayFromCIImage(const gfx::Image& raw,
                                                          const ResolvedCameraOverlayPlacement& placement,
                                                          Size canvas) {
  const CameraDrawRect& r = placement.rect;
  const gfx::Rect dest = placement.drawFullscreen ? gfx::Rect{0, 0, canvas.width, canvas.height}
                                                  : cameraDrawRectInCanvasSpace(r, canvas.height);
  if (!dest.isFinite() || dest.isEmpty() || !(placement.opacity > 0) || raw.isEmpty()) return std::nullopt;

  // Centre crop to the bubble's shape, in whole pixels so that the bubble's
  // edges come from real pixels rather than a half-covered border column.
  const gfx::Rect e = raw.extent();
  const double aspect = std::max(std::isfinite(r.aspect) ? r.aspect : 1.0, 0.0001);
  gfx::Rect crop = e;
  if (e.width / e.height > aspect) {
    crop.width = std::clamp(std::round(e.height * aspect), 1.0, e.width);
    crop.x = e.x + std::round((e.width - crop.width) / 2);
  } else {
    crop.height = std::clamp(std::round(e.width / aspect), 1.0, e.height);
    crop.y = e.y + std::round((e.height - crop.height) / 2);
  }
  gfx::Image picture = raw.cropped(crop);
  // Flipped about the crop's own centre before scaling: the flip and the scale
  // fold into one resampling, and the picture keeps exactly its rectangle.
  if (placement.mirrored) picture = picture.transformed({-1, 0, 0, 1, 2 * crop.midX(), 0});
  picture = scaleImageWithLanczos(picture, dest);
  if (placement.opacity < 0.999) picture = picture.alphaMultiplied(placement.opacity);
  if (!placement.drawFullscreen && r.radius > 0.01) picture = picture.clippedToRoundedRect(dest, r.radius);
  if (picture.isEmpty()) return std::nullopt;
  return picture;
}

LayerResult cameraOverlayLayer(NativeRenderState& state, double t, const SceneLayerInputs& in) {
  const NativeCameraPlan& plan = state.manifest().cameraPlan;
  if (plan.cameraSegments.empty()) return std::nullopt;
  auto& slot = state.layerStates().camera;
  if (!slot) slot = std::make_shared<CameraOverlayState>(plan);
  const NativeCameraRuntime& runtime = slot->runtime;

  const auto active = runtime.resolveActiveCamera(t);
  if (!active) return std::nullopt;
  const NativeCameraSegment& segment = *active->segment;
  const auto& metadataByURL = state.inputs().cameraTrackMetadataByURL;
  const auto metadata = metadataByURL.find(segment.videoUrl);
  if (metadata == metadataByURL.end() || !state.inputs().cameraDecoder) return std::nullopt;

  const Size canvas = state.renderSize();
  const auto placement = runtime.resolveCameraOverlayPlacement(t, *active, in.layout, in.camera.cameraOverlayBlend,
                                                               canvas.width, canvas.height);
  if (!placement || !(placement->opacity > 0)) return std::nullopt;

  const double mediaSeconds = segment.recordingStartTime + std::max(t - segment.startTime, 0.0);
  const auto frame = state.inputs().cameraDecoder->frame(segment.videoUrl, mediaSeconds, metadata->second);
  if (!frame) return std::nullopt;

  // One decoded frame serves the ghosts and the bubble; oldest ghost at the bottom.
  std::optional<gfx::Image> layer;
  auto lay = [&layer](const std::optional<gfx::Image>& image) {
    if (image) layer = layer ? image->composited(*layer) : *image;
  };
  for (const CameraGhostRect& ghost : placement->ghostRects) {
    ResolvedCameraOverlayPlacement copy;
    copy.rect = ghost.rect;
    copy.opacity = placement->opacity * ghost.alpha;
    copy.drawFullscreen = false;
    copy.mirrored = placement->mirrored;
    lay(composeCameraOverlayFromCIImage(*frame, copy, canvas));
  }
  lay(composeCameraOverlayFromCIImage(*frame, *placement, canvas));
  return layer;
}

bool cameraOverlayLayerChangesBetween(NativeRenderState& state, double t0, double t1) {
  const NativeCameraPlan& plan = state.manifest().cameraPlan;
  if (plan.cameraSegments.empty()) return false;
  auto& slot = state.layerStates().camera;
  if (!slot) slot = std::make_shared<CameraOverlayState>(plan);
  // The bubble shows the camera recording at the output time, so its picture
  // moves on with every frame while a segment is active; no segment at
  // either time means no bubble at both.
  return slot->runtime.resolveActiveCamera(t0).has_value() || slot->runtime.resolveActiveCamera(t1).has_value();
}

}  // namespace vantrel::exporter
