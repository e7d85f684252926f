#include "support/overlay_renderability.h"

#include <algorithm>

#include "overlay_core/overlay_renderability_core.h"

namespace vantrel::exporter {

using overlaycore::OverlayRenderabilityCore;

NativeRenderableOverlaySummary NativeOverlayRenderability::summarize(const NativeExportManifestV1& manifest,
                                                                     Size renderSize) {
  const double duration = manifest.videoPlan.durationSeconds;
  const auto fps = manifest.qualityPlan.frameRate;
  const overlaycore::RenderSize size{renderSize.width, renderSize.height};
  auto visible = [&](const auto& o) {
    return OverlayRenderabilityCore::hasRenderableWindowAndGeometry(o.startTime, o.endTime, o.width, o.height,
                                                                    duration, fps, size);
  };
  const auto& plan = manifest.overlayPlan;
  NativeRenderableOverlaySummary s;
  s.hasImageOverlays = std::any_of(plan.imageOverlays.begin(), plan.imageOverlays.end(), [&](const auto& o) {
    return OverlayRenderabilityCore::hasRenderableImageSource(o.src) && visible(o);
  });
  s.hasTextOverlays = std::any_of(plan.textOverlays.begin(), plan.textOverlays.end(), [&](const auto& o) {
    return OverlayRenderabilityCore::hasVisibleTextPaint(o.opacity, o.backgroundEnabled.value_or(false),
                                                         o.backgroundOpacity) &&
           visible(o);
  });
  s.hasBlurOverlays = std::any_of(plan.blurOverlays.begin(), plan.blurOverlays.end(), visible);
  return s;
}

}  // namespace vantrel::exporter
