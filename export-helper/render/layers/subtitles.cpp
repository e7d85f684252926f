// Subtitle captions: the top layer of a video frame, over the whole canvas.

#include "render/layers/layers.h"
#include "render/render_state.h"
#include "render/subtitle_layout.h"

namespace vantrel::exporter {

LayerResult subtitlesLayer(NativeRenderState& state, double t, const SceneLayerInputs&) {
  const auto& plan = state.manifest().overlayPlan;
  if (plan.subtitleCaptions.empty()) return std::nullopt;
  auto& subtitles = state.layerStates().subtitles;
  if (!subtitles)
    subtitles = std::make_shared<SubtitleLayerState>(plan.subtitlePreset.value_or(defaultSubtitlePreset()),
                                                     state.renderSize().height);
  return cachedSubtitleOverlay(*subtitles, state.staticCache().subtitleImages, plan.subtitleCaptions, t,
                               state.canvasRect());
}

}  // namespace vantrel::exporter
