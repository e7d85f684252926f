// The animated GIF export: the rendered path's composition on a canvas whose
// long edge is 640 pixels, written as a looping GIF of at most 15 frames per
// second and promoted to the final path. A GIF has no audio; the audio plan is
// not read here.

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "composition/timeline.h"
#include "encode/export_paths.h"
#include "encode/gif_frames.h"
#include "job/job_errors.h"
#include "plan/render_size.h"
#include "plan/video_plans.h"
#include "render/composition_bundle.h"

namespace vantrel::exporter {

namespace {

namespace fs = std::filesystem;

constexpr double kGifLongEdge = 640;

// Moves `from` to `to`, copying when they are on different file systems.
void moveFile(const std::string& from, const std::string& to) {
  std::error_code ec;
  fs::rename(from, to, ec);
  if (!ec) return;
  if (ec != std::errc::cross_device_link) throw fs::filesystem_error("cannot move file", from, to, ec);
  fs::copy_file(from, to, fs::copy_options::overwrite_existing);
  fs::remove(from);
}

}  // namespace

std::int64_t exportNativeGifComposition(const NativeExportManifestV1& manifest, const JobArguments& arguments,
                                        ProgressReporter& reporter, const std::string& helperVersion) {
  const std::string& tempPath = arguments.tempOutputPath;
  const std::string& finalPath = arguments.finalOutputPath;

  std::vector<SourceVideoTrack> sources;
  for (const auto& path : manifest.videoPlan.sourceVideoPaths) {
    auto asset = media::Asset::open(path);
    auto tracks = asset->tracks(media::MediaType::video);
    if (tracks.empty()) throw JobRunnerError::unsupportedScene("native_helper_missing_source_video_track:" + path);
    sources.push_back({asset, tracks.front()});
  }
  const VideoTrackMetadata base = loadTrackMetadata(*sources.front().track);
  const Size canvasReference = resolveCanvasReferenceDisplaySize(manifest, sources, base.displaySize);
  const Size renderSize = resolveRenderSize(canvasReference, manifest.scene.settings.video,
                                            manifest.qualityPlan.resolution, kGifLongEdge);

  reporter.emit(ProgressEvent{"preparing", "gif_composition", 0.08, "Building animated GIF composition...",
                              helperVersion});
  prepareOutputLocations({tempPath}, finalPath);
  auto bundle = buildCompositionBundle(manifest, sources, base, canvasReference, renderSize);

  reporter.emit(ProgressEvent{"rendering", "imageio_gif", 0.12, "Starting animated GIF encode...", helperVersion});
  const int rate = gifFrameRate(manifest.qualityPlan.frameRate);
  const std::int64_t budget = gifFrameBudget(manifest.videoPlan.durationSeconds, rate);
  const std::int64_t frames = writeAnimatedGif(bundle.composition, bundle.videoComposition, bundle.compositor,
                                               tempPath, rate, budget, reporter, helperVersion);

  reporter.emit(ProgressEvent{"finalizing", "promote_output", 0.98, "Finalizing animated GIF...", helperVersion});
  if (fs::exists(finalPath)) fs::remove(finalPath);
  moveFile(tempPath, finalPath);
  if (!fs::exists(finalPath)) throw JobRunnerError::outputFileMissing(finalPath);

  reporter.emit(TelemetryEvent{"Animated GIF export completed with " + std::to_string(frames) + " frames at " +
                                   std::to_string(static_cast<std::int64_t>(renderSize.width)) + "x" +
                                   std::to_string(static_cast<std::int64_t>(renderSize.height)) + ".",
                               helperVersion, std::nullopt, std::nullopt});
  return static_cast<std::int64_t>(fs::file_size(finalPath));
}

}  // namespace vantrel::exporter
