// Change-aware compositing, measured on the compositor alone: a recording is
// decoded through the composition reader (BGRA sources, as the regular path
// gets them) and every frame composed through the export's compositor with
// change tracking off and on, interleaved, several runs. Prints the median
// compositor time per frame (wall time inside the compositor), the
// median wall time of decode + compose, and their ratios.
//
//   vantrel_change_tracking_bench <recording.mp4> [--scene plain|zoom] [--frames N] [--runs N]
//
// "plain": gradient, padding, radius, shadow, stroke; "zoom" adds a zoom in at
// 4 s, held, a pan at 20 s, held, out at 38 s (frames the planar path leaves
// to the compositor). Never run by CI.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "composition/timeline.h"
#include "render/composition_bundle.h"
#include "render/frame_render.h"
#include "vantrel/media/asset.h"

namespace vantrel::exporter {
namespace {

// Wall time: the renderer's band threads work inside the call too.
double nowSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

NativeResolvedZoomFrame zoomKey(double ms, double x, double y, double zoom) {
  NativeResolvedZoomFrame f;
  f.timestamp = ms;
  f.centerX = x;
  f.centerY = y;
  f.zoom = zoom;
  return f;
}

NativeExportManifestV1 scene(const std::string& source, double seconds, bool zoom) {
  NativeExportManifestV1 m;
  auto& video = m.scene.settings.video;
  video.aspectRatio = "16:9";
  video.videoScale = 100;
  video.padding = 64;
  video.borderRadius = 24;
  video.shadow = {true, "#000000", 60, 50.0};
  video.stroke = {true, 2, "#FFFFFF", 35, "outside"};
  auto& background = m.scene.settings.background;
  background.type = "gradient";
  background.color = "#4F46E5";
  background.secondaryColor = "#EC4899";
  background.gradientAngle = 135;
  background.pattern = "none";
  m.qualityPlan.frameRate = 30;
  m.qualityPlan.compression = "high";
  m.videoPlan.sourceVideoPath = source;
  m.videoPlan.sourceVideoPaths = {source};
  NativeVideoSegmentPlan s;
  s.segmentId = "s1";
  s.sourceEndTime = seconds;
  s.outputEndTime = seconds;
  m.videoPlan.segments = {s};
  m.videoPlan.durationSeconds = seconds;
  if (zoom) {
    const NativeResolvedZoomFrame keys[] = {
        zoomKey(0, 960, 540, 1),         zoomKey(4000, 960, 540, 1),     zoomKey(4500, 700, 400, 1.6),
        zoomKey(20000, 700, 400, 1.6),   zoomKey(20600, 1200, 650, 1.6), zoomKey(38000, 1200, 650, 1.6),
        zoomKey(38500, 960, 540, 1),     zoomKey(60000, 960, 540, 1)};
    std::vector<NativeResolvedZoomFrame> within;
    for (const auto& k : keys)
      if (k.timestamp <= seconds * 1000) within.push_back(k);
    m.videoPlan.resolvedZoomFrames = within;
  }
  return m;
}

struct Sample {
  double composeMs = 0;  // per frame, wall time inside the compositor
  double wallSeconds = 0;
  ComposedFrameHistory counts;
};

Sample run(const NativeExportManifestV1& m, bool tracking, int frames) {
  std::vector<SourceVideoTrack> sources;
  auto asset = media::Asset::open(m.videoPlan.sourceVideoPath);
  sources.push_back({asset, asset->tracks(media::MediaType::video).front()});
  const VideoTrackMetadata base = loadTrackMetadata(*sources.front().track);
  auto bundle = buildCompositionBundle(m, sources, base, base.displaySize, {1920, 1080});
  setChangeTracking(*bundle.renderState, tracking);
  double cpu = 0;
  auto compositor = [&, inner = bundle.compositor](const media::CompositionRequest& r, media::PixelBuffer& out) {
    const double c0 = nowSeconds();
    inner(r, out);
    cpu += nowSeconds() - c0;
  };
  media::VideoCompositionReader reader(bundle.composition, bundle.videoComposition, compositor);
  const auto start = std::chrono::steady_clock::now();
  reader.startReading();
  int n = 0;
  while (n < frames && reader.copyNextFrame()) ++n;
  reader.cancelReading();
  Sample s;
  s.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  s.composeMs = cpu * 1000 / std::max(n, 1);
  const auto& h = composedFrameHistory(*bundle.renderState);
  s.counts.fullFrames = h.fullFrames;
  s.counts.bandFrames = h.bandFrames;
  s.counts.reusedFrames = h.reusedFrames;
  s.counts.bandRows = h.bandRows;
  return s;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

int benchMain(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <recording.mp4> [--scene plain|zoom] [--frames N] [--runs N]\n", argv[0]);
    return 2;
  }
  std::string source = argv[1], sceneName = "zoom";
  int frames = 1800, runs = 3;
  for (int i = 2; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--scene")) sceneName = argv[i + 1];
    if (!std::strcmp(argv[i], "--frames")) frames = std::clamp(std::atoi(argv[i + 1]), 1, 1000000);
    if (!std::strcmp(argv[i], "--runs")) runs = std::clamp(std::atoi(argv[i + 1]), 1, 100);
  }
  const double seconds = frames / 30.0;
  const NativeExportManifestV1 m = scene(source, seconds, sceneName == "zoom");
  std::vector<double> cpuOff, cpuOn, wallOff, wallOn;
  Sample last;
  for (int r = 0; r < runs; ++r) {  // interleaved, so load affects both alike
    const Sample off = run(m, false, frames);
    last = run(m, true, frames);
    cpuOff.push_back(off.composeMs);
    wallOff.push_back(off.wallSeconds);
    cpuOn.push_back(last.composeMs);
    wallOn.push_back(last.wallSeconds);
  }
  const double co = median(cpuOff), cn = median(cpuOn), wo = median(wallOff), wn = median(wallOn);
  std::printf("scene %s, %d frames, %d runs\n", sceneName.c_str(), frames, runs);
  std::printf("  tracked frames: %lld full, %lld band (%.0f rows each on average), %lld reused\n",
              static_cast<long long>(last.counts.fullFrames), static_cast<long long>(last.counts.bandFrames),
              static_cast<double>(last.counts.bandRows) / std::max<double>(static_cast<double>(last.counts.bandFrames), 1),
              static_cast<long long>(last.counts.reusedFrames));
  std::printf("  compositor time per frame: off %.2f ms, on %.2f ms, ratio %.2f\n", co, cn, co / cn);
  std::printf("  decode + compose: off %.1f fps, on %.1f fps, ratio %.2f\n", frames / wo, frames / wn, wo / wn);
  return 0;
}

}  // namespace
}  // namespace vantrel::exporter

int main(int argc, char** argv) { return vantrel::exporter::benchMain(argc, argv); }
