#include "plan/pass_through.h"

#include <algorithm>
#include <cmath>

#include "support/overlay_renderability.h"

namespace vantrel::exporter {

namespace {

bool emptyOrAbsent(const auto& optionalList) { return !optionalList || optionalList->empty(); }

// Whether the source, fitted into the padded canvas keeping its aspect and
// centred as the compositor places it, covers the canvas exactly.
bool fillsCanvasExactly(double padding, Size display, Size render) {
  double p = std::max(padding, 0.0);
  double innerW = render.width - 2 * p;
  double innerH = render.height - 2 * p;
  if (innerW <= 0 || innerH <= 0) return false;
  double aspect = display.width / display.height;
  double fittedH = std::min(innerH, innerW / aspect);
  double fittedW = fittedH == innerH ? innerH * aspect : innerW;
  // Sub-pixel shortfalls are rounding, not letterboxing.
  if (innerW - fittedW > 0 && innerW - fittedW < 1) fittedW = innerW;
  if (innerH - fittedH > 0 && innerH - fittedH < 1) fittedH = innerH;
  double x = p + (innerW - fittedW) / 2;
  double y = p + (innerH - fittedH) / 2;
  return std::abs(x) <= 0.5 && std::abs(y) <= 0.5 && std::abs(std::max(fittedW, 1.0) - render.width) <= 0.5 &&
         std::abs(std::max(fittedH, 1.0) - render.height) <= 0.5;
}

}  // namespace

bool isSimpleVideoPassThroughCandidate(const NativeExportManifestV1& m, const VideoTrackMetadata& base,
                                       Size renderSize) {
  const auto& video = m.videoPlan;
  const auto& overlays = m.overlayPlan;
  if (m.qualityPlan.compression != "minimal") return false;
  if (video.cropRegion) return false;
  if (!overlays.fillerBlocks.empty()) return false;
  auto summary = NativeOverlayRenderability::summarize(m, renderSize);
  if (summary.hasImageOverlays || summary.hasTextOverlays || summary.hasBlurOverlays) return false;
  if (overlays.annotationData && !overlays.annotationData->strokes.empty()) return false;
  if (!overlays.subtitleCaptions.empty() || overlays.wallpaperPath || overlays.backgroundRasterPath ||
      !m.cameraPlan.cameraSegments.empty() || !video.zoomPoints.empty() || !emptyOrAbsent(video.resolvedZoomFrames)) {
    return false;
  }
  if (!emptyOrAbsent(video.resolvedVideoStyleFrames) || video.cursorSettings.enabled ||
      !emptyOrAbsent(video.resolvedCursorFrames) || (video.cursorData && !video.cursorData->positions.empty()) ||
      !video.hiddenCursorSegmentIds.empty()) {
    return false;
  }
  for (const auto& s : video.segments) {
    if (s.sourceIndex != 0 || !(std::abs(s.speed - 1) <= 0.0005) || s.padding || s.borderRadius) return false;
  }
  const auto& v = m.scene.settings.video;
  if (v.aspectRatio == "custom" || !(std::abs(v.padding) <= 0.0001) || !(std::abs(v.videoScale - 100) <= 0.0001) ||
      !(std::abs(v.borderRadius) <= 0.0001) || v.stroke.enabled || v.shadow.enabled) {
    return false;
  }
  const auto& bg = m.scene.settings.background;
  if (bg.type != "color" || bg.pattern != "none" || bg.wallpaperId || bg.wallpaperUploadUrl) return false;
  const Size d = base.displaySize;
  const Size r = renderSize;
  if (!(std::abs(r.width - d.width) <= 1 && std::abs(r.height - d.height) <= 1 && r.width > 0 && r.height > 0 &&
        d.width > 0 && d.height > 0)) {
    return false;
  }
  return fillsCanvasExactly(v.padding, d, r);
}

}  // namespace vantrel::exporter
