// The subtitle layer on a 1080p frame, one thread. Whole frames: a styled
// frame with a two-line caption whose highlight only changes between words
// (cached images) against the same frame without captions, measured in the
// same run. The layer alone: a cached caption (look-up and compositing its
// pixels), a caption drawn afresh at full size (a cache miss) and while it
// pops in (scaled drawing).
// Needs the built resource bundle beside the program (bin/).

#include <benchmark/benchmark.h>

#include "render/assets/bundled_fonts.h"
#include "render/frame_render.h"
#include "render/layers/layers.h"
#include "render/render_state.h"
#include "render/subtitle_layout.h"

namespace vantrel::exporter {
namespace {

NativeSubtitleCaption benchCaption() {
  NativeSubtitleCaption c;
  c.id = "c";
  c.startTime = 0;
  c.endTime = 20;
  const char* texts[] = {"Recording", "your", "screen", "has", "never", "been", "this", "easy"};
  std::vector<NativeSubtitleWord> words;
  for (int i = 0; i < 8; ++i) words.push_back({std::to_string(i), texts[i], 2.0 * i, 2.0 * i + 1.5});
  c.lines = {words};
  return c;
}

std::shared_ptr<NativeRenderState> makeState(bool captions) {
  BundledFonts::registerOnce();
  const Size size{1920, 1080};
  NativeRenderStateInputs in;
  auto& m = in.manifest;
  m.scene.settings.video.aspectRatio = "16:9";
  m.scene.settings.video.videoScale = 100;
  m.scene.settings.video.padding = 120;
  m.scene.settings.video.borderRadius = 40;
  m.scene.settings.background.type = "color";
  m.scene.settings.background.color = "#203040";
  m.qualityPlan.frameRate = 30;
  m.qualityPlan.compression = "high";
  NativeVideoSegmentPlan s;
  s.segmentId = "s";
  s.sourceEndTime = 20;
  s.outputEndTime = 20;
  m.videoPlan.segments = {s};
  if (captions) {
    m.overlayPlan.subtitleCaptions = {benchCaption()};
    auto preset = defaultSubtitlePreset();
    preset.backgroundEnabled = true;
    m.overlayPlan.subtitlePreset = preset;
  }
  in.renderSize = size;
  in.baseTrackId = 1;
  in.baseTrackMetadata = VideoTrackMetadata::make(size, {});
  in.sourceTrackMetadataByIndex = {in.baseTrackMetadata};
  in.canvasReferenceDisplaySize = size;
  in.performancePlan = ExportPerformancePlan::build(size, 1);
  return std::make_shared<NativeRenderState>(std::move(in));
}

void composeFrames(benchmark::State& st, bool captions) {
  auto state = makeState(captions);
  auto source = std::make_shared<media::PixelBuffer>(1920, 1080);
  source->fill(230, 232, 236, 255);
  media::PixelBuffer out(1920, 1080);
  media::CompositionRequest request;
  media::SourceFrame frame;
  frame.compositionTrackId = 1;
  frame.frame = source;
  request.sources.push_back(frame);
  // Frames from 1 s to 19 s: past the pop-in, the highlight changing every second.
  int n = 0;
  for (auto _ : st) {
    request.outputTime = media::MediaTime(30 + n++ % 540, 30);
    renderCompositionFrame(*state, request, out);
    benchmark::DoNotOptimize(out.data());
  }
}

void BM_ComposeStyled1080pNoCaptions(benchmark::State& st) { composeFrames(st, false); }
void BM_ComposeStyled1080pWithCaption(benchmark::State& st) { composeFrames(st, true); }

// Renders a layer image over its own extent (what compositing it costs at most).
void flatten(NativeRenderState& state, const std::optional<graphics::Image>& layer) {
  if (!layer) return;
  const graphics::Rect bounds = layer->extent().intersection(state.canvasRect()).integral();
  if (!bounds.isEmpty()) benchmark::DoNotOptimize(state.renderer().makeBitmap(*layer, bounds));
}

void BM_SubtitleLayerCached1080p(benchmark::State& st) {
  auto state = makeState(true);
  int n = 0;
  for (auto _ : st) flatten(*state, subtitlesLayer(*state, 1 + (n++ % 540) / 30.0, {}));
  st.counters["renders"] = static_cast<double>(state->layerStates().subtitles->renderCount);
}

void drawAfresh(benchmark::State& st, double t) {
  auto state = makeState(true);
  const auto& plan = state->manifest().overlayPlan;
  SubtitleLayerState layer(*plan.subtitlePreset, 1080);
  const auto& caption = plan.subtitleCaptions[0];
  const auto layout = reflowWordsIntoLines(caption.lines[0], layer.style.wrapWidth, layer.font,
                                           layer.style.letterSpacing, false);
  for (auto _ : st) flatten(*state, renderSubtitleOverlay({&caption, &layout, &layer.style}, t, state->canvasRect()));
}

void BM_SubtitleDrawnFullSize1080p(benchmark::State& st) { drawAfresh(st, 5); }
void BM_SubtitleDrawnPoppingIn1080p(benchmark::State& st) { drawAfresh(st, 0.06); }

BENCHMARK(BM_ComposeStyled1080pNoCaptions)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ComposeStyled1080pWithCaption)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SubtitleLayerCached1080p)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SubtitleDrawnFullSize1080p)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SubtitleDrawnPoppingIn1080p)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace vantrel::exporter
