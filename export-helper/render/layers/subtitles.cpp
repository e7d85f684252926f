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

bool subtitlesLayerChangesBetween(NativeRenderState& state, double t0, double t1) {
  const auto& captions = state.manifest().overlayPlan.subtitleCaptions;
  if (captions.empty()) return false;
  const auto a = captionIndexAt(captions, t0), b = captionIndexAt(captions, t1);
  if (a != b) return true;
  if (!a) return false;
  const NativeSubtitleCaption& caption = captions[*a];
  const SubtitleAnimation x = subtitleAnimationAt(caption, t0), y = subtitleAnimationAt(caption, t1);
  if (!x.settled || !y.settled || x.opacity != y.opacity || x.scale != y.scale) return true;
  if (!(x.opacity > 0.001)) return false;
  // The highlight mode comes with the layer's style, made on the first frame with captions.
  const auto& subtitles = state.layerStates().subtitles;
  if (!subtitles) return true;
  const std::string& mode = subtitles->style.highlightMode;
  return captionHighlightedWordIds(caption, t0, mode) != captionHighlightedWordIds(caption, t1, mode);
}

}  // namespace vantrel::exporter
