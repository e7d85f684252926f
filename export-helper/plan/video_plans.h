#pragma once
// Encoder plans for the two video paths: the pass-through export (copy the
// compressed video) and the rendered encode.

#include <cstdint>
#include <string>
#include <vector>

#include "manifest/scene.h"
#include "plan/quality_plan_support.h"

namespace vantrel::exporter {

// The media layer's export-session presets as seen by planning: names, and
// whether a preset can export the first source asset.
class ExportPresetCatalog {
 public:
  virtual ~ExportPresetCatalog() = default;
  virtual std::string passthroughPreset() const = 0;     // copies compressed video unchanged
  virtual std::string highestQualityPreset() const = 0;  // re-encodes at the best quality
  virtual std::vector<std::string> allPresets() const = 0;
  virtual bool isCompatible(const std::string& preset) const = 0;
};

struct ResolvedVideoExportPlan {
  std::string presetName;
  bool optimizeForNetworkUse = true;
  HelperQualityPlanSupport qualityPlanSupport;
};

struct AssetWriterVideoPlan {
  bool optimizeForNetworkUse = true;
  std::int64_t averageBitrate = 0;       // bits per second
  double keyFrameIntervalSeconds = 0;    // maximum interval between key frames
  HelperQualityPlanSupport qualityPlanSupport;
};

// Never fails: unavailable presets degrade to the fallback, then to the first
// compatible preset, then to the preferred one with a note.
ResolvedVideoExportPlan resolveVideoExportPlan(const ExportPresetCatalog& presets, const NativeQualityPlan& qualityPlan);

AssetWriterVideoPlan resolveAssetWriterVideoPlan(const NativeQualityPlan& qualityPlan);

// Creates the final path's directory and each temp path's directory, and
// removes stale files at the temp paths. Throws std::filesystem::filesystem_error
// at the first failure; later paths are not touched.
void prepareOutputLocations(const std::vector<std::string>& tempPaths, const std::string& finalOutputPath);

}  // namespace vantrel::exporter
