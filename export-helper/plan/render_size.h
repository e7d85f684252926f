#pragma once
// The pixel size of the rendered canvas.

#include <optional>
#include <string>

#include "manifest/scene.h"
#include "plan/geometry.h"

namespace vantrel::exporter {

// Long edge of the output canvas for a resolution class; unknown classes get 1280.
double longEdgeForResolution(const std::string& resolution);

// Rounds half away from zero, then to an even number of at least 2.
double toEvenDimension(double x);

// The editor's preview canvas, fitted into a 1920 x 1080 reference box.
Size previewReferenceCanvasDimensions(const NativeVideoSettings& videoSettings, double sourceWidth,
                                      double sourceHeight);

// The preview canvas scaled (up or down) so its long side is the resolution's
// long edge (or `maximumLongEdge` when smaller), with even sides.
Size resolveRenderSize(Size sourceDisplaySize, const NativeVideoSettings& videoSettings,
                       const std::string& resolution, std::optional<double> maximumLongEdge = std::nullopt);

}  // namespace vantrel::exporter
