#include "overlay_core/overlay_renderability_core.h"

#include <algorithm>
#include <cmath>

#include "vantrel/common/text.h"

namespace vantrel::overlaycore {

bool OverlayRenderabilityCore::intersectsRenderedFrames(double startTime, double endTime, double durationSeconds,
                                                        std::int64_t frameRate) {
  if (!std::isfinite(startTime) || !std::isfinite(endTime)) return false;
  if (!std::isfinite(durationSeconds) || durationSeconds <= 0 || frameRate <= 0) return false;
  const double fps = static_cast<double>(frameRate);
  const double frames = std::ceil(durationSeconds * fps);
  // Frame counts beyond 2^53 cannot be told apart as doubles anyway; such a
  // manifest is far outside anything the host writes.
  const double last = frames >= 2 ? (frames - 1) / fps : 0.0;
  return std::max(startTime - activeEpsilon, 0.0) <= std::min(endTime + activeEpsilon, last);
}

bool OverlayRenderabilityCore::hasRenderableGeometry(double width, double height, RenderSize renderSize) {
  if (!std::isfinite(width) || !std::isfinite(height) || width <= 0 || height <= 0) return false;
  return width * renderSize.width > 0.5 && height * renderSize.height > 0.5;
}

bool OverlayRenderabilityCore::hasRenderableWindowAndGeometry(double startTime, double endTime, double width,
                                                              double height, double durationSeconds,
                                                              std::int64_t frameRate, RenderSize renderSize) {
  return intersectsRenderedFrames(startTime, endTime, durationSeconds, frameRate) &&
         hasRenderableGeometry(width, height, renderSize);
}

bool OverlayRenderabilityCore::hasRenderableImageSource(const std::optional<std::string>& source) {
  if (!source) return false;
  return !text::isBlank(*source);
}

bool OverlayRenderabilityCore::hasVisibleTextPaint(std::optional<double> opacity, bool backgroundEnabled,
                                                   std::optional<double> backgroundOpacity) {
  // NaN compares false everywhere, so a NaN opacity counts as invisible paint.
  bool textVisible = !opacity || *opacity >= 100 || std::max(*opacity, 0.0) > 0;
  if (!backgroundEnabled) return textVisible;
  if (!backgroundOpacity || *backgroundOpacity >= 100) return true;
  if (*backgroundOpacity >= 0) return textVisible || *backgroundOpacity > 0;
  return textVisible;
}

}  // namespace vantrel::overlaycore
