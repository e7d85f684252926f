#include "plan/video_plans.h"

#include <algorithm>
#include <cmath>
#include <filesystem>

namespace vantrel::exporter {

namespace {

HelperQualityPlanSupport requested(const NativeQualityPlan& q) {
  HelperQualityPlanSupport s;
  s.requestedVideoCodec = q.videoCodec;
  s.requestedResolution = q.resolution;
  s.requestedCompression = q.compression;
  s.requestedProfile = q.profile;
  s.requestedEstimatedVideoBitrateMbps = q.estimatedVideoBitrateMbps;
  s.requestedAllowHardwareEncode = q.allowHardwareEncode;
  s.optimizeForNetworkUse = true;
  s.honorsVideoCodec = q.videoCodec == "h264";
  s.honorsResolution = true;
  s.honorsFrameRate = true;
  s.honorsCompression = true;
  s.honorsAllowHardwareEncode = false;
  return s;
}

}  // namespace

ResolvedVideoExportPlan resolveVideoExportPlan(const ExportPresetCatalog& presets, const NativeQualityPlan& q) {
  const std::string preferred = presets.passthroughPreset();
  const std::string fallback = presets.highestQualityPreset();
  std::vector<std::string> notes;
  std::string chosen = preferred;
  if (presets.isCompatible(preferred)) {
    chosen = preferred;
  } else if (presets.isCompatible(fallback)) {
    chosen = fallback;
    if (preferred != fallback) notes.push_back("preferred_preset_unavailable:" + preferred);
  } else {
    auto all = presets.allPresets();
    auto it = std::find_if(all.begin(), all.end(), [&](const auto& p) { return presets.isCompatible(p); });
    if (it != all.end()) {
      chosen = *it;
      notes.push_back("preferred_and_fallback_unavailable");
    } else {
      notes.push_back("compatible_preset_query_empty");
    }
  }
  notes.push_back("quality_mode_preserves_source_video");
  notes.push_back("passthrough_bypasses_exact_bitrate_profile_controls");
  notes.push_back("network_optimized_mp4");

  ResolvedVideoExportPlan plan;
  plan.presetName = chosen;
  plan.optimizeForNetworkUse = true;
  plan.qualityPlanSupport = requested(q);
  plan.qualityPlanSupport.selectedVideoPreset = chosen;
  plan.qualityPlanSupport.honorsEstimatedVideoBitrate = false;
  plan.qualityPlanSupport.honorsProfile = false;
  plan.qualityPlanSupport.notes = std::move(notes);
  return plan;
}

AssetWriterVideoPlan resolveAssetWriterVideoPlan(const NativeQualityPlan& q) {
  AssetWriterVideoPlan plan;
  // A bitrate beyond the 64-bit range is not something the host writes; clamp
  // rather than overflow.
  double bits = std::round(q.estimatedVideoBitrateMbps * 1'000'000.0);
  bits = std::isfinite(bits) ? std::clamp(bits, -9.0e18, 9.0e18) : 1'000'000.0;
  plan.averageBitrate = std::max<std::int64_t>(static_cast<std::int64_t>(bits), 1'000'000);
  plan.keyFrameIntervalSeconds = std::max(q.keyFrameIntervalSeconds, 1.0 / 30.0);
  plan.optimizeForNetworkUse = true;
  plan.qualityPlanSupport = requested(q);
  plan.qualityPlanSupport.selectedVideoPreset = "AVAssetWriter";
  plan.qualityPlanSupport.honorsEstimatedVideoBitrate = true;
  plan.qualityPlanSupport.honorsProfile = true;
  plan.qualityPlanSupport.notes = {"avassetwriter_render_encode", "estimated_video_bitrate_applied",
                                   "network_optimized_mp4"};
  return plan;
}

void prepareOutputLocations(const std::vector<std::string>& tempPaths, const std::string& finalOutputPath) {
  namespace fs = std::filesystem;
  auto makeParent = [](const std::string& path) {
    fs::path parent = fs::path(path).parent_path();
    if (!parent.empty()) fs::create_directories(parent);
  };
  makeParent(finalOutputPath);
  for (const auto& path : tempPaths) {
    makeParent(path);
    // remove() reports a missing file as "nothing removed", not as an error.
    fs::remove(path);
  }
}

}  // namespace vantrel::exporter
