#pragma once
// Freehand pen strokes drawn during recording, redrawn on the video rectangle
// as they were drawn: which strokes show at a time and how opaque, the pen's
// smoothed path, and the glowing three-pass drawing at twice the canvas
// resolution. Times are output milliseconds; point coordinates are fractions
// of the recorded frame from its top-left; canvas coordinates are the drawing
// space (y up).
//
// Threads: the free functions are pure. `AnnotationLayerState` belongs to one
// render state and is touched only from its thread.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "manifest/manifest.h"
#include "vantrel/graphics/geometry.h"
#include "vantrel/graphics/image.h"

namespace vantrel::exporter {

// Opacity of a stroke at `timeMs` (1 until its fade starts, then falling
// linearly over the fade length; may go below 0).
double annotationStrokeAlpha(const NativeAnnotationStroke& stroke, const NativeAnnotationBrushSettings& brush,
                             double timeMs);

struct AnnotationStrokeVisibility {
  bool visible = false;
  bool atRest = false;  // fully opaque with every point already drawn
  double alpha = 0;
};
AnnotationStrokeVisibility annotationStrokeVisibility(const NativeAnnotationStroke& stroke,
                                                      const NativeAnnotationBrushSettings& brush, double timeMs);

// Two passes of a [1/4, 1/2, 1/4] filter over the interior points; fewer than
// four points come back unchanged.
std::vector<NativeAnnotationPoint> smoothedAnnotationPoints(const std::vector<NativeAnnotationPoint>& points);

// The pen's scale from the drawing surface to the video rectangle `R`.
double annotationRenderScale(const NativeAnnotationData& data, const graphics::Rect& R,
                             const std::optional<NativeCropRegion>& crop);

// One cubic segment of the path through the points.
struct AnnotationPathSegment {
  graphics::Point control1, control2, end;
};
// The uniform Catmull-Rom spline through `points` as cubic segments from
// points[0] (two points: one straight segment; fewer: none).
std::vector<AnnotationPathSegment> annotationPathSegments(const std::vector<graphics::Point>& points);

// The cache key of the layer at `timeMs` for the video rectangle R, or nothing
// when a visible stroke is still being drawn or fading; `anyVisible` tells
// whether there is anything to draw at all.
struct AnnotationLayerKey {
  std::optional<std::string> key;
  bool anyVisible = false;
};
AnnotationLayerKey annotationLayerKey(const NativeAnnotationData& data, double timeMs, const graphics::Rect& R);

// The strokes visible at `timeMs`, drawn at twice the canvas resolution over
// the part of R they reach (clipped to R with corner radius `borderRadius`) and
// scaled down into canvas coordinates. Nothing when no stroke shows or it
// reaches no pixel of the canvas `canvas`.
std::optional<graphics::Image> drawAnnotationLayer(const NativeAnnotationData& data, double timeMs,
                                                   const graphics::Rect& R, double borderRadius,
                                                   const std::optional<NativeCropRegion>& crop,
                                                   const graphics::Rect& canvas);

class NativeRenderState;

struct AnnotationLayerState {
  // The last layer drawn while every visible stroke was at rest, by its key.
  std::optional<std::pair<std::string, graphics::Image>> cachedOverlay;
  std::int64_t renders = 0;  // layers actually drawn (not served from the cache)
};

// The render state's annotation layer at `timeMs` for the video rectangle R:
// served from the one-entry cache while every visible stroke is at rest,
// drawn afresh (and flattened to canvas pixels) otherwise.
std::optional<graphics::Image> renderAnnotationOverlay(NativeRenderState& state, double timeMs,
                                                       const graphics::Rect& R, double borderRadius);

}  // namespace vantrel::exporter
