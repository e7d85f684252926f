// The pen strokes drawn during recording, on the video rectangle beneath the
// other overlays, so that they follow the video through padding and zoom.

#include "render/annotation_paths.h"
#include "render/layers/layers.h"
#include "render/render_state.h"

namespace vantrel::exporter {

LayerResult annotationsLayer(NativeRenderState& state, double t, const SceneLayerInputs& in) {
  return renderAnnotationOverlay(state, t * 1000, in.videoRect, in.borderRadius);
}

bool annotationsLayerChangesBetween(NativeRenderState& state, double t0, double t1) {
  const auto& data = state.manifest().overlayPlan.annotationData;
  if (!data || data->strokes.empty()) return false;
  // The key lists the strokes at rest; a stroke still being drawn or fading
  // leaves it empty. Any rectangle serves: both times use the same one.
  const graphics::Rect R = state.canvasRect();
  const AnnotationLayerKey a = annotationLayerKey(*data, t0 * 1000, R);
  const AnnotationLayerKey b = annotationLayerKey(*data, t1 * 1000, R);
  if (!a.anyVisible && !b.anyVisible) return false;
  return !a.key || !b.key || *a.key != *b.key;
}

}  // namespace vantrel::exporter
