#include "support/scene_support.h"

namespace vantrel::exporter {

NativeSceneSupportCheck evaluateNativeSceneSupport(const NativeExportManifestV1& manifest) {
  const auto& format = manifest.qualityPlan.format;
  if (format != "mp4" && format != "gif") return {false, "native_helper_unsupported_format"};

  const auto& video = manifest.videoPlan;
  if (video.sourceVideoPaths.empty() || video.segments.empty()) return {false, "native_helper_requires_video_source"};

  const auto sourceCount = static_cast<std::int64_t>(video.sourceVideoPaths.size());
  for (const auto& segment : video.segments) {
    if (segment.sourceIndex < 0 || segment.sourceIndex >= sourceCount) {
      return {false, "native_helper_invalid_source_index"};
    }
  }

  const auto& cursor = video.cursorSettings;
  bool hasPositions = video.cursorData && !video.cursorData->positions.empty();
  if (cursor.enabled && hasPositions && cursor.mode != "disable" && cursor.mode != "smooth") {
    return {false, "native_helper_cursor_not_implemented"};
  }
  return {true, std::nullopt};
}

}  // namespace vantrel::exporter
