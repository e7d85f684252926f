#include "vantrel/mediahelper/camera.h"

#include <algorithm>
#include <cmath>

#include "vantrel/media/asset.h"
#include "vantrel/media/composition.h"
#include "vantrel/media/export_session.h"
#include "vantrel/mediahelper/errors.h"
#include "vantrel/mediahelper/file_ops.h"

namespace vantrel::mediahelper {

CameraAction chooseCameraAction(double wall, double source) {
  if (!std::isfinite(wall) || !(wall > 0)) throw makeError(MediaHelperErrorCode::missingArgument, "--wall-duration");
  if (!std::isfinite(source) || !(source > 0)) {
    throw makeError(MediaHelperErrorCode::exportFailed, "The source duration is invalid");
  }
  const double ratio = wall / source;
  if (ratio < kMinCameraRatio || ratio > kMaxCameraRatio) {
    throw makeError(MediaHelperErrorCode::exportFailed, "The requested timeline correction is outside the safe range");
  }
  return std::fabs(wall - source) < kCameraCopyThresholdSeconds ? CameraAction::copy : CameraAction::retime;
}

void normalizeCamera(const std::string& inputPath, const std::string& outputPath, double wallDurationSeconds) {
  if (!std::isfinite(wallDurationSeconds) || !(wallDurationSeconds > 0)) {
    throw makeError(MediaHelperErrorCode::missingArgument, "--wall-duration");
  }
  auto asset = media::Asset::open(inputPath);
  if (asset->tracks(media::MediaType::video).empty()) throw makeError(MediaHelperErrorCode::noVideoTrack);
  const media::MediaTime assetDuration = asset->duration();
  const CameraAction action = chooseCameraAction(wallDurationSeconds, assetDuration.seconds());

  createParentDirectory(outputPath);
  removeQuietly(outputPath);
  if (action == CameraAction::copy) {
    copyFile(inputPath, outputPath);
    return;
  }

  media::Composition composition;
  for (media::MediaType type : {media::MediaType::video, media::MediaType::audio}) {
    for (const media::TrackInfo* source : asset->tracks(type)) {
      // A track shorter than the file contributes only what it holds.
      const media::MediaTime end = media::minimum(assetDuration, source->timeRange.end());
      if (end <= media::MediaTime::zero()) continue;
      media::CompositionTrack& track = composition.addTrack(type);
      track.insertTimeRange(media::TimeRange::fromStartEnd(media::MediaTime::zero(), end), asset, source->trackId,
                            media::MediaTime::zero());
      track.preferredTransform = source->preferredTransform;
    }
  }
  composition.scaleTimeRange(media::TimeRange{media::MediaTime::zero(), assetDuration},
                             media::MediaTime::fromSeconds(wallDurationSeconds, 60000));

  const auto presets = media::exportPresetsCompatibleWith(composition);
  const bool passThrough =
      std::find(presets.begin(), presets.end(), media::kExportPresetPassthrough) != presets.end();
  media::ExportOptions options;
  options.outputPath = outputPath;
  options.optimizeForNetworkUse = true;
  std::unique_ptr<media::ExportSession> session;
  try {
    session = std::make_unique<media::ExportSession>(
        std::move(composition), passThrough ? media::kExportPresetPassthrough : media::kExportPresetHighestQuality,
        options);
  } catch (const media::MediaError&) {
    throw makeError(MediaHelperErrorCode::cannotCreateExporter);
  }
  session->exportAsynchronously().wait();
  if (session->status() != media::ExportStatus::completed) {
    removeQuietly(outputPath);
    const std::string text = session->errorText();
    throw makeError(MediaHelperErrorCode::exportFailed, text.empty() ? "unknown error" : text);
  }
}

}  // namespace vantrel::mediahelper
