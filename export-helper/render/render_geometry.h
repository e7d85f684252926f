#pragma once
// Placement of the recording on the canvas: layout scale, padding, fit,
// alignment, and which segment or filler card owns an output time. Pure
// functions of their arguments, usable from any thread.
//
// Canvas space: render pixels, origin at the bottom left, y up. `VideoLayout`
// measures `top` from the canvas's top edge, as the editor does.

#include <optional>
#include <string>
#include <vector>

#include "manifest/manifest.h"
#include "plan/geometry.h"
#include "vantrel/graphics/geometry.h"

namespace vantrel::exporter {

struct VideoLayout {
  double width = 0;
  double height = 0;
  double x = 0;    // left edge, canvas pixels
  double top = 0;  // distance from the canvas's top edge
};

struct VideoFrameGeometry {
  VideoLayout layout;
  graphics::Rect rect;      // canvas space
  double borderRadius = 0;  // canvas pixels
  double padding = 0;       // canvas pixels
};

// Factor that maps sizes authored on the reference canvas of `settings.aspectRatio`
// onto a canvas of canvasWidth x canvasHeight. `source*` only matters for "fit".
double computeLayoutScaleFactor(const NativeVideoSettings& settings, double canvasWidth, double canvasHeight,
                                double sourceWidth, double sourceHeight);

// Where the video goes for the given style (padding in reference pixels, radius in
// pixels of a 1080-high frame) and layout scale. Nothing when the source or canvas
// is empty or the padding eats the canvas.
std::optional<VideoFrameGeometry> computeVideoFrameGeometry(const NativeVideoSettings& settings, Size canvas,
                                                            Size sourceDisplaySize, double padding, double radius,
                                                            double layoutScale);

// The source's shown size: the display size, or the crop region's share of it (at least 1 pixel a side).
Size croppedSourceDisplaySize(const VideoTrackMetadata& metadata, const std::optional<NativeCropRegion>& crop);

// The segment owning output time t (seconds): a time on a cut belongs to the
// later segment, the very end of the timeline to the last one. Null when none.
const NativeVideoSegmentPlan* resolveActiveVideoSegment(const std::vector<NativeVideoSegmentPlan>& segments,
                                                        double t);
// The same rule over filler cards.
const NativeFillerBlock* resolveActiveFillerBlock(const std::vector<NativeFillerBlock>& fillers, double t);

// Cache key of a layer drawn around `rect` with corner radius `radius`.
std::string layerGeometryKey(const graphics::Rect& rect, double radius);

}  // namespace vantrel::exporter
