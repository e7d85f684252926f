// The pen strokes drawn during recording, on the video rectangle beneath the
// other overlays, so that they follow the video through padding and zoom.

#include "render/annotation_paths.h"
#include "render/layers/layers.h"

namespace vantrel::exporter {

LayerResult annotationsLayer(NativeRenderState& state, double t, const SceneLayerInputs& in) {
  return renderAnnotationOverlay(state, t * 1000, in.videoRect, in.borderRadius);
}

}  // namespace vantrel::exporter
