// The cursor layer on a 1080p frame, one thread: the styled frame composed
// with a moving, clicking, swaying cursor (trail included) against the same
// frame without a cursor, measured in the same run; and the layer alone (its
// timeline samples, glyph look-up and placement, drawn over its own extent).
// Needs the built resource bundle beside the program (bin/).

#include <benchmark/benchmark.h>

#include <cmath>

#include "render/frame_render.h"
#include "render/layers/layers.h"
#include "render/render_state.h"

namespace vantrel::exporter {
namespace {

NativeExportManifestV1 cursorManifest(bool cursor) {
  NativeExportManifestV1 m;
  auto& v = m.scene.settings.video;
  v.aspectRatio = "16:9";
  v.videoScale = 100;
  v.padding = 120;
  v.borderRadius = 40;
  v.shadow = {true, "#000000", 60, 50};
  auto& b = m.scene.settings.background;
  b.type = "gradient";
  b.color = "#3a1c71";
  b.secondaryColor = "#ffaf7b";
  b.gradientAngle = 30;
  m.qualityPlan.frameRate = 30;
  m.qualityPlan.compression = "high";
  NativeVideoSegmentPlan s;
  s.segmentId = "s";
  s.sourceEndTime = 20;
  s.outputEndTime = 20;
  m.videoPlan.segments = {s};
  auto& c = m.videoPlan.cursorSettings;
  c.enabled = cursor;
  c.mode = "smooth";
  c.style = "default";
  c.size = 1.5;
  c.smoothing = 0.5;
  c.springPreset = "smooth";
  c.clickEffect = true;
  c.swayEnabled = true;
  c.swayStrength = 0.5;
  // A pointer circling fast enough to leave a trail, clicking twice a second.
  NativeCursorData data;
  for (int i = 0; i <= 20 * 60; ++i) {
    const double t = i / 60.0;
    NativeCursorPosition p;
    p.timestamp = t * 1000;
    p.x = 0.5 + 0.3 * std::cos(t * 2.5);
    p.y = 0.5 + 0.3 * std::sin(t * 2.5);
    if (std::fmod(t, 0.5) < 0.1) p.pressed = true;
    p.cursorType = std::fmod(t, 4) < 2 ? "default" : "pointer";
    data.positions.push_back(p);
  }
  m.videoPlan.cursorData = data;
  return m;
}

std::shared_ptr<NativeRenderState> makeState(bool cursor) {
  const Size size{1920, 1080};
  NativeRenderStateInputs in;
  in.manifest = cursorManifest(cursor);
  in.renderSize = size;
  in.baseTrackId = 1;
  in.baseTrackMetadata = VideoTrackMetadata::make(size, {});
  in.sourceTrackMetadataByIndex = {in.baseTrackMetadata};
  in.canvasReferenceDisplaySize = size;
  in.performancePlan = ExportPerformancePlan::build(size, 1);
  return std::make_shared<NativeRenderState>(std::move(in));
}

void composeWithCursor(benchmark::State& st, bool cursor) {
  auto state = makeState(cursor);
  auto source = std::make_shared<media::PixelBuffer>(1920, 1080);
  source->fill(230, 232, 236, 255);
  media::PixelBuffer out(1920, 1080);
  media::CompositionRequest request;
  media::SourceFrame frame;
  frame.compositionTrackId = 1;
  frame.frame = source;
  request.sources.push_back(frame);
  request.outputTime = media::MediaTime(0, 30);
  renderCompositionFrame(*state, request, out);
  int n = 1;
  for (auto _ : st) {
    request.outputTime = media::MediaTime(n++ % 590, 30);
    renderCompositionFrame(*state, request, out);
    benchmark::DoNotOptimize(out.data());
  }
}

void BM_ComposeStyled1080pNoCursor(benchmark::State& st) { composeWithCursor(st, false); }
void BM_ComposeStyled1080pWithCursor(benchmark::State& st) { composeWithCursor(st, true); }

// The layer alone: sampling, glyphs, placement, and drawing its own pixels.
void BM_CursorLayerAlone1080p(benchmark::State& st) {
  auto state = makeState(true);
  SceneLayerInputs in;
  const auto geometry = state->resolveVideoFrameGeometry(0, {1920, 1080});
  in.videoRect = geometry->rect;
  in.camera = NativeResolvedZoomCamera::defaultFor({1920, 1080});
  int n = 0;
  for (auto _ : st) {
    const double t = (n++ % 590) / 30.0;
    auto layer = cursorLayer(*state, t, in);
    if (layer) {
      const graphics::Rect bounds = layer->extent().intersection(state->canvasRect()).integral();
      if (!bounds.isEmpty()) benchmark::DoNotOptimize(state->renderer().makeBitmap(*layer, bounds));
    }
  }
}

BENCHMARK(BM_ComposeStyled1080pNoCursor)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ComposeStyled1080pWithCursor)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CursorLayerAlone1080p)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace vantrel::exporter
