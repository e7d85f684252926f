// vantrel-render-frames <manifest.json> <output-dir> [--size WxH] <seconds>...
//
// Composes the rendered export's frames at the given output times exactly as
// the export does (same timeline, decoder and compositor) and writes each to
// <output-dir>/frame_<seconds>.png, so a developer can look at them. Frames are
// pulled in order; each time takes the first frame at or after it.

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "composition/timeline.h"
#include "plan/render_size.h"
#include "render/composition_bundle.h"
#include "vantrel/graphics/image_file.h"

using namespace vantrel;
using namespace vantrel::exporter;

namespace {

int usage() {
  std::cerr << "usage: vantrel-render-frames <manifest.json> <output-dir> [--size WxH] <seconds>...\n";
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return usage();
  const std::string manifestPath = argv[1], outDir = argv[2];
  std::vector<double> times;
  Size forcedSize;
  for (int i = 3; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--size" && i + 1 < argc) {
      if (std::sscanf(argv[++i], "%lfx%lf", &forcedSize.width, &forcedSize.height) != 2) return usage();
    } else {
      times.push_back(std::stod(a));
    }
  }
  std::sort(times.begin(), times.end());
  if (times.empty()) return usage();
  try {
    std::ifstream in(manifestPath, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    const auto manifest = decodeManifest(bytes.str());

    std::vector<SourceVideoTrack> sources;
    for (const auto& path : manifest.videoPlan.sourceVideoPaths) {
      auto asset = media::Asset::open(path);
      auto tracks = asset->tracks(media::MediaType::video);
      if (tracks.empty()) throw std::runtime_error("no video track in " + path);
      sources.push_back({asset, tracks.front()});
    }
    const auto base = loadTrackMetadata(*sources.front().track);
    const Size reference = resolveCanvasReferenceDisplaySize(manifest, sources, base.displaySize);
    const Size renderSize = forcedSize.width > 0 ? forcedSize
                                                 : resolveRenderSize(reference, manifest.scene.settings.video,
                                                                     manifest.qualityPlan.resolution);
    auto bundle = buildCompositionBundle(manifest, sources, base, reference, renderSize);
    media::VideoCompositionReader reader(bundle.composition, bundle.videoComposition, bundle.compositor);
    reader.startReading();
    std::size_t next = 0;
    while (next < times.size()) {
      auto frame = reader.copyNextFrame();
      if (!frame) break;
      const double t = frame->presentationTime.seconds();
      if (t + 1e-9 < times[next]) continue;
      graphics::PixelBuffer out(frame->bgra->width(), frame->bgra->height(), graphics::PixelFormat::bgra8);
      for (int y = 0; y < out.height(); ++y) {
        std::copy_n(frame->bgra->row(y), static_cast<std::size_t>(out.width()) * 4, out.row(y));
      }
      while (next < times.size() && times[next] <= t + 1e-9) {
        char name[64];
        std::snprintf(name, sizeof name, "/frame_%.3f.png", times[next]);
        graphics::writePng(out, outDir + name);
        std::cout << outDir + name << "\n";
        ++next;
      }
    }
    reader.cancelReading();
  } catch (const std::exception& e) {
    std::cerr << e.what() << "\n";
    return 1;
  }
  return 0;
}
