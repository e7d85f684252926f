// The camera bubble on a 1080p frame, one thread. The styled frame composed
// with and without a bubble in the same run (the difference is the layer's
// share of a frame), and the layer alone drawn over its own extent: a steady
// bubble, a bubble always in a corner-to-corner move (four ghosts), and the
// camera full screen. The layer's numbers include reading the camera file
// (720p H.264, 30 fps) forward, one decoded frame per output frame, except
// the draw-only case.
// Needs /usr/bin/ffmpeg to make the camera file.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "render/frame_render.h"
#include "render/image_sources.h"
#include "render/layers/layers.h"
#include "render/render_state.h"

namespace vantrel::exporter {
namespace {

const std::string& cameraFile() {
  static const std::string path = [] {
    const std::string p = "/tmp/vantrel-camera-bench-" + std::to_string(::getpid()) + ".mp4";
    const std::string command =
        "/usr/bin/ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=s=1280x720:r=30:d=12 -c:v libx264 "
        "-preset veryfast -pix_fmt yuv420p " + p;
    if (std::system(command.c_str()) != 0) std::fprintf(stderr, "could not make %s\n", p.c_str());
    std::atexit([] { std::remove(("/tmp/vantrel-camera-bench-" + std::to_string(::getpid()) + ".mp4").c_str()); });
    return p;
  }();
  return path;
}

enum class Bubble { none, steady, moving, fullscreen };

NativeExportManifestV1 cameraManifest(Bubble bubble) {
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
  if (bubble == Bubble::none) return m;

  auto segment = [](const std::string& id, double start, double end) {
    NativeCameraSegment c;
    c.id = id;
    c.startTime = start;
    c.endTime = end;
    c.videoUrl = cameraFile();
    c.recordingStartTime = start;
    c.originalStartTime = start;
    c.originalEndTime = end;
    return c;
  };
  NativeCameraSettings settings;
  settings.radius = 40;
  settings.mirrored = true;
  if (bubble == Bubble::moving) {
    // Half-second pieces swapping corners: every frame is inside a move.
    for (int i = 0; i < 20; ++i) {
      const std::string id = "c" + std::to_string(i);
      m.cameraPlan.cameraSegments.push_back(segment(id, i * 0.5, (i + 1) * 0.5));
      NativeCameraSettings piece = settings;
      if (i % 2) {
        piece.verticalAlignment = "top";
        piece.horizontalAlignment = "left";
      }
      m.cameraPlan.cameraSettingsById[id] = piece;
    }
  } else {
    m.cameraPlan.cameraSegments.push_back(segment("c", 0, 10));
    if (bubble == Bubble::fullscreen) settings.positionMode = "screen";
    m.cameraPlan.cameraSettingsById["c"] = settings;
  }
  return m;
}

std::shared_ptr<NativeRenderState> makeState(Bubble bubble) {
  const Size size{1920, 1080};
  NativeRenderStateInputs in;
  in.manifest = cameraManifest(bubble);
  in.renderSize = size;
  in.baseTrackId = 1;
  in.baseTrackMetadata = VideoTrackMetadata::make(size, {});
  in.sourceTrackMetadataByIndex = {in.baseTrackMetadata};
  in.canvasReferenceDisplaySize = size;
  in.performancePlan = ExportPerformancePlan::build(size, 1);
  in.cameraTrackMetadataByURL = buildCameraDecoderSupport(in.manifest.cameraPlan.cameraSegments, *in.cameraDecoder);
  return std::make_shared<NativeRenderState>(std::move(in));
}

void composeWithCamera(benchmark::State& st, Bubble bubble) {
  auto state = makeState(bubble);
  auto source = std::make_shared<media::PixelBuffer>(1920, 1080);
  source->fill(230, 232, 236, 255);
  media::PixelBuffer out(1920, 1080);
  media::CompositionRequest request;
  media::SourceFrame frame;
  frame.compositionTrackId = 1;
  frame.frame = source;
  request.sources.push_back(frame);
  int n = 0;
  for (auto _ : st) {
    request.outputTime = media::MediaTime(n++ % 300, 30);
    renderCompositionFrame(*state, request, out);
    benchmark::DoNotOptimize(out.data());
  }
}

void layerAlone(benchmark::State& st, Bubble bubble, bool sameTime = false) {
  auto state = makeState(bubble);
  SceneLayerInputs in;
  const auto geometry = state->resolveVideoFrameGeometry(0, {1920, 1080});
  in.videoRect = geometry->rect;
  in.layout = geometry->layout;
  in.camera = NativeResolvedZoomCamera::defaultFor({1920, 1080});
  int n = 0;
  for (auto _ : st) {
    const double t = sameTime ? 1.0 : (n++ % 300) / 30.0;
    auto layer = cameraOverlayLayer(*state, t, in);
    if (layer) {
      const graphics::Rect bounds = layer->extent().intersection(state->canvasRect()).integral();
      if (!bounds.isEmpty()) benchmark::DoNotOptimize(state->renderer().makeBitmap(*layer, bounds));
    }
  }
}

void BM_ComposeStyled1080pNoCamera(benchmark::State& st) { composeWithCamera(st, Bubble::none); }
void BM_ComposeStyled1080pWithBubble(benchmark::State& st) { composeWithCamera(st, Bubble::steady); }
void BM_CameraLayerAlone1080pBubble(benchmark::State& st) { layerAlone(st, Bubble::steady); }
// The same frame every time (served from the kept frames): drawing without decoding.
void BM_CameraLayerAlone1080pBubbleDrawOnly(benchmark::State& st) { layerAlone(st, Bubble::steady, true); }
void BM_CameraLayerAlone1080pMovingWithGhosts(benchmark::State& st) { layerAlone(st, Bubble::moving); }
void BM_CameraLayerAlone1080pFullscreen(benchmark::State& st) { layerAlone(st, Bubble::fullscreen); }

BENCHMARK(BM_ComposeStyled1080pNoCamera)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ComposeStyled1080pWithBubble)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CameraLayerAlone1080pBubble)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CameraLayerAlone1080pBubbleDrawOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CameraLayerAlone1080pMovingWithGhosts)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CameraLayerAlone1080pFullscreen)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vantrel::exporter
