#include "plan/render_size.h"

#include <algorithm>
#include <cmath>

namespace vantrel::exporter {

double longEdgeForResolution(const std::string& resolution) {
  if (resolution == "4k") return 3840;
  if (resolution == "1440p") return 2560;
  if (resolution == "1080p") return 1920;
  return 1280;
}

double toEvenDimension(double x) {
  double r = std::round(x);  // halves away from zero
  if (r < 2) return 2;
  return std::fmod(r, 2.0) == 0 ? r : r + 1;
}

Size previewReferenceCanvasDimensions(const NativeVideoSettings& videoSettings, double sourceWidth,
                                      double sourceHeight) {
  Size size;
  if (videoSettings.aspectRatio == "custom") {
    size = {videoSettings.customCanvasWidth, videoSettings.customCanvasHeight};
  } else {
    double r = videoSettings.aspectRatioValue(sourceWidth, sourceHeight);
    if (r < 0.0001) {
      r = 0.0001;
      size = {r * 1080, 1080};
    } else {
      double h = 1920 / r;
      size = h <= 1080 ? Size{1920, h} : Size{r * 1080, 1080};
    }
  }
  return {std::max(size.width, 1.0), std::max(size.height, 1.0)};
}

Size resolveRenderSize(Size sourceDisplaySize, const NativeVideoSettings& videoSettings, const std::string& resolution,
                       std::optional<double> maximumLongEdge) {
  Size p = previewReferenceCanvasDimensions(videoSettings, sourceDisplaySize.width, sourceDisplaySize.height);
  double edge = longEdgeForResolution(resolution);
  double target = maximumLongEdge ? std::min(*maximumLongEdge, edge) : edge;
  double s = target / std::max({p.width, p.height, 1.0});
  return {toEvenDimension(p.width * s), toEvenDimension(p.height * s)};
}

}  // namespace vantrel::exporter
