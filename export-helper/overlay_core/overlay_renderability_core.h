#pragma once
// Pure rules that decide whether a timed overlay will visibly appear in some
// output frame. Kept free of the manifest types so the host-side logic and the
// renderer can share them. Times are seconds; sizes are fractions of the canvas.

#include <cstdint>
#include <optional>
#include <string>

namespace vantrel::overlaycore {

struct RenderSize {
  double width = 0;
  double height = 0;
};

struct OverlayRenderabilityCore {
  // Slack around an overlay's window, seconds.
  static constexpr double activeEpsilon = 0.0001;

  // True when [start, end] (widened by activeEpsilon) meets the time of at
  // least one output frame: frames at 0, 1/fps, ... up to the last one.
  static bool intersectsRenderedFrames(double startTime, double endTime, double durationSeconds,
                                       std::int64_t frameRate);

  // More than half a pixel each way at the render size.
  static bool hasRenderableGeometry(double width, double height, RenderSize renderSize);

  static bool hasRenderableWindowAndGeometry(double startTime, double endTime, double width, double height,
                                             double durationSeconds, std::int64_t frameRate, RenderSize renderSize);

  // The source is present and not blank (Unicode white space and line breaks
  // count as blank, as in vantrel/common/text.h).
  static bool hasRenderableImageSource(const std::optional<std::string>& source);

  // Opacities in percent; absent means fully opaque.
  static bool hasVisibleTextPaint(std::optional<double> opacity, bool backgroundEnabled,
                                  std::optional<double> backgroundOpacity);

  static bool requiresCustomCompositor(bool hasRenderableImage, bool hasRenderableText, bool hasRenderableBlur) {
    return hasRenderableImage || hasRenderableText || hasRenderableBlur;
  }
};

}  // namespace vantrel::overlaycore
