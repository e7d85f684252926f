// The overlay scene on a 1080p frame, one thread: the styled recording with a
// camera bubble, two text boxes (one boxed, one fading), a pixellated region,
// a word-highlighted subtitle line and a pen stroke that is drawn, rests and
// fades; each frame at the next output time over 10 s, as an export asks for
// them. Beside it in the same run: the styled frame without layers, and the
// scene with one layer family alone, so each family's share reads as the
// difference. Needs /usr/bin/ffmpeg to make the camera file.

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "render/frame_render.h"
#include "render/image_sources.h"
#include "render/render_state.h"

namespace vantrel::exporter {
namespace {

const std::string& cameraFile() {
  static const std::string path = [] {
    const std::string p = "/tmp/vantrel-scene-bench-" + std::to_string(::getpid()) + ".mp4";
    const std::string command =
        "/usr/bin/ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=s=640x480:r=30:d=12 -c:v libx264 "
        "-preset veryfast -pix_fmt yuv420p " + p;
    if (std::system(command.c_str()) != 0) std::fprintf(stderr, "could not make %s\n", p.c_str());
    std::atexit([] { std::remove(("/tmp/vantrel-scene-bench-" + std::to_string(::getpid()) + ".mp4").c_str()); });
    return p;
  }();
  return path;
}

enum Layers : unsigned { camera = 1, text = 2, blur = 4, subtitles = 8, annotation = 16, all = 31 };

NativeExportManifestV1 sceneManifest(unsigned layers) {
  NativeExportManifestV1 m;
  auto& v = m.scene.settings.video;
  v.aspectRatio = "16:9";
  v.videoScale = 100;
  v.padding = 64;
  v.borderRadius = 24;
  v.shadow = {true, "#000000", 60, 50};
  auto& b = m.scene.settings.background;
  b.type = "gradient";
  b.color = "#4F46E5";
  b.secondaryColor = "#EC4899";
  b.gradientAngle = 135;
  m.qualityPlan.frameRate = 30;
  m.qualityPlan.compression = "high";
  NativeVideoSegmentPlan s;
  s.segmentId = "s";
  s.sourceEndTime = 20;
  s.outputEndTime = 20;
  m.videoPlan.segments = {s};
  auto& op = m.overlayPlan;

  if (layers & camera) {
    NativeCameraSegment c;
    c.id = "cam";
    c.endTime = 20;
    c.videoUrl = cameraFile();
    c.originalEndTime = 20;
    m.cameraPlan.cameraSegments.push_back(c);
    NativeCameraSettings settings;
    settings.radius = 120;
    m.cameraPlan.cameraSettingsById["cam"] = settings;
  }
  if (layers & text) {
    NativeTextOverlay title;
    title.id = "title";
    title.endTime = 20;
    title.x = 0.05, title.y = 0.05, title.width = 0.4, title.height = 0.1;
    title.text = "Quarterly review";
    title.fontSize = 56;
    title.fontWeight = 700;
    title.textAlign = "left";
    title.backgroundEnabled = true;
    title.backgroundColor = "#111827";
    title.backgroundOpacity = 85;
    NativeTextOverlay note;
    note.id = "note";
    note.startTime = 1;
    note.endTime = 9;
    note.x = 0.55, note.y = 0.82, note.width = 0.4, note.height = 0.08;
    note.text = "Numbers are preliminary";
    note.color = "#1F2430";
    note.fontSize = 36;
    note.animationStyle = "fade";
    op.textOverlays = {title, note};
  }
  if (layers & blur) {
    NativeBlurOverlay region;
    region.id = "clock";
    region.endTime = 20;
    region.x = 0.67, region.y = 0.27, region.width = 0.28, region.height = 0.12;
    region.pixelSize = 14;
    region.cornerRadius = 12;
    op.blurOverlays = {region};
  }
  if (layers & subtitles) {
    static const char* words[] = {"the", "quarterly", "numbers", "are", "in", "and", "every", "region", "grew",
                                  "faster", "than", "planned", "while", "costs", "stayed", "flat", "so", "we"};
    for (int k = 0; k < 3; ++k) {
      NativeSubtitleCaption caption;
      caption.id = "c" + std::to_string(k);
      caption.startTime = 0.5 + 3 * k;
      caption.endTime = caption.startTime + 2.9;
      std::vector<NativeSubtitleWord> line;
      for (int i = 0; i < 6; ++i) {
        const double at = caption.startTime + 0.4 * i;
        line.push_back({caption.id + "-" + std::to_string(i), words[(6 * k + i) % 18], at, at + 0.38});
      }
      caption.lines = {line};
      op.subtitleCaptions.push_back(caption);
    }
  }
  if (layers & annotation) {
    NativeAnnotationData data;
    data.brush = {6, 1500, 600, 0.5, 2};
    data.sourceWidth = 1920;
    data.sourceHeight = 1080;
    NativeAnnotationStroke stroke;
    stroke.id = "circle";
    stroke.color = "#FF3B6B";
    for (int i = 0; i <= 60; ++i) {
      const double a = 2 * M_PI * i / 60;
      stroke.points.push_back({0.28 + 0.2 * std::cos(a), 0.17 + 0.07 * std::sin(a), 2000 + 15.0 * i});
    }
    stroke.startedAt = 2000;
    stroke.completedAt = 2900;
    data.strokes = {stroke};
    op.annotationData = data;
  }
  return m;
}

std::shared_ptr<NativeRenderState> makeState(unsigned layers) {
  const Size size{1920, 1080};
  NativeRenderStateInputs in;
  in.manifest = sceneManifest(layers);
  in.renderSize = size;
  in.baseTrackId = 1;
  in.baseTrackMetadata = VideoTrackMetadata::make(size, {});
  in.sourceTrackMetadataByIndex = {in.baseTrackMetadata};
  in.canvasReferenceDisplaySize = size;
  in.performancePlan = ExportPerformancePlan::build(size, 1);
  in.cameraTrackMetadataByURL = buildCameraDecoderSupport(in.manifest.cameraPlan.cameraSegments, *in.cameraDecoder);
  in.renderableOverlaySummary.hasTextOverlays = (layers & text) != 0;
  in.renderableOverlaySummary.hasBlurOverlays = (layers & blur) != 0;
  return std::make_shared<NativeRenderState>(std::move(in));
}

// Frames at successive output times over 10 s, wrapping around.
void composeScene(benchmark::State& st, unsigned layers) {
  auto state = makeState(layers);
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

void BM_SceneStyledNoLayers(benchmark::State& st) { composeScene(st, 0); }
void BM_SceneCameraOnly(benchmark::State& st) { composeScene(st, camera); }
void BM_SceneTextOnly(benchmark::State& st) { composeScene(st, text); }
void BM_SceneBlurOnly(benchmark::State& st) { composeScene(st, blur); }
void BM_SceneSubtitlesOnly(benchmark::State& st) { composeScene(st, subtitles); }
void BM_SceneAnnotationOnly(benchmark::State& st) { composeScene(st, annotation); }
void BM_SceneAllLayers(benchmark::State& st) { composeScene(st, all); }

BENCHMARK(BM_SceneStyledNoLayers)->Unit(benchmark::kMillisecond)->Iterations(300);
BENCHMARK(BM_SceneCameraOnly)->Unit(benchmark::kMillisecond)->Iterations(300);
BENCHMARK(BM_SceneTextOnly)->Unit(benchmark::kMillisecond)->Iterations(300);
BENCHMARK(BM_SceneBlurOnly)->Unit(benchmark::kMillisecond)->Iterations(300);
BENCHMARK(BM_SceneSubtitlesOnly)->Unit(benchmark::kMillisecond)->Iterations(300);
BENCHMARK(BM_SceneAnnotationOnly)->Unit(benchmark::kMillisecond)->Iterations(300);
BENCHMARK(BM_SceneAllLayers)->Unit(benchmark::kMillisecond)->Iterations(300);

}  // namespace
}  // namespace vantrel::exporter
