// Pen annotations. Its content comes with its own piece of work; until then it
// draws nothing, and the frame stacks as if the layer were absent.

#include "render/layers/layers.h"

namespace vantrel::exporter {

LayerResult annotationsLayer(NativeRenderState&, double, const SceneLayerInputs&) { return std::nullopt; }

}  // namespace vantrel::exporter
