#include "render/image_sources.h"

#include <algorithm>
#include <cmath>
#include <set>
#include <variant>

#include "composition/timeline.h"
#include "job/job_errors.h"
#include "vantrel/common/text.h"
#include "vantrel/graphics/image_file.h"
#include "vantrel/media/asset.h"

namespace vantrel::exporter {

namespace gfx = vantrel::graphics;

std::map<std::string, gfx::Image> loadImageSources(const std::vector<std::string>& paths, Size renderSize) {
  std::map<std::string, gfx::Image> images;
  const std::set<std::string> unique(paths.begin(), paths.end());
  const double longEdge = std::max(renderSize.width, renderSize.height);
  const int limit = std::max(static_cast<int>(std::floor(2 * (std::isfinite(longEdge) ? longEdge : 0))), 2048);
  for (const auto& path : unique) {
    gfx::BufferRef pixels;
    if (auto props = gfx::readImageProperties(path)) {
      // Huge photos are decoded small so they do not pin hundreds of megabytes.
      pixels = std::max(props->width, props->height) > limit ? gfx::readThumbnail(path, limit, true)
                                                             : gfx::readImage(path);
    } else {
      pixels = gfx::readImage(path);
    }
    if (pixels) images.emplace(path, gfx::Image::fromBuffer(pixels));
  }
  return images;
}

std::vector<std::string> collectImagePaths(const NativeExportManifestV1& manifest) {
  const auto& plan = manifest.overlayPlan;
  std::vector<std::string> paths;
  for (const auto& overlay : plan.imageOverlays) {
    if (!overlay.src) continue;
    // Trimmed by the same rule that decides the overlay's renderability, so a
    // source counted as renderable is always looked up by the path loaded here.
    const std::string_view src = text::trimWhiteSpace(*overlay.src);
    if (!src.empty()) paths.emplace_back(src);
  }
  for (const auto& filler : plan.fillerBlocks) {
    if (filler.backgroundUploadUrl) paths.push_back(*filler.backgroundUploadUrl);
  }
  for (const auto& filler : plan.fillerBlocks) {
    if (!filler.layers) continue;
    for (const auto& layer : *filler.layers) {
      if (const auto* image = std::get_if<NativeFillerImageLayer>(&layer); image && image->src) {
        paths.push_back(*image->src);
      }
    }
  }
  if (plan.wallpaperPath) paths.push_back(*plan.wallpaperPath);
  if (plan.backgroundRasterPath) paths.push_back(*plan.backgroundRasterPath);
  return paths;
}

std::map<std::string, VideoTrackMetadata> buildCameraDecoderSupport(
    const std::vector<NativeCameraSegment>& cameraSegments, CameraFrameDecoder& decoder) {
  std::map<std::string, VideoTrackMetadata> metadata;
  for (const auto& segment : cameraSegments) {
    if (metadata.count(segment.videoUrl)) continue;
    media::AssetRef asset;
    try {
      asset = media::Asset::open(segment.videoUrl);
    } catch (const std::exception& e) {
      throw JobRunnerError::unsupportedScene("native_helper_camera_track_load_failed:" + segment.id + ":" + e.what());
    }
    auto tracks = asset->tracks(media::MediaType::video);
    if (tracks.empty()) throw JobRunnerError::unsupportedScene("native_helper_missing_camera_track");
    try {
      metadata.emplace(segment.videoUrl, loadTrackMetadata(*tracks.front()));
    } catch (const std::exception& e) {
      throw JobRunnerError::unsupportedScene("native_helper_camera_metadata_failed:" + segment.id + ":" + e.what());
    }
    decoder.addState(segment.videoUrl, asset, tracks.front()->trackId, std::max(segment.recordingStartTime - 0.05, 0.0));
  }
  return metadata;
}

}  // namespace vantrel::exporter
