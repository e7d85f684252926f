// Composing one styled 1080p frame on one thread, through the same compositor
// the export uses (frame in, composed frame out, copies included), and through
// the in-place frame path (the decoded frame read where it lies, the composed
// frame computed into the output buffer).
// Baselines in the same run: copying a 1080p frame once, and composing the
// unstyled frame (no padding, solid background), so results read as ratios.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "render/composition_bundle.h"
#include "render/frame_render.h"
#include "render/render_state.h"
#include "vantrel/graphics/image_file.h"

namespace vantrel::exporter {
namespace {

NativeExportManifestV1 styledManifest(bool styled) {
  NativeExportManifestV1 m;
  auto& v = m.scene.settings.video;
  v.aspectRatio = "16:9";
  v.videoScale = 100;
  auto& b = m.scene.settings.background;
  b.type = styled ? "gradient" : "color";
  b.color = "#3a1c71";
  b.secondaryColor = "#ffaf7b";
  b.gradientAngle = 30;
  if (styled) {
    v.padding = 120;
    v.borderRadius = 40;
    v.shadow = {true, "#000000", 60, 50};
    v.stroke = {true, 6, "#FFFFFF", 80, "outside"};
  }
  m.qualityPlan.frameRate = 30;
  m.qualityPlan.compression = "high";
  NativeVideoSegmentPlan s;
  s.segmentId = "s";
  s.sourceEndTime = 10;
  s.outputEndTime = 10;
  m.videoPlan.segments = {s};
  return m;
}

void composeFrames(benchmark::State& st, bool styled, int threads = 1, bool inPlace = false) {
  const Size size{1920, 1080};
  NativeRenderStateInputs in;
  in.manifest = styledManifest(styled);
  in.renderSize = size;
  in.baseTrackId = 1;
  in.baseTrackMetadata = VideoTrackMetadata::make(size, {});
  in.canvasReferenceDisplaySize = size;
  in.performancePlan = ExportPerformancePlan::build(size, threads);
  auto state = std::make_shared<NativeRenderState>(std::move(in));
  media::Compositor compositor = makeNativeVideoCompositor(state);
  if (inPlace) {
    compositor = [state](const media::CompositionRequest& r, media::PixelBuffer& o) {
      renderCompositionFrame(*state, r, o);
    };
  }

  auto source = std::make_shared<media::PixelBuffer>(1920, 1080);
  for (int y = 0; y < 1080; ++y) {
    auto* row = reinterpret_cast<std::uint32_t*>(source->row(y));
    for (int x = 0; x < 1920; ++x) row[x] = 0xff000000u | static_cast<std::uint32_t>((x * 7) ^ (y * 13));
  }
  media::PixelBuffer out(1920, 1080);
  media::CompositionRequest request;
  media::SourceFrame frame;
  frame.compositionTrackId = 1;
  frame.frame = source;
  request.sources.push_back(frame);
  // The first frame builds the background, shadow and stroke once per export; time the steady state.
  request.outputTime = media::MediaTime(0, 30);
  compositor(request, out);
  int n = 1;
  for (auto _ : st) {
    request.outputTime = media::MediaTime(n++, 30);
    compositor(request, out);
    benchmark::DoNotOptimize(out.data());
  }
  // For looking at the result: VANTREL_RENDER_BENCH_PNG=<dir> writes the last frame of each case.
  if (const char* dir = std::getenv("VANTREL_RENDER_BENCH_PNG")) {
    graphics::PixelBuffer view(out.data(), out.width(), out.height(), out.stride(), graphics::PixelFormat::bgra8);
    const std::string name = std::string(styled ? "styled" : "unstyled") + "_" + std::to_string(threads) + "threads";
    graphics::writePng(view, std::string(dir) + "/" + name + (inPlace ? "_inplace" : "") + ".png");
  }
}

void BM_ComposeStyled1080p(benchmark::State& st) { composeFrames(st, true); }
void BM_ComposeUnstyled1080p(benchmark::State& st) { composeFrames(st, false); }
// The export's own set-up: the caller plus one band thread.
void BM_ComposeStyled1080pTwoThreads(benchmark::State& st) { composeFrames(st, true, 2); }
void BM_ComposeUnstyled1080pInPlace(benchmark::State& st) { composeFrames(st, false, 1, true); }
void BM_ComposeStyled1080pInPlace(benchmark::State& st) { composeFrames(st, true, 1, true); }
void BM_ComposeStyled1080pInPlaceTwoThreads(benchmark::State& st) { composeFrames(st, true, 2, true); }

void BM_Copy1080pFrame(benchmark::State& st) {
  media::PixelBuffer a(1920, 1080), b(1920, 1080);
  a.fill(1, 2, 3, 255);
  for (auto _ : st) {
    for (int y = 0; y < 1080; ++y) std::memcpy(b.row(y), a.row(y), 1920 * 4);
    benchmark::DoNotOptimize(b.data());
  }
}

BENCHMARK(BM_Copy1080pFrame)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ComposeUnstyled1080p)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ComposeStyled1080p)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ComposeStyled1080pTwoThreads)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ComposeUnstyled1080pInPlace)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ComposeStyled1080pInPlace)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ComposeStyled1080pInPlaceTwoThreads)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace vantrel::exporter

BENCHMARK_MAIN();
