#include "composition/timeline.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <set>

#include "job/job_errors.h"
#include "vantrel/media/export_session.h"

namespace vantrel::exporter {

namespace {

media::MediaTime at600(double seconds) { return media::MediaTime::fromSeconds(seconds, kOutputTimescale); }

// Negative or NaN lengths count as nothing.
double nonNegative(double seconds) { return seconds > 0 ? seconds : 0.0; }

}  // namespace

VideoTrackMetadata loadTrackMetadata(const media::TrackInfo& track) {
  const auto& t = track.preferredTransform;
  return VideoTrackMetadata::make({track.naturalSize.width, track.naturalSize.height},
                                  {t.a, t.b, t.c, t.d, t.tx, t.ty});
}

Size resolveCanvasReferenceDisplaySize(const NativeExportManifestV1& manifest,
                                       const std::vector<SourceVideoTrack>& sourceVideoTracks, Size fallback) {
  if (const auto& dims = manifest.scene.canvasReferenceDimensions) {
    if (std::isfinite(dims->width) && std::isfinite(dims->height) && dims->width > 0 && dims->height > 0) {
      return {dims->width, dims->height};
    }
  }
  std::set<std::int64_t> used;
  for (const auto& s : manifest.videoPlan.segments) used.insert(s.sourceIndex);
  std::optional<Size> best;
  for (std::size_t i = 0; i < sourceVideoTracks.size(); ++i) {
    if (!used.count(static_cast<std::int64_t>(i)) || !sourceVideoTracks[i].track) continue;
    Size d = loadTrackMetadata(*sourceVideoTracks[i].track).displaySize;
    if (!best || d.width * d.height > best->width * best->height) best = d;
  }
  return best.value_or(fallback);
}

VideoOnlyCompositionBundle buildVideoOnlyComposition(const NativeExportManifestV1& manifest,
                                                     const std::vector<SourceVideoTrack>& sourceVideoTracks) {
  VideoOnlyCompositionBundle bundle;
  auto& track = bundle.composition.addTrack(media::MediaType::video);
  bundle.trackId = track.trackId();

  std::map<std::int64_t, std::vector<const NativeFillerBlock*>> fillersByIndex;
  for (const auto& f : manifest.overlayPlan.fillerBlocks) fillersByIndex[f.sequenceIndex].push_back(&f);
  auto fillerGroup = [&](std::int64_t index) {
    auto it = fillersByIndex.find(index);
    return it == fillersByIndex.end() ? std::vector<const NativeFillerBlock*>{} : it->second;
  };

  const auto& segments = manifest.videoPlan.segments;
  media::MediaTime cursor = media::MediaTime(0, kOutputTimescale);
  for (std::size_t k = 0; k < segments.size(); ++k) {
    const auto& seg = segments[k];
    if (seg.sourceIndex < 0 || seg.sourceIndex >= static_cast<std::int64_t>(sourceVideoTracks.size())) {
      throw JobRunnerError::unsupportedScene("native_helper_invalid_source_index:" + seg.segmentId + ":" +
                                             std::to_string(seg.sourceIndex));
    }
    for (const auto* filler : fillerGroup(static_cast<std::int64_t>(k))) {
      double d = nonNegative(filler->duration);
      if (d > 0) {
        track.insertEmptyTimeRange({cursor, at600(d)});
        cursor = cursor + at600(d);
      }
    }
    const auto& source = sourceVideoTracks[static_cast<std::size_t>(seg.sourceIndex)];
    double s = std::isfinite(seg.sourceStartTime) ? seg.sourceStartTime : 0.0;
    double sourceLength = nonNegative(seg.sourceEndTime - seg.sourceStartTime);
    double outputLength = nonNegative(seg.outputEndTime - seg.outputStartTime);
    media::MediaTime sourceDuration = at600(sourceLength);
    if (sourceDuration > media::MediaTime::zero()) {
      track.insertTimeRange({at600(s), sourceDuration}, source.asset, source.track->trackId, cursor);
      if (std::abs(outputLength - sourceLength) > 0.0005) {
        track.scaleTimeRange({cursor, sourceDuration}, at600(outputLength));
      }
    } else if (outputLength > 0) {
      // Nothing of the source to show: the segment's time passes over the
      // background rather than failing the whole export.
      track.insertEmptyTimeRange({cursor, at600(outputLength)});
    }
    cursor = cursor + at600(outputLength);
  }

  double trailing = 0;
  for (const auto* filler : fillerGroup(static_cast<std::int64_t>(segments.size()))) {
    trailing += nonNegative(filler->duration);
  }
  if (!segments.empty() && trailing > 0) {
    const auto& last = segments.back();
    const auto& source = sourceVideoTracks[static_cast<std::size_t>(last.sourceIndex)];
    double frame = 1.0 / static_cast<double>(std::max<std::int64_t>(manifest.qualityPlan.frameRate, 1));
    const auto& minFrame = source.track->minFrameDuration;
    if (minFrame.isValid() && minFrame.seconds() > 0) frame = minFrame.seconds();
    double hold = std::min(frame, nonNegative(last.sourceEndTime - last.sourceStartTime));
    if (hold > 0 && at600(hold) > media::MediaTime::zero()) {
      media::MediaTime holdDuration = at600(hold);
      track.insertTimeRange({at600(last.sourceEndTime) - holdDuration, holdDuration}, source.asset,
                            source.track->trackId, cursor);
      track.scaleTimeRange({cursor, holdDuration}, at600(trailing));
    } else {
      track.insertEmptyTimeRange({cursor, at600(trailing)});
    }
    cursor = cursor + at600(trailing);
  }
  return bundle;
}

std::string MediaPresetCatalog::passthroughPreset() const { return media::kExportPresetPassthrough; }
std::string MediaPresetCatalog::highestQualityPreset() const { return media::kExportPresetHighestQuality; }
std::vector<std::string> MediaPresetCatalog::allPresets() const { return media::allExportPresets(); }
bool MediaPresetCatalog::isCompatible(const std::string& preset) const {
  return media::isExportPresetCompatible(preset, composition_);
}

}  // namespace vantrel::exporter
