// Image, text and blur overlays on a 1080p frame, one thread. Each kind is
// measured twice in the same run as the plain styled frame (the baseline):
// steady (overlays on screen, nothing moving) and entering (every frame inside
// the entrance effect or fade, so pictures are moved, scaled or blurred and
// text boxes are faded each frame). A layer's cost is its frame's time less
// the baseline's. Needs the built resource bundle beside the program (bin/).

#include <benchmark/benchmark.h>

#include <cmath>
#include <string>

#include "render/frame_render.h"
#include "render/layers/layers.h"
#include "render/render_state.h"

namespace vantrel::exporter {
namespace {

enum Kind { kNone = 0, kImages = 1, kText = 2, kBlur = 3 };

NativeExportManifestV1 overlayManifest(Kind kind) {
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
  // Overlays come back every second: on screen from k + 0.0 to k + 0.9.
  const char* animations[] = {"fade", "scale", "blur", "shake"};
  for (int k = 1; k < 20; ++k) {
    for (int i = 0; i < 4 && kind == kImages; ++i) {
      NativeImageOverlay o;
      o.id = "i" + std::to_string(k * 10 + i);
      o.startTime = k;
      o.endTime = k + 0.9;
      o.x = 0.05 + 0.23 * i;
      o.y = 0.05;
      o.width = 0.18;
      o.height = 0.18;
      o.src = "picture";
      o.animation = std::string(animations[i]);
      m.overlayPlan.imageOverlays.push_back(o);
    }
    for (int i = 0; i < 3 && kind == kText; ++i) {
      NativeTextOverlay o;
      o.id = "t" + std::to_string(k * 10 + i);
      o.startTime = k;
      o.endTime = k + 0.9;
      o.x = 0.08;
      o.y = 0.3 + 0.22 * i;
      o.width = 0.5;
      o.height = 0.18;
      o.text = "Overlay text that wraps onto a second line of the box";
      o.textWidth = 800;
      o.fontSize = 48;
      o.animationStyle = "fade";
      o.backgroundEnabled = true;
      o.backgroundColor = "#101828";
      o.backgroundOpacity = 85;
      m.overlayPlan.textOverlays.push_back(o);
    }
    if (kind == kBlur) {
      NativeBlurOverlay o;
      o.id = "b" + std::to_string(k);
      o.startTime = k;
      o.endTime = k + 0.9;
      o.x = 0.55;
      o.y = 0.35;
      o.width = 0.4;
      o.height = 0.5;
      o.cornerRadius = 24;
      o.animationStyle = "fade";
      m.overlayPlan.blurOverlays.push_back(o);
    }
  }
  return m;
}

std::shared_ptr<NativeRenderState> makeState(Kind kind) {
  const Size size{1920, 1080};
  NativeRenderStateInputs in;
  in.manifest = overlayManifest(kind);
  in.renderSize = size;
  in.baseTrackId = 1;
  in.baseTrackMetadata = VideoTrackMetadata::make(size, {});
  in.sourceTrackMetadataByIndex = {in.baseTrackMetadata};
  in.canvasReferenceDisplaySize = size;
  in.performancePlan = ExportPerformancePlan::build(size, 1);
  // A 1024x683 picture with some detail, as a decoded overlay would be.
  auto picture = graphics::makeBuffer(1024, 683, graphics::PixelFormat::bgra8);
  for (int y = 0; y < 683; ++y) {
    auto* row = picture->pixelRow(y);
    for (int x = 0; x < 1024; ++x)
      row[x] = 0xFF000000u | static_cast<uint32_t>((x * 255 / 1023) << 16) | static_cast<uint32_t>((y * 255 / 682) << 8) |
               static_cast<uint32_t>(((x / 32 + y / 32) % 2) * 200);
  }
  in.imageSourcesByPath["picture"] = graphics::Image::fromBuffer(picture);
  const auto& plan = in.manifest.overlayPlan;
  in.renderableOverlaySummary = {!plan.imageOverlays.empty(), !plan.textOverlays.empty(), !plan.blurOverlays.empty()};
  return std::make_shared<NativeRenderState>(std::move(in));
}

// range(0): the overlay kind; range(1): 1 for frames inside the entrance.
void BM_OverlayFrame1080p(benchmark::State& st) {
  const Kind kind = static_cast<Kind>(st.range(0));
  const bool entering = st.range(1) != 0;
  auto state = makeState(kind);
  auto source = std::make_shared<media::PixelBuffer>(1920, 1080);
  for (int y = 0; y < 1080; ++y) {
    auto* row = reinterpret_cast<uint32_t*>(source->row(y));
    for (int x = 0; x < 1920; ++x) row[x] = 0xFF000000u | static_cast<uint32_t>((x ^ y) & 0xFF) * 0x010101u;
  }
  media::PixelBuffer out(1920, 1080);
  media::CompositionRequest request;
  media::SourceFrame frame;
  frame.compositionTrackId = 1;
  frame.frame = source;
  request.sources.push_back(frame);
  // Entering: 1/30 s steps through the first 0.3 s of each second (the
  // effects last 0.2 to 0.5 s); steady: 0.5 s into each second.
  int n = 0;
  auto nextTime = [&] {
    const int second = 1 + (n / 9) % 18;
    const double t = entering ? second + (n % 9) / 30.0 : second + 0.5;
    ++n;
    return media::MediaTime::fromSeconds(t, 600);
  };
  request.outputTime = nextTime();
  renderCompositionFrame(*state, request, out);
  for (auto _ : st) {
    request.outputTime = nextTime();
    renderCompositionFrame(*state, request, out);
    benchmark::DoNotOptimize(out.data());
  }
}

BENCHMARK(BM_OverlayFrame1080p)
    ->ArgNames({"kind", "entering"})
    ->Args({kNone, 0})
    ->Args({kImages, 0})
    ->Args({kImages, 1})
    ->Args({kText, 0})
    ->Args({kText, 1})
    ->Args({kBlur, 0})
    ->Args({kBlur, 1})
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vantrel::exporter
