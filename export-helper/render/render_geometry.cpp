#include "render/render_geometry.h"

#include <algorithm>
#include <cmath>

namespace vantrel::exporter {

double computeLayoutScaleFactor(const NativeVideoSettings& settings, double W, double H, double sourceWidth,
                                double sourceHeight) {
  const std::string& ratio = settings.aspectRatio;
  auto scaleFor = [&](double refW, double refH) { return std::min(H / refH, W / refW); };
  if (ratio == "custom") {
    const double cw = settings.customCanvasWidth < 1 ? 1 : settings.customCanvasWidth;
    const double ch = settings.customCanvasHeight < 1 ? 1 : settings.customCanvasHeight;
    return scaleFor(cw, ch);
  }
  if (ratio == "9:16") return scaleFor(607.5, 1080);
  if (ratio == "1:1") return scaleFor(1080, 1080);
  if (ratio == "16:9") return scaleFor(1920, 1080);
  if (ratio == "16:10") return scaleFor(1728, 1080);
  if (ratio == "4:5") return scaleFor(864, 1080);
  if (ratio == "fit" && sourceWidth > 0 && sourceHeight > 0) {
    const double a = sourceWidth / sourceHeight;
    if (a >= 0.0001) {
      const double r = 1920 / a;
      if (r <= 1080) return scaleFor(1920, r < 1 ? 1 : r);
    }
    const double w = a * 1080;
    return scaleFor(w < 1 ? 1 : w, 1080);
  }
  return scaleFor(1920, 1080);
}

std::optional<VideoFrameGeometry> computeVideoFrameGeometry(const NativeVideoSettings& settings, Size canvas,
                                                            Size source, double padding, double radius,
                                                            double layoutScale) {
  const double W = canvas.width, H = canvas.height;
  if (!(source.width > 0) || !(source.height > 0) || !(W > 0) || !(H > 0)) return std::nullopt;
  const double p = std::max(padding * layoutScale, 0.0);
  const double availW = W - 2 * p, availH = H - 2 * p;
  if (!(availW > 0) || !(availH > 0)) return std::nullopt;

  const double a = source.width / source.height;
  double width, height;
  if (availH < availW / a) {
    width = a * availH;
    height = availH;
  } else {
    width = availW;
    height = availW / a;
  }
  // Rounding slivers would otherwise show a hairline of background.
  if (availW - width > 0 && availW - width < 1) width = availW;
  if (availH - height > 0 && availH - height < 1) height = availH;

  double x, top;
  if (settings.aspectRatio == "custom") {
    const double k = std::max(settings.videoScale / 100, 0.1);
    width *= k;
    height *= k;
    const std::string& h = settings.horizontalAlignment;
    const std::string& v = settings.verticalAlignment;
    x = h == "left" ? p : h == "right" ? W - p - width : p + (availW - width) / 2;
    top = v == "top" ? p : v == "bottom" ? H - p - height : p + (availH - height) / 2;
  } else {
    x = p + (availW - width) / 2;
    top = p + (availH - height) / 2;
  }
  width = std::max(width, 1.0);
  height = std::max(height, 1.0);

  VideoFrameGeometry g;
  g.layout = {width, height, x, top};
  g.rect = {x, H - top - height, width, height};
  g.borderRadius = radius > 0 ? radius * height / 1080 : 0;
  g.padding = std::max(padding, 0.0) * layoutScale;
  return g;
}

Size croppedSourceDisplaySize(const VideoTrackMetadata& metadata, const std::optional<NativeCropRegion>& crop) {
  Size d = metadata.displaySize;
  if (!crop) return d;
  return {std::max(crop->width * d.width, 1.0), std::max(crop->height * d.height, 1.0)};
}

namespace {

constexpr double kBoundaryTolerance = 1e-6;

template <typename T, typename Start, typename End, typename Id>
const T* activeAt(const std::vector<T>& items, double t, Start start, End end, Id id) {
  for (const T& item : items) {
    if (start(item) - kBoundaryTolerance <= t && t < end(item) - kBoundaryTolerance) return &item;
    // The timeline's last instant has no later item to hand over to.
    if (start(item) - kBoundaryTolerance <= t && std::abs(end(item) - t) <= kBoundaryTolerance &&
        id(item) == id(items.back())) {
      return &item;
    }
  }
  return nullptr;
}

}  // namespace

const NativeVideoSegmentPlan* resolveActiveVideoSegment(const std::vector<NativeVideoSegmentPlan>& segments,
                                                        double t) {
  return activeAt(
      segments, t, [](const auto& s) { return s.outputStartTime; }, [](const auto& s) { return s.outputEndTime; },
      [](const auto& s) { return s.segmentId; });
}

const NativeFillerBlock* resolveActiveFillerBlock(const std::vector<NativeFillerBlock>& fillers, double t) {
  return activeAt(
      fillers, t, [](const auto& f) { return f.startOutputTime; }, [](const auto& f) { return f.endOutputTime; },
      [](const auto& f) { return f.id; });
}

std::string layerGeometryKey(const graphics::Rect& r, double radius) {
  auto n = [](double v) { return std::to_string(static_cast<long long>(std::llround(v))); };
  return n(r.minX()) + "_" + n(r.minY()) + "_" + n(r.width) + "_" + n(r.height) + "_" + n(radius * 10);
}

}  // namespace vantrel::exporter
