// Composing one styled 1080p frame on one thread, through the same compositor
// the export uses (frame in, composed frame out, copies included), and through
// the in-place frame path (the decoded frame read where it lies, the composed
// frame computed into the output buffer).
// Baselines in the same run: copying a 1080p frame once, and composing the
// unstyled frame (no padding, solid background), so results read as ratios.
// The zoom motion blur is read against the same styled frame zoomed 2x with
// the camera holding still.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "render/composition_bundle.h"
#include "render/frame_render.h"
#include "render/render_state.h"
#include "vantrel/graphics/image_file.h"

namespace vantrel::exporter {
namespace {

enum class Camera { none, zoomedStill, zoomedFastPan, zoomingFastPan };

NativeExportManifestV1 styledManifest(bool styled, Camera camera = Camera::none) {
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
  if (camera != Camera::none) {
    // Zoom 2 over the 1080p canvas; the pan sweeps back and forth across the
    // picture at about 40 on-screen pixels a frame (motion strength about 0.5,
    // six samples per frame), in the last case zooming between 1.8 and 2.4 too.
    const bool moving = camera != Camera::zoomedStill;
    std::vector<NativeResolvedZoomFrame> frames;
    for (int i = 0; i <= 6; ++i) {
      NativeResolvedZoomFrame f;
      f.timestamp = i * 1800.0;
      const bool far = moving && i % 2 == 1;
      f.centerX = far ? 1440 : 480;
      f.centerY = far ? 780 : 300;
      f.zoom = camera == Camera::zoomingFastPan ? (far ? 2.4 : 1.8) : 2;
      frames.push_back(f);
    }
    m.videoPlan.resolvedZoomFrames = frames;
  }
  return m;
}

void composeFrames(benchmark::State& st, bool styled, int threads = 1, bool inPlace = false,
                   Camera camera = Camera::none) {
  const Size size{1920, 1080};
  NativeRenderStateInputs in;
  in.manifest = styledManifest(styled, camera);
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
    // Frames stay inside the zoom keyframes (10.8 s), where the camera moves.
    request.outputTime = media::MediaTime(1 + (n++ % 290), 30);
    compositor(request, out);
    benchmark::DoNotOptimize(out.data());
  }
  // For looking at the result: VANTREL_RENDER_BENCH_PNG=<dir> writes the last frame of each case.
  if (const char* dir = std::getenv("VANTREL_RENDER_BENCH_PNG")) {
    graphics::PixelBuffer view(out.data(), out.width(), out.height(), out.stride(), graphics::PixelFormat::bgra8);
    const char* cameraName = camera == Camera::zoomedStill     ? "_zoomed"
                             : camera == Camera::zoomedFastPan  ? "_fastpan"
                             : camera == Camera::zoomingFastPan ? "_zoomingpan"
                                                                : "";
    const std::string name =
        std::string(styled ? "styled" : "unstyled") + cameraName + "_" + std::to_string(threads) + "threads";
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
// Motion blur: the same zoom 2 with a fast pan against holding still (ratio goal: under 3x).
void BM_ComposeStyled1080pZoomedStill(benchmark::State& st) {
  composeFrames(st, true, 1, true, Camera::zoomedStill);
}
void BM_ComposeStyled1080pZoomedFastPan(benchmark::State& st) {
  composeFrames(st, true, 1, true, Camera::zoomedFastPan);
}
void BM_ComposeStyled1080pZoomingFastPan(benchmark::State& st) {
  composeFrames(st, true, 1, true, Camera::zoomingFastPan);
}

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
BENCHMARK(BM_ComposeStyled1080pZoomedStill)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ComposeStyled1080pZoomedFastPan)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ComposeStyled1080pZoomingFastPan)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vantrel::exporter

BENCHMARK_MAIN();
