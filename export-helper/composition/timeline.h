#pragma once
// The export's output timeline: source segments and filler gaps laid end to end
// on one video track, at timescale 600.

#include <cstdint>
#include <string>
#include <vector>

#include "manifest/manifest.h"
#include "plan/geometry.h"
#include "plan/video_plans.h"
#include "vantrel/media/asset.h"
#include "vantrel/media/composition.h"

namespace vantrel::exporter {

inline constexpr std::int32_t kOutputTimescale = 600;

// One opened source: the asset and its first video track (owned by the asset).
struct SourceVideoTrack {
  media::AssetRef asset;
  const media::TrackInfo* track = nullptr;
};

VideoTrackMetadata loadTrackMetadata(const media::TrackInfo& track);

// The editor's reference canvas size: the manifest's own dimensions when they
// are usable, else the largest display size among the sources the segments
// use, else `fallback`.
Size resolveCanvasReferenceDisplaySize(const NativeExportManifestV1& manifest,
                                       const std::vector<SourceVideoTrack>& sourceVideoTracks, Size fallback);

struct VideoOnlyCompositionBundle {
  media::Composition composition;
  int trackId = 0;
};

// Segments in list order with filler gaps before them, each segment scaled to
// its output length when it differs from its source length, and a trailing
// filler holding the last frame. Throws JobRunnerError (invalid source index)
// or the media layer's error for a range it cannot insert.
VideoOnlyCompositionBundle buildVideoOnlyComposition(const NativeExportManifestV1& manifest,
                                                     const std::vector<SourceVideoTrack>& sourceVideoTracks);

// The media layer's export-session presets, asked about one composition.
class MediaPresetCatalog : public ExportPresetCatalog {
 public:
  explicit MediaPresetCatalog(const media::Composition& composition) : composition_(composition) {}
  std::string passthroughPreset() const override;
  std::string highestQualityPreset() const override;
  std::vector<std::string> allPresets() const override;
  bool isCompatible(const std::string& preset) const override;

 private:
  const media::Composition& composition_;
};

}  // namespace vantrel::exporter
