// A filler card on a 1080p frame, one thread, through the compositor's frame
// path (composed frame rendered into the output buffer): the card at rest
// (drawn once, then read back), during its fade with every layer animating
// (title sliding in, subtitle un-blurring, picture scaling), and mid-slide.
// Baseline in the same run: a plain recording frame (solid background, no
// padding), so results read as ratios. The first frame of a card (its
// background, layers and backdrop still drawn once) is outside the loop.
// Needs the built resource bundle beside the program (bin/) for the font.

#include <benchmark/benchmark.h>

#include "render/frame_render.h"
#include "render/render_state.h"

namespace vantrel::exporter {
namespace {

const Size kSize{1920, 1080};

NativeExportManifestV1 manifest(const char* style) {
  NativeExportManifestV1 m;
  auto& v = m.scene.settings.video;
  v.aspectRatio = "16:9";
  v.videoScale = 100;
  m.scene.settings.background.type = "solid";
  m.scene.settings.background.color = "#202020";
  m.qualityPlan.frameRate = 30;
  m.qualityPlan.compression = "high";
  NativeVideoSegmentPlan s;
  s.segmentId = "s";
  s.sourceEndTime = 20;
  s.outputEndTime = 20;
  m.videoPlan.segments = {s};
  if (!style) return m;

  NativeFillerBlock b;
  b.id = "card";
  b.startOutputTime = 0;
  b.duration = 20;
  b.endOutputTime = 20;
  b.animationStyle = std::string(style);
  b.animationDuration = 1.0;
  b.backgroundColor = "#1B1F3B";
  b.backgroundSecondaryColor = "#4F46E5";
  NativeFillerTextLayer title;
  title.id = "title";
  title.text = "Chapter two: the details";
  title.fontSize = 96;
  title.fontWeight = 700;
  title.animation = "slide-in";
  title.animationDuration = 1.0;
  NativeFillerTextLayer subtitle;
  subtitle.id = "subtitle";
  subtitle.text = "Where revenue grew, region by region, and what changed since the last quarter";
  subtitle.width = 900;
  subtitle.positionY = 0.66;
  subtitle.animation = "blur";
  subtitle.animationDuration = 1.0;
  NativeFillerImageLayer logo;
  logo.id = "logo";
  logo.src = "logo";
  logo.width = 300;
  logo.height = 150;
  logo.verticalAlignment = "top";
  logo.animation = "scale";
  logo.animationDuration = 1.0;
  b.layers = std::vector<NativeFillerLayer>{title, subtitle, logo};
  m.overlayPlan.fillerBlocks = {b};
  return m;
}

std::shared_ptr<NativeRenderState> makeState(const char* style) {
  NativeRenderStateInputs in;
  in.manifest = manifest(style);
  in.renderSize = kSize;
  in.baseTrackId = 1;
  in.baseTrackMetadata = VideoTrackMetadata::make(kSize, {});
  in.sourceTrackMetadataByIndex = {in.baseTrackMetadata};
  in.canvasReferenceDisplaySize = kSize;
  auto logo = graphics::makeBuffer(600, 300, graphics::PixelFormat::bgra8);
  logo->fill(0xFFF2B134u);
  in.imageSourcesByPath["logo"] = graphics::Image::fromBuffer(logo);
  in.performancePlan = ExportPerformancePlan::build(kSize, 1);
  return std::make_shared<NativeRenderState>(std::move(in));
}

// Frames cycle through [from, to) seconds of output time at 30 fps.
void composeFrames(benchmark::State& st, const char* style, double from, double to) {
  auto state = makeState(style);
  auto source = std::make_shared<media::PixelBuffer>(1920, 1080);
  source->fill(230, 232, 236, 255);
  media::PixelBuffer out(1920, 1080);
  media::CompositionRequest request;
  media::SourceFrame frame;
  frame.compositionTrackId = 1;
  frame.frame = source;
  request.sources.push_back(frame);
  request.outputTime = media::MediaTime::fromSeconds(from, 600);
  renderCompositionFrame(*state, request, out);
  const int frames = std::max(1, static_cast<int>((to - from) * 30));
  int n = 0;
  for (auto _ : st) {
    request.outputTime = media::MediaTime::fromSeconds(from + (n++ % frames) / 30.0, 600);
    renderCompositionFrame(*state, request, out);
    benchmark::DoNotOptimize(out.data());
  }
}

void BM_PlainRecordingFrame1080p(benchmark::State& st) { composeFrames(st, nullptr, 2, 5); }
void BM_FillerAtRest1080p(benchmark::State& st) { composeFrames(st, "fade", 2, 5); }
void BM_FillerFadingInLayersAnimating1080p(benchmark::State& st) { composeFrames(st, "fade", 0.1, 0.9); }
void BM_FillerSlidingIn1080p(benchmark::State& st) { composeFrames(st, "slide", 0.1, 0.9); }

BENCHMARK(BM_PlainRecordingFrame1080p)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FillerAtRest1080p)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FillerFadingInLayersAnimating1080p)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FillerSlidingIn1080p)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vantrel::exporter
